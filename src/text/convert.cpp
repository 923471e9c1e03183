#include "text/convert.h"

#include <algorithm>
#include <array>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>
#include <system_error>

#include "platform/failure.h"

// Nothing here uses the C library's locale-dependent conversions (strtod, printf):
// a Qt host sets the process locale from the desktop, which could turn the decimal
// mark into ",". std::from_chars and std::to_chars always use ".".

namespace brivel::text {
namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The longest number at the front of `text` (after the sign):
// digits ["." digits] [("E" | "e") [sign] digits].
struct Scan {
  bool negative = false;
  std::size_t start = 0;          // first character after the sign
  std::size_t mantissa_end = 0;   // end of digits and "."
  std::size_t end = 0;            // end of the number, exponent included
  std::size_t mantissa_digits = 0;
};

std::size_t skip_digits(std::string_view text, std::size_t i) {
  while (i < text.size() && is_digit(text[i])) ++i;
  return i;
}

Scan scan_number(std::string_view text, std::size_t i) {
  Scan s;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    s.negative = text[i] == '-';
    ++i;
  }
  s.start = i;
  i = skip_digits(text, i);
  s.mantissa_digits = i - s.start;
  if (i < text.size() && text[i] == '.') {
    const std::size_t fraction = i + 1;
    i = skip_digits(text, fraction);
    s.mantissa_digits += i - fraction;
  }
  s.mantissa_end = s.end = i;
  if (s.mantissa_digits > 0 && i < text.size() && (text[i] == 'E' || text[i] == 'e')) {
    std::size_t j = i + 1;
    if (j < text.size() && (text[j] == '+' || text[j] == '-')) ++j;
    const std::size_t digits_end = skip_digits(text, j);
    if (digits_end > j) s.end = digits_end;   // "E" without digits is not part of it
  }
  return s;
}

// True when a number that from_chars found out of range is too large (rather than
// too small): the power of ten of its first non-zero digit is above 0.
bool is_too_large(std::string_view text, const Scan& s) {
  bool seen_point = false, seen_nonzero = false;
  long integer_digits = 0, leading_zeros = 0;
  for (std::size_t i = s.start; i < s.mantissa_end; ++i) {
    const char c = text[i];
    if (c == '.') { seen_point = true; continue; }
    if (!seen_point) ++integer_digits;
    if (!seen_nonzero) {
      if (c != '0') seen_nonzero = true; else ++leading_zeros;
    }
  }
  long power = integer_digits - leading_zeros - 1;
  if (s.end > s.mantissa_end) {
    std::size_t j = s.mantissa_end + 1;
    bool negative_exponent = false;
    if (text[j] == '+' || text[j] == '-') negative_exponent = text[j++] == '-';
    long exponent = 0;
    for (; j < s.end; ++j) {
      if (exponent < 1000000) exponent = exponent * 10 + (text[j] - '0');
    }
    power += negative_exponent ? -exponent : exponent;
  }
  return power > 0;
}

// The value of a scanned number. A magnitude beyond the double range gives ±max
// (the caller decides whether that is a failure); one below it gives 0.
double value_of(std::string_view text, const Scan& s, bool* too_large) {
  double value = 0.0;
  const char* first = text.data() + s.start;
  const auto result = std::from_chars(first, text.data() + s.end, value, std::chars_format::general);
  *too_large = false;
  if (result.ec == std::errc::result_out_of_range) {
    *too_large = is_too_large(text, s);
    value = *too_large ? DBL_MAX : 0.0;
  } else if (result.ec != std::errc()) {
    value = 0.0;
  }
  if (value == 0.0) return 0.0;   // never -0
  return s.negative ? -value : value;
}

[[noreturn]] void fail(FailureReason reason, const std::string& detail) {
  throw RuntimeFailure(reason, detail);
}

template <typename Int>
Int to_integer(double value, const char* type) {
  const double rounded = round_half_even(value);
  // Written so that NaN fails too.
  if (!(rounded >= static_cast<double>(std::numeric_limits<Int>::min()) &&
        rounded <= static_cast<double>(std::numeric_limits<Int>::max()))) {
    fail(FailureReason::Overflow, std::string("value does not fit ") + type);
  }
  return static_cast<Int>(rounded);
}

// ---- decimal digits of a double, for the display forms ----------------------

// value = 0.digits x 10^point, digits without leading zeros; empty digits is 0.
struct Decimal {
  bool negative = false;
  std::string digits;
  int point = 0;
};

// The value to 15 significant digits, the precision a double holds reliably: the
// displays show the number the computation meant (0.1 + 0.2 is 0.3, 2.675 is 2.675)
// rather than the binary approximation's tail.
Decimal significant15(double value) {
  if (!std::isfinite(value)) fail(FailureReason::Overflow, "not a finite number");
  Decimal d;
  if (value == 0.0) return d;
  d.negative = value < 0;
  std::array<char, 40> buffer{};
  const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), std::fabs(value),
                                    std::chars_format::scientific, 14);
  // "d.dddddddddddddde+XX"
  const char* p = buffer.data();
  for (; p < result.ptr && *p != 'e'; ++p) {
    if (is_digit(*p)) d.digits.push_back(*p);
  }
  int exponent = 0;
  ++p;   // 'e'
  const bool negative_exponent = *p == '-';
  ++p;   // sign, always written by to_chars
  std::from_chars(p, result.ptr, exponent);
  d.point = (negative_exponent ? -exponent : exponent) + 1;
  while (!d.digits.empty() && d.digits.back() == '0') d.digits.pop_back();
  return d;
}

bool is_zero(const Decimal& d) {
  return d.digits.find_first_not_of('0') == std::string::npos;
}

// Rounds to `decimals` places, a half away from zero (as by hand).
void round_decimal(Decimal& d, int decimals) {
  const int keep = d.point + decimals;
  if (keep < 0) { d.digits.clear(); return; }
  if (static_cast<std::size_t>(keep) >= d.digits.size()) return;
  const bool up = d.digits[keep] >= '5';
  d.digits.resize(keep);
  if (!up) return;
  int i = keep - 1;
  while (i >= 0 && d.digits[i] == '9') d.digits[i--] = '0';
  if (i >= 0) {
    ++d.digits[i];
  } else {
    d.digits.insert(d.digits.begin(), '1');
    ++d.point;
  }
}

char digit_at(const Decimal& d, int position) {
  if (position < 0 || position >= static_cast<int>(d.digits.size())) return '0';
  return d.digits[position];
}

// A display pattern: zeros, optionally "." and more zeros.
struct Pattern {
  int integer_digits = 0;
  int decimals = 0;
};

Pattern parse_pattern(std::string_view pattern) {
  constexpr std::size_t kMaxDigits = 30;
  const std::size_t dot = pattern.find('.');
  const std::string_view whole = pattern.substr(0, dot);
  const std::string_view fraction = dot == std::string_view::npos ? "" : pattern.substr(dot + 1);
  const bool zeros_only = whole.find_first_not_of('0') == std::string_view::npos &&
                          fraction.find_first_not_of('0') == std::string_view::npos;
  const bool shaped = !whole.empty() && (dot == std::string_view::npos || !fraction.empty());
  if (!zeros_only || !shaped || whole.size() > kMaxDigits || fraction.size() > kMaxDigits) {
    fail(FailureReason::InvalidArgument, "unknown display pattern \"" + std::string(pattern) + "\"");
  }
  return {static_cast<int>(whole.size()), static_cast<int>(fraction.size())};
}

}  // namespace

double leading_number(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && is_blank(text[i])) ++i;
  const Scan s = scan_number(text, i);
  if (s.mantissa_digits == 0) return 0.0;
  bool too_large = false;
  return value_of(text, s, &too_large);
}

double round_half_even(double value) {
  // Exact for every double: below 2^52 the difference to the floor is exact, above
  // it every double is whole. NaN and infinities pass through.
  const double floor = std::floor(value);
  const double difference = value - floor;
  if (difference > 0.5) return floor + 1.0;
  if (difference < 0.5) return floor;
  return std::fmod(floor, 2.0) == 0.0 ? floor : floor + 1.0;
}

std::uint8_t to_byte(double value) { return to_integer<std::uint8_t>(value, "a byte"); }
std::int16_t to_int16(double value) { return to_integer<std::int16_t>(value, "16 bits"); }
std::int32_t to_int32(double value) { return to_integer<std::int32_t>(value, "32 bits"); }

double whole_part(double value) { return std::floor(value); }

double parse_double(std::string_view text) {
  std::size_t first = 0, last = text.size();
  while (first < last && is_blank(text[first])) ++first;
  while (last > first && is_blank(text[last - 1])) --last;
  const std::string_view trimmed = text.substr(first, last - first);
  const Scan s = scan_number(trimmed, 0);
  if (s.mantissa_digits == 0 || s.end != trimmed.size()) {
    fail(FailureReason::NotANumber, "\"" + std::string(text) + "\" is not a number");
  }
  bool too_large = false;
  const double value = value_of(trimmed, s, &too_large);
  if (too_large) fail(FailureReason::Overflow, "\"" + std::string(text) + "\" is too large");
  return value;
}

float parse_single(std::string_view text) {
  const double value = parse_double(text);
  // Values up to half a unit above the largest float still round to it.
  const double limit = std::ldexp(2.0 - std::ldexp(1.0, -24), 127);
  if (std::fabs(value) >= limit) fail(FailureReason::Overflow, "value does not fit a single");
  if (std::fabs(value) > FLT_MAX) return value < 0 ? -FLT_MAX : FLT_MAX;
  return static_cast<float>(value);
}

std::uint8_t parse_byte(std::string_view text) { return to_byte(parse_double(text)); }
std::int16_t parse_int16(std::string_view text) { return to_int16(parse_double(text)); }
std::int32_t parse_int32(std::string_view text) { return to_int32(parse_double(text)); }

std::string format(double value, std::string_view pattern) {
  const Pattern p = parse_pattern(pattern);
  Decimal d = significant15(value);
  round_decimal(d, p.decimals);

  std::string out;
  if (d.negative && !is_zero(d)) out.push_back('-');
  const int integer_digits = std::max(d.point, p.integer_digits);
  for (int position = d.point - integer_digits; position < d.point; ++position) {
    out.push_back(digit_at(d, position));
  }
  if (p.decimals > 0) {
    out.push_back('.');
    for (int j = 0; j < p.decimals; ++j) out.push_back(digit_at(d, d.point + j));
  }
  return out;
}

std::string plain(double value) {
  const Decimal d = significant15(value);
  if (d.digits.empty()) return "0";
  std::string out = d.negative ? "-" : "";
  const int exponent = d.point - 1;   // power of ten of the first digit
  const int count = static_cast<int>(d.digits.size());
  if (exponent < -4 || exponent >= 15) {
    // "1.5E+20", "1E-05": two exponent digits at least.
    out.push_back(d.digits[0]);
    if (count > 1) out.append(".").append(d.digits, 1, std::string::npos);
    const int magnitude = std::abs(exponent);
    out.append(exponent < 0 ? "E-" : "E+");
    if (magnitude < 10) out.push_back('0');
    out.append(std::to_string(magnitude));
    return out;
  }
  if (d.point <= 0) {
    out.append("0.").append(static_cast<std::size_t>(-d.point), '0').append(d.digits);
    return out;
  }
  for (int position = 0; position < d.point; ++position) out.push_back(digit_at(d, position));
  if (count > d.point) out.append(".").append(d.digits, d.point, std::string::npos);
  return out;
}

std::size_t text_sequence(std::string_view bytes, std::size_t i) {
  const auto c = static_cast<unsigned char>(bytes[i]);
  if (c < 0x80) {
    const bool control = (c < 0x20 && c != '\t' && c != '\r' && c != '\n') || c == 0x7F;
    return control ? 0 : 1;
  }
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) length = 2;
  else if (c == 0xE0) length = 3, low = 0xA0;
  else if (c >= 0xE1 && c <= 0xEC) length = 3;
  else if (c == 0xED) length = 3, high = 0x9F;
  else if (c >= 0xEE && c <= 0xEF) length = 3;
  else if (c == 0xF0) length = 4, low = 0x90;
  else if (c >= 0xF1 && c <= 0xF3) length = 4;
  else if (c == 0xF4) length = 4, high = 0x8F;
  else return 0;
  if (bytes.size() - i < length) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(bytes[i + k]);
    if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF)) return 0;
  }
  return length;
}

}  // namespace brivel::text
