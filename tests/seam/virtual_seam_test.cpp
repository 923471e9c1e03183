// The platform seam in virtual time: the contract over VirtualPump and LoopbackPort,
// then what only virtual time promises: exact times, a clock that nothing can hold
// still, and the line's pacing at 9600 baud.

#include <gtest/gtest.h>

#include <limits>
#include <utility>

#include "seam/seam_contract.h"
#include "testkit/hex.h"
#include "testkit/loopback_port.h"
#include "testkit/virtual_pump.h"

namespace brivel::testkit {
namespace {

constexpr double kStart = 1000.0;
#define EXPECT_AT(actual, expected) EXPECT_NEAR(actual, expected, 1e-9)

// A far end that notes every byte with its time; it answers "y" with "y" 09 at once and
// vanishes at vanish_at.
struct RecordingFar : FarEnd {
  void receive(const Bytes& bytes, double now) override {
    for (std::uint8_t b : bytes) got.emplace_back(now, b);
    if (bytes == Bytes{'y'}) out.insert(out.end(), {0x79, 0x09});
  }
  Bytes take_output(double) override { return std::exchange(out, {}); }
  double next_due() const override { return gone ? std::numeric_limits<double>::infinity() : vanish_at; }
  void advance(double now) override { gone = gone || now >= vanish_at; }
  bool vanished() const override { return gone; }
  void port_reopened() override {}

  std::vector<std::pair<double, std::uint8_t>> got;
  std::size_t taken = 0;
  Bytes out;
  double vanish_at = std::numeric_limits<double>::infinity();
  bool gone = false;
};

struct VirtualPlatform {
  VirtualPlatform() {
    auto far = std::make_unique<RecordingFar>();
    far_ = far.get();
    port_.attach(std::move(far));
    port_.open();
  }
  EventPump& pump() { return pump_; }
  SerialPort& port() { return port_; }
  static std::unique_ptr<EventPump> make_pump() { return std::make_unique<VirtualPump>(kStart); }
  void send(const std::string& bytes) { port_.inject(Bytes(bytes.begin(), bytes.end())); }
  std::string received() {
    std::string got;
    for (; far_->taken < far_->got.size(); ++far_->taken) got += char(far_->got[far_->taken].second);
    return got;
  }
  void vanish() { port_.unplug_now(); }

  VirtualPump pump_{kStart};
  LoopbackPort port_{pump_};
  RecordingFar* far_ = nullptr;
};

}  // namespace
}  // namespace brivel::testkit

namespace brivel::seam {
INSTANTIATE_TYPED_TEST_SUITE_P(Virtual, SeamContract, testkit::VirtualPlatform);
}

namespace brivel::testkit {
namespace {

TEST(VirtualTime, EventsRunInTimeOrderTiesInSchedulingOrderAndAWaitInsideAnEventLetsLaterOnesRun) {
  VirtualPump pump(kStart);
  std::vector<std::string> log;
  const auto note = [&](const char* what) { return [&, what] { log.push_back(what); }; };
  pump.at(kStart + 0.005, note("late"));
  pump.at(kStart + 0.002, note("first"));
  pump.at(kStart + 0.002, note("second"));
  pump.at(kStart - 1.0, note("past"));  // a time gone by means now
  // "Hold the jog button until it is released": the press waits, the release runs
  // inside that wait; nothing runs twice.
  bool released = false;
  pump.after(0.001, [&] {
    log.push_back("press");
    while (!released) pump.wait_until(pump.now() + 0.1);
    log.push_back("pressed until release");
  });
  pump.after(0.300, [&] { log.push_back("release"), released = true; });
  pump.run_for(1.0);
  EXPECT_EQ(log, (std::vector<std::string>{"past", "press", "first", "second", "late", "release",
                                           "pressed until release"}));
  EXPECT_AT(pump.now(), kStart + 1.0);
  EXPECT_EQ(pump.pending(), 0u);
}

TEST(VirtualTime, YieldStepsAtMostAMillisecondWaitsJumpAndNothingHoldsTheClockStill) {
  VirtualPump pump(kStart);
  bool ran = false;
  pump.after(0.0014, [&] { ran = true; });
  pump.yield();  // nothing due within a millisecond: one millisecond passes
  EXPECT_AT(pump.now(), kStart + 0.001);
  pump.yield();  // an event sooner than a millisecond: the clock stops there
  EXPECT_TRUE(ran);
  EXPECT_AT(pump.now(), kStart + 0.0014);
  pump.after(2.0, [] {});
  pump.wait_until(pump.now() + 0.5);  // the deadline comes first
  EXPECT_AT(pump.now(), kStart + 0.5014);
  pump.wait_until(kStart + 60.0);  // the event comes first
  EXPECT_AT(pump.now(), kStart + 2.0014);
  // A deadline already passed, or none at all, still lets time pass.
  pump.wait_until(kStart);
  EXPECT_AT(pump.now(), kStart + 2.0024);
  pump.wait_until(std::numeric_limits<double>::infinity());
  EXPECT_AT(pump.now(), kStart + 2.0034);

  // One tick as the control waits for it, in a single step, exactly on time.
  auto timer = pump.make_timer();
  timer->set_tick_handler([&] { timer->set_enabled(false); });
  timer->set_interval(10);
  timer->set_enabled(true);
  const double due = pump.now() + 0.010;
  const long long before = pump.steps();
  while (timer->enabled()) pump.wait_until(due);
  EXPECT_EQ(pump.steps() - before, 1);
  EXPECT_AT(pump.now(), due);
  timer->set_enabled(true);
  timer.reset();  // destroying the timer cancels its tick
  EXPECT_EQ(pump.pending(), 0u);

  // An action that reschedules itself for the same instant runs once per yield; a
  // source that stays due and does nothing is left alone until the clock moves.
  int runs = 0;
  std::function<void()> again = [&] { ++runs, pump.after(0.0, again); };
  pump.after(0.0, again);
  pump.yield();
  pump.yield();
  EXPECT_EQ(runs, 2);
  struct Stuck : VirtualPump::Source {
    double next_due() const override { return 0.0; }
    void run_due(double) override { ++calls; }
    int calls = 0;
  } stuck;
  VirtualPump quiet(kStart);
  quiet.add_source(&stuck);
  for (int i = 0; i < 10; ++i) quiet.yield();
  EXPECT_AT(quiet.now(), kStart + 0.010);
  EXPECT_LE(stuck.calls, 20);  // at most once a pass
  quiet.remove_source(&stuck);
}

// Every receive event: its code, virtual time and the bytes the handler read.
class Loopback : public ::testing::Test {
 protected:
  Loopback() {
    port.set_receive_handler([this](int code) {
      codes.push_back(code);
      times.push_back(pump.now());
      packets.push_back(port.read_all());
    });
  }
  RecordingFar& attach_far() {
    auto far = std::make_unique<RecordingFar>();
    RecordingFar& ref = *far;
    port.attach(std::move(far));
    port.open();
    return ref;
  }

  VirtualPump pump{kStart};
  LoopbackPort port{pump};
  std::vector<int> codes;
  std::vector<double> times;
  std::vector<Bytes> packets;
};

TEST_F(Loopback, BytesTravelOneByteTimeApartQueueBehindEarlierOnesAndPeersAnswerAfterTheirDelay) {
  RecordingFar& far = attach_far();
  const double t = pump.now();
  port.write(bytes("ab"));
  port.write(bytes("c"));
  pump.run_for(0.01);
  ASSERT_EQ(far.got.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_AT(far.got[i].first, t + double(i + 1) * kByteTime);
    EXPECT_EQ(far.got[i].second, "abc"[i]);
  }
  port.set_threshold(1);
  const double u = pump.now();
  port.inject(unhex("01 02 03"));
  port.inject(unhex("04 05"));
  pump.run_for(0.01);
  ASSERT_EQ(codes.size(), 5u);
  for (std::size_t i = 0; i < 5; ++i) {
    EXPECT_AT(times[i], u + double(i + 1) * kByteTime);
    EXPECT_EQ(packets[i], Bytes{static_cast<std::uint8_t>(i + 1)});
  }
  // A scripted peer answers only its request, after its delay, behind what is on the line.
  port.when(bytes("y"), unhex("79 09"), 0.2);
  port.open();
  port.set_threshold(2);
  const double sent = pump.now();
  port.write(bytes("n"));  // no rule: no answer
  port.write(bytes("y"));
  pump.run_for(1.0);
  ASSERT_EQ(packets.size(), 6u);
  EXPECT_EQ(hex(packets[5]), "79 09");
  EXPECT_AT(times[5], sent + 2 * kByteTime + 0.2 + 2 * kByteTime);
}

}  // namespace
}  // namespace brivel::testkit
