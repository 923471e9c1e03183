// The simulated controller as the control sees it: the bytes of every reply, motion
// that takes the time its speed says, repositioning, the filter table, each fault and
// the text options that set faults and memory.

#include <gtest/gtest.h>

#include <cmath>
#include <utility>

#include "line_host.h"
#include "sim_options.h"

namespace brivel::sim {
namespace {

const Bytes kAck = {'O', 'K', 0x0D};
const Bytes kEnd = {'O', 'K', 'K', 'K', 0x0D};
constexpr std::uint32_t kPowerOnAbsolute = 80000 + 1000;  // power-on steps + zero offset

using host_side::b;
using host_side::with32;

// `v` in four bytes, most significant first, between `head` and `tail`.
Bytes be32(std::uint32_t v, Bytes head = {}, const Bytes& tail = {}) {
  for (int shift = 24; shift >= 0; shift -= 8) head.push_back(static_cast<std::uint8_t>(v >> shift));
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}
Bytes moved_to(std::uint32_t target) { return be32(target, {}, {0x0D}); }  // the reply to a move

using Host = host_side::LineHost;

void set_faults(Host& h, std::initializer_list<const char*> texts) {
  std::string error;
  for (const char* text : texts) ASSERT_TRUE(apply_fault(h.sim.faults(), text, error)) << text << ": " << error;
}

using Exchanges = std::vector<std::pair<Bytes, Bytes>>;

// In order on one instrument: the factory answers, settings, then the answers they
// changed. Each reply is exactly as long as the receive threshold the control sets.
TEST(Controller, RepliesToEveryCommandAndKeepsWhatItIsTold) {
  const Exchanges exchanges = {
      {b("y"), {'y', 21}}, {b("n"), {'n', 0x30, 0x39}}, {b("g"), {'g', 1}}, {b("z"), {'z', 0x03, 0xE8}},
      {b("p"), {'p', 0x01, 0xF4}}, {b("m"), {'m', 0, 0x01, 0x38, 0x80}},  // 80000: 500 nm at code 1
      {b("v"), {'v', 0, 250}}, {b("t"), {'t', 6}}, {b("w"), with32('w', kPowerOnAbsolute)},
      // State, count, A, B 700, starts 3500 6500 8000 and three unused: each then CR.
      {b("f\r"), {1, 13, 3, 13, 0, 0, 13, 0x02, 0xBC, 13, 0x0D, 0xAC, 13, 0x19, 0x64, 13, 0x1F, 0x40, 13,
                  0, 0, 13, 0, 0, 13, 0, 0, 13}},
      {{'N', 1, 2}, kAck}, {{'G', 4}, kAck}, {{'P', 1, 0x2C}, kAck}, {{'Z', 0, 0x10}, kAck},
      {{'Y', 0, 9}, kAck}, {{'M', 0, 0, 0x27, 0x10}, kAck}, {{'S', 0, 13}, kAck}, {{'T', 2}, b("OK")},
      // "V" answers nothing, whatever threshold is left; speed 0 is taken as 1.
      {{'V', 100, 0}, {}}, {{'V', 0}, {}},
      {b("n"), {'n', 1, 2}}, {b("g"), {'g', 4}}, {b("p"), {'p', 1, 0x2C}}, {b("z"), {'z', 0, 0x10}},
      {b("y"), {'y', 9}}, {b("m"), {'m', 0, 0, 0x27, 0x10}}, {b("t"), {'t', 2}}, {b("v"), {'v', 0, 1}},
  };
  Host h;
  for (const auto& [command, reply] : exchanges) EXPECT_EQ(h.ask(command), reply) << testing::PrintToString(command);
  EXPECT_EQ(h.sim.memory().filter_state, 0);
  const std::vector<std::string>& log = h.sim.log();
  ASSERT_EQ(log.size(), exchanges.size());
  EXPECT_EQ(log[log.size() - 10], "V 64 00");
  EXPECT_EQ(log[log.size() - 9], "V 00");
}

// The "F" packets go with a threshold of 3 (filter button) or 2 (left by "T" in the
// download): each six-byte acknowledgement suits both, and no part of it that a
// receive event could deliver first already holds the "OK" that ends the wait.
TEST(Controller, FilterSequenceIsAcknowledgedPacketByPacketAndStored) {
  Host h;
  for (const Bytes& packet : {Bytes{'F', 3, 13}, Bytes{0x80, 0x05, 13}, Bytes{0x57, 0x79, 13},
                              Bytes{0x11, 0x17, 13}, Bytes{0x1F, 0xBD, 13}, Bytes{0x27, 0x10, 13}}) {
    const Bytes ack = h.ask(packet);
    ASSERT_EQ(ack.size(), 6u);
    EXPECT_EQ(std::string(ack.begin(), ack.end()).find("OK"), 3u);
    EXPECT_EQ(ack[5], 0x0D);
  }
  const Memory& m = h.sim.memory();
  EXPECT_EQ(m.filter_count, 3);
  EXPECT_EQ(m.filter_a, 0x8005);
  EXPECT_EQ(m.filter_b, 0x5779);
  EXPECT_EQ(m.filter_start, (std::array<std::uint16_t, 6>{4375, 8125, 10000, 0, 0, 0}));

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

TEST(Controller, MovesTakeTheTimeTheSpeedSaysAndStopAtTheEndsOfTravel) {
  Host h;
  // 600 nm at 0.00625 nm/step: 96000 steps, absolute 97000: 16000 steps at 10000 steps/s.
  const double t0 = h.now;
  EXPECT_TRUE(h.ask(with32('W', 96000), 0.0).empty());  // nothing before the controller's latency
  EXPECT_EQ(h.collect(0.01), moved_to(97000));
  h.now = t0 + 0.8;
  const std::uint32_t halfway = h.sim.position(h.now);
  EXPECT_NEAR(halfway, kPowerOnAbsolute + 8000, 20);
  EXPECT_EQ(h.ask("w", 0.01), with32('w', halfway));
  EXPECT_TRUE(h.sim.moving(h.now));
  h.now = t0 + 1.601;
  EXPECT_FALSE(h.sim.moving(h.now));
  EXPECT_EQ(h.ask("w"), with32('w', 97000));

  // Speed 100: 4000 steps/s, so 2000 steps down take half a second.
  h.ask(Bytes{'V', 100});
  const double t1 = h.now;
  EXPECT_EQ(h.ask(with32('D', 2000), 0.01), moved_to(95000));
  EXPECT_TRUE(h.sim.moving(t1 + 0.49));
  EXPECT_FALSE(h.sim.moving(t1 + 0.51));
  EXPECT_EQ(h.sim.position(t1 + 0.51), 95000u);

  // A speed set while a move runs applies from there on: 4000 steps at 4000 steps/s
  // for 0.5 s, then the remaining 2000 at 10000 steps/s.
  h.now = t1 + 1.0;
  EXPECT_EQ(h.ask(with32('U', 4000), 0.5), moved_to(99000));
  h.ask(Bytes{'V', 250, 0}, 0.0);
  EXPECT_TRUE(h.sim.moving(h.now + 0.19));
  EXPECT_FALSE(h.sim.moving(h.now + 0.21));
  EXPECT_EQ(h.sim.position(h.now + 0.21), 99000u);

  h.now += 0.3;
  EXPECT_EQ(h.ask(with32('D', 1000000)), moved_to(0));
  EXPECT_EQ(h.ask(with32('W', 0xFFFFFFFF)), moved_to(2000000));
}

TEST(Controller, JogRunsToTheLimitUnlessStopped) {
  Host h;
  h.sim.motor().travel = 100000;  // 19000 steps above the power-on position: 1.9 s
  EXPECT_EQ(h.ask(Bytes{'K', 1}), with32('w', kPowerOnAbsolute));  // where the jog starts
  EXPECT_NEAR(h.sim.next_due(), h.now - 0.05 + 1.9, 1e-6);
  EXPECT_TRUE(h.collect(1.0).empty());
  EXPECT_EQ(h.collect(1.0), kEnd);
  EXPECT_EQ(h.sim.position(h.now), 100000u);

  // Down, stopped after half a second: "k" answers with the end-of-motion packet.
  EXPECT_EQ(h.ask(Bytes{'K', 2, 0}, 0.5), with32('w', 100000));
  EXPECT_NEAR(h.sim.position(h.now), 95000.0, 20.0);
  EXPECT_EQ(h.ask("k"), kEnd);
  const std::uint32_t stopped = h.sim.position(h.now);
  EXPECT_TRUE(h.collect(5.0).empty());
  EXPECT_EQ(h.sim.position(h.now), stopped);
}

TEST(Controller, RepositionGoesToTheReferenceThenToThePowerOnPosition) {
  Host h;
  h.ask(Bytes{'M', 0, 0, 0x27, 0x10});  // new power-on position: 10000 steps
  // From 81000 to 0 at 10000 steps/s, then to 11000: 8.1 s + 1.1 s.
  EXPECT_TRUE(h.ask(Bytes{'K', 8}, 4.0).empty());
  EXPECT_NEAR(h.sim.position(h.now), 41000.0, 20.0);
  EXPECT_TRUE(h.collect(4.2).empty());
  EXPECT_LT(h.sim.position(h.now), 2000u);  // passed the reference, on its way back
  EXPECT_EQ(h.collect(1.5), kEnd);
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

// Faults set by their option texts, each on a fresh instrument: its exchanges in
// order, then what it stored although it did not say so.
TEST(Faults, ShapeTheRepliesTheyShould) {
  struct Case {
    const char* fault;
    Exchanges exchanges;
    std::uint16_t Memory::*stored = nullptr;
    std::uint16_t value = 0;
  };
  const Case cases[] = {
      {"silent", {{b("y"), {}}, {{'N', 0, 5}, {}}}, &Memory::instrument_no, 5},
      {"silent-after=2", {{b("y"), {'y', 21}}, {b("n"), {'n', 0x30, 0x39}}, {b("g"), {}}, {b("w"), {}}}},
      // Settings are not questions.
      {"wrong-letter", {{b("y"), {'Y', 21}}, {b("w"), with32('W', kPowerOnAbsolute)}, {{'S', 1, 13}, kAck}}},
      {"wrong-letter=zv", {{b("y"), {'y', 21}}, {b("z"), {'Z', 3, 0xE8}}, {b("v"), {'V', 0, 250}}}},
      {"no-ack",
       {{{'Z', 1, 0}, {}}, {{'S', 0, 13}, {}}, {{'F', 0, 13}, {}}, {{0, 1, 13}, {}}, {{0, 2, 13}, {}},
        {b("z"), {'z', 1, 0}}},
       &Memory::filter_b, 2},
      // 0.2 s late ({} sends nothing, 50 ms pass): nothing at 0.20 s, the answer by 0.25 s.
      {"slow=0.2", {{b("y"), {}}, {{}, {}}, {{}, {}}, {{}, {}}, {{}, {'y', 21}}}},
  };
  for (const Case& c : cases) {
    Host h;
    set_faults(h, {c.fault});
    for (const auto& [command, reply] : c.exchanges)
      EXPECT_EQ(h.ask(command), reply) << c.fault << ": " << testing::PrintToString(command);
    if (c.stored) {
      EXPECT_EQ(h.sim.memory().*c.stored, c.value) << c.fault;
    }
  }
}

TEST(Faults, GarbleAndDropAreSeededAndRepeatable) {
  const auto run = [](std::initializer_list<const char*> faults) {
    Host h;
    set_faults(h, faults);
    return h.ask("f\r");
  };
  const Bytes clean = run({});
  const Bytes garbled = run({"garble=1"});
  ASSERT_EQ(garbled.size(), clean.size());
  for (std::size_t i = 0; i < clean.size(); ++i) EXPECT_NE(garbled[i], clean[i]) << i;
  EXPECT_TRUE(run({"drop=1"}).empty());

  const Bytes some = run({"garble=0.3", "drop=0.3", "seed=7"});
  EXPECT_EQ(some, run({"garble=0.3", "drop=0.3", "seed=7"}));
  EXPECT_NE(some, run({"garble=0.3", "drop=0.3", "seed=8"}));
  EXPECT_LT(some.size(), clean.size());
  EXPECT_GT(some.size(), 0u);
}

TEST(Faults, StalledOrUnacknowledgingMotorsStayQuietAboutTheEnd) {
  Host h;
  set_faults(h, {"stall"});
  EXPECT_EQ(h.ask(with32('W', 96000), 5.0), moved_to(97000));
  EXPECT_EQ(h.ask("w"), with32('w', kPowerOnAbsolute));
  EXPECT_TRUE(h.sim.moving(h.now));
  EXPECT_TRUE(h.ask(Bytes{'K', 8}, 600.0).empty());  // a stalled reposition never ends

  Host quiet;  // without acknowledgements the reposition runs, silently
  set_faults(quiet, {"no-ack"});
  EXPECT_TRUE(quiet.ask(Bytes{'K', 8}, 4.0).empty());
  EXPECT_LT(quiet.sim.position(quiet.now), kPowerOnAbsolute);
  EXPECT_TRUE(quiet.collect(60.0).empty());
  EXPECT_EQ(quiet.sim.position(quiet.now), kPowerOnAbsolute);
  EXPECT_FALSE(quiet.sim.moving(quiet.now));
}

TEST(Faults, VanishesMidMove) {
  Host h;
  set_faults(h, {"vanish"});
  h.ask(with32('W', 200000), 0.1);  // a long move: it vanishes half a second in
  EXPECT_FALSE(h.sim.vanished());
  EXPECT_NEAR(h.sim.next_due(), h.now - 0.1 + 0.5, 1e-9);
  h.sim.advance(h.now + 0.5);
  EXPECT_TRUE(h.sim.vanished());
  EXPECT_TRUE(h.ask("w").empty());
  EXPECT_TRUE(std::isinf(h.sim.next_due()));

  Host s;  // a short move vanishes halfway
  set_faults(s, {"vanish"});
  s.ask(with32('U', 2000), 0.0);  // 0.2 s
  EXPECT_NEAR(s.sim.next_due(), s.now + 0.001, 1e-9);  // the reply first
  s.collect(0.09);
  EXPECT_FALSE(s.sim.vanished());
  s.collect(0.02);
  EXPECT_TRUE(s.sim.vanished());
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
  for (const char* bad : {"garble=2", "silent-after=x", "loud", "slow=", "stall=1"})
    EXPECT_FALSE(apply_fault(f, bad, error)) << bad;
}

}  // namespace
}  // namespace brivel::sim
