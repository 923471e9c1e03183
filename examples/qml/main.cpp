// brivel-qml-host: the Brivel control and, beside it, a QML panel that binds the
// control's wavelength live.
//
//   brivel-qml-host [--port N] [--move NM] [--screenshot FILE]
//
//   --port N           serial port number 1..16 (BRIVEL_COM<N> names its device)
//   --move NM          connects, then moves the grating to NM
//   --screenshot FILE  after the move, writes a picture of the window to FILE, prints
//                      what the QML panel shows and exits
//
// The control is handed to QML as a context property, "brivel"; QML reads its
// properties by name and calls its methods (brivel.MonochromatorMoveTo(546.07)).

#include <Brivel.h>

#include <QApplication>
#include <QEventLoop>
#include <QHBoxLayout>
#include <QQmlContext>
#include <QQmlError>
#include <QQuickItem>
#include <QQuickWidget>
#include <QQuickWindow>
#include <QTimer>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <cstdlib>

namespace {

struct Options {
  int port = 1;
  double move = std::nan("");
  QString screenshot;
  bool ok = true;
};

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const bool has_value = i + 1 < argc;
    if (std::strcmp(argv[i], "--port") == 0 && has_value) {
      o.port = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--move") == 0 && has_value) {
      o.move = std::atof(argv[++i]);
    } else if (std::strcmp(argv[i], "--screenshot") == 0 && has_value) {
      o.screenshot = QString::fromLocal8Bit(argv[++i]);
    } else {
      o.ok = false;
    }
  }
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = parse(argc, argv);
  if (!options.ok) {
    std::fprintf(stderr, "usage: brivel-qml-host [--port N] [--move NM] [--screenshot FILE]\n");
    return 2;
  }
  QApplication app(argc, argv);
  // Without a screen there is no GPU either: QML draws in software.
  if (QGuiApplication::platformName() == QLatin1String("offscreen"))
    QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);

  QWidget window;
  window.setWindowTitle("Brivel with a QML panel");
  auto* layout = new QHBoxLayout(&window);
  auto* control = new Brivel(&window);
  control->setIntUseCom(options.port);
  layout->addWidget(control, 0, Qt::AlignTop);

  auto* panel = new QQuickWidget(&window);
  panel->setResizeMode(QQuickWidget::SizeRootObjectToView);
  panel->setMinimumSize(340, 220);
  panel->rootContext()->setContextProperty("brivel", control);
  // The panel outlives nothing it binds to: it lets go of the control as it goes.
  QObject::connect(control, &QObject::destroyed, panel,
                   [panel] { panel->rootContext()->setContextProperty("brivel", nullptr); });
  panel->setSource(QUrl("qrc:/WavelengthPanel.qml"));
  if (panel->status() == QQuickWidget::Error) {
    for (const QQmlError& error : panel->errors())
      std::fprintf(stderr, "brivel-qml-host: %s\n", qPrintable(error.toString()));
    return 1;
  }
  layout->addWidget(panel, 1);
  window.show();

  if (std::isnan(options.move) && options.screenshot.isEmpty()) return app.exec();

  int status = 0;
  QTimer::singleShot(0, &window, [&] {
    if (!std::isnan(options.move)) {
      control->OpenCom();
      if (!control->BlnMonConnectFlag()) {
        std::fprintf(stderr, "brivel-qml-host: not connected: %s\n", qPrintable(control->lastError()));
        status = 1;
      } else {
        control->MonochromatorMoveTo(options.move);
        if (!control->lastError().isEmpty()) {
          std::fprintf(stderr, "brivel-qml-host: %s\n", qPrintable(control->lastError()));
          status = 1;
        }
      }
    }
    if (!options.screenshot.isEmpty()) {
      // The panel draws its next frame from the event loop: wait for it (at most 2 s).
      QEventLoop frame;
      QObject::connect(panel->quickWindow(), &QQuickWindow::afterRendering, &frame,
                       &QEventLoop::quit, Qt::QueuedConnection);
      QTimer::singleShot(2000, &frame, &QEventLoop::quit);
      panel->quickWindow()->update();
      frame.exec();
      QCoreApplication::processEvents();
      if (!window.grab().save(options.screenshot, "PNG")) {
        std::fprintf(stderr, "brivel-qml-host: cannot write %s\n", qPrintable(options.screenshot));
        status = 1;
      }
      const QQuickItem* root = panel->rootObject();
      std::printf("brivel-qml-host: QML shows %s after %d updates\n",
                  qPrintable(root->property("shown").toString()), root->property("updates").toInt());
    }
    app.exit(status);
  });
  return app.exec();
}
