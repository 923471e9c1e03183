// The operator's mouse and keys on the real widgets reach the handlers (simulator on a pty).

#include "control_fixture.h"

namespace brivel::qt_tests {
namespace {

using OperatorTest = ControlTest;

TEST_F(OperatorTest, LampLeftButtonConnectsAndDisconnectsOtherButtonsAskForThePort) {
  EXPECT_GT(lamp_colour().red(), lamp_colour().green());
  QTest::mouseClick(child("Image1"), Qt::LeftButton);
  settle();
  EXPECT_TRUE(prop("BlnMonConnectFlag").toBool());
  EXPECT_GT(lamp_colour().green(), lamp_colour().red());
  EXPECT_EQ(child<QLineEdit>("TxtSpecNO")->text(), "12345");
  QTest::mouseClick(child("Image1"), Qt::LeftButton);
  settle();
  EXPECT_FALSE(prop("BlnMonConnectFlag").toBool());
  EXPECT_GT(lamp_colour().red(), lamp_colour().green());
  EXPECT_TRUE(shown_.empty());
  will_answer(Answer::Ok, "3");
  QTest::mouseClick(child("Image1"), Qt::RightButton);
  will_answer(Answer::Ok);  // cancelled: the number stays
  QTest::mouseClick(child("Image1"), Qt::MiddleButton);
  settle();
  ASSERT_EQ(shown_.size(), 2u);
  EXPECT_EQ(shown_[0].kind, DialogRequest::Kind::Input);
  EXPECT_EQ(shown_[0].default_text, "1");
  EXPECT_EQ(shown_[1].default_text, "3");
  EXPECT_EQ(prop("IntUseCom").toInt(), 3);
}

TEST_F(OperatorTest, HeldJogButtonMovesTheLabelAndTheReleaseStopsIt) {
  connect_control();
  auto* label = child<QLabel>("LblWaveLen");
  const double before = label->text().toDouble();
  auto* up = child<QPushButton>("CmdHandUp");
  double while_held = 0;
  bool busy_while_held = false;
  QTimer::singleShot(400, control_.get(), [&] {
    while_held = label->text().toDouble();
    busy_while_held = prop("BlnBusy").toBool();
    QTest::mouseRelease(up, Qt::LeftButton);
  });
  QTest::mousePress(up, Qt::LeftButton);
  settle();  // until the jog has ended
  EXPECT_TRUE(busy_while_held);
  EXPECT_GT(while_held, before + 10.0);  // about 250 nm in 0.4 s
  const double released = prop("DblMonoWaveLen").toDouble();
  EXPECT_GE(released, while_held);
  EXPECT_EQ(label->text(), QString::number(released, 'f', 2));
  EXPECT_FALSE(prop("BlnBusy").toBool());
  EXPECT_TRUE(sent("K 01"));
  EXPECT_TRUE(sent("k"));
  // The motor stopped: a refresh a little later reads the same position.
  QTest::qWait(300);
  child<QPushButton>("CmdMonoRefresh")->click();
  settle();
  EXPECT_NEAR(prop("DblMonoWaveLen").toDouble(), released, 0.011);
  EXPECT_TRUE(shown_.empty());
}

TEST_F(OperatorTest, RunButtonMovesToTheTypedTargetTheSpeedListIsSentAndTheFilterBoxAsks) {
  connect_control();
  auto* target = child<QComboBox>("CboTarget");
  target->lineEdit()->selectAll();
  QTest::keyClicks(target->lineEdit(), "435.83");
  QTest::mouseClick(child("CmdRun"), Qt::LeftButton);
  settle();
  EXPECT_NEAR(prop("DblMonoWaveLen").toDouble(), 435.83, 0.006);
  EXPECT_EQ(child<QLabel>("LblWaveLen")->text(), "435.83");
  auto* speed = child<QComboBox>("CboSpeed");
  ASSERT_EQ(speed->currentText(), "250");  // the speed the instrument reported
  speed->setFocus();
  QTest::keyClick(speed, Qt::Key_Up);  // the entry above
  settle();
  EXPECT_EQ(speed->currentText(), "249");
  EXPECT_EQ(read_memory([](sim::Memory& m) { return m.speed; }), 249);
  EXPECT_TRUE(shown_.empty());
  // The filter check box asks; Cancel restores the box.
  auto* check = child<QCheckBox>("ChkUseFilter");
  ASSERT_EQ(check->checkState(), Qt::Checked);  // the instrument's wheel is on
  will_answer(Answer::Cancel);
  check->click();
  settle();
  ASSERT_EQ(shown_.size(), 1u);
  EXPECT_EQ(shown_[0].text, "Disable the filter wheel?");
  EXPECT_EQ(check->checkState(), Qt::Checked);
  int value = -1;
  control_->withLogic([&](Control& logic) { value = logic.surface().at("ChkUseFilter").value(); });
  EXPECT_EQ(value, 1);
  check->click();
  settle();
  EXPECT_EQ(check->checkState(), Qt::Unchecked);
  EXPECT_EQ(read_memory([](sim::Memory& m) { return m.filter_state; }), 0);
}

TEST_F(OperatorTest, OpenPosBoxTakesEnterEscAndFocusLossAndRepositionShowsTheWaitWindow) {
  connect_control();
  control_->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(control_.get()));
  auto* box = child<QLineEdit>("TxtOpenPos");
  box->setFocus();
  box->selectAll();
  QTest::keyClicks(box, "435.83");
  settle();
  EXPECT_TRUE(shown_.empty());  // characters only go into the box
  QTest::keyClick(box, Qt::Key_Return);
  settle();
  ASSERT_EQ(shown_.size(), 1u);
  EXPECT_EQ(shown_[0].text, "Will the initial wavelength be changed to 435.83 nm?");
  EXPECT_EQ(box->text(), "435.83 nm");
  EXPECT_NEAR(prop("DblOpenPos").toDouble(), 435.83, 1e-9);
  // Esc abandons an edit: the box shows the stored value again.
  box->selectAll();
  QTest::keyClicks(box, "12");
  QTest::keyClick(box, Qt::Key_Escape);
  settle();
  EXPECT_EQ(box->text(), "435.83 nm");
  EXPECT_EQ(shown_.size(), 1u);
  // Leaving an edited box asks as Enter does.
  box->selectAll();
  QTest::keyClicks(box, "600");
  will_answer(Answer::Cancel);
  child("TxtYear")->setFocus(Qt::TabFocusReason);
  settle();
  ASSERT_EQ(shown_.size(), 2u);
  EXPECT_EQ(shown_[1].text, "Will the initial wavelength be changed to 600 nm?");
  EXPECT_EQ(box->text(), "435.83 nm");  // cancelled: read back
  // Reposition asks, then shows the wait window.
  shown_.clear();
  QString splash_text;  // the wait window's caption while it showed
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    if (child("FrmSplash")->isVisible()) splash_text = child<QLabel>("FrmSplash.Label1")->text();
  });
  watch.start(20);
  QTest::mouseClick(child("CmdReAnchor"), Qt::LeftButton);
  settle();
  watch.stop();
  ASSERT_EQ(shown_.size(), 1u);
  EXPECT_EQ(shown_[0].title, "Reposition");
  EXPECT_EQ(splash_text, "The monochromator is resetting. Please wait a moment.");
  EXPECT_FALSE(child("FrmSplash")->isVisible());
  EXPECT_TRUE(sent("K 08"));
  EXPECT_FALSE(prop("BlnBusy").toBool());
}

}  // namespace
}  // namespace brivel::qt_tests
