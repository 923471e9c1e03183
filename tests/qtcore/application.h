#pragma once
// The Qt application the platform classes need, made once for the whole program.

#include <QCoreApplication>

namespace brivel::qt {

inline void need_application() {
  static int argc = 1;
  static char name[] = "brivel_qtcore_tests";
  static char* argv[] = {name, nullptr};
  if (!QCoreApplication::instance()) new QCoreApplication(argc, argv);
}

struct Application {
  Application() { need_application(); }
};

}  // namespace brivel::qt
