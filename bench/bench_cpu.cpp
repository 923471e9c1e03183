// bench_cpu: how much CPU the control uses while it waits for the instrument.
//
// Runs the Brivel QWidget against the simulated controller on a pseudo-terminal (served
// from a thread of this process) and prints, for the identification (OpenCom), a
// move of about 5 s and an idle second, the wall time against the CPU time of the GUI
// thread (the control itself) and of the whole process (the simulator's thread too).
// The control's waits sleep in the event loop, so the CPU share should stay small.
//
//   bench_cpu [--seconds S]     S: the length of the move (default 5)
//
// Without a display it uses the offscreen platform.

#include <Brivel.h>
#include <sys/resource.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <cstdio>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "pty_server.h"

namespace {

// The simulated instrument: 0.00625 nm per step, its motor at 40 steps/s per unit of
// speed, so 10000 steps/s (62.5 nm/s) at the top speed of 250.
constexpr double kStepsPerSpeed = 40.0;
constexpr double kNmPerSecond = 250 * kStepsPerSpeed * 0.00625;

double cpu_seconds(int who) {
  rusage usage{};
  getrusage(who, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Figures {
  double wall, gui_cpu, process_cpu;
};

Figures measure(const std::function<void()>& phase) {
  QElapsedTimer wall;
  const double gui = cpu_seconds(RUSAGE_THREAD);
  const double process = cpu_seconds(RUSAGE_SELF);
  wall.start();
  phase();
  return {static_cast<double>(wall.nsecsElapsed()) / 1e9, cpu_seconds(RUSAGE_THREAD) - gui,
          cpu_seconds(RUSAGE_SELF) - process};
}

void print(const char* phase, const Figures& f) {
  std::printf("%-34s %8.3f %12.3f %14.3f %9.1f %%\n", phase, f.wall, f.gui_cpu, f.process_cpu,
              f.wall > 0 ? 100.0 * f.gui_cpu / f.wall : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 5.0;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
      seconds = std::atof(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: bench_cpu [--seconds S]\n");
      return 2;
    }
  }
  if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
      qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);

  brivel::sim::PtyServer server;
  server.with_controller([](brivel::sim::Controller& c) { c.motor().steps_per_speed = kStepsPerSpeed; });
  std::string error;
  if (!server.start_background(error)) {
    std::fprintf(stderr, "bench_cpu: cannot start the simulator: %s\n", error.c_str());
    return 1;
  }
  Brivel::setPortDevice(1, QString::fromStdString(server.device()));

  Brivel control;
  control.show();
  QCoreApplication::processEvents();

  std::printf("bench_cpu: simulated controller on %s, motor %.1f nm/s\n", server.device().c_str(),
              kNmPerSecond);
  std::printf("%-34s %8s %12s %14s %11s\n", "phase", "wall s", "GUI CPU s", "process CPU s",
              "GUI CPU");

  const Figures identify = measure([&] { control.OpenCom(); });
  if (!control.BlnMonConnectFlag()) {
    std::fprintf(stderr, "bench_cpu: OpenCom did not connect\n");
    return 1;
  }
  print("identification (OpenCom)", identify);

  const double from = control.DblMonoWaveLen();
  const double to = from + seconds * kNmPerSecond;
  char label[64];
  std::snprintf(label, sizeof label, "move %.2f -> %.2f nm", from, to);
  const Figures move = measure([&] { control.MonochromatorMoveTo(to); });
  print(label, move);
  if (std::abs(control.DblMonoWaveLen() - to) > 0.01)
    std::fprintf(stderr, "bench_cpu: the move ended at %.2f nm\n", control.DblMonoWaveLen());

  const Figures idle = measure([] {
    QEventLoop loop;
    QTimer::singleShot(1000, &loop, &QEventLoop::quit);
    loop.exec();
  });
  print("idle in the event loop (1 s)", idle);
  return control.lastError().isEmpty() ? 0 : 1;
}
