#pragma once
// Frames the host's byte stream into commands. The line carries single command letters
// followed by raw argument bytes, with no length field and no checksum, so the length
// of a command follows from its letter alone:
//
//   y n g z p m v t w k        1 byte
//   f CR                       2 bytes
//   N P Z Y hi lo              3 bytes     G T byte   2 bytes
//   M W U D b1 b2 b3 b4        5 bytes
//   S state CR                 3 bytes     F count CR 3 bytes, then count + 2 data packets
//   V speed [00]               2 bytes; a 0x00 directly after it belongs to it
//   K code [00]                2 bytes; a 0x00 directly after it belongs to it
//
// "V" and "K" 02 come in a two- and a three-byte form whose third byte is always 0.
// No command begins with 0x00, so the command is complete after two bytes and a 0x00
// that comes next is taken as its optional tail: no inter-byte timing is needed.
//
// After "F" count CR the next count + 2 packets are raw data (hi lo CR: value A,
// value B, one start position per filter), whatever their bytes look like.
//
// Bytes that start no command are skipped, so the framer resynchronises on the next
// command letter. A command whose bytes stop coming (partial_timeout) is dropped, and
// so is an "F" sequence whose packets stop coming (filter_timeout) or whose packet
// does not end in CR. A command that must end in CR but does not is dropped and its
// last byte is looked at again as the possible start of a command.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace brivel::sim {

using Bytes = std::vector<std::uint8_t>;

struct Frame {
  enum class Kind {
    Command,     // letter and arguments
    FilterData,  // one data packet of an "F" sequence: hi lo CR
    Tail,        // the optional 0x00 after "V" or "K"
  };
  Kind kind = Kind::Command;
  Bytes bytes;
  int index = 0;  // FilterData: 1 value A, 2 value B, 3 onward the filters in order
};

// Length of the command that begins with `letter`; 0 if no command begins with it.
int command_length(std::uint8_t letter);

class Framer {
 public:
  double partial_timeout = 0.1;  // seconds
  double filter_timeout = 2.0;   // seconds

  // Frames the bytes that arrived at `now`.
  std::vector<Frame> feed(const Bytes& bytes, double now);
  // Drops a partial command and any "F" sequence in progress.
  void reset();
  std::size_t ignored() const { return ignored_; }

 private:
  void feed_byte(std::uint8_t byte, double now, std::vector<Frame>& out);
  void feed_filter_data(std::uint8_t byte, double now, std::vector<Frame>& out);
  void complete(double now, std::vector<Frame>& out);
  void expire(double now);

  Bytes partial_;
  double last_byte_ = -std::numeric_limits<double>::infinity();
  int filter_left_ = 0;  // data packets still expected after "F"
  int filter_index_ = 0;
  double filter_last_ = 0.0;
  bool tail_allowed_ = false;  // the previous frame was "V" or "K"
  std::size_t ignored_ = 0;
};

}  // namespace brivel::sim
