// The absolute move: MonochromatorMoveTo sends "W" with the target's step count and
// follows the motion with position requests until one of the three end signs shows
// (the controller's "O", the stop request, a report that repeats the target record),
// or until the wavelength read stays the same over a group of three passes, or until
// the motion bound (WaitBounds::motion) runs out: a controller whose reports keep
// changing without ever reaching the target is stopped and reported.

#include <array>
#include <cmath>
#include <string>

#include "control/control.h"
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

void Control::MonochromatorMoveTo(double& dblWavelen) {
  // The busy test comes first: a call during another exchange is refused even when
  // the target is where the grating already is.
  if (BlnBusy_) {
    say(MessageKind::Refusal, kBusy, motion::kPrompt, Icon::Information);
    return;
  }
  if (dblWavelen == DblMonoWaveLen_) return;
  if (dblWavelen < 0) {
    const std::string target = text::plain(dblWavelen);
    say(MessageKind::Refusal, Wording{kCannotMove.en + target, kCannotMove.zh + target},
        motion::kPrompt, Icon::Critical);
    return;
  }

  // A run-time failure (no step size, port closed, a count beyond 32 bits) gives up
  // the move with the flags lowered and reaches the host as the method's error.
  motion::MotionRuns runs(motion_running_);
  try {
    BlnBusy_ = kTrue;
    BlnStopRequest_ = kFalse;
    StallSlots slots;
    BlnMoveWatch_ = kTrue;
    LngWatchHead_.fill(motion::kTargetRecordEmpty);
    LngWatchPos_.fill(motion::kPositionRecordEmpty);

    // Absolute step count; no zero offset is added.
    const std::int32_t steps = protocol::step_count(dblWavelen, DblMonoStep_);
    // The distance from where the grating was last reported (motor steps).
    const double distance = (dblWavelen - DblMonoWaveLen_) / DblMonoStep_;
    motion::MotionBound bound(bounds_, pump_.now(), distance, motion_speed());
    BlnBusy_ = kTrue;
    BlnReplyFlag_ = kFalse;
    send(protocol::move_absolute(steps), protocol::kThresholdMove);
    runs.started();
    VBBool replied = kFalse;
    WaitReply(replied);   // the receive handler keeps the reply's head as the target record
    BlnBusy_ = kFalse;
    BlnMoveWatch_ = kFalse;

    while (!motion::motion_over(VarLastPacket_, BlnStopRequest_, LngWatchHead_, LngWatchPos_)) {
      pause_10ms();
      for (int i = 0; i < kRequestsPerPass; ++i) {
        BlnBusy_ = kTrue;
        RequestPosition();
      }
      slots.store(DblMonoWaveLen_);
      if (slots.stalled()) {
        say(MessageKind::Failure, kStalled, motion::kPrompt, Icon::Critical);
        BlnBusy_ = kFalse;
        return;
      }
      slots.empty_when_full();
      if (bound.expired(pump_.now(), motion_speed())) {
        motion_overran("MonochromatorMoveTo", distance, bound.seconds());
        return;
      }
    }
    runs.ended();

    BlnBusy_ = kTrue;
    RequestPosition();   // the closing position request
    BlnBusy_ = kFalse;
  } catch (const RuntimeFailure& failure) {
    BlnBusy_ = kFalse;
    BlnMoveWatch_ = kFalse;
    if (failure.reason() == FailureReason::PortLost) tell_port_lost();
    throw;
  }
}

int Control::motion_speed() const {
  return reported_speed_ >= 1 && reported_speed_ <= 250 ? reported_speed_ : 1;
}

void Control::motion_overran(const char* operation, double steps, double seconds) {
  stop_motor();   // "k", then the closing position request
  BlnBusy_ = kFalse;
  say(MessageKind::Failure, kOverran, motion::kPrompt, Icon::Critical);
  const std::string count = text::plain(std::round(std::abs(steps)));
  const std::string speed = std::to_string(motion_speed());
  const std::string bound = text::format(seconds, "0.0");
  note(HostNote::Kind::Failure, operation,
       Wording{"the move of " + count + " steps at speed " + speed + " did not end within " + bound +
                   " s; the motor was stopped",
               "移动 " + count + " 步（速度 " + speed + "）未在 " + bound + " 秒内完成，电机已停止"});
}

}  // namespace brivel
