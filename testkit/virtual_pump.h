#pragma once
// Virtual time: a discrete-event loop standing in for the host's message loop.
// Timer ticks, bytes arriving on the loopback port and scripted operator actions are
// events with a due time. Nothing sleeps: when nothing is due the clock jumps.
//
// Order: events run in time order; at equal times the sources (bytes on the line) run
// first, then scheduled actions and timer ticks in the order they were scheduled.
// Re-entrancy: an event may itself call yield() or wait_until() (a scripted operator
// action that waits, the control's wait inside a receive event); each event leaves
// the queue before it runs, so nothing runs twice.
// Progress: every yield() and wait_until() either runs at least one event or moves
// the clock forward, so a caller that loops on them can never spin at one instant.

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/event_pump.h"

namespace brivel::testkit {

class VirtualPump : public EventPump {
 public:
  // Something that produces events of its own (the loopback port, a peer).
  class Source {
   public:
    virtual ~Source() = default;
    virtual double next_due() const = 0;  // +infinity when nothing is pending
    // Runs everything due at or before now. A source whose next_due() has not moved
    // after this call is taken as idle until the clock moves on.
    virtual void run_due(double now) = 0;
  };

  // The step of a yield that finds nothing due (seconds).
  static constexpr double kYieldStep = 0.001;

  explicit VirtualPump(double start = 1000.0);
  ~VirtualPump() override;
  VirtualPump(const VirtualPump&) = delete;
  VirtualPump& operator=(const VirtualPump&) = delete;

  double now() const override { return now_; }
  // Runs what is due now; when nothing is, moves the clock to the next event but by
  // no more than one millisecond, and runs what is then due.
  void yield() override;
  // Runs what is due; when nothing is, moves to the next event or the deadline,
  // whichever comes first. A deadline that has passed (or is not finite) moves the
  // clock as yield() does, so that a caller's loop always sees time pass.
  void wait_until(double deadline) override;
  // Timers tick every interval (at least 1 ms) while enabled; enabling or changing
  // the interval of an enabled timer restarts the interval.
  std::unique_ptr<Timer> make_timer() override;
  // Posted tasks are scheduled for the virtual now of the pass that takes them.
  void post(std::function<void()> task) override;
  // Runs what is due; when nothing is, moves to the next event; when no event is
  // pending at all, sleeps in real time until a task is posted.
  void idle() override;

  // Scripted actions: run `action` at virtual time `time` (or `delay` from now),
  // inside whatever yield or wait is running then. A time in the past means now.
  void at(double time, std::function<void()> action);
  void after(double delay, std::function<void()> action);

  // Lets events run, as an idle host would, for `seconds` of virtual time.
  void run_for(double seconds);

  // Sources must outlive their registration (a port removes itself when destroyed).
  void add_source(Source* source);
  void remove_source(Source* source);

  // Number of yields and waits so far (for tests that look for spinning).
  long long steps() const { return steps_; }
  // Scheduled actions and timer ticks not yet run.
  std::size_t pending() const;

 private:
  struct Scheduled;
  class VirtualTimer;
  long long schedule(double time, std::function<void()> action);  // gives an id
  void cancel(long long id);
  // Earliest event strictly after now (sources and actions); +infinity when none.
  double next_due() const;
  // One pass over what is due now; true when something ran.
  bool run_due();
  // Schedules what other threads posted, for now.
  void take_posted();
  void advance_to(double time);
  void step_towards(double limit);

  double now_;
  long long steps_ = 0;
  long long sequence_ = 0;
  std::vector<Scheduled> scheduled_;
  std::vector<Source*> sources_;
  std::vector<VirtualTimer*> timers_;
  std::mutex posted_mutex_;
  std::condition_variable posted_cv_;
  std::vector<std::function<void()>> posted_;
};

}  // namespace brivel::testkit
