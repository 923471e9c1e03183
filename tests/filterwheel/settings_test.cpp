// The filter wheel's operator side: the check box, the count box and the write button,
// against the simulated controller.

#include <gtest/gtest.h>

#include "testkit/bench.h"

namespace brivel {
namespace {

using testkit::Bench;

sim::Memory wheel(std::uint8_t state) {
  sim::Memory m = sim::factory_memory();
  m.grating = 3;   // 0.025 nm per step: a start unit of 16 steps is 0.4 nm
  m.filter_state = state;
  m.filter_count = 2;
  m.filter_a = 0x8005;
  m.filter_b = 700;
  m.filter_start = {875, 2000, 0, 0, 0, 0};
  return m;
}

struct FilterTest : ::testing::Test {
  Bench b{wheel(1)};
  Widget& at(const std::string& name) { return b.control.surface().at(name); }
  Widget& row(int i) { return at(indexed("TxtFilterStartWavelen", i)); }
  void connect() {
    b.control.OpenCom();
    ASSERT_TRUE(b.control.BlnMonConnectFlag());
    b.clear();
  }
  void enter(const std::string& count, std::initializer_list<const char*> starts) {
    at("CboFilterCount").set_text(count);
    int i = 0;
    for (const char* s : starts) row(i++).set_text(s);
  }
};

TEST_F(FilterTest, WriteSortsTheStartWavelengthsAndReadsThemBack) {
  connect();
  enter("3", {"800", "350", "650"});
  b.control.CmdFilterSet_Click();
  EXPECT_EQ(b.write_hex(), (std::vector<std::string>{
                               "46 03 0D", "80 05 0D", "02 BC 0D",      // count, A -5, B 700
                               "03 6B 0D", "06 59 0D", "07 D0 0D",      // 350, 650, 800 nm
                               "66 0D"}));
  EXPECT_EQ(b.sim.memory().filter_count, 3);
  EXPECT_EQ(row(0).text(), "350.0");
  EXPECT_EQ(row(1).text(), "650.0");
  EXPECT_EQ(row(2).text(), "800.0");
  EXPECT_TRUE(row(2).visible());
  EXPECT_FALSE(row(3).visible());
  ASSERT_EQ(b.dialogs.shown().size(), 2u);
  EXPECT_EQ(b.dialogs.shown()[0].text, "Are you sure to change the parameters?");
  EXPECT_EQ(b.dialogs.shown()[1].text, "The filter wheel parameters set successfully.");
  EXPECT_FALSE(at("FrmSplash").visible());
  EXPECT_EQ(b.control.BlnBusy(), kFalse);
}

TEST_F(FilterTest, EntriesAreCheckedBeforeAnythingIsSent) {
  // Not connected: the not-connected message only once the entries have passed.
  enter("0", {});
  b.control.CmdFilterSet_Click();
  EXPECT_EQ(b.control.surface().focused(), "CboFilterCount");
  EXPECT_TRUE(b.dialogs.shown().empty());
  enter("2", {"350", "50001"});
  b.control.CmdFilterSet_Click();
  EXPECT_EQ(b.control.surface().focused(), indexed("TxtFilterStartWavelen", 1));
  enter("2", {"350", "50000"});
  b.control.CmdFilterSet_Click();
  EXPECT_EQ(b.dialogs.last().text, "Monochromator connection failed.");
  EXPECT_EQ(b.dialogs.last().title, "");

  connect();
  enter("7", {"1", "2", "3", "4", "5", "6"});   // the range check allows 8, the wheel has six
  b.control.CmdFilterSet_Click();
  EXPECT_EQ(b.dialogs.last().text, "At most 6 filters can be set.");
  EXPECT_EQ(b.control.surface().focused(), "CboFilterCount");

  // A row that is not in use is not checked (it is not sent either).
  enter("2", {"350", "650", "letters"});
  b.dialogs.answer(Answer::Cancel);
  b.control.CmdFilterSet_Click();
  EXPECT_EQ(b.dialogs.last().text, "Are you sure to change the parameters?");
  EXPECT_TRUE(b.write_hex().empty());
}

TEST_F(FilterTest, UncheckingAndCancellingPutsTheBoxBack) {
  connect();
  ASSERT_EQ(at("ChkUseFilter").value(), 1);
  at("ChkUseFilter").set_value(0);   // the operator's click
  b.dialogs.answer(Answer::Cancel);
  b.control.ChkUseFilter_Click();
  EXPECT_EQ(at("ChkUseFilter").value(), 1);
  EXPECT_TRUE(b.write_hex().empty());
  ASSERT_EQ(b.dialogs.shown().size(), 1u);
  EXPECT_EQ(b.dialogs.last().text, "Disable the filter wheel?");
  EXPECT_EQ(b.dialogs.last().title, "tervia spectrum control system");

  at("ChkUseFilter").set_value(0);
  b.control.ChkUseFilter_Click();
  EXPECT_EQ(b.write_hex(), (std::vector<std::string>{"53 00 0D", "66 0D"}));
  EXPECT_EQ(b.sim.memory().filter_state, 0);
  EXPECT_EQ(at("ChkUseFilter").value(), 0);

  b.clear();
  at("ChkUseFilter").set_value(1);
  b.control.ChkUseFilter_Click();
  EXPECT_EQ(b.dialogs.last().title, "spectrum control system");
  EXPECT_EQ(b.write_hex(), (std::vector<std::string>{"53 01 0D", "66 0D"}));
  EXPECT_EQ(at("ChkUseFilter").value(), 1);
}

TEST(FilterNotSetUp, CheckBoxRefusesAndAWriteSendsZeroForTheUnreadValues) {
  Bench b(wheel(7));   // the read-back finds no wheel: A and B are never read
  b.control.OpenCom();
  b.clear();
  b.control.surface().at("ChkUseFilter").set_value(1);
  b.control.ChkUseFilter_Click();
  EXPECT_EQ(b.dialogs.last().text, "Please set the parameters for filter wheel first.");
  EXPECT_TRUE(b.write_hex().empty());

  b.control.surface().at("CboFilterCount").set_text("1");
  b.control.surface().at(indexed("TxtFilterStartWavelen", 0)).set_text("400");
  b.control.CmdFilterSet_Click();
  const auto writes = b.write_hex();
  ASSERT_GE(writes.size(), 4u);
  EXPECT_EQ(writes[1], "00 00 0D");
  EXPECT_EQ(writes[2], "00 00 0D");
  EXPECT_EQ(b.control.BlnFilterReady(), kTrue);   // the write set the wheel up
}

TEST_F(FilterTest, CountBoxOffersOneToSixAndShowsThatManyRows) {
  EXPECT_EQ(at("CboFilterCount").items(), (std::vector<std::string>{"1", "2", "3", "4", "5", "6"}));
  at("CboFilterCount").set_text("4");
  b.control.CboFilterCount_Click();
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(row(i).visible(), i < 4) << i;
    EXPECT_EQ(at(indexed("Label21", i)).visible(), i < 4) << i;
  }
}

TEST_F(FilterTest, MissingAcknowledgementGivesUp) {
  connect();
  b.control.bounds().ack = 1.0;
  b.sim.faults().no_ack = true;
  enter("1", {"400"});
  b.control.CmdFilterSet_Click();
  EXPECT_EQ(b.write_hex(), std::vector<std::string>{"46 01 0D"});
  EXPECT_EQ(b.control.BlnBusy(), kFalse);
  EXPECT_FALSE(at("FrmSplash").visible());
  EXPECT_EQ(b.dialogs.last().icon, Icon::Critical);
}

}  // namespace
}  // namespace brivel
