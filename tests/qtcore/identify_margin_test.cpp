// Identification on the real event pump and serial port, against the simulated
// controller on a pseudo-terminal: a host thread held up for longer than the reply
// window (a loaded machine) still takes the reply that came in time.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <chrono>
#include <thread>

#include "control/control.h"
#include "pty_server.h"
#include "qt/core/port_map.h"
#include "qt/core/qt_platform.h"
#include "testkit/scripted_dialogs.h"

namespace brivel::qt {
namespace {

TEST(IdentifyMargin, AHostHeldUpPastTheReplyWindowStillTakesTheReply) {
  static int argc = 1;
  static char name[] = "brivel_qtcore_tests";
  static char* argv[] = {name, nullptr};
  static QCoreApplication* app = QCoreApplication::instance() ? nullptr : new QCoreApplication(argc, argv);
  (void)app;
  sim::PtyServer server;
  std::string error;
  ASSERT_TRUE(server.start_background(error)) << error;
  qunsetenv("BRIVEL_COM8");
  set_port_device(8, QString::fromStdString(server.device()));

  QtEventPump pump;
  testkit::ScriptedDialogs dialogs;
  Control control(pump, dialogs, std::make_unique<QtSerialPort>());
  std::int16_t port = 8;
  control.setIntUseCom(port);
  // Each question in turn: the thread stops for 0.6 s in the first tick of its wait,
  // while the reply arrives; the wait reads it only after its window has passed.
  for (int held = 0; held < 8; ++held) {
    int ticks = 0;
    control.set_wait_hook([&] {
      if (ticks++ == held * 3) std::this_thread::sleep_for(std::chrono::milliseconds(600));
    });
    control.OpenCom();
    EXPECT_EQ(control.BlnMonConnectFlag(), kTrue) << "held up in tick " << held * 3;
    EXPECT_TRUE(dialogs.shown().empty()) << dialogs.last().text;
    control.set_wait_hook(nullptr);
    control.CloseCom();
    dialogs.clear();
  }
  server.stop();
  server.join();
  set_port_device(8, {});
}

}  // namespace
}  // namespace brivel::qt
