// A file's check before a download: every file the control writes passes; others named by line and field.

#include <gtest/gtest.h>

#include <string>

#include "parameters/fixture.h"
#include "parameters/parameter_file.h"

namespace brivel::parameters {
namespace {

std::string problem_of(const std::string& text) {
  const auto found = find_parameter_problem(text);
  return found ? found->text_en : std::string("none");
}

TEST_F(ParameterFileTest, EveryFileTheControlSavesPasses) {
  // Saved from instruments with and without a wheel, and with every filter count.
  for (int filters : {-1, 0, 1, 6}) {
    sim::Memory m = instrument();
    if (filters < 0) m.filter_state = 7;   // not set up: line 2 is "2"
    else m.filter_count = static_cast<std::uint8_t>(filters);
    Bench b(m);
    ASSERT_TRUE(connect(b));
    const std::string text = saved(b);
    SCOPED_TRACE(text);
    EXPECT_EQ(problem_of(text), "none");
  }
  // What hand editing leaves: a BOM, blanks around numbers, an empty line, no last tab, a final CR.
  for (const std::string& text : Strings{"\xEF\xBB\xBF" + kLine1 + kLine2, kLine1 + kLine2 + "\r\n",
                                  "00258\t430\t500\t 1000 \t09\t435.85\t6\r\n1\t-5\t700\t0\r\n",
                                  kLine1 + "2\t\r", kLine1 + "2", "1e2\t430\t500\t1000\t09\t+435.850\t6\t\r\n2\t\r\n"}) {
    EXPECT_EQ(problem_of(text), "none") << text;
  }
}

TEST(ParameterText, NamesTheLineAndFieldOfTheFirstProblem) {
  const std::string line2 = "1\t-5\t700\t3\t349.6\t649.6\t800.0\t\r\n";
  struct Case {
    std::string text;
    int line, field;
    const char* says;
  } cases[] = {
      // field counts
      {"00258\t430\t500\t1000\t09\t435.85\t\r\n2\t\r\n", 1, 0, "line 1 has 6 fields, a parameter file's line 1 has 7"},
      {"00258\t430\t500\t1000\t09\t435.85\t6\t7\t\r\n2\t\r\n", 1, 0, "line 1 has 8 fields"},
      {kLine1 + "1\t-5\t700\t3\t349.6\t649.6\t\r\n", 2, 0, "line 2 has 6 fields, a line 2 with 3 filters has 7"},
      {kLine1 + "2\t5\t\r\n", 2, 0, "line 2 has 2 fields, a line 2 without filter wheel (state 2) has 1"},
      {kLine1 + "1\t-5\t\r\n", 2, 0, "line 2 has 2 fields"},
      // text where numbers stand, empty fields
      {"00258\t430\tabc\t1000\t09\t435.85\t6\t\r\n" + line2, 1, 3, "line 1 field 3 (\"abc\") is not a number: the blaze wavelength"},
      {"00258\t430\t500\t1000\t09\t435.85 nm\t6\t\r\n" + line2, 1, 6, "line 1 field 6 (\"435.85 nm\") is not a number"},
      {"00258\t430\t500\t\t09\t435.85\t6\t\r\n" + line2, 1, 4, "line 1 field 4 is empty"},
      {kLine1 + "1\t-5\t700\t3\t349.6\tx\t800.0\t\r\n", 2, 6, "line 2 field 6 (\"x\") is not a number"},
      {kLine1 + "1\t-5\t700\t3\t349.6\t1.2.3\t800.0\t\r\n", 2, 6, "is not a number"},
      {kLine1 + "1\t-5\t700\t3\t349.6\t1e\t800.0\t\r\n", 2, 6, "is not a number"},
      // values that do not fit their command
      {"70000\t430\t500\t1000\t09\t435.85\t6\t\r\n" + line2, 1, 1, "line 1 field 1 (\"70000\") is out of range: the instrument number is 0 to 65535"},
      {"00258\t430\t-1\t1000\t09\t435.85\t6\t\r\n" + line2, 1, 3, "out of range"},
      {"00258\t430\t500\t1000\t09\t435.85\t256\t\r\n" + line2, 1, 7, "the instrument type is 0 to 255"},
      {"00258\t430\t500\t1000\t09\t-1\t6\t\r\n" + line2, 1, 6, "the power-on wavelength is at least 0"},
      {kLine1 + "1\t-40000\t700\t0\t\r\n", 2, 2, "filter wheel value A is -32767 to 32767"},
      {kLine1 + "1\t-5\t700\t7\t\r\n", 2, 4, "the filter count is a whole number 0 to 6"},
      {kLine1 + "1\t-5\t700\t2.5\t1\t2\t\r\n", 2, 4, "whole number"},
      {kLine1 + "3\t\r\n", 2, 1, "the filter wheel state is a whole number 0 to 2"},
      // lines
      {"", 0, 0, "the file is empty"},
      {"\r\n\r\n", 0, 0, "the file is empty"},
      {kLine1, 2, 0, "line 2 is missing"},
      {kLine1 + "\t\r\n", 2, 0, "line 2 is missing"},
      {"00258\t430\t500\t1000\t09\t435.85\t6\t\n2\t\n", 1, 0, "line 1 ends in LF alone"},
      {"00258\t430\t500\t1000\t09\t435.85\t6\t\r2\t\r\n", 1, 0, "line 1 ends in CR alone"},
      {kLine1 + "2\t\n\r\n", 2, 0, "line 2 holds an LF without CR"},
      {kLine1 + line2 + "junk\r\n", 3, 0, "line 3 (\"junk\") is one line too many"},
      // bytes that are not text, found where they stand
      {std::string("\x7F" "ELF\x02\x01\x01\0\0\0", 10), 1, 1, "line 1 field 1: the byte 0x7F is not text"},
      {"00258\t430\t5\xE9" "00\t1000\t09\t435.85\t6\t\r\n" + line2, 1, 3, "the byte 0xE9 is not text"},
      {kLine1 + "1\t-5\t700\t3\t349.6\t649.6\t800.0" + std::string(1, '\0') + "\t\r\n", 2, 7, "the byte 0x00"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const auto found = find_parameter_problem(c.text);
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->line, c.line) << found->text_en;
    EXPECT_EQ(found->field, c.field) << found->text_en;
    EXPECT_NE(found->text_en.find(c.says), std::string::npos) << found->text_en;
    EXPECT_FALSE(found->text_zh.empty());
    EXPECT_EQ(check_parameter_text(c.text), found->text_en);
  }
}

TEST(ParameterText, ShowsALongFieldCutShortAndRefusesWhatIsLargerThanAnyFile) {
  const std::string junk(500, 'x');
  const auto found = find_parameter_problem(junk + "\t430\t500\t1000\t09\t435.85\t6\t\r\n2\t\r\n");
  ASSERT_TRUE(found.has_value());
  EXPECT_LT(found->text_en.size(), 150u) << found->text_en;
  EXPECT_NE(found->text_en.find("xxx...\""), std::string::npos) << found->text_en;
  EXPECT_EQ(check_parameter_text(kLine1 + kLine2 + std::string(kLargestParameterFile, '\n')), kTooLargeEn);
}

// A file's fields are written back as the same text; a file cut before its last filter's start is refused.
TEST(ParameterFile, FieldsRoundTripAndCutFilesAreRefused) {
  for (const std::string& text : Strings{kLine1 + kLine2, kLine1 + "2\t\r\n", kLine1 + "0\t0\t0\t0\t\r\n"}) {
    const ParsedParameterFile parsed = parse_parameter_file(text);
    ASSERT_TRUE(parsed.fields.has_value()) << text;
    EXPECT_EQ(format_parameter_file(*parsed.fields), text);
  }
  const ParameterFields fields = *parse_parameter_file(kLine1 + kLine2).fields;
  EXPECT_EQ(fields.power_on, "435.85");
  EXPECT_EQ(fields.wheel->starts, (Strings{"349.6", "649.6", "800.0"}));
  for (std::size_t cut = 0; cut < kLine1.size() + kLine2.find("800"); ++cut)
    EXPECT_TRUE(find_parameter_problem((kLine1 + kLine2).substr(0, cut))) << cut;
}

}  // namespace
}  // namespace brivel::parameters
