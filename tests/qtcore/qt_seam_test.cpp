// The seam contract over QtEventPump and QtSerialPort on a pty, then the Qt port's own: the device
// unwatched while the control waits, the host's event loop, a device queue that fills.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "qt/core/qt_platform.h"
#include "qtcore/application.h"
#include "seam/seam_contract.h"
#include "testkit/pty_peer.h"

namespace brivel::qt {
namespace {

constexpr int kPortNumber = 16;

// A QtSerialPort on port 16, which the test points at its own pseudo-terminal.
struct QtPlatform {
  QtPlatform() {
    qunsetenv("BRIVEL_COM16");
    set_port_device(kPortNumber, QString::fromStdString(far.device()));
    port_.set_port_number(kPortNumber);
    port_.open();
  }
  ~QtPlatform() {
    port_.close();
    set_port_device(kPortNumber, QString());
  }
  EventPump& pump() { return pump_; }
  SerialPort& port() { return port_; }
  static std::unique_ptr<EventPump> make_pump() { return std::make_unique<QtEventPump>(); }
  void send(const std::string& bytes) { ASSERT_TRUE(far.send(bytes)); }
  std::string received() { return far.take(); }
  void vanish() { far.hang_up(); }
  Application application;
  testkit::PtyPeer far;
  QtEventPump pump_;
  QtSerialPort port_;
};

}  // namespace
}  // namespace brivel::qt

namespace brivel::seam {
INSTANTIATE_TYPED_TEST_SUITE_P(Qt, SeamContract, qt::QtPlatform);
}

namespace brivel::qt {
namespace {

class QtPortTest : public seam::SeamContract<QtPlatform> {
 protected:
  testkit::PtyPeer& far() { return platform.far; }
  // The host idles in its own loop, nobody calls the pump, until `done` or 5 s.
  template <class Done>
  bool host_loop_until(Done done) {
    QEventLoop host;
    QTimer check, bound;
    QObject::connect(&check, &QTimer::timeout, [&] {
      if (done()) host.quit();
    });
    QObject::connect(&bound, &QTimer::timeout, &host, &QEventLoop::quit);
    check.start(1);
    bound.setSingleShot(true);
    bound.start(5000);
    host.exec();
    return done();
  }
};

TEST_F(QtPortTest, AReplyArrivingInAWaitIsTakenAsTheWaitEndsWithoutWakingIt) {
  port().set_threshold(5);
  pump().yield();  // the control is inside an operation from here
  std::thread line = far().send_later(std::string("w\x00\x01\x02\x03", 5), std::chrono::milliseconds(5));
  const double deadline = pump().now() + 0.03;
  int passes = 0;
  while (pump().now() < deadline) {
    pump().wait_until(deadline);
    ++passes;
    EXPECT_TRUE(packets.empty() || pump().now() >= deadline);
  }
  line.join();
  EXPECT_EQ(passes, 1);  // the reply's bytes did not end the sleep, but its event ran before the wait returned
  EXPECT_EQ(packets, std::vector<std::string>{std::string("w\x00\x01\x02\x03", 5)});
}

TEST_F(QtPortTest, BytesReadByTheHostsLoopAndBytesTakenInAWaitKeepTheirOrder) {
  port().set_threshold(6);
  // The host's loop runs: the device is watched, QSerialPort reads what comes.
  platform.send("OK");
  ASSERT_TRUE(host_loop_until([&] { return port().bytes_waiting() == 2; }));
  EXPECT_TRUE(packets.empty());
  // Then an operation waits, and the rest comes meanwhile.
  std::thread line = far().send_later("KK\r!", std::chrono::milliseconds(2));
  ASSERT_TRUE(pump_until([&] { return !packets.empty(); }));
  line.join();
  EXPECT_EQ(packets, std::vector<std::string>{"OKKK\r!"});
}

TEST_F(QtPortTest, TheHostsOwnLoopTicksTimersAndReadsBytesAsTheyCome) {
  port().set_threshold(3);
  pump_for(0.01);  // an operation ran and ended
  auto timer = pump().make_timer();
  int ticks = 0;
  timer->set_tick_handler([&] { ++ticks; });
  timer->set_interval(10);
  timer->set_enabled(true);
  std::thread line = far().send_later("abc", std::chrono::milliseconds(5));
  EXPECT_TRUE(host_loop_until([&] { return !packets.empty() && ticks >= 3; }));
  line.join();
  EXPECT_EQ(packets, std::vector<std::string>{"abc"});
}

TEST_F(QtPortTest, WritesArriveWholeAndInOrderEvenWhenTheDeviceQueueFills) {
  // Far more than the pty holds while nobody reads: the rest is queued, and nothing overtakes it.
  std::string big(512 * 1024, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
  port().write(Bytes(big.begin(), big.end()));
  port().write({'k'});
  std::string got;
  ASSERT_TRUE(pump_until([&] {
    got += far().take();
    return got.size() >= big.size() + 1;
  }, 10.0));
  EXPECT_TRUE(got == big + 'k') << got.size() << " bytes";
}

}  // namespace
}  // namespace brivel::qt
