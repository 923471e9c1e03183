// Manual jog and stop. While a jog button is held with the left mouse button the
// controller turns the grating continuously ("K" with the direction) and the press
// follows it with position requests; the release (handled nested inside the press's
// waits) sends "k", raises the stop request and reads the final position. The stop
// button interrupts any motion the same way.

#include <algorithm>

#include "motion/motion.h"
#include "motion/motion_common.h"
#include "platform/failure.h"
#include "protocol/commands.h"

namespace brivel {

namespace {
constexpr Words kConnectFirst{"Please connect the monochromator first.", "Demo模式下没有此功能！"};
constexpr Words kNoTitle{"", ""};
constexpr Words kFinalPosition{"the position after the motor stopped", "电机停止后的位置"};
}  // namespace

void Motion::jog_press(int direction, std::int16_t button) {
  // Another mouse button does nothing at all, not even to busy: it must not disturb an
  // operation that may be running.
  if (button != motion::kLeftButton) return;
  InstrumentState& st = s_.state;
  serial::Link& link = s_.link;
  s_.trapped([&] {
    if (refused_unconnected()) return;
    if (st.busy) return;

    st.stop_request = false;
    st.busy = true;
    motion::MotionRuns runs(link);
    link.send(protocol::jog(direction), protocol::kThresholdMove);
    runs.started();
    link.wait_reply();

    // The jog loop: the release or the stop button raise the stop request; the
    // controller may end the motion itself with a packet beginning with "O".
    while (protocol::byte_at(link.last_packet(), 0) != 'O' && !st.stop_request) {
      link.pause();
      link.request_position();
    }
    runs.ended();   // released, stopped, or at the end of travel
    if (!settle_position()) {
      s_.gave_up(kFinalPosition);
      return;
    }
    st.busy = false;
  });
}

void Motion::jog_release(std::int16_t button) {
  if (button != motion::kLeftButton) return;
  InstrumentState& st = s_.state;
  serial::Link& link = s_.link;
  st.stop_request = true;
  link.clear_received();
  // Letting go of the button while disconnected is no fault of the operator's: no
  // write, no message; the raised stop request ends any loop that still runs.
  if (!link.is_open()) return;
  s_.trapped([&] {
    st.busy = true;
    link.send(protocol::stop(), protocol::kThresholdMove);
    link.motion_ended();
    link.wait_reply();   // the reply to "k" is not examined
    st.busy = true;
    if (!settle_position()) {
      s_.gave_up(kFinalPosition);
      return;
    }
    st.busy = false;
  });
}

bool Motion::refused_unconnected() {
  if (s_.state.connected) return false;
  s_.say(MessageKind::Refusal, motion::kNotConnected, kPrompt);
  return true;
}

bool Motion::settle_position(double bound) {
  serial::Link& link = s_.link;
  const double start = link.now();
  // A bound of the caller's (a stop from outside) is kept to the end: no request
  // waits past it. The jog's own bound lets the last request have its whole window.
  const bool strict = bound >= 0;
  if (!strict) bound = s_.bounds.final_position;
  const auto ask = [&] {
    link.expect_reply();
    link.send(protocol::question('w'), protocol::kThresholdPosition);
    link.reply_within(strict ? std::clamp(start + bound - link.now(), 0.0, serial::Link::kReplyWindow)
                             : serial::Link::kReplyWindow);
  };
  ask();
  // Asked again until a whole position report ("w" and four bytes) is the latest
  // packet; a controller that never reports gives up after the bound.
  while (!protocol::is_answer(link.last_packet(), 'w', protocol::kThresholdPosition)) {
    if (strict ? link.now() - start >= bound : link.now() - start > bound) return false;
    // Whatever waits below the threshold now is the tail of a split or late reply;
    // left there it would shift every later packet, so no report could ever begin
    // with "w" again. The request is asked afresh on an empty queue.
    link.clear_input();
    ask();
    link.yield();
  }
  s_.show_wavelength(s_.report_wavelength(link.last_packet()));
  return true;
}

void Motion::stop() {
  s_.trapped([&] {
    if (!s_.state.connected) {
      s_.say(MessageKind::Refusal, kConnectFirst, kNoTitle);
      return;
    }
    if (!s_.state.busy) return;
    // The interrupted operation sees the stop request at its next end test and winds
    // itself up with its own closing position request.
    stop_motor();
  }, "CmdStop");
}

void Motion::stop_motor(double window) {
  InstrumentState& st = s_.state;
  serial::Link& link = s_.link;
  const double until = link.now() + window;
  // Each reply window, shortened so that the whole stop ends by `until`.
  const auto within = [&] {
    return window < 0 ? serial::Link::kReplyWindow : std::clamp(until - link.now(), 0.0, serial::Link::kReplyWindow);
  };
  link.clear_received();
  st.busy = true;
  link.send(protocol::stop(), protocol::kThresholdMove);
  link.motion_ended();
  // The interrupted motion sees the request at its next end test. Raised as soon as
  // "k" is out: should this very wait be stopped from outside, the motion still ends.
  st.stop_request = true;
  link.reply_within(within());   // the reply to "k" is not examined
  st.busy = false;
  st.busy = true;
  // The closing position request.
  link.expect_reply();
  link.send(protocol::question('w'), protocol::kThresholdPosition);
  link.reply_within(within());
  st.busy = false;
}

void Motion::stop_from_outside(double window) {
  const double until = s_.link.now() + window;
  stop_motor(window);
  // The reply to "k" may have taken the report the interrupted request was waiting
  // for, so the closing request got the "k"'s reply: ask until a whole position report
  // shows where the motor stopped, while the stop's time lasts.
  if (!protocol::is_answer(s_.link.last_packet(), 'w', protocol::kThresholdPosition) && s_.link.now() < until)
    settle_position(until - s_.link.now());
}

}  // namespace brivel
