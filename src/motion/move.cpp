// The absolute move sends "W" with the target's step count, the relative step "U" or
// "D" with a count of motor steps. The absolute move follows the motion with position requests until one of the three end signs shows
// (the controller's "O", the stop request, a report that repeats the target record),
// or until the wavelength read stays the same over a group of three passes, or until
// the motion bound (WaitBounds::motion) runs out: a controller whose reports keep
// changing without ever reaching the target is stopped and reported. The relative step
// has no stall test, only the bound.

#include <array>
#include <cmath>
#include <string>

#include "motion/motion.h"
#include "motion/motion_common.h"
#include "platform/failure.h"
#include "protocol/commands.h"
#include "text/convert.h"

namespace brivel {

namespace {
constexpr Words kBusy{"The monochromator controller is running.", "单色仪控制器忙!"};
constexpr Words kCannotMove{"Can't move to the assigned wavelength:", "无法走到这个波长："};
constexpr Words kStalled{"The position doesn't change, please check.", "单色仪位置无变化，请检查！"};
constexpr Words kOverran{"The monochromator did not reach its target in time. The motor was stopped.",
                         "单色仪未能及时到达目标位置，电机已停止！"};

// Position requests per pass of the follow loop: two keep the shown wavelength
// current at about the rate the controller answers.
constexpr int kRequestsPerPass = 2;

// Three wavelength readings A, B, C, one per pass; the first and the third of a group
// are compared. Each slot has its own empty marker, a value no reading takes (nm), so
// that A never equals C while either is empty.
class StallSlots {
 public:
  void store(double wavelength) {
    for (std::size_t i = 0; i < slots_.size(); ++i) {
      if (slots_[i] == kEmpty[i]) {
        slots_[i] = wavelength;
        return;
      }
    }
  }
  bool stalled() const { return slots_[0] == slots_[2]; }
  void empty_when_full() {
    for (std::size_t i = 0; i < slots_.size(); ++i)
      if (slots_[i] == kEmpty[i]) return;
    slots_ = kEmpty;
  }

 private:
  static constexpr std::array<double, 3> kEmpty{70000000.0, 80000000.0, 90000000.0};
  std::array<double, 3> slots_ = kEmpty;
};
}  // namespace

void Motion::move_to(double nm) {
  InstrumentState& st = s_.state;
  serial::Link& link = s_.link;
  // The busy test comes first: a call during another exchange is refused even when
  // the target is where the grating already is.
  if (st.busy) {
    s_.say(MessageKind::Refusal, kBusy, kPrompt, Icon::Information);
    return;
  }
  if (nm == st.wavelength) return;
  if (nm < 0) {
    const std::string target = text::plain(nm);
    s_.say(MessageKind::Refusal, Wording{kCannotMove.en + target, kCannotMove.zh + target}, kPrompt, Icon::Critical);
    return;
  }

  // A run-time failure (no step size, port closed, a count beyond 32 bits) gives up
  // the move with the flags lowered and reaches the caller.
  motion::MotionRuns runs(link);
  try {
    st.busy = true;
    st.stop_request = false;
    StallSlots slots;
    link.watch_move();

    // Absolute step count; no zero offset is added.
    const std::int32_t steps = protocol::step_count(nm, st.step);
    // The distance from where the grating was last reported (motor steps).
    const double distance = (nm - st.wavelength) / st.step;
    motion::MotionBound bound(s_.bounds, link.now(), distance, st.motion_speed());
    st.busy = true;
    link.expect_reply();
    link.send(protocol::move_absolute(steps), protocol::kThresholdMove);
    runs.started();
    link.wait_reply();   // the receive handler keeps the reply's head as the target record
    st.busy = false;
    link.end_watch();

    while (!motion::motion_over(link, st.stop_request)) {
      link.pause();
      for (int i = 0; i < kRequestsPerPass; ++i) {
        st.busy = true;
        link.request_position();
      }
      slots.store(st.wavelength);
      if (slots.stalled()) {
        s_.say(MessageKind::Failure, kStalled, kPrompt, Icon::Critical);
        st.busy = false;
        return;
      }
      slots.empty_when_full();
      if (bound.expired(link.now(), st.motion_speed())) {
        motion_overran("MonochromatorMoveTo", distance, bound.seconds());
        return;
      }
    }
    runs.ended();

    st.busy = true;
    link.request_position();   // the closing position request
    st.busy = false;
  } catch (const RuntimeFailure& failure) {
    st.busy = false;
    link.end_watch();
    if (failure.reason() == FailureReason::PortLost) s_.tell_port_lost();
    throw;
  }
}

void Motion::motion_overran(const char* operation, double steps, double seconds) {
  stop_motor();   // "k", then the closing position request
  s_.state.busy = false;
  s_.say(MessageKind::Failure, kOverran, kPrompt, Icon::Critical);
  const std::string count = text::plain(std::round(std::abs(steps)));
  const std::string speed = std::to_string(s_.state.motion_speed());
  const std::string bound = text::format(seconds, "0.0");
  s_.note(HostNote::Kind::Failure, operation,
          Wording{"the move of " + count + " steps at speed " + speed + " did not end within " + bound +
                      " s; the motor was stopped",
                  "移动 " + count + " 步（速度 " + speed + "）未在 " + bound + " 秒内完成，电机已停止"});
}

void Motion::step(std::int32_t steps) {
  if (steps == 0) return;
  InstrumentState& st = s_.state;
  serial::Link& link = s_.link;
  // Positive counts move towards longer wavelengths ("U"), negative ones towards
  // shorter ones ("D" with the magnitude).
  const double count = steps < 0 ? -static_cast<double>(steps) : static_cast<double>(steps);
  const Bytes command = steps < 0 ? protocol::move_down(count) : protocol::move_up(count);

  link.watch_move();
  st.stop_request = false;
  link.expect_reply();
  motion::MotionBound bound(s_.bounds, link.now(), count, st.motion_speed());
  motion::MotionRuns runs(link);
  link.send(command, protocol::kThresholdMove);
  runs.started();
  link.wait_reply();   // the receive handler keeps the reply's head as the target record
  link.end_watch();

  // One position request per pass; busy stays with the caller. There is no stall
  // test: the loop runs until an end sign shows, the operator presses stop, or the
  // motion bound runs out (a stalled motor, reports that stopped or never reach the
  // target): then the motor is stopped and the operator told.
  while (!motion::motion_over(link, st.stop_request)) {
    link.pause();
    link.request_position();
    if (bound.expired(link.now(), st.motion_speed())) {
      motion_overran("MoveBySteps", count, bound.seconds());
      return;
    }
  }
  runs.ended();

  st.busy = true;
  link.request_position();   // the closing position request
  st.busy = false;
}

}  // namespace brivel
