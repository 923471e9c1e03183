// Widgets on a backdrop look like their plain twins, a new value repaints them alone, and the
// label shrinks a long value to the size a full measurement gives.

#include <atomic>
#include <gtest/gtest.h>

#include <Brivel.h>
#include <surface_view.h>

#include <QtTest>
#include <QtWidgets>
#include <string>

#include "control/control.h"
#include "qt/core/qt_platform.h"

namespace brivel::qt_tests {
namespace {

using brivel::qt::Backdrop;
using brivel::qt::ReadoutLabel;

// Counts the paint events of the widgets it watches, and keeps what labels painted.
class PaintCounter : public QObject {
 public:
  int paints(QObject* widget) const { return counts_.value(widget); }
  void watch(QWidget* widget) { widget->installEventFilter(this); }
  void reset() {
    counts_.clear();
    painted_.clear();
  }
  const QStringList& painted() const { return painted_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Paint) {
      ++counts_[watched];
      if (auto* label = qobject_cast<QLabel*>(watched)) painted_ << label->text();
    }
    return false;
  }

 private:
  QHash<QObject*, int> counts_;
  QStringList painted_;
};

// Raises `flag` once `label` paints `text` (from the GUI thread, for the control's).
class PaintFlag : public QObject {
 public:
  PaintFlag(QLabel* label, QString text, std::atomic<bool>& flag) : text_(std::move(text)), flag_(flag) {
    label->installEventFilter(this);
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Paint && qobject_cast<QLabel*>(watched)->text() == text_) flag_ = true;
    return false;
  }

 private:
  QString text_;
  std::atomic<bool>& flag_;
};

void run_loop_for(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

// A frame with a readout and, at the same place, a plain label; one of them shows.
struct Scene {
  QWidget window;
  QGroupBox* frame = new QGroupBox(&window);
  ReadoutLabel* readout = new ReadoutLabel(frame);
  QLabel* plain = new QLabel(frame);
  QLabel* neighbour = new QLabel(QStringLiteral("nm"), frame);
  Scene() {
    window.resize(360, 120);
    frame->setGeometry(20, 10, 320, 90);
    QFont font(QStringLiteral("DejaVu Serif"));
    font.setPointSizeF(20);
    font.setBold(true);
    for (QLabel* label : {static_cast<QLabel*>(readout), plain}) {
      label->setTextFormat(Qt::PlainText);  // as the control's labels
      label->setGeometry(100, 8, 150, 50);
      label->setFont(font);
      label->setText(QStringLiteral("812.50"));
    }
    neighbour->setGeometry(260, 20, 40, 20);
    plain->hide();
    window.show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(&window));
  }
  QImage picture_with(QLabel* shown) {
    readout->setVisible(shown == readout);
    plain->setVisible(shown == plain);
    QCoreApplication::processEvents();
    return frame->grab().toImage();
  }
};

TEST(ReadoutLabelTest, LooksExactlyLikeAPlainLabelAlsoAfterItsFrameChanges) {
  Scene scene;
  EXPECT_TRUE(scene.readout->draws_glyphs());  // a wavelength: the quick way
  EXPECT_EQ(scene.picture_with(scene.readout), scene.picture_with(scene.plain));
  // Any other text is drawn by QLabel itself.
  for (QLabel* label : {static_cast<QLabel*>(scene.readout), scene.plain}) label->setText(QStringLiteral("n/a"));
  EXPECT_FALSE(scene.readout->draws_glyphs());
  EXPECT_EQ(scene.picture_with(scene.readout), scene.picture_with(scene.plain));
  for (QLabel* label : {static_cast<QLabel*>(scene.readout), scene.plain}) label->setText(QStringLiteral("812.50"));
  // A new palette of the frame, and a new place for the label: the backdrop follows.
  QPalette palette = scene.frame->palette();
  palette.setColor(QPalette::Window, QColor(200, 220, 255));
  scene.frame->setPalette(palette);
  scene.frame->setAutoFillBackground(true);
  for (QLabel* label : {static_cast<QLabel*>(scene.readout), scene.plain}) label->move(60, 30);
  EXPECT_EQ(scene.picture_with(scene.readout), scene.picture_with(scene.plain));
  // A text colour the labels inherit, and one of the readout's own.
  palette.setColor(QPalette::WindowText, QColor(0, 0, 160));
  scene.frame->setPalette(palette);
  EXPECT_TRUE(scene.readout->draws_glyphs());
  EXPECT_EQ(scene.picture_with(scene.readout), scene.picture_with(scene.plain));
  for (QLabel* label : {static_cast<QLabel*>(scene.readout), scene.plain}) {
    QPalette own = label->palette();
    own.setColor(QPalette::WindowText, QColor(170, 0, 0));
    label->setPalette(own);
  }
  EXPECT_EQ(scene.picture_with(scene.readout), scene.picture_with(scene.plain));
  // Fonts the readout inherits from its frame (its own set aside): its glyphs follow each.
  const QFont own_font = scene.readout->font();
  for (QLabel* label : {static_cast<QLabel*>(scene.readout), scene.plain}) label->setFont(QFont());
  EXPECT_EQ(scene.picture_with(scene.readout), scene.picture_with(scene.plain));
  QFont inherited(QStringLiteral("DejaVu Sans"));
  inherited.setPointSizeF(16);
  scene.frame->setFont(inherited);
  EXPECT_EQ(scene.readout->font().pointSizeF(), 16.0);
  EXPECT_TRUE(scene.readout->draws_glyphs());
  EXPECT_EQ(scene.picture_with(scene.readout), scene.picture_with(scene.plain));
  for (QLabel* label : {static_cast<QLabel*>(scene.readout), scene.plain}) label->setFont(own_font);
  // Values of every digit, and every size the control shrinks a long one to.
  for (const char* value : {"-0.05", "1234567.89", "90.00"}) {
    for (double points : {20.0, 14.5, 9.0}) {
      for (QLabel* label : {static_cast<QLabel*>(scene.readout), scene.plain}) {
        QFont font = label->font();
        font.setPointSizeF(points);
        label->setFont(font);
        label->setText(QString::fromLatin1(value));
      }
      EXPECT_TRUE(scene.readout->draws_glyphs()) << value << " " << points;
      EXPECT_EQ(scene.picture_with(scene.readout), scene.picture_with(scene.plain)) << value << " " << points;
    }
  }
}

TEST(ReadoutLabelTest, ANewValueRepaintsTheLabelAloneNotItsFrame) {
  Scene scene;
  PaintCounter counter;
  for (QWidget* w : {static_cast<QWidget*>(scene.frame), static_cast<QWidget*>(scene.readout),
                     static_cast<QWidget*>(scene.neighbour)})
    counter.watch(w);
  QCoreApplication::processEvents();
  counter.reset();
  for (const char* value : {"812.51", "812.57", "813.02"}) {
    scene.readout->setText(QString::fromLatin1(value));
    QCoreApplication::processEvents();
  }
  EXPECT_EQ(counter.paints(scene.readout), 3);
  EXPECT_EQ(counter.paints(scene.frame), 0);
  EXPECT_EQ(counter.paints(scene.neighbour), 0);
  // A plain label in its place makes the frame paint under it each time.
  scene.picture_with(scene.plain);
  counter.watch(scene.plain);
  QCoreApplication::processEvents();
  counter.reset();
  scene.plain->setText(QStringLiteral("900.00"));
  QCoreApplication::processEvents();
  EXPECT_GT(counter.paints(scene.frame), 0);
}

TEST(BackdropTest, ATextBoxOnABackdropLooksLikeAPlainOneAndRepaintsAlone) {
  QWidget window;
  window.resize(300, 120);
  auto* frame = new QGroupBox(QStringLiteral("Instrument"), &window);
  frame->setGeometry(10, 10, 280, 100);
  auto* opaque = new QLineEdit(QStringLiteral("00258"), frame);
  new Backdrop(opaque);
  auto* plain = new QLineEdit(QStringLiteral("00258"), frame);
  for (QLineEdit* edit : {opaque, plain}) {
    edit->setGeometry(20, 30, 120, 24);
    edit->setFocusPolicy(Qt::NoFocus);  // no focus frame or cursor to tell them apart
  }
  plain->hide();
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  auto picture_with = [&](QLineEdit* shown) {
    opaque->setVisible(shown == opaque);
    plain->setVisible(shown == plain);
    QCoreApplication::processEvents();
    return frame->grab().toImage();
  };
  EXPECT_EQ(picture_with(opaque), picture_with(plain));
  picture_with(opaque);
  PaintCounter counter;
  counter.watch(frame);
  counter.watch(opaque);
  QCoreApplication::processEvents();
  counter.reset();
  opaque->setText(QStringLiteral("12345"));
  QCoreApplication::processEvents();
  EXPECT_GE(counter.paints(opaque), 1);
  EXPECT_EQ(counter.paints(frame), 0);
  // The frame disabled: the box's backdrop is taken again.
  frame->setEnabled(false);
  plain->setText(QStringLiteral("12345"));
  EXPECT_EQ(picture_with(opaque), picture_with(plain));
}

TEST(SurfaceViewTest, ChangesGoOverInBatchesPaintedOncePerFrameAndTheReadoutShrinksToFit) {
  ::Brivel control;
  control.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&control));
  auto* year = qobject_cast<QLineEdit*>(control.childControl(QStringLiteral("TxtYear")));
  auto* wavelength = qobject_cast<QLabel*>(control.childControl(QStringLiteral("LblWaveLen")));
  ASSERT_NE(qobject_cast<ReadoutLabel*>(wavelength), nullptr);
  PaintCounter counter;
  counter.watch(year);
  counter.watch(wavelength);
  run_loop_for(20);
  counter.reset();
  // A change on the control's thread is in the widget when the call that made it returns,
  // and painted once.
  control.withLogic([](Control& logic) { logic.surface().at("TxtYear").set_text("77"); });
  EXPECT_EQ(year->text(), QStringLiteral("77"));
  run_loop_for(20);
  EXPECT_EQ(counter.paints(year), 1);
  // Inside an operation, reports early in the same frame go over together: the older is
  // never set on the label nor painted. One with a longer sleep after it goes at once.
  counter.reset();
  control.withLogic([](Control& logic) {
    EventPump& pump = logic.pump();
    brivel::Widget& reported = logic.surface().at("LblWaveLen");
    reported.set_text("812.50");
    pump.wait_until(pump.now() + 0.002);
    reported.set_text("812.57");
    pump.wait_until(pump.now() + 0.03);
    reported.set_text("812.63");
    pump.wait_until(pump.now() + 0.03);
  });
  run_loop_for(20);
  EXPECT_FALSE(counter.painted().contains(QStringLiteral("812.50"))) << counter.painted().join(' ').toStdString();
  ASSERT_FALSE(counter.painted().isEmpty());
  EXPECT_LE(counter.painted().size(), 2);
  EXPECT_EQ(counter.painted().back(), QStringLiteral("812.63"));
  EXPECT_EQ(wavelength->text(), QStringLiteral("812.63"));
  // An operation whose waits only yield still shows its changes while it runs.
  std::atomic<bool> shown{false};
  PaintFlag flag(wavelength, QStringLiteral("812.70"), shown);
  bool seen_while_running = false;
  control.withLogic([&](Control& logic) {
    EventPump& pump = logic.pump();
    logic.surface().at("LblWaveLen").set_text("812.70");
    const double until = pump.now() + 2.0;
    while (pump.now() < until && !shown) pump.yield();
    seen_while_running = shown;
  });
  EXPECT_TRUE(seen_while_running);
  // The readout shrinks a long value to the size a full measurement gives.
  brivel::Widget reported("", WidgetKind::Label, "", 0, 0, 0, 0);
  control.withLogic([&](Control& logic) { reported = logic.surface().at("LblWaveLen").copy(); });
  const QFont design = qt::design_font(reported.font_name(), reported.font_size(), reported.bold());
  const double room = wavelength->contentsRect().width();
  // Every size from the design size down by half points, measured in full.
  auto expected = [&](const QString& text) {
    QFont font = design;
    while (font.pointSizeF() > 6.0 && QFontMetricsF(font).horizontalAdvance(text) > room)
      font.setPointSizeF(std::max(6.0, font.pointSizeF() - 0.5));
    return font.pointSizeF();
  };
  // Values back and forth (sizes met again), then each at the size next to the one before.
  for (const char* value : {"0.00", "812.50", "1241.33", "-0.05", "99999.99", "812.50", "7.5",
                            "12345.67", "-12345.67", "500.00", "0.00", "9999.99", "99999.99",
                            "999999.99", "9999999.99", "999999.99", "99999.99", "99999.98", "9999.99"}) {
    control.withLogic([value](Control& logic) { logic.surface().at("LblWaveLen").set_text(value); });
    EXPECT_EQ(wavelength->text().toStdString(), value);
    EXPECT_DOUBLE_EQ(wavelength->font().pointSizeF(), expected(wavelength->text())) << value;
  }
}

}  // namespace
}  // namespace brivel::qt_tests
