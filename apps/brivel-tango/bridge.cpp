#include "bridge.h"

#include <QByteArray>
#include <QEventLoop>
#include <QString>
#include <QtGlobal>

#include <cctype>
#include <chrono>
#include <utility>

#include "platform/forwarding_port.h"
#include "qt/core/device_port.h"
#include "qt/core/port_map.h"
#include "qt/core/qt_platform.h"

namespace brivel::tango {

namespace {

// The real port (qt::DevicePort: pinned to the device of the Port property when it
// names one), telling the bridge about every command it writes.
class WatchedPort : public ForwardingPort {
 public:
  WatchedPort(std::unique_ptr<SerialPort> inner, std::function<void()> wrote)
      : ForwardingPort(std::move(inner)), wrote_(std::move(wrote)) {}
  void write(const Bytes& data) override {
    ForwardingPort::write(data);
    wrote_();
  }

 private:
  std::function<void()> wrote_;
};

timeval now_timeval() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  return tv;
}

}  // namespace

PortChoice parse_port(const std::string& property) {
  PortChoice choice;
  std::string text = property;
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
  std::size_t first = 0;
  while (first < text.size() && std::isspace(static_cast<unsigned char>(text[first]))) ++first;
  text = text.substr(first);
  if (text.empty()) {
    choice.error_en = "the Port property is not set (a device path or a port number 1 to 16)";
    choice.error_zh = "未设置 Port 属性（设备路径或 1 到 16 的串口号）";
    return choice;
  }
  bool digits = true;
  for (char c : text) digits = digits && std::isdigit(static_cast<unsigned char>(c));
  if (digits) {
    const long number = text.size() > 3 ? 0 : std::stol(text);
    if (number < 1 || number > 16) {
      choice.error_en = "Port " + text + ": a port number is 1 to 16";
      choice.error_zh = "Port " + text + "：串口号应为 1 到 16";
      return choice;
    }
    choice.number = static_cast<int>(number);
    return choice;
  }
  choice.device = text;
  return choice;
}

Bridge::Bridge(BridgeSettings settings, Sink sink)
    : settings_(std::move(settings)), port_(parse_port(settings_.port)), sink_(std::move(sink)) {
  ControlThread::Options options;
  options.make_pump = [] { return std::make_unique<qt::QtEventPump>(); };
  const QString device = QString::fromStdString(port_.device);
  options.make_port = [this, device]() -> std::unique_ptr<SerialPort> {
    return std::make_unique<WatchedPort>(std::make_unique<qt::DevicePort>(device.toStdString()),
                                         [this] { wrote(); });
  };
  options.port_number = port_.number;
  options.language = settings_.language;
  control_ = std::make_unique<ControlThread>(std::move(options));

  Controller& c = control_->controller();
  const bool yes = settings_.answer_yes;
  c.set_answerer([yes](const Message&) { return yes ? Answer::Ok : Answer::Cancel; });

  Observer observer;
  observer.position = [this](double nm) {
    reports_.fetch_add(1);
    const timeval arrived = now_timeval();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      positions_.emplace_back(nm, arrived);
    }
    delivery_.notify_one();
  };
  observer.state = [this](const State& state) {
    if (state.connected) {
      std::lock_guard<std::mutex> lock(mutex_);
      fault_en_.clear();
      fault_zh_.clear();
    }
    mark_changed();
  };
  observer.message = [this](const Message&) { mark_changed(); };
  observer.note = [this](const HostNote& note) {
    // Why a connection could not be made or went away while idle; other failures
    // (a move that overran, a download that stopped) are the operation's, not the
    // connection's, and reach the status as the operator's message.
    if (note.kind == HostNote::Kind::Failure &&
        (note.operation == "OpenCom" || note.operation == "MSComm1_OnComm")) {
      std::lock_guard<std::mutex> lock(mutex_);
      fault_en_ = note.text_en;
      fault_zh_ = note.text_zh;
    }
    mark_changed();
  };
  observer_ = c.subscribe(std::move(observer));
  delivery_thread_ = std::thread([this] { deliver(); });
}

Bridge::~Bridge() {
  alive_.reset();  // what was chained to an operation's end starts nothing more
  control_->controller().unsubscribe(observer_);
  stop_delivery();
  // Stops a running operation (the motor first), closes the port and joins.
  control_.reset();
}

void Bridge::stop_delivery() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!delivering_) return;
    delivering_ = false;
  }
  delivery_.notify_all();
  if (delivery_thread_.joinable()) delivery_thread_.join();
}

void Bridge::mark_changed() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    changed_ = true;
  }
  delivery_.notify_one();
}

void Bridge::wrote() {
  writes_.fetch_add(1);
  std::lock_guard<std::mutex> lock(mutex_);
  progress_.notify_all();
}

void Bridge::deliver() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    delivery_.wait(lock, [this] { return !delivering_ || changed_ || !positions_.empty(); });
    if (!delivering_) return;
    // Positions first, in order, then one change for whatever changed meanwhile.
    while (!positions_.empty() && delivering_) {
      const auto [nm, arrived] = positions_.front();
      positions_.pop_front();
      lock.unlock();
      if (sink_.position) sink_.position(nm, arrived);
      lock.lock();
    }
    if (changed_ && delivering_) {
      changed_ = false;
      lock.unlock();
      if (sink_.changed) sink_.changed();
      lock.lock();
    }
  }
}

Situation Bridge::situation() const {
  Situation s;
  s.control = control_->controller().state();
  std::lock_guard<std::mutex> lock(mutex_);
  s.wanted = wanted_;
  if (!port_.error_en.empty()) {
    s.fault_en = port_.error_en;
    s.fault_zh = port_.error_zh;
  } else {
    s.fault_en = fault_en_;
    s.fault_zh = fault_zh_;
  }
  s.device = port_.device.empty() ? s.control.device : port_.device;
  return s;
}

std::optional<Result> Bridge::start(const Starter& starter, double bound) {
  const std::uint64_t mark = writes_.load();
  Operation op = starter(control_->controller());
  if (!op.valid()) return std::nullopt;
  op.on_done([this](const Result&) {
    std::lock_guard<std::mutex> lock(mutex_);
    progress_.notify_all();
  });
  std::unique_lock<std::mutex> lock(mutex_);
  progress_.wait_for(lock, std::chrono::duration<double>(bound),
                     [&] { return op.done() || writes_.load() != mark; });
  lock.unlock();
  if (op.done()) return op.result();
  return std::nullopt;
}

std::optional<Result> Bridge::open() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    wanted_ = true;
    fault_en_.clear();
    fault_zh_.clear();
  }
  mark_changed();
  if (!port_.error_en.empty())
    return refusal("open", Outcome::Refused, port_.error_en, port_.error_zh);
  return start([](Controller& c) { return c.open(); });
}

std::optional<Result> Bridge::close() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    wanted_ = false;
  }
  mark_changed();
  Controller& c = control_->controller();
  if (c.state().busy) {
    // The running operation is stopped first (a motion stops as with the stop button);
    // the port closes as soon as it has ended.
    Operation running = c.stop();
    if (running.valid() && !running.done()) {
      std::weak_ptr<bool> alive = alive_;
      running.on_done([&c, alive](const Result&) {
        if (alive.lock()) c.close();
      });
      return std::nullopt;
    }
  }
  return start([](Controller& controller) { return controller.close(); });
}

void Bridge::request_stop() noexcept { control_->controller().request_stop(); }

}  // namespace brivel::tango
