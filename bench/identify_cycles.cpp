// identify_cycles: the margins of identification, measured over many connect and
// disconnect cycles against the simulated controller on a pseudo-terminal.
//
// Each cycle runs OpenCom (eight questions, the position request and the filter
// read-back) and CloseCom on the real Qt event pump and serial port, as brivelctl
// does. The program prints:
//   * the cycles that did not connect;
//   * how long each reply took from the write to the read that took it (the reply
//     window is 0.5 s): median, 99th percentile and longest;
//   * the longest time the host's thread was away between two ticks of a wait (a
//     loaded machine holds it up; the wait's hook runs once a tick): a hold-up near
//     the reply window is where a reply that came in time used to be dropped.
//
//   identify_cycles [--cycles N] [--load K] [--stall S]
//
// --load K runs K threads that spin at the normal priority (a loaded machine);
// --stall S holds the host's thread S seconds inside the first wait of every tenth
// cycle, as a machine that stops the process for a moment would.

#include <QCoreApplication>
#include <QStringList>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "control/control.h"
#include "pty_server.h"
#include "qt/core/port_map.h"
#include "qt/core/qt_platform.h"
#include "qt/core/serial_log.h"

namespace {

// Operator messages and host notes: counted, never shown.
struct CountingDialogs : brivel::Dialogs {
  int failures = 0;
  brivel::Answer message(const std::string&, const std::string&, brivel::Icon, brivel::Buttons) override {
    ++failures;
    return brivel::Answer::Ok;
  }
  std::optional<std::string> input(const std::string&, const std::string&, const std::string& text) override {
    return text;
  }
};

double quantile(std::vector<double> values, double q) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<std::size_t>(q * static_cast<double>(values.size())))];
}

}  // namespace

int main(int argc, char** argv) {
  int cycles = 200, load = 0;
  double stall = 0;
  for (int i = 1; i < argc; ++i) {
    const auto next = [&] { return i + 1 < argc ? argv[++i] : "0"; };
    if (!std::strcmp(argv[i], "--cycles")) cycles = std::atoi(next());
    else if (!std::strcmp(argv[i], "--load")) load = std::atoi(next());
    else if (!std::strcmp(argv[i], "--stall")) stall = std::atof(next());
    else {
      std::fprintf(stderr, "usage: identify_cycles [--cycles N] [--load K] [--stall S]\n");
      return 2;
    }
  }
  QCoreApplication app(argc, argv);

  brivel::sim::PtyServer server;
  std::string error;
  if (!server.start_background(error)) {
    std::fprintf(stderr, "identify_cycles: %s\n", error.c_str());
    return 1;
  }
  brivel::qt::set_port_device(1, QString::fromStdString(server.device()));

  std::atomic<bool> spinning{true};
  std::vector<std::thread> spinners;
  for (int i = 0; i < load; ++i)
    spinners.emplace_back([&] {
      volatile unsigned long x = 0;
      while (spinning.load(std::memory_order_relaxed)) x = x + 1;
    });

  // Reply times: from a write to the next packet read, in the traffic log's clock.
  std::mutex mutex;
  std::vector<double> replies;
  double written_at = -1;
  brivel::qt::set_serial_logging(true);
  const int receiver = brivel::qt::add_serial_log_receiver([&](const QString& line) {
    const QStringList words = line.simplified().split(' ');
    if (words.size() < 2) return;
    const double ms = words[0].toDouble();
    std::lock_guard<std::mutex> lock(mutex);
    if (words[1] == ">") {
      written_at = ms;
    } else if (words[1] == "<" && written_at >= 0) {
      replies.push_back((ms - written_at) / 1000.0);
      written_at = -1;
    }
  });

  brivel::qt::QtEventPump pump;
  CountingDialogs dialogs;
  brivel::Control control(pump, dialogs, std::make_unique<brivel::qt::QtSerialPort>());
  double last_tick = -1, longest_away = 0;
  bool stall_now = false;
  control.set_wait_hook([&] {
    if (stall_now) {
      stall_now = false;
      std::this_thread::sleep_for(std::chrono::duration<double>(stall));
    }
    const double now = pump.now();
    if (last_tick >= 0) longest_away = std::max(longest_away, now - last_tick);
    last_tick = now;
  });

  int failed = 0;
  const auto start = std::chrono::steady_clock::now();
  for (int cycle = 0; cycle < cycles; ++cycle) {
    last_tick = -1;
    stall_now = stall > 0 && cycle % 10 == 0;
    control.OpenCom();
    if (!control.BlnMonConnectFlag()) ++failed;
    last_tick = -1;
    control.CloseCom();
  }
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  spinning = false;
  for (std::thread& t : spinners) t.join();
  brivel::qt::remove_serial_log_receiver(receiver);
  brivel::qt::set_serial_logging(false);
  server.stop();
  server.join();

  std::lock_guard<std::mutex> lock(mutex);
  std::printf("identify_cycles: %d cycles in %.1f s, %d spinning threads, stall %.2f s every 10th cycle\n", cycles,
              wall, load, stall);
  std::printf("  not connected:               %d of %d\n", failed, cycles);
  std::printf("  replies:                     %zu\n", replies.size());
  std::printf("  reply time median / p99 / longest: %.4f / %.4f / %.4f s (window 0.5 s)\n", quantile(replies, 0.5),
              quantile(replies, 0.99), replies.empty() ? 0.0 : *std::max_element(replies.begin(), replies.end()));
  std::printf("  longest hold-up between ticks:    %.4f s\n", longest_away);
  return failed == 0 ? 0 : 1;
}
