// Stopping from outside a running call (RequestStop: Ctrl-C, a signal, a host) and a
// port that goes away mid-operation: both end every wait at once, with the flags down.

#include "motion_bench.h"
#include "testkit/failure_of.h"

namespace brivel::motion_test {
namespace {

void move_to(Control& control, double nm) { control.MonochromatorMoveTo(nm); }

TEST(OutsideStop, StopsAMoveAsTheStopButtonDoesAndEndsTheCall) {
  Connected c;
  c.b.pump.after(0.3, [&] { c.b.control.RequestStop(); });
  const double start = c.b.pump.now();
  const auto reason = testkit::failure_of([&] { move_to(c.b.control, 5000); });
  EXPECT_EQ(reason, FailureReason::Interrupted);
  EXPECT_LT(c.b.pump.now() - start, 0.5) << "the stop is seen within a tick";
  // "k", then position requests until one shows where the motor stopped.
  const Hex tail = after(c.b.write_hex(), "6B");
  EXPECT_FALSE(tail.empty());
  EXPECT_EQ(count_of(tail, "77"), int(tail.size()));
  EXPECT_EQ(count_of(c.b.write_hex(), "6B"), 1);
  const double step = c.b.control.DblMonoStep();
  EXPECT_NEAR(c.b.control.DblMonoWaveLen(),
              (double(c.b.sim.position(c.b.pump.now())) - c.b.sim.memory().zero_offset) * step, 0.01)
      << "the wavelength shown is where the motor stopped";
  EXPECT_EQ(c.b.control.BlnBusy(), kFalse);
  EXPECT_EQ(c.b.control.BlnStopRequest(), kTrue);
  EXPECT_FALSE(c.b.control.stop_pending()) << "the request is used up";
  EXPECT_TRUE(c.b.dialogs.shown().empty()) << "no box for what the host asked for";
  EXPECT_FALSE(c.b.sim.moving(c.b.pump.now()));
  // The next call runs as usual.
  move_to(c.b.control, 400);
  EXPECT_DOUBLE_EQ(c.b.control.DblMonoWaveLen(), 400);
}

TEST(OutsideStop, EndsAnOperatorHandlerWithANoteInsteadOfABox) {
  // The reposition waits minutes for its "OK"; a stop ends it within a tick.
  Connected c;
  c.b.pump.after(1.0, [&] { c.b.control.RequestStop(); });
  const double start = c.b.pump.now();
  c.b.control.CmdReAnchor_Click();
  EXPECT_LT(c.b.pump.now() - start, 1.5);
  EXPECT_EQ(c.b.control.BlnBusy(), kFalse);
  EXPECT_FALSE(c.b.control.surface().at("FrmSplash").visible());
  EXPECT_EQ(count_of(c.b.write_hex(), "6B"), 1);
  ASSERT_EQ(c.b.dialogs.shown().size(), 1u) << "only the question";
  EXPECT_EQ(c.b.dialogs.shown()[0].kind, MessageKind::Question);
  ASSERT_EQ(c.b.dialogs.notes().size(), 1u);
  EXPECT_EQ(c.b.dialogs.notes()[0].kind, HostNote::Kind::Interrupted);
}

TEST(OutsideStop, TheWaitHookRunsEveryTickAndCanRequestTheStop) {
  Connected c;
  int ticks = 0;
  c.b.control.set_wait_hook([&] {
    if (++ticks == 40) c.b.control.RequestStop();
  });
  EXPECT_EQ(testkit::failure_of([&] { move_to(c.b.control, 5000); }),
            FailureReason::Interrupted);
  EXPECT_GE(ticks, 40);
  c.b.control.set_wait_hook(nullptr);
}

TEST(PortLost, EndsTheMoveAtOnceAndShowsNotConnected) {
  Connected c;
  c.b.sim.faults().vanish_mid_move = true;
  const double start = c.b.pump.now();
  EXPECT_EQ(testkit::failure_of([&] { move_to(c.b.control, 5000); }),
            FailureReason::PortLost);
  EXPECT_LT(c.b.pump.now() - start, 1.0);
  EXPECT_EQ(c.b.control.BlnBusy(), kFalse);
  EXPECT_EQ(c.b.control.BlnMonConnectFlag(), kFalse);
  EXPECT_EQ(c.b.control.surface().at("Image1").picture(), 1);
  ASSERT_FALSE(c.b.dialogs.shown().empty());
  EXPECT_EQ(c.b.dialogs.last().kind, MessageKind::Failure);
  EXPECT_EQ(c.b.dialogs.last().text,
            "The connection to the monochromator was lost. Check the cable and connect again.");
}

}  // namespace
}  // namespace brivel::motion_test
