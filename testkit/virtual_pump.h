#pragma once
// Virtual time: a discrete-event loop standing in for the host's message loop.
// Timer ticks, bytes arriving on the loopback port and scripted operator actions are
// events with a due time. Nothing sleeps: when nothing is due the clock jumps.

#include <functional>
#include <memory>
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
    virtual void run_due(double now) = 0; // run everything due at or before now
  };

  explicit VirtualPump(double start = 1000.0);
  ~VirtualPump() override;

  double now() const override { return now_; }
  // Runs what is due now; when nothing is, moves the clock to the next event but by
  // no more than one millisecond, and runs what is then due.
  void yield() override;
  // Runs what is due; when nothing is, moves to the next event or the deadline,
  // whichever comes first.
  void wait_until(double deadline) override;
  std::unique_ptr<Timer> make_timer() override;

  // Scripted actions: run `action` at virtual time `time` (or `delay` from now),
  // inside whatever yield or wait is running then.
  void at(double time, std::function<void()> action);
  void after(double delay, std::function<void()> action);

  // Lets events run, as an idle host would, for `seconds` of virtual time.
  void run_for(double seconds);

  void add_source(Source* source);
  void remove_source(Source* source);

  // Number of yields and waits so far (for tests that look for spinning).
  long long steps() const { return steps_; }

 private:
  struct Scheduled;
  class VirtualTimer;
  double next_due() const;
  void run_due();
  void advance_to(double time);

  double now_;
  long long steps_ = 0;
  long long sequence_ = 0;
  std::vector<Scheduled> scheduled_;
  std::vector<Source*> sources_;
  std::vector<VirtualTimer*> timers_;
};

}  // namespace brivel::testkit
