// Each fault, set by its option text, changes what the host sees; random faults repeat with their seed;
// bad option values are refused.

#include <gtest/gtest.h>

#include <cmath>

#include "sim_controller.h"
#include "sim_options.h"

namespace brivel::sim {
namespace {

using Seen = std::vector<std::pair<long, std::uint8_t>>;   // (virtual ms, byte)

// A fixed session, every byte with its time: questions, a setting, the filter record, a 0.9 s move.
Seen session(std::initializer_list<const char*> faults) {
  Controller sim;
  std::string error;
  for (const char* text : faults) EXPECT_TRUE(apply_fault(sim.faults(), text, error)) << text << ": " << error;
  Seen seen;
  double now = 1000.0;
  const auto send = [&](const Bytes& command, double pause) {
    sim.receive(command, now);
    for (const double end = now + pause; now < end;) {
      now += 0.01;
      for (std::uint8_t byte : sim.take_output(now)) seen.emplace_back(std::lround(now * 1000), byte);
    }
  };
  for (const Bytes& question : {Bytes{'y'}, Bytes{'g'}, Bytes{'f', '\r'}}) send(question, 0.1);
  send({'N', 0, 7}, 0.1);
  send({'n'}, 0.1);
  send({'W', 0x00, 0x01, 0x5F, 0x90}, 0.2);   // to 90000 steps
  for (int i = 0; i < 8; ++i) send({'w'}, 0.2);
  return seen;
}

TEST(Faults, EachChangesWhatTheHostSeesAndRandomOnesRepeatWithTheirSeed) {
  const Seen clean = session({});
  ASSERT_GT(clean.size(), 50u);
  for (const char* fault : {"silent", "silent-after=2", "wrong-letter", "wrong-letter=g", "no-ack", "slow=0.2",
                            "stall", "stall-after=2", "stall-in=0.3", "creep", "vanish", "vanish-after=2",
                            "split=0.6", "flood"})
    EXPECT_NE(session({fault}), clean) << fault;
  for (const char* fault : {"garble=0.3", "drop=0.3", "jitter=0.4", "duplicate=0.5", "reorder=0.5",
                            "garble-host=0.3", "unsolicited=0.25"}) {
    const Seen seven = session({fault, "seed=7"});
    EXPECT_NE(seven, clean) << fault;
    EXPECT_EQ(seven, session({fault, "seed=7"})) << fault;
    EXPECT_NE(seven, session({fault, "seed=8"})) << fault;
  }
}

TEST(Options, MemoryByNameAndBadValuesRefused) {
  Memory m;
  std::string error;
  for (const auto& [name, value] : std::vector<std::pair<std::string, std::string>>{
           {"instrument-no", "4711"}, {"grating", "4"}, {"power-on-nm", "435.83"}, {"filters", "400,700"},
           {"filter-a", "-5"}})
    EXPECT_TRUE(apply_memory(m, name, value, error)) << name << ": " << error;
  EXPECT_EQ(m.instrument_no, 4711);
  EXPECT_EQ(m.power_on, 8717u);  // 435.83 / 0.05, rounded
  EXPECT_EQ(m.filter_count, 2);
  EXPECT_EQ(m.filter_start[1], 875);  // 700 / 16 / 0.05
  EXPECT_EQ(m.filter_a, 32773);
  EXPECT_FALSE(apply_memory(m, "speed", "0", error));
  EXPECT_FALSE(apply_memory(m, "zero", "70000", error));
  EXPECT_FALSE(apply_memory(m, "colour", "1", error));
  Faults f;
  for (const char* bad : {"garble=2", "silent-after=x", "loud", "slow=", "stall=1", "vanish-after", "stall-in=0",
                          "creep=1", "duplicate=2", "reorder=-1", "unsolicited=0", "flood=3", "split=x"})
    EXPECT_FALSE(apply_fault(f, bad, error)) << bad;
}

}  // namespace
}  // namespace brivel::sim
