// The bench wires the control, the loopback port, the simulated controller and the
// scripted dialogs together: a connection runs end to end in virtual time.

#include <gtest/gtest.h>

#include "testkit/bench.h"

namespace brivel::testkit {
namespace {

TEST(Bench, TheControlIdentifiesTheSimulatedInstrument) {
  Bench b;
  const double start = b.pump.now();
  b.control.OpenCom();
  EXPECT_EQ(b.control.BlnMonConnectFlag(), kTrue);
  EXPECT_EQ(b.control.BlnBusy(), kFalse);
  EXPECT_EQ(b.control.LngInstrumentNo(), b.sim.memory().instrument_no);
  EXPECT_TRUE(b.port->is_open());
  EXPECT_EQ(b.port->setup_log().front(), "port=1");
  EXPECT_EQ(b.port->setup_log().back(), "open");
  ASSERT_FALSE(b.writes().empty());
  EXPECT_EQ(b.write_hex().size(), b.writes().size());
  EXPECT_LT(b.pump.now() - start, 5.0);  // seconds of virtual time
}

TEST(Bench, ASilentInstrumentLeavesTheControlNotConnected) {
  Bench b;
  b.sim.faults().silent = true;
  b.control.OpenCom();
  EXPECT_EQ(b.control.BlnMonConnectFlag(), kFalse);
  EXPECT_EQ(b.control.BlnBusy(), kFalse);
  EXPECT_FALSE(b.port->is_open());
  ASSERT_FALSE(b.dialogs.shown().empty());
  b.clear();
  EXPECT_TRUE(b.writes().empty());
  EXPECT_TRUE(b.dialogs.shown().empty());
}

}  // namespace
}  // namespace brivel::testkit
