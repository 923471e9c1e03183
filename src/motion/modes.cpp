// The increment and target modes of the run panel. The up and down buttons move the
// grating by the increment chosen in CboDistance, converted to whole motor steps and
// sent as one relative move ("U" or "D", MoveBySteps); the run button sends it to the
// wavelength in CboTarget through the absolute move. Entries are range-checked first.

#include <string>

#include "control/control.h"
#include "motion/motion_common.h"
#include "platform/failure.h"
#include "protocol/commands.h"
#include "text/convert.h"

namespace brivel {

namespace {
// Accepted ranges, both ends included: increments in motor steps, the target in nm.
constexpr const char* kMinimum = "0";
constexpr const char* kMaxStepsUp = "999999";
constexpr const char* kMaxStepsDown = "200000";
constexpr const char* kMaxTarget = "99999";
constexpr std::uint8_t kTypeInt32 = 3;
constexpr std::uint8_t kTypeDouble = 5;
}  // namespace

void Control::CmdUp_Click() {
  trapped([&] {
    if (!BlnMonConnectFlag_) {
      say(MessageKind::Refusal, motion::kNotConnected, motion::kPrompt);
      return;
    }
    // The up button reads the number the text begins with ("1 nm" is 1 nm). It checks
    // the entry before it looks at BlnBusy; a count it cannot convert while another
    // exchange runs is dropped silently, so that the trap does not lower the other
    // exchange's BlnBusy.
    std::int32_t N = 0;
    try {
      N = protocol::step_count(text::leading_number(w("CboDistance").text()), DblMonoStep_);
    } catch (const RuntimeFailure&) {
      if (BlnBusy_) return;
      throw;
    }
    if (!entry_accepted(kMinimum, kMaxStepsUp, std::to_string(N), kTypeInt32, "CboDistance")) return;
    if (BlnBusy_) return;
    BlnBusy_ = true;
    MoveBySteps(N);
    BlnBusy_ = false;
  });
}

void Control::CmdDown_Click() {
  trapped([&] {
    if (!BlnMonConnectFlag_) {
      say(MessageKind::Refusal, motion::kNotConnected, motion::kPrompt);
      return;
    }
    if (BlnBusy_) return;
    // The down button converts the whole text strictly: text that is not a number
    // is a run-time failure, shown to the operator.
    const std::int32_t N =
        protocol::step_count(text::parse_double(w("CboDistance").text()), DblMonoStep_);
    if (!entry_accepted(kMinimum, kMaxStepsDown, std::to_string(N), kTypeInt32, "CboDistance")) return;
    BlnBusy_ = true;
    std::int32_t down = -N;   // N is 0 to 200000 here
    MoveBySteps(down);
    BlnBusy_ = false;
  });
}

void Control::CmdRun_Click() {
  trapped([&] {
    if (!BlnMonConnectFlag_) {
      say(MessageKind::Refusal, motion::kNotConnected, motion::kPrompt);
      return;
    }
    if (BlnBusy_) return;
    const std::string entry = w("CboTarget").text();
    if (!entry_accepted(kMinimum, kMaxTarget, entry, kTypeDouble, "CboTarget")) return;
    BlnStopRequest_ = false;
    // Targets are moved to at 0.01 nm: 546.074 goes to 546.07.
    double target = text::leading_number(text::format(text::parse_double(entry), "0.00"));
    MonochromatorMoveTo(target);   // its run-time failure is trapped here
    BlnBusy_ = false;
  });
}

void Control::MoveBySteps(std::int32_t& N) {
  if (N == 0) return;
  // Positive counts move towards longer wavelengths ("U"), negative ones towards
  // shorter ones ("D" with the magnitude).
  const double count = N < 0 ? -static_cast<double>(N) : static_cast<double>(N);
  const Bytes command = N < 0 ? protocol::move_down(-std::int64_t{N}) : protocol::move_up(N);   // whole steps

  BlnMoveWatch_ = true;
  LngWatchHead_.fill(motion::kTargetRecordEmpty);
  LngWatchPos_.fill(motion::kPositionRecordEmpty);
  BlnStopRequest_ = false;
  BlnReplyFlag_ = false;
  motion::MotionBound bound(bounds_, pump_.now(), count, motion_speed());
  motion::MotionRuns runs(motion_running_);
  send(command, protocol::kThresholdMove);
  runs.started();
  WaitReply();   // the receive handler keeps the reply's head as the target record
  BlnMoveWatch_ = false;

  // One position request per pass; BlnBusy stays with the caller. There is no stall
  // test: the loop runs until an end sign shows, the operator presses stop, or the
  // motion bound runs out (a stalled motor, reports that stopped or never reach the
  // target): then the motor is stopped and the operator told.
  while (!motion::motion_over(VarLastPacket_, BlnStopRequest_, LngWatchHead_, LngWatchPos_)) {
    pause_10ms();
    RequestPosition();
    if (bound.expired(pump_.now(), motion_speed())) {
      motion_overran("MoveBySteps", count, bound.seconds());
      return;
    }
  }
  runs.ended();

  BlnBusy_ = true;
  RequestPosition();   // the closing position request
  BlnBusy_ = false;
}

}  // namespace brivel
