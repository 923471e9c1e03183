// The simulated controller: executes framed commands against its memory and motor and
// queues the replies. The reply to every command has exactly the length of the receive
// threshold the control sets for it, so that no byte is left over to corrupt the next
// exchange (sim/README.md gives the reasoning for each reply the control does not examine).

#include "sim_controller.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <deque>
#include <random>

#include "framer.h"
#include "motion.h"

namespace brivel::sim {

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr std::uint8_t kCR = 0x0D;
constexpr std::uint8_t kAckTail[] = {'O', 'K', kCR};                 // acknowledgement
constexpr std::uint8_t kEndOfMotion[] = {'O', 'K', 'K', 'K', kCR};   // end of motion, reset done

// A creeping motor stops this many steps short of its target and hunts there: each
// position report lies 1 to this many steps short, a different one each time.
constexpr std::int64_t kCreepHunt = 16;
// A reply held back (reorder) goes out after the next reply, or after this long.
constexpr double kHoldLimit = 0.3;                 // seconds
constexpr double kFloodRate = 960.0;               // bytes per second: 9600 baud, 8N1
constexpr std::size_t kStrayLongest = 8;           // bytes of one stray packet
// Stray bytes are made up at most this far back when the model was not run for a while.
constexpr double kNoiseBacklog = 1.0;              // seconds

// What a reply is, for the faults that pick some replies only.
enum class ReplyKind {
  Answer,  // answer to a question (the letter and data)
  Ack,     // acknowledgement of a setting or of a finished reposition
  Motion,  // reply to a motion command, end of a jog, reply to a stop
};

void put32(Bytes& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
}

void put16(Bytes& out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value >> 8));
  out.push_back(static_cast<std::uint8_t>(value & 0xFF));
}

std::uint16_t word(const Bytes& b, std::size_t i) {
  return static_cast<std::uint16_t>(b[i] << 8 | b[i + 1]);
}

std::uint32_t long_word(const Bytes& b, std::size_t i) {
  return static_cast<std::uint32_t>(b[i]) << 24 | static_cast<std::uint32_t>(b[i + 1]) << 16 |
         static_cast<std::uint32_t>(b[i + 2]) << 8 | b[i + 3];
}

std::string describe(const Frame& frame) {
  std::string text;
  std::size_t first = 0;
  if (frame.kind == Frame::Kind::FilterData) {
    text = "F data";
  } else {
    text = std::string(1, static_cast<char>(frame.bytes[0]));
    first = 1;
  }
  char hex[4];
  for (std::size_t i = first; i < frame.bytes.size(); ++i) {
    std::snprintf(hex, sizeof hex, " %02X", frame.bytes[i]);
    text += hex;
  }
  return text;
}

// The filter table being received after "F".
struct FilterDraft {
  bool open = false;
  int count = 0;
  std::uint16_t a = 0;
  std::uint16_t b = 0;
  std::array<std::uint16_t, 6> start{};
};

}  // namespace

Memory factory_memory() { return Memory{}; }

double step_size(int code) {
  if (code >= 1 && code <= 4) return 0.00625 * std::pow(2.0, code - 1);
  if (code == 5) return 0.0125 / 3.0;
  if (code >= 17 && code <= 20) return 0.0625 * std::pow(2.0, code - 17);
  return 0.0;
}

struct Controller::Impl {
  using Handler = void (Impl::*)(const Bytes& command, double now);
  struct Pending {
    double ready;
    std::uint8_t byte;
  };

  Memory memory;
  Faults faults;
  MotorSettings motor;
  Framer framer;
  Motion motion;
  FilterDraft draft;
  std::deque<Pending> out;
  std::vector<std::string> log;
  std::mt19937 rng{1};
  unsigned seeded = 1;
  long commands = 0;  // framed so far; "silent after N" counts them
  bool gone = false;
  double vanish_at = kInfinity;
  double stall_at = kInfinity;   // the motion under way stops then (stall_in)
  // A creeping motion: it stops kCreepHunt steps short of creep_target and hunts there.
  bool creeping = false;
  std::int64_t creep_target = 0;
  int creep_direction = 1;       // +1 towards larger positions
  unsigned hunt = 0;             // position reports made while hunting
  // A reply held back by the reorder fault.
  bool holding = false;
  Bytes held;
  double held_until = kInfinity;
  double next_noise = kInfinity; // when the next stray byte or packet is due

  explicit Impl(const Memory& m) : memory(m), motion(Motion::rest(power_on_position())) {}

  // ---- positions ---------------------------------------------------------------
  std::int64_t clamp_travel(std::int64_t steps) const { return std::clamp<std::int64_t>(steps, 0, motor.travel); }
  std::int64_t power_on_position() const {
    return clamp_travel(static_cast<std::int64_t>(memory.power_on) + memory.zero_offset);
  }
  std::int64_t where(double now) const {
    const std::int64_t p = motion.at(now);
    if (!creeping || now < motion.arrival()) return p;
    // Hunting short of the target: never on it, never twice the same in a row.
    return creep_target - creep_direction * (1 + static_cast<std::int64_t>(hunt % kCreepHunt));
  }

  bool stalled() const {
    return faults.stall || (faults.stall_after >= 0 && commands > faults.stall_after);
  }

  void start_motion(MotionKind kind, std::int64_t target, double rate, double now) {
    const std::int64_t from = where(now);
    target = clamp_travel(target);
    std::int64_t stop_at = target;
    creeping = faults.creep && target != from;
    if (creeping) {
      creep_target = target;
      creep_direction = target > from ? 1 : -1;
      hunt = 0;
      const std::int64_t short_by = std::min<std::int64_t>(kCreepHunt, std::llabs(target - from));
      stop_at = target - creep_direction * short_by;
    }
    motion = Motion{kind, now, from, stop_at, stalled() ? 0.0 : rate};
    stall_at = faults.stall_in > 0.0 ? now + faults.stall_in : kInfinity;
    if (faults.vanish_mid_move && vanish_at == kInfinity && target != from) {
      // Halfway, or half a second in for a long (or stalled) motion.
      vanish_at = now + std::min(0.5, (motion.arrival() - now) / 2.0);
    }
  }

  // The motor stops turning where it is; the motion stays under way, going nowhere.
  void freeze(double t) {
    if (!motion.active() || (!creeping && t >= motion.arrival())) return;
    motion = Motion{motion.kind, t, where(t), motion.to, 0.0};
    creeping = false;
  }
  double speed_rate() const { return std::clamp<int>(memory.speed, 1, 250) * motor.steps_per_speed; }

  // ---- running the model ---------------------------------------------------------
  void advance(double now) {
    if (faults.stall_in <= 0.0) stall_at = kInfinity;
    while (!gone) {
      const double finish = motion.active() && !creeping ? motion.arrival() : kInfinity;
      const double stall = motion.active() ? stall_at : kInfinity;
      const double release = holding ? held_until : kInfinity;
      const double next = std::min({finish, vanish_at, stall, release});
      if (next > now) break;
      if (vanish_at == next) {
        vanish();
      } else if (stall == next) {
        freeze(stall);
        stall_at = kInfinity;
      } else if (release == next) {
        holding = false;
        queue(held, next);
      } else {
        finish_motion(finish);
      }
    }
    if (!gone) make_noise(now);
  }

  // Stray bytes nobody asked for: a packet of 1 to kStrayLongest random bytes every
  // `unsolicited_every` seconds, or single random bytes at the line's full rate.
  void make_noise(double now) {
    const double every = faults.flood ? 1.0 / kFloodRate : faults.unsolicited_every;
    if (!(every > 0.0)) {
      next_noise = kInfinity;
      return;
    }
    if (next_noise == kInfinity) next_noise = faults.flood ? now : now + every;
    next_noise = std::max(next_noise, now - kNoiseBacklog);
    std::uniform_int_distribution<int> any_byte(0, 255);
    std::uniform_int_distribution<std::size_t> length(1, kStrayLongest);
    while (next_noise <= now) {
      Bytes stray(faults.flood ? 1 : length(random()));
      for (std::uint8_t& byte : stray) byte = static_cast<std::uint8_t>(any_byte(random()));
      queue(stray, next_noise, false);
      next_noise += every;
    }
  }

  void finish_motion(double t) {
    const MotionKind kind = motion.kind;
    motion = Motion::rest(motion.to);
    motion.start = t;
    switch (kind) {
      case MotionKind::Jog:
        send(Bytes(std::begin(kEndOfMotion), std::end(kEndOfMotion)), ReplyKind::Motion, t);
        break;
      case MotionKind::Homing:
        // At the reference: the controller resets and drives to its power-on position.
        start_motion(MotionKind::Returning, power_on_position(), motor.reposition_rate, t);
        break;
      case MotionKind::Returning:
        send(Bytes(std::begin(kEndOfMotion), std::end(kEndOfMotion)), ReplyKind::Ack, t);
        break;
      default:
        break;
    }
  }

  void vanish() {
    gone = true;
    out.clear();
    holding = false;
  }

  double next_due() const {
    if (gone) return kInfinity;
    double due = vanish_at;
    if (!out.empty()) due = std::min(due, out.front().ready);
    const bool reports = motion.kind != MotionKind::None && motion.kind != MotionKind::Move;
    if (reports && !creeping) due = std::min(due, motion.arrival());
    if (motion.active()) due = std::min(due, stall_at);
    if (holding) due = std::min(due, held_until);
    if (faults.flood || faults.unsolicited_every > 0.0)
      due = std::min(due, next_noise == kInfinity ? 0.0 : next_noise);  // 0.0: at once
    return due;
  }

  std::mt19937& random() {
    if (seeded != faults.seed) {
      rng.seed(faults.seed);
      seeded = faults.seed;
    }
    return rng;
  }

  bool chance(double probability) {
    return probability > 0.0 && std::uniform_real_distribution<double>(0.0, 1.0)(random()) < probability;
  }

  std::uint8_t flipped(std::uint8_t byte) {
    return static_cast<std::uint8_t>(byte ^ std::uniform_int_distribution<int>(1, 255)(random()));
  }

  void receive(const Bytes& bytes, double now) {
    advance(now);
    if (gone) return;
    Bytes heard = bytes;
    for (std::uint8_t& byte : heard)
      if (chance(faults.host_garble_rate)) byte = flipped(byte);
    framer.partial_timeout = motor.partial_timeout;
    framer.filter_timeout = motor.filter_timeout;
    for (const Frame& frame : framer.feed(heard, now)) {
      if (gone) return;
      execute(frame, now);
    }
  }

  void execute(const Frame& frame, double now) {
    if (frame.kind == Frame::Kind::Tail) {
      if (!log.empty()) log.back() += " 00";
      return;
    }
    log.push_back(describe(frame));
    ++commands;
    if (faults.vanish_after >= 0 && commands > faults.vanish_after) {
      vanish();
      return;
    }
    if (faults.stall_after >= 0 && commands == faults.stall_after + 1) freeze(now);
    if (frame.kind == Frame::Kind::FilterData) {
      filter_data(frame.bytes, frame.index, now);
      return;
    }
    if (Handler handler = handler_for(static_cast<char>(frame.bytes[0]))) (this->*handler)(frame.bytes, now);
  }

  // ---- replies -------------------------------------------------------------------
  bool muted() const {
    return faults.silent || (faults.silent_after >= 0 && commands > faults.silent_after);
  }

  // Sends a reply that is ready at `t` (plus the controller's latency and any delay),
  // shaped by the faults that touch replies.
  void send(Bytes reply, ReplyKind kind, double t) {
    if (gone || muted() || (kind == ReplyKind::Ack && faults.no_ack)) return;
    double ready = t + motor.reply_latency + std::max(0.0, faults.reply_delay);
    if (faults.jitter > 0.0) ready += std::uniform_real_distribution<double>(0.0, faults.jitter)(random());
    Bytes bytes;
    for (std::uint8_t byte : reply) {
      if (chance(faults.drop_rate)) continue;
      bytes.push_back(chance(faults.garble_rate) ? flipped(byte) : byte);
    }
    if (bytes.empty()) return;
    if (!holding && chance(faults.reorder_rate)) {
      holding = true;   // it goes out after the next reply
      held = bytes;
      held_until = ready + kHoldLimit;
      return;
    }
    queue(bytes, ready);
    if (chance(faults.duplicate_rate)) queue(bytes, ready);
    if (holding) {
      holding = false;
      queue(held, ready);
    }
  }

  // Puts bytes on their way, never before bytes queued earlier. A reply of two bytes or
  // more is cut in the middle when split_gap is set: its second half comes that late.
  void queue(const Bytes& bytes, double ready, bool reply = true) {
    if (!out.empty()) ready = std::max(ready, out.back().ready);
    const bool split = reply && faults.split_gap > 0.0 && bytes.size() >= 2;
    const std::size_t cut = split ? bytes.size() / 2 : bytes.size();
    for (std::size_t i = 0; i < bytes.size(); ++i)
      out.push_back(Pending{i < cut ? ready : ready + faults.split_gap, bytes[i]});
  }

  void acknowledge(double now) { send(Bytes(std::begin(kAckTail), std::end(kAckTail)), ReplyKind::Ack, now); }

  bool answers_wrongly(char letter) const {
    if (!faults.wrong_letter_only.empty()) return faults.wrong_letter_only.find(letter) != std::string::npos;
    return faults.wrong_letter;
  }

  // ---- commands --------------------------------------------------------------------
  static Handler handler_for(char letter) {
    struct Entry {
      char letter;
      Handler handler;
    };
    static const Entry table[] = {
        {'y', &Impl::question}, {'n', &Impl::question}, {'g', &Impl::question},
        {'z', &Impl::question}, {'p', &Impl::question}, {'m', &Impl::question},
        {'v', &Impl::question}, {'t', &Impl::question}, {'w', &Impl::question},
        {'f', &Impl::filter_record},
        {'N', &Impl::set_word}, {'P', &Impl::set_word}, {'Z', &Impl::set_word}, {'Y', &Impl::set_word},
        {'G', &Impl::set_grating}, {'T', &Impl::set_type}, {'M', &Impl::set_power_on},
        {'V', &Impl::set_speed}, {'S', &Impl::set_filter_state}, {'F', &Impl::filter_begin},
        {'W', &Impl::move}, {'U', &Impl::move}, {'D', &Impl::move},
        {'K', &Impl::motion_code}, {'k', &Impl::stop},
    };
    for (const Entry& entry : table)
      if (entry.letter == letter) return entry.handler;
    return nullptr;
  }

  // Questions: the letter, then the data bytes.
  void question(const Bytes& command, double now) {
    const char letter = static_cast<char>(command[0]);
    Bytes reply{static_cast<std::uint8_t>(answers_wrongly(letter) ? std::toupper(letter) : letter)};
    if (letter == 'w' && creeping && now >= motion.arrival()) ++hunt;
    switch (letter) {
      case 'y': reply.push_back(memory.year); break;
      case 'n': put16(reply, memory.instrument_no); break;
      case 'g': reply.push_back(memory.grating); break;
      case 'z': put16(reply, memory.zero_offset); break;
      case 'p': put16(reply, memory.blaze); break;
      case 'm': put32(reply, memory.power_on); break;
      case 'v': reply.push_back(0); reply.push_back(memory.speed); break;  // byte 1 is not used
      case 't': reply.push_back(memory.type); break;
      case 'w': put32(reply, static_cast<std::uint32_t>(where(now))); break;
      default: return;
    }
    send(reply, ReplyKind::Answer, now);
  }

  // The 28-byte record: the stored "F" packets, each value followed by CR.
  void filter_record(const Bytes&, double now) {
    Bytes record(28, kCR);
    record[0] = memory.filter_state;
    record[2] = memory.filter_count;
    record[4] = static_cast<std::uint8_t>(memory.filter_a >> 8);
    record[5] = static_cast<std::uint8_t>(memory.filter_a & 0xFF);
    record[7] = static_cast<std::uint8_t>(memory.filter_b >> 8);
    record[8] = static_cast<std::uint8_t>(memory.filter_b & 0xFF);
    for (std::size_t i = 0; i < 6; ++i) {
      record[10 + 3 * i] = static_cast<std::uint8_t>(memory.filter_start[i] >> 8);
      record[11 + 3 * i] = static_cast<std::uint8_t>(memory.filter_start[i] & 0xFF);
    }
    send(record, ReplyKind::Answer, now);
  }

  void set_word(const Bytes& command, double now) {
    const std::uint16_t value = word(command, 1);
    switch (command[0]) {
      case 'N': memory.instrument_no = value; break;
      case 'P': memory.blaze = value; break;
      case 'Z': memory.zero_offset = value; break;
      case 'Y': memory.year = static_cast<std::uint8_t>(value & 0xFF); break;  // a one-byte cell
    }
    acknowledge(now);
  }

  void set_grating(const Bytes& command, double now) {
    memory.grating = command[1];
    acknowledge(now);
  }

  // "T": the control sets a threshold of 2 and does not examine the reply: "OK".
  void set_type(const Bytes& command, double now) {
    memory.type = command[1];
    send(Bytes{'O', 'K'}, ReplyKind::Ack, now);
  }

  // "M": threshold 3, reply not examined: "OK" CR.
  void set_power_on(const Bytes& command, double now) {
    memory.power_on = long_word(command, 1);
    acknowledge(now);
  }

  // "V" is sent without setting a threshold, so the control's threshold is whatever
  // the previous command left (often 28 after the filter read-back): any reply could
  // be left waiting and spoil the next answer. The controller answers nothing.
  // A new speed also applies to a move or jog under way, from where the motor is.
  void set_speed(const Bytes& command, double now) {
    memory.speed = static_cast<std::uint8_t>(std::clamp<int>(command[1], 1, 250));
    const bool by_speed = motion.kind == MotionKind::Move || motion.kind == MotionKind::Jog;
    if (by_speed && motion.rate > 0.0) motion = Motion{motion.kind, now, where(now), motion.to, speed_rate()};
  }

  void set_filter_state(const Bytes& command, double now) {
    memory.filter_state = command[1];
    acknowledge(now);
  }

  // "F" count CR opens the sequence; each packet is answered with six bytes, "F",
  // its index, CR, "O", "K", CR: a multiple of both thresholds the control uses for
  // the sequence (3 from the filter button, 2 left by "T" in the download), and no
  // earlier part of it ends in "OK", so the acknowledgement wait ends only once all
  // six bytes are in and nothing is left over.
  void filter_begin(const Bytes& command, double now) {
    draft = FilterDraft{};
    draft.open = true;
    draft.count = command[1];
    filter_ack(0, now);
  }

  void filter_data(const Bytes& packet, int index, double now) {
    if (!draft.open) return;
    const std::uint16_t value = word(packet, 0);
    if (index == 1) draft.a = value;
    else if (index == 2) draft.b = value;
    else if (index - 3 < 6) draft.start[static_cast<std::size_t>(index - 3)] = value;
    filter_ack(index, now);
    if (index == draft.count + 2) commit_filters();
  }

  void filter_ack(int index, double now) {
    send(Bytes{'F', static_cast<std::uint8_t>(index), kCR, 'O', 'K', kCR}, ReplyKind::Ack, now);
  }

  void commit_filters() {
    memory.filter_count = static_cast<std::uint8_t>(draft.count);
    memory.filter_a = draft.a;
    memory.filter_b = draft.b;
    memory.filter_start = draft.start;
    // A wheel that was not set up is set up now, and off until "S" 1.
    if (memory.filter_state > 1) memory.filter_state = 0;
    draft.open = false;
  }

  // "W" absolute (wavelength steps, the zero offset added here), "U"/"D" relative.
  // Reply: the four bytes of the absolute target, then CR; the last position report
  // of the move repeats those four bytes.
  void move(const Bytes& command, double now) {
    const std::int64_t n = long_word(command, 1);
    const std::int64_t here = where(now);
    std::int64_t target = here;
    switch (command[0]) {
      case 'W': target = n + memory.zero_offset; break;
      case 'U': target = here + n; break;
      case 'D': target = here - n; break;
    }
    start_motion(MotionKind::Move, target, speed_rate(), now);
    Bytes reply;
    put32(reply, static_cast<std::uint32_t>(creeping ? creep_target : motion.to));
    reply.push_back(kCR);
    send(reply, ReplyKind::Motion, now);
  }

  // "K" 01 jog up, 02 jog down, 08 reposition; other codes are ignored.
  void motion_code(const Bytes& command, double now) {
    switch (command[1]) {
      case 1:
      case 2: {
        start_motion(MotionKind::Jog, command[1] == 1 ? motor.travel : 0, speed_rate(), now);
        // Threshold 5, not examined, and it must not begin with "O" (that would end the
        // jog at once): a position report of where the jog starts.
        Bytes reply{'w'};
        put32(reply, static_cast<std::uint32_t>(motion.from));
        send(reply, ReplyKind::Motion, now);
        break;
      }
      case 8:
        start_motion(MotionKind::Homing, 0, motor.reposition_rate, now);
        break;
      default:
        break;
    }
  }

  // "k" stops any motion, a reposition included (no reset follows), and answers with
  // the end-of-motion packet "OKKK" CR (threshold 5).
  void stop(const Bytes&, double now) {
    motion = Motion::rest(where(now));
    motion.start = now;
    creeping = false;
    stall_at = kInfinity;
    vanish_at = kInfinity;  // stopped before it could vanish mid-move
    send(Bytes(std::begin(kEndOfMotion), std::end(kEndOfMotion)), ReplyKind::Motion, now);
  }
};

Controller::Controller(Memory memory) : impl_(std::make_unique<Impl>(memory)) {}
Controller::~Controller() = default;
Controller::Controller(Controller&&) noexcept = default;
Controller& Controller::operator=(Controller&&) noexcept = default;

void Controller::receive(const Bytes& bytes, double now) { impl_->receive(bytes, now); }

Bytes Controller::take_output(double now) {
  impl_->advance(now);
  Bytes bytes;
  while (!impl_->out.empty() && impl_->out.front().ready <= now) {
    bytes.push_back(impl_->out.front().byte);
    impl_->out.pop_front();
  }
  return bytes;
}

double Controller::next_due() const { return impl_->next_due(); }
void Controller::advance(double now) { impl_->advance(now); }

Memory& Controller::memory() { return impl_->memory; }
const Memory& Controller::memory() const { return impl_->memory; }
Faults& Controller::faults() { return impl_->faults; }
MotorSettings& Controller::motor() { return impl_->motor; }

std::uint32_t Controller::position(double now) {
  impl_->advance(now);
  return static_cast<std::uint32_t>(impl_->where(now));
}

bool Controller::moving(double now) {
  impl_->advance(now);
  return impl_->motion.active();
}

bool Controller::vanished() const { return impl_->gone; }

void Controller::replug() {
  impl_->gone = false;
  impl_->vanish_at = kInfinity;
  port_reopened();
}

long Controller::commands() const { return impl_->commands; }

void Controller::port_reopened() {
  impl_->framer.reset();
  impl_->draft = FilterDraft{};
  impl_->out.clear();
  impl_->holding = false;
}

const std::vector<std::string>& Controller::log() const { return impl_->log; }
void Controller::clear_log() { impl_->log.clear(); }
std::size_t Controller::ignored_bytes() const { return impl_->framer.ignored(); }

}  // namespace brivel::sim
