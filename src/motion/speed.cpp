// Motor speed and repositioning. Both speed paths send "V", read the speed back with
// "v" and show what the controller reports; the property also keeps it in IntSpeed.
// Repositioning sends "K" 8, waits (with the wait window shown) for the controller's
// "OK" once the grating is back at its reference, and then re-reads the instrument.

#include <algorithm>
#include <string>

#include "identify/identification.h"
#include "motion/motion.h"
#include "motion/motion_common.h"
#include "platform/failure.h"
#include "protocol/commands.h"
#include "text/convert.h"

namespace brivel {

namespace {
constexpr Words kRepositionQuestion{"Do you really want to reposition?", "真的要重新定位吗?"};
constexpr Words kRepositionTitle{"Reposition", "重新定位"};
constexpr Words kResetting{"The monochromator is resetting. Please wait a moment.", "仪器复位....请等待. "};
constexpr Words kReturnToReference{"the return to the reference position", "返回参考位置"};
// nm: the farthest the run panel's target mode sends the grating.
constexpr double kFarthestTarget = 99999;
}  // namespace

void Motion::set_speed(std::int16_t speed, bool from_property) {
  InstrumentState& st = s_.state;
  serial::Link& link = s_.link;
  st.busy = true;
  speed_was_sent(speed);
  // "V" keeps the receive threshold of whatever was sent before it.
  link.send(from_property ? protocol::set_speed_property(speed) : protocol::set_speed_box(speed),
            serial::Link::kKeepThreshold);
  link.wait_reply();   // the reply to "V" is not examined

  st.busy = true;
  link.send(protocol::question('v'), protocol::kThresholdSpeed);
  link.wait_reply();
  // "v", x, speed: the speed the controller took is in byte 2. The box shows what the
  // controller reports; the property keeps it too.
  if (protocol::is_answer(link.last_packet(), 'v', protocol::kThresholdSpeed)) {
    st.reported_speed = protocol::byte_at(link.last_packet(), 2);
    if (from_property) st.speed = st.reported_speed;
    s_.w("CboSpeed").set_text(std::to_string(st.reported_speed));
  }
  st.busy = false;
}

void Motion::reposition() {
  InstrumentState& st = s_.state;
  serial::Link& link = s_.link;
  if (refused_unconnected()) return;
  if (st.busy) return;
  if (s_.say(MessageKind::Question, kRepositionQuestion, kRepositionTitle, Icon::None, Buttons::OkCancel) ==
      Answer::Cancel)
    return;

  s_.show_splash(kResetting);
  try {
    link.clear_received();
    st.busy = true;
    // The wait window stays up for the whole return, however long the travel.
    const double bound = reposition_bound(shown_power_on_steps());
    motion::MotionRuns runs(link);
    link.send(protocol::reposition(), protocol::kThresholdMove);
    runs.started();
    // The controller answers "OK" only once the grating is back at its reference
    // and out again at its power-on position, which may take minutes.
    if (!link.wait_for_ack(bound)) {
      reposition_overran("CmdReAnchor", bound);   // the motor is stopped first
      s_.hide_splash();
      s_.gave_up(kReturnToReference);
      return;
    }
    runs.ended();
    st.busy = false;
    identification_.refresh();   // re-reads the instrument; shows its own messages
    s_.hide_splash();
    st.busy = false;
  } catch (const RuntimeFailure&) {
    s_.hide_splash();   // the failure is shown without the wait window behind it
    throw;
  }
}

double Motion::shown_power_on_steps() const {
  // The power-on wavelength the controller reported (or confirmed), in its absolute
  // steps: the zero offset above the reference added, as the controller drives there.
  const InstrumentState& st = s_.state;
  const double steps = st.step > 0 ? st.power_on / st.step : 0.0;
  return std::max(0.0, steps) + std::max<double>(0, st.zero_offset);
}

double Motion::reposition_bound(double power_on_steps) const {
  // Back from the position last reported to the reference, then out to the power-on
  // position. With no report since the port opened, the motor may stand anywhere the
  // run panel can send it: the target mode's largest wavelength.
  const InstrumentState& st = s_.state;
  double back = s_.link.last_position();
  if (back < 0) back = (st.step > 0 ? kFarthestTarget / st.step : 0.0) + std::max<double>(0, st.zero_offset);
  return s_.bounds.reposition(back + std::max(0.0, power_on_steps), st.motion_speed());
}

void Motion::reposition_overran(const char* operation, double seconds) {
  stop_motor();   // "k", then the closing position request
  s_.state.busy = false;
  const std::string bound = text::format(seconds, "0.0");
  const std::string speed = std::to_string(s_.state.motion_speed());
  s_.note(HostNote::Kind::Failure, operation,
          Wording{"the return to the reference position did not end within " + bound + " s at speed " + speed +
                      "; the motor was stopped",
                  "返回参考位置未在 " + bound + " 秒内完成（速度 " + speed + "），电机已停止"});
}

void Motion::speed_was_sent(std::int16_t speed) {
  // Until the controller confirms a speed, a move's bound assumes the slower of the
  // speed it reported and the one just sent: a bound must never run out too early.
  std::int16_t& reported = s_.state.reported_speed;
  if (reported < 1 || speed < reported) reported = speed;
}

}  // namespace brivel
