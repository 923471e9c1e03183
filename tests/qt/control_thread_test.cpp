// The widget's control on a thread of its own: the operator's typing is never overwritten
// by its own echo, and the widget goes away cleanly in the middle of a move or of a
// question waiting for the host.

#include <QThread>

#include "control_fixture.h"

namespace brivel::qt_tests {
namespace {

using ControlThreadTest = ControlTest;

TEST_F(ControlThreadTest, TypingIsNeverOverwrittenByTheEchoOfAnEarlierKey) {
  auto* year = child<QLineEdit>("TxtYear");
  year->setFocus();
  year->selectAll();
  // Each key reaches the control's thread, which takes it and goes idle before the
  // next key; the GUI thread sees nothing of it until the test lets its loop run.
  for (const char* key : {"1", "9", "9"}) {
    QTest::keyClicks(year, key);
    QThread::msleep(60);
  }
  settle();
  EXPECT_EQ(year->text(), "199");
  EXPECT_EQ(prop("StrYear").toString(), "199");
  // A program's text (an echo of "1" over "19") would have cleared what the operator
  // typed from the box's undo history and its modified flag.
  EXPECT_TRUE(year->isUndoAvailable());
  EXPECT_TRUE(year->isModified());
}

TEST_F(ControlThreadTest, TheWidgetGoneDuringAMoveStopsTheMotorOnItsWayOut) {
  connect_control();
  // A slow motor (62.5 nm/s): the move is still running whenever the test looks.
  server_->with_controller([](sim::Controller& c) { c.motor().steps_per_speed = 40.0; });
  auto* target = child<QComboBox>("CboTarget");
  target->lineEdit()->selectAll();
  QTest::keyClicks(target->lineEdit(), "1500");
  QTest::mouseClick(child("CmdRun"), Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return prop("BlnBusy").toBool() && prop("DblMonoWaveLen").toDouble() > 502; },
                              10000));
  control_.reset();  // the control's thread stops the motor, closes the port and ends
  EXPECT_TRUE(sent("k"));
}

TEST_F(ControlThreadTest, TheWidgetGoneWhileAQuestionWaitsForTheHostEndsIt) {
  connect_control();
  control_->setHostMessages(true);
  control_->setMessageTimeout(24 * 60 * 60 * 1000);
  int questions = 0;
  QObject::connect(control_.get(), &::Brivel::messageRequested, control_.get(), [&](const BrivelMessage& m) {
    if (!m.isQuestion()) return;
    ++questions;
    QTimer::singleShot(20, [&] { control_.reset(); });  // the host closes the window instead
  });
  child<QAbstractButton>("CmdReAnchor")->click();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !control_; }, 10000));
  EXPECT_EQ(questions, 1);
  EXPECT_FALSE(sent("K 08"));  // unanswered: Cancel, nothing sent
}

}  // namespace
}  // namespace brivel::qt_tests
