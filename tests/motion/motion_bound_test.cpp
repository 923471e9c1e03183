// A move that never sees an end sign is stopped and reported once twice its travel time plus the margin
// has passed, not before. Stalled and creeping motors under every move: the fault matrix.

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

TEST(MotionBound, IncrementEndsWhenPositionRepliesStopButNotEarly) {
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
  EXPECT_EQ(c.b.dialogs.last().kind, MessageKind::Failure);
  ASSERT_EQ(c.b.dialogs.notes().size(), 1u);
  EXPECT_EQ(c.b.dialogs.notes()[0].operation, "MoveBySteps");
}

TEST(MotionBound, FollowsTheSpeedTheControllerReportsAndASpeedChangedMidMove) {
  // At speed 250 a sound move of 1200 steps ends long before any bound.
  Connected c;
  double target = 3940;
  c.b.control.MonochromatorMoveTo(target);
  EXPECT_DOUBLE_EQ(c.b.control.DblMonoWaveLen(), 3940);
  EXPECT_TRUE(c.b.dialogs.shown().empty());
  // Speed 1 (40 steps/s) 50 ms into a move back: 700 steps take 18 s, past the 10.24 s bound it started
  // with; the bound is taken afresh at the new speed and the move ends at its target.
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
