#pragma once
// Shared by the motion tests: a connected bench, position reports, a scripted controller.

#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include "testkit/bench.h"

namespace brivel::motion_test {

using Hex = std::vector<std::string>;
using Message = std::tuple<std::string, std::string, Icon>;   // text, title, icon

// Grating codes of the simulated instrument: nm per step 0.00625, 0.05, 0.0125/3, 0.5.
enum Grating { kFine = 1, kCoarse = 4, kFinest = 5, kWide = 20 };

// A connected bench, at 0.05 nm per step unless told otherwise.
struct Connected : testkit::Connected {
  explicit Connected(int grating = kCoarse) : testkit::Connected(testkit::with_grating(grating)) {}
};

inline Message last_message(const testkit::ScriptedDialogs& d) {
  return d.shown().empty() ? Message{} : Message{d.last().text, d.last().title, d.last().icon};
}

// "w" and a position, most significant byte first.
inline Bytes report(std::uint32_t p) {
  return {'w', std::uint8_t(p >> 24), std::uint8_t(p >> 16), std::uint8_t(p >> 8), std::uint8_t(p)};
}

// A write beginning with one of `move_letters` gets `on_move`; the n-th "w" gets w_replies[n] (after "k":
// w_after_stop[n]; the last entry when a list runs out; empty: no answer). Nothing else is answered.
struct Script {
  std::string move_letters;
  Bytes on_move;
  std::vector<Bytes> w_replies = {}, w_after_stop = {};
  bool stopped = false;
  std::size_t asked = 0;
  void install(testkit::Bench& b) {
    b.port->on_write([this](const Bytes& request) -> Bytes {
      if (!request.empty() && move_letters.find(char(request[0])) != std::string::npos) return on_move;
      if (request == Bytes{'k'}) { stopped = true; asked = 0; }
      const auto& list = stopped && !w_after_stop.empty() ? w_after_stop : w_replies;
      if (request != Bytes{'w'} || list.empty()) return {};
      return list[std::min(asked++, list.size() - 1)];
    });
  }
};

inline int count_of(const Hex& writes, const std::string& hex) {
  return static_cast<int>(std::count(writes.begin(), writes.end(), hex));
}

// The writes after the first one equal to `hex` (all of them when there is none).
inline Hex after(const Hex& writes, const std::string& hex) {
  auto it = std::find(writes.begin(), writes.end(), hex);
  return it == writes.end() ? writes : Hex(it + 1, writes.end());
}

// A follow loop ended by the stop button: one "k", then only position requests.
inline void expect_stopped(const Hex& writes) {
  ASSERT_EQ(count_of(writes, "6B"), 1);
  const Hex tail = after(writes, "6B");
  EXPECT_TRUE(tail.size() == 2 || tail.size() == 3) << tail.size();
  EXPECT_EQ(count_of(tail, "77"), int(tail.size()));
}

}  // namespace brivel::motion_test
