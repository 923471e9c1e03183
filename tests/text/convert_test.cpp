#include "text/convert.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <clocale>
#include <cmath>
#include <limits>
#include <string>

#include "platform/failure.h"
#include "testkit/failure_of.h"

namespace brivel::text {
namespace {

using testkit::failure_of;

TEST(LeadingNumber, ReadsTheNumberATextOrViewBeginsWith) {
  const struct { const char* text; double expected; } cases[] = {
      {"435.83 nm", 435.83}, {"", 0}, {"nm", 0}, {"  \t\r\n12", 12}, {"1 2", 1},
      {"-7.5", -7.5}, {"+3", 3}, {".5", 0.5}, {"5.", 5}, {".", 0}, {"-", 0}, {"-.e3", 0},
      {"1.2.3", 1.2}, {"1e3", 1000}, {"2.5E-1x", 0.25}, {"1E+2", 100},
      {"7E", 7}, {"7e+", 7}, {"7Ex", 7}, {"12abc", 12}, {"1,5", 1}, {"0x10", 0},
      {"1e-400", 0}, {"1e400", DBL_MAX}, {"-1e400", -DBL_MAX}, {"0.0001e400", DBL_MAX},
      {"1000e-402", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(leading_number(c.text), c.expected) << '"' << c.text << '"';
  EXPECT_FALSE(std::signbit(leading_number("-0")));
  // A view that is not terminated ends the number.
  const std::string backing = "123456";
  EXPECT_EQ(leading_number(std::string_view(backing.data(), 3)), 123);
  EXPECT_EQ(leading_number(std::string_view(backing.data(), 0)), 0);
  const std::string exponent = "4e56";
  EXPECT_EQ(leading_number(std::string_view(exponent.data(), 2)), 4);   // "4e" ends before the e
}

TEST(Rounding, HalvesGoToTheEvenNeighbour) {
  const struct { double value, expected; } cases[] = {
      {2.5, 2}, {3.5, 4}, {-2.5, -2}, {-3.5, -4}, {0.5, 0}, {1.5, 2}, {2.4999999, 2},
      {2.5000001, 3}, {-0.4, 0}, {10000.5, 10000}, {10001.5, 10002}, {4503599627370497.0, 4503599627370497.0},
  };
  for (const auto& c : cases) EXPECT_EQ(round_half_even(c.value), c.expected) << c.value;
  EXPECT_TRUE(std::isnan(round_half_even(std::nan(""))));
}

TEST(Rounding, IntegerConversionsRefuseValuesOutsideTheirType) {
  EXPECT_EQ(to_byte(254.5), 254);
  EXPECT_EQ(to_byte(255.4), 255);
  EXPECT_EQ(to_byte(-0.5), 0);
  EXPECT_EQ(to_int16(-32768.4), -32768);
  EXPECT_EQ(to_int32(2147483647.4), 2147483647);
  for (double bad : {255.5, -0.6, std::nan(""), HUGE_VAL})
    EXPECT_EQ(failure_of([&] { to_byte(bad); }), FailureReason::Overflow) << bad;
  EXPECT_EQ(failure_of([] { to_int16(32767.5); }), FailureReason::Overflow);
  EXPECT_EQ(failure_of([] { to_int32(2147483648.0); }), FailureReason::Overflow);
  EXPECT_EQ(failure_of([] { to_int32(-HUGE_VAL); }), FailureReason::Overflow);
  EXPECT_EQ(whole_part(-2.5), -3);
  EXPECT_EQ(whole_part(2.99), 2);
}

TEST(StrictParse, AcceptsOnlyAWholeNumberAndRoundsBeforeTheRangeCheck) {
  EXPECT_EQ(parse_double(" 99999 "), 99999);
  EXPECT_EQ(parse_double("-1.5e2"), -150);
  EXPECT_EQ(parse_double("+.5"), 0.5);
  EXPECT_EQ(parse_double("1e-400"), 0);
  for (const char* bad : {"", "  ", ".", "-", "abc", "1.2.3", "12abc", "1e", "1e+", "1 2", "1,5", "e5"})
    EXPECT_EQ(failure_of([&] { parse_double(bad); }), FailureReason::NotANumber) << '"' << bad << '"';
  EXPECT_EQ(failure_of([] { parse_double("1e400"); }), FailureReason::Overflow);
  // Integer and single conversions round, then check the range.
  EXPECT_EQ(parse_byte("2.5"), 2);
  EXPECT_EQ(parse_byte("8"), 8);
  EXPECT_EQ(parse_int16("-32768"), -32768);
  EXPECT_EQ(parse_int32("3.5"), 4);
  EXPECT_EQ(parse_single("50000"), 50000.0f);
  EXPECT_EQ(parse_single("3.4028235e38"), FLT_MAX);
  EXPECT_EQ(failure_of([] { parse_byte("300"); }), FailureReason::Overflow);
  EXPECT_EQ(failure_of([] { parse_byte("-1"); }), FailureReason::Overflow);
  EXPECT_EQ(failure_of([] { parse_int16("32768"); }), FailureReason::Overflow);
  EXPECT_EQ(failure_of([] { parse_int32("2147483648"); }), FailureReason::Overflow);
  EXPECT_EQ(failure_of([] { parse_single("3.5e38"); }), FailureReason::Overflow);
  EXPECT_EQ(failure_of([] { parse_byte("x"); }), FailureReason::NotANumber);
}

TEST(Format, PatternsRoundAsByHand) {
  const struct { double value; const char* pattern; const char* expected; } cases[] = {
      {500, "0.00", "500.00"}, {435.834, "0.00", "435.83"}, {0.125, "0.00", "0.13"},
      {2.675, "0.00", "2.68"}, {1.005, "0.00", "1.01"}, {-0.5, "0.00", "-0.50"},
      {-0.004, "0.00", "0.00"}, {-0.005, "0.00", "-0.01"}, {0.0, "0.00", "0.00"},
      {9.996, "0.00", "10.00"}, {99.95, "0.0", "100.0"}, {0.00625 * 12, "0.00", "0.08"},
      {500.00000000000006, "0.00", "500.00"}, {1e20, "0.00", "100000000000000000000.00"},
      {9, "00", "09"}, {123, "00", "123"}, {258, "00000", "00258"}, {2.5, "00", "03"},
      {7, "000", "007"}, {-3, "000", "-003"}, {0.4, "00", "00"}, {1e-30, "0.0", "0.0"},
  };
  for (const auto& c : cases) EXPECT_EQ(format(c.value, c.pattern), c.expected) << c.value << " as " << c.pattern;
  for (const char* bad : {"", "0.", ".00", "#.##", "0,00", "0.0.0"})
    EXPECT_EQ(failure_of([&] { format(1, bad); }), FailureReason::InvalidArgument) << bad;
  EXPECT_EQ(failure_of([] { format(std::nan(""), "0.00"); }), FailureReason::Overflow);
}

TEST(Plain, HasNoSuperfluousZerosAndFifteenDigitsAtMost) {
  const struct { double value; const char* expected; } cases[] = {
      {500, "500"}, {435.83, "435.83"}, {-0.5, "-0.5"}, {0.1 + 0.2, "0.3"}, {0, "0"},
      {-0.0, "0"}, {1e20, "1E+20"}, {1.5e20, "1.5E+20"}, {1e-5, "1E-05"}, {0.0001, "0.0001"},
      {123456789012345, "123456789012345"}, {1e15, "1E+15"}, {1234567890123456, "1.23456789012346E+15"},
      {2.0 / 3.0, "0.666666666666667"}, {1e100, "1E+100"}, {-2.5e-7, "-2.5E-07"}, {65535, "65535"},
  };
  for (const auto& c : cases) EXPECT_EQ(plain(c.value), c.expected) << c.value;
  EXPECT_EQ(failure_of([] { plain(HUGE_VAL); }), FailureReason::Overflow);
}

TEST(Conversions, IgnoreTheProcessLocale) {
  // A host may set a locale whose decimal mark is ",".
  const std::string saved = std::setlocale(LC_NUMERIC, nullptr);
  if (!std::setlocale(LC_NUMERIC, "de_DE.UTF-8") && !std::setlocale(LC_NUMERIC, "fr_FR.UTF-8")) {
    GTEST_SKIP() << "no locale with a decimal comma installed";
  }
  EXPECT_EQ(format(0.5, "0.00"), "0.50");
  EXPECT_EQ(plain(0.25), "0.25");
  EXPECT_EQ(parse_double("0.25"), 0.25);
  EXPECT_EQ(leading_number("1,5"), 1);
  std::setlocale(LC_NUMERIC, saved.c_str());
}

}  // namespace
}  // namespace brivel::text
