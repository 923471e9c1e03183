#pragma once
// The host on the far side of the simulator's line, in virtual seconds, and its questions' bytes.

#include <cstdint>
#include <string>

#include "sim_controller.h"

namespace brivel::sim::host_side {

inline Bytes b(const std::string& text) { return Bytes(text.begin(), text.end()); }

// `letter` and `v` in four bytes, most significant first.
inline Bytes with32(char letter, std::uint32_t v) {
  return {static_cast<std::uint8_t>(letter), std::uint8_t(v >> 24), std::uint8_t(v >> 16),
          std::uint8_t(v >> 8), std::uint8_t(v)};
}

struct LineHost {
  Controller sim;
  double now = 1000.0;
  // Sends `command` and collects what comes back within `wait` seconds.
  Bytes ask(const Bytes& command, double wait = 0.05) {
    sim.receive(command, now);
    return collect(wait);
  }
  Bytes ask(const std::string& command, double wait = 0.05) { return ask(b(command), wait); }
  Bytes collect(double wait) {
    now += wait;
    return sim.take_output(now);
  }
};

}  // namespace brivel::sim::host_side
