// Stopping from outside a running call (RequestStop); after each write of every operation: the fault matrix.

#include "motion_bench.h"
#include "testkit/failure_of.h"

namespace brivel::motion_test {
namespace {

void move_to(Control& control, double nm) { control.MonochromatorMoveTo(nm); }

TEST(OutsideStop, StopsAMoveAsTheStopButtonDoesAndEndsTheCallAlsoFromTheWaitHook) {
  Connected c;
  c.b.pump.after(0.3, [&] { c.b.control.RequestStop(); });
  const double start = c.b.pump.now();
  EXPECT_EQ(testkit::failure_of([&] { move_to(c.b.control, 5000); }), FailureReason::Interrupted);
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
  EXPECT_TRUE(c.b.control.BlnStopRequest());
  EXPECT_FALSE(c.b.control.stop_pending()) << "the request is used up";
  EXPECT_TRUE(c.b.dialogs.shown().empty()) << "no box for what the host asked for";
  EXPECT_FALSE(c.b.sim.moving(c.b.pump.now()));
  // The next call runs as usual.
  move_to(c.b.control, 400);
  EXPECT_DOUBLE_EQ(c.b.control.DblMonoWaveLen(), 400);
  // The wait hook runs every tick and can request the stop.
  int ticks = 0;
  c.b.control.set_wait_hook([&] {
    if (++ticks == 40) c.b.control.RequestStop();
  });
  EXPECT_EQ(testkit::failure_of([&] { move_to(c.b.control, 5000); }), FailureReason::Interrupted);
  EXPECT_GE(ticks, 40);
  c.b.control.set_wait_hook(nullptr);
}

TEST(OutsideStop, SendsNothingWhenNoMotionRunsAndEndsAtOnce) {
  // Identifying a silent port: the stop ends it between two questions, with no "k" and no position request.
  testkit::Bench b;
  b.sim.faults().silent = true;
  b.pump.after(0.2, [&] { b.control.RequestStop(); });
  const double start = b.pump.now();
  b.control.OpenCom();
  EXPECT_LT(b.pump.now() - start, 0.2 + 0.05) << "seen within a tick";
  EXPECT_EQ(b.write_hex(), Hex{"79"}) << "the first question only";
  EXPECT_EQ(b.control.BlnMonConnectFlag(), kFalse);
  EXPECT_EQ(b.control.BlnBusy(), kFalse);
  EXPECT_FALSE(b.control.stop_stopped_motor());
  EXPECT_TRUE(b.dialogs.shown().empty());
  ASSERT_EQ(b.dialogs.notes().size(), 1u);
  EXPECT_EQ(b.dialogs.notes()[0].kind, HostNote::Kind::Interrupted);
  EXPECT_EQ(b.dialogs.notes()[0].text_en, "stopped on request") << "no motor was stopped";
}

TEST(OutsideStop, EndsWithinASecondWhenTheControllerFallsSilentAsItStops) {
  // The controller goes silent as the stop comes: "k" and the closing request wait one second together.
  Connected c;
  c.b.pump.after(0.3, [&] {
    c.b.sim.faults().silent = true;
    c.b.control.RequestStop();
  });
  const double start = c.b.pump.now();
  EXPECT_EQ(testkit::failure_of([&] { move_to(c.b.control, 5000); }), FailureReason::Interrupted);
  EXPECT_LT(c.b.pump.now() - start, 0.3 + 1.0);
  const Hex tail = after(c.b.write_hex(), "6B");
  EXPECT_EQ(count_of(c.b.write_hex(), "6B"), 1);
  EXPECT_GE(tail.size(), 1u);
  EXPECT_EQ(count_of(tail, "77"), int(tail.size()));
  EXPECT_TRUE(c.b.control.stop_stopped_motor());
  EXPECT_EQ(c.b.control.BlnBusy(), kFalse);
}

}  // namespace
}  // namespace brivel::motion_test
