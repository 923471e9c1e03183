#pragma once
// Shared pieces of the motion tests: a connected bench, position reports and a
// scripted controller whose answers a test fixes exactly.

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "control/module_function.h"
#include "testkit/bench.h"

namespace brivel::motion_test {

// Grating codes of the simulated instrument: nm per step 0.00625, 0.05, 0.0125/3, 0.5.
enum Grating { kFine = 1, kCoarse = 4, kFinest = 5, kWide = 20 };

// A bench whose control is connected and identified, with its traffic cleared.
struct Connected {
  explicit Connected(int grating = kCoarse) {
    b.sim.memory().grating = static_cast<std::uint8_t>(grating);
    b.control.OpenCom();
    b.clear();
  }
  testkit::Bench b;
};

// "w" and a position, most significant byte first.
inline Bytes report(std::uint32_t p) {
  return {'w', std::uint8_t(p >> 24), std::uint8_t(p >> 16), std::uint8_t(p >> 8), std::uint8_t(p)};
}

// A scripted controller. A write beginning with `move_letter` gets `on_move`; the
// n-th "w" gets w_replies[n], or w_after_stop[n] once "k" was written (the last entry
// again when a list runs out; an empty entry or list: no answer). Nothing else is
// answered.
struct Script {
  Script(char letter, Bytes move_reply, std::vector<Bytes> w = {}, std::vector<Bytes> w_after = {})
      : move_letter(letter), on_move(std::move(move_reply)), w_replies(std::move(w)),
        w_after_stop(std::move(w_after)) {}
  char move_letter;
  Bytes on_move;
  std::vector<Bytes> w_replies, w_after_stop;
  bool stopped = false;
  int asked = 0, asked_after = 0;

  static Bytes next(const std::vector<Bytes>& list, int& n) {
    return list.empty() ? Bytes{} : list[std::min<std::size_t>(std::size_t(n++), list.size() - 1)];
  }
  void install(testkit::Bench& b) {
    b.port->on_write([this](const Bytes& request) -> Bytes {
      if (request.empty()) return {};
      if (request[0] == std::uint8_t(move_letter)) return on_move;
      if (request == Bytes{'k'}) stopped = true;
      if (request != Bytes{'w'}) return {};
      return stopped && !w_after_stop.empty() ? next(w_after_stop, asked_after) : next(w_replies, asked);
    });
  }
};

inline int count_of(const std::vector<std::string>& writes, const std::string& hex) {
  return static_cast<int>(std::count(writes.begin(), writes.end(), hex));
}

// The writes after the first one equal to `hex` (all of them when there is none).
inline std::vector<std::string> after(const std::vector<std::string>& writes, const std::string& hex) {
  auto it = std::find(writes.begin(), writes.end(), hex);
  return it == writes.end() ? writes : std::vector<std::string>(it + 1, writes.end());
}

// Switches the library to Chinese for one scope.
struct Chinese {
  Chinese() { ModuleFunction::IntLanguage() = 0; }
  ~Chinese() { ModuleFunction::IntLanguage() = 1; }
};

}  // namespace brivel::motion_test
