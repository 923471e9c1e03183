// The control in Qt Designer: the plugin as Designer loads it, forms compiled by uic and loaded at run
// time (as the preview does), one saved with values outside the control's ranges.

#include <QAbstractButton>
#include <QDir>
#include <QGroupBox>
#include <QImage>
#include <QMainWindow>
#include <QMetaProperty>
#include <QPluginLoader>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QUiLoader>
#include <QtUiPlugin/QDesignerCustomWidgetInterface>
#include <memory>
#include <set>
#include <tuple>
#include <utility>

#include "host_fixture.h"
#include "ui_host_window.h"
#include "ui_out_of_range.h"

namespace host_tests {
namespace {

TEST(DesignerPluginTest, LoadsWithItsOwnGroupAndIconAndCreatesTheControl) {
  QPluginLoader loader(QStringLiteral(BRIVEL_DESIGNER_PLUGIN));
  ASSERT_TRUE(loader.load()) << loader.errorString().toStdString();
  auto* plugin = qobject_cast<QDesignerCustomWidgetInterface*>(loader.instance());
  ASSERT_NE(plugin, nullptr);
  EXPECT_EQ(plugin->name(), "Brivel");
  EXPECT_EQ(plugin->group(), "Brivel");
  EXPECT_EQ(plugin->includeFile(), "Brivel.h");
  EXPECT_FALSE(plugin->isContainer());
  EXPECT_FALSE(plugin->toolTip().isEmpty());
  const QIcon icon = plugin->icon();
  ASSERT_FALSE(icon.isNull());
  const QImage picture = icon.pixmap(32, 32).toImage();
  EXPECT_NE(picture.pixelColor(8, 16), picture.pixelColor(24, 16));  // a picture, not a fill
  EXPECT_TRUE(plugin->domXml().contains("<widget class=\"Brivel\" name=\"brivel\"/>"));
  plugin->initialize(nullptr);
  EXPECT_TRUE(plugin->isInitialized());
  QWidget form;
  QWidget* created = plugin->createWidget(&form);
  auto* control = qobject_cast<Brivel*>(created);
  ASSERT_NE(control, nullptr);
  EXPECT_EQ(control->parentWidget(), &form);
  EXPECT_EQ(control->IntUseCom(), 1);
  EXPECT_NE(control->childControl("CmdRun"), nullptr);
  // The property editor offers the settings a form holds, not the instrument's values nor talking setters.
  std::set<std::string> editable;
  const QMetaObject* meta = control->metaObject();
  for (int i = meta->indexOfProperty("IntUseCom"); i < meta->propertyCount(); ++i) {
    const QMetaProperty p = meta->property(i);
    if (p.isWritable() && p.isDesignable()) editable.insert(p.name());
  }
  EXPECT_EQ(editable, (std::set<std::string>{"IntUseCom", "IntLanguage", "hostMessages", "messageTimeout"}));
}

TEST(DesignerFormTest, TheExampleFormHoldsTheControlWithTheValuesItWasGiven) {
  QMainWindow window;
  Ui::HostWindow ui;
  ui.setupUi(&window);
  ASSERT_NE(ui.brivel, nullptr);
  EXPECT_EQ(ui.brivel->IntUseCom(), 1);
  EXPECT_EQ(ui.brivel->IntLanguage(), 1);
  EXPECT_FALSE(ui.moveButton->isEnabled());
  // The example program opens its window offscreen and pictures it.
  QTemporaryDir dir;
  const QString picture = dir.filePath("form.png");
  const ProgramRun run = run_program(QStringLiteral(BRIVEL_FORM_HOST), {"--screenshot", picture});
  ASSERT_EQ(run.exit_code, 0) << run.err.toStdString();
  EXPECT_TRUE(run.out.contains("IntUseCom 1, IntLanguage 1")) << run.out.toStdString();
  const QImage image(picture);
  EXPECT_GT(image.width(), ui.brivel->sizeHint().width());
}

// A form's saved values follow the control's rules: a port outside 1..16 is ignored, any language kept
// (captions Chinese unless 1, messages English unless 0; one for all controls), the bound limited.
void expect_own_rules(Brivel& zero, Brivel& seventeen) {
  EXPECT_EQ(std::make_tuple(zero.IntUseCom(), seventeen.IntUseCom(), zero.IntLanguage(), seventeen.IntLanguage()),
            std::make_tuple(1, 1, 5, 5));
  EXPECT_EQ(std::make_pair(zero.messageTimeout(), seventeen.hostMessages()), std::make_pair(0, true));
  auto* frame = qobject_cast<QGroupBox*>(seventeen.childControl("Frame6"));
  ASSERT_NE(frame, nullptr);
  EXPECT_EQ(frame->title(), QString::fromUtf8("手动方式"));
  QSignalSpy asked(&seventeen, &Brivel::messageRequested);
  qobject_cast<QAbstractButton*>(seventeen.childControl("CmdUp"))->click();
  seventeen.waitUntilIdle();
  ASSERT_EQ(asked.count(), 1);
  EXPECT_EQ(asked.at(0).at(0).value<BrivelMessage>().text, "Monochromator connection failed.");
}

TEST(DesignerFormTest, AFormWithValuesOutOfRangeFollowsTheControlsRules) {
  // The language is shared by every control of the thread: English again afterwards.
  struct English {
    ~English() { Brivel().setIntLanguage(1); }
  } english;
  {
    QWidget form;
    Ui::OutOfRange ui;
    ui.setupUi(&form);
    expect_own_rules(*ui.portZero, *ui.portSeventeen);
  }
  // The same form loaded at run time through the plugin, as Designer's preview does.
  QUiLoader loader;
  loader.clearPluginPaths();
  loader.addPluginPath(QFileInfo(QStringLiteral(BRIVEL_DESIGNER_PLUGIN)).absolutePath());
  ASSERT_TRUE(loader.availableWidgets().contains("Brivel"));
  QFile file(QStringLiteral(BRIVEL_OUT_OF_RANGE_FORM));
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  std::unique_ptr<QWidget> form(loader.load(&file));
  ASSERT_NE(form, nullptr) << loader.errorString().toStdString();
  auto* zero = form->findChild<Brivel*>("portZero");
  auto* seventeen = form->findChild<Brivel*>("portSeventeen");
  ASSERT_TRUE(zero && seventeen);
  expect_own_rules(*zero, *seventeen);
}

}  // namespace
}  // namespace host_tests
