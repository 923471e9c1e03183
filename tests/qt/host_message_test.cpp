// Operator messages: boxes in the language in force, or taken over by the host (answerMessage,
// Cancel past the bound); notes and stops for the host.

#include "control_fixture.h"

namespace brivel::qt_tests {
namespace {

using HostMessageTest = ControlTest;

TEST_F(HostMessageTest, BoxesByDefaultSpeakTheLanguageInForceOnTheirButtonsToo) {
  const qt::ScopedDialogInterceptor real_boxes(nullptr);
  SeenBox seen;
  connect_control();
  const QStringList chinese{QString::fromUtf8("取消"), QString::fromUtf8("确定")};
  const auto expect_box = [&](const std::function<void()>& open, const QString& title,
                              const QStringList& buttons) {
    press_next_box(seen, QDialogButtonBox::Cancel);
    open();
    ASSERT_TRUE(seen.seen) << title.toStdString();
    EXPECT_EQ(seen.title, title);
    EXPECT_EQ(seen.buttons, buttons) << title.toStdString();
  };
  const auto reposition = [&] {
    child<QAbstractButton>("CmdReAnchor")->click();
    settle();
  };
  expect_box(reposition, "Reposition", {"Cancel", "OK"});
  control_->setIntLanguage(0);
  expect_box(reposition, QString::fromUtf8("重新定位"), chinese);
  EXPECT_FALSE(sent("K 08"));  // cancelled both times
  // The port box of the lamp's other button as well.
  expect_box(
      [&] {
        QTest::mouseClick(child("Image1"), Qt::RightButton);
        settle();
      },
      QString::fromUtf8("选择串口号"), chinese);
  control_->setIntLanguage(1);
}

TEST_F(HostMessageTest, AHostThatTakesMessagesOverGetsEveryFieldAndNoBoxShows) {
  control_->setHostMessages(true);
  QSignalSpy asked(control_.get(), &::Brivel::messageRequested);
  control_->setIntLanguage(0);
  child<QAbstractButton>("CmdUp")->click();  // not connected: refused
  settle();
  control_->setIntLanguage(1);
  control_->MonochromatorMoveTo(-12.5);
  EXPECT_TRUE(shown_.empty()) << "a box was shown";
  ASSERT_EQ(asked.count(), 2);
  const auto refusal = asked.at(0).at(0).value<BrivelMessage>();
  EXPECT_EQ(refusal.kind, "refusal");
  EXPECT_EQ(refusal.text, QString::fromUtf8("单色仪未正常连接！"));
  EXPECT_EQ(refusal.title, QString::fromUtf8("提示"));
  EXPECT_EQ(refusal.textEn, "Monochromator connection failed.");
  EXPECT_EQ(refusal.textZh, QString::fromUtf8("单色仪未正常连接！"));
  EXPECT_EQ(refusal.titleEn, "Prompt");
  EXPECT_EQ(refusal.titleZh, QString::fromUtf8("提示"));
  EXPECT_EQ(refusal.icon, "none");
  EXPECT_EQ(refusal.buttons, QStringList{"Ok"});
  EXPECT_FALSE(refusal.isQuestion());
  const auto negative = asked.at(1).at(0).value<BrivelMessage>();
  EXPECT_EQ(negative.text, "Can't move to the assigned wavelength:-12.5");
  EXPECT_EQ(negative.icon, "critical");
  EXPECT_NE(negative.id, refusal.id);
  EXPECT_EQ(negative.toMap().value("textZh").toString(), QString::fromUtf8("无法走到这个波长：-12.5"));
  EXPECT_FALSE(control_->answerMessage(negative.id, "Ok"));  // no question: nothing to answer
  // The control's own box for a message taken over: the same texts and buttons.
  std::unique_ptr<QMessageBox> box(::Brivel::messageBox(refusal));
  EXPECT_EQ(box->text(), refusal.text);
  EXPECT_EQ(box->icon(), QMessageBox::NoIcon);
  EXPECT_EQ(box->button(QMessageBox::Ok)->text(), QString::fromUtf8("确定"));
  EXPECT_EQ(box->button(QMessageBox::Cancel), nullptr);
}

TEST_F(HostMessageTest, QuestionsWaitForTheHostsAnswerWithinALimitedBoundAndCountAsCancelWithoutOne) {
  // The bound: from 0 to a day, each change announced.
  QSignalSpy changed(control_.get(), &::Brivel::messageTimeoutChanged);
  const std::pair<int, int> bounds[] = {{-5, 0}, {0, 0}, {std::numeric_limits<int>::max(), 86400000}};
  for (const auto& [asked, held] : bounds) {
    control_->setProperty("messageTimeout", asked);
    EXPECT_EQ(prop("messageTimeout").toInt(), held) << asked;
  }
  EXPECT_EQ(changed.count(), 2);
  EXPECT_EQ(::Brivel::kDefaultMessageTimeout, 30000);
  connect_control();
  control_->setHostMessages(true);
  std::function<void(const BrivelMessage&)> host;
  std::vector<BrivelMessage> questions;
  QObject::connect(control_.get(), &::Brivel::messageRequested, control_.get(),
                   [&](const BrivelMessage& m) {
                     if (m.isQuestion()) questions.push_back(m);
                     if (host) host(m);
                   });
  auto reposition = [&] {
    child<QAbstractButton>("CmdReAnchor")->click();
    settle();
  };
  // Nobody answers within the bound: Cancel, nothing sent.
  control_->setMessageTimeout(0);
  reposition();
  ASSERT_EQ(questions.size(), 1u);
  EXPECT_EQ(questions[0].kind, "question");
  EXPECT_EQ(questions[0].buttons, (QStringList{"Ok", "Cancel"}));
  EXPECT_FALSE(sent("K 08"));
  EXPECT_FALSE(control_->answerMessage(questions[0].id, "Ok"));  // too late: ignored
  // A button the question does not have is ignored; it waits until the bound: Cancel.
  control_->setMessageTimeout(30);
  std::vector<bool> taken;
  host = [&](const BrivelMessage& m) {
    taken.push_back(control_->answerMessage(m.id, "Maybe"));
    taken.push_back(control_->answerMessage(m.id + 1000, "Ok"));
  };
  reposition();
  EXPECT_EQ(taken, (std::vector<bool>{false, false}));
  EXPECT_FALSE(sent("K 08"));
  // Cancel from the slot.
  host = [&](const BrivelMessage& m) { taken = {control_->answerMessage(m.id, "cancel")}; };
  reposition();
  EXPECT_EQ(taken, std::vector<bool>{true});
  EXPECT_FALSE(sent("K 08"));
  // OK later, from the host's event loop: the control waits for it; a second answer is refused.
  control_->setMessageTimeout(::Brivel::kDefaultMessageTimeout);
  host = [&](const BrivelMessage& m) {
    QTimer::singleShot(0, control_.get(), [&, id = m.id] {
      taken = {control_->answerMessage(id, " OK "), control_->answerMessage(id, "Cancel")};
    });
  };
  reposition();
  EXPECT_EQ(taken, (std::vector<bool>{true, false}));
  EXPECT_TRUE(sent("K 08"));
  EXPECT_FALSE(prop("BlnBusy").toBool());
  EXPECT_TRUE(shown_.empty()) << "a box was shown";
  // Back to boxes: the next question is a box again.
  control_->setHostMessages(false);
  const auto asked = questions.size();
  will_answer(Answer::Cancel);
  reposition();
  EXPECT_EQ(questions.size(), asked);
  ASSERT_EQ(shown_.size(), 1u);
  EXPECT_EQ(shown_[0].title, "Reposition");
}

TEST_F(HostMessageTest, ARequestedStopEndsTheRunningCallOrAWaitingQuestionAndNothingWhenIdle) {
  connect_control();
  // While idle the request does nothing, and leaves nothing pending for the next call.
  control_->requestStop();
  control_->MonochromatorMoveTo(400.0);
  EXPECT_DOUBLE_EQ(prop("DblMonoWaveLen").toDouble(), 400.0);
  EXPECT_TRUE(prop("lastError").toString().isEmpty());
  // During a move (asked from a change signal, as a host's stop button would be).
  bool asked = false;
  const auto stop = QObject::connect(control_.get(), &::Brivel::DblMonoWaveLenChanged, control_.get(),
                                     [&](double nm) {
                                       if (nm > 500.0 && !asked) {
                                         asked = true;
                                         control_->requestStop();
                                       }
                                     });
  QSignalSpy failed(control_.get(), &::Brivel::failed);
  control_->MonochromatorMoveTo(1000.0);
  QObject::disconnect(stop);
  EXPECT_TRUE(asked);
  EXPECT_LT(prop("DblMonoWaveLen").toDouble(), 900.0);
  EXPECT_FALSE(prop("BlnBusy").toBool());
  EXPECT_TRUE(prop("BlnMonConnectFlag").toBool());
  EXPECT_EQ(failed.count(), 1);
  EXPECT_TRUE(prop("lastError").toString().startsWith("MonochromatorMoveTo"));
  EXPECT_TRUE(sent("k"));
  // A question waiting for the host ends with Cancel (long before its bound).
  control_->setHostMessages(true);
  control_->setMessageTimeout(24 * 60 * 60 * 1000);
  QObject::connect(control_.get(), &::Brivel::messageRequested, control_.get(),
                   [&](const BrivelMessage&) {
                     QTimer::singleShot(0, control_.get(), [&] { control_->requestStop(); });
                   });
  child<QAbstractButton>("CmdReAnchor")->click();
  settle();
  EXPECT_FALSE(sent("K 08"));
  EXPECT_FALSE(prop("BlnBusy").toBool());
  // ... and the next call runs to its end.
  control_->MonochromatorMoveTo(450.0);
  EXPECT_DOUBLE_EQ(prop("DblMonoWaveLen").toDouble(), 450.0);
}

TEST_F(HostMessageTest, NotesForTheHostArriveInLastErrorAndFailed) {
  ::Brivel::setPortDevice(1, "/nonexistent/brivel-port");
  control_->setHostMessages(true);
  QSignalSpy failed(control_.get(), &::Brivel::failed);
  QSignalSpy asked(control_.get(), &::Brivel::messageRequested);
  QSignalSpy last_error(control_.get(), &::Brivel::lastErrorChanged);
  control_->OpenCom();
  ASSERT_EQ(failed.count(), 1);
  const QString note = failed.at(0).at(0).toString();
  EXPECT_TRUE(note.startsWith("OpenCom: ")) << note.toStdString();
  EXPECT_TRUE(note.contains("/nonexistent/brivel-port")) << note.toStdString();
  EXPECT_EQ(prop("lastError").toString(), note);
  // The operator's message of the failure comes as well (to the host, here).
  ASSERT_EQ(asked.count(), 1);
  const auto message = asked.at(0).at(0).value<BrivelMessage>();
  EXPECT_EQ(message.kind + ": " + message.text, "failure: Monochromator connection failed.");
  // The next call starts clean, and says so to a binding of lastError.
  control_->ShowRunFace();
  control_->ShowRunFace();
  EXPECT_TRUE(prop("lastError").toString().isEmpty());
  ASSERT_EQ(last_error.count(), 2);
  EXPECT_EQ(last_error.at(0).at(0).toString(), note);
  EXPECT_EQ(last_error.at(1).at(0).toString(), "");
}

TEST_F(HostMessageTest, RefusalsReachTheHostInLastErrorAndRefusedAndFailuresInFailed) {
  QSignalSpy refused(control_.get(), &::Brivel::refused);
  QSignalSpy failed(control_.get(), &::Brivel::failed);
  // The operator's stop button without a connection: the box, and the host told.
  child<QAbstractButton>("CmdStop")->click();
  settle();
  ASSERT_EQ(refused.count(), 1);
  EXPECT_EQ(refused.at(0).at(0).toString(), "CmdStop_Click: Please connect the monochromator first.");
  EXPECT_EQ(prop("lastError").toString(), refused.at(0).at(0).toString());
  ASSERT_EQ(shown_.size(), 1u);   // the box came as well
  // The host's own call, as the README's host checks it.
  connect_control();
  control_->setHostMessages(true);
  QSignalSpy asked(control_.get(), &::Brivel::messageRequested);
  control_->MonochromatorMoveTo(-5);
  EXPECT_EQ(control_->lastError(), "MonochromatorMoveTo: Can't move to the assigned wavelength:-5");
  ASSERT_EQ(refused.count(), 2);
  EXPECT_EQ(refused.at(1).at(0).toString(), control_->lastError());
  ASSERT_EQ(asked.count(), 1);
  EXPECT_EQ(asked.at(0).at(0).value<BrivelMessage>().kind, "refusal");
  EXPECT_EQ(failed.count(), 0);   // a refusal is no failure
  // What succeeds, informs or asks leaves lastError empty; the next call empties it.
  control_->MonochromatorMoveTo(450);
  EXPECT_TRUE(control_->lastError().isEmpty()) << control_->lastError().toStdString();
  control_->setMessageTimeout(0);
  control_->setDblOpenPos(450);      // a question, unanswered: Cancel, and nothing else
  EXPECT_TRUE(control_->lastError().isEmpty()) << control_->lastError().toStdString();
  EXPECT_EQ(refused.count(), 2);
  // A failure told only to the operator (a grating text that is no grating: the save fails) reaches the host once.
  control_->setHostMessages(false);
  shown_.clear();
  control_->withLogic([](Control& logic) { logic.surface().at("TxtGratingLines").set_text("x"); });
  control_->SaveParameter(QDir::temp().filePath("brivel-never-written.txt"));
  ASSERT_EQ(shown_.size(), 1u);
  EXPECT_EQ(shown_[0].text, "Failed to save parameters.");
  ASSERT_EQ(failed.count(), 1);
  EXPECT_EQ(failed.at(0).at(0).toString(), "SaveParameter: Failed to save parameters.");
  EXPECT_EQ(control_->lastError(), failed.at(0).at(0).toString());
}

TEST_F(HostMessageTest, AnAdapterPulledOutWhileIdleReachesTheHostWhileItsLoopRuns) {
  connect_control();
  control_->setHostMessages(true);
  QSignalSpy failed(control_.get(), &::Brivel::failed);
  QSignalSpy asked(control_.get(), &::Brivel::messageRequested);
  QSignalSpy connected(control_.get(), &::Brivel::BlnMonConnectFlagChanged);
  server_->stop();   // the far end closes the pseudo-terminal
  server_->join();
  for (int i = 0; i < 200 && failed.count() == 0; ++i) QTest::qWait(10);
  ASSERT_EQ(failed.count(), 1);
  EXPECT_TRUE(failed.at(0).at(0).toString().startsWith("MSComm1_OnComm: "))
      << failed.at(0).at(0).toString().toStdString();
  ASSERT_EQ(connected.count(), 1);
  EXPECT_FALSE(connected.at(0).at(0).toBool());
  ASSERT_EQ(asked.count(), 1);
  EXPECT_EQ(asked.at(0).at(0).value<BrivelMessage>().text,
            "The connection to the monochromator was lost. Check the cable and connect again.");
  EXPECT_GT(lamp_colour().red(), lamp_colour().green());   // the red lamp
}

}  // namespace
}  // namespace brivel::qt_tests
