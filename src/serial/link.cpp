// The serial link: opening and closing the port, the receive handler and the waits.
//
// Every reply of the controller arrives through the port's receive event, raised once
// the receive threshold's number of bytes wait (each sender sets the threshold to the
// length of the reply it expects). The handler keeps the newest packet, grows the text
// buffer, raises the reply flag and turns position reports into the current wavelength.
// The waits poll those fields in ticks of Timer1 and yield to the host meanwhile.

#include <algorithm>

#include "control/control.h"
#include "platform/failure.h"
#include "protocol/commands.h"
#include "text/convert.h"

namespace brivel {

namespace {
// Fixed line settings, applied on every open.
constexpr const char* kLineSettings = "9600,N,8,1";
constexpr int kInBufferSize = 2048;   // bytes
constexpr int kOutBufferSize = 1024;  // bytes
constexpr double kReplyWindow = 0.5;  // seconds: WaitReply's limit
constexpr int kReplyTick = 10;        // ms: WaitReply and WaitForOK
constexpr int kDataTick = 50;         // ms: WaitForData
constexpr double kFollowPause = 0.01; // seconds: the follow loops' pause
// A tick whose timer never fires must not hang the host: give up this long after
// the tick was due.
constexpr double kTickGrace = 1.0;    // seconds

std::string right(const std::string& text, std::size_t n) {
  return text.size() <= n ? text : text.substr(text.size() - n);
}
}  // namespace

void Control::open_port() {
  if (IntUseCom_ < 1 || IntUseCom_ > 16) IntUseCom_ = 1;
  if (port_->is_open()) close_port();
  port_->set_port_number(IntUseCom_);
  port_->set_settings(kLineSettings);
  port_->set_in_buffer_size(kInBufferSize);
  port_->set_out_buffer_size(kOutBufferSize);
  port_->set_binary_mode(true);
  port_->set_input_len(0);
  port_->clear_input();
  port_->clear_output();
  port_->open();
  port_expected_open_ = true;
  BlnBusy_ = kTrue;
}

void Control::close_port() noexcept {
  port_expected_open_ = false;
  try {
    if (port_->is_open()) port_->close();
  } catch (...) {
  }
}

void Control::CloseCom() {
  // Closing never reports a failure; the flags and the lamp follow in any case, so
  // that the operator sees the control as not connected.
  close_port();
  BlnMonConnectFlag_ = kFalse;
  BlnBusy_ = kFalse;
  if (Widget* lamp = surface_.find("Image1")) lamp->set_picture(1);
}

void Control::MSComm1_OnComm(int event_code) {
  if (event_code == kComEvLost) {
    port_went_away();
    return;
  }
  if (event_code != kComEvReceive) return;
  // The count is taken before the read: bytes that arrive in between are in the
  // packet but not in the text buffer.
  const std::size_t n = static_cast<std::size_t>(std::max(0, port_->bytes_waiting()));
  VarLastPacket_ = port_->read_all();
  const std::size_t counted = std::min(n, VarLastPacket_.size());
  for (std::size_t i = 0; i < counted; ++i) StrReceive_ += static_cast<char>(VarLastPacket_[i]);

  if (BlnMoveWatch_) {
    // The head of the reply to a move command becomes the target record. Places a
    // short packet does not fill get -1, a value no byte takes, so that a truncated
    // head can never equal a position record.
    for (std::size_t i = 0; i < 4; ++i)
      LngWatchHead_[i] = i < VarLastPacket_.size() ? VarLastPacket_[i] : -1;
  }
  BlnReplyFlag_ = kTrue;

  // A position report: "w" and four position bytes. A shorter one carries no position
  // and changes nothing.
  if (!VarLastPacket_.empty() && VarLastPacket_[0] == 'w' && VarLastPacket_.size() >= 5) {
    for (std::size_t i = 0; i < 4; ++i) LngWatchPos_[i] = VarLastPacket_[i + 1];
    show_wavelength(report_wavelength(VarLastPacket_));
    if (position_hook_) position_hook_(DblMonoWaveLen_);
  }
}

double Control::report_wavelength(const Bytes& packet) const {
  using protocol::byte_at;
  const double position =
      protocol::assemble32(byte_at(packet, 1), byte_at(packet, 2), byte_at(packet, 3), byte_at(packet, 4));
  // The zero offset is read from the field, as the operator sees it.
  const Widget* zero = surface_.find("TxtZeroOffset");
  const double offset = zero ? text::leading_number(zero->text()) : 0.0;
  return DblMonoStep_ * (position - offset);
}

void Control::show_wavelength(double wavelength) {
  const std::string shown = text::format(wavelength, "0.00");
  DblMonoWaveLen_ = text::leading_number(shown);
  if (Widget* label = surface_.find("LblWaveLen")) label->set_text(shown);
}

void Control::Timer1_Timer() { Timer1_->set_enabled(false); }

void Control::tick(int milliseconds) {
  Timer1_->set_interval(milliseconds);
  Timer1_->set_enabled(true);
  const double due = pump_.now() + milliseconds / 1000.0;
  // Timer1 is shared by every wait: a nested wait may switch it off first, which
  // ends this tick early, as it always has.
  while (Timer1_->enabled()) {
    check_outside();
    if (pump_.now() > due + kTickGrace) {
      Timer1_->set_enabled(false);
      break;
    }
    wait_events(due);
  }
}

void Control::pause_10ms() {
  // Measured on the monotonic clock in double precision; the host sleeps meanwhile.
  const double until = pump_.now() + kFollowPause;
  check_outside();
  while (pump_.now() <= until) wait_events(until + 1e-6);
}

void Control::check_outside() {
  if (tick_hook_) tick_hook_();
  if (wait_hook_) wait_hook_();
  // A port that went away (an unplugged adapter, a closed far end) ends every wait at
  // once: no wait would ever see a reply again.
  if (port_expected_open_ && !port_->is_open()) lose_port();
  if (!stopping_ && stop_requested_.exchange(false)) {
    stopping_ = true;   // the waits of the stop itself do not stop again
    try {
      if (port_->is_open()) {
        stop_motor();
        // The reply to "k" may have taken the report the interrupted request was
        // waiting for, so the closing request got the "k"'s reply: ask until a whole
        // position report shows where the motor stopped (bounded).
        if (!protocol::is_answer(VarLastPacket_, 'w', protocol::kThresholdPosition)) settle_position();
      }
    } catch (...) {
      stopping_ = false;
      throw;
    }
    stopping_ = false;
    throw RuntimeFailure(FailureReason::Interrupted, "a stop was requested");
  }
}

void Control::yield_events() {
  Nested inside(nesting_);
  pump_.yield();
}

void Control::wait_events(double deadline) {
  Nested inside(nesting_);
  pump_.wait_until(deadline);
}

void Control::port_went_away() {
  // Closed by the control, already told, or inside a call: nothing to do here.
  if (!port_expected_open_ || port_->is_open() || nesting_ > 0) return;
  try {
    lose_port();
  } catch (const RuntimeFailure& failure) {
    report_failure(failure, "MSComm1_OnComm");
  }
}

void Control::lose_port() {
  const std::string device = port_->device_name();
  close_port();
  BlnMonConnectFlag_ = kFalse;
  BlnBusy_ = kFalse;
  BlnMoveWatch_ = kFalse;
  port_loss_told_ = false;
  if (Widget* lamp = surface_.find("Image1")) lamp->set_picture(1);
  throw RuntimeFailure(FailureReason::PortLost, device + " went away");
}

void Control::stop_motor() {
  StrReceive_.clear();
  BlnBusy_ = kTrue;
  send(protocol::stop(), protocol::kThresholdMove);
  VBBool replied = kFalse;
  WaitReply(replied);   // the reply to "k" is not examined
  BlnBusy_ = kFalse;
  // The interrupted motion sees the request at its next end test.
  BlnStopRequest_ = kTrue;
  BlnBusy_ = kTrue;
  RequestPosition();    // the closing position request
  BlnBusy_ = kFalse;
}

void Control::WaitReply(VBBool& replied) {
  BlnReplyFlag_ = kFalse;
  const double start = pump_.now();
  for (;;) {
    yield_events();
    if (pump_.now() - start > kReplyWindow) {
      replied = kFalse;
      return;
    }
    tick(kReplyTick);
    yield_events();
    if (BlnReplyFlag_) {
      BlnReplyFlag_ = kFalse;
      replied = kTrue;
      return;
    }
  }
}

bool Control::WaitForOK(std::string ending1, std::string ending2, VBBool& ok, double bound) {
  ending1 += '\r';
  ending2 += '\r';
  const double start = pump_.now();
  int idle_waiting = 0;
  for (;;) {
    tick(kReplyTick);
    // An acknowledgement is told by its ending alone. When the line splits a reply so
    // that its last bytes stay below the receive threshold (a CR left over from an
    // earlier reply shifts every later packet), no receive event would ever take them;
    // once the line has stayed idle for a whole tick, take them anyway.
    const int waiting = port_->is_open() ? port_->bytes_waiting() : 0;
    if (waiting > 0 && waiting < port_->threshold() && waiting == idle_waiting)
      MSComm1_OnComm(kComEvReceive);
    idle_waiting = waiting;
    const std::string last5 = right(StrReceive_, 5);
    const std::string last3 = right(StrReceive_, 3);
    yield_events();
    // "OK" at the very end counts with or without its CR; "OKK" does not.
    if (right(StrReceive_, 2) == "OK" || last3 == ending2 || last5 == ending1) break;
    if (pump_.now() - start > bound) {
      ok = kFalse;
      return false;
    }
  }
  StrReceive_.clear();
  ok = kTrue;
  return true;
}

bool Control::WaitForData(double bound) {
  BlnReplyFlag_ = kFalse;
  const double start = pump_.now();
  for (;;) {
    tick(kDataTick);
    if (BlnReplyFlag_) {
      BlnReplyFlag_ = kFalse;
      return true;
    }
    if (pump_.now() - start > bound) return false;
  }
}

void Control::send(const Bytes& command, int threshold) {
  if (threshold >= 0) port_->set_threshold(threshold);
  VarCommand_ = command;
  if (port_expected_open_ && !port_->is_open()) lose_port();
  if (!port_->is_open()) throw RuntimeFailure(FailureReason::PortFailure, "the port is not open");
  try {
    port_->write(VarCommand_);
  } catch (const RuntimeFailure&) {
    // A write that fails because the device went away (the adapter was pulled out
    // just before it) is the loss of the port, as a wait would have seen it.
    if (port_expected_open_ && !port_->is_open()) lose_port();
    throw;
  }
}

void Control::RequestPosition() {
  BlnReplyFlag_ = kFalse;
  send(protocol::question('w'), protocol::kThresholdPosition);
  VBBool replied = kFalse;
  WaitReply(replied);
}

}  // namespace brivel
