// Motor speed and repositioning. Both speed paths send "V", read the speed back with
// "v" and show what the controller reports; the property also keeps it in IntSpeed.
// Repositioning sends "K" 8, waits (with the wait window shown) for the controller's
// "OK" once the grating is back at its reference, and then re-reads the instrument.

#include <algorithm>
#include <string>

#include "control/control.h"
#include "motion/motion_common.h"
#include "platform/failure.h"
#include "protocol/commands.h"
#include "text/convert.h"

namespace brivel {

namespace {
// Motor speed range, both ends included.
constexpr std::int16_t kSlowest = 1;
constexpr std::int16_t kFastest = 250;
// "V" keeps the receive threshold of whatever was sent before it.
constexpr int kKeepThreshold = -1;

constexpr Words kRepositionQuestion{"Do you really want to reposition?", "真的要重新定位吗?"};
constexpr Words kRepositionTitle{"Reposition", "重新定位"};
constexpr Words kResetting{"The monochromator is resetting. Please wait a moment.", "仪器复位....请等待. "};
constexpr Words kReturnToReference{"the return to the reference position", "返回参考位置"};
// nm: the farthest the run panel's target mode sends the grating.
constexpr double kFarthestTarget = 99999;
}  // namespace

void Control::setIntSpeed(std::int16_t& value) {
  if (!BlnMonConnectFlag_) return;
  if (value < kSlowest) value = kSlowest;
  if (value > kFastest) value = kFastest;
  const std::int16_t speed = value;
  // A property set from the host is an operator-level action here: a failure (a port
  // that vanished) is shown, never passed to the host.
  trapped([&] {
    BlnBusy_ = kTrue;
    speed_was_sent(speed);
    send(protocol::set_speed_property(speed), kKeepThreshold);
    VBBool replied = kFalse;
    WaitReply(replied);   // the reply to "V" is not examined

    BlnBusy_ = kTrue;
    send(protocol::question('v'), protocol::kThresholdSpeed);
    WaitReply(replied);
    // "v", x, speed: the speed the controller took is in byte 2.
    if (protocol::is_answer(VarLastPacket_, 'v', protocol::kThresholdSpeed)) {
      IntSpeed_ = protocol::byte_at(VarLastPacket_, 2);
      reported_speed_ = IntSpeed_;
      w("CboSpeed").set_text(std::to_string(IntSpeed_));
    }
    BlnBusy_ = kFalse;
  });
}

void Control::CboSpeed_Click() {
  trapped([&] {
    if (BlnBusy_) return;
    if (!BlnMonConnectFlag_) {
      say(MessageKind::Refusal, motion::kNotConnected, motion::kPrompt);
      return;
    }
    // Text that is not a number, or beyond 16 bits, is a run-time failure shown
    // to the operator.
    const double typed = text::parse_double(w("CboSpeed").text());
    std::int16_t speed = text::to_int16(typed);
    if (typed < kSlowest) speed = kSlowest;
    if (typed > kFastest) speed = kFastest;

    BlnBusy_ = kTrue;
    speed_was_sent(speed);
    send(protocol::set_speed_box(speed), kKeepThreshold);
    VBBool replied = kFalse;
    WaitReply(replied);

    BlnBusy_ = kTrue;
    send(protocol::question('v'), protocol::kThresholdSpeed);
    WaitReply(replied);
    // The box shows what the controller reports; IntSpeed belongs to the host.
    if (protocol::is_answer(VarLastPacket_, 'v', protocol::kThresholdSpeed)) {
      reported_speed_ = protocol::byte_at(VarLastPacket_, 2);
      w("CboSpeed").set_text(std::to_string(reported_speed_));
    }
    BlnBusy_ = kFalse;
  });
}

void Control::CmdReAnchor_Click() {
  trapped([&] {
    if (!BlnMonConnectFlag_) {
      say(MessageKind::Refusal, motion::kNotConnected, motion::kPrompt);
      return;
    }
    if (BlnBusy_) return;
    if (say(MessageKind::Question, kRepositionQuestion, kRepositionTitle, Icon::None, Buttons::OkCancel) == Answer::Cancel)
      return;

    show_splash(english() ? kResetting.en : kResetting.zh);
    try {
      StrReceive_.clear();
      BlnBusy_ = kTrue;
      // The wait window stays up for the whole return, however long the travel.
      const double bound = reposition_bound(shown_power_on_steps());
      motion::MotionRuns runs(motion_running_);
      send(protocol::reposition(), protocol::kThresholdMove);
      runs.started();
      // The controller answers "OK" only once the grating is back at its reference
      // and out again at its power-on position, which may take minutes.
      VBBool ok = kFalse;
      if (!WaitForOK("OKKK", "OK", ok, bound)) {
        reposition_overran("CmdReAnchor", bound);   // the motor is stopped first
        hide_splash();
        gave_up(kReturnToReference);
        return;
      }
      runs.ended();
      BlnBusy_ = kFalse;
      CmdMonoRefresh_Click();   // re-reads the instrument; shows its own messages
      hide_splash();
      BlnBusy_ = kFalse;
    } catch (const RuntimeFailure&) {
      hide_splash();   // the failure is shown without the wait window behind it
      throw;
    }
  });
}

double Control::shown_power_on_steps() const {
  // The power-on wavelength the controller reported (or confirmed), in its absolute
  // steps: the zero offset above the reference added, as the controller drives there.
  const double steps = DblMonoStep_ > 0 ? DblOpenPos_ / DblMonoStep_ : 0.0;
  return std::max(0.0, steps) + std::max<double>(0, LngZeroPos_);
}

double Control::reposition_bound(double power_on_steps) const {
  // Back from the position last reported to the reference, then out to the power-on
  // position. With no report since the port opened, the motor may stand anywhere the
  // run panel can send it: the target mode's largest wavelength.
  double back = last_position_;
  if (back < 0) {
    const Widget* zero = surface_.find("TxtZeroOffset");
    const double offset = zero ? text::leading_number(zero->text()) : 0.0;
    back = (DblMonoStep_ > 0 ? kFarthestTarget / DblMonoStep_ : 0.0) + std::max(0.0, offset);
  }
  return bounds_.reposition(back + std::max(0.0, power_on_steps), motion_speed());
}

void Control::reposition_overran(const char* operation, double seconds) {
  stop_motor();   // "k", then the closing position request
  BlnBusy_ = kFalse;
  const std::string bound = text::format(seconds, "0.0");
  const std::string speed = std::to_string(motion_speed());
  note(HostNote::Kind::Failure, operation,
       Wording{"the return to the reference position did not end within " + bound + " s at speed " + speed +
                   "; the motor was stopped",
               "返回参考位置未在 " + bound + " 秒内完成（速度 " + speed + "），电机已停止"});
}

void Control::speed_was_sent(std::int16_t speed) {
  // Until the controller confirms a speed, a move's bound assumes the slower of the
  // speed it reported and the one just sent: a bound must never run out too early.
  if (reported_speed_ < 1 || speed < reported_speed_) reported_speed_ = speed;
}

}  // namespace brivel
