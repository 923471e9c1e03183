#pragma once
// The parameter file, the one place that knows its format: what SaveParameter writes,
// how LoadParameter's download reads it, and the check hosts run before a download.
// Strings in, fields or a located problem out: no files, no dialogs, no control state.
//
// A parameter file has two lines, each ending in CR LF, with tab-separated fields
// (every field followed by a tab, as the control writes them):
//
//   line 1  instrument number, grating, blaze wavelength, zero offset, year,
//           power-on wavelength, type code                         (7 fields)
//   line 2  "2" alone (no filter wheel), or state (0 or 1), value A, value B,
//           filter count N (0 to 6), then N start wavelengths      (4 + N fields)
//
// The grating field is the grating text's first digit and a mark: "30" for the digits
// 0 to 4, "10" for 5 to 9; it reads back as code d ("d30") or d + 16 ("d10").
//
// Two readings:
//  * the check (parse_parameter_file, find_parameter_problem): every field is a number
//    ("00777", "435.83", "-5"; blanks around it are allowed) that fits the command it
//    goes out with. Empty lines may follow line 2, and a byte-order mark may lead.
//    Anything else (a field count that differs, text where a number stands, an empty
//    field, bytes that are not text, lines ending in LF alone, a third line, more than
//    64 KiB) is a problem, and the first one is named with its line and field.
//  * the download's (download_text, download_lines, fields_without_number): forgiving,
//    field by field, each field read as the number it begins with (none reads as 0).

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace brivel::parameters {

// More than any parameter file (they are under 1 KiB): a larger file is none.
constexpr std::size_t kLargestParameterFile = 64 * 1024;
constexpr const char* kTooLargeEn = "the file is larger than 64 KiB, far more than any parameter file";
constexpr const char* kTooLargeZh = "文件大于 64 KiB，不是参数文件";

// Where each value stands, counted from 1.
namespace field {
constexpr std::size_t kInstrument = 1, kGrating = 2, kBlaze = 3, kZeroOffset = 4, kYear = 5, kPowerOn = 6,
                      kType = 7;
constexpr std::size_t kState = 1, kValueA = 2, kValueB = 3, kCount = 4, kFirstStart = 5;
}  // namespace field
constexpr double kNoWheel = 2;   // line 2's state when the file holds no filter wheel
constexpr int kMostFilters = 6;

// The fields of a file, each as the text that stands in it.
struct FilterWheelFields {
  std::string state, value_a, value_b, count;
  std::vector<std::string> starts;   // one per filter
  bool operator==(const FilterWheelFields& o) const {
    return state == o.state && value_a == o.value_a && value_b == o.value_b && count == o.count && starts == o.starts;
  }
};
struct ParameterFields {
  std::string instrument, grating, blaze, zero_offset, year, power_on, type;
  std::optional<FilterWheelFields> wheel;   // none: line 2 is "2" alone
  bool operator==(const ParameterFields& o) const {
    return instrument == o.instrument && grating == o.grating && blaze == o.blaze && zero_offset == o.zero_offset &&
           year == o.year && power_on == o.power_on && type == o.type && wheel == o.wheel;
  }
};

// ---- writing ----------------------------------------------------------------
// The file's text: each field followed by a tab, each line ended by CR LF.
std::string format_parameter_file(const ParameterFields& fields);
// The grating field for a grating text ("2(600g/mm)" -> "230"); empty when the text
// does not start with a digit.
std::string grating_field(const std::string& grating_text);
// A wavelength as it is written: shortest plain form ("435.83", "500").
std::string number_field(double value);
// The number of start wavelengths a file written from the six-row table holds for a
// count text (rounded, 1 to 6), or nothing when the count is not one of those.
std::optional<int> written_filter_count(const std::string& count_text);

// ---- the check --------------------------------------------------------------
struct ParameterFileProblem {
  int line = 0;          // the line (1, 2; 3 or later for what follows line 2); 0: the file as a whole
  int field = 0;         // counted from 1; 0: the line as a whole
  std::string text_en;   // "line 1 field 3 (\"abc\") is not a number: the blaze wavelength stands there"
  std::string text_zh;
};
struct ParsedParameterFile {
  std::optional<ParameterFields> fields;          // when the file can be downloaded as it is
  std::optional<ParameterFileProblem> problem;    // otherwise its first problem
};
ParsedParameterFile parse_parameter_file(const std::string& text);
// The first problem alone, and as the English text alone.
std::optional<ParameterFileProblem> find_parameter_problem(const std::string& text);
std::optional<std::string> check_parameter_text(const std::string& text);

// ---- the download's reading ---------------------------------------------------
// The text a download reads from a file's bytes: a leading byte-order mark dropped
// (left there it would hide the first number), or nothing when the bytes are not text
// (UTF-8 without control characters other than tab, CR and LF).
std::optional<std::string> download_text(const std::string& bytes);
// The lines (split at CR; the LF of a CR LF leads the next line) and their fields
// (split at tabs) as the download reads them: no text gives no lines, no fields.
std::vector<std::vector<std::string>> download_lines(const std::string& text);
// The number a field begins with; a field without one reads as 0.
double field_number(const std::string& field);
// The grating code a grating field names: d for "d30", d + 16 for "d10", nothing for
// any other mark.
std::optional<int> grating_code(const std::string& field);
// The fields the download reads as numbers that hold none, so that they go out as 0:
// "line 1 field 3 (\"abc\")". The grating field has its own rule and is not listed.
std::vector<std::string> fields_without_number(const std::string& text);

}  // namespace brivel::parameters
