#include "monochromator.h"

#include <csignal>
#include <iostream>

namespace brivel::tango {

namespace {

Tango::DevState to_tango(DeviceState state) {
  switch (state) {
    case DeviceState::On: return Tango::ON;
    case DeviceState::Moving: return Tango::MOVING;
    case DeviceState::Running: return Tango::RUNNING;
    case DeviceState::Fault: return Tango::FAULT;
    case DeviceState::Off: return Tango::OFF;
    case DeviceState::Init: return Tango::INIT;
  }
  return Tango::UNKNOWN;
}

// Lets other threads take the device's monitor while this thread waits for the
// delivery thread (which may be waiting for it), and takes it back afterwards.
class MonitorReleased {
 public:
  explicit MonitorReleased(Tango::DeviceImpl* device) : monitor_(device->get_dev_monitor()) {
    omni_thread::ensure_self self;
    const int me = omni_thread::self()->id();
    while (monitor_.get_locking_ctr() > 0 && monitor_.get_locking_thread_id() == me) {
      monitor_.rel_monitor();
      ++count_;
    }
  }
  ~MonitorReleased() {
    for (int i = 0; i < count_; ++i) monitor_.get_monitor();
  }
  MonitorReleased(const MonitorReleased&) = delete;
  MonitorReleased& operator=(const MonitorReleased&) = delete;

 private:
  Tango::TangoMonitor& monitor_;
  int count_ = 0;
};

std::string property_text(Tango::DbData& data, std::size_t index, const std::string& fallback) {
  if (index >= data.size() || data[index].is_empty()) return fallback;
  std::string value;
  data[index] >> value;
  return value;
}

bool same(const std::vector<Tango::DevDouble>& a, const std::vector<Tango::DevDouble>& b) {
  return a == b;
}

}  // namespace

Monochromator::Monochromator(Tango::DeviceClass* cl, std::string& name) : Tango::Device_5Impl(cl, name) {
  init_device();
}

Monochromator::~Monochromator() { delete_device(); }

void Monochromator::init_device() {
  BridgeSettings settings;
  std::string language = "en";
  std::string answer = "yes";
  if (Tango::Util::_UseDb) {
    Tango::DbData data;
    data.push_back(Tango::DbDatum("Port"));
    data.push_back(Tango::DbDatum("Language"));
    data.push_back(Tango::DbDatum("AnswerQuestions"));
    get_db_device()->get_property(data);
    settings.port = property_text(data, 0, "");
    language = property_text(data, 1, language);
    answer = property_text(data, 2, answer);
  } else {
    // Without a database the port rule's port 1 serves (BRIVEL_COM1, the mapping
    // file, the first USB adapter, /dev/ttyS0).
    settings.port = "1";
  }
  for (char& c : language) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (char& c : answer) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  settings.language = language == "zh" ? 0 : 1;
  settings.answer_yes = !(answer == "no" || answer == "false" || answer == "cancel" || answer == "0");
  language_ = settings.language;

  for (const char* name : {"Wavelength", "State", "Status", "Speed", "PowerOnWavelength", "FilterWheel",
                           "Filters", "GratingLines", "StepSize", "InstrumentNo", "ZeroOffset", "Year",
                           "Connected"})
    set_change_event(name, true, false);

  Bridge::Sink sink;
  sink.position = [this](double nm, const timeval& arrived) { deliver_position(nm, arrived); };
  sink.changed = [this] { deliver_change(); };
  bridge_ = std::make_unique<Bridge>(settings, std::move(sink));
  // A signal stops a running motion before the server goes down (the device's
  // deletion then closes the port).
  register_signal(SIGTERM);
  register_signal(SIGINT);
  // Connecting at start: a failure shows as FAULT with its reason in the status.
  bridge_->open();
}

void Monochromator::delete_device() {
  std::unique_ptr<Bridge> bridge = std::move(bridge_);
  if (!bridge) return;
  try {
    unregister_signal(SIGTERM);
    unregister_signal(SIGINT);
  } catch (...) {
  }
  MonitorReleased released(this);
  bridge->stop_delivery();
  bridge.reset();  // stops a running motion first, then closes the port
}

void Monochromator::signal_handler(long) {
  // On the server's signal thread: the motion stops (the stop button's sequence) while
  // the server shuts down; the device's deletion then waits for it and closes the port.
  if (bridge_) bridge_->request_stop();
}

Bridge& Monochromator::bridge() {
  if (!bridge_)
    Tango::Except::throw_exception("BRIVEL_NotReady", "The device is being initialised or deleted.",
                                   "BrivelMonochromator");
  return *bridge_;
}

void Monochromator::raise_if_failed(const std::optional<Result>& result, const char* origin) const {
  if (!result || result->ok()) return;
  const bool en = language_ != 0;
  std::string text = en ? result->text_en : result->text_zh;
  const std::string& detail = en ? result->detail_en : result->detail_zh;
  if (text.empty()) text = detail;
  else if (!detail.empty() && detail != text) text += "\n" + detail;
  if (text.empty()) text = result->operation + ": " + to_string(result->outcome);
  std::string reason = std::string("BRIVEL_") + to_string(result->outcome);
  for (char& c : reason) c = c == ' ' ? '_' : c;
  Tango::Except::throw_exception(reason, text,
                                 std::string("BrivelMonochromator::") + origin);
}

Monochromator::Values Monochromator::values_of(const Situation& s) const {
  Values v;
  const State& c = s.control;
  v.wavelength = c.wavelength;
  v.speed = static_cast<Tango::DevShort>(c.speed);
  v.power_on = c.power_on;
  v.filter_state = c.filter_state;
  v.filter_wheel = c.filter_state == 1;
  v.filters.assign(c.filters.begin(), c.filters.end());
  if (v.filters.size() > 6) v.filters.resize(6);
  v.grating_lines = static_cast<Tango::DevShort>(c.grating_lines);
  v.step = c.step;
  v.instrument_no = c.instrument_no;
  v.zero_offset = c.zero_offset;
  v.year = c.year;
  v.connected = c.connected;
  v.reports = c.reports;
  const DeviceState state = brivel::tango::device_state(s);
  v.state = to_tango(state);
  v.status = brivel::tango::status_text(s, state, language_);
  return v;
}

Tango::DevState Monochromator::dev_state() {
  if (!bridge_) return get_state();
  const Values v = values_of(bridge_->situation());
  set_state(v.state);
  return v.state;
}

Tango::ConstDevString Monochromator::dev_status() {
  if (!bridge_) return get_status().c_str();
  status_ = values_of(bridge_->situation()).status;
  return status_.c_str();
}

void Monochromator::read_attr_hardware(std::vector<long>&) {
  read_ = values_of(bridge().situation());
  year_text_ = const_cast<char*>(read_.year.c_str());
}

// ---- attributes ------------------------------------------------------------------

void Monochromator::read_Wavelength(Tango::Attribute& att) { att.set_value(&read_.wavelength); }

void Monochromator::write_Wavelength(Tango::WAttribute& att) {
  Tango::DevDouble nm = 0;
  att.get_write_value(nm);
  raise_if_failed(bridge().start([nm](Controller& c) { return c.move_to(nm); }), "write_Wavelength");
}

void Monochromator::read_Speed(Tango::Attribute& att) {
  att.set_value(&read_.speed);
  if (read_.speed <= 0) att.set_quality(Tango::ATTR_INVALID);
}

void Monochromator::write_Speed(Tango::WAttribute& att) {
  Tango::DevShort speed = 0;
  att.get_write_value(speed);
  raise_if_failed(bridge().start([speed](Controller& c) { return c.set_speed(speed); }), "write_Speed");
}

void Monochromator::read_PowerOnWavelength(Tango::Attribute& att) { att.set_value(&read_.power_on); }

void Monochromator::write_PowerOnWavelength(Tango::WAttribute& att) {
  Tango::DevDouble nm = 0;
  att.get_write_value(nm);
  raise_if_failed(bridge().start([nm](Controller& c) { return c.set_power_on(nm); }),
                  "write_PowerOnWavelength");
}

void Monochromator::read_FilterWheel(Tango::Attribute& att) {
  att.set_value(&read_.filter_wheel);
  // 2: the wheel is not set up; its state has no meaning then.
  if (read_.filter_state != 0 && read_.filter_state != 1) att.set_quality(Tango::ATTR_INVALID);
}

void Monochromator::write_FilterWheel(Tango::WAttribute& att) {
  Tango::DevBoolean on = false;
  att.get_write_value(on);
  raise_if_failed(bridge().start([on](Controller& c) { return c.set_filter_wheel(on); }),
                  "write_FilterWheel");
}

void Monochromator::read_Filters(Tango::Attribute& att) {
  att.set_value(read_.filters.data(), static_cast<long>(read_.filters.size()));
}

void Monochromator::write_Filters(Tango::WAttribute& att) {
  const Tango::DevDouble* data = nullptr;
  att.get_write_value(data);
  const long count = att.get_write_value_length();
  std::vector<double> starts(data, data + (data ? count : 0));
  raise_if_failed(bridge().start([starts](Controller& c) { return c.set_filters(starts); }),
                  "write_Filters");
}

void Monochromator::read_GratingLines(Tango::Attribute& att) { att.set_value(&read_.grating_lines); }
void Monochromator::read_StepSize(Tango::Attribute& att) { att.set_value(&read_.step); }
void Monochromator::read_InstrumentNo(Tango::Attribute& att) { att.set_value(&read_.instrument_no); }
void Monochromator::read_ZeroOffset(Tango::Attribute& att) { att.set_value(&read_.zero_offset); }
void Monochromator::read_Year(Tango::Attribute& att) { att.set_value(&year_text_); }
void Monochromator::read_Connected(Tango::Attribute& att) { att.set_value(&read_.connected); }
void Monochromator::read_PositionReports(Tango::Attribute& att) { att.set_value(&read_.reports); }

// ---- commands --------------------------------------------------------------------

void Monochromator::Open() { raise_if_failed(bridge().open(), "Open"); }

void Monochromator::Close() { raise_if_failed(bridge().close(), "Close"); }

void Monochromator::Stop() {
  // Always accepted: cancels what runs (the motor stops as with the stop button).
  bridge().start([](Controller& c) { return c.stop(); }, 0.0);
}

void Monochromator::MoveBy(Tango::DevDouble nm) {
  raise_if_failed(bridge().start([nm](Controller& c) { return c.move_by(nm); }), "MoveBy");
}

void Monochromator::Reposition() {
  raise_if_failed(bridge().start([](Controller& c) { return c.reposition(); }), "Reposition");
}

void Monochromator::Refresh() {
  raise_if_failed(bridge().start([](Controller& c) { return c.refresh(); }), "Refresh");
}

void Monochromator::SaveParameters(Tango::DevString path) {
  const std::string file = path ? path : "";
  raise_if_failed(bridge().start([file](Controller& c) { return c.save_parameters(file); }),
                  "SaveParameters");
}

void Monochromator::LoadParameters(Tango::DevString path) {
  const std::string file = path ? path : "";
  raise_if_failed(bridge().start([file](Controller& c) { return c.load_parameters(file); }),
                  "LoadParameters");
}

// ---- events ----------------------------------------------------------------------

void Monochromator::report_delivery_failure(const Tango::DevFailed& failure) {
  // Once per kind of failure: an event that could not go out is worth a line in the
  // server's log, not a line per report.
  const std::string reason = failure.errors.length() ? failure.errors[0].reason.in() : "";
  if (reason == last_delivery_failure_) return;
  last_delivery_failure_ = reason;
  std::cerr << "brivel-tango: an event could not be pushed: "
            << (failure.errors.length() ? failure.errors[0].desc.in() : "") << std::endl;
}

void Monochromator::deliver_position(double nm, const timeval& arrived) {
  try {
    Tango::AutoTangoMonitor sync(this);
    if (!bridge_) return;
    pushed_wavelength_ = nm;
    timeval when = arrived;
    push_change_event("Wavelength", &pushed_wavelength_, when, Tango::ATTR_VALID);
  } catch (const Tango::DevFailed& failure) {
    report_delivery_failure(failure);
  } catch (...) {
    // A client's trouble or the device going away must not end the delivery.
  }
}

void Monochromator::deliver_change() {
  try {
    Tango::AutoTangoMonitor sync(this);
    if (!bridge_) return;
    const Values v = values_of(bridge_->situation());
    const bool all = !pushed_once_;
    const Values before = pushed_;
    // The events carry the members of pushed_, which stay valid after the push.
    pushed_ = v;
    pushed_once_ = true;
    Values& p = pushed_;
    // Each event on its own: one that cannot go out does not hold back the others.
    const auto push = [this](bool changed, auto&&... value) {
      if (!changed) return;
      try {
        push_change_event(value...);
      } catch (const Tango::DevFailed& failure) {
        report_delivery_failure(failure);
      }
    };
    if (all || v.state != before.state) set_state(v.state);
    push(all || v.state != before.state, "State");
    if (all || v.status != before.status) set_status(v.status);
    push(all || v.status != before.status, "Status");
    // Instrument values: an event whenever one changes, so that panels need no polling.
    push(all || v.speed != before.speed, "Speed", &p.speed);
    push(all || v.power_on != before.power_on, "PowerOnWavelength", &p.power_on);
    push(all || v.filter_wheel != before.filter_wheel || v.filter_state != before.filter_state, "FilterWheel",
         &p.filter_wheel);
    push(all || !same(v.filters, before.filters), "Filters", p.filters.data(), static_cast<long>(p.filters.size()));
    push(all || v.grating_lines != before.grating_lines, "GratingLines", &p.grating_lines);
    push(all || v.step != before.step, "StepSize", &p.step);
    push(all || v.instrument_no != before.instrument_no, "InstrumentNo", &p.instrument_no);
    push(all || v.zero_offset != before.zero_offset, "ZeroOffset", &p.zero_offset);
    pushed_year_ = const_cast<char*>(p.year.c_str());
    push(all || v.year != before.year, "Year", &pushed_year_);
    push(all || v.connected != before.connected, "Connected", &p.connected);
  } catch (const Tango::DevFailed& failure) {
    report_delivery_failure(failure);
  } catch (...) {
  }
}

}  // namespace brivel::tango
