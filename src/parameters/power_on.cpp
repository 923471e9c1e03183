// The power-on wavelength: the wavelength the controller drives the grating to when it
// is switched on, stored by the controller as a step count ("M" sets it, "m" asks).
// The host sets it through the DblOpenPos property, the operator through TxtOpenPos
// (Enter, or leaving the box after an edit). Both confirm, send "M", then read the
// stored count back with "m", so that the box and DblOpenPos show what the controller
// now holds (a request of 435.83 nm at 0.05 nm per step is kept as 8717 steps and
// shown as 435.85 nm).

#include <cmath>

#include "parameters/power_on.h"

#include "platform/failure.h"
#include "protocol/commands.h"
#include "text/convert.h"

namespace brivel {

namespace {
constexpr double kHighestPowerOn = 6553.5;  // nm, a range check only
constexpr int kThresholdPowerOnSet = 3;      // "M": the reply is awaited, not examined
constexpr std::int16_t kEnter = 13;
constexpr std::int16_t kEsc = 27;
constexpr Words kBusy{"The monochromator controller is running.", "单色仪控制器忙!"};
}  // namespace

void PowerOn::set(double w, bool from_property) {
  InstrumentState& st = s_.state;
  if (st.busy) {
    s_.say(MessageKind::Refusal, kBusy, kPrompt, Icon::Information);
    return;
  }
  if (!st.connected) return;
  if (!(w >= 0 && w <= kHighestPowerOn)) {
    s_.say(MessageKind::Refusal, Words{"Please enter a value between 0 and 6553.5.", "请输入 0 到 6553.5 的数字!"}, kPrompt,
        from_property ? Icon::Critical : Icon::Information);
    return;
  }
  const std::string value = text::plain(w) + " nm?";
  const Answer answer =
      s_.say(MessageKind::Question,
          Wording{"Will the initial wavelength be changed to " + value,
                  (from_property ? "将默认波长修改为 " : "将默认波长修改为") + value},
          Words{"Modify monochromator parameters", "修改单色仪参数"}, Icon::None, Buttons::OkCancel);
  bool replied = false;
  if (answer == Answer::Ok) {
    // The step count is computed before anything is sent: a step size of 0 fails here.
    const Bytes command = protocol::set_power_on(protocol::step_count(w, s_.state.step));
    st.busy = true;
    s_.link.expect_reply();
    s_.link.send(command, kThresholdPowerOnSet);
    replied = s_.link.wait_reply();
    // Shown whatever the controller answered, as designed.
    if (from_property)
      s_.say(MessageKind::Success, Words{"Initial wavelength set successfully.", "设置成功！"}, kPrompt, Icon::Information);
  }
  // Also after Cancel: the box returns to the stored value.
  const bool stored = read_back();
  st.busy = false;
  if (answer == Answer::Ok) confirm(w, replied, stored, from_property);
}

void PowerOn::confirm(double requested, bool replied, bool read_back, bool from_property) {
  // The operator's boxes stay as designed (the property reports success without
  // examining the reply); the host learns when the controller did not confirm it.
  const char* operation = from_property ? "DblOpenPos" : "TxtOpenPos";
  const std::string asked = text::plain(requested) + " nm";
  if (!replied || !read_back) {
    s_.note(HostNote::Kind::Failure, operation,
         Wording{"the power-on wavelength " + asked + " was not confirmed: the controller " +
                     (!replied ? "did not answer the setting" : "did not answer the read-back"),
                 "开机波长 " + asked + " 未得到确认：控制器" + (!replied ? "未应答设置" : "未应答读回")});
    return;
  }
  // The controller keeps whole steps: up to half a step, and the shown rounding, apart.
  if (std::abs(s_.state.power_on - requested) > s_.state.step / 2 + 0.005) {
    const std::string held = text::plain(s_.state.power_on) + " nm";
    s_.note(HostNote::Kind::Warning, operation,
         Wording{"the controller holds the power-on wavelength " + held + ", not the " + asked + " requested",
                 "控制器保存的开机波长为 " + held + "，而非所请求的 " + asked});
  }
}

bool PowerOn::read_back() {
  s_.link.send(protocol::question('m'), protocol::kThresholdPowerOn);
  const bool replied = s_.link.wait_reply();
  // Only a fresh, whole "m" answer counts: without a reply the newest packet is an
  // older one, and showing it would pass off a stale value as the stored one.
  if (!replied || !protocol::is_answer(s_.link.last_packet(), 'm', 5)) return false;
  const Bytes& p = s_.link.last_packet();
  const double steps = protocol::assemble32(p[1], p[2], p[3], p[4]);
  const std::string shown = text::format(steps * s_.state.step, "0.00") + " nm";
  s_.w("TxtOpenPos").set_text(shown);
  s_.state.power_on = text::leading_number(shown);
  return true;
}

void PowerOn::key_press(std::int16_t key) {
  InstrumentState& st = s_.state;
  s_.trapped([&] {
    if (key == kEnter) {
      set(text::leading_number(s_.w("TxtOpenPos").text()), false);
      return;
    }
    // Every other key: the busy message while busy (the key still goes into the box).
    if (st.busy) {
      s_.say(MessageKind::Refusal, kBusy, kPrompt, Icon::Information);
      return;
    }
    if (!st.connected || key != kEsc) return;
    // Esc: re-read the stored value, abandoning the edit.
    st.busy = true;
    read_back();
    st.busy = false;
  });
}

void PowerOn::lost_focus() {
  s_.trapped([&] {
    const double typed = text::leading_number(s_.w("TxtOpenPos").text());
    if (typed == text::leading_number(text::plain(s_.state.power_on))) return;
    key_press(kEnter);
  });
}

}  // namespace brivel
