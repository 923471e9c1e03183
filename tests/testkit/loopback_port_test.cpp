// The loopback port: pacing at 9600 baud in both directions, the receive event and
// its threshold, scripted peers, closing and a device that vanishes.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <utility>
#include <vector>

#include "platform/failure.h"
#include "testkit/hex.h"
#include "testkit/loopback_port.h"

namespace brivel::testkit {
namespace {

#define EXPECT_AT(actual, expected) EXPECT_NEAR(actual, expected, 1e-9)

void expect_port_failure(const std::function<void()>& action) {
  try {
    action();
    ADD_FAILURE() << "no failure";
  } catch (const RuntimeFailure& failure) {
    EXPECT_EQ(failure.reason(), FailureReason::PortFailure);
  }
}

// A far end that notes every byte with its time and answers "y" with "y" 09 at once.
struct FakeFar : FarEnd {
  void receive(const Bytes& bytes, double now) override {
    for (std::uint8_t b : bytes) got.emplace_back(now, b);
    if (bytes == Bytes{'y'}) out.insert(out.end(), {0x79, 0x09});
  }
  Bytes take_output(double) override { return std::exchange(out, {}); }
  double next_due() const override { return gone ? 1e300 : vanish_at; }
  void advance(double now) override { gone = gone || now >= vanish_at; }
  bool vanished() const override { return gone; }
  void port_reopened() override { ++reopened; }

  std::vector<std::pair<double, std::uint8_t>> got;
  Bytes out;
  double vanish_at = 1e300;
  bool gone = false;
  int reopened = 0;
};

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
  FakeFar& attach_fake() {
    auto far = std::make_unique<FakeFar>();
    FakeFar& ref = *far;
    port.attach(std::move(far));
    port.open();
    return ref;
  }

  VirtualPump pump{1000.0};
  LoopbackPort port{pump};
  std::vector<int> codes;
  std::vector<double> times;
  std::vector<Bytes> packets;
};

// The event comes from the pump when a byte arrives or the threshold changes and
// enough bytes wait; never from inside set_threshold(), never with threshold 0.
TEST_F(Loopback, TheThresholdDecidesWhenTheReceiveEventComes) {
  port.when(bytes("w"), unhex("77 00 00 10 00"));
  port.open();
  port.write(bytes("w"));
  pump.run_for(0.05);
  EXPECT_TRUE(codes.empty());
  EXPECT_EQ(port.bytes_waiting(), 5);

  port.set_threshold(6);
  pump.run_for(0.05);
  EXPECT_TRUE(codes.empty());
  const double injected = pump.now();
  port.inject(unhex("4F"));
  pump.run_for(0.05);
  ASSERT_EQ(codes.size(), 1u);
  EXPECT_EQ(hex(packets[0]), "77 00 00 10 00 4F");
  EXPECT_AT(times[0], injected + kByteTime);

  port.inject(unhex("01 02 03"));
  pump.run_for(0.01);
  port.set_threshold(3);
  EXPECT_EQ(codes.size(), 1u);
  pump.yield();
  ASSERT_EQ(codes.size(), 2u);
  EXPECT_EQ(hex(packets[1]), "01 02 03");
}

TEST_F(Loopback, AScriptedPeerAnswersOnlyItsRequestAfterItsDelay) {
  port.when(bytes("y"), unhex("79 09"), 0.2);
  port.open();
  port.set_threshold(2);
  const double sent = pump.now();
  port.write(bytes("n"));  // no rule: no answer
  port.write(bytes("y"));  // queued behind "n" on the line
  pump.run_for(1.0);
  ASSERT_EQ(codes, std::vector<int>{kComEvReceive});
  EXPECT_EQ(hex(packets[0]), "79 09");
  EXPECT_AT(times[0], sent + 2 * kByteTime + 0.2 + 2 * kByteTime);
  EXPECT_EQ(port.written().size(), 2u);
}

TEST_F(Loopback, BytesTravelOneAtATimeAndQueueBehindEarlierOnes) {
  FakeFar& far = attach_fake();
  const double t = pump.now();
  port.write(bytes("ab"));
  port.write(bytes("c"));
  pump.run_for(0.01);
  ASSERT_EQ(far.got.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_AT(far.got[i].first, t + (i + 1) * kByteTime);
    EXPECT_EQ(far.got[i].second, "abc"[i]);
  }

  port.set_threshold(1);
  const double u = pump.now();
  port.inject(unhex("01 02 03"));
  port.inject(unhex("04 05"));
  pump.run_for(0.01);
  ASSERT_EQ(codes.size(), 5u);
  for (std::size_t i = 0; i < 5; ++i) {
    EXPECT_AT(times[i], u + (i + 1) * kByteTime);
    EXPECT_EQ(packets[i], Bytes{static_cast<std::uint8_t>(i + 1)});
  }
}

TEST_F(Loopback, ClosingDropsBytesInFlightAndTellsTheFarEnd) {
  FakeFar& far = attach_fake();
  port.set_threshold(2);
  port.write(bytes("y"));
  pump.run_for(2.5 * kByteTime);  // the first reply byte is in, the second on the line
  EXPECT_EQ(port.bytes_waiting(), 1);
  port.write(bytes("y"));  // still on its way when the port closes
  port.close();
  EXPECT_EQ(port.bytes_waiting(), 0);
  expect_port_failure([&] { port.write(bytes("y")); });

  port.open();
  EXPECT_EQ(far.reopened, 1);
  pump.run_for(0.1);
  EXPECT_TRUE(codes.empty());
  EXPECT_EQ(port.bytes_waiting(), 0);
  EXPECT_EQ(far.got.size(), 1u);
}

TEST_F(Loopback, AVanishedDeviceClosesThePortAndStaysGone) {
  FakeFar& far = attach_fake();
  port.set_threshold(1);
  const double t = pump.now();
  far.vanish_at = t + 0.010;
  port.inject(Bytes(20, 0x55));  // about 21 ms of bytes
  pump.run_for(0.1);
  EXPECT_FALSE(port.is_open());
  EXPECT_EQ(port.setup_log().back(), "vanished");
  // The bytes that came in before it vanished, then the lost event once.
  ASSERT_EQ(codes.size(), 10u);
  EXPECT_EQ(std::count(codes.begin(), codes.end(), kComEvReceive), 9);
  EXPECT_EQ(codes.back(), kComEvLost);
  expect_port_failure([&] { port.write(bytes("w")); });
  expect_port_failure([&] { port.open(); });
  pump.run_for(0.1);
  EXPECT_EQ(codes.size(), 10u);
}

TEST_F(Loopback, OnlyAPortThatClosesByItselfRaisesTheLostEvent) {
  port.open();
  port.close();
  port.unplug_now();   // nobody holds the port: nobody to tell
  pump.run_for(0.1);
  EXPECT_TRUE(codes.empty());

  port.replug();
  port.open();
  port.unplug_at_write(1);
  expect_port_failure([&] { port.write(bytes("w")); });
  EXPECT_TRUE(codes.empty()) << "raised from the pump, not from inside write()";
  pump.run_for(0.1);
  EXPECT_EQ(codes, (std::vector<int>{kComEvLost}));
}

TEST_F(Loopback, TheEventIsNeverReentered) {
  port.open();
  // A handler that waits: the bytes arriving meanwhile raise no nested event.
  int depth = 0, deepest = 0;
  std::vector<Bytes> got;
  port.set_receive_handler([&](int) {
    deepest = std::max(deepest, ++depth);
    const double until = pump.now() + 0.01;
    while (pump.now() < until) pump.wait_until(until);
    got.push_back(port.read_all());
    --depth;
  });
  port.set_threshold(1);
  port.inject(unhex("04 05 06"));
  pump.run_for(0.05);
  EXPECT_EQ(deepest, 1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(hex(got[0]), "04 05 06");
}

}  // namespace
}  // namespace brivel::testkit
