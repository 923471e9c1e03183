#pragma once
// Motion: the absolute move and the relative step, the jog and the stop, the motor
// speed, and the return to the reference position. Every motion is followed with
// position requests until one of its end signs shows or its bound runs out.

#include <cstdint>

#include "session/session.h"

namespace brivel {

class Identification;

class Motion {
 public:
  Motion(Session& session, Identification& identification) : s_(session), identification_(identification) {}

  // Moves to `nm` ("W" with the absolute step count) and follows the motion. A call
  // while busy, or with a negative target, is refused with a message; a run-time
  // failure lowers busy and reaches the caller.
  void move_to(double nm);
  // Moves by `steps` motor steps ("U" up, "D" down with the magnitude) and follows the
  // motion, as one operation of its own: busy is raised for it and lowered after.
  void step_alone(std::int32_t steps) {
    s_.state.busy = true;
    step(steps);
    s_.state.busy = false;
  }
  // The run panel's refusal while the instrument is not connected: true when it was
  // refused (and the operator told).
  bool refused_unconnected();
  // Step counts the up and down buttons accept (0 up to these, both included).
  static constexpr std::int32_t kMostStepsUp = 999999;
  static constexpr std::int32_t kMostStepsDown = 200000;

  // A jog button pressed (direction protocol::kJogUp or kJogDown) and released, with
  // mouse button `button` (only the left one, 1, works them).
  void jog_press(int direction, std::int16_t button);
  void jog_release(std::int16_t button);
  // The stop button: stops a motion that runs.
  void stop();
  // "k", then the closing position request; the waits together end within `window`
  // seconds (negative: the reply windows as they are).
  void stop_motor(double window = -1);
  // A stop from outside found a motion running: the motor is stopped and its final
  // position read while the window lasts.
  void stop_from_outside(double window);

  // Sends speed `speed` (1 to 250): "V" in the property's three bytes or the speed
  // box's two, then reads it back with "v". The property keeps what the controller took.
  void set_speed(std::int16_t speed, bool from_property);
  // The reposition button: after the operator confirms, the motor returns to its
  // reference position and the instrument is read again.
  void reposition();

  // Seconds the return to the reference may take: from the position last reported
  // back to the reference and out to `power_on_steps` (absolute), at the speed in force.
  double reposition_bound(double power_on_steps) const;
  // Absolute steps of the power-on position the controller reported.
  double shown_power_on_steps() const;
  // A return to the reference did not end within its bound: stops the motor and tells
  // the host the figures in a note.
  void reposition_overran(const char* operation, double seconds);

 private:
  void step(std::int32_t steps);   // the same, with busy left to the caller
  // Repeats "w" until a position report arrives (or `bound` seconds pass: negative is
  // the bounds' final_position) and shows it.
  bool settle_position(double bound = -1);
  void motion_overran(const char* operation, double steps, double seconds);
  void speed_was_sent(std::int16_t speed);

  Session& s_;
  Identification& identification_;
};

}  // namespace brivel
