// Jogging while a button is held, the release nested in the press, and the stop button.

#include <gtest/gtest.h>

#include "motion_bench.h"
#include "text/convert.h"

namespace brivel::motion_test {
namespace {

using Hex = std::vector<std::string>;

TEST(Jog, HeldButtonMovesUntilReleased) {
  Connected c;
  const double start = c.b.control.DblMonoWaveLen();
  c.b.pump.after(0.3, [&] { c.b.control.CmdHandUp_MouseUp(1); });
  c.b.control.CmdHandUp_MouseDown(1);
  Hex writes = c.b.write_hex();
  ASSERT_GE(writes.size(), 4u);
  EXPECT_EQ(writes[0], "4B 01");
  EXPECT_EQ(count_of(writes, "6B"), 1);
  EXPECT_EQ(count_of(writes, "77"), int(writes.size()) - 2);
  EXPECT_GE(after(writes, "6B").size(), 2u) << "the release's and the press's final request";
  const double high = c.b.control.DblMonoWaveLen();
  EXPECT_GT(high, start);
  EXPECT_DOUBLE_EQ(high, text::leading_number(c.b.control.surface().at("LblWaveLen").text()));
  EXPECT_EQ(c.b.control.BlnBusy(), kFalse);

  c.b.clear();
  c.b.pump.after(0.2, [&] { c.b.control.CmdHandDown_MouseUp(1); });
  c.b.control.CmdHandDown_MouseDown(1);
  writes = c.b.write_hex();
  ASSERT_FALSE(writes.empty());
  EXPECT_EQ(writes[0], "4B 02 00");
  EXPECT_LT(c.b.control.DblMonoWaveLen(), high);
  EXPECT_EQ(c.b.control.BlnBusy(), kFalse);
}

TEST(Jog, ReleaseAsksForThePositionUntilAReportArrives) {
  Connected c;
  // Requests go unanswered while held (the release lands in a quiet wait); after
  // "k": no answer, a stray packet, then reports.
  Script s{'K', {'K', 0, 0, 0, 0}, {}, {{}, {'x', 0, 0, 0, 0}, report(1800)}};
  s.install(c.b);
  c.b.pump.after(0.1, [&] { c.b.control.CmdHandUp_MouseUp(1); });
  c.b.control.CmdHandUp_MouseDown(1);
  // Three requests for the release, then the press's own final request.
  EXPECT_EQ(after(c.b.write_hex(), "6B"), (Hex{"77", "77", "77", "77"}));
  EXPECT_EQ(c.b.control.surface().at("LblWaveLen").text(), "40.00");   // (1800 - 1000) x 0.05
  EXPECT_EQ(c.b.control.BlnBusy(), kFalse);
}

TEST(Jog, ControllerEndOfMotionEndsTheJogWhileHeld) {
  Connected c;
  Script s{'K', {'K', 0, 0, 0, 0}, {report(1400), {'O', 'K', 'K', 'K', '\r'}, report(1500)}};
  s.install(c.b);
  c.b.pump.after(5.0, [&] { c.b.control.CmdHandUp_MouseUp(1); });   // only if the jog hangs on
  c.b.control.CmdHandUp_MouseDown(1);   // returns although the button is still held
  EXPECT_EQ(c.b.write_hex(), (Hex{"4B 01", "77", "77", "77"}));
  c.b.clear();
  c.b.control.CmdHandUp_MouseUp(1);     // the later release still stops the motor
  EXPECT_EQ(c.b.write_hex(), (Hex{"6B", "77"}));
  EXPECT_EQ(c.b.control.BlnBusy(), kFalse);
}

TEST(Jog, RefusedPressesAndSilentReleases) {
  testkit::Bench b;
  b.control.CmdHandUp_MouseDown(1);
  {
    Chinese zh;
    b.control.CmdHandDown_MouseDown(1);
  }
  b.control.CmdHandUp_MouseUp(1);   // the port is closed: silent
  ASSERT_EQ(b.dialogs.shown().size(), 2u);
  EXPECT_EQ(b.dialogs.shown()[0].text, "Monochromator connection failed.");
  EXPECT_EQ(b.dialogs.shown()[0].icon, Icon::None);
  EXPECT_EQ(b.dialogs.shown()[1].text, "单色仪未正常连接！");
  EXPECT_EQ(b.dialogs.shown()[1].title, "提示");
  EXPECT_TRUE(b.write_hex().empty());
  EXPECT_EQ(b.control.BlnStopRequest(), kTrue);

  // Another mouse button neither jogs nor disturbs a running move; a left press
  // during it is ignored.
  Connected c;
  VBBool busy = kFalse;
  c.b.pump.after(0.002, [&] {
    c.b.control.CmdHandDown_MouseDown(2);
    c.b.control.CmdHandUp_MouseDown(2);
    c.b.control.CmdHandUp_MouseDown(1);
    busy = c.b.control.BlnBusy();
  });
  double target = 500;
  c.b.control.MonochromatorMoveTo(target);
  EXPECT_EQ(busy, kTrue);
  EXPECT_EQ(count_of(c.b.write_hex(), "4B 01") + count_of(c.b.write_hex(), "4B 02 00"), 0);
  EXPECT_TRUE(c.b.dialogs.shown().empty());
}

TEST(Jog, FinalPositionGivesUpWhenNoReportComes) {
  Connected c;
  c.b.control.bounds().final_position = 1.0;
  Script s{'K', {'K', 0, 0, 0, 0}};   // position requests are never answered
  s.install(c.b);
  c.b.pump.after(0.05, [&] { c.b.control.CmdHandUp_MouseUp(1); });
  const double pressed = c.b.pump.now();
  c.b.control.CmdHandUp_MouseDown(1);
  EXPECT_EQ(c.b.dialogs.count(
                "The monochromator did not answer in time: the position after the motor stopped."),
            2) << "the release and the press each gave up";
  EXPECT_LT(c.b.pump.now() - pressed, 5.0);
  EXPECT_EQ(c.b.control.BlnBusy(), kFalse);
}

TEST(Stop, RefusedWhenNotConnectedIgnoredWhenIdle) {
  testkit::Bench b;
  b.control.CmdStop_Click();
  {
    Chinese zh;
    b.control.CmdStop_Click();
  }
  ASSERT_EQ(b.dialogs.shown().size(), 2u);
  EXPECT_EQ(b.dialogs.shown()[0].text, "Please connect the monochromator first.");
  EXPECT_EQ(b.dialogs.shown()[0].title, "");
  EXPECT_EQ(b.dialogs.shown()[1].text, "Demo模式下没有此功能！");
  EXPECT_EQ(b.dialogs.shown()[1].title, "");

  Connected c;
  c.b.control.CmdStop_Click();
  EXPECT_TRUE(c.b.write_hex().empty());
  EXPECT_EQ(c.b.control.BlnStopRequest(), kFalse);
}

}  // namespace
}  // namespace brivel::motion_test
