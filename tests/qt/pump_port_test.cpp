// The Qt event pump and serial port on their own: Timer1's ticks and the waits' wake-up,
// and the receive event over a pseudo-terminal whose far end the test drives byte by
// byte (the way a reply trickles in at 9600 baud).

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/failure.h"
#include "qt/core/qt_platform.h"

namespace brivel::qt_tests {
namespace {

using brivel::qt::QtEventPump;
using brivel::qt::QtSerialPort;

// Runs the pump until `done` or `seconds` have passed; false when time ran out.
template <class Done>
bool pump_until(QtEventPump& pump, Done done, double seconds = 2.0) {
  const double until = pump.now() + seconds;
  while (!done()) {
    if (pump.now() > until) return false;
    pump.wait_until(std::min(until, pump.now() + 0.005));
  }
  return true;
}

void pump_for(QtEventPump& pump, double seconds) {
  const double until = pump.now() + seconds;
  while (pump.now() < until) pump.wait_until(until);
}

// ---- the pump's timers and waits ------------------------------------------------------

TEST(QtEventPumpTest, ATimerTicksAfterItsIntervalAgainEveryIntervalAndNotOnceDisabled) {
  QtEventPump pump;
  auto timer = pump.make_timer();
  std::vector<double> ticks;
  timer->set_tick_handler([&] { ticks.push_back(pump.now()); });
  timer->set_interval(10);
  const double start = pump.now();
  timer->set_enabled(true);
  ASSERT_TRUE(pump_until(pump, [&] { return ticks.size() >= 3; }));
  timer->set_enabled(false);
  // Never early: the k-th tick comes k intervals after the start at the soonest.
  for (std::size_t k = 0; k < 3; ++k) EXPECT_GE(ticks[k] - start, 0.010 * double(k + 1)) << k;
  const std::size_t seen = ticks.size();
  pump_for(pump, 0.04);
  EXPECT_EQ(ticks.size(), seen);
  EXPECT_FALSE(timer->enabled());
}

TEST(QtEventPumpTest, EnablingOrANewIntervalRestartsTheTimer) {
  QtEventPump pump;
  auto timer = pump.make_timer();
  double ticked = -1;
  timer->set_tick_handler([&] {
    ticked = pump.now();
    timer->set_enabled(false);
  });
  timer->set_interval(200);
  timer->set_enabled(true);
  pump_for(pump, 0.02);
  const double restarted = pump.now();
  timer->set_interval(30);  // running: counts again from here
  ASSERT_TRUE(pump_until(pump, [&] { return ticked >= 0; }));
  EXPECT_GE(ticked - restarted, 0.030);
  EXPECT_LT(ticked - restarted, 0.200);  // not the old interval
  ticked = -1;
  timer->set_enabled(true);
  pump_for(pump, 0.01);
  const double enabled_again = pump.now();
  timer->set_enabled(true);  // enabling an enabled timer starts its interval over
  ASSERT_TRUE(pump_until(pump, [&] { return ticked >= 0; }));
  EXPECT_GE(ticked - enabled_again, 0.030);
}

TEST(QtEventPumpTest, AWaitSleepsUntilItsDeadlineOrUntilAnEventRuns) {
  QtEventPump pump;
  // Nothing happens: the wait returns at its deadline, after a handful of passes at
  // most (a wait that spun would come back thousands of times).
  const double deadline = pump.now() + 0.05;
  int passes = 0;
  while (pump.now() < deadline) {
    pump.wait_until(deadline);
    ++passes;
  }
  EXPECT_LE(passes, 3);
  // An event ends the wait long before its deadline.
  bool ran = false;
  QTimer::singleShot(5, [&] { ran = true; });
  const double start = pump.now();
  while (!ran && pump.now() < start + 5.0) pump.wait_until(start + 5.0);
  EXPECT_TRUE(ran);
  EXPECT_LT(pump.now() - start, 2.5);
  // A deadline already past still lets what is pending run.
  bool pending_ran = false;
  QMetaObject::invokeMethod(QCoreApplication::instance(), [&] { pending_ran = true; }, Qt::QueuedConnection);
  pump.wait_until(pump.now() - 1.0);
  EXPECT_TRUE(pending_ran);
}

TEST(QtEventPumpTest, TimersTickFromTheHostsOwnEventLoopAndATickMayChangeTheTimers) {
  QtEventPump pump;
  auto repeating = pump.make_timer();
  int repeats = 0;
  repeating->set_tick_handler([&] { ++repeats; });
  repeating->set_interval(10);
  repeating->set_enabled(true);
  // Two timers due together; the first one's tick destroys the second and starts a
  // new one.
  auto first = pump.make_timer();
  auto second = pump.make_timer();
  std::unique_ptr<Timer> created;
  int second_ticks = 0, created_ticks = 0;
  first->set_tick_handler([&] {
    first->set_enabled(false);
    second.reset();
    created = pump.make_timer();
    created->set_tick_handler([&] { ++created_ticks; });
    created->set_interval(5);
    created->set_enabled(true);
  });
  second->set_tick_handler([&] { ++second_ticks; });
  for (Timer* t : {first.get(), second.get()}) t->set_interval(15);
  first->set_enabled(true);
  second->set_enabled(true);
  QEventLoop host;  // the host idles in its own loop; nobody calls the pump
  QTimer::singleShot(120, &host, &QEventLoop::quit);
  host.exec();
  EXPECT_GE(repeats, 5);
  EXPECT_EQ(second, nullptr);
  EXPECT_LE(second_ticks, 1);  // ticked before the first, or never
  EXPECT_GE(created_ticks, 3);
}

TEST(QtEventPumpTest, ATimerOutlivingItsPumpIsHarmless) {
  auto pump = std::make_unique<QtEventPump>();
  auto timer = pump->make_timer();
  timer->set_interval(10);
  timer->set_enabled(true);
  pump.reset();
  timer->set_enabled(false);
  timer->set_enabled(true);
  EXPECT_TRUE(timer->enabled());
}

// ---- the serial port over a pseudo-terminal ---------------------------------------------

// The far end of a pseudo-terminal: what the test sends arrives at the port, what the
// port writes the test receives.
class FarEnd {
 public:
  FarEnd() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return;
    termios tio{};
    ::tcgetattr(master_, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(master_, TCSANOW, &tio);
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    device_ = ::ptsname(master_);
  }
  ~FarEnd() {
    if (master_ >= 0) ::close(master_);
  }
  const std::string& device() const { return device_; }
  void send(const std::string& bytes) { ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), ssize_t(bytes.size())); }
  // Sends `bytes` one by one from another thread, `gap` apart, after `delay`: a reply
  // arriving while the test's thread sleeps in a wait.
  std::thread send_later(std::string bytes, std::chrono::milliseconds delay,
                         std::chrono::microseconds gap = std::chrono::microseconds(1040)) {
    return std::thread([this, bytes, delay, gap] {
      std::this_thread::sleep_for(delay);
      for (char byte : bytes) {
        (void)!::write(master_, &byte, 1);
        std::this_thread::sleep_for(gap);
      }
    });
  }
  void hang_up() {
    ::close(master_);
    master_ = -1;
  }
  // Everything the port has written so far (without waiting).
  std::string take() {
    std::string got;
    char buffer[4096];
    for (ssize_t n; (n = ::read(master_, buffer, sizeof buffer)) > 0;) got.append(buffer, std::size_t(n));
    return got;
  }

 private:
  int master_ = -1;
  std::string device_;
};

constexpr int kPortNumber = 16;

class QtSerialPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(far_.device().empty());
    qunsetenv("BRIVEL_COM16");
    qt::set_port_device(kPortNumber, QString::fromStdString(far_.device()));
    port_.set_port_number(kPortNumber);
    port_.set_receive_handler([this](int code) {
      if (code != kComEvReceive) return;
      const Bytes got = port_.read_all();
      packets_.emplace_back(got.begin(), got.end());
    });
    port_.open();
  }
  void TearDown() override {
    port_.close();
    qt::set_port_device(kPortNumber, QString());
  }

  FarEnd far_;
  QtEventPump pump_;
  QtSerialPort port_;
  std::vector<std::string> packets_;
};

TEST_F(QtSerialPortTest, AReplyTricklingInIsOneReceiveEventOnceTheThresholdIsReached) {
  port_.set_threshold(5);
  for (const char* byte : {"w", "\x01", "\x02", "\x03"}) {
    far_.send(std::string(byte, 1));
    pump_for(pump_, 0.003);
  }
  pump_for(pump_, 0.02);
  EXPECT_TRUE(packets_.empty());
  far_.send("\x04");
  ASSERT_TRUE(pump_until(pump_, [&] { return !packets_.empty(); }));
  pump_for(pump_, 0.01);
  ASSERT_EQ(packets_.size(), 1u);
  EXPECT_EQ(packets_[0], std::string("w\x01\x02\x03\x04"));
  // The next reply under the same threshold works alike.
  far_.send("w9876");
  ASSERT_TRUE(pump_until(pump_, [&] { return packets_.size() == 2; }));
  EXPECT_EQ(packets_[1], "w9876");
}

TEST_F(QtSerialPortTest, BytesBelowTheThresholdAreCountedAndReadWhenAskedFor) {
  // The tail of an acknowledgement left below the threshold: no event, but whoever
  // asks sees it waiting and can take it.
  port_.set_threshold(5);
  far_.send("OK\r");
  pump_for(pump_, 0.03);
  EXPECT_TRUE(packets_.empty());
  EXPECT_EQ(port_.bytes_waiting(), 3);
  pump_for(pump_, 0.01);
  EXPECT_EQ(port_.bytes_waiting(), 3);
  const Bytes tail = port_.read_all();
  EXPECT_EQ(std::string(tail.begin(), tail.end()), "OK\r");
  EXPECT_EQ(port_.bytes_waiting(), 0);
  // And the threshold holds again for what follows.
  far_.send("v");
  pump_for(pump_, 0.02);
  EXPECT_TRUE(packets_.empty());
  far_.send("1234");
  ASSERT_TRUE(pump_until(pump_, [&] { return !packets_.empty(); }));
  EXPECT_EQ(packets_[0], "v1234");
}

TEST_F(QtSerialPortTest, LoweringTheThresholdRaisesTheEventForBytesAlreadyWaiting) {
  port_.set_threshold(5);
  far_.send("g\x01");
  pump_for(pump_, 0.03);
  EXPECT_TRUE(packets_.empty());
  port_.set_threshold(2);
  ASSERT_TRUE(pump_until(pump_, [&] { return !packets_.empty(); }));
  EXPECT_EQ(packets_[0], std::string("g\x01"));
}

TEST_F(QtSerialPortTest, AThresholdOfZeroRaisesNoEventButTheBytesAreCounted) {
  port_.set_threshold(0);
  far_.send("abc");
  pump_for(pump_, 0.03);
  EXPECT_TRUE(packets_.empty());
  EXPECT_EQ(port_.bytes_waiting(), 3);
  port_.set_threshold(3);
  ASSERT_TRUE(pump_until(pump_, [&] { return !packets_.empty(); }));
  EXPECT_EQ(packets_[0], "abc");
}

TEST_F(QtSerialPortTest, WritesArriveWholeAndInOrderEvenWhenTheDeviceQueueFills) {
  port_.write({'f', '\r'});
  pump_for(pump_, 0.01);
  EXPECT_EQ(far_.take(), "f\r");
  // Far more than the pseudo-terminal holds while nobody reads: the rest is queued,
  // and a command written after it must not overtake it.
  std::string big(512 * 1024, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
  port_.write(Bytes(big.begin(), big.end()));
  port_.write({'k'});
  std::string got;
  ASSERT_TRUE(pump_until(
      pump_, [&] {
        got += far_.take();
        return got.size() >= big.size() + 1;
      },
      10.0));
  ASSERT_EQ(got.size(), big.size() + 1);
  EXPECT_TRUE(got.compare(0, big.size(), big) == 0);
  EXPECT_EQ(got.back(), 'k');
}

TEST_F(QtSerialPortTest, AReplyArrivingInAWaitIsTakenAsTheWaitEndsWithoutWakingIt) {
  port_.set_threshold(5);
  pump_.yield();  // the control is inside an operation from here
  std::thread line = far_.send_later(std::string("w\x00\x01\x02\x03", 5), std::chrono::milliseconds(5));
  const double deadline = pump_.now() + 0.03;
  int passes = 0;
  while (pump_.now() < deadline) {
    pump_.wait_until(deadline);
    ++passes;
    EXPECT_TRUE(packets_.empty() || pump_.now() >= deadline);
  }
  line.join();
  EXPECT_EQ(passes, 1);  // the reply's bytes did not end the sleep
  ASSERT_EQ(packets_.size(), 1u);  // but its receive event ran before the wait returned
  EXPECT_EQ(packets_[0], std::string("w\x00\x01\x02\x03", 5));
}

TEST_F(QtSerialPortTest, BytesReadWhileIdleAndBytesTakenInAWaitKeepTheirOrder) {
  port_.set_threshold(6);
  // The host's loop runs: the device is watched, QSerialPort reads what comes.
  far_.send("OK");
  QEventLoop host;
  QTimer::singleShot(30, &host, &QEventLoop::quit);
  host.exec();
  EXPECT_TRUE(packets_.empty());
  EXPECT_EQ(port_.bytes_waiting(), 2);
  // Then an operation waits, and the rest comes meanwhile.
  std::thread line = far_.send_later("KK\r!", std::chrono::milliseconds(2));
  const double deadline = pump_.now() + 0.03;
  while (pump_.now() < deadline && packets_.empty()) pump_.wait_until(deadline);
  line.join();
  ASSERT_EQ(packets_.size(), 1u);
  EXPECT_EQ(packets_[0], "OKKK\r!");
}

TEST_F(QtSerialPortTest, OnceTheHostsLoopRunsAgainBytesAreReadAsTheyCome) {
  port_.set_threshold(3);
  pump_for(pump_, 0.01);  // an operation ran and ended
  std::thread line = far_.send_later("abc", std::chrono::milliseconds(5));
  QEventLoop host;
  double seen = -1;
  const double start = pump_.now();
  QTimer check;
  QObject::connect(&check, &QTimer::timeout, [&] {
    if (seen < 0 && !packets_.empty()) seen = pump_.now() - start;
  });
  check.start(1);
  QTimer::singleShot(200, &host, &QEventLoop::quit);
  host.exec();
  line.join();
  ASSERT_EQ(packets_.size(), 1u);
  EXPECT_EQ(packets_[0], "abc");
  EXPECT_GE(seen, 0.0);
  EXPECT_LT(seen, 0.15);  // during the host's loop, not only at the next operation
}

TEST_F(QtSerialPortTest, AFarEndThatGoesAwayDuringAWaitIsReportedWhenItEnds) {
  port_.set_threshold(5);
  pump_.yield();
  std::thread gone([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    far_.hang_up();
  });
  pump_for(pump_, 0.03);
  gone.join();
  ASSERT_TRUE(pump_until(pump_, [&] { return !port_.is_open(); }, 1.0));
  EXPECT_THROW(port_.write({'w'}), RuntimeFailure);
}

TEST_F(QtSerialPortTest, AReopenedPortKeepsToTheThreshold) {
  port_.set_threshold(3);
  port_.close();
  port_.open();
  port_.set_threshold(3);
  far_.send("n");
  pump_for(pump_, 0.02);
  EXPECT_TRUE(packets_.empty());
  far_.send("09");
  ASSERT_TRUE(pump_until(pump_, [&] { return !packets_.empty(); }));
  EXPECT_EQ(packets_[0], "n09");
}

}  // namespace
}  // namespace brivel::qt_tests
