// The power-on wavelength: the DblOpenPos property and the TxtOpenPos box, against the
// simulated controller.

#include <gtest/gtest.h>

#include "platform/failure.h"
#include "testkit/bench.h"

namespace brivel {
namespace {

using testkit::Bench;

sim::Memory at_005_nm_per_step() {
  sim::Memory m = sim::factory_memory();
  m.grating = 4;       // 0.05 nm per step
  m.power_on = 10000;  // 500.00 nm
  return m;
}

struct PowerOnTest : ::testing::Test {
  Bench b{at_005_nm_per_step()};
  Widget& box() { return b.control.surface().at("TxtOpenPos"); }
  void SetUp() override {
    b.control.OpenCom();
    ASSERT_TRUE(b.control.BlnMonConnectFlag());
    b.clear();
  }
  void key(std::int16_t code) { b.control.TxtOpenPos_KeyPress(code); }
};

TEST_F(PowerOnTest, PropertyStoresTheNearestStepAndShowsWhatTheControllerHolds) {
  double requested = 435.83;
  b.control.setDblOpenPos(requested);
  EXPECT_EQ(b.write_hex(), (std::vector<std::string>{"4D 00 00 22 0D", "6D"}));  // 8717 steps
  EXPECT_EQ(b.sim.memory().power_on, 8717u);
  EXPECT_EQ(box().text(), "435.85 nm");
  EXPECT_DOUBLE_EQ(b.control.DblOpenPos(), 435.85);
  EXPECT_EQ(b.control.BlnBusy(), kFalse);
  ASSERT_EQ(b.dialogs.shown().size(), 2u);
  EXPECT_EQ(b.dialogs.shown()[0].text, "Will the initial wavelength be changed to 435.83 nm?");
  EXPECT_EQ(b.dialogs.shown()[0].title, "Modify monochromator parameters");
  EXPECT_EQ(b.dialogs.shown()[0].buttons, Buttons::OkCancel);
  EXPECT_EQ(b.dialogs.shown()[1].text, "Initial wavelength set successfully.");
}

TEST_F(PowerOnTest, EnterAsksWithoutTheBlankAndShowsNoSuccessMessage) {
  std::int16_t chinese = 0;
  b.control.setIntLanguage(chinese);
  double requested = 100;
  b.control.setDblOpenPos(requested);
  EXPECT_EQ(b.dialogs.shown()[0].text, "将默认波长修改为 100 nm?");
  EXPECT_EQ(b.dialogs.shown()[1].text, "设置成功！");

  b.clear();
  box().set_text("200 nm");
  key(13);
  ASSERT_EQ(b.dialogs.shown().size(), 1u);
  EXPECT_EQ(b.dialogs.last().text, "将默认波长修改为200 nm?");
  EXPECT_EQ(b.dialogs.last().title, "修改单色仪参数");
  EXPECT_EQ(box().text(), "200.00 nm");
  EXPECT_EQ(b.sim.memory().power_on, 4000u);
}

TEST_F(PowerOnTest, CancelStillReadsTheStoredValueBack) {
  box().set_text("123");
  b.dialogs.answer(Answer::Cancel);
  key(13);
  EXPECT_EQ(b.write_hex(), std::vector<std::string>{"6D"});
  EXPECT_EQ(box().text(), "500.00 nm");
  EXPECT_EQ(b.sim.memory().power_on, 10000u);

  // Esc re-reads as well, without asking.
  box().set_text("77");
  b.clear();
  key(27);
  EXPECT_EQ(b.write_hex(), std::vector<std::string>{"6D"});
  EXPECT_EQ(box().text(), "500.00 nm");
  EXPECT_TRUE(b.dialogs.shown().empty());
}

TEST_F(PowerOnTest, RangeIsZeroTo6553Point5) {
  double too_high = 6553.51;
  b.control.setDblOpenPos(too_high);
  EXPECT_EQ(b.dialogs.last().text, "Please enter a value between 0 and 6553.5.");
  EXPECT_EQ(b.dialogs.last().icon, Icon::Critical);
  box().set_text("-0.01");
  key(13);
  EXPECT_EQ(b.dialogs.last().icon, Icon::Information);
  EXPECT_TRUE(b.write_hex().empty());

  for (double edge : {0.0, 6553.5}) {
    b.control.setDblOpenPos(edge);
    EXPECT_EQ(b.sim.memory().power_on, static_cast<std::uint32_t>(edge / 0.05 + 0.5)) << edge;
  }
}

TEST_F(PowerOnTest, LeavingTheBoxAsksOnlyWhenTheValueChanged) {
  box().set_text("500");   // the value DblOpenPos holds
  b.control.TxtOpenPos_LostFocus();
  EXPECT_TRUE(b.dialogs.shown().empty());
  box().set_text("501");
  b.control.TxtOpenPos_LostFocus();
  EXPECT_EQ(b.dialogs.last().text, "Will the initial wavelength be changed to 501 nm?");
  EXPECT_EQ(b.sim.memory().power_on, 10020u);
}

TEST_F(PowerOnTest, BusyRefusesWithAMessageForEveryKey) {
  double requested = 300;
  b.pump.after(0.05, [&] {
    b.control.setDblOpenPos(requested);
    std::int16_t letter = '4';
    b.control.TxtOpenPos_KeyPress(letter);
  });
  b.control.OpenCom();   // busy while it identifies
  EXPECT_EQ(b.dialogs.count("The monochromator controller is running."), 2);
  EXPECT_EQ(b.sim.memory().power_on, 10000u);
}

TEST(PowerOnUnknownGrating, DivisionByZeroReachesTheHostFromThePropertyOnly) {
  sim::Memory m = sim::factory_memory();
  m.grating = 6;   // not in the grating table: the step size stays 0
  Bench b(m);
  b.control.OpenCom();
  b.clear();
  double requested = 100;
  try {
    b.control.setDblOpenPos(requested);
    FAIL() << "no failure";
  } catch (const RuntimeFailure& failure) {
    EXPECT_EQ(failure.reason(), FailureReason::DivisionByZero);
  }
  EXPECT_EQ(b.control.BlnBusy(), kFalse);
  EXPECT_TRUE(b.write_hex().empty());

  // The box traps it and tells the operator.
  b.control.surface().at("TxtOpenPos").set_text("100");
  std::int16_t enter = 13;
  EXPECT_NO_THROW(b.control.TxtOpenPos_KeyPress(enter));
  EXPECT_EQ(b.dialogs.last().icon, Icon::Critical);
  EXPECT_EQ(b.control.BlnBusy(), kFalse);
  EXPECT_TRUE(b.write_hex().empty());
}

TEST(PowerOnNotConnected, TypingAndEnterDoNothing) {
  Bench b;
  b.control.surface().at("TxtOpenPos").set_text("100");
  for (std::int16_t code : {std::int16_t{'1'}, std::int16_t{13}, std::int16_t{27}})
    b.control.TxtOpenPos_KeyPress(code);
  double requested = 100;
  b.control.setDblOpenPos(requested);
  EXPECT_TRUE(b.dialogs.shown().empty());
  EXPECT_TRUE(b.write_hex().empty());
}

}  // namespace
}  // namespace brivel
