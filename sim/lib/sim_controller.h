#pragma once
// The simulated controller: a model of the monochromator's motion controller as it
// behaves on the serial line. Standard library only; it knows nothing of the control.
//
// Time is given by the caller (seconds, any monotonic origin): in-process tests pass
// virtual time, brivel-sim passes real time. The transport (the testkit's loopback
// port or the pseudo-terminal server) moves the bytes and paces them at 9600 baud;
// the model only says when each reply byte is ready.
//
//   host bytes  --receive(bytes, now)-->  Controller  --take_output(now)-->  reply bytes
//   next_due(): the earliest time at which the model has something to do (a reply
//   ready, a jog reaching a travel limit, a reposition finishing); infinity when idle.
//
// Positions: the motor counts absolute steps from its reference switch (0) up to the
// end of travel. Wavelength steps count from zero order, which lies `zero_offset` steps
// above the reference; so "W" n drives to n + zero_offset, and the power-on position
// p is reached at p + zero_offset. sim/README.md lists every such choice.

#include <array>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace brivel::sim {

using Bytes = std::vector<std::uint8_t>;

// The controller's non-volatile memory (kept across port close and reopen).
// The defaults are the factory memory.
struct Memory {
  std::uint8_t year = 21;
  std::uint16_t instrument_no = 12345;
  std::uint8_t grating = 1;            // grating code
  std::uint16_t zero_offset = 1000;    // motor steps
  std::uint16_t blaze = 500;           // nm
  std::uint32_t power_on = 80000;      // power-on position, wavelength steps (500 nm at code 1)
  std::uint8_t type = 6;               // instrument type index
  std::uint8_t speed = 250;            // 1..250
  std::uint8_t filter_state = 1;       // 0 off, 1 on, other: not set up
  std::uint8_t filter_count = 3;
  std::uint16_t filter_a = 0;          // value A as on the wire (sign and magnitude)
  std::uint16_t filter_b = 700;
  // Units of 16 motor steps: 350, 650 and 800 nm at code 1 (wl / 16 / 0.00625).
  std::array<std::uint16_t, 6> filter_start{3500, 6500, 8000, 0, 0, 0};
};

// The factory memory of a new simulated instrument.
Memory factory_memory();

// nm per motor step of a grating code (1 to 5, 17 to 20); 0 for any other code.
double step_size(int grating_code);

// Faults, each switchable on its own. Counts of commands ("after N") count every
// framed command since the model was made (commands()), each "F" packet included.
struct Faults {
  bool silent = false;              // answers nothing at all
  int silent_after = -1;            // answers the first N commands, then nothing (-1: off)
  bool wrong_letter = false;        // answers to questions begin with the wrong letter
  std::string wrong_letter_only;    // if not empty: only these question letters answer wrongly
  double garble_rate = 0.0;         // probability that a reply byte is flipped
  double drop_rate = 0.0;           // probability that a reply byte is dropped
  bool stall = false;               // the motor does not move
  int stall_after = -1;             // from command N + 1 on the motor stops where it is (-1: off)
  double stall_in = 0.0;            // every motion stops this many seconds after it began (0: off)
  bool creep = false;               // motions hunt short of their target and never reach it
  bool no_ack = false;              // settings are never acknowledged
  bool vanish_mid_move = false;     // the device disappears while a move runs
  int vanish_after = -1;            // the device disappears at command N + 1 (-1: off)
  double reply_delay = 0.0;         // extra seconds before every reply
  double jitter = 0.0;              // each reply up to this many seconds later still (random)
  double split_gap = 0.0;           // seconds of silence inside every reply of two bytes or more
  double duplicate_rate = 0.0;      // probability that a reply is sent twice
  double reorder_rate = 0.0;        // probability that a reply is held back until after the next
  double host_garble_rate = 0.0;    // probability that a byte from the host is flipped on its way
  double unsolicited_every = 0.0;   // seconds between stray packets nobody asked for (0: off)
  bool flood = false;               // stray bytes without pause, at the line's full rate
  unsigned seed = 1;                // for every fault that picks at random
};

// The motor and the line's timing (not faults: properties of the simulated instrument).
struct MotorSettings {
  std::int64_t travel = 2'000'000;   // end of travel, absolute steps (12500 nm at code 1)
  double steps_per_speed = 40.0;     // steps per second per unit of speed: 250 -> 10000 steps/s
  double reposition_rate = 10000.0;  // steps per second while repositioning, whatever the speed
  double reply_latency = 0.001;      // seconds from the last byte of a command to its reply
  double partial_timeout = 0.1;      // seconds: a command whose bytes stop coming is dropped
  double filter_timeout = 2.0;       // seconds: an "F" sequence whose packets stop coming is dropped
};

class Controller {
 public:
  explicit Controller(Memory memory = factory_memory());
  ~Controller();
  Controller(Controller&&) noexcept;
  Controller& operator=(Controller&&) noexcept;
  Controller(const Controller&) = delete;
  Controller& operator=(const Controller&) = delete;

  // Bytes from the host at time `now`.
  void receive(const Bytes& bytes, double now);
  // Reply bytes ready at or before `now` (in order); they leave the model.
  Bytes take_output(double now);
  // Earliest time the model wants to act again; +infinity when idle.
  double next_due() const;
  // Runs the model up to `now` (motion, limits, repositioning).
  void advance(double now);

  Memory& memory();
  const Memory& memory() const;
  Faults& faults();
  MotorSettings& motor();
  // Absolute motor position (steps) at `now`.
  std::uint32_t position(double now);
  // True while a motion is under way (also while a stalled motor is told to move).
  bool moving(double now);
  // True once the device has vanished (vanish_mid_move, vanish_after): the transport
  // should act as an unplugged adapter.
  bool vanished() const;
  // The device is plugged in again after it vanished: it answers as before, with its
  // memory and position kept; half commands and unsent replies are gone.
  void replug();
  // Framed commands so far (what silent_after, stall_after and vanish_after count).
  long commands() const;
  // The port was closed and reopened: partial commands and unsent replies are
  // dropped; memory and motion are kept.
  void port_reopened();
  // Every command the model framed, as text like "W 00 00 27 10" (for tests and --trace).
  // The packets after "F" appear as "F data hi lo 0D".
  const std::vector<std::string>& log() const;
  void clear_log();
  // Bytes that framed no command and were skipped.
  std::size_t ignored_bytes() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace brivel::sim
