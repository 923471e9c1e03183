// The loopback port: the control's setup, pacing at 9600 baud in both directions,
// the receive event and its threshold, closing and a device that vanishes.

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

constexpr double kStart = 1000.0;
#define EXPECT_AT(actual, expected) EXPECT_NEAR(actual, expected, 1e-9)

void expect_port_failure(const std::function<void()>& action) {
  try {
    action();
    ADD_FAILURE() << "no failure";
  } catch (const RuntimeFailure& failure) {
    EXPECT_EQ(failure.reason(), FailureReason::PortFailure);
  }
}

// A far end that notes every byte and answers "y" with "y" 0x09 at once.
struct FakeFar : FarEnd {
  void receive(const Bytes& bytes, double now) override {
    for (std::uint8_t b : bytes) got.emplace_back(now, b);
    if (bytes == Bytes{'y'}) out.emplace_back(now, unhex("79 09"));
  }
  Bytes take_output(double now) override {
    Bytes ready;
    while (!out.empty() && out.front().first <= now) {
      ready.insert(ready.end(), out.front().second.begin(), out.front().second.end());
      out.erase(out.begin());
    }
    return ready;
  }
  double next_due() const override {
    if (!out.empty()) return out.front().first;
    return gone ? 1e300 : vanish_at;
  }
  void advance(double now) override { gone = gone || now >= vanish_at; }
  bool vanished() const override { return gone; }
  void port_reopened() override { ++reopened; }

  std::vector<std::pair<double, std::uint8_t>> got;
  std::vector<std::pair<double, Bytes>> out;
  double vanish_at = 1e300;
  bool gone = false;
  int reopened = 0;
};

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
    return ref;
  }

  VirtualPump pump{kStart};
  LoopbackPort port{pump};
  std::vector<int> codes;
  std::vector<double> times;
  std::vector<Bytes> packets;
};

TEST_F(Loopback, RecordsTheSetupAndRefusesAMissingPort) {
  port.set_port_number(1);
  port.set_settings("9600,N,8,1");
  port.set_in_buffer_size(2048);
  port.set_out_buffer_size(1024);
  port.set_binary_mode(true);
  port.set_input_len(0);
  port.clear_input();
  port.clear_output();
  port.open();
  port.close();
  EXPECT_EQ(port.setup_log(),
            (std::vector<std::string>{"port=1", "settings=9600,N,8,1", "inbuffer=2048", "outbuffer=1024",
                                      "binary=1", "inputlen=0", "clear-input", "clear-output", "open",
                                      "close"}));
  EXPECT_EQ(port.opens(), 1);

  port.unavailable_ports().push_back(3);
  port.set_port_number(3);
  expect_port_failure([&] { port.open(); });
  EXPECT_FALSE(port.is_open());
  expect_port_failure([&] { port.write(bytes("w")); });
  EXPECT_TRUE(port.written().empty());
  EXPECT_EQ(port.opens(), 1);
}

TEST_F(Loopback, AFiveByteReplyRaisesOneEventOnceAllFiveArrived) {
  const Bytes report = unhex("77 00 00 10 00");
  port.when(bytes("w"), report);
  port.open();
  port.set_threshold(5);
  const double sent = pump.now();
  port.write(bytes("w"));
  EXPECT_TRUE(codes.empty());  // never from inside write()
  pump.run_for(0.05);
  ASSERT_EQ(codes.size(), 1u);
  EXPECT_EQ(codes[0], kComEvReceive);
  EXPECT_EQ(packets[0], report);
  // One byte time for the request to arrive, five for the reply.
  EXPECT_AT(times[0], sent + 6 * kByteTime);
}

TEST_F(Loopback, ThresholdZeroRaisesNoneAndAHigherOneWaitsForMoreBytes) {
  port.when(bytes("w"), unhex("77 00 00 10 00"));
  port.open();
  port.set_threshold(0);
  port.write(bytes("w"));
  pump.run_for(0.05);
  EXPECT_TRUE(codes.empty());
  EXPECT_EQ(port.bytes_waiting(), 5);
  port.read_all();

  port.set_threshold(6);
  port.write(bytes("w"));
  pump.run_for(0.05);
  EXPECT_TRUE(codes.empty());
  const double injected = pump.now();
  port.inject(unhex("4F"));
  pump.run_for(0.05);
  ASSERT_EQ(codes.size(), 1u);
  EXPECT_EQ(hex(packets[0]), "77 00 00 10 00 4F");
  EXPECT_AT(times[0], injected + kByteTime);
}

TEST_F(Loopback, AScriptedPeerAnswersOnlyItsRequestAfterItsDelay) {
  port.when(bytes("y"), unhex("79 09"), 0.2);
  port.open();
  port.set_threshold(2);
  const double sent = pump.now();
  port.write(bytes("n"));  // no rule: no answer
  port.write(bytes("y"));  // queued behind "n" on the line
  pump.run_for(1.0);
  ASSERT_EQ(codes.size(), 1u);
  EXPECT_EQ(hex(packets[0]), "79 09");
  EXPECT_AT(times[0], sent + 2 * kByteTime + 0.2 + 2 * kByteTime);
  EXPECT_EQ(port.written().size(), 2u);
}

TEST_F(Loopback, BytesTravelOneAtATimeAndQueueBehindEarlierOnes) {
  FakeFar& far = attach_fake();
  port.open();
  const double t = pump.now();
  port.write(bytes("ab"));
  port.write(bytes("c"));
  pump.run_for(0.01);
  ASSERT_EQ(far.got.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_AT(far.got[i].first, t + (i + 1) * kByteTime);
  EXPECT_EQ(far.got[2].second, 'c');

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
  port.open();
  port.set_threshold(2);
  port.write(bytes("y"));
  pump.run_for(2.5 * kByteTime);  // the first reply byte is in, the second on the line
  EXPECT_EQ(port.bytes_waiting(), 1);
  port.write(bytes("y"));         // still on its way when the port closes
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
  port.open();
  port.set_threshold(1);
  const double t = pump.now();
  far.vanish_at = t + 0.010;
  port.inject(Bytes(20, 0x55));  // about 21 ms of bytes
  pump.run_for(0.1);
  EXPECT_FALSE(port.is_open());
  EXPECT_EQ(port.setup_log().back(), "vanished");
  EXPECT_LT(codes.size(), 10u);
  EXPECT_TRUE(std::all_of(times.begin(), times.end(), [&](double at) { return at <= t + 0.010; }));
  expect_port_failure([&] { port.write(bytes("w")); });
  expect_port_failure([&] { port.open(); });
}

TEST_F(Loopback, TheEventWaitsForThePumpAndIsNeverReentered) {
  port.open();
  port.inject(unhex("01 02 03"));
  pump.run_for(0.01);
  port.set_threshold(3);  // enough bytes wait now, but not inside set_threshold()
  EXPECT_TRUE(codes.empty());
  pump.yield();
  ASSERT_EQ(codes.size(), 1u);
  EXPECT_EQ(hex(packets[0]), "01 02 03");

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
