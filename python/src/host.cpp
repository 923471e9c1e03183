#include "host.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QString>
#include <QtGlobal>
#include <clocale>
#include <mutex>
#include <stdexcept>

#include "errors.h"
#include "platform/failure.h"
#include "pty_server.h"
#include "qt/core/qt_platform.h"
#include "sim_options.h"

namespace brivel::pyhost {

namespace {

constexpr int kLogDebug = 10;    // logging.DEBUG
constexpr int kLogInfo = 20;     // logging.INFO
constexpr int kLogWarning = 30;  // logging.WARNING

// The Qt event loop needs an application object. A host that already has one (a Qt
// program embedding Python) keeps it; otherwise one is made that lives as long as the
// process. Qt takes the environment's locale on Unix when it starts; the Python host
// keeps the locale it had.
void ensure_application() {
  if (QCoreApplication::instance()) return;
  static int argc = 1;
  static char name[] = "python";
  static char* argv[] = {name, nullptr};
  const char* current = std::setlocale(LC_ALL, nullptr);
  const std::string saved = current ? current : "C";
  new QCoreApplication(argc, argv);  // never deleted: Python may call in until exit
  std::setlocale(LC_ALL, saved.c_str());
}

// The port of an instrument opened by device path: the device is pinned for whatever
// port number is in force when the port opens, and wins over BRIVEL_COM<n> from the
// environment. The device map is process-wide, so one port at a time pins, opens and
// unpins.
std::mutex pin_mutex;

class DevicePort : public qt::QtSerialPort {
 public:
  explicit DevicePort(std::string device) : device_(std::move(device)) {}

  void open() override {
    if (device_.empty()) {
      qt::QtSerialPort::open();
      return;
    }
    std::lock_guard<std::mutex> lock(pin_mutex);
    const int number = port_number();
    const QByteArray variable = "BRIVEL_COM" + QByteArray::number(number);
    const bool had_variable = qEnvironmentVariableIsSet(variable.constData());
    const QByteArray value = qgetenv(variable.constData());
    if (had_variable) qunsetenv(variable.constData());
    qt::set_port_device(number, QString::fromStdString(device_));
    struct Unpin {
      int number;
      bool had;
      QByteArray variable, value;
      ~Unpin() {
        qt::set_port_device(number, QString());
        if (had) qputenv(variable.constData(), value);
      }
    } unpin{number, had_variable, variable, value};
    qt::QtSerialPort::open();
  }

  std::string device_name() const override {
    return device_.empty() ? device().toStdString() : device_;
  }

 private:
  std::string device_;
};

const char* const kNotConnectedEn = "The monochromator is not connected: call open() first.";
const char* const kNotConnectedZh = "单色仪未连接：请先调用 open()。";

}  // namespace

// What one call leaves behind.
struct Instrument::Frame {
  const char* operation = "";
  bool connected_before = false;
  std::vector<Message> messages;
  std::vector<HostNote> notes;
  std::optional<RuntimeFailure> failure;           // passed on by the control
  std::string other_failure;                       // any other C++ exception
  std::optional<py::error_already_set> python_error;  // Ctrl-C, or a callback's exception
};

Instrument::Instrument(std::string device, int com, py::object confirm)
    : Instrument(std::move(device), com, std::move(confirm), nullptr) {}

Instrument::Instrument(std::string device, int com, py::object confirm,
                       std::unique_ptr<sim::PtyServer> simulator)
    : owner_(std::this_thread::get_id()),
      device_(std::move(device)),
      confirm_(std::move(confirm)),
      simulator_(std::move(simulator)) {
  ensure_application();
  // A thread that Qt did not start gets its event dispatcher here, before any timer
  // or socket notifier of this instrument is made.
  { QEventLoop make_dispatcher; }
  pump_ = std::make_unique<qt::QtEventPump>();
  control_ = std::make_unique<Control>(*pump_, static_cast<Dialogs&>(*this),
                                      std::make_unique<DevicePort>(device_));
  std::int16_t number = static_cast<std::int16_t>(com);
  control_->setIntUseCom(number);
  control_->set_wait_hook([this] { on_tick(); });
}

Instrument::~Instrument() {
  if (!owner_thread()) {
    // Qt objects may not be destroyed from another thread: the port and the event
    // pump are left to the end of the process rather than risk the host.
    (void)control_.release();
    (void)pump_.release();
  }
  // Otherwise the control closes its port first, then the simulator stops.
  control_.reset();
  pump_.reset();
}

std::unique_ptr<Instrument> Instrument::simulated(const SimulatorSettings& settings, py::object confirm) {
  sim::Memory memory = sim::factory_memory();
  std::string error;
  for (const auto& [name, value] : settings.memory)
    if (!sim::apply_memory(memory, name, value, error)) throw std::invalid_argument(error);
  sim::Faults faults;
  for (const std::string& fault : settings.faults)
    if (!sim::apply_fault(faults, fault, error)) throw std::invalid_argument(error);

  auto server = std::make_unique<sim::PtyServer>(memory, faults);
  if (settings.rate > 0) {
    server->with_controller([&](sim::Controller& c) {
      // Repositioning runs at full speed whatever the speed setting.
      c.motor().steps_per_speed = settings.rate;
      c.motor().reposition_rate = settings.rate * 250.0;
    });
  }
  if (!server->start_background(error))
    throw RuntimeFailure(FailureReason::PortFailure, "the simulator cannot start: " + error);
  const std::string device = server->device();
  return std::unique_ptr<Instrument>(new Instrument(device, 1, std::move(confirm), std::move(server)));
}

void Instrument::check_thread() const {
  if (!owner_thread())
    throw std::runtime_error(
        "a brivel.Monochromator is used from the thread that made it (only stop() works from "
        "other threads)");
}

Control& Instrument::control() {
  check_thread();
  return *control_;
}

const Control& Instrument::control() const {
  check_thread();
  return *control_;
}

std::string Instrument::device() const {
  if (!device_.empty()) return device_;
  return qt::device_for_port(control_->IntUseCom()).toStdString();
}

std::vector<std::string> Instrument::simulator_log() const {
  std::vector<std::string> log;
  if (simulator_) simulator_->with_controller([&](sim::Controller& c) { log = c.log(); });
  return log;
}

bool Instrument::in_call() const { return owner_thread() && !frames_.empty(); }

void Instrument::request_stop() noexcept { control_->RequestStop(); }

void Instrument::require_connected(const char* operation) const {
  if (control().BlnMonConnectFlag()) return;
  ErrorInfo info;
  info.type = ErrorType::NotConnected;
  info.operation = operation;
  info.text_en = kNotConnectedEn;
  info.text_zh = kNotConnectedZh;
  info.device = device();
  raise_error(info);
}

void Instrument::run(const char* operation, const std::function<void()>& body, Judge judge,
                     const Wording& refused) {
  check_thread();
  Frame frame;
  frame.operation = operation;
  frame.connected_before = control_->BlnMonConnectFlag() != 0;
  if (judge == Judge::RangeChecked) ModuleFunction::BytRangeOK() = 1;
  const bool outermost = frames_.empty();
  if (outermost) control_->clear_stop_request();  // a stop() made while idle is void
  frames_.push_back(&frame);
  {
    py::gil_scoped_release release;
    try {
      body();
    } catch (const RuntimeFailure& failure) {
      frame.failure.emplace(failure);
    } catch (const std::exception& failure) {
      frame.other_failure = failure.what();
    } catch (...) {
      frame.other_failure = "an unknown failure";
    }
  }
  frames_.pop_back();
  if (outermost) control_->clear_stop_request();
  conclude(frame, judge, refused);
}

void Instrument::conclude(Frame& frame, Judge judge, const Wording& refused) {
  // A Ctrl-C (or any exception of a signal handler or a callback) wins: it is what
  // the script has to see, and the call has already ended cleanly.
  if (frame.python_error) {
    py::error_already_set error = std::move(*frame.python_error);
    frame.python_error.reset();
    throw error;
  }

  const bool connected_after = control_->BlnMonConnectFlag() != 0;
  const Message* first = nullptr;  // the first refusal or failure
  for (const Message& m : frame.messages) {
    if (m.kind == MessageKind::Refusal || m.kind == MessageKind::Failure) {
      first = &m;
      break;
    }
  }
  const HostNote* failure_note = nullptr;
  bool interrupted = frame.failure && frame.failure->reason() == FailureReason::Interrupted;
  for (const HostNote& n : frame.notes) {
    if (n.kind == HostNote::Kind::Warning) log(kLogWarning, n.text_en);
    if (n.kind == HostNote::Kind::Interrupted) interrupted = true;
    if (n.kind == HostNote::Kind::Failure && !failure_note) failure_note = &n;
  }

  ErrorInfo info;
  info.operation = frame.operation;
  info.messages = frame.messages;
  if (failure_note) {
    info.detail_en = failure_note->text_en;
    info.detail_zh = failure_note->text_zh;
  }
  const auto text_from = [&](const Message* m, const std::string& en, const std::string& zh) {
    info.text_en = m ? m->text_en : en;
    info.text_zh = m ? m->text_zh : zh;
  };

  if (interrupted) {
    info.type = ErrorType::Stopped;
    text_from(nullptr, "The call was stopped on request; the motor was stopped.",
              "已按要求停止，电机已停止。");
    raise_error(info);
  }

  if (judge == Judge::Connection) {
    if (connected_after) {
      // Connected: what went wrong on the way (the filter wheel could not be read) is a
      // warning, not a failure of the connection.
      for (const Message& m : frame.messages)
        if (m.kind == MessageKind::Failure || m.kind == MessageKind::Refusal) log(kLogWarning, m.text);
      return;
    }
    info.type = ErrorType::Connection;
    info.device = device();
    text_from(first, "Monochromator connection failed.", "单色仪连接失败!");
    if (info.detail_en.empty() && frame.failure) info.detail_en = info.detail_zh = frame.failure->what();
    raise_error(info);
  }

  if (frame.failure) {
    const bool lost = frame.failure->reason() == FailureReason::PortLost;
    info.type = lost ? ErrorType::Connection : ErrorType::Operation;
    if (lost) info.device = device();
    const std::string why = frame.failure->what();
    text_from(first, "The operation could not be completed: " + why + ".", "操作未能完成：" + why + "。");
    if (info.detail_en.empty()) info.detail_en = info.detail_zh = why;
    raise_error(info);
  }
  if (!frame.other_failure.empty()) {
    info.type = ErrorType::Operation;
    text_from(first, "The operation could not be completed: " + frame.other_failure + ".",
              "操作未能完成：" + frame.other_failure + "。");
    raise_error(info);
  }

  const bool lost_connection = frame.connected_before && !connected_after;
  if (first) {
    if (first->kind == MessageKind::Refusal) {
      info.type = ErrorType::Refused;
    } else {
      info.type = lost_connection ? ErrorType::Connection : ErrorType::Operation;
      if (lost_connection) info.device = device();
    }
    text_from(first, "", "");
    raise_error(info);
  }
  if (failure_note) {
    // A failure the control reported only to the host (a download that stopped).
    info.type = lost_connection ? ErrorType::Connection : ErrorType::Operation;
    if (lost_connection) info.device = device();
    info.text_en = failure_note->text_en;
    info.text_zh = failure_note->text_zh;
    info.detail_en.clear();
    info.detail_zh.clear();
    raise_error(info);
  }
  if (judge == Judge::RangeChecked && ModuleFunction::BytRangeOK() == 0) {
    info.type = ErrorType::OutOfRange;
    text_from(nullptr, refused.en, refused.zh);
    raise_error(info);
  }
}

// ---- the operator's side ------------------------------------------------------------

Answer Instrument::message(const std::string& text, const std::string& title, Icon icon,
                           Buttons buttons) {
  // Every message comes through show(); this is what a message without its kind does.
  Message m;
  m.text = m.text_en = m.text_zh = text;
  m.title = m.title_en = m.title_zh = title;
  m.icon = icon;
  m.buttons = buttons;
  m.kind = buttons == Buttons::OkCancel ? MessageKind::Question : MessageKind::Information;
  return show(m);
}

std::optional<std::string> Instrument::input(const std::string&, const std::string&, const std::string&) {
  return std::nullopt;  // the port dialog of the lamp: a script sets the port itself
}

Answer Instrument::show(const Message& m) {
  if (Frame* frame = top()) frame->messages.push_back(m);
  switch (m.kind) {
    case MessageKind::Information:
    case MessageKind::Success:
      log(kLogInfo, m.text);
      return Answer::Ok;
    case MessageKind::Question:
      return ask(m);
    case MessageKind::Refusal:
    case MessageKind::Failure:
      // Raised as an exception when the call returns.
      log(kLogDebug, m.text);
      return Answer::Ok;
  }
  return Answer::Ok;
}

void Instrument::note(const HostNote& n) {
  if (Frame* frame = top()) frame->notes.push_back(n);
}

Answer Instrument::ask(const Message& question) {
  bool yes = true;
  {
    py::gil_scoped_acquire gil;
    if (PyBool_Check(confirm_.ptr())) {
      yes = confirm_.ptr() == Py_True;
    } else if (!confirm_.is_none()) {
      try {
        yes = py::bool_(confirm_(question.text));
      } catch (py::error_already_set& error) {
        keep(std::move(error), false);  // raised after the call; the question is declined
        yes = false;
      }
    }
  }
  log(kLogInfo, question.text + (yes ? " -> yes" : " -> no"));
  return yes ? Answer::Ok : Answer::Cancel;
}

void Instrument::log(int level, const std::string& text) {
  py::gil_scoped_acquire gil;
  try {
    py::module_::import("logging").attr("getLogger")("brivel").attr("log")(level, "%s", text);
  } catch (py::error_already_set& error) {
    keep(std::move(error), true);
  }
}

void Instrument::on_tick() noexcept {
  if (frames_.empty()) return;
  try {
    py::gil_scoped_acquire gil;
    if (PyErr_CheckSignals() != 0) {
      py::error_already_set error;  // takes the pending exception (KeyboardInterrupt)
      keep(std::move(error), true);
    }
  } catch (...) {
    // The hook may throw nothing into the control.
  }
}

void Instrument::keep(py::error_already_set&& error, bool stop) {
  Frame* frame = top();
  if (frame && !frame->python_error) frame->python_error.emplace(std::move(error));
  if (stop && frame) control_->RequestStop();
}

}  // namespace brivel::pyhost
