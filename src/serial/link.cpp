// The serial link: opening and closing the port, the receive handler and the waits.
// The waits poll the receive fields in ticks of one timer and yield to the host meanwhile.

#include "serial/link.h"

#include <algorithm>

#include "protocol/commands.h"

namespace brivel::serial {

namespace {
constexpr int kReplyTick = 10;        // ms: wait_reply and wait_for_ack
constexpr int kDataTick = 50;         // ms: wait_for_data
constexpr double kFollowPause = 0.01; // seconds: the follow loops' pause
// A tick whose timer never fires must not hang the host: give up this long after
// the tick was due.
constexpr double kTickGrace = 1.0;    // seconds
// The text buffer is only ever looked at from its end (an acknowledgement's last five
// characters at most); between the points that empty it, it keeps this many.
constexpr std::size_t kReceiveKept = 1024;   // bytes
constexpr std::array<std::int32_t, 4> kTargetRecordEmpty{99999999, 99999999, 99999999, 99999999};
constexpr std::array<std::int32_t, 4> kPositionRecordEmpty{88888888, 88888888, 88888888, 88888888};

bool ends_with(const std::string& text, const char* ending) {
  const std::string tail(ending);
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}
}  // namespace

Link::Link(EventPump& pump, std::unique_ptr<SerialPort> port)
    : pump_(pump), port_(std::move(port)), timer_(pump.make_timer()) {
  timer_->set_enabled(false);
  timer_->set_tick_handler([this] { timer_->set_enabled(false); });
  port_->set_receive_handler([this](int event_code) { on_comm(event_code); });
}

Link::~Link() {
  close();
  // No event may reach a link that is going away.
  port_->set_receive_handler(nullptr);
  timer_->set_tick_handler(nullptr);
}

std::string Link::open(int number) {
  if (port_->is_open()) close();
  port_->set_port_number(number);
  port_->set_line(LineSettings{});   // 9600 baud, no parity, 8 data bits, 1 stop bit
  port_->clear_input();
  port_->clear_output();
  motion_running_ = false;
  last_position_ = -1;
  port_->open();
  expected_open_ = true;
  gone_ = false;
  loss_told_ = false;
  return port_->take_open_note();
}

void Link::close() noexcept {
  expected_open_ = false;
  motion_running_ = false;
  try {
    if (port_->is_open()) port_->close();
  } catch (...) {
  }
}

void Link::on_comm(int event_code) {
  if (event_code == kComEvLost) {
    // Closed on purpose, already told, or inside a call (whose next check finds the
    // port closed): nothing to do here.
    if (!expected_open_ || port_->is_open() || nesting_ > 0) return;
    try {
      lose();
    } catch (const RuntimeFailure& failure) {
      if (owner_) owner_->lost_while_idle(failure);
    }
    return;
  }
  if (event_code != kComEvReceive) return;
  // The count is taken before the read: bytes that arrive in between are in the
  // packet but not in the text buffer.
  const std::size_t n = static_cast<std::size_t>(std::max(0, port_->bytes_waiting()));
  last_packet_ = port_->read_all();
  const std::size_t counted = std::min(n, last_packet_.size());
  for (std::size_t i = 0; i < counted; ++i) received_ += static_cast<char>(last_packet_[i]);
  // Only the end of the buffer is ever read: a host that moves for days without an
  // acknowledgement must not grow it without end.
  if (received_.size() > 2 * kReceiveKept) received_.erase(0, received_.size() - kReceiveKept);

  if (watching_) {
    // The head of the reply to a move command becomes the target record. Places a
    // short packet does not fill get -1, a value no byte takes, so that a truncated
    // head can never equal a position record.
    for (std::size_t i = 0; i < 4; ++i) target_record_[i] = i < last_packet_.size() ? last_packet_[i] : -1;
  }
  reply_flag_ = true;

  // A position report: "w" and four position bytes. A shorter one carries no position
  // and changes nothing.
  if (!last_packet_.empty() && last_packet_[0] == 'w' && last_packet_.size() >= 5) {
    for (std::size_t i = 0; i < 4; ++i) position_record_[i] = last_packet_[i + 1];
    last_position_ = protocol::assemble32(last_packet_[1], last_packet_[2], last_packet_[3], last_packet_[4]);
    if (owner_) owner_->position_report(last_packet_);
  }
}

void Link::watch_move() {
  watching_ = true;
  target_record_ = kTargetRecordEmpty;
  position_record_ = kPositionRecordEmpty;
}

void Link::tick(int milliseconds) {
  timer_->set_interval(milliseconds);
  timer_->set_enabled(true);
  const double due = pump_.now() + milliseconds / 1000.0;
  // The timer is shared by every wait: a nested wait may switch it off first, which
  // ends this tick early, as it always has.
  while (timer_->enabled()) {
    check_outside();
    if (pump_.now() > due + kTickGrace) {
      timer_->set_enabled(false);
      break;
    }
    wait_events(due);
  }
}

void Link::pause() {
  // Measured on the monotonic clock in double precision; the host sleeps meanwhile.
  const double until = pump_.now() + kFollowPause;
  check_outside();
  while (pump_.now() <= until) wait_events(until + 1e-6);
}

void Link::check_outside() {
  if (tick_hook_) tick_hook_();
  if (wait_hook_) wait_hook_();
  // A port that went away (an unplugged adapter, a closed far end) ends every wait at
  // once: no wait would ever see a reply again.
  if (expected_open_ && !port_->is_open()) lose();
  if (!stopping_ && stop_requested_.exchange(false)) stop_from_outside();
}

void Link::stop_from_outside() {
  // Only a motor that turns is stopped: an identification, a setting or a table of
  // filter packets ends where it is, between two commands, and nothing more is sent
  // (a "k" amid the filter packets would be taken for filter data).
  stop_stopped_motor_ = motion_running_ && port_->is_open() && owner_;
  if (stop_stopped_motor_) {
    stopping_ = true;   // the waits of the stop itself do not stop again
    try {
      owner_->stop_motion(kStopWindow);
    } catch (...) {
      stopping_ = false;
      throw;
    }
    stopping_ = false;
  }
  throw RuntimeFailure(FailureReason::Interrupted,
                       stop_stopped_motor_ ? "a stop was requested; the motor was stopped" : "a stop was requested");
}

void Link::yield() {
  Inside waiting(nesting_);
  pump_.yield();
}

void Link::wait_events(double deadline) {
  Inside waiting(nesting_);
  pump_.wait_until(deadline);
}

void Link::lose() {
  const std::string device = port_->device_name();
  close();
  watching_ = false;
  loss_told_ = false;
  gone_ = true;
  if (owner_) owner_->port_lost();
  throw RuntimeFailure(FailureReason::PortLost, device + " went away");
}

bool Link::reply_within(double window) {
  reply_flag_ = false;
  const double start = pump_.now();
  for (;;) {
    yield();
    if (pump_.now() - start > window) return false;
    tick(kReplyTick);
    yield();
    if (reply_flag_) {
      reply_flag_ = false;
      return true;
    }
  }
}

bool Link::wait_for_ack(double bound) {
  // The controller acknowledges a setting with "OK" + CR; some firmware sends "OKKK".
  const double start = pump_.now();
  int idle_waiting = 0;
  for (;;) {
    tick(kReplyTick);
    // An acknowledgement is told by its ending alone. When the line splits a reply so
    // that its last bytes stay below the receive threshold (a CR left over from an
    // earlier reply shifts every later packet), no receive event would ever take them;
    // once the line has stayed idle for a whole tick, take them anyway.
    const int waiting = port_->is_open() ? port_->bytes_waiting() : 0;
    if (waiting > 0 && waiting < port_->threshold() && waiting == idle_waiting) on_comm(kComEvReceive);
    idle_waiting = waiting;
    // The buffer as it was before the yield decides, with "OK" at the very end
    // read after it: "OK" counts with or without its CR; "OKK" does not.
    const bool acknowledged = ends_with(received_, "OK\r") || ends_with(received_, "OKKK\r");
    yield();
    if (ends_with(received_, "OK") || acknowledged) break;
    if (pump_.now() - start > bound) return false;
  }
  received_.clear();
  return true;
}

bool Link::wait_for_data(double bound) {
  reply_flag_ = false;
  const double start = pump_.now();
  for (;;) {
    tick(kDataTick);
    if (reply_flag_) {
      reply_flag_ = false;
      return true;
    }
    if (pump_.now() - start > bound) return false;
  }
}

void Link::send(const Bytes& command, int threshold) {
  if (threshold >= 0) port_->set_threshold(threshold);
  if (expected_open_ && !port_->is_open()) lose();
  // Whatever the running operation still sends after a loss meets the same loss (and
  // its one message), not a second failure of its own.
  if (gone_ && !port_->is_open()) throw RuntimeFailure(FailureReason::PortLost, port_->device_name() + " went away");
  if (!port_->is_open()) throw RuntimeFailure(FailureReason::PortFailure, "the port is not open");
  try {
    port_->write(command);
  } catch (const RuntimeFailure&) {
    // A write that fails because the device went away (the adapter was pulled out
    // just before it) is the loss of the port, as a wait would have seen it.
    if (expected_open_ && !port_->is_open()) lose();
    throw;
  }
}

bool Link::request_position() {
  reply_flag_ = false;
  send(protocol::question('w'), protocol::kThresholdPosition);
  return wait_reply();
}

}  // namespace brivel::serial
