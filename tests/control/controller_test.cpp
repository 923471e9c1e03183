// The non-blocking API: operations started from one thread, run, watched and cancelled on the control's.

#include "control/controller.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "sim_controller.h"
#include "testkit/hex.h"
#include "testkit/loopback_port.h"
#include "testkit/virtual_pump.h"

namespace brivel {
namespace {

using testkit::LoopbackPort;
using testkit::VirtualPump;

// The simulated controller outlives the thread; the loopback port lives on it.
struct Threaded {
  sim::Controller sim{sim::factory_memory()};
  LoopbackPort* port = nullptr;
  std::unique_ptr<ControlThread> thread;
  Threaded() {
    ControlThread::Options o;
    // The pump is made first on the control's thread; the port needs it.
    o.make_pump = [this] {
      auto pump = std::make_unique<VirtualPump>();
      pump_ = pump.get();
      return pump;
    };
    o.make_port = [this] {
      auto loopback = std::make_unique<LoopbackPort>(*pump_);
      loopback->attach(sim);
      port = loopback.get();
      return loopback;
    };
    thread = std::make_unique<ControlThread>(std::move(o));
  }
  Controller& c() { return thread->controller(); }
  // The writes, as hex ("57 00 00 27 10"), read on the control's thread.
  std::vector<std::string> written() {
    std::vector<std::string> out;
    thread->call([&](Control&) {
      for (const auto& w : port->written()) out.push_back(testkit::hex(w.bytes));
    });
    return out;
  }

 private:
  VirtualPump* pump_ = nullptr;
};

// Waits (real time, bounded) until `ready` holds.
template <typename F>
bool eventually(std::mutex& m, std::condition_variable& cv, F ready) {
  std::unique_lock<std::mutex> lock(m);
  return cv.wait_for(lock, std::chrono::seconds(20), ready);
}

TEST(Controller, MoveStartedWatchedAndCancelledFromAnotherThreadOrEndedByALostPort) {
  Threaded t;
  ASSERT_TRUE(t.c().open().wait().ok());
  ASSERT_TRUE(t.c().set_speed(1).wait().ok());   // slowest: the move takes a while
  std::mutex m;
  std::condition_variable cv;
  int reports = 0;
  t.c().subscribe(Observer{[&](double) {
    std::lock_guard<std::mutex> lock(m);
    ++reports;
    cv.notify_all();
  }});
  Operation move = t.c().move_to(900);
  EXPECT_FALSE(move.done());
  ASSERT_TRUE(eventually(m, cv, [&] { return reports >= 3; }));
  EXPECT_TRUE(t.c().state().busy);
  EXPECT_EQ(t.c().state().operation, "move_to");
  move.cancel();
  Result r = move.wait();
  EXPECT_EQ(r.outcome, Outcome::Stopped);
  EXPECT_EQ(r.text_en, "Stopped on request; the motor was stopped.");
  EXPECT_LT(r.wavelength, 900);
  EXPECT_FALSE(t.c().state().busy);
  EXPECT_TRUE(t.c().state().connected);
  // The motor was stopped as the stop button does: "k", then a position request.
  const auto sent = t.written();
  auto k = std::find(sent.begin(), sent.end(), "6B");
  ASSERT_NE(k, sent.end());
  EXPECT_NE(std::find(k, sent.end(), "77"), sent.end());
  // The next operation runs normally.
  EXPECT_TRUE(t.c().move_to(500).wait().ok());
  // A lost port ends the pending operation with its failure: pulled out from an observer, on the
  // control's thread, mid-move.
  std::atomic<bool> pulled{false};
  t.c().subscribe(Observer{[&](double) {
    if (!pulled.exchange(true)) t.port->unplug_now();
  }});
  r = t.c().move_to(900).wait();
  EXPECT_EQ(r.outcome, Outcome::ConnectionLost);
  EXPECT_FALSE(t.c().state().connected);
  EXPECT_FALSE(t.c().state().busy);
  // Once back, the control connects again.
  t.thread->call([&](Control&) { t.port->replug(); });
  EXPECT_TRUE(t.c().open().wait().ok());
}

TEST(Controller, ObserversHearEachPositionReportOnceAndStateChanges) {
  Threaded t;
  std::atomic<int> reports{0};
  std::atomic<int> busy_changes{0};
  std::atomic<bool> last_busy{false};
  const int id = t.c().subscribe(Observer{[&](double) { ++reports; },
                                          [&](const State& s) {
                                            if (s.busy != last_busy.exchange(s.busy)) ++busy_changes;
                                          }});
  ASSERT_TRUE(t.c().open().wait().ok());
  const int after_open = reports.load();
  const auto position_requests = [&] { const auto w = t.written(); return std::count(w.begin(), w.end(), "77"); };
  const auto requests_before = position_requests();
  const Result r = t.c().move_to(600).wait();
  ASSERT_TRUE(r.ok()) << r.text_en;
  EXPECT_DOUBLE_EQ(r.wavelength, 600);
  EXPECT_DOUBLE_EQ(t.c().state().wavelength, 600);
  // Every position request of a fault-free move is answered by one report.
  EXPECT_EQ(reports.load() - after_open, position_requests() - requests_before);
  EXPECT_GE(busy_changes.load(), 4);   // up and down for the open and for the move
  EXPECT_FALSE(last_busy.load());
  t.c().unsubscribe(id);
  const int frozen = reports.load();
  ASSERT_TRUE(t.c().move_to(610).wait().ok());
  EXPECT_EQ(reports.load(), frozen);
}

TEST(Controller, RefusalsEndAtOnceAndSendNothing) {
  Threaded t;
  // Not connected: nothing is written.
  Result r = t.c().move_to(500).wait();
  EXPECT_EQ(r.outcome, Outcome::NotConnected);
  EXPECT_TRUE(t.written().empty());
  ASSERT_TRUE(t.c().open().wait().ok());
  const std::size_t before = t.written().size();
  r = t.c().move_to(-5).wait();
  EXPECT_EQ(r.outcome, Outcome::Refused);
  EXPECT_EQ(r.text_en, "Can't move to the assigned wavelength:-5");
  EXPECT_EQ(t.written().size(), before);
  EXPECT_EQ(t.c().state().last_message_en, "Can't move to the assigned wavelength:-5");
  // One operation at a time: a second one started meanwhile is refused as busy.
  ASSERT_TRUE(t.c().set_speed(1).wait().ok());
  Operation first = t.c().move_to(800);
  Operation second = t.c().move_by(1);
  EXPECT_TRUE(second.done());
  EXPECT_EQ(second.result().outcome, Outcome::Busy);
  EXPECT_NE(second.result().text_en.find("busy (move_to)"), std::string::npos);
  // stop() is always taken: it ends what runs.
  Operation stopping = t.c().stop();
  EXPECT_EQ(first.wait().outcome, Outcome::Stopped);
  EXPECT_TRUE(stopping.done());
}

TEST(Controller, TypedOperationsRunAndCompletionCallbacksRunOnceAndMayStartTheNextOperation) {
  Threaded t;
  ASSERT_TRUE(t.c().open().wait().ok());
  // A relative move by the up and down buttons' arithmetic.
  const double start = t.c().state().wavelength;
  Result r = t.c().move_by(12.5).wait();
  ASSERT_TRUE(r.ok()) << r.text_en;
  EXPECT_NEAR(r.wavelength, start + 12.5, t.c().state().step + 0.01);
  r = t.c().move_by(13000).wait();   // beyond 999999 steps
  EXPECT_EQ(r.outcome, Outcome::OutOfRange);
  // The filter table and the wheel, as the parameter panel writes them.
  r = t.c().set_filters({420, 650, 300}).wait();
  ASSERT_TRUE(r.ok()) << r.text_en;
  EXPECT_EQ(t.c().state().filters, (std::vector<double>{300, 420, 650}));
  ASSERT_TRUE(t.c().set_filter_wheel(true).wait().ok());
  EXPECT_EQ(t.c().state().filter_state, 1);
  const std::size_t before = t.written().size();
  ASSERT_TRUE(t.c().set_filter_wheel(true).wait().ok());   // already on: nothing sent
  EXPECT_EQ(t.written().size(), before);
  r = t.c().set_speed(120).wait();
  ASSERT_TRUE(r.ok()) << r.text_en;
  EXPECT_EQ(t.c().state().speed, 120);
  std::mutex m;
  std::condition_variable cv;
  std::vector<double> ends;
  Operation second;
  Operation first = t.c().move_to(450);
  // On the control's thread, or here once ended: never holding the lock while the next callback runs.
  first.on_done([&](const Result& ended) {
    {
      std::lock_guard<std::mutex> lock(m);
      ends.push_back(ended.wavelength);
    }
    Operation next = t.c().move_to(470);
    next.on_done([&](const Result& r2) {
      std::lock_guard<std::mutex> lock2(m);
      ends.push_back(r2.wavelength);
      cv.notify_all();
    });
    std::lock_guard<std::mutex> lock(m);
    second = next;
  });
  ASSERT_TRUE(eventually(m, cv, [&] { return ends.size() == 2; }));
  EXPECT_EQ(ends, (std::vector<double>{450, 470}));
  // A callback added after the end runs at once, on the caller's thread.
  int late = 0;
  first.on_done([&](const Result&) { ++late; });
  EXPECT_EQ(late, 1);
}

// A pump whose idle passes end every millisecond and whose post() is slow to reach the
// queue: the control's thread sees a quit long before quit() has done posting.
class RestlessPump : public EventPump {
 public:
  double now() const override { return inner.now(); }
  void yield() override { inner.yield(); }
  void wait_until(double deadline) override { inner.wait_until(deadline); }
  std::unique_ptr<Timer> make_timer() override { return inner.make_timer(); }
  void post(std::function<void()> task) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    inner.post(std::move(task));
  }
  void idle() override {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    inner.yield();
  }
  VirtualPump inner;
};

// Destroying the thread: the controller and its pump stay until quit() has returned
// (under AddressSanitizer the post above otherwise reaches a freed pump).
TEST(Controller, AControlThreadKeepsItsPumpUntilQuitHasReturned) {
  for (int round = 0; round < 3; ++round) {
    ControlThread::Options o;
    RestlessPump* pump = nullptr;
    o.make_pump = [&pump] {
      auto made = std::make_unique<RestlessPump>();
      pump = made.get();
      return made;
    };
    o.make_port = [&pump] { return std::make_unique<LoopbackPort>(pump->inner); };
    auto thread = std::make_unique<ControlThread>(std::move(o));
    EXPECT_EQ(thread->controller().state().connected, false);
    thread.reset();
  }
}

}  // namespace
}  // namespace brivel
