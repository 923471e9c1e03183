// The real widgets mirror the in-memory surface: kinds, positions, captions in both
// languages, fonts, lists, visibility; program changes run no handler; operator edits
// reach the model.

#include <QCheckBox>
#include <QComboBox>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <cmath>

#include "control_fixture.h"

namespace brivel::qt_tests {
namespace {

bool renders_chinese(const QFont& font) {
  return QFontDatabase::writingSystems(QFontInfo(font).family())
      .contains(QFontDatabase::SimplifiedChinese);
}

using SurfaceTest = ControlTest;

TEST_F(SurfaceTest, EveryModelWidgetHasARealWidgetAtItsPlace) {
  const double dpi_x = control_->logicalDpiX();
  const double dpi_y = control_->logicalDpiY();
  for (const brivel::Widget* w : control_->logic().surface().widgets()) {
    QWidget* view = control_->childControl(QString::fromStdString(w->name()));
    ASSERT_NE(view, nullptr) << w->name();
    EXPECT_EQ(view->objectName().toStdString(), w->name());
    EXPECT_EQ(!view->isHidden(), w->visible()) << w->name();
    if (w->kind() == WidgetKind::Window || w->kind() == WidgetKind::Line) continue;
    EXPECT_NEAR(view->x(), w->left() * dpi_x / 1440, 1.0) << w->name();
    EXPECT_NEAR(view->y(), w->top() * dpi_y / 1440, 1.0) << w->name();
    EXPECT_NEAR(view->width(), w->width() * dpi_x / 1440, 1.0) << w->name();
    EXPECT_NEAR(view->height(), w->height() * dpi_y / 1440, 1.0) << w->name();
    if (!w->parent().empty()) {
      EXPECT_EQ(view->parentWidget(), control_->childControl(QString::fromStdString(w->parent())))
          << w->name();
    }
  }
  // One panel shows, at the top left; the wait window is a separate, hidden window.
  EXPECT_TRUE(child("FraRunPanel")->isVisible());
  EXPECT_EQ(child("FraRunPanel")->pos(), QPoint(0, 0));
  EXPECT_TRUE(child("FraFilterParam")->isHidden());
  EXPECT_TRUE(child("FrmSplash")->isWindow());
  EXPECT_FALSE(child("FrmSplash")->isVisible());
  EXPECT_TRUE(child("Label21(5)")->isHidden());
}

TEST_F(SurfaceTest, CreationShowsTheListsAndTheDesignFonts) {
  EXPECT_EQ(child<QComboBox>("CboDistance")->currentText(), "0.1");
  EXPECT_EQ(child<QComboBox>("CboTarget")->currentText(), "0.00");
  auto* speed = child<QComboBox>("CboSpeed");
  ASSERT_EQ(speed->count(), 250);
  EXPECT_EQ(speed->itemText(0), "1");
  EXPECT_EQ(speed->itemText(249), "250");
  EXPECT_EQ(speed->currentText(), "");
  EXPECT_EQ(child<QComboBox>("CboComType")->count(), 15);

  const QFont wavelength = child("LblWaveLen")->font();
  EXPECT_DOUBLE_EQ(wavelength.pointSizeF(), 26.25);
  EXPECT_TRUE(wavelength.bold());
  EXPECT_TRUE(child("CboDistance")->font().bold());
  EXPECT_TRUE(child("CboTarget")->font().bold());
  EXPECT_FALSE(child("CboSpeed")->font().bold());
}

TEST_F(SurfaceTest, CaptionsAndFontsFollowTheLanguage) {
  auto frame6 = [&] { return child<QGroupBox>("Frame6")->title(); };
  EXPECT_EQ(frame6(), "Manual Mode");
  EXPECT_EQ(child<QLabel>("Lbl1(0)")->text(), "Current Wavelength:");
  EXPECT_EQ(child<QPushButton>("CmdRun")->text(), "Run");
  EXPECT_EQ(child<QPushButton>("CmdFilterSet")->text(), "Ok");
  EXPECT_EQ(child<QCheckBox>("ChkUseFilter")->text(), "Enable");

  control_->setProperty("IntLanguage", 0);
  EXPECT_EQ(frame6(), QString::fromUtf8("手动方式"));
  EXPECT_EQ(as_model(child<QLabel>("Lbl1(0)")->text()), QString::fromUtf8("当  前  波  长："));
  EXPECT_EQ(as_model(child<QPushButton>("CmdStop")->text()), QString::fromUtf8("停   止"));
  EXPECT_EQ(as_model(child<QLabel>("Label21(3)")->text()), "No.3" + QString(14, ' ') + "nm");
  // The Chinese font name is mapped to an installed font that has the characters.
  EXPECT_TRUE(renders_chinese(child("CmdStop")->font())) << QFontInfo(child("CmdStop")->font()).family().toStdString();
  EXPECT_TRUE(renders_chinese(child("Label3")->font()));
  EXPECT_DOUBLE_EQ(child("Label3")->font().pointSizeF(), 14.25);  // size stays as designed

  control_->setProperty("IntLanguage", 1);
  EXPECT_EQ(frame6(), "Manual Mode");
  EXPECT_EQ(child<QPushButton>("CmdStop")->text(), "Stop");
  EXPECT_EQ(child<QLabel>("Label21(3)")->text(), "No.3" + QString(24, ' ') + "nm");
  EXPECT_FALSE(renders_chinese(child("CmdStop")->font()));
}

TEST_F(SurfaceTest, ProgramChangesAreMirroredAndRunNoHandler) {
  Surface& surface = control_->logic().surface();
  // A value set by the program shows, but does not run the check box's handler (which,
  // while not connected, would say so).
  surface.at("ChkUseFilter").set_value(1);
  EXPECT_EQ(child<QCheckBox>("ChkUseFilter")->checkState(), Qt::Checked);
  surface.at("ChkUseFilter").set_value(2);
  EXPECT_EQ(child<QCheckBox>("ChkUseFilter")->checkState(), Qt::PartiallyChecked);
  surface.at("CboSpeed").set_text("100");
  EXPECT_EQ(child<QComboBox>("CboSpeed")->currentText(), "100");
  EXPECT_TRUE(shown_.empty());

  surface.at("CmdRun").set_enabled(false);
  EXPECT_FALSE(child("CmdRun")->isEnabled());
  surface.at("TxtZeroOffset").set_text("1234");
  EXPECT_EQ(child<QLineEdit>("TxtZeroOffset")->text(), "1234");
  // A wavelength wider than its label is shown smaller, never clipped.
  auto* wavelength = child<QLabel>("LblWaveLen");
  surface.at("LblWaveLen").set_text("12345.67");
  EXPECT_EQ(wavelength->text(), "12345.67");
  EXPECT_LT(wavelength->font().pointSizeF(), 26.25);
  EXPECT_LE(QFontMetricsF(wavelength->font()).horizontalAdvance("12345.67"),
            wavelength->contentsRect().width());
  surface.at("LblWaveLen").set_text("0.00");
  EXPECT_DOUBLE_EQ(wavelength->font().pointSizeF(), 26.25);
  surface.at("Image1").set_picture(2);
  EXPECT_GT(lamp_colour().green(), lamp_colour().red());

  // The wait window mirrors its model: a separate window with the caption.
  surface.at("FrmSplash.Label1").set_text("Setting, please wait...");
  surface.at("FrmSplash").set_visible(true);
  EXPECT_TRUE(child("FrmSplash")->isVisible());
  EXPECT_EQ(child<QLabel>("FrmSplash.Label1")->text(), "Setting, please wait...");
  surface.at("FrmSplash").set_visible(false);
  EXPECT_FALSE(child("FrmSplash")->isVisible());

  // The operator's click on the same check box does run it.
  child<QCheckBox>("ChkUseFilter")->click();
  ASSERT_EQ(shown_.size(), 1u);
  EXPECT_EQ(shown_[0].text, "Monochromator connection failed.");
  EXPECT_EQ(surface.at("ChkUseFilter").value(), 1);  // the click checked the grey box
}

TEST_F(SurfaceTest, OperatorEditsReachTheModel) {
  auto* year = child<QLineEdit>("TxtYear");
  year->setFocus();
  QTest::keyClick(year, Qt::Key_End);
  QTest::keyClicks(year, "7");
  EXPECT_EQ(control_->property("StrYear").toString(), "000007");

  auto* target = child<QComboBox>("CboTarget");
  target->lineEdit()->selectAll();
  QTest::keyClicks(target->lineEdit(), "612.5");
  EXPECT_EQ(control_->logic().surface().at("CboTarget").text(), "612.5");

  // Choosing from the list (here with the arrow keys) writes the text.
  QTest::keyClick(target, Qt::Key_Down);
  QTest::keyClick(target, Qt::Key_Down);
  EXPECT_EQ(target->currentText(), "253.65");
  EXPECT_EQ(control_->logic().surface().at("CboTarget").text(), "253.65");
}

}  // namespace
}  // namespace brivel::qt_tests
