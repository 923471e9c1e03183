// The faults of the line and of the motor that the simulated controller injects beyond
// silence and garbled replies: a device that vanishes outside a motion, motors that
// stall part-way or creep, replies that come late, split, twice or out of order,
// garbled commands and bytes nobody asked for.

#include <gtest/gtest.h>

#include <set>

#include "line_host.h"
#include "sim_options.h"

namespace brivel::sim {
namespace {

constexpr std::uint32_t kStart = 80000 + 1000;  // the factory position, absolute steps

using host_side::b;
using host_side::with32;
std::uint32_t reported(const Bytes& report) {
  return std::uint32_t(report.at(1)) << 24 | std::uint32_t(report.at(2)) << 16 |
         std::uint32_t(report.at(3)) << 8 | report.at(4);
}

// The host, with the controller's faults set from their text options.
struct Host : host_side::LineHost {
  explicit Host(std::initializer_list<const char*> faults) {
    std::string error;
    for (const char* text : faults) EXPECT_TRUE(apply_fault(sim.faults(), text, error)) << text << ": " << error;
  }
  // (time, byte) of everything sent within `seconds`, looked at every millisecond.
  std::vector<std::pair<double, std::uint8_t>> watch(double seconds) {
    std::vector<std::pair<double, std::uint8_t>> seen;
    for (double end = now + seconds; now < end;)
      for (std::uint8_t byte : collect(0.001)) seen.emplace_back(now, byte);
    return seen;
  }
};

TEST(LineFaults, VanishAfterNCommandsOutsideAMotionAndReplugKeepsMemory) {
  Host h({"vanish-after=2"});
  EXPECT_EQ(h.ask("y"), (Bytes{'y', 21}));
  EXPECT_EQ(h.ask(Bytes{'N', 0, 7}), (Bytes{'O', 'K', 0x0D}));
  EXPECT_FALSE(h.sim.vanished());
  EXPECT_TRUE(h.ask("n").empty());  // the third command finds no device
  EXPECT_TRUE(h.sim.vanished());
  EXPECT_EQ(h.sim.commands(), 3);
  h.sim.faults() = Faults{};
  h.sim.replug();
  EXPECT_FALSE(h.sim.vanished());
  EXPECT_EQ(h.ask("n"), (Bytes{'n', 0, 7}));  // what it was told before it went
}

TEST(LineFaults, StallSwitchedOnPartWayStopsTheMotorWhereItIs) {
  // By commands: the move turns until the third command, then stands still, under way.
  Host h({"stall-after=2"});
  h.ask(with32('W', 50000), 0.5);  // 1: a move of 30000 steps at 10000 steps/s
  const std::uint32_t half = reported(h.ask("w"));  // 2, after 0.5 s
  EXPECT_NEAR(half, kStart - 5000, 2);
  const std::uint32_t stopped = reported(h.ask("w", 1.0));  // 3, 50 ms later: the stall begins
  EXPECT_NEAR(stopped, half - 500, 2);
  EXPECT_EQ(reported(h.ask("w", 5.0)), stopped);
  EXPECT_TRUE(h.sim.moving(h.now));
  EXPECT_EQ(h.ask(with32('W', 90000), 1.0).size(), 5u);  // a later move does not turn
  EXPECT_EQ(reported(h.ask("w")), stopped);

  // By time: every motion stops 0.3 s after it began; "k" ends it.
  Host t({"stall-in=0.3"});
  t.ask(with32('U', 20000), 2.0);
  EXPECT_NEAR(reported(t.ask("w")), kStart + 3000, 1);
  EXPECT_TRUE(t.sim.moving(t.now));
  t.ask("k");
  EXPECT_FALSE(t.sim.moving(t.now));
}

TEST(LineFaults, CreepingMotorReportsChangingPositionsButNeverTheTarget) {
  Host h({"creep"});
  const Bytes head = h.ask(with32('U', 4000), 5.0);  // far longer than the 0.4 s it needs
  const std::uint32_t target = kStart + 4000;
  // The reply names the target, which no report will repeat.
  ASSERT_EQ(head, (Bytes{std::uint8_t(target >> 24), std::uint8_t(target >> 16), std::uint8_t(target >> 8),
                         std::uint8_t(target), 0x0D}));
  std::set<std::uint32_t> seen;
  std::uint32_t previous = 0;
  for (int i = 0; i < 40; ++i) {
    const std::uint32_t p = reported(h.ask("w", 0.02));
    EXPECT_LT(p, target);
    EXPECT_GE(p, target - 16);
    EXPECT_NE(p, previous);
    previous = p;
    seen.insert(p);
  }
  EXPECT_EQ(seen.size(), 16u);
  EXPECT_TRUE(h.sim.moving(h.now));
  h.ask("k");
  EXPECT_FALSE(h.sim.moving(h.now));
  const std::uint32_t rest = reported(h.ask("w"));
  EXPECT_EQ(reported(h.ask("w")), rest);  // stopped: no more hunting
  EXPECT_TRUE(h.ask(Bytes{'K', 8}, 600.0).empty()) << "a creeping reposition never finishes";
}

TEST(LineFaults, SplitJitterDuplicateAndReorderShapeTheReplyStream) {
  Host split({"split=0.6"});
  split.sim.receive(b("m"), split.now);
  const auto parts = split.watch(1.0);
  ASSERT_EQ(parts.size(), 5u);
  EXPECT_NEAR(parts[2].first - parts[1].first, 0.6, 0.0011);  // "m" b1 | b2 b3 b4
  EXPECT_NEAR(parts[4].first - parts[2].first, 0.0, 1e-9);

  const auto delays = [](const char* seed) {
    Host h({"jitter=0.4", seed});
    std::vector<double> after;
    for (int i = 0; i < 8; ++i) {
      const double asked = h.now;
      h.sim.receive(b("y"), h.now);
      const auto got = h.watch(0.5);
      EXPECT_EQ(got.size(), 2u);
      after.push_back(got.empty() ? 1.0 : got.front().first - asked);
    }
    return after;
  };
  const std::vector<double> late = delays("seed=3");
  EXPECT_EQ(late, delays("seed=3"));
  EXPECT_NE(late, delays("seed=4"));
  for (double d : late) EXPECT_LE(d, 0.402);
  EXPECT_GT(*std::max_element(late.begin(), late.end()), 0.1);

  Host twice({"duplicate=1"});
  EXPECT_EQ(twice.ask("y"), (Bytes{'y', 21, 'y', 21}));

  Host swapped({"reorder=1"});
  EXPECT_TRUE(swapped.ask("y").empty());                    // held back ...
  EXPECT_EQ(swapped.ask("g"), (Bytes{'g', 1, 'y', 21}));   // ... until after the next reply
  EXPECT_TRUE(swapped.ask("t", 0.2).empty());
  EXPECT_EQ(swapped.collect(0.2), (Bytes{'t', 6}));         // or until it has waited 0.3 s
}

TEST(LineFaults, GarbledCommandsAreMisframedOrMisreadRepeatably) {
  const auto run = [](const char* seed) {
    Host h({"garble-host=0.5", seed});
    Bytes all;
    for (int i = 0; i < 30; ++i) {
      const Bytes got = h.ask("y", 0.2);
      all.insert(all.end(), got.begin(), got.end());
    }
    return std::make_pair(all, h.sim.log());
  };
  const auto [replies, log] = run("seed=5");
  EXPECT_EQ(replies, run("seed=5").first);
  EXPECT_LT(replies.size(), 60u) << "some of the 30 questions did not arrive as asked";
  EXPECT_NE(log, std::vector<std::string>(30, "y"));
}

TEST(LineFaults, UnsolicitedPacketsAndAFloodComeWithoutACommand) {
  Host stray({"unsolicited=0.25", "seed=2"});
  stray.sim.advance(stray.now);
  const auto packets = stray.watch(1.0);
  EXPECT_GE(packets.size(), 4u);   // four packets of 1 to 8 bytes
  EXPECT_LE(packets.size(), 32u);
  EXPECT_LE(stray.sim.next_due(), stray.now + 0.25);

  Host flood({"flood"});
  flood.sim.advance(flood.now);
  EXPECT_NEAR(static_cast<double>(flood.watch(1.0).size()), 960.0, 2.0);
  flood.sim.faults().flood = false;
  flood.collect(0.01);
  EXPECT_TRUE(flood.collect(1.0).empty());
  EXPECT_EQ(flood.sim.next_due(), std::numeric_limits<double>::infinity());
}

TEST(LineFaults, OptionNamesAndBadValues) {
  Faults f;
  std::string error;
  for (const char* good : {"vanish-after=3", "stall-after=0", "stall-in=1.5", "creep", "jitter=0.2",
                           "split=0.6", "duplicate=0.1", "reorder=0.2", "garble-host=0.05",
                           "unsolicited=2", "flood"})
    EXPECT_TRUE(apply_fault(f, good, error)) << good << ": " << error;
  EXPECT_EQ(f.vanish_after, 3);
  EXPECT_EQ(f.stall_after, 0);
  EXPECT_DOUBLE_EQ(f.stall_in, 1.5);
  EXPECT_DOUBLE_EQ(f.unsolicited_every, 2.0);
  EXPECT_TRUE(f.creep && f.flood);
  for (const char* bad : {"vanish-after", "stall-in=0", "creep=1", "duplicate=2", "reorder=-1",
                          "unsolicited=0", "flood=3", "split=x"})
    EXPECT_FALSE(apply_fault(f, bad, error)) << bad;
}

}  // namespace
}  // namespace brivel::sim
