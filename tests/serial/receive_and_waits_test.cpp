// The receive handler and the three waits, in virtual time, with bytes pushed onto the
// loopback port by hand (the simulated controller stays quiet: nothing is written).

#include <gtest/gtest.h>

#include "serial/probe.h"
#include "testkit/bench.h"

namespace brivel {
namespace {

using testkit::Bench;
using testkit::unhex;

struct ReceiveTest : ::testing::Test {
  Bench b;
  ControlProbe probe{b.control};

  void SetUp() override { probe.open_port(); }

  // Pushes bytes with the given threshold and lets them arrive (9600 baud).
  void arrive(const std::string& hex, int threshold) {
    b.port->set_threshold(threshold);
    b.port->inject(unhex(hex));
    b.pump.run_for(0.05);
  }
};

TEST_F(ReceiveTest, PositionReportBecomesTheCurrentWavelength) {
  probe.DblMonoStep() = 0.05;
  b.control.surface().at("TxtZeroOffset").set_text("1000");
  arrive("77 00 00 10 00", 5);  // P = 4096
  EXPECT_DOUBLE_EQ(b.control.DblMonoWaveLen(), 154.8);
  EXPECT_EQ(b.control.surface().at("LblWaveLen").text(), "154.80");
  EXPECT_EQ(probe.LngWatchPos(), (std::array<std::int32_t, 4>{0, 0, 0x10, 0}));
  EXPECT_EQ(b.control.VarLastPacket(), unhex("77 00 00 10 00"));
  EXPECT_EQ(probe.StrReceive(), std::string("w\0\0\x10\0", 5));

  // Below the zero offset the wavelength is negative; the field's text is the offset.
  arrive("77 00 00 01 F4", 5);  // P = 500
  EXPECT_DOUBLE_EQ(b.control.DblMonoWaveLen(), -25.0);
  EXPECT_EQ(b.control.surface().at("LblWaveLen").text(), "-25.00");
  b.control.surface().at("TxtZeroOffset").set_text("100 steps");
  arrive("77 00 00 01 F4", 5);
  EXPECT_DOUBLE_EQ(b.control.DblMonoWaveLen(), 20.0);
}

TEST_F(ReceiveTest, OnlyTheReceiveEventCountsAndShortPacketsAreSafe) {
  probe.DblMonoStep() = 0.05;
  arrive("77 00 00 10 00", 0);  // no receive event: the bytes stay in the queue
  probe.on_comm(kComEvSend);
  EXPECT_TRUE(b.control.VarLastPacket().empty());
  EXPECT_TRUE(probe.StrReceive().empty());
  EXPECT_EQ(probe.BlnReplyFlag(), kFalse);
  EXPECT_EQ(b.port->bytes_waiting(), 5);
  probe.on_comm(kComEvReceive);
  EXPECT_DOUBLE_EQ(b.control.DblMonoWaveLen(), 204.8);  // the design offset "00000" is 0

  // A "w" packet too short to hold a position raises the flag and changes nothing else.
  const double before = b.control.DblMonoWaveLen();
  probe.BlnReplyFlag() = kFalse;
  arrive("77 01", 2);
  EXPECT_EQ(probe.BlnReplyFlag(), kTrue);
  EXPECT_DOUBLE_EQ(b.control.DblMonoWaveLen(), before);

  // While the move watch is on, a short head fills the missing places with -1.
  probe.BlnMoveWatch() = kTrue;
  arrive("4F 4B", 2);
  EXPECT_EQ(probe.LngWatchHead(), (std::array<std::int32_t, 4>{0x4F, 0x4B, -1, -1}));
  arrive("57 00 00 27 10", 5);
  EXPECT_EQ(probe.LngWatchHead(), (std::array<std::int32_t, 4>{0x57, 0, 0, 0x27}));
}

TEST_F(ReceiveTest, WaitReplyTakesAnyDataWithinHalfASecond) {
  b.port->set_threshold(2);
  b.pump.after(0.2, [&] { b.port->inject(unhex("41 42")); });  // the wrong letter counts too
  double start = b.pump.now();
  EXPECT_TRUE(probe.wait_reply());
  EXPECT_LT(b.pump.now() - start, 0.25);
  EXPECT_EQ(probe.BlnReplyFlag(), kFalse);  // consumed

  // Nothing: gives up after about 0.5 s plus a tick, without spinning: that is some
  // fifty 10 ms ticks, a few pump steps each, where a loop that only yielded would
  // need at least one step per millisecond.
  start = b.pump.now();
  const long long steps = b.pump.steps();
  EXPECT_FALSE(probe.wait_reply());
  EXPECT_GT(b.pump.now() - start, 0.5);
  EXPECT_LT(b.pump.now() - start, 0.53);
  EXPECT_LT(b.pump.steps() - steps, 400);

  // A reply that arrived before the wait began does not count.
  arrive("41 42", 2);
  EXPECT_EQ(probe.BlnReplyFlag(), kTrue);
  EXPECT_FALSE(probe.wait_reply());

  // Too late is too late: a reply at 0.7 s is not seen by this wait.
  b.pump.after(0.7, [&] { b.port->inject(unhex("41 42")); });
  EXPECT_FALSE(probe.wait_reply());
}

TEST_F(ReceiveTest, WaitForOkEndsOnlyOnAnAcceptedEnding) {
  b.control.bounds().ack = 0.3;
  struct Case {
    const char* hex;
    bool ends;
  } cases[] = {
      {"4F 4B 0D", true},          // "OK" CR
      {"4F 4B", true},             // "OK" without its CR
      {"4F 4B 4B 4B 0D", true},    // "OKKK" CR
      {"78 79 4F 4B 0D", true},    // what comes before the ending is not examined
      {"4F 4B 4B", false},         // "OKK" is no ending
      {"4F 4B 0D 41", false},      // the ending must be at the very end
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.hex);
    probe.StrReceive().clear();
    // One receive event for the whole reply, so that no tick falls between its bytes.
    b.port->set_threshold(static_cast<int>(unhex(c.hex).size()));
    b.pump.after(0.05, [&] { b.port->inject(unhex(c.hex)); });
    const double start = b.pump.now();
    EXPECT_EQ(probe.wait_ok(), c.ends);
    if (c.ends) {
      EXPECT_TRUE(probe.StrReceive().empty());
      EXPECT_LT(b.pump.now() - start, 0.1);
    } else {
      EXPECT_FALSE(probe.StrReceive().empty());  // kept when the bound runs out
      EXPECT_GT(b.pump.now() - start, 0.3);
      EXPECT_LT(b.pump.now() - start, 0.4);
    }
  }

  // An ending that was already there before the wait still ends it (the buffer, not
  // the reply flag, is examined).
  probe.StrReceive() = "OK\r";
  EXPECT_TRUE(probe.wait_ok());
}

TEST_F(ReceiveTest, WaitForDataIsBoundedAndIgnoresEarlierData) {
  b.control.bounds().data = 1.0;
  b.port->set_threshold(1);
  b.pump.after(0.3, [&] { b.port->inject(unhex("66")); });
  double start = b.pump.now();
  EXPECT_TRUE(probe.wait_data());
  EXPECT_LT(b.pump.now() - start, 0.4);

  arrive("66", 1);  // before the wait: does not count
  start = b.pump.now();
  EXPECT_FALSE(probe.wait_data());
  EXPECT_GT(b.pump.now() - start, 1.0);
  EXPECT_LT(b.pump.now() - start, 1.1);
}

TEST_F(ReceiveTest, TheTextBufferStaysBoundedWithoutChangingWhatTheAcknowledgementSees) {
  // Position reports only, for as long as a host may move without a setting: the
  // buffer keeps its end and no more.
  for (int i = 0; i < 3000; ++i) arrive("77 00 01 3C 68", 5);
  EXPECT_LE(probe.StrReceive().size(), 2048u + 5u);
  EXPECT_GE(probe.StrReceive().size(), 5u);
  EXPECT_EQ(probe.StrReceive().substr(probe.StrReceive().size() - 5), std::string("w\0\x01\x3C\x68", 5));
  // An acknowledgement at the end of the long stream still ends the wait.
  b.control.bounds().ack = 0.3;
  b.port->set_threshold(3);
  b.pump.after(0.05, [&] { b.port->inject(unhex("4F 4B 0D")); });
  EXPECT_TRUE(probe.wait_ok());
  EXPECT_TRUE(probe.StrReceive().empty());
}

}  // namespace
}  // namespace brivel
