// Motor speed from the property and from the speed box, and repositioning.

#include <gtest/gtest.h>

#include "motion_bench.h"

namespace brivel::motion_test {
namespace {

using Hex = std::vector<std::string>;
using testkit::unhex;

TEST(Speed, PropertyClampsIntoTheCallersVariable) {
  Connected c;
  std::int16_t slow = 0, fast = 300;
  c.b.control.setIntSpeed(slow);
  c.b.control.setIntSpeed(fast);
  EXPECT_EQ(slow, 1);
  EXPECT_EQ(fast, 250);
  EXPECT_EQ(c.b.write_hex(), (Hex{"56 01 00", "76", "56 FA 00", "76"}));
  EXPECT_EQ(c.b.control.IntSpeed(), 250);
  EXPECT_EQ(c.b.control.BlnBusy(), kFalse);

  testkit::Bench idle;   // not connected: silent, nothing stored, the variable kept
  std::int16_t zero = 0;
  idle.control.setIntSpeed(zero);
  EXPECT_EQ(zero, 0);
  EXPECT_EQ(idle.control.IntSpeed(), 250);
  EXPECT_TRUE(idle.write_hex().empty() && idle.dialogs.shown().empty());
}

TEST(Speed, ShowsWhatTheControllerReports) {
  Connected c;
  c.b.port->when(unhex("76"), unhex("76 00 78"));   // a controller that took 120
  std::int16_t speed = 100;
  c.b.control.setIntSpeed(speed);
  EXPECT_EQ(c.b.control.IntSpeed(), 120);
  EXPECT_EQ(c.b.control.surface().at("CboSpeed").text(), "120");

  // The box shows the report too; IntSpeed is the host's.
  c.b.port->when(unhex("76"), unhex("76 00 25"));
  c.b.control.surface().at("CboSpeed").set_text("37");
  c.b.control.CboSpeed_Click();
  EXPECT_EQ(c.b.write_hex()[2], "56 25");
  EXPECT_EQ(c.b.control.surface().at("CboSpeed").text(), "37");
  EXPECT_EQ(c.b.control.IntSpeed(), 120);

  // Another letter, or a short reply, is not taken.
  for (const char* reply : {"77 00 10 00 00", "76 00"}) {
    c.b.port->when(unhex("76"), unhex(reply));
    c.b.control.setIntSpeed(speed);
    EXPECT_EQ(c.b.control.IntSpeed(), 120);
  }
  EXPECT_EQ(c.b.control.BlnBusy(), kFalse);
}

TEST(Speed, BoxClampsAndRefusesText) {
  Connected c;
  for (const char* typed : {"0", "999", "0.4", "fast"}) {
    c.b.control.surface().at("CboSpeed").set_text(typed);
    c.b.control.CboSpeed_Click();
  }
  EXPECT_EQ(c.b.write_hex(), (Hex{"56 01", "76", "56 FA", "76", "56 01", "76"}));
  ASSERT_EQ(c.b.dialogs.shown().size(), 1u);
  EXPECT_EQ(c.b.dialogs.last().text, "The operation could not be completed: an entry is not a number.");
  EXPECT_EQ(c.b.control.BlnBusy(), kFalse);

  testkit::Bench idle;
  idle.control.CboSpeed_Click();
  idle.control.CmdReAnchor_Click();
  EXPECT_EQ(idle.dialogs.count("Monochromator connection failed."), 2);
}

TEST(Reposition, ConfirmedReturnsAndRefreshes) {
  Connected c;
  bool splash_during = false;
  c.b.pump.after(0.05, [&] { splash_during = c.b.control.surface().at("FrmSplash").visible(); });
  c.b.control.CmdReAnchor_Click();
  ASSERT_EQ(c.b.dialogs.shown().size(), 1u);
  const auto& asked = c.b.dialogs.last();
  EXPECT_EQ(asked.text, "Do you really want to reposition?");
  EXPECT_EQ(asked.title, "Reposition");
  EXPECT_EQ(asked.buttons, Buttons::OkCancel);
  EXPECT_EQ(asked.icon, Icon::None);
  const Hex writes = c.b.write_hex();
  ASSERT_GE(writes.size(), 2u);
  EXPECT_EQ(writes[0], "4B 08");
  EXPECT_EQ(writes[1], "79") << "the refresh follows the controller's OK";
  EXPECT_TRUE(splash_during);
  EXPECT_EQ(c.b.control.surface().at("FrmSplash.Label1").text(),
            "The monochromator is resetting. Please wait a moment.");
  EXPECT_FALSE(c.b.control.surface().at("FrmSplash").visible());
  EXPECT_EQ(c.b.control.BlnBusy(), kFalse);
  EXPECT_EQ(c.b.control.BlnMonConnectFlag(), kTrue);
}

TEST(Reposition, CancelledOrUnanswered) {
  Connected c;
  {
    Chinese zh;
    c.b.dialogs.answer(Answer::Cancel);
    c.b.control.CmdReAnchor_Click();
    EXPECT_EQ(c.b.dialogs.last().text, "真的要重新定位吗?");
    EXPECT_EQ(c.b.dialogs.last().title, "重新定位");
    EXPECT_TRUE(c.b.write_hex().empty());
    EXPECT_NE(c.b.control.surface().at("FrmSplash.Label1").text(), "仪器复位....请等待. ");
  }
  c.b.control.bounds().reposition = 2.0;
  c.b.port->on_write([](const Bytes&) { return Bytes{}; });   // never acknowledges
  const double start = c.b.pump.now();
  c.b.control.CmdReAnchor_Click();
  EXPECT_EQ(c.b.write_hex(), (Hex{"4B 08"}));
  EXPECT_EQ(c.b.dialogs.last().text,
            "The monochromator did not answer in time: the return to the reference position.");
  EXPECT_LT(c.b.pump.now() - start, 3.0);
  EXPECT_FALSE(c.b.control.surface().at("FrmSplash").visible());
  EXPECT_EQ(c.b.control.BlnBusy(), kFalse);
}

}  // namespace
}  // namespace brivel::motion_test
