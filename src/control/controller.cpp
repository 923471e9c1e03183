#include "control/controller.h"

#include <chrono>
#include <cmath>
#include <future>
#include <utility>

#include "text/convert.h"

namespace brivel {

namespace {

constexpr double kWaitSlice = 0.05;   // s: how often a wait on the control's own thread looks

bool same_settings(const State& a, const State& b) {
  return a.connected == b.connected && a.busy == b.busy && a.operation == b.operation &&
         a.speed == b.speed && a.power_on == b.power_on && a.instrument_no == b.instrument_no &&
         a.grating_lines == b.grating_lines && a.zero_offset == b.zero_offset && a.step == b.step &&
         a.year == b.year && a.language == b.language && a.port_number == b.port_number &&
         a.device == b.device && a.filter_state == b.filter_state && a.filters == b.filters &&
         a.last_message_en == b.last_message_en && a.port_lost == b.port_lost;
}

// The host's side of a control on a thread of its own: nothing is shown, questions
// are answered yes (as a script that asked for the operation would).
class SilentDialogs final : public Dialogs {
 public:
  Answer message(const std::string&, const std::string&, Icon, Buttons) override { return Answer::Ok; }
  std::optional<std::string> input(const std::string&, const std::string&, const std::string&) override {
    return std::nullopt;
  }
};

}  // namespace

// ---- the operation handle --------------------------------------------------------------

struct Operation::Shared {
  std::string name;
  Judge how = Judge::Messages;
  bool exclusive = true;
  bool needs_connection = false;
  std::function<void(Control&)> body;
  // Runs after judging, on the control's thread: may turn a Done into a failure.
  std::function<void(Control&, Result&)> check;
  std::string refused_en, refused_zh;   // an entry the range check refused
  bool refused = false;                 // the body's typed entry point refused its value

  EventPump* pump = nullptr;
  std::thread::id control_thread;

  mutable std::mutex mutex;
  std::condition_variable ended_cv;
  Result result;
  bool ended = false;
  bool cancelled = false;
  bool running = false;
  std::function<void()> stop;   // asks the running call to stop
  std::vector<Callback> callbacks;
};

const std::string& Operation::name() const {
  static const std::string none;
  return state_ ? state_->name : none;
}

bool Operation::done() const {
  if (!state_) return true;
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->ended;
}

Result Operation::result() const {
  if (!state_) return Result{};
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->result;
}

std::optional<Result> Operation::wait_for(double seconds) const {
  if (!state_) return Result{};
  const auto until = std::chrono::steady_clock::now() +
                     std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                         std::chrono::duration<double>(std::max(0.0, seconds)));
  if (std::this_thread::get_id() == state_->control_thread) {
    // On the control's own thread the operation only moves on while its pump runs.
    while (!done()) {
      if (std::chrono::steady_clock::now() >= until) return std::nullopt;
      state_->pump->wait_until(state_->pump->now() + kWaitSlice);
    }
    return result();
  }
  std::unique_lock<std::mutex> lock(state_->mutex);
  if (!state_->ended_cv.wait_until(lock, until, [this] { return state_->ended; })) return std::nullopt;
  return state_->result;
}

Result Operation::wait() const {
  if (!state_) return Result{};
  if (std::this_thread::get_id() == state_->control_thread) {
    while (!done()) state_->pump->wait_until(state_->pump->now() + kWaitSlice);
    return result();
  }
  std::unique_lock<std::mutex> lock(state_->mutex);
  state_->ended_cv.wait(lock, [this] { return state_->ended; });
  return state_->result;
}

void Operation::on_done(Callback callback) const {
  if (!state_ || !callback) return;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (!state_->ended) {
      state_->callbacks.push_back(std::move(callback));
      return;
    }
  }
  callback(result());
}

void Operation::cancel() const {
  if (!state_) return;
  std::function<void()> stop;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->ended) return;
    state_->cancelled = true;
    if (state_->running) stop = state_->stop;
  }
  if (stop) stop();   // a queued one ends Stopped when its turn comes, without running
}

// ---- what the control tells people ------------------------------------------------------

class Controller::Recorder final : public Dialogs {
 public:
  Recorder(Controller& owner, Dialogs& inner) : owner_(owner), inner_(inner) {}

  CallRecord* record = nullptr;   // the operation running, if any
  Answerer answerer;              // questions of operations started here

  Answer message(const std::string& text, const std::string& title, Icon icon, Buttons buttons) override {
    return inner_.message(text, title, icon, buttons);
  }
  std::optional<std::string> input(const std::string& prompt, const std::string& title,
                                   const std::string& default_text) override {
    return inner_.input(prompt, title, default_text);
  }
  Answer show(const Message& m) override {
    if (record) record->messages.push_back(m);
    owner_.told(m);
    if (m.kind == MessageKind::Question && record && answerer) return answerer(m);
    return inner_.show(m);
  }
  void note(const HostNote& n) override {
    if (record) record->notes.push_back(n);
    owner_.noted(n);
    inner_.note(n);
  }

 private:
  Controller& owner_;
  Dialogs& inner_;
};

// ---- the controller ---------------------------------------------------------------------

Controller::Controller(EventPump& pump, Dialogs& dialogs, std::unique_ptr<SerialPort> port, Files& files)
    : pump_(pump),
      recorder_(std::make_unique<Recorder>(*this, dialogs)),
      control_(std::make_unique<Control>(pump, *recorder_, std::move(port), files)),
      alive_(std::make_shared<Controller*>(this)),
      thread_(std::this_thread::get_id()) {
  control_->set_observer_hooks([this] { tick(); }, [this](double nm) { on_position(nm); });
  state_ = notified_ = read_state();
}

Controller::~Controller() {
  alive_.reset();   // posted work finds no controller any more
  std::vector<std::shared_ptr<Operation::Shared>> left;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    left.swap(queue_);
  }
  for (auto& op : left)
    finish(op, refusal(op->name, Outcome::Stopped, "The control was closed before the operation ran.",
                       "控件已关闭，操作未执行。"));
  control_->set_observer_hooks(nullptr, nullptr);
  control_.reset();   // closes the port
}

void Controller::set_answerer(Answerer answerer) {
  std::lock_guard<std::mutex> lock(mutex_);
  answerer_ = std::move(answerer);
}

void Controller::request_stop() noexcept { control_->RequestStop(); }

Operation Controller::refused(std::string name, Outcome outcome, const std::string& en, const std::string& zh) {
  auto op = std::make_shared<Operation::Shared>();
  op->name = name;
  op->ended = true;
  op->result = refusal(name, outcome, en, zh);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    op->result.wavelength = state_.wavelength;
  }
  return Operation(op);
}

Operation Controller::enqueue(std::shared_ptr<Operation::Shared> op) {
  op->pump = &pump_;
  op->control_thread = thread_;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (op->exclusive) {
      if (in_flight_) {
        const std::string busy = in_flight_->name;
        op->ended = true;
        op->result = refusal(op->name, Outcome::Busy,
                             "The monochromator is busy (" + busy + "): wait for it to end, or stop it first.",
                             "单色仪正忙（" + busy + "）：请等待其结束，或先停止。");
        op->result.wavelength = state_.wavelength;
        return Operation(op);
      }
      in_flight_ = op;
      state_.busy = true;
      state_.operation = op->name;
    }
    queue_.push_back(op);
  }
  std::weak_ptr<Controller*> alive = alive_;
  pump_.post([alive] {
    if (auto self = alive.lock()) (*self)->run_next();
  });
  return Operation(op);
}

Operation Controller::submit(std::string name, std::function<void(Control&)> body, Judge how, bool exclusive,
                             bool needs_connection) {
  auto op = std::make_shared<Operation::Shared>();
  op->name = std::move(name);
  op->body = std::move(body);
  op->how = how;
  op->exclusive = exclusive;
  op->needs_connection = needs_connection;
  return enqueue(std::move(op));
}

void Controller::run_next() {
  // Posted work runs inside whatever wait is running on this thread: an operation
  // never starts inside another; the one running takes the next when it ends.
  while (true) {
    std::shared_ptr<Operation::Shared> op;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (running_ || queue_.empty()) return;
      op = queue_.front();
      queue_.erase(queue_.begin());
      running_ = op;
    }
    bool cancelled = false;
    {
      std::lock_guard<std::mutex> lock(op->mutex);
      cancelled = op->cancelled;
      if (!cancelled) {
        op->running = true;
        op->stop = [this] { control_->RequestStop(); };
      }
    }
    Result result = cancelled ? refusal(op->name, Outcome::Stopped, "The operation was cancelled before it started.",
                                        "操作在开始前已取消。")
                              : execute(*op);
    finish(op, std::move(result));
  }
}

Result Controller::execute(Operation::Shared& op) {
  publish();
  if (op.needs_connection && !control_->BlnMonConnectFlag())
    return refusal(op.name, Outcome::NotConnected, "The monochromator is not connected: open it first.",
                   "单色仪未连接：请先打开连接。");
  CallRecord record;
  record.operation = op.name;
  record.connected_before = control_->BlnMonConnectFlag() != 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    recorder_->answerer = answerer_;
  }
  recorder_->record = &record;
  control_->clear_stop_request();   // a stop asked for before this operation is void
  try {
    op.body(*control_);
  } catch (const RuntimeFailure& failure) {
    record.failure.emplace(failure);
  } catch (const std::exception& failure) {
    record.other_failure = failure.what();
  } catch (...) {
    record.other_failure = "an unknown failure";
  }
  recorder_->record = nullptr;
  control_->clear_stop_request();
  record.connected_after = control_->BlnMonConnectFlag() != 0;
  record.motor_stopped = control_->stop_stopped_motor();
  record.range_refused = op.how == Judge::RangeChecked && op.refused;
  Result result = judge(record, op.how, op.refused_en, op.refused_zh);
  result.wavelength = control_->DblMonoWaveLen();
  if (result.ok() && op.check) op.check(*control_, result);
  return result;
}

void Controller::finish(const std::shared_ptr<Operation::Shared>& op, Result result) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (running_ == op) running_.reset();
    if (in_flight_ == op) in_flight_.reset();
  }
  // The state is published before anyone learns of the end: a waiter reads it next.
  if (control_) publish();
  std::vector<Operation::Callback> callbacks;
  {
    std::lock_guard<std::mutex> lock(op->mutex);
    op->result = std::move(result);
    op->ended = true;
    op->running = false;
    op->stop = nullptr;
    callbacks.swap(op->callbacks);
  }
  op->ended_cv.notify_all();
  for (auto& callback : callbacks) callback(op->result);
}

// ---- state and observers ------------------------------------------------------------------

State Controller::read_state() const {
  const Control& c = *control_;
  State s;
  s.connected = c.BlnMonConnectFlag() != 0;
  s.wavelength = c.DblMonoWaveLen();
  // The speed the controller reported; before any report, what a host last set.
  s.speed = c.state().reported_speed > 0 ? c.state().reported_speed : c.IntSpeed();
  s.power_on = c.DblOpenPos();
  s.instrument_no = c.LngInstrumentNo();
  s.grating_lines = c.IntGratingLines();
  s.zero_offset = c.LngZeroPos();
  s.step = c.DblMonoStep();
  s.year = c.StrYear();
  s.language = c.IntLanguage();
  s.port_number = c.IntUseCom();
  s.filter_state = c.IntFilterState();
  if (c.BlnFilterReady()) s.filters = c.state().filter_starts;
  return s;
}

State Controller::state() const {
  // On the control's own thread a blocking call may have changed the control since the
  // last publication: read it afresh.
  if (std::this_thread::get_id() == thread_) const_cast<Controller*>(this)->publish();
  std::lock_guard<std::mutex> lock(mutex_);
  return state_;
}

void Controller::tick() {
  // On a host's own thread (the widget's) a tick costs that thread: the state is read
  // only when someone listens or an operation of ours runs. state() read on the
  // control's thread reads it afresh anyway.
  bool wanted = publish_on_ticks_;
  if (!wanted) {
    std::lock_guard<std::mutex> lock(mutex_);
    wanted = !observers_.empty() || in_flight_ != nullptr;
  }
  if (wanted) publish();
}

void Controller::publish() {
  if (std::this_thread::get_id() != thread_) return;
  State fresh = read_state();
  bool changed = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    fresh.busy = in_flight_ != nullptr || control_->BlnBusy() != 0;
    fresh.operation = in_flight_ ? in_flight_->name : std::string();
    fresh.device = device_;
    fresh.last_message_en = state_.last_message_en;
    fresh.last_message_zh = state_.last_message_zh;
    fresh.port_lost = state_.port_lost && !fresh.connected;
    fresh.reports = state_.reports;
    if (device_.empty() || !fresh.connected) fresh.device = device_ = control_->port().device_name();
    state_ = fresh;
  }
  // Compared with what observers were last told (enqueue() marks busy at once for
  // readers of state(), without telling observers: that is done here).
  changed = !same_settings(fresh, notified_);
  if (changed) notified_ = fresh;
  if (changed) notify([&](const Observer& o) {
    if (o.state) o.state(fresh);
  });
}

void Controller::on_position(double nm) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    state_.wavelength = nm;
    ++state_.reports;
  }
  notify([nm](const Observer& o) {
    if (o.position) o.position(nm);
  });
}

void Controller::told(const Message& m) {
  if (m.kind == MessageKind::Question) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    state_.last_message_en = m.text_en;
    state_.last_message_zh = m.text_zh;
  }
  notify([&m](const Observer& o) {
    if (o.message) o.message(m);
  });
  publish();
}

void Controller::noted(const HostNote& n) {
  if (n.operation == "MSComm1_OnComm") {
    std::lock_guard<std::mutex> lock(mutex_);
    state_.port_lost = true;
  }
  notify([&n](const Observer& o) {
    if (o.note) o.note(n);
  });
}

void Controller::notify(const std::function<void(const Observer&)>& call) {
  std::lock_guard<std::recursive_mutex> calling(notify_mutex_);
  std::vector<std::shared_ptr<Observer>> observers;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [id, observer] : observers_) observers.push_back(observer);
  }
  for (const auto& observer : observers) {
    try {
      call(*observer);
    } catch (...) {
      // An observer may throw nothing into the control.
    }
  }
}

int Controller::subscribe(Observer observer) {
  std::lock_guard<std::mutex> lock(mutex_);
  const int id = next_observer_++;
  observers_.emplace_back(id, std::make_shared<Observer>(std::move(observer)));
  return id;
}

void Controller::unsubscribe(int id) {
  // Waits for a notification in progress on the control's thread, so that the
  // observer is never called after this returns.
  std::lock_guard<std::recursive_mutex> calling(notify_mutex_);
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = observers_.begin(); it != observers_.end(); ++it) {
    if (it->first == id) {
      observers_.erase(it);
      return;
    }
  }
}

// ---- the operations -------------------------------------------------------------------------

namespace {

// Within a step of the target (and the readout's 0.01 nm), or where did it stop.
void check_arrival(Control& c, Result& r, double target) {
  const double tolerance = std::fabs(c.DblMonoStep()) + 0.01;
  const double at = c.DblMonoWaveLen();
  if (std::fabs(at - target) <= tolerance) return;
  r.outcome = Outcome::Failed;
  r.text_en = "The grating stopped at " + text::plain(at) + " nm, not at " + text::plain(target) +
              " nm (a travel end, or the controller did not go all the way).";
  r.text_zh = "光栅停在 " + text::plain(at) + " nm，未到达 " + text::plain(target) + " nm（已到行程端点，或控制器未走完）。";
}

}  // namespace

Operation Controller::open() {
  return submit("open", [](Control& c) { c.OpenCom(); }, Judge::Connection);
}

Operation Controller::close() {
  return submit("close", [](Control& c) { c.CloseCom(); });
}

Operation Controller::move_to(double nm) {
  auto op = std::make_shared<Operation::Shared>();
  op->name = "move_to";
  op->needs_connection = true;
  op->body = [nm](Control& c) {
    double target = nm;
    c.MonochromatorMoveTo(target);
  };
  // Targets are moved to at 0.01 nm.
  const double target = std::round(nm * 100.0) / 100.0;
  op->check = [target](Control& c, Result& r) { check_arrival(c, r, target); };
  return enqueue(std::move(op));
}

Operation Controller::move_by(double nm) {
  auto op = std::make_shared<Operation::Shared>();
  op->name = "move_by";
  op->needs_connection = true;
  op->how = Judge::RangeChecked;
  op->refused_en = "The distance of " + text::plain(nm) +
                   " nm is beyond what the up and down buttons move; nothing was sent.";
  op->refused_zh = "移动距离 " + text::plain(nm) + " nm 超出上下按钮的范围，未发送任何命令。";
  auto start = std::make_shared<double>(0);
  Operation::Shared* self = op.get();   // alive while its body runs
  op->body = [nm, start, self](Control& c) {
    *start = c.DblMonoWaveLen();
    self->refused = !c.move_by(nm);
  };
  op->check = [nm, start](Control& c, Result& r) {
    if (nm == 0) return;
    // The buttons move whole motor steps: the end is the start plus those steps.
    const double step = c.DblMonoStep();
    const double steps = step > 0 ? std::round(std::fabs(nm) / step) : 0;
    check_arrival(c, r, *start + (nm > 0 ? 1 : -1) * steps * step);
  };
  return enqueue(std::move(op));
}

Operation Controller::jog(int direction, double seconds) {
  return submit(
      "jog",
      [direction, seconds](Control& c) {
        const auto press = direction > 0 ? &Control::CmdHandUp_MouseDown : &Control::CmdHandDown_MouseDown;
        const auto release = direction > 0 ? &Control::CmdHandUp_MouseUp : &Control::CmdHandDown_MouseUp;
        // The release is an event of its own: it runs inside the press handler's waits,
        // as the operator's release of the button does.
        bool released = false;
        std::unique_ptr<Timer> hold = c.pump().make_timer();
        hold->set_tick_handler([&] {
          hold->set_enabled(false);
          released = true;
          (c.*release)(1);
        });
        hold->set_interval(static_cast<int>(std::lround(std::max(0.0, seconds) * 1000.0)));
        hold->set_enabled(true);
        (c.*press)(1);
        // A press that returned early (not connected, busy) is released at once.
        if (!released) {
          hold->set_enabled(false);
          (c.*release)(1);
        }
      },
      Judge::Messages, true, true);
}

Operation Controller::stop() {
  std::shared_ptr<Operation::Shared> flying;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    flying = in_flight_;
  }
  if (flying) {
    Operation(flying).cancel();
    return Operation(flying);
  }
  // Nothing of ours runs: the stop button, as the operator presses it.
  return submit("stop", [](Control& c) { c.CmdStop_Click(); }, Judge::Messages, false, false);
}

Operation Controller::reposition() {
  return submit("reposition", [](Control& c) { c.CmdReAnchor_Click(); }, Judge::Messages, true, true);
}

Operation Controller::refresh() {
  return submit("refresh", [](Control& c) { c.CmdMonoRefresh_Click(); }, Judge::Messages, true, true);
}

Operation Controller::set_speed(int speed) {
  auto op = std::make_shared<Operation::Shared>();
  op->name = "speed";
  op->needs_connection = true;
  op->body = [speed](Control& c) {
    std::int16_t value = static_cast<std::int16_t>(std::clamp(speed, -32768, 32767));
    c.setIntSpeed(value);
  };
  op->check = [speed](Control& c, Result& r) {
    // The control keeps the speed the controller confirms; a script must know when
    // that is not the one it asked for.
    const int confirmed = c.IntSpeed();
    if (confirmed == speed) return;
    r.outcome = Outcome::Failed;
    r.text_en = "The monochromator did not confirm the speed " + std::to_string(speed) + "; the speed is " +
                std::to_string(confirmed) + ".";
    r.text_zh = "单色仪未确认速度 " + std::to_string(speed) + "；当前速度为 " + std::to_string(confirmed) + "。";
  };
  return enqueue(std::move(op));
}

Operation Controller::set_power_on(double nm) {
  return submit("power_on_wavelength", [nm](Control& c) {
    double value = nm;
    c.setDblOpenPos(value);
  }, Judge::Messages, true, true);
}

Operation Controller::set_filter_wheel(bool on) {
  return submit("filter_wheel", [on](Control& c) { c.switch_filter_wheel(on); }, Judge::Messages, true, true);
}

Operation Controller::set_filters(const std::vector<double>& starts) {
  auto op = std::make_shared<Operation::Shared>();
  op->name = "filters";
  op->needs_connection = true;
  op->how = Judge::RangeChecked;
  op->refused_en = "The filter table is outside the range the control accepts; nothing was sent.";
  op->refused_zh = "滤光片参数超出控件允许的范围，未发送任何命令。";
  Operation::Shared* self = op.get();   // alive while its body runs
  op->body = [starts, self](Control& c) { self->refused = !c.write_filter_table(starts); };
  return enqueue(std::move(op));
}

Operation Controller::save_parameters(const std::string& path) {
  return submit("save_parameters", [path](Control& c) { c.SaveParameter(path); }, Judge::Messages, true, true);
}

Operation Controller::load_parameters(const std::string& path) {
  return submit("load_parameters", [path](Control& c) { c.LoadParameter(path); }, Judge::Messages, true, true);
}

Operation Controller::set_language(int language) {
  return submit("language", [language](Control& c) {
    std::int16_t value = static_cast<std::int16_t>(language == 0 ? 0 : 1);
    c.setIntLanguage(value);
  }, Judge::Messages, false, false);
}

Operation Controller::set_port_number(int number) {
  return submit("port", [number](Control& c) {
    std::int16_t value = static_cast<std::int16_t>(std::clamp(number, -32768, 32767));
    c.setIntUseCom(value);
  }, Judge::Messages, false, false);
}

void Controller::run_until_quit() {
  while (!quit_.load()) pump_.idle();
}

void Controller::quit() {
  quit_.store(true);
  control_->RequestStop();
  pump_.post([] {});   // wakes the idle pump
}

// ---- a thread of its own ---------------------------------------------------------------------

ControlThread::ControlThread(Options options) {
  std::promise<void> ready;
  std::future<void> made = ready.get_future();
  thread_ = std::thread([this, &ready, options = std::move(options)]() mutable {
    try {
      pump_ = options.make_pump();
      dialogs_ = options.make_dialogs ? options.make_dialogs() : std::make_unique<SilentDialogs>();
      if (options.make_files) files_ = options.make_files();
      controller_ = std::make_unique<Controller>(*pump_, *dialogs_, options.make_port(),
                                                 files_ ? *files_ : standard_files());
      controller_->publish_on_ticks_ = true;   // its own thread: other threads read state()
      controller_->set_answerer([](const Message&) { return Answer::Ok; });
      Control& c = controller_->control();
      std::int16_t number = static_cast<std::int16_t>(options.port_number);
      c.setIntUseCom(number);
      std::int16_t language = static_cast<std::int16_t>(options.language == 0 ? 0 : 1);
      c.setIntLanguage(language);
      if (options.setup) options.setup(c);
      controller_->publish();
    } catch (...) {
      controller_.reset();
      dialogs_.reset();
      pump_.reset();
      ready.set_exception(std::current_exception());
      return;
    }
    ready.set_value();
    controller_->run_until_quit();
    quit_told_.get_future().wait();
    controller_.reset();   // closes the port on this thread
    dialogs_.reset();
    pump_.reset();
  });
  try {
    made.get();
  } catch (...) {
    thread_.join();
    throw;
  }
}

ControlThread::~ControlThread() {
  controller_->quit();
  quit_told_.set_value();
  thread_.join();
}

void ControlThread::call(const std::function<void(Control&)>& work) {
  std::promise<void> done;
  std::future<void> finished = done.get_future();
  Controller* controller = controller_.get();
  controller->pump().post([&] {
    try {
      work(controller->control());
      done.set_value();
    } catch (...) {
      done.set_exception(std::current_exception());
    }
  });
  finished.get();
}

}  // namespace brivel
