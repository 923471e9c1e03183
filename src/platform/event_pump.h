#pragma once
// The event pump: the host's message loop as the control sees it.
//
// Contract:
//  * now() is a monotonic clock in seconds with a fraction (no wrap at midnight).
//  * yield() lets every pending event run (receive events, timer ticks, the
//    operator's clicks, the host's calls) and returns. It never blocks for long:
//    in real time it returns at once; in virtual time it runs what is due, or,
//    when nothing is due, moves the clock forward to the next event but by no
//    more than one millisecond.
//  * wait_until(deadline) lets pending events run and, when there are none,
//    sleeps (the CPU idle) until an event arrives or the deadline passes. It may
//    return early after running events; callers loop on their own condition.
//  * A Timer ticks once its interval has passed while it is enabled, from inside
//    yield() or wait_until(), and again every interval until it is disabled.
//  * post(task) may be called from any thread: the task runs on the pump's thread,
//    from inside a later yield(), wait_until() or idle() (or the host's own event
//    loop), after the tasks posted before it. A task posted while an operation waits
//    runs inside that wait; whoever posts decides what a task may do then.
//  * idle() is the pump's thread having nothing to do: it lets pending events run and,
//    when there are none, sleeps until one arrives (a posted task, bytes, a tick).

#include <functional>
#include <memory>

namespace brivel {

class Timer {
 public:
  using TickHandler = std::function<void()>;
  virtual ~Timer() = default;
  virtual void set_interval(int milliseconds) = 0;
  virtual int interval() const = 0;
  virtual void set_enabled(bool enabled) = 0;  // enabling (re)starts the interval
  virtual bool enabled() const = 0;
  void set_tick_handler(TickHandler handler) { handler_ = std::move(handler); }

 protected:
  void tick() {
    if (handler_) handler_();
  }

 private:
  TickHandler handler_;
};

class EventPump {
 public:
  virtual ~EventPump() = default;
  virtual double now() const = 0;
  virtual void yield() = 0;
  virtual void wait_until(double deadline) = 0;
  virtual std::unique_ptr<Timer> make_timer() = 0;
  virtual void post(std::function<void()> task) = 0;
  virtual void idle() = 0;
};

}  // namespace brivel
