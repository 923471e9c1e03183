#include "tour.h"

#include <Brivel.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QEventLoop>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPixmap>
#include <QTimer>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>

#include "host_window.h"

namespace {

class Tour {
 public:
  Tour(HostWindow& window, const QString& directory)
      : window_(window), control_(window.control()), dir_(directory) {}

  int run();

 private:
  void step(const QString& name) {
    ++step_;
    name_ = QStringLiteral("%1-%2").arg(step_, 2, 10, QLatin1Char('0')).arg(name);
    std::printf("tour: %s\n", qPrintable(name_));
    std::fflush(stdout);
  }
  // Lets the event loop run for `ms` (the property table catches up).
  static void settle(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
  }
  void save(const QPixmap& picture, const QString& file) {
    const QString path = dir_.filePath(file);
    if (!picture.save(path, "PNG")) fail("cannot write " + path);
  }
  // A picture of the main window, and of the wait window while it shows.
  void shot(const QString& suffix = QString()) { shot_as(name_ + suffix); }
  void shot_as(const QString& name) {
    window_.refresh();
    QCoreApplication::processEvents();
    save(window_.grab(), name + ".png");
    if (QWidget* splash = control_->childControl("FrmSplash"); splash && splash->isVisible())
      save(splash->grab(), name + "-wait-window.png");
  }
  // A picture taken `ms` from now, under the name of the current step.
  void shot_later(int ms) {
    QTimer::singleShot(ms, &window_, [this, name = name_] { shot_as(name); });
  }
  void control_shot(const QString& file) { save(control_->grab(), file); }
  void fail(const QString& why) {
    ++failures_;
    std::printf("tour: FAILED: %s\n", qPrintable(why));
  }
  void expect(bool ok, const QString& what) {
    if (!ok) fail(what);
  }
  double wavelength() const { return control_->property("DblMonoWaveLen").toDouble(); }

  // The operator's hands.
  void mouse(QWidget* target, QEvent::Type type) {
    const QPointF centre(target->width() / 2.0, target->height() / 2.0);
    QMouseEvent event(type, centre, target->mapToGlobal(centre), Qt::LeftButton,
                      type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &event);
  }
  void type_into(QComboBox* combo, const QString& text) {
    QLineEdit* edit = combo->lineEdit();
    edit->selectAll();
    for (const QChar c : text) {
      QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
      QCoreApplication::sendEvent(edit, &press);
    }
  }
  QAbstractButton* button(const char* name) {
    return qobject_cast<QAbstractButton*>(control_->childControl(name));
  }
  void answer(const BrivelMessage& message);

  HostWindow& window_;
  Brivel* control_;
  QDir dir_;
  int step_ = 0;
  int dialogs_ = 0;
  int failures_ = 0;
  QString name_;
};

// The tour takes the control's messages over, as an unattended host does: each is
// printed, pictured as the box the operator would see, and a question is answered OK.
void Tour::answer(const BrivelMessage& message) {
  std::printf("tour:   %s \"%s\": %s\n", qPrintable(message.kind), qPrintable(message.title),
              qPrintable(message.text));
  std::unique_ptr<QMessageBox> box(Brivel::messageBox(message, &window_));
  box->adjustSize();
  save(box->grab(), QStringLiteral("%1-box-%2.png").arg(name_).arg(++dialogs_));
  if (message.isQuestion()) control_->answerMessage(message.id, "Ok");
}

int Tour::run() {
  if (!dir_.mkpath(".")) {
    std::printf("tour: cannot create %s\n", qPrintable(dir_.absolutePath()));
    return 1;
  }
  control_->setHostMessages(true);
  const QMetaObject::Connection answers = QObject::connect(
      control_, &Brivel::messageRequested, control_, [this](const BrivelMessage& m) { answer(m); });

  step("start");
  settle(200);
  shot();

  step("connected");
  window_.invoke("OpenCom");
  expect(control_->property("BlnMonConnectFlag").toBool(), "OpenCom did not connect");
  settle(200);
  shot();
  if (failures_) return 1;  // nothing further works without the instrument

  step("moving");
  shot_later(500);
  window_.invoke("MonochromatorMoveTo", 1092.14);
  step("moved");
  expect(std::fabs(wavelength() - 1092.14) < 0.01, "the move did not reach 1092.14 nm");
  shot();

  step("jogging");
  const double before_jog = wavelength();
  QAbstractButton* jog_up = button("CmdHandUp");
  shot_later(500);
  QTimer::singleShot(900, &window_, [this, jog_up] { mouse(jog_up, QEvent::MouseButtonRelease); });
  mouse(jog_up, QEvent::MouseButtonPress);
  control_->waitUntilIdle();  // the jog ends with the release
  step("jogged");
  expect(wavelength() > before_jog, "the held jog button did not move the grating");
  shot();

  step("run-to-target");
  type_into(qobject_cast<QComboBox*>(control_->childControl("CboTarget")), "435.83");
  button("CmdRun")->click();
  control_->waitUntilIdle();  // the operator's move runs on the control's thread
  expect(std::fabs(wavelength() - 435.83) < 0.01, "Run did not reach 435.83 nm");
  shot();
  control_shot("control-run-en.png");

  step("parameter-panel");
  window_.invoke("ShowParaFace");
  shot();
  control_shot("control-parameter-en.png");

  step("parameter-panel-zh");
  control_->setProperty("IntLanguage", 0);
  auto* title = qobject_cast<QGroupBox*>(control_->childControl("Frame6"));
  expect(title && title->title() == QString::fromUtf8("手动方式"), "the captions did not turn Chinese");
  shot();
  control_shot("control-parameter-zh.png");

  step("run-panel-zh");
  window_.invoke("ShowRunFace");
  shot();
  control_shot("control-run-zh.png");

  step("reposition");
  bool splash_seen = false;
  QTimer watch;
  watch.setInterval(50);
  QObject::connect(&watch, &QTimer::timeout, [&] {
    QWidget* splash = control_->childControl("FrmSplash");
    if (splash_seen || !splash || !splash->isVisible()) return;
    splash_seen = true;
    shot("-wait");
  });
  watch.start();
  button("CmdReAnchor")->click();  // the question is answered OK by answer()
  control_->waitUntilIdle();
  watch.stop();
  expect(splash_seen, "the wait window did not show during the reposition");
  expect(!control_->property("BlnBusy").toBool(), "busy after the reposition");
  step("repositioned");
  settle(200);
  shot();

  step("run-panel-en");
  control_->setProperty("IntLanguage", 1);
  settle(200);
  shot();

  QObject::disconnect(answers);
  control_->setHostMessages(false);
  std::printf("tour: %d steps, %d failures; pictures in %s\n", step_, failures_,
              qPrintable(dir_.absolutePath()));
  return failures_ == 0 ? 0 : 1;
}

}  // namespace

int run_tour(HostWindow& window, const QString& directory) {
  Tour tour(window, directory);
  return tour.run();
}
