#pragma once
// What the motion operations share: the operator texts they have in common, the
// records a move starts from, and the follow loops' end test.

#include <array>
#include <cstdint>

#include "control/control.h"
#include "protocol/commands.h"

namespace brivel::motion {

// The mouse button that works a jog button (1 is the left button).
constexpr std::int16_t kLeftButton = 1;

constexpr Words kPrompt{"Prompt", "提示"};
// Refusal of the run panel's motion buttons when the instrument is not connected.
constexpr Words kNotConnected{"Monochromator connection failed.", "单色仪未正常连接！"};

// A move starts with records that no reply can produce, so they differ until both
// have been written by real replies: the target record (the head of the reply to the
// move command) and the position record (the bytes of the latest position report).
constexpr std::int32_t kTargetRecordEmpty = 99999999;
constexpr std::int32_t kPositionRecordEmpty = 88888888;

// The end of a motion, tested before every pass of a follow loop: the controller's
// packet begins with "O", the operator asked to stop (stop button, jog release), or
// the reported position repeats the target record byte for byte.
inline bool motion_over(const Bytes& last_packet, VBBool stop_request,
                        const std::array<std::int32_t, 4>& target_record,
                        const std::array<std::int32_t, 4>& position_record) {
  return protocol::byte_at(last_packet, 0) == 'O' || stop_request != kFalse ||
         target_record == position_record;
}

// Marks a motion as running from the command that starts it (started()) to the end of
// the operation that follows it, whatever ends it; a "k" clears the mark before.
class MotionRuns {
 public:
  explicit MotionRuns(bool& running) : running_(running) {}
  ~MotionRuns() { running_ = false; }
  MotionRuns(const MotionRuns&) = delete;
  MotionRuns& operator=(const MotionRuns&) = delete;
  void started() { running_ = true; }
  void ended() { running_ = false; }

 private:
  bool& running_;
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
