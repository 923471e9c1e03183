// The link on its own: the receive handler and the waits, in virtual time, with bytes
// pushed onto the loopback port by hand (nothing answers what the link writes).

#include <gtest/gtest.h>

#include "serial/link.h"
#include "testkit/bench.h"
#include "testkit/failure_of.h"
#include "testkit/loopback_port.h"
#include "testkit/virtual_pump.h"

namespace brivel {
namespace {

using testkit::unhex;

// Records what the link tells its owner.
struct Owner : serial::LinkOwner {
  std::vector<Bytes> reports;
  int lost = 0;
  void position_report(const Bytes& packet) override { reports.push_back(packet); }
  void port_lost() override { ++lost; }
  void lost_while_idle(const RuntimeFailure&) override {}
  void stop_motion(double) override {}
};

struct LinkTest : ::testing::Test {
  testkit::VirtualPump pump;
  testkit::LoopbackPort* port = nullptr;
  serial::Link link{pump, [this] {
                      auto loopback = std::make_unique<testkit::LoopbackPort>(pump);
                      port = loopback.get();
                      return loopback;
                    }()};
  Owner owner;

  void SetUp() override {
    link.set_owner(&owner);
    link.open(1);
  }

  // Pushes bytes with the given threshold and lets them arrive (9600 baud).
  void arrive(const std::string& hex, int threshold) {
    port->set_threshold(threshold);
    port->inject(unhex(hex));
    pump.run_for(0.05);
  }
};

TEST_F(LinkTest, OnlyTheReceiveEventCountsAndShortPacketsAreSafe) {
  arrive("77 00 00 10 00", 0);  // no receive event: the bytes stay in the queue
  link.on_comm(kComEvSend);
  EXPECT_TRUE(link.last_packet().empty());
  EXPECT_TRUE(link.received().empty());
  EXPECT_EQ(port->bytes_waiting(), 5);
  link.on_comm(kComEvReceive);
  ASSERT_EQ(owner.reports.size(), 1u);
  EXPECT_EQ(owner.reports[0], unhex("77 00 00 10 00"));
  EXPECT_EQ(link.received(), std::string("w\0\0\x10\0", 5));
  EXPECT_DOUBLE_EQ(link.last_position(), 4096);

  // A "w" packet too short to hold a position is a reply, not a report.
  link.expect_reply();
  arrive("77 01", 2);
  EXPECT_EQ(owner.reports.size(), 1u);
  EXPECT_DOUBLE_EQ(link.last_position(), 4096);

  // Under the move watch a packet's head is the target record; a short head never matches.
  link.watch_move();
  EXPECT_FALSE(link.target_reached());
  arrive("57 00 00 27", 4);
  arrive("77 57 00 00", 4);  // too short to be a report: the position record stays empty
  EXPECT_FALSE(link.target_reached());
  arrive("57 00 00 27 10", 5);
  link.end_watch();
  arrive("77 57 00 00 27", 5);   // the position record now repeats the target's head
  EXPECT_TRUE(link.target_reached());
}

TEST_F(LinkTest, WaitReplyTakesAnyDataWithinHalfASecond) {
  port->set_threshold(2);
  pump.after(0.2, [&] { port->inject(unhex("41 42")); });  // the wrong letter counts too
  double start = pump.now();
  EXPECT_TRUE(link.wait_reply());
  EXPECT_LT(pump.now() - start, 0.25);

  // Nothing: gives up after 0.5 s plus a tick, in some fifty 10 ms ticks (no spinning).
  start = pump.now();
  const long long steps = pump.steps();
  EXPECT_FALSE(link.wait_reply());
  EXPECT_GT(pump.now() - start, 0.5);
  EXPECT_LT(pump.now() - start, 0.53);
  EXPECT_LT(pump.steps() - steps, 400);

  // A reply that arrived before the wait began does not count, nor one too late.
  arrive("41 42", 2);
  EXPECT_FALSE(link.wait_reply());
  pump.after(0.7, [&] { port->inject(unhex("41 42")); });
  EXPECT_FALSE(link.wait_reply());
}

TEST_F(LinkTest, AnAcknowledgementIsToldByItsEndingAlone) {
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
    link.clear_received();
    port->set_threshold(static_cast<int>(unhex(c.hex).size()));
    pump.after(0.05, [&] { port->inject(unhex(c.hex)); });
    const double start = pump.now();
    EXPECT_EQ(link.wait_for_ack(0.3), c.ends);
    EXPECT_EQ(link.received().empty(), c.ends);   // kept when the bound runs out
    EXPECT_LT(pump.now() - start, c.ends ? 0.1 : 0.4);
    EXPECT_GT(pump.now() - start, c.ends ? 0.0 : 0.3);
  }
  // The buffer, not the reply flag, is examined: an ending already there counts.
  arrive("4F 4B 0D", 3);
  EXPECT_TRUE(link.wait_for_ack(0.3));
}

TEST_F(LinkTest, WaitForDataIsBoundedAndIgnoresEarlierData) {
  port->set_threshold(1);
  pump.after(0.3, [&] { port->inject(unhex("66")); });
  double start = pump.now();
  EXPECT_TRUE(link.wait_for_data(1.0));
  EXPECT_LT(pump.now() - start, 0.4);

  arrive("66", 1);  // before the wait: does not count
  start = pump.now();
  EXPECT_FALSE(link.wait_for_data(1.0));
  EXPECT_GT(pump.now() - start, 1.0);
  EXPECT_LT(pump.now() - start, 1.1);
}

TEST_F(LinkTest, TheTextBufferStaysBoundedWithoutChangingWhatTheAcknowledgementSees) {
  // Reports only, as in a long move without a setting: the buffer keeps its end.
  for (int i = 0; i < 3000; ++i) arrive("77 00 01 3C 68", 5);
  EXPECT_LE(link.received().size(), 2048u + 5u);
  EXPECT_EQ(link.received().substr(link.received().size() - 5), std::string("w\0\x01\x3C\x68", 5));
  port->set_threshold(3);
  pump.after(0.05, [&] { port->inject(unhex("4F 4B 0D")); });
  EXPECT_TRUE(link.wait_for_ack(0.3));
  EXPECT_TRUE(link.received().empty());
}

TEST_F(LinkTest, APortThatGoesAwayEndsTheWaitAndSendsAfterItMeetTheSameLoss) {
  port->set_threshold(2);
  pump.after(0.1, [&] { port->close(); });   // as if the adapter were pulled out
  EXPECT_EQ(testkit::failure_of([&] { link.wait_reply(); }), FailureReason::PortLost) << "the wait";
  EXPECT_EQ(owner.lost, 1);
  EXPECT_EQ(testkit::failure_of([&] { link.send(unhex("77"), 5); }), FailureReason::PortLost) << "a send after it";
  EXPECT_EQ(owner.lost, 1);   // one loss, told once
}

// The wavelength a position report shows follows the zero offset the instrument
// reported, whatever the operator types into the field that shows it.
TEST(PositionReport, FollowsTheIdentifiedZeroOffset) {
  testkit::Bench b;   // code 1: 0.00625 nm a step, zero offset 1000 steps
  b.control.OpenCom();
  ASSERT_TRUE(b.control.BlnMonConnectFlag());
  b.control.surface().at("TxtZeroOffset").set_text("0");
  b.port->set_threshold(5);
  b.port->inject(unhex("77 00 01 3C 68"));   // 81000 absolute steps
  b.pump.run_for(0.05);
  EXPECT_DOUBLE_EQ(b.control.DblMonoWaveLen(), 500.0);
  EXPECT_EQ(b.control.surface().at("LblWaveLen").text(), "500.00");
}

}  // namespace
}  // namespace brivel
