#include "testkit/virtual_pump.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace brivel::testkit {

namespace {
constexpr double kNever = std::numeric_limits<double>::infinity();
}  // namespace

struct VirtualPump::Scheduled {
  double time;
  long long id;  // also the scheduling order
  std::function<void()> action;
};

// Timer1 in virtual time: each tick is a scheduled action that re-arms the next one
// before it calls the handler, so a handler that switches the timer off cancels it.
class VirtualPump::VirtualTimer : public Timer {
 public:
  explicit VirtualTimer(VirtualPump* pump) : pump_(pump) { pump_->timers_.push_back(this); }
  ~VirtualTimer() override {
    if (!pump_) return;
    disarm();
    auto& timers = pump_->timers_;
    timers.erase(std::remove(timers.begin(), timers.end(), this), timers.end());
  }

  void set_interval(int milliseconds) override {
    interval_ = milliseconds;
    if (enabled_) arm(pump_ ? pump_->now() : 0.0);
  }
  int interval() const override { return interval_; }
  void set_enabled(bool enabled) override {
    enabled_ = enabled;
    if (enabled)
      arm(pump_ ? pump_->now() : 0.0);
    else
      disarm();
  }
  bool enabled() const override { return enabled_; }
  void pump_gone() {
    pump_ = nullptr;
    pending_ = 0;
  }

 private:
  // An interval of 0 would tick at one instant forever; it ticks once a millisecond,
  // as a zero-interval timer of a real message loop fires once per pass.
  double period() const { return std::max(interval_, 1) / 1000.0; }
  void arm(double from) {
    disarm();
    if (!pump_) return;
    const double due = from + period();
    pending_ = pump_->schedule(due, [this, due] { fire(due); });
  }
  void disarm() {
    if (pump_ && pending_) pump_->cancel(pending_);
    pending_ = 0;
  }
  void fire(double due) {
    pending_ = 0;
    if (!enabled_) return;
    arm(due);  // ticks keep their rhythm whatever the handler does
    tick();    // the handler may destroy this timer: nothing may follow
  }

  VirtualPump* pump_;
  int interval_ = 0;
  bool enabled_ = false;
  long long pending_ = 0;
};

VirtualPump::VirtualPump(double start) : now_(start) {}

VirtualPump::~VirtualPump() {
  for (VirtualTimer* timer : timers_) timer->pump_gone();
}

long long VirtualPump::schedule(double time, std::function<void()> action) {
  const long long id = ++sequence_;
  scheduled_.push_back(Scheduled{std::max(time, now_), id, std::move(action)});
  return id;
}

void VirtualPump::cancel(long long id) {
  scheduled_.erase(std::remove_if(scheduled_.begin(), scheduled_.end(),
                                  [id](const Scheduled& s) { return s.id == id; }),
                   scheduled_.end());
}

void VirtualPump::at(double time, std::function<void()> action) {
  schedule(std::isnan(time) ? now_ : time, std::move(action));
}

void VirtualPump::after(double delay, std::function<void()> action) {
  at(now_ + std::max(0.0, delay), std::move(action));
}

std::size_t VirtualPump::pending() const { return scheduled_.size(); }

void VirtualPump::add_source(Source* source) {
  if (std::find(sources_.begin(), sources_.end(), source) == sources_.end())
    sources_.push_back(source);
}

void VirtualPump::remove_source(Source* source) {
  sources_.erase(std::remove(sources_.begin(), sources_.end(), source), sources_.end());
}

double VirtualPump::next_due() const {
  double next = kNever;
  for (const Scheduled& s : scheduled_)
    if (s.time > now_) next = std::min(next, s.time);
  for (const Source* source : sources_) {
    const double due = source->next_due();
    if (due > now_) next = std::min(next, due);
  }
  return next;
}

bool VirtualPump::run_due() {
  // Actions scheduled during this pass for this very instant wait for the next pass:
  // an action that keeps rescheduling itself cannot hold the clock still.
  const long long horizon = sequence_;
  std::vector<Source*> idle;
  bool ran = false;
  for (;;) {
    // Everything is looked up afresh each round: any event may add or remove others.
    Source* source = nullptr;
    double source_due = kNever;
    for (Source* s : sources_) {
      if (std::find(idle.begin(), idle.end(), s) != idle.end()) continue;
      const double due = s->next_due();
      if (due <= now_ && due < source_due) {
        source = s;
        source_due = due;
      }
    }
    auto action = scheduled_.end();
    for (auto it = scheduled_.begin(); it != scheduled_.end(); ++it) {
      if (it->time > now_ || it->id > horizon) continue;
      if (action == scheduled_.end() || it->time < action->time ||
          (it->time == action->time && it->id < action->id))
        action = it;
    }
    if (!source && action == scheduled_.end()) return ran;

    if (source && (action == scheduled_.end() || source_due <= action->time)) {
      source->run_due(now_);
      const bool still_here = std::find(sources_.begin(), sources_.end(), source) != sources_.end();
      if (still_here && source->next_due() == source_due)
        idle.push_back(source);  // no progress: leave it until the clock moves
      else
        ran = true;
      continue;
    }
    std::function<void()> run = std::move(action->action);
    scheduled_.erase(action);  // out of the queue before it runs (it may yield)
    run();
    ran = true;
  }
}

void VirtualPump::advance_to(double time) {
  if (time > now_ && std::isfinite(time)) now_ = time;
}

void VirtualPump::step_towards(double limit) {
  advance_to(std::min(next_due(), limit));
  run_due();
}

void VirtualPump::post(std::function<void()> task) {
  {
    std::lock_guard<std::mutex> lock(posted_mutex_);
    posted_.push_back(std::move(task));
  }
  posted_cv_.notify_one();
}

void VirtualPump::take_posted() {
  std::vector<std::function<void()>> tasks;
  {
    std::lock_guard<std::mutex> lock(posted_mutex_);
    tasks.swap(posted_);
  }
  for (auto& task : tasks) schedule(now_, std::move(task));
}

void VirtualPump::idle() {
  ++steps_;
  take_posted();
  if (run_due()) return;
  const double next = next_due();
  if (std::isfinite(next)) {
    step_towards(next);
    return;
  }
  std::unique_lock<std::mutex> lock(posted_mutex_);
  posted_cv_.wait(lock, [this] { return !posted_.empty(); });
  lock.unlock();
  take_posted();
  run_due();
}

void VirtualPump::yield() {
  ++steps_;
  take_posted();
  if (run_due()) return;
  step_towards(now_ + kYieldStep);
}

void VirtualPump::wait_until(double deadline) {
  ++steps_;
  take_posted();
  if (run_due()) return;
  const bool ahead = std::isfinite(deadline) && deadline > now_;
  step_towards(ahead ? deadline : now_ + kYieldStep);
}

void VirtualPump::run_for(double seconds) {
  const double end = now_ + std::max(0.0, seconds);
  while (now_ < end) wait_until(end);
  run_due();
}

std::unique_ptr<Timer> VirtualPump::make_timer() { return std::make_unique<VirtualTimer>(this); }

}  // namespace brivel::testkit
