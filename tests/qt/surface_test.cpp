// Real widgets mirror the surface (places, texts in both languages, lists, values, fonts, visibility);
// program changes run no handler; operator edits reach the model.

#include "control_fixture.h"

namespace brivel::qt_tests {
namespace {

using SurfaceTest = ControlTest;

bool renders_chinese(const QFont& font) {
  return QFontDatabase::writingSystems(QFontInfo(font).family()).contains(QFontDatabase::SimplifiedChinese);
}

// The text a widget shows, the Chinese captions' en spaces (U+2002) read back as the model's blanks.
std::string shown_text(QWidget* view) {
  QString text;
  if (auto* edit = qobject_cast<QLineEdit*>(view)) text = edit->text();
  else if (auto* combo = qobject_cast<QComboBox*>(view)) text = combo->currentText();
  else if (auto* group = qobject_cast<QGroupBox*>(view)) text = group->title();
  else if (auto* label = qobject_cast<QLabel*>(view)) text = label->text();
  else if (auto* button = qobject_cast<QAbstractButton*>(view)) text = button->text();
  return text.replace(QChar(0x2002), QLatin1Char(' ')).toStdString();
}

// The surface as it stands on the control's thread.
std::vector<brivel::Widget> surface_of(::Brivel& control) {
  std::vector<brivel::Widget> copies;
  control.withLogic([&](Control& logic) {
    for (const brivel::Widget* w : logic.surface().widgets()) copies.push_back(w->copy());
  });
  return copies;
}

void expect_mirrors(::Brivel& control) {
  const double dpi_x = control.logicalDpiX() / 1440.0, dpi_y = control.logicalDpiY() / 1440.0;
  const std::vector<brivel::Widget> surface = surface_of(control);
  for (const brivel::Widget* w = surface.data(); w != surface.data() + surface.size(); ++w) {
    const std::string& name = w->name();
    QWidget* view = control.childControl(QString::fromStdString(name));
    ASSERT_NE(view, nullptr) << name;
    EXPECT_EQ(view->objectName().toStdString(), name);
    EXPECT_EQ(!view->isHidden(), w->visible()) << name;
    EXPECT_EQ(!view->testAttribute(Qt::WA_ForceDisabled), w->enabled()) << name;
    if (w->kind() == WidgetKind::Window || w->kind() == WidgetKind::Line) continue;
    EXPECT_NEAR(view->x(), w->left() * dpi_x, 1.0) << name;
    EXPECT_NEAR(view->y(), w->top() * dpi_y, 1.0) << name;
    EXPECT_NEAR(view->width(), w->width() * dpi_x, 1.0) << name;
    EXPECT_NEAR(view->height(), w->height() * dpi_y, 1.0) << name;
    if (!w->parent().empty()) {
      EXPECT_EQ(view->parentWidget(), control.childControl(QString::fromStdString(w->parent()))) << name;
    }
    if (w->kind() == WidgetKind::Picture || (w->kind() == WidgetKind::Frame && w->parent().empty()))
      continue;
    EXPECT_EQ(shown_text(view), w->text()) << name;
    EXPECT_EQ(view->font().bold(), w->bold()) << name;
    // A one-line label shows a text too wide for it smaller, never clipped; otherwise the design size.
    auto* label = qobject_cast<QLabel*>(view);
    QFont design = view->font();
    design.setPointSizeF(w->font_size());
    const bool too_wide = label && !label->wordWrap() &&
                          QFontMetricsF(design).horizontalAdvance(label->text()) > label->contentsRect().width();
    if (too_wide)
      EXPECT_LE(QFontMetricsF(label->font()).horizontalAdvance(label->text()), label->contentsRect().width()) << name;
    else
      EXPECT_DOUBLE_EQ(view->font().pointSizeF(), w->font_size()) << name;
    if (auto* combo = qobject_cast<QComboBox*>(view)) {
      std::vector<std::string> items;
      for (int i = 0; i < combo->count(); ++i) items.push_back(combo->itemText(i).toStdString());
      EXPECT_EQ(items, w->items()) << name;
    }
    if (auto* check = qobject_cast<QCheckBox*>(view)) {
      const Qt::CheckState states[] = {Qt::Unchecked, Qt::Checked, Qt::PartiallyChecked};
      EXPECT_EQ(check->checkState(), states[w->value()]) << name;
    }
  }
}

TEST_F(SurfaceTest, EveryModelWidgetIsMirroredInBothLanguages) {
  expect_mirrors(*control_);
  // One panel shows, at the top left; the wait window is a separate, hidden window.
  EXPECT_TRUE(child("FraRunPanel")->isVisible());
  EXPECT_EQ(child("FraRunPanel")->pos(), QPoint(0, 0));
  EXPECT_TRUE(child("FrmSplash")->isWindow());
  EXPECT_FALSE(child("FrmSplash")->isVisible());
  control_->setProperty("IntLanguage", 0);
  expect_mirrors(*control_);
  // The Chinese font name is mapped to an installed font that has the characters.
  EXPECT_TRUE(renders_chinese(child("CmdStop")->font())) << QFontInfo(child("CmdStop")->font()).family().toStdString();
  EXPECT_TRUE(renders_chinese(child("Label3")->font()));
  control_->setProperty("IntLanguage", 1);
  expect_mirrors(*control_);
  EXPECT_FALSE(renders_chinese(child("CmdStop")->font()));
}

TEST_F(SurfaceTest, ProgramChangesAreMirroredAndRunNoHandlerAndOperatorEditsReachTheModel) {
  const auto model = [this](const char* name) {
    brivel::Widget copy("", WidgetKind::Label, "", 0, 0, 0, 0);
    control_->withLogic([&](Control& logic) { copy = logic.surface().at(name).copy(); });
    return copy;
  };
  // Setting the check box does not run its handler (which, not connected, would say so).
  control_->withLogic([](Control& logic) {
    Surface& surface = logic.surface();
    surface.at("ChkUseFilter").set_value(2);
    surface.at("CboSpeed").set_text("100");
    surface.at("CmdRun").set_enabled(false);
    surface.at("TxtZeroOffset").set_text("1234");
    surface.at("LblWaveLen").set_text("12345.67");
  });
  expect_mirrors(*control_);
  EXPECT_TRUE(shown_.empty());
  EXPECT_LT(child("LblWaveLen")->font().pointSizeF(), 26.25);  // shrunk to fit
  control_->withLogic([](Control& logic) { logic.surface().at("LblWaveLen").set_text("0.00"); });
  EXPECT_DOUBLE_EQ(child("LblWaveLen")->font().pointSizeF(), 26.25);
  // The operator's click on the grey check box does run the handler, and checks it.
  child<QCheckBox>("ChkUseFilter")->click();
  control_->waitUntilIdle();
  ASSERT_EQ(shown_.size(), 1u);
  EXPECT_EQ(shown_[0].text, "Monochromator connection failed.");
  EXPECT_EQ(model("ChkUseFilter").value(), 1);
  // Operator edits reach the model.
  auto* year = child<QLineEdit>("TxtYear");
  year->setFocus();
  QTest::keyClick(year, Qt::Key_End);
  QTest::keyClicks(year, "7");
  control_->waitUntilIdle();
  EXPECT_EQ(prop("StrYear").toString(), "000007");
  auto* target = child<QComboBox>("CboTarget");
  target->lineEdit()->selectAll();
  QTest::keyClicks(target->lineEdit(), "612.5");
  EXPECT_EQ(model("CboTarget").text(), "612.5");
  EXPECT_EQ(target->currentText(), "612.5");  // the edit is not sent back over the typing
  // Choosing from the list (here with the arrow keys) writes the text.
  QTest::keyClick(target, Qt::Key_Down);
  QTest::keyClick(target, Qt::Key_Down);
  EXPECT_EQ(target->currentText(), "253.65");
  EXPECT_EQ(model("CboTarget").text(), "253.65");
}

}  // namespace
}  // namespace brivel::qt_tests
