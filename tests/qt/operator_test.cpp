// The operator's mouse and keys on the real widgets reach the control's handlers, with
// the simulated instrument on a pseudo-terminal.

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <cmath>

#include "control_fixture.h"

namespace brivel::qt_tests {
namespace {

using OperatorTest = ControlTest;

double wavelength(::Brivel& control) { return control.property("DblMonoWaveLen").toDouble(); }

bool sent(const std::vector<std::string>& log, const std::string& command) {
  return std::find(log.begin(), log.end(), command) != log.end();
}

TEST_F(OperatorTest, LeftClickOnTheLampConnectsAndDisconnects) {
  EXPECT_GT(lamp_colour().red(), lamp_colour().green());
  QTest::mouseClick(child("Image1"), Qt::LeftButton);
  EXPECT_TRUE(control_->property("BlnMonConnectFlag").toBool());
  EXPECT_GT(lamp_colour().green(), lamp_colour().red());
  EXPECT_EQ(control_->property("LngInstrumentNo").toInt(), 12345);
  EXPECT_EQ(child<QLineEdit>("TxtSpecNO")->text(), "12345");
  EXPECT_TRUE(shown_.empty());

  QTest::mouseClick(child("Image1"), Qt::LeftButton);
  EXPECT_FALSE(control_->property("BlnMonConnectFlag").toBool());
  EXPECT_GT(lamp_colour().red(), lamp_colour().green());
}

TEST_F(OperatorTest, RightClickOnTheLampAsksForThePort) {
  DialogReply three;
  three.input = "3";
  will_answer(three);
  QTest::mouseClick(child("Image1"), Qt::RightButton);
  ASSERT_EQ(shown_.size(), 1u);
  EXPECT_EQ(shown_[0].kind, DialogRequest::Kind::Input);
  EXPECT_EQ(shown_[0].text, "Please enter the serial number");
  EXPECT_EQ(shown_[0].title, "Choose the serial no.");
  EXPECT_EQ(shown_[0].default_text, "1");
  EXPECT_EQ(control_->property("IntUseCom").toInt(), 3);

  control_->setProperty("IntLanguage", 0);
  will_answer(DialogReply{});  // cancelled: the number stays
  QTest::mouseClick(child("Image1"), Qt::MiddleButton);
  ASSERT_EQ(shown_.size(), 2u);
  EXPECT_EQ(shown_[1].text, "请输入串口号");
  EXPECT_EQ(shown_[1].title, "选择串口号");
  EXPECT_EQ(shown_[1].default_text, "3");
  EXPECT_EQ(control_->property("IntUseCom").toInt(), 3);
}

TEST_F(OperatorTest, HeldJogButtonMovesTheLabelAndTheReleaseStopsIt) {
  connect_control();
  auto* label = child<QLabel>("LblWaveLen");
  const QString before = label->text();
  auto* up = child<QPushButton>("CmdHandUp");
  QString while_held;
  bool busy_while_held = false;
  QTimer::singleShot(400, control_.get(), [&] {
    while_held = label->text();
    busy_while_held = control_->property("BlnBusy").toBool();
    QTest::mouseRelease(up, Qt::LeftButton);
  });
  QTest::mousePress(up, Qt::LeftButton);  // returns once the jog has ended
  EXPECT_TRUE(busy_while_held);
  EXPECT_GT(while_held.toDouble(), before.toDouble() + 10.0);  // about 250 nm in 0.4 s
  const double released = wavelength(*control_);
  EXPECT_GE(released, while_held.toDouble());
  EXPECT_EQ(label->text(), QString::number(released, 'f', 2));
  EXPECT_FALSE(control_->property("BlnBusy").toBool());
  EXPECT_TRUE(sent(commands(), "K 01"));
  EXPECT_TRUE(sent(commands(), "k"));

  // The motor stopped: a refresh a little later reads the same position.
  QTest::qWait(300);
  child<QPushButton>("CmdMonoRefresh")->click();
  EXPECT_NEAR(wavelength(*control_), released, 0.011);
  EXPECT_TRUE(shown_.empty());
}

TEST_F(OperatorTest, RunButtonMovesToTheTypedTarget) {
  connect_control();
  auto* target = child<QComboBox>("CboTarget");
  target->lineEdit()->selectAll();
  QTest::keyClicks(target->lineEdit(), "435.83");
  QTest::mouseClick(child("CmdRun"), Qt::LeftButton);
  EXPECT_NEAR(wavelength(*control_), 435.83, 0.006);
  EXPECT_EQ(child<QLabel>("LblWaveLen")->text(), "435.83");
  EXPECT_TRUE(shown_.empty());
}

TEST_F(OperatorTest, SpeedChosenFromTheListIsSent) {
  connect_control();
  auto* speed = child<QComboBox>("CboSpeed");
  ASSERT_EQ(speed->currentText(), "250");  // the speed the instrument reported
  speed->setFocus();
  QTest::keyClick(speed, Qt::Key_Up);  // the entry above: "249"
  EXPECT_EQ(speed->currentText(), "249");
  int stored = 0;
  with_memory([&](sim::Memory& m) { stored = m.speed; });
  EXPECT_EQ(stored, 249);
  EXPECT_TRUE(shown_.empty());
}

TEST_F(OperatorTest, FilterCheckBoxAsksAndCancelRestoresTheBox) {
  connect_control();
  auto* check = child<QCheckBox>("ChkUseFilter");
  ASSERT_EQ(check->checkState(), Qt::Checked);  // the instrument's wheel is on

  will_answer(Answer::Cancel);
  check->click();
  ASSERT_EQ(shown_.size(), 1u);
  EXPECT_EQ(shown_[0].text, "Disable the filter wheel?");
  EXPECT_EQ(shown_[0].title, "tervia spectrum control system");
  EXPECT_EQ(shown_[0].buttons, Buttons::OkCancel);
  EXPECT_EQ(check->checkState(), Qt::Checked);
  EXPECT_EQ(control_->logic().surface().at("ChkUseFilter").value(), 1);

  will_answer(Answer::Ok);
  check->click();
  EXPECT_EQ(check->checkState(), Qt::Unchecked);
  int state = -1;
  with_memory([&](sim::Memory& m) { state = m.filter_state; });
  EXPECT_EQ(state, 0);
}

TEST_F(OperatorTest, OpenPosBoxTakesEnterEscAndFocusLoss) {
  connect_control();
  control_->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(control_.get()));
  auto* box = child<QLineEdit>("TxtOpenPos");
  box->setFocus();
  box->selectAll();
  QTest::keyClicks(box, "435.83");
  EXPECT_TRUE(shown_.empty());  // characters only go into the box
  QTest::keyClick(box, Qt::Key_Return);
  ASSERT_EQ(shown_.size(), 1u);
  EXPECT_EQ(shown_[0].text, "Will the initial wavelength be changed to 435.83 nm?");
  EXPECT_EQ(shown_[0].title, "Modify monochromator parameters");
  EXPECT_EQ(box->text(), "435.83 nm");
  EXPECT_NEAR(control_->property("DblOpenPos").toDouble(), 435.83, 1e-9);

  // Esc abandons an edit: the box shows the stored value again.
  box->selectAll();
  QTest::keyClicks(box, "12");
  QTest::keyClick(box, Qt::Key_Escape);
  EXPECT_EQ(box->text(), "435.83 nm");
  EXPECT_EQ(shown_.size(), 1u);

  // Leaving an edited box asks as Enter does.
  box->selectAll();
  QTest::keyClicks(box, "600");
  will_answer(Answer::Cancel);
  child("TxtYear")->setFocus(Qt::TabFocusReason);
  ASSERT_EQ(shown_.size(), 2u);
  EXPECT_EQ(shown_[1].text, "Will the initial wavelength be changed to 600 nm?");
  EXPECT_EQ(box->text(), "435.83 nm");  // cancelled: read back
}

TEST_F(OperatorTest, RepositionAsksThenShowsTheWaitWindow) {
  connect_control();
  bool splash_seen = false;
  QString splash_text;
  QTimer watch;
  watch.setInterval(20);
  QObject::connect(&watch, &QTimer::timeout, [&] {
    QWidget* splash = control_->childControl("FrmSplash");
    if (splash && splash->isVisible()) {
      splash_seen = true;
      splash_text = child<QLabel>("FrmSplash.Label1")->text();
    }
  });
  watch.start();
  QTest::mouseClick(child("CmdReAnchor"), Qt::LeftButton);
  watch.stop();
  ASSERT_EQ(shown_.size(), 1u);
  EXPECT_EQ(shown_[0].text, "Do you really want to reposition?");
  EXPECT_EQ(shown_[0].title, "Reposition");
  EXPECT_EQ(shown_[0].icon, Icon::None);
  EXPECT_EQ(shown_[0].buttons, Buttons::OkCancel);
  EXPECT_TRUE(splash_seen);
  EXPECT_EQ(splash_text, "The monochromator is resetting. Please wait a moment.");
  EXPECT_FALSE(child("FrmSplash")->isVisible());
  EXPECT_TRUE(sent(commands(), "K 08"));
  EXPECT_FALSE(control_->property("BlnBusy").toBool());
}

}  // namespace
}  // namespace brivel::qt_tests
