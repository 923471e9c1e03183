// The motion bound: a move whose follow loop never sees an end sign (a stalled motor
// under the relative move, which has no stall test; reports that keep changing
// without reaching the target) is stopped and reported once the time its distance
// takes at the controller's speed has passed twice over, plus the margin.

#include "motion_bench.h"

namespace brivel::motion_test {
namespace {

const std::string kOverran = "The monochromator did not reach its target in time. The motor was stopped.";

// Runs `operation` and gives the virtual seconds it took.
template <typename F>
double timed(testkit::Bench& b, F&& operation) {
  const double start = b.pump.now();
  operation();
  return b.pump.now() - start;
}

// The move was given up as the bound says: the motor stopped ("k", then only the
// closing position request), BlnBusy down, the operator and the host told.
void expect_given_up(testkit::Bench& b, const char* operation) {
  const Hex writes = b.write_hex();
  ASSERT_EQ(count_of(writes, "6B"), 1);
  EXPECT_EQ(after(writes, "6B"), Hex{"77"});
  EXPECT_EQ(b.control.BlnBusy(), kFalse);
  EXPECT_FALSE(b.sim.moving(b.pump.now()));
  ASSERT_EQ(b.dialogs.shown().size(), 1u);
  EXPECT_EQ(b.dialogs.last().text, kOverran);
  EXPECT_EQ(b.dialogs.last().kind, MessageKind::Failure);
  ASSERT_EQ(b.dialogs.notes().size(), 1u);
  EXPECT_EQ(b.dialogs.notes()[0].operation, operation);
}

TEST(MotionBound, IncrementUpAndDownEndWhenTheMotorStalls) {
  // 10 nm at 0.05 nm per step is 200 steps: 0.02 s at speed 250, so the bound is
  // 2 x 0.02 + 10 = 10.04 s. The loop asks about every 16 ms; it ends in the pass
  // after the bound.
  for (const char* button : {"CmdUp", "CmdDown"}) {
    SCOPED_TRACE(button);
    Connected c;
    c.b.sim.faults().stall = true;
    c.b.control.surface().at("CboDistance").set_text("10");
    const double took = timed(c.b, [&] {
      std::string(button) == "CmdUp" ? c.b.control.CmdUp_Click() : c.b.control.CmdDown_Click();
    });
    EXPECT_GT(took, 10.04);
    EXPECT_LT(took, 10.04 + 0.6);
    expect_given_up(c.b, "MoveBySteps");
  }
}

TEST(MotionBound, IncrementEndsWhenPositionRepliesStop) {
  // Every "w" goes unanswered: each pass waits its 0.5 s; the bound still ends it.
  Connected c;
  Script s{"U", report(1), {Bytes{}}};
  s.install(c.b);
  c.b.control.surface().at("CboDistance").set_text("1");
  const double took = timed(c.b, [&] { c.b.control.CmdUp_Click(); });
  EXPECT_GT(took, 10.0);
  EXPECT_LT(took, 10.0 + 0.6 + 1.1) << "a silent pass, then the stop's two unanswered requests";
  EXPECT_EQ(c.b.control.BlnBusy(), kFalse);
  EXPECT_EQ(c.b.dialogs.count(kOverran), 1);
}

TEST(MotionBound, CreepingControllerEscapesTheStallTestButNotTheBound) {
  // From 4000 nm (where the factory instrument stands at 0.05 nm per step) to 3940 nm:
  // 1200 steps, 0.12 s; bound 10.24 s.
  Connected c;
  c.b.sim.faults().creep = true;
  double target = 3940;
  const double took = timed(c.b, [&] { c.b.control.MonochromatorMoveTo(target); });
  EXPECT_GT(took, 10.24);
  EXPECT_LT(took, 10.24 + 0.2);
  EXPECT_EQ(c.b.dialogs.count("The position doesn't change, please check."), 0);
  expect_given_up(c.b, "MonochromatorMoveTo");
  EXPECT_NEAR(c.b.control.DblMonoWaveLen(), 3940, 0.81) << "stopped where it hunted";
}

TEST(MotionBound, FollowsTheSpeedTheControllerReportsAndASpeedChangedMidMove) {
  // At speed 250 a sound move of 1200 steps ends long before any bound.
  Connected c;
  double target = 3940;
  c.b.control.MonochromatorMoveTo(target);
  EXPECT_DOUBLE_EQ(c.b.control.DblMonoWaveLen(), 3940);
  EXPECT_TRUE(c.b.dialogs.shown().empty());

  // The host slows the motor to 1 (40 steps/s) 50 ms into a move back: the other 700
  // steps take about 18 s, far past the 10.24 s bound the move started with. The bound is taken
  // afresh at the new speed, and the move ends at its target.
  c.b.clear();
  c.b.pump.after(0.05, [&] {
    std::int16_t slowest = 1;
    c.b.control.setIntSpeed(slowest);
  });
  target = 4000;
  const double took = timed(c.b, [&] { c.b.control.MonochromatorMoveTo(target); });
  EXPECT_GT(took, 15.0);
  EXPECT_DOUBLE_EQ(c.b.control.DblMonoWaveLen(), 4000);
  EXPECT_EQ(c.b.dialogs.count(kOverran), 0);
  EXPECT_EQ(count_of(c.b.write_hex(), "6B"), 0);

  // At the reported speed 1 a stalled 1200-step move is given up after 2 x 30 + 10 s.
  c.b.clear();
  c.b.sim.faults().stall = true;
  c.b.control.surface().at("CboDistance").set_text("60");
  const double stalled = timed(c.b, [&] { c.b.control.CmdUp_Click(); });
  EXPECT_GT(stalled, 70.0);
  EXPECT_LT(stalled, 70.6);
  EXPECT_EQ(c.b.dialogs.count(kOverran), 1);
}

}  // namespace
}  // namespace brivel::motion_test
