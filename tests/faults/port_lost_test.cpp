// A port that goes away during a wait (whatever its bound), a write or a setter is told as lost within a
// tick; one that goes while the control is idle, as soon as the host's event loop runs.

#include <gtest/gtest.h>

#include "testkit/bench.h"
#include "testkit/failure_of.h"

namespace brivel {
namespace {

const std::string kLost = "The connection to the monochromator was lost. Check the cable and connect again.";

using testkit::Connected;

// Not connected, red lamp, idle, no wait window, the operator told once (the download tells the host),
// nothing said about a controller that did not answer.
void expect_lost(testkit::Bench& b, int told = 1) {
  EXPECT_EQ(b.control.BlnMonConnectFlag(), kFalse);
  EXPECT_EQ(b.control.BlnBusy(), kFalse);
  EXPECT_EQ(b.control.surface().at("Image1").picture(), 1);
  EXPECT_FALSE(b.control.surface().at("FrmSplash").visible());
  EXPECT_EQ(b.dialogs.count(kLost), told);
  for (const testkit::Shown& m : b.dialogs.shown())
    EXPECT_EQ(m.text.find("did not answer in time"), std::string::npos) << m.text;
}

TEST(PortLostWhileWaiting, RepositioningNoticesItAtOnce) {
  // The return to the reference takes about 8 s each way; the device goes 0.5 s in.
  Connected c;
  c.b.sim.faults().vanish_mid_move = true;
  const double start = c.b.pump.now();
  c.b.control.CmdReAnchor_Click();
  EXPECT_LT(c.b.pump.now() - start, 0.6);
  expect_lost(c.b);
}

TEST(PortLostWhileWaiting, DownloadResetNoticesItAtOnceAndSaysWhatWasSent) {
  Connected c;
  const testkit::TempFile file("12345\t130\t500\t1000\t21\t500\t6\t\r\n1\t0\t700\t3\t350.0\t650.0\t800.0\t\r\n");
  c.b.sim.faults().vanish_mid_move = true;   // the reset is the download's only motion
  double reset_sent = 0;
  c.b.port->clear_written();
  const double start = c.b.pump.now();
  c.b.control.LoadParameter(file.path);
  for (const testkit::Written& w : c.b.port->written())
    if (w.bytes == Bytes{'K', 8}) reset_sent = w.time;
  ASSERT_GT(reset_sent, start);
  EXPECT_LT(c.b.pump.now() - reset_sent, 0.6);
  expect_lost(c.b, 0);
  ASSERT_EQ(c.b.dialogs.notes().size(), 1u);
  const std::string& note = c.b.dialogs.notes()[0].text_en;
  EXPECT_NE(note.find("stopped: the connection was lost"), std::string::npos) << note;
  EXPECT_NE(note.find("the reset command"), std::string::npos) << note;
  EXPECT_EQ(c.b.port->opens(), 1) << "no reconnect after the loss";
}

TEST(PortLostWhileWaiting, AWriteThatFailsBecauseTheDeviceWentIsTheLossOfThePort) {
  // The third write of a move (the second position request) finds the adapter gone.
  Connected c;
  c.b.port->unplug_at_write(3);
  double target = 560;
  EXPECT_EQ(testkit::failure_of([&] { c.b.control.MonochromatorMoveTo(target); }), FailureReason::PortLost);
  expect_lost(c.b);
  // The port's own lost event, which follows, tells nobody a second time.
  const std::size_t notes = c.b.dialogs.notes().size();
  c.b.pump.run_for(1.0);
  expect_lost(c.b);
  EXPECT_EQ(c.b.dialogs.notes().size(), notes);
  // The host's power-on setter passes the loss on, and the operator is told too.
  Connected p;
  p.b.port->unplug_at_write(1);
  double nm = 435.83;
  EXPECT_EQ(testkit::failure_of([&] { p.b.control.setDblOpenPos(nm); }), FailureReason::PortLost);
  expect_lost(p.b);
  // Plugged in again, the control connects as before.
  p.b.port->replug();
  p.b.control.OpenCom();
  EXPECT_EQ(p.b.control.BlnMonConnectFlag(), kTrue);
}

TEST(PortLostWhileIdle, TheControlShowsItAtOnceAndTellsTheHost) {
  Connected c;
  c.b.control.ShowParaFace();
  c.b.clear();
  c.b.port->unplug_now();
  c.b.pump.run_for(0.01);   // the host's event loop, idle
  expect_lost(c.b);
  ASSERT_EQ(c.b.dialogs.notes().size(), 1u);
  EXPECT_EQ(c.b.dialogs.notes()[0].kind, HostNote::Kind::Failure);
  EXPECT_EQ(c.b.dialogs.notes()[0].operation, "MSComm1_OnComm");
  EXPECT_NE(c.b.dialogs.notes()[0].text_en.find("went away"), std::string::npos);
  EXPECT_TRUE(c.b.control.surface().at("FraFilterParam").visible()) << "the panel stays";
  // Once, however long the host idles on.
  c.b.pump.run_for(5.0);
  EXPECT_EQ(c.b.dialogs.count(kLost), 1);
  EXPECT_EQ(c.b.dialogs.notes().size(), 1u);
  c.b.port->replug();
  c.b.control.OpenCom();
  EXPECT_EQ(c.b.control.BlnMonConnectFlag(), kTrue);
  EXPECT_EQ(c.b.control.surface().at("Image1").picture(), 2);
}

TEST(PortLostWhileWaiting, AtTheJogReleaseIsToldOnce) {
  // Gone as the button is let go: the release's "k" fails, then the press meets it too. One message, one note.
  Connected c;
  c.b.pump.after(0.3, [&] {
    c.b.port->unplug_at_write(1);
    c.b.control.CmdHandUp_MouseUp(1);
  });
  c.b.control.CmdHandUp_MouseDown(1);
  c.b.pump.run_for(1.0);
  expect_lost(c.b);
  EXPECT_EQ(c.b.dialogs.shown().size(), 1u) << c.b.dialogs.last().text;
  int failures = 0;
  for (const HostNote& n : c.b.dialogs.notes()) failures += n.kind == HostNote::Kind::Failure ? 1 : 0;
  EXPECT_EQ(failures, 1);
}

}  // namespace
}  // namespace brivel
