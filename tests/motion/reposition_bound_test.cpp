// The return to the reference ("K" 8) is bounded by its travel (to the reference, out to the power-on
// position) at the speed in force: a long sound one runs to its end, one past its bound is stopped first.

#include "motion_bench.h"
#include "testkit/failure_of.h"
#include "text/convert.h"

namespace brivel::motion_test {
namespace {

// The largest power-on wavelength the control accepts, at 0.00625 nm per step.
constexpr std::uint32_t kFarPowerOn = 1048560;   // 6553.5 nm
// The end of travel of the simulated controller, as a wavelength (zero offset 1000).
constexpr double kEndOfTravel = (2000000 - 1000) * 0.00625;

sim::Memory far_power_on() {
  sim::Memory m = sim::factory_memory();
  m.power_on = kFarPowerOn;   // the motor stands there at power-on
  return m;
}

struct FarPowerOn {
  FarPowerOn() {
    b.control.OpenCom();
    b.clear();
  }
  testkit::Bench b{far_power_on()};
};

// The wait window and BlnBusy at every 10 s while `run` runs.
struct Watch {
  testkit::Bench& b;
  int looks = 0, hidden = 0, idle = 0;
  bool on = true;
  void start() {
    b.pump.after(10.0, [this] {
      if (!on) return;
      ++looks;
      hidden += b.control.surface().at("FrmSplash").visible() ? 0 : 1;
      idle += b.control.BlnBusy() ? 0 : 1;
      start();
    });
  }
};

TEST(RepositionBound, ALongReturnRunsToItsEndUnderTheWaitWindow) {
  // 104.9 s down to the reference and 104.9 s back: past any fixed bound of three minutes, not cut short.
  FarPowerOn c;
  Watch watch{c.b};
  watch.start();
  const double start = c.b.pump.now();
  c.b.control.CmdReAnchor_Click();
  watch.on = false;
  const double took = c.b.pump.now() - start;
  EXPECT_GT(took, 209.0);
  EXPECT_LT(took, 215.0);
  const Hex writes = c.b.write_hex();
  ASSERT_FALSE(writes.empty());
  EXPECT_EQ(writes[0], "4B 08");
  EXPECT_EQ(count_of(writes, "6B"), 0) << "nothing stops a sound return";
  EXPECT_GE(watch.looks, 20);
  EXPECT_EQ(watch.hidden, 0) << "the wait window stays up all along";
  EXPECT_EQ(watch.idle, 0);
  EXPECT_EQ(c.b.dialogs.shown().size(), 1u) << "the question only";
  EXPECT_TRUE(c.b.dialogs.notes().empty());
  EXPECT_EQ(c.b.control.BlnMonConnectFlag(), kTrue) << "the refresh followed";
  EXPECT_FALSE(c.b.control.surface().at("FrmSplash").visible());
  EXPECT_EQ(c.b.control.BlnBusy(), kFalse);
}

TEST(RepositionBound, ASlowerSpeedGivesALongerBound) {
  // 81,000 steps down and up: at speed 250 the bound is 2 x 162,000 / 10,000 + 10 = 42.4 s; at 50, 5 times.
  for (const auto& [speed, bound] : {std::pair{250, 42.4}, std::pair{50, 172.0}}) {
    testkit::Bench b;
    b.sim.memory().speed = static_cast<std::uint8_t>(speed);
    b.control.OpenCom();
    b.clear();
    b.sim.faults().stall = true;   // the return never ends
    const double start = b.pump.now();
    b.control.CmdReAnchor_Click();
    const double took = b.pump.now() - start;
    EXPECT_GT(took, bound) << speed;
    EXPECT_LT(took, bound + 0.2) << speed;
    // The motor is stopped before the operator is told.
    EXPECT_EQ(b.write_hex(), (Hex{"4B 08", "6B", "77"})) << speed;
    EXPECT_EQ(b.dialogs.last().text, "The monochromator did not answer in time: the return to the reference position.");
    ASSERT_EQ(b.dialogs.notes().size(), 1u);
    EXPECT_EQ(b.dialogs.notes()[0].text_en,
              "the return to the reference position did not end within " + text::format(bound, "0.0") + " s at speed " +
                  std::to_string(speed) + "; the motor was stopped");
    EXPECT_FALSE(b.control.surface().at("FrmSplash").visible());
    EXPECT_EQ(b.control.BlnBusy(), kFalse);
    EXPECT_FALSE(b.sim.moving(b.pump.now()));
  }
}

TEST(RepositionBound, TheDownloadsResetFromTheEndOfTravelHasTheSameBound) {
  // Power-on 6553.5 nm, the motor at the end of travel: the reset drives 2,000,000 steps down, 1,049,560 up.
  FarPowerOn c;
  double far_end = kEndOfTravel;
  c.b.control.MonochromatorMoveTo(far_end);
  const testkit::TempFile file("12345\t130\t500\t1000\t21\t6553.5\t6\t\r\n2\t\r\n");
  c.b.clear();
  const double start = c.b.pump.now();
  c.b.control.LoadParameter(file.path);
  EXPECT_GT(c.b.pump.now() - start, 304.0);
  EXPECT_EQ(count_of(c.b.write_hex(), "6B"), 0);
  EXPECT_TRUE(c.b.dialogs.notes().empty()) << c.b.dialogs.notes()[0].text_en;
  EXPECT_EQ(c.b.control.BlnMonConnectFlag(), kTrue) << "reconnected after the reset";
  EXPECT_DOUBLE_EQ(c.b.control.DblOpenPos(), 6553.5);
  // A reset that never ends: the motor is stopped, the note says so.
  c.b.sim.faults().stall = true;
  c.b.clear();
  c.b.control.LoadParameter(file.path);
  const Hex writes = c.b.write_hex();
  ASSERT_GE(writes.size(), 3u);
  EXPECT_EQ(Hex(writes.end() - 3, writes.end()), (Hex{"4B 08", "6B", "77"}));
  ASSERT_EQ(c.b.dialogs.notes().size(), 2u);
  EXPECT_EQ(c.b.dialogs.notes()[0].text_en.find("the return to the reference position did not end within"), 0u);
  EXPECT_NE(c.b.dialogs.notes()[1].text_en.find("did not finish its reset in time"), std::string::npos);
  EXPECT_TRUE(c.b.dialogs.shown().empty());
}

}  // namespace
}  // namespace brivel::motion_test
