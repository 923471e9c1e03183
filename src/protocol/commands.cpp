#include "protocol/commands.h"

#include <cmath>
#include <string>
#include <string_view>

#include "platform/failure.h"
#include "text/convert.h"

namespace brivel::protocol {
namespace {

constexpr std::uint8_t letter_byte(char letter) { return static_cast<std::uint8_t>(letter); }

[[noreturn]] void fail(FailureReason reason, const std::string& detail) {
  throw RuntimeFailure(reason, detail);
}

void require_letter(char letter, std::string_view allowed, const char* what) {
  if (letter == '\0' || allowed.find(letter) == std::string_view::npos) {
    fail(FailureReason::InvalidArgument, std::string("\"") + letter + "\" is not " + what);
  }
}

// The whole number a field of the wire carries: rounded a half to even, and
// refused (never wrapped) outside 0..max.
double wire_number(double value, double max, const char* field) {
  const double rounded = text::round_half_even(value);
  if (!(rounded >= 0.0 && rounded <= max)) {
    fail(FailureReason::Overflow, std::string("value does not fit ") + field);
  }
  return rounded;
}

std::uint8_t wire_byte(double value) {
  return static_cast<std::uint8_t>(wire_number(value, 255.0, "one byte"));
}

Bytes letter_with_byte(char letter, double value) { return {letter_byte(letter), wire_byte(value)}; }

Bytes letter_with_count(char letter, std::int64_t steps) {
  const auto b = split32(steps);
  return {letter_byte(letter), b[0], b[1], b[2], b[3]};
}

Bytes word_packet(std::uint8_t first, double value) {
  const auto b = split16(value);
  return {first, b[0], b[1]};
}

constexpr double pow2(int n) { return n == 0 ? 1.0 : 2.0 * pow2(n - 1); }

// Step sizes in nm per motor step, computed rather than stored so that each is
// exactly the double the arithmetic gives (codes 1 to 4 and 17 to 20 double per code).
constexpr double fine_step(int code) { return 0.00625 * pow2(code - 1); }
constexpr double coarse_step(int code) { return 0.0625 * pow2(code - 17); }

constexpr Grating kGratings[] = {
    {1, "1(1200g/mm)", 1200, fine_step(1)},
    {2, "2(600g/mm)", 600, fine_step(2)},
    {3, "3(300g/mm)", 300, fine_step(3)},
    {4, "4(150g/mm)", 150, fine_step(4)},
    {5, "5(1800g/mm)", 1800, 0.0125 / 3.0},
    {17, "1(1200g/mm)", 1200, coarse_step(17)},
    {18, "2(600g/mm)", 600, coarse_step(18)},
    {19, "3(300g/mm)", 300, coarse_step(19)},
    {20, "4(150g/mm)", 150, coarse_step(20)},
};

}  // namespace

// ---- questions --------------------------------------------------------------

Bytes question(char letter) {
  require_letter(letter, "ynzgpmvtw", "a one-byte question");
  return {letter_byte(letter)};
}

Bytes read_filters() { return {letter_byte('f'), kCR}; }

// ---- settings ---------------------------------------------------------------

Bytes set_word(char letter, double value) {
  require_letter(letter, "NPZY", "a 16-bit setting");
  return word_packet(letter_byte(letter), value);
}

Bytes set_grating(double code) { return letter_with_byte('G', code); }
Bytes set_power_on(std::int64_t steps) { return letter_with_count('M', steps); }
Bytes set_type(double index) { return letter_with_byte('T', index); }

// The two senders of "V" build arrays of different length: the property's has a
// trailing 0, the speed box's has none.
Bytes set_speed_property(double speed) { return {letter_byte('V'), wire_byte(speed), 0}; }
Bytes set_speed_box(double speed) { return letter_with_byte('V', speed); }

Bytes set_filter_state(int state) { return {letter_byte('S'), wire_byte(state), kCR}; }

// Only the filter wheel's commands end in CR.
Bytes filter_count_packet(double count) { return {letter_byte('F'), wire_byte(count), kCR}; }

Bytes filter_word_packet(double value) {
  const auto b = split16(value);
  return {b[0], b[1], kCR};
}

std::vector<Bytes> filter_table_packets(double count, double value_a, double value_b,
                                        const std::vector<double>& starts_nm, double step) {
  const double filters = text::round_half_even(count);
  if (!(filters >= 0 && filters <= kFilterSlots)) fail(FailureReason::Overflow, "the filter count is not 0 to 6");
  std::vector<Bytes> packets;
  packets.push_back(filter_count_packet(count));
  packets.push_back(filter_word_packet(encode_sign_magnitude(value_a)));
  packets.push_back(filter_word_packet(value_b));
  for (std::size_t i = 0; i < static_cast<std::size_t>(filters); ++i) {
    if (i >= starts_nm.size()) fail(FailureReason::InvalidArgument, "a filter has no start wavelength");
    packets.push_back(filter_word_packet(filter_position(starts_nm[i], step)));
  }
  return packets;
}

// ---- motion -----------------------------------------------------------------

Bytes move_absolute(std::int64_t steps) { return letter_with_count('W', steps); }
Bytes move_up(std::int64_t steps) { return letter_with_count('U', steps); }
Bytes move_down(std::int64_t steps) { return letter_with_count('D', steps); }

Bytes jog(int direction) {
  // Jog down is a three-byte array whose last byte is left at 0.
  if (direction == kJogUp) return {letter_byte('K'), 0x01};
  if (direction == kJogDown) return {letter_byte('K'), 0x02, 0x00};
  fail(FailureReason::InvalidArgument, "jog direction " + std::to_string(direction));
}

Bytes reposition() { return {letter_byte('K'), 0x08}; }
Bytes stop() { return {letter_byte('k')}; }

// ---- numbers on the wire ---------------------------------------------------

std::array<std::uint8_t, 2> split16(double value) {
  const double n = wire_number(value, 65535.0, "16 bits");
  const double hi = text::whole_part(n / 256.0);
  return {static_cast<std::uint8_t>(hi), static_cast<std::uint8_t>(n - hi * 256.0)};
}

std::array<std::uint8_t, 4> split32(std::int64_t steps) {
  if (steps < 0 || steps > 0xFFFFFFFFLL) fail(FailureReason::Overflow, "value does not fit 32 bits");
  const auto n = static_cast<std::uint32_t>(steps);
  return {static_cast<std::uint8_t>(n >> 24), static_cast<std::uint8_t>(n >> 16), static_cast<std::uint8_t>(n >> 8),
          static_cast<std::uint8_t>(n)};
}

double assemble32(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2, std::uint8_t b3) {
  return b0 * 16777216.0 + b1 * 65536.0 + b2 * 256.0 + b3;
}

std::uint16_t encode_sign_magnitude(double value) {
  const double rounded = text::round_half_even(value);
  const double magnitude = std::fabs(rounded);
  if (!(magnitude <= 32767.0)) fail(FailureReason::Overflow, "value does not fit 15 bits and a sign");
  const auto m = static_cast<std::uint16_t>(magnitude);
  return rounded < 0 ? static_cast<std::uint16_t>(0x8000 | m) : m;
}

std::int16_t decode_sign_magnitude(std::uint16_t word) {
  const auto magnitude = static_cast<std::int16_t>(word & 0x7FFF);
  return (word & 0x8000) ? static_cast<std::int16_t>(-magnitude) : magnitude;
}

// ---- replies ---------------------------------------------------------------

bool is_answer(const Bytes& packet, char letter, std::size_t length) {
  return !packet.empty() && packet.size() >= length && packet[0] == letter_byte(letter);
}

std::uint8_t byte_at(const Bytes& packet, std::size_t i) { return i < packet.size() ? packet[i] : 0; }

std::uint16_t word_at(const Bytes& packet, std::size_t i) {
  return static_cast<std::uint16_t>(byte_at(packet, i) * 256 + byte_at(packet, i + 1));
}

FilterRecord decode_filter_record(const Bytes& packet) {
  FilterRecord r;
  r.state = byte_at(packet, 0);
  r.count = byte_at(packet, 2);
  r.value_a = decode_sign_magnitude(word_at(packet, 4));
  r.value_b = word_at(packet, 7);
  for (std::size_t i = 0; i < r.start.size(); ++i) r.start[i] = word_at(packet, 10 + 3 * i);
  return r;
}

// ---- grating table and wavelength arithmetic --------------------------------

const Grating* grating_for_code(int code) {
  for (const Grating& g : kGratings) {
    if (g.code == code) return &g;
  }
  return nullptr;
}

std::int32_t step_count(double wavelength, double step) {
  if (step == 0.0) fail(FailureReason::DivisionByZero, "step size is 0");
  return text::to_int32(wavelength / step);
}

std::uint16_t filter_position(double wavelength, double step) {
  if (step == 0.0) fail(FailureReason::DivisionByZero, "step size is 0");
  return static_cast<std::uint16_t>(wire_number(wavelength / 16.0 / step, 65535.0, "16 bits"));
}

}  // namespace brivel::protocol
