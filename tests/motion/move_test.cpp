// The absolute move: wire traffic, the three end signs, the stall test, the busy
// flag over the call, refusals and run-time failures.

#include <gtest/gtest.h>

#include "motion_bench.h"
#include "platform/failure.h"

namespace brivel::motion_test {
namespace {

using Hex = std::vector<std::string>;

// A reply to the move command whose head (the target record) is position `p`.
Bytes move_reply(std::uint32_t p) {
  Bytes r = report(p);
  r.erase(r.begin());
  r.push_back('\r');
  return r;
}

void move(Connected& c, double target) { c.b.control.MonochromatorMoveTo(target); }

TEST(MoveTo, FollowsToTheTargetTwoRequestsAPassThenAClosingOne) {
  Connected c;
  move(c, 500);
  const Hex writes = c.b.write_hex();
  ASSERT_GE(writes.size(), 4u);
  EXPECT_EQ(writes[0], "57 00 00 27 10");
  EXPECT_EQ(count_of(writes, "77"), int(writes.size()) - 1);
  EXPECT_EQ(writes.size() % 2, 0u) << "the move, pairs of requests, one closing request";
  EXPECT_EQ(c.b.control.surface().at("LblWaveLen").text(), "500.00");
  EXPECT_EQ(c.b.control.BlnBusy(), kFalse);
  EXPECT_TRUE(c.b.dialogs.shown().empty());

  // Scripted: the third report repeats the target record; its pass still asks twice.
  Script s{'W', move_reply(10000), {report(2000), report(4000), report(10000)}};
  s.install(c.b);
  c.b.clear();
  move(c, 450);
  EXPECT_EQ(c.b.write_hex(), (Hex{"57 00 00 23 28", "77", "77", "77", "77", "77"}));
}

TEST(MoveTo, ControllerEndAndStopEndTheFollowLoop) {
  Connected c;
  Script s{'W', {'O', 'K', 'K', 'K', '\r'}, {report(3000)}};
  s.install(c.b);
  move(c, 500);
  EXPECT_EQ(c.b.write_hex(), (Hex{"57 00 00 27 10", "77"}));   // no pass, only the closing request

  Connected d;
  d.b.pump.after(0.05, [&] { d.b.control.CmdStop_Click(); });
  move(d, 5000);
  const Hex tail = after(d.b.write_hex(), "6B");
  // The stop's request, perhaps the rest of the pass, the closing request.
  EXPECT_TRUE(tail.size() == 2 || tail.size() == 3) << tail.size();
  EXPECT_EQ(count_of(tail, "77"), int(tail.size()));
  EXPECT_LT(d.b.control.DblMonoWaveLen(), 4950.0);
  EXPECT_TRUE(d.b.dialogs.shown().empty());
  EXPECT_EQ(d.b.control.BlnBusy(), kFalse);
}

TEST(MoveTo, StallComparesFirstAndThirdPassOfAGroup) {
  Connected c;
  c.b.sim.faults().stall = true;
  move(c, 500);
  EXPECT_EQ(c.b.write_hex().size(), 7u) << "three passes of two requests, no closing one";
  ASSERT_EQ(c.b.dialogs.shown().size(), 1u);
  EXPECT_EQ(c.b.dialogs.last().text, "The position doesn't change, please check.");
  EXPECT_EQ(c.b.dialogs.last().title, "Prompt");
  EXPECT_EQ(c.b.dialogs.last().icon, Icon::Critical);
  EXPECT_EQ(c.b.control.BlnBusy(), kFalse);

  // Passes 1 and 2 alike, pass 3 not: go on. Passes 4 and 6 alike around 5: stall.
  Connected d;
  Script s{'W', move_reply(90000)};
  for (std::uint32_t p : {2000, 2000, 4000, 5000, 6000, 5000}) s.w_replies.insert(s.w_replies.end(), 2, report(p));
  s.install(d.b);
  move(d, 4500);
  EXPECT_EQ(d.b.write_hex().size(), 13u);
  EXPECT_EQ(d.b.dialogs.count("The position doesn't change, please check."), 1);
}

TEST(MoveTo, BusyDropsOnlyBetweenTheMoveReplyAndTheFirstPass) {
  Connected c;
  Script s{'W', move_reply(10000), {report(5000), report(8000), report(10000)}};
  s.install(c.b);
  std::vector<std::pair<double, VBBool>> changes;
  bool running = true;
  std::function<void()> sample = [&] {
    if (!running) return;
    if (changes.empty() || changes.back().second != c.b.control.BlnBusy())
      changes.emplace_back(c.b.pump.now(), c.b.control.BlnBusy());
    c.b.pump.after(0.0005, sample);
  };
  c.b.pump.after(0, sample);
  move(c, 500);
  running = false;
  ASSERT_EQ(changes.size(), 3u);
  EXPECT_EQ(changes[0].second, kTrue);
  EXPECT_EQ(changes[1].second, kFalse);
  EXPECT_GE(changes[2].first - changes[1].first, 0.0095) << "the first pause runs while not busy";
  EXPECT_EQ(c.b.control.BlnBusy(), kFalse);
}

TEST(MoveTo, Refusals) {
  Connected c;
  move(c, c.b.control.DblMonoWaveLen());   // already there: nothing at all
  move(c, -0.5);
  {
    Chinese zh;
    move(c, -12.5);
  }
  EXPECT_TRUE(c.b.write_hex().empty());
  ASSERT_EQ(c.b.dialogs.shown().size(), 2u);
  EXPECT_EQ(c.b.dialogs.shown()[0].text, "Can't move to the assigned wavelength:-0.5");
  EXPECT_EQ(c.b.dialogs.shown()[0].icon, Icon::Critical);
  EXPECT_EQ(c.b.dialogs.shown()[1].text, "无法走到这个波长：-12.5");
  EXPECT_EQ(c.b.dialogs.shown()[1].title, "提示");

  // Inside another exchange: refused, even for the current wavelength.
  c.b.clear();
  const double here = c.b.control.DblMonoWaveLen();
  c.b.pump.after(0.002, [&] { move(c, here); });
  move(c, 500);
  ASSERT_EQ(c.b.dialogs.shown().size(), 1u);
  EXPECT_EQ(c.b.dialogs.last().text, "The monochromator controller is running.");
  EXPECT_EQ(c.b.dialogs.last().icon, Icon::Information);
  EXPECT_EQ(count_of(c.b.write_hex(), "57 00 00 27 10"), 1);
}

FailureReason failure_of(Brivel& control, double target) {
  try {
    control.MonochromatorMoveTo(target);
  } catch (const RuntimeFailure& failure) {
    EXPECT_EQ(control.BlnBusy(), kFalse);
    return failure.reason();
  }
  ADD_FAILURE() << "no failure reached the host";
  return FailureReason::InvalidArgument;
}

TEST(MoveTo, RunTimeFailuresReachTheHostWithBusyLowered) {
  testkit::Bench never_identified;   // no step size
  EXPECT_EQ(failure_of(never_identified.control, 500), FailureReason::DivisionByZero);
  Connected c;
  EXPECT_EQ(failure_of(c.b.control, 107374190.0), FailureReason::Overflow);   // 2^31 steps and more
  c.b.control.CloseCom();
  EXPECT_EQ(failure_of(c.b.control, 500), FailureReason::PortFailure);
  EXPECT_TRUE(c.b.write_hex().empty());
  EXPECT_TRUE(c.b.dialogs.shown().empty());
}

}  // namespace
}  // namespace brivel::motion_test
