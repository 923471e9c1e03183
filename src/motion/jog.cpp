// Manual jog and stop. While a jog button is held with the left mouse button the
// controller turns the grating continuously ("K" with the direction) and the press
// handler follows it with position requests; the release (handled nested inside the
// press handler's waits) sends "k", raises the stop request and reads the final
// position. The stop button interrupts any motion the same way.

#include <algorithm>

#include "control/control.h"
#include "motion/motion_common.h"
#include "platform/failure.h"
#include "protocol/commands.h"

namespace brivel {

namespace {
constexpr Words kConnectFirst{"Please connect the monochromator first.", "Demo模式下没有此功能！"};
constexpr Words kNoTitle{"", ""};
constexpr Words kFinalPosition{"the position after the motor stopped", "电机停止后的位置"};
}  // namespace

void Control::CmdHandUp_MouseDown(std::int16_t button) { jog_press(protocol::kJogUp, button); }
void Control::CmdHandDown_MouseDown(std::int16_t button) { jog_press(protocol::kJogDown, button); }
void Control::CmdHandUp_MouseUp(std::int16_t button) { jog_release(button); }
void Control::CmdHandDown_MouseUp(std::int16_t button) { jog_release(button); }

void Control::jog_press(int direction, std::int16_t button) {
  // Another mouse button does nothing at all, not even to BlnBusy: it must not
  // disturb an operation that may be running.
  if (button != motion::kLeftButton) return;
  trapped([&] {
    if (!BlnMonConnectFlag_) {
      say(MessageKind::Refusal, motion::kNotConnected, motion::kPrompt);
      return;
    }
    if (BlnBusy_) return;

    BlnStopRequest_ = kFalse;
    BlnBusy_ = kTrue;
    motion::MotionRuns runs(motion_running_);
    send(protocol::jog(direction), protocol::kThresholdMove);
    runs.started();
    VBBool replied = kFalse;
    WaitReply(replied);

    // The jog loop: the release or the stop button raise the stop request; the
    // controller may end the motion itself with a packet beginning with "O".
    while (protocol::byte_at(VarLastPacket_, 0) != 'O' && !BlnStopRequest_) {
      pause_10ms();
      RequestPosition();
    }
    runs.ended();   // released, stopped, or at the end of travel
    if (!settle_position()) {
      gave_up(kFinalPosition);
      return;
    }
    BlnBusy_ = kFalse;
  });
}

void Control::jog_release(std::int16_t button) {
  if (button != motion::kLeftButton) return;
  BlnStopRequest_ = kTrue;
  StrReceive_.clear();
  // Letting go of the button while disconnected is no fault of the operator's: no
  // write, no message; the raised stop request ends any loop that still runs.
  if (!port_->is_open()) return;
  trapped([&] {
    BlnBusy_ = kTrue;
    send(protocol::stop(), protocol::kThresholdMove);
    motion_running_ = false;
    VBBool replied = kFalse;
    WaitReply(replied);   // the reply to "k" is not examined
    BlnBusy_ = kTrue;
    if (!settle_position()) {
      gave_up(kFinalPosition);
      return;
    }
    BlnBusy_ = kFalse;
  });
}

bool Control::settle_position(double bound) {
  const double start = pump_.now();
  // A bound of the caller's (a stop from outside) is kept to the end: no request
  // waits past it. The jog's own bound lets the last request have its whole window.
  const bool strict = bound >= 0;
  if (!strict) bound = bounds_.final_position;
  const auto ask = [&] {
    BlnReplyFlag_ = kFalse;
    send(protocol::question('w'), protocol::kThresholdPosition);
    VBBool replied = kFalse;
    reply_within(replied, strict ? std::clamp(start + bound - pump_.now(), 0.0, 0.5) : 0.5);
  };
  ask();
  // Asked again until a whole position report ("w" and four bytes) is the latest
  // packet; a controller that never reports gives up after the bound.
  while (!protocol::is_answer(VarLastPacket_, 'w', protocol::kThresholdPosition)) {
    if (strict ? pump_.now() - start >= bound : pump_.now() - start > bound) return false;
    // Whatever waits below the threshold now is the tail of a split or late reply;
    // left there it would shift every later packet, so no report could ever begin
    // with "w" again. The request is asked afresh on an empty queue.
    port_->clear_input();
    ask();
    yield_events();
  }
  show_wavelength(report_wavelength(VarLastPacket_));
  return true;
}

void Control::CmdStop_Click() {
  trapped([&] {
    if (!BlnMonConnectFlag_) {
      say(MessageKind::Refusal, kConnectFirst, kNoTitle);
      return;
    }
    if (!BlnBusy_) return;

    // The interrupted operation sees the stop request at its next end test and winds
    // itself up with its own closing position request.
    stop_motor();
  }, "CmdStop");
}

}  // namespace brivel
