#pragma once
// The controller's command set: pure encoders that give the bytes of each command
// and pure decoders that read replies. Nothing here touches a port.
//
// Numbers go out unsigned, most significant byte first. A number is rounded to the
// nearest whole number (a half to the even neighbour) before it is split; a value
// that does not fit its bytes is RuntimeFailure(Overflow). Motor steps are whole
// numbers: the caller rounds once, where the count is computed (step_count,
// filter_position).

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/serial_port.h"

namespace brivel::protocol {

constexpr std::uint8_t kCR = 0x0D;

// Reply lengths (the receive thresholds set before each command).
constexpr int kThresholdYear = 2;        // "y" Y
constexpr int kThresholdNumber = 3;      // "n" hi lo
constexpr int kThresholdGrating = 2;     // "g" code
constexpr int kThresholdZero = 3;        // "z" hi lo
constexpr int kThresholdBlaze = 3;       // "p" hi lo
constexpr int kThresholdPowerOn = 5;     // "m" b1..b4
constexpr int kThresholdSpeed = 3;       // "v" x speed
constexpr int kThresholdType = 2;        // "t" index
constexpr int kThresholdPosition = 5;    // "w" b1..b4
constexpr int kThresholdFilters = 28;    // the "f" record
constexpr int kThresholdAck = 3;         // "OK" CR
constexpr int kThresholdMove = 5;        // "W", "U", "D", "K", "k"
constexpr int kFilterRecordLength = 28;

// ---- questions --------------------------------------------------------------
// The one-byte questions "y", "n", "g", "z", "p", "m", "v", "t", "w".
Bytes question(char letter);
// The filter read-back request: "f", CR.
Bytes read_filters();

// ---- settings ---------------------------------------------------------------
// "N", "P", "Z", "Y" with a 16-bit value: letter, hi, lo.
Bytes set_word(char letter, double value);
// "G" with a grating code (one byte).
Bytes set_grating(double code);
// "M" with the power-on position as a four-byte step count.
Bytes set_power_on(std::int64_t steps);
// "T" with the instrument type index (one byte).
Bytes set_type(double index);
// "V" with the speed: three bytes with a trailing 0 (the IntSpeed property) ...
Bytes set_speed_property(double speed);
// ... or two bytes (the speed box).
Bytes set_speed_box(double speed);
// "S", state, CR: 1 switches the filter wheel on, 0 off.
Bytes set_filter_state(int state);
// The packets of "F": "F", count, CR; then 16-bit words hi, lo, CR.
Bytes filter_count_packet(double count);
Bytes filter_word_packet(double value);
// The whole table of the filter wheel, every packet built before the first is sent
// (a failure never leaves the table half written): "F" count, value A (sign and
// magnitude), value B, then the start position of each filter [16 steps]. Overflow
// for a count that is not 0 to 6 (rounded) or a value that does not fit its word;
// InvalidArgument when fewer start wavelengths than filters are given; DivisionByZero
// for a step of 0. The first failure in that order is the one thrown.
constexpr int kFilterSlots = 6;
std::vector<Bytes> filter_table_packets(double count, double value_a, double value_b,
                                        const std::vector<double>& starts_nm, double step);

// ---- motion -----------------------------------------------------------------
// "W" with an absolute step count; "U"/"D" with a relative one.
Bytes move_absolute(std::int64_t steps);
Bytes move_up(std::int64_t steps);
Bytes move_down(std::int64_t steps);
// "K" 0x01 (jog up, 2 bytes) or "K" 0x02 0x00 (jog down, 3 bytes).
constexpr int kJogUp = 1;
constexpr int kJogDown = 2;
Bytes jog(int direction);
// "K" 0x08: return to the reference position and reset.
Bytes reposition();
// "k": stop the motor.
Bytes stop();

// ---- numbers on the wire ---------------------------------------------------
// hi, lo of a 16-bit number (rounded first); Overflow outside 0..65535.
std::array<std::uint8_t, 2> split16(double value);
// Four bytes of a step count; Overflow outside 0..2^32-1.
std::array<std::uint8_t, 4> split32(std::int64_t steps);
// b0 x 2^24 + b1 x 2^16 + b2 x 2^8 + b3, unsigned.
double assemble32(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2, std::uint8_t b3);
// Value A of the filter wheel: 16-bit sign and magnitude.
std::uint16_t encode_sign_magnitude(double value);   // -5 -> 32773; Overflow if |v| > 32767
std::int16_t decode_sign_magnitude(std::uint16_t word);

// ---- replies ---------------------------------------------------------------
// True when the packet has at least `length` bytes and byte 0 is `letter`.
bool is_answer(const Bytes& packet, char letter, std::size_t length);
// Byte i of a packet, or 0 when the packet is shorter (packets are untrusted).
std::uint8_t byte_at(const Bytes& packet, std::size_t i);
// The 16-bit number in bytes i (high) and i + 1 (low): hi x 256 + lo; missing bytes
// read as 0 ("n" 0x30 0x39 gives 12345 from i = 1).
std::uint16_t word_at(const Bytes& packet, std::size_t i);

struct FilterRecord {
  std::uint8_t state = 0;              // 0 off, 1 on, other: not set up
  std::uint8_t count = 0;              // number of filters
  std::int16_t value_a = 0;            // sign and magnitude decoded
  std::uint16_t value_b = 0;
  std::array<std::uint16_t, 6> start{};  // start positions in units of 16 motor steps
};
// Decodes the 28-byte "f" record; bytes missing from a short packet read as 0.
FilterRecord decode_filter_record(const Bytes& packet);

// ---- grating table and wavelength arithmetic --------------------------------
struct Grating {
  int code;
  const char* text;     // shown in TxtGratingLines
  std::int16_t lines;   // lines per mm
  double step;          // nm per motor step
};
// The grating of a code (1 to 5, 17 to 20), or nullptr for any other code.
const Grating* grating_for_code(int code);

// Nearest whole step count for a wavelength: wl / step rounded half to even as a
// 32-bit signed number. DivisionByZero for a step of 0; Overflow beyond 32 bits.
std::int32_t step_count(double wavelength, double step);
// Start position of a filter in units of 16 motor steps, as sent in "F" packets:
// wl / step / 16 rounded half to even. DivisionByZero for a step of 0; Overflow
// outside the 16 bits of its word.
std::uint16_t filter_position(double wavelength, double step);

}  // namespace brivel::protocol
