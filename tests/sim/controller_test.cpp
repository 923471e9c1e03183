// The simulated controller as the control sees it: the bytes of every answer and
// acknowledgement, reply lengths that match the control's receive thresholds, motion
// that takes the time its speed says, repositioning and the filter table.

#include <gtest/gtest.h>

#include "sim_test_util.h"

namespace brivel::sim {
namespace {

using test::be32;
using test::bytes_of;
using test::cat;
using test::Host;
using test::read32;

const Bytes kAck = {'O', 'K', 0x0D};
const Bytes kEnd = {'O', 'K', 'K', 'K', 0x0D};
constexpr std::uint32_t kPowerOnAbsolute = 80000 + 1000;  // power-on steps + zero offset

TEST(Controller, AnswersEveryQuestionFromItsFactoryMemory) {
  Host h;
  EXPECT_EQ(h.ask("y"), (Bytes{'y', 21}));
  EXPECT_EQ(h.ask("n"), (Bytes{'n', 0x30, 0x39}));  // 12345
  EXPECT_EQ(h.ask("g"), (Bytes{'g', 1}));
  EXPECT_EQ(h.ask("z"), (Bytes{'z', 0x03, 0xE8}));  // 1000
  EXPECT_EQ(h.ask("p"), (Bytes{'p', 0x01, 0xF4}));  // 500 nm
  EXPECT_EQ(h.ask("m"), (Bytes{'m', 0x00, 0x01, 0x38, 0x80}));  // 80000 steps: 500 nm at code 1
  EXPECT_EQ(h.ask("v"), (Bytes{'v', 0, 250}));
  EXPECT_EQ(h.ask("t"), (Bytes{'t', 6}));
  EXPECT_EQ(h.ask("w"), cat({'w'}, be32(kPowerOnAbsolute)));
  EXPECT_EQ(h.ask("f\r"), (Bytes{1, 13, 3, 13, 0x00, 0x00, 13, 0x02, 0xBC, 13,
                                 0x0D, 0xAC, 13, 0x19, 0x64, 13, 0x1F, 0x40, 13,  // 3500 6500 8000
                                 0, 0, 13, 0, 0, 13, 0, 0, 13}));
}

TEST(Controller, StoresSettingsAndAcknowledgesThem) {
  Host h;
  EXPECT_EQ(h.ask(Bytes{'N', 0x01, 0x02}), kAck);
  EXPECT_EQ(h.ask(Bytes{'G', 4}), kAck);
  EXPECT_EQ(h.ask(Bytes{'P', 0x01, 0x2C}), kAck);
  EXPECT_EQ(h.ask(Bytes{'Z', 0x00, 0x10}), kAck);
  EXPECT_EQ(h.ask(Bytes{'Y', 0x00, 0x09}), kAck);
  EXPECT_EQ(h.ask(Bytes{'M', 0x00, 0x00, 0x27, 0x10}), kAck);
  EXPECT_EQ(h.ask(Bytes{'T', 2}), bytes_of("OK"));
  EXPECT_EQ(h.ask(Bytes{'S', 0, 0x0D}), kAck);
  EXPECT_TRUE(h.ask(Bytes{'V', 100, 0}).empty());  // "V": no reply, whatever the threshold
  EXPECT_TRUE(h.ask(Bytes{'V', 0}).empty());

  const Memory& m = h.sim.memory();
  EXPECT_EQ(m.instrument_no, 258);
  EXPECT_EQ(m.grating, 4);
  EXPECT_EQ(m.blaze, 300);
  EXPECT_EQ(m.zero_offset, 16);
  EXPECT_EQ(m.year, 9);
  EXPECT_EQ(m.power_on, 10000u);
  EXPECT_EQ(m.type, 2);
  EXPECT_EQ(m.filter_state, 0);
  EXPECT_EQ(m.speed, 1);  // speed 0 is taken as the slowest, 1
  EXPECT_EQ(h.ask("v"), (Bytes{'v', 0, 1}));
  EXPECT_EQ(h.sim.log().back(), "v");
  EXPECT_EQ(h.sim.log()[h.sim.log().size() - 3], "V 64 00");
}

// Every reply has exactly the length of the receive threshold the control sets for it.
TEST(Controller, ReplyLengthsMatchTheControlsThresholds) {
  struct Case {
    Bytes command;
    std::size_t threshold;
  };
  const Case cases[] = {
      {{'y'}, 2}, {{'n'}, 3}, {{'g'}, 2}, {{'z'}, 3}, {{'p'}, 3}, {{'m'}, 5}, {{'v'}, 3},
      {{'t'}, 2}, {{'w'}, 5}, {{'f', 13}, 28}, {{'N', 0, 1}, 3}, {{'G', 1}, 3}, {{'P', 1, 0}, 3},
      {{'Z', 0, 9}, 3}, {{'Y', 0, 21}, 3}, {{'M', 0, 0, 0, 9}, 3}, {{'T', 1}, 2}, {{'S', 1, 13}, 3},
      {{'W', 0, 0, 0, 100}, 5}, {{'U', 0, 0, 0, 10}, 5}, {{'D', 0, 0, 0, 10}, 5},
      {{'K', 1}, 5}, {{'k'}, 5}, {{'K', 2, 0}, 5}, {{'k'}, 5},
  };
  Host h;
  for (const Case& c : cases) EXPECT_EQ(h.ask(c.command).size(), c.threshold) << h.sim.log().back();
}

// The "F" packets are sent with a threshold of 3 (filter button) or 2 (left by "T" in
// the download). Each acknowledgement must be a multiple of both, and no part of it
// that a receive event could deliver first may already end the wait for "OK".
TEST(Controller, FilterSequenceAcksSuitBothThresholdsAndFillTheRecord) {
  Host h;
  std::vector<Bytes> acks;
  acks.push_back(h.ask(Bytes{'F', 3, 13}));
  for (std::uint16_t v : {std::uint16_t{0x8005}, std::uint16_t{0x5779}, std::uint16_t{4375},
                          std::uint16_t{8125}, std::uint16_t{10000}})
    acks.push_back(h.ask(Bytes{static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v), 13}));
  for (const Bytes& ack : acks) {
    ASSERT_EQ(ack.size(), 6u);
    const std::string text(ack.begin(), ack.end());
    EXPECT_EQ(text.substr(3), "OK\r");
    for (std::size_t cut : {2u, 3u, 4u}) {
      const std::string part = text.substr(0, cut);
      EXPECT_NE(part.substr(part.size() - 2), "OK");
      if (cut >= 3) {
        EXPECT_NE(part.substr(part.size() - 3), "OK\r");
      }
    }
  }
  const Memory& m = h.sim.memory();
  EXPECT_EQ(m.filter_count, 3);
  EXPECT_EQ(m.filter_a, 0x8005);
  EXPECT_EQ(m.filter_b, 0x5779);
  EXPECT_EQ(m.filter_start, (std::array<std::uint16_t, 6>{4375, 8125, 10000, 0, 0, 0}));
  const Bytes record = h.ask("f\r");
  EXPECT_EQ(record[2], 3);
  EXPECT_EQ(record[4], 0x80);
  EXPECT_EQ(record[5], 0x05);
  EXPECT_EQ(record[10], 4375 >> 8);
  EXPECT_EQ(record[11], 4375 & 0xFF);
  EXPECT_EQ(record[16], 10000 >> 8);
  EXPECT_EQ(record[17], 10000 & 0xFF);

  // A sequence its sender gives up is not stored.
  h.ask(Bytes{'F', 1, 13});
  h.now += 5.0;
  h.ask("y");
  EXPECT_EQ(h.sim.memory().filter_count, 3);

  // A table written to a wheel that was not set up sets it up, switched off.
  h.sim.memory().filter_state = 7;
  for (const Bytes& p : {Bytes{'F', 0, 13}, Bytes{0, 0, 13}, Bytes{0, 0, 13}}) h.ask(p);
  EXPECT_EQ(h.sim.memory().filter_state, 0);
  EXPECT_EQ(h.sim.memory().filter_count, 0);
}

TEST(Controller, MoveTakesTheTimeItsSpeedSaysAndEndsOnTheTargetBytes) {
  Host h;
  // 600 nm at 0.00625 nm/step: 96000 steps, absolute 97000: 16000 steps at 10000 steps/s.
  const double t0 = h.now;
  const Bytes reply = h.ask(cat({'W'}, be32(96000)), 0.0);
  h.now += 0.01;
  EXPECT_EQ(h.sim.take_output(h.now), cat(be32(97000), {0x0D}));

  h.now = t0 + 0.8;
  const Bytes halfway = h.ask("w", 0.01);
  EXPECT_EQ(halfway[0], 'w');
  EXPECT_NEAR(read32(halfway, 1), kPowerOnAbsolute + 8000, 20);
  EXPECT_TRUE(h.sim.moving(h.now));
  EXPECT_LT(read32(halfway, 1), 97000u);

  h.now = t0 + 1.6 + 0.001;
  EXPECT_FALSE(h.sim.moving(h.now));
  EXPECT_EQ(h.ask("w"), cat({'w'}, be32(97000)));
  EXPECT_TRUE(reply.empty());  // nothing before the controller's latency

  // Speed 100: 4000 steps/s, so 2000 steps down take half a second.
  h.ask(Bytes{'V', 100});
  h.ask(cat({'D'}, be32(2000)), 0.0);
  const double t1 = h.now;
  EXPECT_EQ(h.sim.take_output(t1 + 0.01), cat(be32(95000), {0x0D}));
  EXPECT_TRUE(h.sim.moving(t1 + 0.49));
  EXPECT_FALSE(h.sim.moving(t1 + 0.51));
  EXPECT_EQ(h.sim.position(t1 + 0.51), 95000u);

  // A speed set while a move runs applies from there on: 4000 steps at 4000 steps/s
  // for 0.5 s, then the remaining 2000 at 10000 steps/s.
  h.now = t1 + 1.0;
  h.ask(cat({'U'}, be32(4000)), 0.5);
  h.ask(Bytes{'V', 250, 0}, 0.0);
  EXPECT_TRUE(h.sim.moving(h.now + 0.19));
  EXPECT_FALSE(h.sim.moving(h.now + 0.21));
  EXPECT_EQ(h.sim.position(h.now + 0.21), 99000u);
}

TEST(Controller, MovesStopAtTheEndsOfTravel) {
  Host h;
  EXPECT_EQ(h.ask(cat({'D'}, be32(1000000))), cat(be32(0), {0x0D}));
  EXPECT_EQ(h.ask(cat({'W'}, be32(0xFFFFFFFF))), cat(be32(2000000), {0x0D}));
}

TEST(Controller, JogRunsToTheLimitUnlessStopped) {
  Host h;
  h.sim.motor().travel = 100000;  // 19000 steps above the power-on position: 1.9 s
  const Bytes start = h.ask(Bytes{'K', 1});
  EXPECT_EQ(start, cat({'w'}, be32(kPowerOnAbsolute)));
  EXPECT_NEAR(h.sim.next_due(), h.now - 0.05 + 1.9, 1e-6);
  EXPECT_TRUE(h.collect(1.0).empty());
  EXPECT_EQ(h.collect(1.0), kEnd);
  EXPECT_EQ(h.sim.position(h.now), 100000u);

  // Down, stopped after half a second: "k" answers with the end-of-motion packet.
  h.ask(Bytes{'K', 2, 0}, 0.5);
  const std::uint32_t stopped = h.sim.position(h.now);
  EXPECT_NEAR(stopped, 95000.0, 20.0);
  EXPECT_EQ(h.ask("k"), kEnd);
  EXPECT_EQ(h.collect(5.0), Bytes{});
  EXPECT_EQ(h.sim.position(h.now), h.sim.position(h.now - 4.0));
}

TEST(Controller, RepositionGoesToTheReferenceThenToThePowerOnPosition) {
  Host h;
  h.ask(Bytes{'M', 0, 0, 0x27, 0x10});  // new power-on position: 10000 steps
  // From 81000 to 0 at 10000 steps/s, then to 11000: 8.1 s + 1.1 s.
  EXPECT_TRUE(h.ask(Bytes{'K', 8}, 4.0).empty());
  const std::uint32_t going = h.sim.position(h.now);
  EXPECT_LT(going, 45000u);
  EXPECT_GT(going, 35000u);
  EXPECT_TRUE(h.collect(4.2).empty());
  EXPECT_LT(h.sim.position(h.now), 2000u);  // passed the reference, on its way back
  const Bytes done = h.collect(1.5);
  EXPECT_EQ(done, kEnd);
  EXPECT_EQ(h.sim.position(h.now), 11000u);
  EXPECT_FALSE(h.sim.moving(h.now));
}

TEST(Controller, ReopeningThePortDropsHalfCommandsButKeepsMemory) {
  Host h;
  h.ask(Bytes{'N', 0x00, 0x07});
  h.sim.receive(Bytes{'Z', 0x00}, h.now);
  h.sim.port_reopened();
  EXPECT_EQ(h.ask("n"), (Bytes{'n', 0x00, 0x07}));
  EXPECT_EQ(h.ask("z"), (Bytes{'z', 0x03, 0xE8}));
}

}  // namespace
}  // namespace brivel::sim
