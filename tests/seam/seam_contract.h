#pragma once
// The contract of platform/event_pump.h and serial_port.h as one typed suite. A platform's type gives
//   Platform();   a pump and a port opened on a line the test plays (no receive handler, threshold 0)
//   EventPump& pump();  SerialPort& port();  static std::unique_ptr<EventPump> make_pump();
//   void send(const std::string&);  std::string received();  (the far end's bytes out, and in since last)
//   void vanish();  (the far end goes away, as a device unplugged)
// Times are only checked for "not early": in real time anything may come late.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/event_pump.h"
#include "platform/failure.h"
#include "platform/serial_port.h"
#include "testkit/failure_of.h"

namespace brivel::seam {

constexpr double kSlack = 1e-9;   // a clock read twice in virtual time

template <class Platform>
class SeamContract : public ::testing::Test {
 protected:
  SeamContract() {
    port().set_receive_handler([this](int code) {
      codes.push_back(code);
      if (code != kComEvReceive) return;
      const Bytes got = port().read_all();
      packets.emplace_back(got.begin(), got.end());
    });
  }
  EventPump& pump() { return platform.pump(); }
  SerialPort& port() { return platform.port(); }
  // Lets events run for `seconds`.
  void pump_for(double seconds) {
    const double until = pump().now() + seconds;
    while (pump().now() < until) pump().wait_until(until);
  }
  // Lets events run until `done`; false when `seconds` passed first.
  template <class Done>
  bool pump_until(Done done, double seconds = 5.0) {
    const double until = pump().now() + seconds;
    while (!done()) {
      if (pump().now() > until) return false;
      pump().wait_until(std::min(until, pump().now() + 0.005));
    }
    return true;
  }
  int lost_events() const { return int(std::count(codes.begin(), codes.end(), kComEvLost)); }
  Platform platform;
  std::vector<int> codes;             // every event the port raised
  std::vector<std::string> packets;   // what each receive event read
};

TYPED_TEST_SUITE_P(SeamContract);

TYPED_TEST_P(SeamContract, ATimerTicksEachIntervalUntilDisabledAndEnablingOrANewIntervalRestartsIt) {
  EventPump& pump = this->pump();
  auto timer = pump.make_timer();
  std::vector<double> ticks;
  timer->set_tick_handler([&] { ticks.push_back(pump.now()); });
  timer->set_interval(10);
  EXPECT_EQ(timer->interval(), 10);
  EXPECT_FALSE(timer->enabled());
  this->pump_for(0.03);
  EXPECT_TRUE(ticks.empty()) << "a timer never enabled ticked";
  const double start = pump.now();
  timer->set_enabled(true);
  ASSERT_TRUE(this->pump_until([&] { return ticks.size() >= 3; }));
  timer->set_enabled(false);
  for (std::size_t k = 0; k < 3; ++k) EXPECT_GE(ticks[k] - start, 0.010 * double(k + 1) - kSlack) << k;
  const std::size_t seen = ticks.size();
  this->pump_for(0.05);
  EXPECT_EQ(ticks.size(), seen) << "ticked while disabled";
  EXPECT_FALSE(timer->enabled());
  // Enabling, or a new interval while running, starts the interval over.
  double ticked = -1;
  timer->set_tick_handler([&] {
    ticked = pump.now();
    timer->set_enabled(false);
  });
  timer->set_interval(60000);
  timer->set_enabled(true);
  this->pump_for(0.02);
  const double changed = pump.now();
  timer->set_interval(30);   // running: counts again from here, with the new interval
  ASSERT_TRUE(this->pump_until([&] { return ticked >= 0; })) << "the old interval held";
  EXPECT_GE(ticked - changed, 0.030 - kSlack);
  ticked = -1;
  timer->set_enabled(true);
  this->pump_for(0.02);
  const double again = pump.now();
  timer->set_enabled(true);  // enabling an enabled timer starts its interval over
  ASSERT_TRUE(this->pump_until([&] { return ticked >= 0; }));
  EXPECT_GE(ticked - again, 0.030 - kSlack);
}

TYPED_TEST_P(SeamContract, ATickMayDestroyAnotherTimerAndStartANewOneAndTimersMayOutliveThePump) {
  EventPump& pump = this->pump();
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
  first->set_interval(15);
  second->set_interval(15);  // due together with the first
  first->set_enabled(true);
  second->set_enabled(true);
  ASSERT_TRUE(this->pump_until([&] { return created_ticks >= 3; }));
  EXPECT_EQ(second, nullptr);
  EXPECT_LE(second_ticks, 1);  // ticked before the first, or never
  // A timer outliving its pump is harmless.
  auto own = TypeParam::make_pump();
  auto timer = own->make_timer();
  timer->set_interval(10);
  timer->set_enabled(true);
  own.reset();
  timer->set_enabled(false);
  timer->set_interval(20);
  timer->set_enabled(true);
  EXPECT_TRUE(timer->enabled());
}

TYPED_TEST_P(SeamContract, AWaitEndsAtItsDeadlineOrWhenAnEventRuns) {
  EventPump& pump = this->pump();
  // Nothing happens: the wait returns at its deadline in a handful of passes, not thousands.
  const double deadline = pump.now() + 0.05;
  int passes = 0;
  while (pump.now() < deadline) {
    pump.wait_until(deadline);
    ++passes;
  }
  EXPECT_LE(passes, 3);
  // A tick ends a wait long before its deadline.
  auto timer = pump.make_timer();
  bool ticked = false;
  timer->set_tick_handler([&] { ticked = true; timer->set_enabled(false); });
  timer->set_interval(5);
  timer->set_enabled(true);
  const double far = pump.now() + 30.0;
  while (!ticked && pump.now() < far) pump.wait_until(far);
  EXPECT_TRUE(ticked);
  EXPECT_LT(pump.now(), far);
  // A deadline already past still lets what is pending run, and so does yield().
  bool posted_ran = false, yielded_ran = false;
  pump.post([&] { posted_ran = true; });
  pump.wait_until(pump.now() - 1.0);
  EXPECT_TRUE(posted_ran);
  pump.post([&] { yielded_ran = true; });
  pump.yield();
  EXPECT_TRUE(yielded_ran);
  // A posted task that waits itself (an operation started from a host's wait): the
  // wait it ran in still ends, at its deadline at the latest.
  bool nested_ended = false;
  pump.post([&] {
    const double until = pump.now() + 0.01;
    while (pump.now() < until) pump.wait_until(until);
    nested_ended = true;
  });
  const double outer = pump.now() + 0.05;
  while (!nested_ended && pump.now() < outer) pump.wait_until(outer);
  pump.wait_until(outer);
  EXPECT_TRUE(nested_ended);
  EXPECT_LT(pump.now(), outer + 0.5);
}

TYPED_TEST_P(SeamContract, TasksPostedFromAnotherThreadWakeIdleAndRunInOrderOnThePumpsThread) {
  EventPump& pump = this->pump();
  std::vector<int> ran;
  std::atomic<bool> other_thread{false};
  const std::thread::id mine = std::this_thread::get_id();
  std::thread poster([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    for (int i = 0; i < 3; ++i)
      pump.post([&, i] {
        ran.push_back(i);
        if (std::this_thread::get_id() != mine) other_thread = true;
      });
  });
  while (ran.size() < 3) pump.idle();   // asleep until the posts come
  poster.join();
  EXPECT_EQ(ran, (std::vector<int>{0, 1, 2}));
  EXPECT_FALSE(other_thread);
}

TYPED_TEST_P(SeamContract, AReplyTricklingInIsOneReceiveEventOnceTheThresholdIsReached) {
  this->port().set_threshold(5);
  for (const char* byte : {"w", "\x01", "\x02", "\x03"}) {
    this->platform.send(std::string(byte, 1));
    this->pump_for(0.003);
  }
  this->pump_for(0.02);
  EXPECT_TRUE(this->codes.empty());
  EXPECT_EQ(this->port().bytes_waiting(), 4);
  this->platform.send("\x04");
  ASSERT_TRUE(this->pump_until([&] { return !this->packets.empty(); }));
  this->pump_for(0.01);
  ASSERT_EQ(this->packets.size(), 1u);
  EXPECT_EQ(this->packets[0], "w\x01\x02\x03\x04");
  // The next reply under the same threshold works alike.
  this->platform.send("w9876");
  ASSERT_TRUE(this->pump_until([&] { return this->packets.size() == 2; }));
  EXPECT_EQ(this->packets[1], "w9876");
  EXPECT_EQ(this->codes, (std::vector<int>{kComEvReceive, kComEvReceive}));
}

TYPED_TEST_P(SeamContract, BytesBelowTheThresholdWaitCountedUntilReadOrTheThresholdComesDown) {
  SerialPort& port = this->port();
  // Threshold 0: bytes collect, no event.
  this->platform.send("abc");
  ASSERT_TRUE(this->pump_until([&] { return port.bytes_waiting() == 3; }));
  this->pump_for(0.02);
  EXPECT_TRUE(this->codes.empty());
  // Lowering the threshold to what waits raises the event, from the pump only.
  port.set_threshold(3);
  EXPECT_EQ(port.threshold(), 3);
  EXPECT_TRUE(this->codes.empty()) << "raised from inside set_threshold()";
  ASSERT_TRUE(this->pump_until([&] { return !this->packets.empty(); }));
  EXPECT_EQ(this->packets[0], "abc");
  // A tail below the threshold: no event, but whoever asks can take it.
  port.set_threshold(5);
  this->platform.send("OK\r");
  this->pump_for(0.03);
  EXPECT_EQ(this->packets.size(), 1u);
  EXPECT_EQ(port.bytes_waiting(), 3);
  const Bytes tail = port.read_all();
  EXPECT_EQ(std::string(tail.begin(), tail.end()), "OK\r");
  EXPECT_EQ(port.bytes_waiting(), 0);
  // And the threshold holds again for what follows.
  this->platform.send("v");
  this->pump_for(0.02);
  EXPECT_EQ(this->packets.size(), 1u);
  this->platform.send("1234");
  ASSERT_TRUE(this->pump_until([&] { return this->packets.size() == 2; }));
  EXPECT_EQ(this->packets[1], "v1234");
}

TYPED_TEST_P(SeamContract, WritesArriveWholeAndInOrderWithoutAReceiveEventWhichIsNeverReentered) {
  this->port().set_threshold(1);
  this->port().write({'f', '\r'});
  this->port().write({'W', 0x00, 0x01, 0x55, 0x4B});
  this->port().write({'w'});
  std::string got;
  ASSERT_TRUE(this->pump_until([&] {
    got += this->platform.received();
    return got.size() >= 8;
  }));
  EXPECT_EQ(got, std::string("f\rW\x00\x01\x55\x4Bw", 8));
  EXPECT_TRUE(this->codes.empty());
  // The receive event is never reentered.
  got.clear();
  int depth = 0, deepest = 0;
  this->port().set_receive_handler([&](int) {
    deepest = std::max(deepest, ++depth);
    this->pump_for(0.01);   // bytes that arrive meanwhile raise no nested event
    const Bytes bytes = this->port().read_all();
    got.append(bytes.begin(), bytes.end());
    --depth;
  });
  this->platform.send("\x04\x05\x06");
  ASSERT_TRUE(this->pump_until([&] { return got.size() >= 3; }));
  this->pump_for(0.02);
  EXPECT_EQ(deepest, 1);
  EXPECT_EQ(got, "\x04\x05\x06");
}

TYPED_TEST_P(SeamContract, ClosingEmptiesTheQueuesRaisesNothingAndAReopenedPortKeepsToTheThreshold) {
  SerialPort& port = this->port();
  port.set_threshold(3);
  this->platform.send("ab");
  ASSERT_TRUE(this->pump_until([&] { return port.bytes_waiting() == 2; }));
  port.close();
  EXPECT_FALSE(port.is_open());
  EXPECT_EQ(port.bytes_waiting(), 0);
  EXPECT_EQ(testkit::failure_of([&] { port.write({'w'}); }), FailureReason::PortFailure) << "a closed port wrote";
  this->pump_for(0.02);
  EXPECT_TRUE(this->codes.empty()) << "a port the caller closed raised an event";
  port.open();
  EXPECT_TRUE(port.is_open());
  port.set_threshold(3);
  this->platform.send("n");
  this->pump_for(0.02);
  EXPECT_TRUE(this->packets.empty());
  this->platform.send("09");
  ASSERT_TRUE(this->pump_until([&] { return !this->packets.empty(); }));
  EXPECT_EQ(this->packets[0], "n09");
}

TYPED_TEST_P(SeamContract, APortThatVanishesClosesItselfAndRaisesTheLostEventOnce) {
  SerialPort& port = this->port();
  port.set_threshold(5);
  this->pump().yield();
  this->platform.vanish();
  ASSERT_TRUE(this->pump_until([&] { return !port.is_open() && this->lost_events() > 0; }, 2.0));
  this->pump_for(0.05);
  EXPECT_EQ(this->lost_events(), 1);
  EXPECT_EQ(this->codes.size(), 1u);
  EXPECT_THROW(port.write({'w'}), RuntimeFailure);
}

REGISTER_TYPED_TEST_SUITE_P(SeamContract, ATimerTicksEachIntervalUntilDisabledAndEnablingOrANewIntervalRestartsIt,
                            ATickMayDestroyAnotherTimerAndStartANewOneAndTimersMayOutliveThePump,
                            AWaitEndsAtItsDeadlineOrWhenAnEventRuns,
                            TasksPostedFromAnotherThreadWakeIdleAndRunInOrderOnThePumpsThread,
                            AReplyTricklingInIsOneReceiveEventOnceTheThresholdIsReached,
                            BytesBelowTheThresholdWaitCountedUntilReadOrTheThresholdComesDown,
                            WritesArriveWholeAndInOrderWithoutAReceiveEventWhichIsNeverReentered,
                            ClosingEmptiesTheQueuesRaisesNothingAndAReopenedPortKeepsToTheThreshold,
                            APortThatVanishesClosesItselfAndRaisesTheLostEventOnce);

}  // namespace brivel::seam
