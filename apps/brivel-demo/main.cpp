// brivel-demo: a host window that embeds the Brivel control.
//
//   brivel-demo [--simulate] [--tour DIR]
//   brivel-demo --version
//
//   --simulate  serves the simulated controller on a pseudo-terminal inside this
//               process and points port 1 at it
//   --tour DIR  runs a scripted tour (implies --simulate) and writes a picture of each
//               step into DIR, then exits (status 0 when every step worked)
//
// Without a display (neither DISPLAY nor WAYLAND_DISPLAY, and no QT_QPA_PLATFORM
// chosen) the program runs the tour on the offscreen platform into ./brivel-demo-tour
// and prints where the pictures are.

#include <Brivel.h>
#include <brivel_version.h>

#include <QApplication>
#include <QDir>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "host_window.h"
#include "simulator.h"
#include "tour.h"

namespace {

struct Options {
  bool simulate = false;
  QString tour;
  bool ok = true;
};

Options parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--simulate") == 0) {
      options.simulate = true;
    } else if (std::strcmp(argv[i], "--tour") == 0 && i + 1 < argc) {
      options.tour = QString::fromLocal8Bit(argv[++i]);
      options.simulate = true;
    } else if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("brivel-demo %s\n", BRIVEL_VERSION);
      std::exit(0);
    } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      options.ok = false;
    } else {
      std::fprintf(stderr, "brivel-demo: unknown option %s\n", argv[i]);
      options.ok = false;
    }
  }
  return options;
}

bool have_display() {
  return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
         !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
}

}  // namespace

int main(int argc, char** argv) {
  Options options = parse(argc, argv);
  if (!options.ok) {
    std::fprintf(stderr, "usage: brivel-demo [--simulate] [--tour DIR] | --version\n");
    return 2;
  }
  if (!have_display()) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    if (options.tour.isEmpty()) options.tour = "brivel-demo-tour";
    options.simulate = true;
    std::printf("brivel-demo: no display; running the tour offscreen\n");
  }
  QApplication app(argc, argv);

  std::unique_ptr<DemoSimulator> simulator;
  if (options.simulate) {
    simulator = std::make_unique<DemoSimulator>();
    std::string error;
    if (!simulator->start(error)) {
      std::fprintf(stderr, "brivel-demo: cannot start the simulator: %s\n", error.c_str());
      return 1;
    }
    Brivel::setPortDevice(1, simulator->device());
    std::printf("brivel-demo: simulated controller on %s (port 1)\n", qPrintable(simulator->device()));
  }

  HostWindow window;
  window.show();
  if (options.tour.isEmpty()) return app.exec();

  int status = 1;
  QTimer::singleShot(0, &window, [&] {
    status = run_tour(window, options.tour);
    app.quit();
  });
  app.exec();
  std::printf("brivel-demo: tour pictures in %s\n", qPrintable(QDir(options.tour).absolutePath()));
  return status;
}
