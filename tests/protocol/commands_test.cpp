#include "protocol/commands.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <tuple>
#include <utility>

#include "platform/failure.h"
#include "testkit/failure_of.h"
#include "testkit/hex.h"

namespace brivel::protocol {
namespace {

using testkit::failure_of;
using testkit::hex;

TEST(Commands, EncodeByteForByte) {
  const struct { Bytes bytes; const char* expected; } cases[] = {
      {question('y'), "79"}, {question('w'), "77"}, {read_filters(), "66 0D"},
      {set_word('N', 12345), "4E 30 39"}, {set_word('Y', 2024), "59 07 E8"},
      {set_word('Z', 65535), "5A FF FF"}, {set_word('P', 500.5), "50 01 F4"},
      {set_grating(20), "47 14"}, {set_type(3), "54 03"},
      {set_speed_property(100), "56 64 00"}, {set_speed_box(100), "56 64"},
      {set_filter_state(1), "53 01 0D"}, {set_filter_state(0), "53 00 0D"},
      {jog(kJogUp), "4B 01"}, {jog(kJogDown), "4B 02 00"}, {reposition(), "4B 08"},
      {stop(), "6B"},
  };
  for (const auto& c : cases) EXPECT_EQ(hex(c.bytes), c.expected);
}

// Step counts go out as four bytes, filter positions (16 steps each) as a word: both bounds, byte for byte.
TEST(Commands, StepCountsAtTheirBoundaries) {
  const struct { long long steps; const char* bytes; } counts[] = {
      {0, "00 00 00 00"}, {255, "00 00 00 FF"}, {256, "00 00 01 00"}, {10000, "00 00 27 10"},
      {120000, "00 01 D4 C0"}, {16777216, "01 00 00 00"}, {2147483647, "7F FF FF FF"},
      {2147483648LL, "80 00 00 00"}, {4294967295LL, "FF FF FF FF"},
  };
  const std::pair<Bytes (*)(std::int64_t), std::string> encoders[] = {
      {move_absolute, "57 "}, {move_up, "55 "}, {move_down, "44 "}, {set_power_on, "4D "}};
  for (const auto& c : counts)
    for (const auto& [encode, letter] : encoders) EXPECT_EQ(hex(encode(c.steps)), letter + c.bytes) << c.steps;
  const struct { double nm; const char* bytes; } positions[] = {
      {-0.5, "00 00 0D"}, {0.5, "00 00 0D"}, {1.5, "00 02 0D"}, {255.5, "01 00 0D"},
      {65534.5, "FF FE 0D"}, {65535, "FF FF 0D"},
  };
  for (const auto& c : positions)   // a step of 1/16 nm: one position per nm
    EXPECT_EQ(hex(filter_word_packet(filter_position(c.nm, 1.0 / 16))), c.bytes) << c.nm;
}

TEST(Commands, RefuseValuesThatDoNotFitTheirBytes) {
  const struct { const char* what; void (*call)(); FailureReason reason; } cases[] = {
      {"16 bits above", [] { set_word('N', 65536); }, FailureReason::Overflow},
      {"16 bits rounded up", [] { split16(65535.5); }, FailureReason::Overflow},
      {"16 bits negative", [] { filter_word_packet(-1); }, FailureReason::Overflow},
      {"byte", [] { set_grating(256); }, FailureReason::Overflow},
      {"byte rounded", [] { set_speed_box(255.5); }, FailureReason::Overflow},
      {"filter state", [] { set_filter_state(-1); }, FailureReason::Overflow},
      {"count", [] { filter_count_packet(300); }, FailureReason::Overflow},
      {"negative steps", [] { move_absolute(-1); }, FailureReason::Overflow},
      {"2^32 steps", [] { move_up(4294967296LL); }, FailureReason::Overflow},
      {"position past 16 bits", [] { filter_word_packet(filter_position(65535.5, 1.0 / 16)); }, FailureReason::Overflow},
      {"sign and magnitude", [] { encode_sign_magnitude(-32768); }, FailureReason::Overflow},
      {"seven filters", [] { filter_table_packets(7, 0, 0, {}, 1); }, FailureReason::Overflow},
      {"value A before a missing start", [] { filter_table_packets(1, 40000, 0, {}, 1); }, FailureReason::Overflow},
      {"a missing start", [] { filter_table_packets(2, 0, 0, {400}, 1); }, FailureReason::InvalidArgument},
      {"no step size", [] { filter_table_packets(1, 0, 0, {400}, 0); }, FailureReason::DivisionByZero},
      {"question letter", [] { question('f'); }, FailureReason::InvalidArgument},
      {"word letter", [] { set_word('W', 1); }, FailureReason::InvalidArgument},
      {"jog direction", [] { jog(8); }, FailureReason::InvalidArgument},
  };
  for (const auto& c : cases) EXPECT_EQ(failure_of(c.call), c.reason) << c.what;
}

TEST(Numbers, SplitAndAssemble) {
  EXPECT_EQ(split16(258), (std::array<std::uint8_t, 2>{1, 2}));
  EXPECT_EQ(split16(2.5), (std::array<std::uint8_t, 2>{0, 2}));
  EXPECT_EQ(assemble32(0xFF, 0xFF, 0xFF, 0xFF), 4294967295.0);
  EXPECT_EQ(assemble32(0x00, 0x01, 0xD4, 0xC0), 120000.0);
  const struct { double value; std::uint16_t word; std::int16_t read_back; } sign_magnitude[] = {
      {-5, 32773, -5}, {5, 5, 5}, {0, 0, 0}, {-0.4, 0, 0}, {32767, 0x7FFF, 32767},
      {-32767, 0xFFFF, -32767}, {-2.5, 0x8002, -2},
  };
  for (const auto& c : sign_magnitude) {
    EXPECT_EQ(encode_sign_magnitude(c.value), c.word) << c.value;
    EXPECT_EQ(decode_sign_magnitude(c.word), c.read_back) << c.value;
  }
  EXPECT_EQ(decode_sign_magnitude(0x8000), 0);
}

TEST(Replies, AreReadWithoutGoingPastTheirEnd) {
  EXPECT_TRUE(is_answer({'n', 0x30, 0x39}, 'n', 3));
  EXPECT_FALSE(is_answer({'n', 0x30}, 'n', 3));
  EXPECT_FALSE(is_answer({'N', 0x30, 0x39}, 'n', 3));
  EXPECT_FALSE(is_answer({}, 'n', 0));
  EXPECT_EQ(word_at({'n', 0x30, 0x39}, 1), 12345);
  EXPECT_EQ(word_at({'n', 0x30}, 1), 0x3000);
  EXPECT_EQ(byte_at({'g', 3}, 1), 3);
  EXPECT_EQ(byte_at({'g'}, 1), 0);
}

TEST(Replies, FilterRecordFieldsSitAtTheirPlaces) {
  Bytes packet(28, 0xEE);   // unused places filled, to catch reads from them
  const std::uint8_t fields[][2] = {
      {0, 1}, {2, 6}, {4, 0x80}, {5, 0x05}, {7, 0x01}, {8, 0x2C},
      {10, 0x00}, {11, 0x10}, {13, 0x01}, {14, 0x00}, {25, 0xAB}, {26, 0xCD},
  };
  for (const auto& f : fields) packet[f[0]] = f[1];
  const FilterRecord r = decode_filter_record(packet);
  EXPECT_EQ(std::make_tuple(r.state, r.count, r.value_a, r.value_b), std::make_tuple(1, 6, -5, 300));
  EXPECT_EQ(std::make_tuple(r.start[0], r.start[1], r.start[2], r.start[5]), std::make_tuple(0x10, 0x100, 0xEEEE, 0xABCD));
  const FilterRecord short_one = decode_filter_record({0, 0xEE, 2, 0xEE, 0x00, 0x07, 0xEE, 0x01});
  // value B's missing low byte reads as 0
  EXPECT_EQ(std::make_tuple(short_one.value_a, short_one.value_b, short_one.start[0]), std::make_tuple(7, 0x0100, 0));
  EXPECT_EQ(decode_filter_record({}).count, 0);
}

TEST(Gratings, CodesAboveSixteenAreTheSameGratingsAtATenthOfTheResolution) {
  for (int code = 1; code <= 4; ++code) {
    const Grating* fine = grating_for_code(code);
    const Grating* coarse = grating_for_code(code + 16);
    ASSERT_TRUE(fine && coarse) << code;
    EXPECT_STREQ(fine->text, coarse->text);
    EXPECT_EQ(fine->lines, coarse->lines);
    EXPECT_DOUBLE_EQ(coarse->step, 10 * fine->step);
  }
  EXPECT_EQ(grating_for_code(5)->step, 0.0125 / 3.0);   // computed, not a rounded constant
  for (int code : {0, 6, 16, 21, 255, -1}) EXPECT_EQ(grating_for_code(code), nullptr) << code;
}

TEST(Wavelength, StepCountsRoundToEven) {
  const struct { double wavelength; int code; std::int32_t steps; } cases[] = {
      {500, 5, 120000}, {500, 1, 80000}, {500, 4, 10000}, {0, 1, 0}, {-1, 20, -2},
      {5000.25, 20, 10000}, {5000.75, 20, 10002},   // 10000.5 and 10001.5 steps
  };
  for (const auto& c : cases) EXPECT_EQ(step_count(c.wavelength, grating_for_code(c.code)->step), c.steps) << c.wavelength;
  EXPECT_EQ(std::make_pair(step_count(10000.5, 1.0), step_count(10001.5, 1.0)), std::make_pair(10000, 10002));
  EXPECT_EQ(failure_of([] { step_count(500, 0); }), FailureReason::DivisionByZero);
  EXPECT_EQ(failure_of([] { step_count(1e9, 0.00625); }), FailureReason::Overflow);
}

}  // namespace
}  // namespace brivel::protocol
