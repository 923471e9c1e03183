#pragma once
// Helpers for the simulator's tests: a host on the far side of the line, in virtual time.

#include <string>

#include "sim_controller.h"

namespace brivel::sim::test {

inline Bytes bytes_of(const std::string& text) { return Bytes(text.begin(), text.end()); }

inline Bytes cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

inline Bytes be32(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
          static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
}

inline std::uint32_t read32(const Bytes& b, std::size_t i) {
  return static_cast<std::uint32_t>(b.at(i)) << 24 | static_cast<std::uint32_t>(b.at(i + 1)) << 16 |
         static_cast<std::uint32_t>(b.at(i + 2)) << 8 | b.at(i + 3);
}

// The host side: writes a command and collects what has arrived a moment later.
struct Host {
  explicit Host(Memory memory = factory_memory()) : sim(memory) {}

  Controller sim;
  double now = 1000.0;

  Bytes ask(const Bytes& command, double wait = 0.05) {
    sim.receive(command, now);
    return collect(wait);
  }
  Bytes ask(const std::string& command, double wait = 0.05) { return ask(bytes_of(command), wait); }
  Bytes collect(double wait) {
    now += wait;
    return sim.take_output(now);
  }
};

}  // namespace brivel::sim::test
