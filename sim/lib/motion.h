#pragma once
// One motion of the grating motor: from a position to a position at a constant rate.
// Positions are absolute motor steps; times are seconds.

#include <cstdint>

namespace brivel::sim {

enum class MotionKind {
  None,       // at rest
  Move,       // "W", "U", "D": ends silently at its target
  Jog,        // "K" 01 / 02: runs to a travel limit unless stopped
  Homing,     // "K" 08, first leg: to the reference switch
  Returning,  // "K" 08, second leg: after the reset, to the power-on position
};

struct Motion {
  MotionKind kind = MotionKind::None;
  double start = 0.0;       // s
  std::int64_t from = 0;    // steps
  std::int64_t to = 0;      // steps
  double rate = 0.0;        // steps per second; 0: the motor does not turn

  // At rest at `position`.
  static Motion rest(std::int64_t position);
  // Position at time t: whole steps covered so far, never past the target.
  std::int64_t at(double t) const;
  // Time at which the target is reached; +infinity if never (rate 0).
  double arrival() const;
  bool active() const { return kind != MotionKind::None; }
};

}  // namespace brivel::sim
