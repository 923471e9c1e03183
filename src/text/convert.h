#pragma once
// Text and number conversions of the control.
//
// Two families:
//  * forgiving: leading_number() reads the number a text begins with and never
//    fails ("435.83 nm" gives 435.83, "" gives 0);
//  * strict: parse_double()/parse_single() and the integer conversions of a whole
//    text fail with RuntimeFailure(NotANumber) on text that is not a number, as the
//    range check and the down button need. The decimal mark is always ".".
// Every conversion to an integer type rounds to the nearest whole number, a half to
// the even neighbour (2.5 gives 2, 3.5 gives 4), and fails with
// RuntimeFailure(Overflow) outside the type's range.

#include <cstdint>
#include <cstddef>
#include <string>
#include <string_view>

namespace brivel::text {

// Leading number: skips leading blanks, tabs, CR and LF, reads an optional sign,
// digits with "." as the decimal mark and an optional exponent ("E" or "e", an
// optional sign, digits; an "E" without digits ends the number before it), stops at
// the first character that cannot continue the number ("1 2" gives 1). No number
// gives 0. Never fails and always gives a finite value: a magnitude beyond the
// double range reads as the largest double of that sign, a tiny one as 0.
double leading_number(std::string_view text);

// Rounding to even and range-checked conversion of a value.
double round_half_even(double value);
std::uint8_t to_byte(double value);    // 0..255
std::int16_t to_int16(double value);   // -32768..32767
std::int32_t to_int32(double value);   // -2^31..2^31-1
// The largest whole number not above the value.
double whole_part(double value);

// Strict conversions of a whole text (surrounding blanks allowed). Text that is not
// a number, or empty text, is RuntimeFailure(NotANumber); a value beyond the target
// type is RuntimeFailure(Overflow).
double parse_double(std::string_view text);
float parse_single(std::string_view text);
std::uint8_t parse_byte(std::string_view text);    // rounds to even first
std::int16_t parse_int16(std::string_view text);   // rounds to even first
std::int32_t parse_int32(std::string_view text);   // rounds to even first

// Display patterns: "0.00" and "0.0" (that many decimals, rounded, at least one digit
// before the mark), "00", "000", "00000" (at least that many digits, leading zeros);
// in general zeros, optionally "." and zeros. The value is taken to 15 significant
// digits and then rounded a half away from zero, as by hand: 0.125 -> "0.13",
// 2.675 -> "2.68", 2.5 with "00" -> "03". A value that rounds to zero has no sign.
// Any other pattern is RuntimeFailure(InvalidArgument); NaN or an infinity is
// RuntimeFailure(Overflow).
std::string format(double value, std::string_view pattern);

// Plain number form: no superfluous zeros, no decimal mark for whole values, "." as
// the mark, at most 15 significant digits (500 -> "500", 435.83 -> "435.83",
// -0.5 -> "-0.5", 0.1 + 0.2 -> "0.3"); powers of ten below -4 or from 15 on are
// written with an exponent (1e20 -> "1E+20", 1e-5 -> "1E-05"). NaN or an infinity
// is RuntimeFailure(Overflow).
std::string plain(double value);

// The length of the UTF-8 sequence at `i` (no overlong forms, no surrogates, nothing
// above U+10FFFF), or 0 when the bytes there are no text. Control characters other
// than tab, CR and LF are no text either. Never reads past the end of `bytes`.
std::size_t text_sequence(std::string_view bytes, std::size_t i);

}  // namespace brivel::text
