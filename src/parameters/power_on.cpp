// The power-on wavelength: the wavelength the controller drives the grating to when it
// is switched on, stored by the controller as a step count ("M" sets it, "m" asks).
// The host sets it through the DblOpenPos property, the operator through TxtOpenPos
// (Enter, or leaving the box after an edit). Both confirm, send "M", then read the
// stored count back with "m", so that the box and DblOpenPos show what the controller
// now holds (a request of 435.83 nm at 0.05 nm per step is kept as 8717 steps and
// shown as 435.85 nm).

#include <cmath>

#include "control/control.h"
#include "platform/failure.h"
#include "protocol/commands.h"
#include "text/convert.h"

namespace brivel {

namespace {
constexpr double kHighestPowerOn = 6553.5;  // nm, a range check only
constexpr int kThresholdPowerOnSet = 3;      // "M": the reply is awaited, not examined
constexpr std::int16_t kEnter = 13;
constexpr std::int16_t kEsc = 27;
constexpr Words kPrompt{"Prompt", "提示"};
}  // namespace

void Control::setDblOpenPos(double& value) {
  // No trap of its own: a run-time failure (a step size of 0 divides by zero) reaches
  // the host as the assignment's error, with the busy flag lowered first. A port that
  // went away is told to the operator as well, as every operation tells it.
  try {
    set_power_on(value, true);
  } catch (const RuntimeFailure& failure) {
    BlnBusy_ = false;
    if (failure.reason() == FailureReason::PortLost) tell_port_lost();
    throw;
  }
}

void Control::set_power_on(double w, bool from_property) {
  if (BlnBusy_) {
    say(MessageKind::Refusal, Words{"The monochromator controller is running.", "单色仪控制器忙!"}, kPrompt, Icon::Information);
    return;
  }
  if (!BlnMonConnectFlag_) return;
  if (!(w >= 0 && w <= kHighestPowerOn)) {
    say(MessageKind::Refusal, Words{"Please enter a value between 0 and 6553.5.", "请输入 0 到 6553.5 的数字!"}, kPrompt,
        from_property ? Icon::Critical : Icon::Information);
    return;
  }
  const std::string value = text::plain(w) + " nm?";
  const Answer answer =
      say(MessageKind::Question,
          Wording{"Will the initial wavelength be changed to " + value,
                  (from_property ? "将默认波长修改为 " : "将默认波长修改为") + value},
          Words{"Modify monochromator parameters", "修改单色仪参数"}, Icon::None, Buttons::OkCancel);
  bool replied = false;
  if (answer == Answer::Ok) {
    // The step count is computed before anything is sent: a step size of 0 fails here.
    const Bytes command = protocol::set_power_on(protocol::step_count(w, DblMonoStep_));
    BlnBusy_ = true;
    BlnReplyFlag_ = false;
    send(command, kThresholdPowerOnSet);
    replied = WaitReply();
    // Shown whatever the controller answered, as described.
    if (from_property)
      say(MessageKind::Success, Words{"Initial wavelength set successfully.", "设置成功！"}, kPrompt, Icon::Information);
  }
  // Also after Cancel: the box returns to the stored value.
  const bool read_back = read_back_power_on();
  BlnBusy_ = false;
  if (answer == Answer::Ok) confirm_power_on(w, replied, read_back, from_property);
}

void Control::confirm_power_on(double requested, bool replied, bool read_back, bool from_property) {
  // The operator's boxes stay as described (the property reports success without
  // examining the reply); the host learns when the controller did not confirm it.
  const char* operation = from_property ? "DblOpenPos" : "TxtOpenPos";
  const std::string asked = text::plain(requested) + " nm";
  if (!replied || !read_back) {
    note(HostNote::Kind::Failure, operation,
         Wording{"the power-on wavelength " + asked + " was not confirmed: the controller " +
                     (!replied ? "did not answer the setting" : "did not answer the read-back"),
                 "开机波长 " + asked + " 未得到确认：控制器" + (!replied ? "未应答设置" : "未应答读回")});
    return;
  }
  // The controller keeps whole steps: up to half a step, and the shown rounding, apart.
  if (std::abs(DblOpenPos_ - requested) > DblMonoStep_ / 2 + 0.005) {
    const std::string held = text::plain(DblOpenPos_) + " nm";
    note(HostNote::Kind::Warning, operation,
         Wording{"the controller holds the power-on wavelength " + held + ", not the " + asked + " requested",
                 "控制器保存的开机波长为 " + held + "，而非所请求的 " + asked});
  }
}

bool Control::read_back_power_on() {
  send(protocol::question('m'), protocol::kThresholdPowerOn);
  const bool replied = WaitReply();
  // Only a fresh, whole "m" answer counts: without a reply the newest packet is an
  // older one, and showing it would pass off a stale value as the stored one.
  if (!replied || !protocol::is_answer(VarLastPacket_, 'm', 5)) return false;
  const Bytes& p = VarLastPacket_;
  const double steps = protocol::assemble32(p[1], p[2], p[3], p[4]);
  const std::string shown = text::format(steps * DblMonoStep_, "0.00") + " nm";
  w("TxtOpenPos").set_text(shown);
  DblOpenPos_ = text::leading_number(shown);
  return true;
}

void Control::TxtOpenPos_KeyPress(std::int16_t& KeyAscii) {
  trapped([&] {
    if (KeyAscii == kEnter) {
      set_power_on(text::leading_number(w("TxtOpenPos").text()), false);
      return;
    }
    // Every other key: the busy message while busy (the key still goes into the box).
    if (BlnBusy_) {
      say(MessageKind::Refusal, Words{"The monochromator controller is running.", "单色仪控制器忙!"}, kPrompt,
          Icon::Information);
      return;
    }
    if (!BlnMonConnectFlag_ || KeyAscii != kEsc) return;
    // Esc: re-read the stored value, abandoning the edit.
    BlnBusy_ = true;
    read_back_power_on();
    BlnBusy_ = false;
  });
}

void Control::TxtOpenPos_LostFocus() {
  trapped([&] {
    const double typed = text::leading_number(w("TxtOpenPos").text());
    if (typed == text::leading_number(text::plain(DblOpenPos_))) return;
    std::int16_t enter = kEnter;
    TxtOpenPos_KeyPress(enter);
  });
}

}  // namespace brivel
