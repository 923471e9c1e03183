// The manual buttons: jog while held (release nested in the press), stop, speed, reposition, refusals.

#include <functional>

#include "session/language.h"
#include "motion_bench.h"

namespace brivel::motion_test {
namespace {

// Holds a jog button with the left mouse button; the release comes `held` s later, inside the press's waits.
Hex jog(testkit::Bench& b, bool up, double held) {
  b.clear();
  b.pump.after(held, [&b, up] { up ? b.control.CmdHandUp_MouseUp(1) : b.control.CmdHandDown_MouseUp(1); });
  up ? b.control.CmdHandUp_MouseDown(1) : b.control.CmdHandDown_MouseDown(1);
  return b.write_hex();
}

TEST(Jog, HeldButtonMovesUntilReleasedStopIgnoredWhenIdleReleaseBoundAndEndOfMotion) {
  Connected c;
  c.b.control.CmdStop_Click();   // idle: nothing to stop
  EXPECT_TRUE(c.b.write_hex().empty());
  EXPECT_EQ(c.b.control.BlnStopRequest(), kFalse);
  for (bool up : {true, false}) {
    const double before = c.b.control.DblMonoWaveLen();
    const Hex writes = jog(c.b, up, 0.2);
    ASSERT_GE(writes.size(), 4u);
    EXPECT_EQ(writes[0], up ? "4B 01" : "4B 02 00");
    EXPECT_EQ(count_of(writes, "6B"), 1);
    EXPECT_EQ(count_of(writes, "77"), int(writes.size()) - 2);
    const double now = c.b.control.DblMonoWaveLen();
    EXPECT_TRUE(up ? now > before : now < before) << before << " -> " << now;
    EXPECT_EQ(c.b.control.BlnBusy(), kFalse);
  }
  // A scripted controller: unanswered while held; after "k": no answer, a report's head (its tail must not
  // shift the next packet), a stray packet, then reports. Four requests for the release, then the press's own.
  Script stray{"K", {'K', 0, 0, 0, 0}, {}, {{}, {'w', 0, 0}, {'x', 0, 0, 0, 0}, report(1800)}};
  stray.install(c.b);
  EXPECT_EQ(after(jog(c.b, true, 0.1), "6B"), (Hex{"77", "77", "77", "77", "77"}));
  EXPECT_EQ(c.b.control.surface().at("LblWaveLen").text(), "40.00");   // (1800 - 1000) x 0.05
  EXPECT_EQ(c.b.control.BlnBusy(), kFalse);
  c.b.control.bounds().final_position = 1.0;
  Script silent{"K", {'K', 0, 0, 0, 0}};   // position requests are never answered
  silent.install(c.b);
  const double pressed = c.b.pump.now();
  jog(c.b, true, 0.05);
  EXPECT_EQ(c.b.dialogs.count("The monochromator did not answer in time: the position after the motor stopped."), 2)
      << "the release and the press each gave up";
  EXPECT_LT(c.b.pump.now() - pressed, 5.0);
  EXPECT_EQ(c.b.control.BlnBusy(), kFalse);
  // The controller's "O" ends the jog while held; the later release still stops the motor.
  Script ends{"K", {'K', 0, 0, 0, 0}, {report(1400), {'O', 'K', 'K', 'K', '\r'}, report(1500)}};
  ends.install(c.b);
  EXPECT_EQ(jog(c.b, true, 5.0), (Hex{"4B 01", "77", "77", "77"}));
  c.b.clear();
  c.b.control.CmdHandUp_MouseUp(1);
  EXPECT_EQ(c.b.write_hex(), (Hex{"6B", "77"}));
  EXPECT_EQ(c.b.control.BlnBusy(), kFalse);
}

TEST(RunPanel, RefusedWhenNotConnected) {
  testkit::Bench b;
  Control& k = b.control;
  const std::function<void()> presses[] = {
      [&] { k.CmdUp_Click(); }, [&] { k.CmdDown_Click(); }, [&] { k.CmdRun_Click(); }, [&] { k.CboSpeed_Click(); },
      [&] { k.CmdReAnchor_Click(); }, [&] { k.CmdHandUp_MouseDown(1); }, [&] { k.CmdHandDown_MouseDown(1); }};
  for (const auto& press : presses) {
    b.dialogs.clear();
    press();
    EXPECT_EQ(b.dialogs.shown().size(), 1u);
    EXPECT_EQ(last_message(b.dialogs), (Message{"Monochromator connection failed.", "Prompt", Icon::None}));
  }
  k.CmdStop_Click();
  EXPECT_EQ(last_message(b.dialogs), (Message{"Please connect the monochromator first.", "", Icon::None}));
  b.dialogs.clear();
  std::int16_t zero = 0;
  k.setIntSpeed(zero);         // nothing stored, the variable kept
  k.CmdHandUp_MouseDown(2);    // another mouse button: nothing at all
  k.CmdHandUp_MouseUp(1);      // the port is closed, but the stop request rises
  EXPECT_EQ(std::make_tuple(zero, k.IntSpeed(), k.BlnStopRequest()), std::make_tuple(0, 250, true));
  EXPECT_TRUE(b.dialogs.shown().empty() && b.write_hex().empty());
}

TEST(Speed, PropertyAndBoxClampAndShowWhatTheControllerReports) {
  Connected c;
  Control& k = c.b.control;
  Widget& box = k.surface().at("CboSpeed");
  auto speed_reply = [&](const char* hex) { c.b.port->when(testkit::unhex("76"), testkit::unhex(hex)); };
  std::int16_t slow = 0, fast = 300;
  k.setIntSpeed(slow);
  k.setIntSpeed(fast);
  EXPECT_EQ(std::make_pair(slow, fast), std::make_pair(std::int16_t(1), std::int16_t(250)));
  for (const char* typed : {"0", "999", "0.4", "fast"}) {
    box.set_text(typed);
    k.CboSpeed_Click();
  }
  EXPECT_EQ(c.b.write_hex(), (Hex{"56 01 00", "76", "56 FA 00", "76", "56 01", "76", "56 FA", "76", "56 01", "76"}));
  EXPECT_EQ(c.b.dialogs.count("The operation could not be completed: an entry is not a number."), 1);
  speed_reply("76 00 78");   // a controller that took 120
  k.setIntSpeed(fast);
  EXPECT_EQ(std::make_pair(k.IntSpeed(), box.text()), std::make_pair(std::int16_t(120), std::string("120")));
  c.b.clear();
  speed_reply("76 00 25");   // the box shows the report too; IntSpeed is the host's
  box.set_text("37");
  k.CboSpeed_Click();
  EXPECT_EQ(c.b.write_hex().front(), "56 25");
  EXPECT_EQ(std::make_pair(k.IntSpeed(), box.text()), std::make_pair(std::int16_t(120), std::string("37")));
  for (const char* reply : {"77 00 10 00 00", "76 00"}) {   // another letter, a short reply
    speed_reply(reply);
    k.setIntSpeed(fast);
    EXPECT_EQ(k.IntSpeed(), 120);
  }
  EXPECT_EQ(k.BlnBusy(), kFalse);
}

TEST(Reposition, CancelledConfirmedOrUnanswered) {
  Connected c;
  thread_language() = 0;   // asked in Chinese, cancelled: no wait window, nothing sent
  c.b.dialogs.answer(Answer::Cancel);
  c.b.control.CmdReAnchor_Click();
  thread_language() = 1;
  EXPECT_EQ(c.b.dialogs.last().text, "真的要重新定位吗?");
  EXPECT_NE(c.b.control.surface().at("FrmSplash.Label1").text(), "仪器复位....请等待. ");
  EXPECT_TRUE(c.b.write_hex().empty());
  c.b.control.CmdReAnchor_Click();
  EXPECT_EQ(c.b.dialogs.count("Do you really want to reposition?"), 1);
  const Hex writes = c.b.write_hex();
  ASSERT_GE(writes.size(), 2u);
  EXPECT_EQ(Hex(writes.begin(), writes.begin() + 2), (Hex{"4B 08", "79"})) << "the refresh follows the OK";
  EXPECT_EQ(c.b.control.BlnMonConnectFlag(), kTrue);
  c.b.clear();
  c.b.control.bounds().motion_rate = 1e9;   // the bound is little more than its margin
  c.b.control.bounds().motion_margin = 2.0;
  c.b.port->on_write([](const Bytes&) { return Bytes{}; });   // never acknowledges
  const double start = c.b.pump.now();
  c.b.control.CmdReAnchor_Click();
  // The motor is stopped before the operator is told: "k", then the closing request.
  EXPECT_EQ(c.b.write_hex(), (Hex{"4B 08", "6B", "77"}));
  EXPECT_EQ(c.b.dialogs.last().text, "The monochromator did not answer in time: the return to the reference position.");
  EXPECT_LT(c.b.pump.now() - start, 2.0 + 2 * 0.52) << "the bound, then the stop's two exchanges";
  EXPECT_FALSE(c.b.control.surface().at("FrmSplash").visible());
  EXPECT_EQ(c.b.control.BlnBusy(), kFalse);
}

}  // namespace
}  // namespace brivel::motion_test
