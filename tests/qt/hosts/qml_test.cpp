// QML: the example's panel follows the moving wavelength and survives the control going away.

#include <QQmlContext>
#include <QQmlError>
#include <QQuickItem>
#include <QQuickView>
#include <QTemporaryDir>
#include <QRegularExpression>
#include <QtTest>

#include "host_fixture.h"

namespace host_tests {
namespace {

struct Panel {
  QQuickView view;
  explicit Panel(Brivel* control) {
    view.rootContext()->setContextProperty("brivel", control);
    view.setSource(QUrl::fromLocalFile(QStringLiteral(BRIVEL_QML_PANEL)));
    for (const QQmlError& e : view.errors()) ADD_FAILURE() << e.toString().toStdString();
    view.show();
  }
  QVariant get(const char* name) const { return view.rootObject()->property(name); }
};

TEST(QmlTest, ThePanelFollowsTheWavelengthLiveAndOutlivesTheControl) {
  SimulatedInstrument instrument;
  ASSERT_FALSE(instrument.device().isEmpty());
  Brivel::setPortDevice(1, instrument.device());
  auto* control = new Brivel;
  Panel panel(control);
  ASSERT_NE(panel.view.rootObject(), nullptr);
  EXPECT_EQ(panel.get("shown").toString(), "0.00 nm");
  // At each announcement the panel already shows the announced value.
  int behind = 0;
  QObject::connect(control, &Brivel::DblMonoWaveLenChanged, control, [&](double nm) {
    behind += panel.get("shown").toString() != QString::number(nm, 'f', 2) + " nm";
  });
  control->OpenCom();
  ASSERT_TRUE(control->BlnMonConnectFlag()) << control->lastError().toStdString();
  const int updates_before = panel.get("updates").toInt();
  control->MonochromatorMoveTo(546.07);
  EXPECT_EQ(panel.get("shown").toString(), "546.07 nm");
  EXPECT_GT(panel.get("updates").toInt() - updates_before, 2);  // live, not only at the end
  EXPECT_EQ(behind, 0);
  // The control goes while the panel still binds to it: the bindings let go.
  delete control;
  QCoreApplication::processEvents();
  EXPECT_EQ(panel.get("shown").toString(), "no control");
  EXPECT_FALSE(panel.get("present").toBool());
}

TEST(QmlTest, TheExampleProgramShowsTheMovedWavelength) {
  SimulatedInstrument instrument;
  ASSERT_FALSE(instrument.device().isEmpty());
  QTemporaryDir dir;
  const ProgramRun run = run_program(QStringLiteral(BRIVEL_QML_HOST),
                              {"--move", "435.83", "--screenshot", dir.filePath("qml.png")},
                              instrument.device());
  ASSERT_EQ(run.exit_code, 0) << run.err.toStdString();
  const QRegularExpression said("QML shows 435\\.83 nm after (\\d+) updates");
  const QRegularExpressionMatch match = said.match(run.out);
  ASSERT_TRUE(match.hasMatch()) << run.out.toStdString();
  EXPECT_GT(match.captured(1).toInt(), 2);
  EXPECT_FALSE(QImage(dir.filePath("qml.png")).isNull());
}

}  // namespace
}  // namespace host_tests
