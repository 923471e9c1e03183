// The filter wheel's check box, count box and write button against the simulated controller.

#include <gtest/gtest.h>

#include "testkit/bench.h"

namespace brivel {
namespace {

using testkit::Bench;
using Texts = std::vector<std::string>;

sim::Memory wheel(std::uint8_t state) {
  sim::Memory m = sim::factory_memory();
  m.grating = 3;   // 0.025 nm per step: a start unit of 16 steps is 0.4 nm
  m.filter_state = state, m.filter_count = 2, m.filter_a = 0x8005, m.filter_b = 700;
  m.filter_start = {875, 2000, 0, 0, 0, 0};
  return m;
}

Widget& at(Bench& b, const std::string& name) { return b.control.surface().at(name); }
Widget& row(Bench& b, int i) { return at(b, indexed("TxtFilterStartWavelen", i)); }
void write(Bench& b, const std::string& count, std::initializer_list<const char*> starts) {
  at(b, "CboFilterCount").set_text(count);
  int i = 0;
  for (const char* s : starts) row(b, i++).set_text(s);
  b.control.CmdFilterSet_Click();
}
void click(Bench& b, int checked) {
  at(b, "ChkUseFilter").set_value(checked);   // the operator's click
  b.control.ChkUseFilter_Click();
}
Texts said(const Bench& b) { return b.dialogs.texts(); }

TEST(Filter, WriteSortsTheStartWavelengthsReadsThemBackAndGivesUpWithoutAnAcknowledgement) {
  Bench b(wheel(1));
  ASSERT_TRUE(testkit::connect(b));
  write(b, "3", {"800", "350", "650"});
  EXPECT_EQ(b.write_hex(), (Texts{"46 03 0D", "80 05 0D", "02 BC 0D",   // count, A -5, B 700
                                  "03 6B 0D", "06 59 0D", "07 D0 0D",   // 350, 650, 800 nm
                                  "66 0D"}));
  EXPECT_EQ(b.sim.memory().filter_count, 3);
  EXPECT_EQ((Texts{row(b, 0).text(), row(b, 1).text(), row(b, 2).text()}),
            (Texts{"350.0", "650.0", "800.0"}));
  EXPECT_TRUE(row(b, 2).visible() && !row(b, 3).visible());
  EXPECT_EQ(said(b), (Texts{"Are you sure to change the parameters?",
                            "The filter wheel parameters set successfully."}));
  EXPECT_FALSE(at(b, "FrmSplash").visible());
  EXPECT_EQ(b.control.BlnBusy(), kFalse);
  // Without an acknowledgement the write gives up after its first packet.
  b.clear();
  b.control.bounds().ack = 1.0;
  b.sim.faults().no_ack = true;
  write(b, "1", {"400"});
  EXPECT_EQ(b.write_hex(), Texts{"46 01 0D"});
  EXPECT_EQ(b.control.BlnBusy(), kFalse);
  EXPECT_FALSE(at(b, "FrmSplash").visible());
  ASSERT_FALSE(b.dialogs.shown().empty());
  EXPECT_EQ(b.dialogs.last().icon, Icon::Critical);
}

TEST(Filter, CountBoxShowsItsRowsAndEntriesAreCheckedBeforeAnythingIsSent) {
  Bench b(wheel(1));
  EXPECT_EQ(at(b, "CboFilterCount").items(), (Texts{"1", "2", "3", "4", "5", "6"}));
  at(b, "CboFilterCount").set_text("4");
  b.control.CboFilterCount_Click();
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(row(b, i).visible(), i < 4) << i;
    EXPECT_EQ(at(b, indexed("Label21", i)).visible(), i < 4) << i;
  }
  // Not connected: the not-connected message only once the entries have passed.
  write(b, "0", {});
  EXPECT_EQ(b.control.surface().focused(), "CboFilterCount");
  EXPECT_TRUE(b.dialogs.shown().empty());
  write(b, "2", {"350", "50001"});
  EXPECT_EQ(b.control.surface().focused(), indexed("TxtFilterStartWavelen", 1));
  write(b, "2", {"350", "50000"});
  ASSERT_EQ(said(b), Texts{"Monochromator connection failed."});
  EXPECT_EQ(b.dialogs.last().title, "");
  ASSERT_TRUE(testkit::connect(b));
  write(b, "7", {"1", "2", "3", "4", "5", "6"});   // the range check allows 8, the wheel has six
  EXPECT_EQ(said(b), Texts{"At most 6 filters can be set."});
  EXPECT_EQ(b.control.surface().focused(), "CboFilterCount");
  b.clear();   // a row that is not in use is neither checked nor sent
  b.dialogs.answer(Answer::Cancel);
  write(b, "2", {"350", "650", "letters"});
  EXPECT_EQ(said(b), Texts{"Are you sure to change the parameters?"});
  EXPECT_TRUE(b.write_hex().empty());
}

TEST(Filter, CheckBoxAsksThenSwitchesTheWheelOrPutsItselfBack) {
  Bench b(wheel(1));
  ASSERT_TRUE(testkit::connect(b));
  const struct { int value; const char* question; const char* title; const char* sent; } cases[] = {
      {0, "Disable the filter wheel?", "tervia spectrum control system", "53 00 0D"},
      {1, "Enable the filter wheel?", "spectrum control system", "53 01 0D"}};
  for (const auto& c : cases) {
    b.clear();
    click(b, c.value);
    ASSERT_EQ(said(b), Texts{c.question});
    EXPECT_EQ(b.dialogs.last().title, c.title);
    EXPECT_EQ(b.write_hex(), (Texts{c.sent, "66 0D"}));   // then the read-back
    EXPECT_EQ(b.sim.memory().filter_state, c.value);
    EXPECT_EQ(at(b, "ChkUseFilter").value(), c.value);
  }
  b.clear();
  b.dialogs.answer(Answer::Cancel);
  click(b, 0);
  EXPECT_EQ(at(b, "ChkUseFilter").value(), 1);   // put back, nothing sent
  EXPECT_TRUE(b.write_hex().empty());
}

TEST(Filter, WheelNotSetUpRefusesTheCheckBoxAndAWriteSendsZeroForTheUnreadValues) {
  Bench b(wheel(7));   // the read-back finds no wheel: A and B are never read
  ASSERT_TRUE(testkit::connect(b));
  click(b, 1);
  EXPECT_EQ(said(b), Texts{"Please set the parameters for filter wheel first."});
  EXPECT_TRUE(b.write_hex().empty());
  write(b, "1", {"400"});
  const Texts writes = b.write_hex();
  ASSERT_GE(writes.size(), 3u);
  EXPECT_EQ(Texts(writes.begin() + 1, writes.begin() + 3), (Texts{"00 00 0D", "00 00 0D"}));
  EXPECT_TRUE(b.control.BlnFilterReady());   // the write set the wheel up
}

}  // namespace
}  // namespace brivel
