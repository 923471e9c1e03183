// The virtual-time pump: order of events, timers, nested waits, and that no loop on
// yield() or wait_until() can hold the clock still.

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "testkit/virtual_pump.h"

namespace brivel::testkit {
namespace {

constexpr double kStart = 1000.0;
#define EXPECT_AT(actual, expected) EXPECT_NEAR(actual, expected, 1e-9)

TEST(VirtualPump, RunsEventsInTimeOrderAndTiesInSchedulingOrder) {
  VirtualPump pump(kStart);
  std::vector<std::string> log;
  const auto note = [&](const char* what) { return [&, what] { log.push_back(what); }; };
  pump.at(kStart + 0.005, note("late"));
  pump.at(kStart + 0.002, note("first"));
  pump.at(kStart + 0.002, note("second"));
  pump.at(kStart - 1.0, note("past"));  // a time gone by means now
  pump.run_for(0.010);
  EXPECT_EQ(log, (std::vector<std::string>{"past", "first", "second", "late"}));
  EXPECT_AT(pump.now(), kStart + 0.010);
  EXPECT_EQ(pump.pending(), 0u);
}

TEST(VirtualPump, YieldStepsAtMostOneMillisecondAndWaitJumps) {
  VirtualPump pump(kStart);
  bool ran = false;
  pump.after(0.0014, [&] { ran = true; });
  pump.yield();  // nothing due within a millisecond: one millisecond passes
  EXPECT_AT(pump.now(), kStart + 0.001);
  pump.yield();  // an event sooner than a millisecond: the clock stops there
  EXPECT_TRUE(ran);
  EXPECT_AT(pump.now(), kStart + 0.0014);

  pump.after(2.0, [] {});
  pump.wait_until(pump.now() + 0.5);  // the deadline comes first
  EXPECT_AT(pump.now(), kStart + 0.5014);
  pump.wait_until(kStart + 60.0);  // the event comes first
  EXPECT_AT(pump.now(), kStart + 2.0014);
  // A deadline already passed, or none at all, still lets time pass.
  pump.wait_until(kStart);
  EXPECT_AT(pump.now(), kStart + 2.0024);
  pump.wait_until(std::numeric_limits<double>::infinity());
  EXPECT_AT(pump.now(), kStart + 2.0034);
}

TEST(VirtualPump, TimerTicksEveryIntervalUntilSwitchedOff) {
  VirtualPump pump(kStart);
  auto timer = pump.make_timer();
  std::vector<double> ticks;
  timer->set_tick_handler([&] {
    ticks.push_back(pump.now());
    if (ticks.size() == 3) timer->set_enabled(false);
  });
  timer->set_interval(10);
  timer->set_enabled(true);
  pump.run_for(0.1);
  ASSERT_EQ(ticks.size(), 3u);
  EXPECT_AT(ticks[0], kStart + 0.010);
  EXPECT_AT(ticks[2], kStart + 0.030);
  EXPECT_EQ(pump.pending(), 0u);

  // Enabling again restarts the interval from now.
  timer->set_enabled(true);
  pump.run_for(0.005);
  timer->set_enabled(true);
  pump.run_for(0.009);
  EXPECT_EQ(ticks.size(), 3u);
  pump.run_for(0.002);
  EXPECT_EQ(ticks.size(), 4u);

  // One tick as the control waits for it: switched on, waited for until the tick
  // switched it off, in a single step.
  timer->set_tick_handler([&] { timer->set_enabled(false); });
  timer->set_enabled(true);
  const double due = pump.now() + 0.010;
  const long long before = pump.steps();
  while (timer->enabled()) pump.wait_until(due);
  EXPECT_EQ(pump.steps() - before, 1);
  EXPECT_AT(pump.now(), due);

  timer->set_enabled(true);
  timer.reset();  // destroying the timer cancels its tick
  EXPECT_EQ(pump.pending(), 0u);
}

TEST(VirtualPump, AnActionMayWaitAndLaterEventsRunInsideItsWait) {
  // "Hold the jog button until it is released": the press waits, the release runs
  // inside that wait; nothing runs twice.
  VirtualPump pump(kStart);
  std::vector<std::string> log;
  bool released = false;
  double released_at = 0;
  pump.after(0.001, [&] {
    log.push_back("press");
    while (!released) pump.wait_until(pump.now() + 0.1);
    log.push_back("pressed until release");
    released_at = pump.now();
  });
  pump.after(0.002, [&] { log.push_back("tick"); });
  pump.after(0.300, [&] {
    log.push_back("release");
    released = true;
  });
  pump.run_for(1.0);
  EXPECT_EQ(log, (std::vector<std::string>{"press", "tick", "release", "pressed until release"}));
  EXPECT_AT(released_at, kStart + 0.300);
  EXPECT_AT(pump.now(), kStart + 1.0);
}

TEST(VirtualPump, NothingCanHoldTheClockStill) {
  VirtualPump pump(kStart);
  // An action that reschedules itself for the same instant runs once per yield.
  int runs = 0;
  std::function<void()> again = [&] {
    ++runs;
    pump.after(0.0, again);
  };
  pump.after(0.0, again);
  pump.yield();
  pump.yield();
  EXPECT_EQ(runs, 2);

  // A source that stays due and does nothing is left alone until the clock moves.
  struct Stuck : VirtualPump::Source {
    double next_due() const override { return 0.0; }
    void run_due(double) override { ++calls; }
    int calls = 0;
  } stuck;
  VirtualPump quiet(kStart);
  quiet.add_source(&stuck);
  for (int i = 0; i < 10; ++i) quiet.yield();
  EXPECT_AT(quiet.now(), kStart + 0.010);
  EXPECT_LE(stuck.calls, 20);  // at most once a pass
  quiet.remove_source(&stuck);
}

}  // namespace
}  // namespace brivel::testkit
