#pragma once
// What the motion operations share: the operator texts they have in common, the
// follow loops' end test, the motion mark and the follow loops' bound.

#include <array>
#include <cstdint>

#include "protocol/commands.h"
#include "session/session.h"

namespace brivel::motion {

// The mouse button that works a jog button (1 is the left button).
constexpr std::int16_t kLeftButton = 1;

// Refusal of the run panel's motion buttons when the instrument is not connected.
constexpr Words kNotConnected{"Monochromator connection failed.", "单色仪未正常连接！"};

// The end of a motion, tested before every pass of a follow loop: the controller's
// packet begins with "O", the operator asked to stop (stop button, jog release), or
// the reported position repeats the target record byte for byte.
inline bool motion_over(const serial::Link& link, bool stop_request) {
  return protocol::byte_at(link.last_packet(), 0) == 'O' || stop_request || link.target_reached();
}

// Marks a motion as running from the command that starts it (started()) to the end of
// the operation that follows it, whatever ends it; a "k" clears the mark before.
class MotionRuns {
 public:
  explicit MotionRuns(serial::Link& link) : link_(link) {}
  ~MotionRuns() { link_.motion_ended(); }
  MotionRuns(const MotionRuns&) = delete;
  MotionRuns& operator=(const MotionRuns&) = delete;
  void started() { link_.motion_started(); }
  void ended() { link_.motion_ended(); }

 private:
  serial::Link& link_;
};

// The bound of one follow loop (WaitBounds::motion), from the moment the move was
// sent. A speed that changes while the loop runs (the host sets IntSpeed) starts the
// bound afresh for the whole distance at the new speed, so it never runs out early.
class MotionBound {
 public:
  MotionBound(const WaitBounds& bounds, double now, double steps, int speed)
      : bounds_(bounds), steps_(steps), speed_(speed), start_(now),
        deadline_(now + bounds.motion(steps, speed)) {}

  bool expired(double now, int speed) {
    if (speed != speed_) {
      speed_ = speed;
      const double again = now + bounds_.motion(steps_, speed);
      if (again > deadline_) deadline_ = again;
    }
    return now > deadline_;
  }
  double seconds() const { return deadline_ - start_; }

 private:
  const WaitBounds& bounds_;
  double steps_;
  int speed_;
  double start_;
  double deadline_;
};

}  // namespace brivel::motion
