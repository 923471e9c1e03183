#include "host.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QString>
#include <algorithm>
#include <chrono>
#include <clocale>
#include <stdexcept>

#include "platform/failure.h"
#include "pty_server.h"
#include "qt/core/device_port.h"
#include "qt/core/port_map.h"
#include "qt/core/qt_platform.h"
#include "qt/core/serial_log.h"
#include "sim_options.h"
#include "text/convert.h"

namespace brivel::pyhost {

namespace {

constexpr int kLogDebug = 10;    // logging.DEBUG
constexpr int kLogInfo = 20;     // logging.INFO
constexpr int kLogWarning = 30;  // logging.WARNING
constexpr double kSlice = 0.05;  // s: how often a waiting thread looks for Ctrl-C
constexpr double kStopBound = 60;  // s: the longest wait for a cancelled operation to end

// The Qt event loops of the control threads need an application object. A host that
// already has one (a Qt program embedding Python) keeps it; otherwise one is made that
// lives as long as the process. Qt takes the environment's locale on Unix when it
// starts; the Python host keeps the locale it had.
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

double monotonic() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double wall_clock() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// brivel._support, where the Python side of logging and awaiting lives.
py::object support(const char* name) { return py::module_::import("brivel._support").attr(name); }

void log(int level, const std::string& text) {
  dispatcher::post([level, text] { support("log")("brivel", level, text); });
}

// ---- the serial traffic ------------------------------------------------------------------

std::atomic<bool> serial_wanted{false};
std::once_flag serial_receiver_once;

void install_serial_receiver() {
  std::call_once(serial_receiver_once, [] {
    qt::add_serial_log_receiver([](const QString& line) {
      if (!serial_wanted) return;
      const double created = wall_clock();
      dispatcher::post([created, text = line.trimmed().toStdString()] {
        support("serial_line")(created, text);
      });
    });
  });
}

thread_local std::optional<double> delivering_report;  // when the report being delivered arrived

}  // namespace

void refresh_serial_logging() {
  bool wanted = false;
  try {
    wanted = py::module_::import("logging").attr("getLogger")("brivel.serial").attr("isEnabledFor")(kLogDebug).cast<bool>();
  } catch (py::error_already_set&) {
    wanted = false;
  }
  install_serial_receiver();
  serial_wanted = wanted;
  qt::set_serial_logging(wanted);
}

std::optional<double> report_lag() {
  if (!delivering_report) return std::nullopt;
  return monotonic() - *delivering_report;
}

// ---- Relay -----------------------------------------------------------------------------

Relay::Relay(std::string device, py::object confirm)
    : pinned_device_(device), device_(std::move(device)), confirm_(share(std::move(confirm))) {}

std::string Relay::device() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return device_;
}

Observer Relay::observer() {
  // Called on the control's thread: nothing here waits for Python.
  std::weak_ptr<Relay> weak = shared_from_this();
  Observer o;
  o.position = [weak](double nm) {
    const double arrived = monotonic();
    if (auto self = weak.lock()) {
      {
        std::lock_guard<std::mutex> lock(self->mutex_);
        if (self->subscribers_.empty()) return;
      }
      dispatcher::post([self, nm, arrived] { self->deliver_position(nm, arrived); });
    }
  };
  o.state = [weak](const State& s) {
    if (auto self = weak.lock()) {
      self->language_ = s.language;
      std::lock_guard<std::mutex> lock(self->mutex_);
      if (self->pinned_device_.empty() && !s.device.empty()) self->device_ = s.device;
    }
  };
  o.message = [](const Message& m) {
    switch (m.kind) {
      case MessageKind::Information:
      case MessageKind::Success:
        log(kLogInfo, m.text);
        break;
      case MessageKind::Question:
        break;  // logged with its answer
      case MessageKind::Refusal:
      case MessageKind::Failure:
        log(kLogDebug, m.text);  // raised as an exception by the operation's Status
        break;
    }
  };
  o.note = [](const HostNote& n) {
    if (n.kind == HostNote::Kind::Warning) log(kLogWarning, n.text_en);
  };
  return o;
}

Answer Relay::answer(const Message& question) {
  bool yes = true;
  if (!finalizing()) {
    py::gil_scoped_acquire gil;
    py::handle confirm = confirm_->get();
    if (PyBool_Check(confirm.ptr())) {
      yes = confirm.ptr() == Py_True;
    } else if (!confirm.is_none()) {
      try {
        yes = py::bool_(confirm(question.text));
      } catch (py::error_already_set& error) {
        // Raised by the operation's Status; the question is declined.
        py::object value = py::reinterpret_borrow<py::object>(error.value());
        if (error.trace() && value) PyException_SetTraceback(value.ptr(), error.trace().ptr());
        std::lock_guard<std::mutex> lock(mutex_);
        if (!error_) error_ = share(std::move(value));
        yes = false;
      }
    }
  }
  log(kLogInfo, question.text + (yes ? " -> yes" : " -> no"));
  return yes ? Answer::Ok : Answer::Cancel;
}

SharedPy Relay::take_error() {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::move(error_);
}

std::shared_ptr<Subscriber> Relay::subscribe(py::object fn) {
  auto subscriber = std::make_shared<Subscriber>();
  subscriber->fn = share(std::move(fn));
  std::lock_guard<std::mutex> lock(mutex_);
  subscribers_.push_back(subscriber);
  return subscriber;
}

namespace {
// The subscriber being called on the dispatcher thread, so that unsubscribe() can wait
// for its call to end.
std::mutex calling_mutex;
std::condition_variable calling_done;
const Subscriber* calling = nullptr;
}  // namespace

void Relay::unsubscribe(const std::shared_ptr<Subscriber>& subscriber) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    subscriber->active = false;
    for (auto it = subscribers_.begin(); it != subscribers_.end(); ++it) {
      if (*it == subscriber) {
        subscribers_.erase(it);
        break;
      }
    }
  }
  if (dispatcher::on_dispatcher_thread()) return;  // inside a callback: none other runs
  py::gil_scoped_release release;
  std::unique_lock<std::mutex> lock(calling_mutex);
  calling_done.wait_for(lock, std::chrono::duration<double>(kStopBound),
                        [&] { return calling != subscriber.get(); });
}

void Relay::deliver_position(double nm, double arrived) {
  std::vector<std::shared_ptr<Subscriber>> now;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    now = subscribers_;
  }
  delivering_report = arrived;
  for (const auto& subscriber : now) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!subscriber->active) continue;
    }
    {
      std::lock_guard<std::mutex> lock(calling_mutex);
      calling = subscriber.get();
    }
    try {
      subscriber->fn->get()(nm);
    } catch (py::error_already_set& error) {
      error.discard_as_unraisable("a brivel position subscriber");
    }
    {
      std::lock_guard<std::mutex> lock(calling_mutex);
      calling = nullptr;
    }
    calling_done.notify_all();
  }
  delivering_report.reset();
}

// ---- StatusCore --------------------------------------------------------------------------

StatusCore::StatusCore(std::string operation, Operation op, Yields yields, ErrorType failed_as,
                       std::shared_ptr<Relay> relay)
    : operation_(std::move(operation)),
      op_(std::move(op)),
      yields_(yields),
      failed_as_(failed_as),
      relay_(std::move(relay)) {}

std::shared_ptr<StatusCore> StatusCore::finished(std::string operation, double wavelength) {
  auto core = std::make_shared<StatusCore>(std::move(operation), Operation(), Yields::Wavelength,
                                           ErrorType::Operation, nullptr);
  Result r;
  r.outcome = Outcome::Done;
  r.operation = core->operation_;
  r.wavelength = wavelength;
  core->result_ = r;
  core->delivered_ = true;
  return core;
}

void StatusCore::watch(const std::shared_ptr<StatusCore>& self) {
  // On the control's thread (or here, when it has already ended): the exception of
  // `confirm` belongs to this operation; the end is delivered after what came before.
  self->op_.on_done([self](const Result& result) {
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      self->result_ = result;
      if (self->relay_) self->kept_error_ = self->relay_->take_error();
    }
    if (!dispatcher::post([self] { self->deliver(); })) {
      // The package has shut down (interpreter exit): delivered without callbacks.
      std::lock_guard<std::mutex> lock(self->mutex_);
      self->delivered_ = true;
      self->callbacks_.clear();
      self->delivered_cv_.notify_all();
    }
  });
}

void StatusCore::deliver() {
  std::vector<std::pair<SharedPy, SharedPy>> callbacks;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    delivered_ = true;
    callbacks.swap(callbacks_);
  }
  delivered_cv_.notify_all();
  for (const auto& [fn, status] : callbacks) {
    try {
      fn->get()(status->get());
    } catch (py::error_already_set& error) {
      error.discard_as_unraisable("a brivel.Status callback");
    }
  }
}

bool StatusCore::done() const {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (delivered_) return true;
  }
  return dispatcher::on_dispatcher_thread() && op_.valid() && op_.done();
}

void StatusCore::cancel() {
  if (!op_.valid()) return;
  py::gil_scoped_release release;
  op_.cancel();
}

void StatusCore::add_callback(py::object fn, py::object status) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!delivered_) {
      callbacks_.emplace_back(share(std::move(fn)), share(std::move(status)));
      return;
    }
  }
  fn(status);
}

py::object StatusCore::wait(std::optional<double> timeout) {
  const double start = monotonic();
  const auto left = [&] { return timeout ? *timeout - (monotonic() - start) : kSlice; };
  const bool inside_callback = dispatcher::on_dispatcher_thread();
  // Ends when delivered (or, in a callback, when the core's operation has ended).
  const auto ended = [&] {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (delivered_) return true;
    }
    return inside_callback && op_.valid() && op_.done();
  };
  std::optional<py::error_already_set> interrupted;
  while (!ended()) {
    if (timeout && left() <= 0) break;
    {
      py::gil_scoped_release release;
      const double slice = std::min(kSlice, std::max(0.0, left()));
      if (inside_callback) {
        op_.wait_for(slice);
      } else {
        std::unique_lock<std::mutex> lock(mutex_);
        delivered_cv_.wait_for(lock, std::chrono::duration<double>(slice), [&] { return delivered_; });
      }
    }
    if (PyErr_CheckSignals() != 0) {
      // Ctrl-C (or whatever a signal handler raised): the stop button, then the exception.
      interrupted.emplace();
      {
        py::gil_scoped_release release;
        if (op_.valid()) {
          op_.cancel();
          op_.wait_for(kStopBound);
        }
      }
      if (!inside_callback) {
        py::gil_scoped_release release;
        std::unique_lock<std::mutex> lock(mutex_);
        delivered_cv_.wait_for(lock, std::chrono::duration<double>(kStopBound), [&] { return delivered_; });
      }
      throw std::move(*interrupted);
    }
  }
  std::optional<Result> result;
  SharedPy kept;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    result = result_;
    kept = kept_error_;
  }
  if (!result && inside_callback && op_.valid() && op_.done()) result = op_.result();
  if (!result) {
    PyErr_SetString(PyExc_TimeoutError,
                    (operation_ + " is still running after " + text::plain(timeout.value_or(0)) + " s").c_str());
    throw py::error_already_set();
  }
  if (kept) {
    // The exception of `confirm` is what the script has to see.
    py::handle error = kept->get();
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    throw py::error_already_set();
  }
  return outcome(*result);
}

py::object StatusCore::outcome(const Result& r) {
  if (r.outcome == Outcome::Done) {
    if (yields_ == Yields::Wavelength) return py::float_(r.wavelength);
    return py::none();
  }
  ErrorInfo info;
  info.operation = operation_;
  info.text_en = r.text_en;
  info.text_zh = r.text_zh;
  info.detail_en = r.detail_en;
  info.detail_zh = r.detail_zh;
  info.messages = r.messages;
  info.language = relay_ ? relay_->language() : 1;
  switch (r.outcome) {
    case Outcome::Refused: info.type = ErrorType::Refused; break;
    case Outcome::NotConnected: info.type = ErrorType::NotConnected; break;
    case Outcome::Busy: info.type = ErrorType::Busy; break;
    case Outcome::OutOfRange: info.type = ErrorType::OutOfRange; break;
    case Outcome::Stopped: info.type = ErrorType::Stopped; break;
    case Outcome::ConnectionLost: info.type = ErrorType::Connection; break;
    case Outcome::Failed: info.type = failed_as_; break;
    case Outcome::Pending:
    case Outcome::Done: info.type = ErrorType::Operation; break;
  }
  if (info.type == ErrorType::Connection || info.type == ErrorType::NotConnected)
    info.device = relay_ ? relay_->device() : std::string();
  raise_error(info);
}

// ---- Host --------------------------------------------------------------------------------

namespace {
std::mutex hosts_mutex;
std::vector<Host*> live_hosts;   // for the shutdown at interpreter exit
}  // namespace

Controller& Host::controller() {
  if (!thread_) throw std::runtime_error("the instrument was closed when the interpreter began to exit");
  return thread_->controller();
}

State Host::state() const {
  if (!thread_) throw std::runtime_error("the instrument was closed when the interpreter began to exit");
  return thread_->controller().state();
}

void Host::shut_down() {
  if (!thread_) return;
  thread_->controller().unsubscribe(observer_);
  thread_.reset();
}

void Host::shut_down_all() {
  std::vector<Host*> hosts;
  {
    std::lock_guard<std::mutex> lock(hosts_mutex);
    hosts = live_hosts;
  }
  py::gil_scoped_release release;
  for (Host* host : hosts) host->shut_down();
}

Host::Host(std::string device, int com, py::object confirm)
    : Host(std::move(device), com, std::move(confirm), nullptr) {}

Host::Host(std::string device, int com, py::object confirm, std::unique_ptr<sim::PtyServer> simulator)
    : simulator_(std::move(simulator)), relay_(std::make_shared<Relay>(device, std::move(confirm))) {
  ensure_application();
  refresh_serial_logging();
  ControlThread::Options options;
  options.make_pump = [] { return std::make_unique<qt::QtEventPump>(); };
  options.make_port = [device] { return std::make_unique<qt::DevicePort>(device); };
  options.port_number = com;
  options.language = 1;
  py::gil_scoped_release release;
  thread_ = std::make_unique<ControlThread>(std::move(options));
  Controller& c = thread_->controller();
  std::weak_ptr<Relay> weak = relay_;
  c.set_answerer([weak](const Message& question) {
    auto relay = weak.lock();
    return relay ? relay->answer(question) : Answer::Ok;
  });
  observer_ = c.subscribe(relay_->observer());
  thread_->call([this](Control& control) {
    for (const interface::Property& p : interface::kProperties)
      if (!p.from_state) unshared_[p.name] = p.get(control);
  });
  std::lock_guard<std::mutex> lock(hosts_mutex);
  live_hosts.push_back(this);
}

Host::~Host() {
  {
    std::lock_guard<std::mutex> lock(hosts_mutex);
    live_hosts.erase(std::remove(live_hosts.begin(), live_hosts.end(), this), live_hosts.end());
  }
  py::gil_scoped_release release;  // a question may be waiting for the GIL on the control's thread
  shut_down();
  simulator_.reset();
}

std::unique_ptr<Host> Host::simulated(const SimulatorSettings& settings, py::object confirm) {
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
  return std::unique_ptr<Host>(new Host(device, 1, std::move(confirm), std::move(server)));
}

std::shared_ptr<StatusCore> Host::start(const std::string& operation,
                                        const std::function<Operation(Controller&)>& begin, Yields yields,
                                        bool needs_connection, ErrorType failed_as) {
  if (needs_connection && !state().connected) raise_not_connected(operation);
  refresh_serial_logging();
  Operation op;
  {
    py::gil_scoped_release release;
    op = begin(controller());
  }
  auto core = std::make_shared<StatusCore>(operation, op, yields, failed_as, relay_);
  if (op.done()) {
    // Refused at once because another operation is in flight: raised here, whether
    // the caller waits or not.
    const Result result = op.result();
    if (result.outcome == Outcome::Busy) core->outcome(result);
  }
  StatusCore::watch(core);
  return core;
}

std::string Host::device() const {
  const std::string pinned = relay_->device();
  if (!pinned.empty()) return pinned;
  return qt::device_for_port(state().port_number).toStdString();
}

interface::Value Host::unshared(const interface::Property& property) const {
  std::lock_guard<std::mutex> lock(unshared_mutex_);
  const auto found = unshared_.find(property.name);
  return found != unshared_.end() ? found->second : interface::Value();
}

void Host::read_unshared(const interface::Property& property) {
  interface::Value value;
  call([&](Control& c) { value = property.get(c); });
  std::lock_guard<std::mutex> lock(unshared_mutex_);
  unshared_[property.name] = std::move(value);
}

void Host::call(const std::function<void(Control&)>& body) {
  Controller& c = controller();
  (void)c;
  py::gil_scoped_release release;
  thread_->call(body);
}

std::vector<std::string> Host::simulator_log() const {
  std::vector<std::string> log;
  if (simulator_) {
    py::gil_scoped_release release;
    simulator_->with_controller([&](sim::Controller& c) { log = c.log(); });
  }
  return log;
}

void Host::raise_not_connected(const std::string& operation) const {
  ErrorInfo info;
  info.type = ErrorType::NotConnected;
  info.operation = operation;
  info.text_en = "The monochromator is not connected: call open() first.";
  info.text_zh = "单色仪未连接：请先调用 open()。";
  info.device = device();
  info.language = relay_->language();
  raise_error(info);
}

}  // namespace brivel::pyhost
