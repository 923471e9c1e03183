// Each fault of the simulated controller on its own, and the text options that set them.

#include <gtest/gtest.h>

#include <cmath>

#include "sim_options.h"
#include "sim_test_util.h"

namespace brivel::sim {
namespace {

using test::be32;
using test::cat;
using test::Host;

TEST(Faults, SilentAndSilentAfterN) {
  Host silent;
  silent.sim.faults().silent = true;
  EXPECT_TRUE(silent.ask("y").empty());
  EXPECT_TRUE(silent.ask(Bytes{'N', 0, 5}).empty());
  EXPECT_EQ(silent.sim.memory().instrument_no, 5);  // it hears, it does not answer

  Host h;
  h.sim.faults().silent_after = 2;
  EXPECT_EQ(h.ask("y").size(), 2u);
  EXPECT_EQ(h.ask("n").size(), 3u);
  EXPECT_TRUE(h.ask("g").empty());
  EXPECT_TRUE(h.ask("w").empty());
}

TEST(Faults, WrongLetterForAllOrSelectedQuestions) {
  Host all;
  all.sim.faults().wrong_letter = true;
  EXPECT_EQ(all.ask("y"), (Bytes{'Y', 21}));
  EXPECT_EQ(all.ask("w")[0], 'W');
  EXPECT_EQ(all.ask(Bytes{'S', 1, 13}), (Bytes{'O', 'K', 13}));  // settings are not questions

  Host some;
  some.sim.faults().wrong_letter_only = "zv";
  EXPECT_EQ(some.ask("y")[0], 'y');
  EXPECT_EQ(some.ask("z")[0], 'Z');
  EXPECT_EQ(some.ask("v")[0], 'V');
}

TEST(Faults, GarbleAndDropAreSeededAndRepeatable) {
  auto run = [](double garble, double drop, unsigned seed) {
    Host h;
    h.sim.faults().garble_rate = garble;
    h.sim.faults().drop_rate = drop;
    h.sim.faults().seed = seed;
    return h.ask("f\r");
  };
  const Bytes clean = run(0, 0, 1);
  const Bytes garbled = run(1.0, 0, 1);
  ASSERT_EQ(garbled.size(), clean.size());
  for (std::size_t i = 0; i < clean.size(); ++i) EXPECT_NE(garbled[i], clean[i]) << i;
  EXPECT_TRUE(run(0, 1.0, 1).empty());

  const Bytes some = run(0.3, 0.3, 7);
  EXPECT_EQ(some, run(0.3, 0.3, 7));
  EXPECT_NE(some, run(0.3, 0.3, 8));
  EXPECT_LT(some.size(), clean.size());
  EXPECT_GT(some.size(), 0u);
}

TEST(Faults, StalledMotorAnswersButDoesNotTurn) {
  Host h;
  h.sim.faults().stall = true;
  const std::uint32_t start = h.sim.position(h.now);
  EXPECT_EQ(h.ask(cat({'W'}, be32(96000))), cat(be32(97000), {0x0D}));
  h.now += 5.0;
  EXPECT_EQ(h.ask("w"), cat({'w'}, be32(start)));
  EXPECT_TRUE(h.sim.moving(h.now));
  // A stalled reposition never reports that it is done.
  EXPECT_TRUE(h.ask(Bytes{'K', 8}, 600.0).empty());
}

TEST(Faults, NoAckKeepsSettingsButNeverAcknowledges) {
  Host h;
  h.sim.faults().no_ack = true;
  EXPECT_TRUE(h.ask(Bytes{'Z', 0x01, 0x00}).empty());
  EXPECT_TRUE(h.ask(Bytes{'S', 0, 13}).empty());
  for (const Bytes& packet : {Bytes{'F', 0, 13}, Bytes{0, 1, 13}, Bytes{0, 2, 13}})
    EXPECT_TRUE(h.ask(packet).empty());
  EXPECT_EQ(h.sim.memory().filter_b, 2);
  EXPECT_EQ(h.sim.memory().zero_offset, 256);
  EXPECT_EQ(h.ask("z"), (Bytes{'z', 0x01, 0x00}));  // questions still answered
  EXPECT_TRUE(h.ask(Bytes{'K', 8}, 60.0).empty());
  EXPECT_FALSE(h.sim.moving(h.now));  // the reposition ran, silently
}

TEST(Faults, VanishesMidMove) {
  Host h;
  h.sim.faults().vanish_mid_move = true;
  h.ask("y");
  EXPECT_FALSE(h.sim.vanished());
  h.ask(cat({'W'}, be32(200000)), 0.1);  // a long move: it vanishes half a second in
  EXPECT_FALSE(h.sim.vanished());
  EXPECT_NEAR(h.sim.next_due(), h.now - 0.1 + 0.5, 1e-9);
  h.sim.advance(h.now + 0.5);
  EXPECT_TRUE(h.sim.vanished());
  EXPECT_TRUE(h.ask("w").empty());
  EXPECT_TRUE(std::isinf(h.sim.next_due()));

  // A short move vanishes halfway.
  Host s;
  s.sim.faults().vanish_mid_move = true;
  s.ask(cat({'U'}, be32(2000)), 0.0);  // 0.2 s
  EXPECT_NEAR(s.sim.next_due(), s.now + 0.001, 1e-9);  // the reply first
  s.collect(0.09);
  EXPECT_FALSE(s.sim.vanished());
  s.collect(0.02);
  EXPECT_TRUE(s.sim.vanished());
}

TEST(Faults, SlowRepliesComeLate) {
  Host h;
  h.sim.faults().reply_delay = 0.2;
  EXPECT_TRUE(h.ask("y", 0.15).empty());
  EXPECT_EQ(h.collect(0.06), (Bytes{'y', 21}));
}

TEST(Options, FaultAndMemoryOptionsByName) {
  Faults f;
  std::string error;
  for (const char* fault_text : {"silent", "silent-after=4", "wrong-letter=zv", "garble=0.1", "drop=0.25", "stall",
                           "no-ack", "vanish", "slow=0.2", "seed=9"})
    EXPECT_TRUE(apply_fault(f, fault_text, error)) << fault_text << ": " << error;
  EXPECT_TRUE(f.silent && f.stall && f.no_ack && f.vanish_mid_move);
  EXPECT_EQ(f.silent_after, 4);
  EXPECT_EQ(f.wrong_letter_only, "zv");
  EXPECT_DOUBLE_EQ(f.drop_rate, 0.25);
  EXPECT_DOUBLE_EQ(f.reply_delay, 0.2);
  EXPECT_EQ(f.seed, 9u);
  for (const char* bad : {"garble=2", "silent-after=x", "loud", "slow="}) EXPECT_FALSE(apply_fault(f, bad, error)) << bad;

  Memory m;
  EXPECT_TRUE(apply_memory(m, "instrument-no", "4711", error));
  EXPECT_TRUE(apply_memory(m, "grating", "4", error));
  EXPECT_TRUE(apply_memory(m, "power-on-nm", "435.83", error));
  EXPECT_TRUE(apply_memory(m, "filters", "400,700", error));
  EXPECT_TRUE(apply_memory(m, "filter-a", "-5", error));
  EXPECT_EQ(m.instrument_no, 4711);
  EXPECT_EQ(m.power_on, 8717u);  // 435.83 / 0.05, rounded
  EXPECT_EQ(m.filter_count, 2);
  EXPECT_EQ(m.filter_start[1], 875);  // 700 / 16 / 0.05
  EXPECT_EQ(m.filter_a, 32773);
  EXPECT_FALSE(apply_memory(m, "speed", "0", error));
  EXPECT_FALSE(apply_memory(m, "zero", "70000", error));
  EXPECT_FALSE(apply_memory(m, "colour", "1", error));
}

}  // namespace
}  // namespace brivel::sim
