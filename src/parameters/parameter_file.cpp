// The parameter file's format: see parameter_file.h.
//
// The download reads a file as it goes (each command when its field is due) and stops
// at the first field it cannot use, with what went before already in the instrument.
// The check reads the whole text first, the way the download splits it (at CR, then
// at tabs; the LF after a CR leads the next line), and asks more of each field than
// the download does: a number and nothing else, in the range its command carries.
// Ranges that depend on the instrument (a position in motor steps, which needs the
// wavelength per step in force) are left to the download.

#include "parameters/parameter_file.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstddef>
#include <string_view>
#include <vector>

#include "text/convert.h"

namespace brivel::parameters {

namespace {

using Fields = std::vector<std::string>;
using Problem = std::optional<ParameterFileProblem>;

constexpr int kLine1Fields = 7;
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr const char* kLineEnd = "\r\n";
constexpr char kFieldEnd = '\t';

ParameterFileProblem problem(int line, int field, std::string en, std::string zh) {
  return {line, field, std::move(en), std::move(zh)};
}

std::string place_en(int line, int field) {
  std::string place = "line " + std::to_string(line);
  if (field > 0) place += " field " + std::to_string(field);
  return place;
}
std::string place_zh(int line, int field) {
  std::string place = "第 " + std::to_string(line) + " 行";
  if (field > 0) place += "第 " + std::to_string(field) + " 个字段";
  return place;
}

// A field as it is shown in a problem: in quotes, cut after 40 bytes.
std::string shown(const std::string& field) {
  constexpr std::size_t kShown = 40;
  return "\"" + (field.size() > kShown ? field.substr(0, kShown) + "..." : field) + "\"";
}


// Line and field (from 1) of the byte at `at`, counted as the download splits.
void locate(std::string_view text, std::size_t at, int& line, int& field) {
  line = 1;
  field = 1;
  for (std::size_t i = 0; i < at; ++i) {
    if (text[i] == '\r') {
      ++line;
      field = 1;
    } else if (text[i] == '\t') {
      ++field;
    }
  }
}

Problem not_text(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = text::text_sequence(text, i);
    if (length == 0) {
      int line = 0, field = 0;
      locate(text, i, line, field);
      static const char* const kHex = "0123456789ABCDEF";
      const auto c = static_cast<unsigned char>(text[i]);
      const std::string byte = std::string("0x") + kHex[c >> 4] + kHex[c & 15];
      return problem(line, field,
                     place_en(line, field) + ": the byte " + byte + " is not text: this is no parameter file",
                     place_zh(line, field) + "：字节 " + byte + " 不是文本，这不是参数文件");
    }
    i += length;
  }
  return std::nullopt;
}

// Splits as the download does: no text gives no parts; otherwise n separators give
// n + 1 parts (a trailing separator leaves an empty last part).
Fields split(const std::string& text, char separator) {
  Fields parts;
  if (text.empty()) return parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t at = text.find(separator, start);
    parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos) return parts;
    start = at + 1;
  }
}

// The fields of a line: the empty part after the last tab (every field is followed by
// one) is no field. A line of nothing has no fields.
Fields fields_of(const std::string& line) {
  if (line.empty()) return {};
  Fields fields = split(line, '\t');
  if (fields.size() > 1 && fields.back().empty()) fields.pop_back();
  return fields;
}

bool blank(char c) { return c == ' ' || c == '\t'; }

// The value of a field that holds one number and nothing else (blanks around it
// allowed): an optional sign, digits with an optional "." and an optional exponent.
std::optional<double> strict_number(const std::string& field) {
  std::size_t i = 0;
  const std::size_t n = field.size();
  while (i < n && blank(field[i])) ++i;
  const std::size_t start = i;
  if (i < n && (field[i] == '+' || field[i] == '-')) ++i;
  std::size_t digits = 0;
  while (i < n && field[i] >= '0' && field[i] <= '9') ++i, ++digits;
  if (i < n && field[i] == '.') {
    ++i;
    while (i < n && field[i] >= '0' && field[i] <= '9') ++i, ++digits;
  }
  if (digits == 0) return std::nullopt;
  if (i < n && (field[i] == 'e' || field[i] == 'E')) {
    std::size_t j = i + 1;
    if (j < n && (field[j] == '+' || field[j] == '-')) ++j;
    std::size_t exponent = 0;
    while (j < n && field[j] >= '0' && field[j] <= '9') ++j, ++exponent;
    if (exponent == 0) return std::nullopt;
    i = j;
  }
  const std::size_t end = i;
  while (i < n && blank(field[i])) ++i;
  if (i != n) return std::nullopt;
  const double value = text::leading_number(std::string_view(field).substr(start, end - start));
  if (!std::isfinite(value)) return std::nullopt;
  return value;
}

// What a field must hold.
struct Rule {
  const char* what_en;
  const char* what_zh;
  double lowest, highest;  // of the value rounded to a whole number (a half to even)
  bool whole;              // the value itself must be whole
};

constexpr double kNoLimit = 1e300;
const Rule kLine1[kLine1Fields] = {
    {"the instrument number", "仪器编号", 0, 65535, false},
    {"the grating", "光栅", 0, kNoLimit, false},
    {"the blaze wavelength", "闪耀波长", 0, 65535, false},
    {"the zero offset", "零点偏移", 0, 65535, false},
    {"the year", "出厂年份", 0, 65535, false},
    {"the power-on wavelength", "开机波长", 0, kNoLimit, false},
    {"the instrument type", "仪器类型", 0, 255, false},
};
const Rule kState{"the filter wheel state", "滤光轮状态", 0, 2, true};
const Rule kValueA{"filter wheel value A", "滤光轮参数 A", -32767, 32767, false};
const Rule kValueB{"filter wheel value B", "滤光轮参数 B", 0, 65535, false};
const Rule kCount{"the filter count", "滤光片数", 0, kMostFilters, true};
const Rule kStart{"a filter start wavelength", "滤光片起始波长", 0, kNoLimit, false};

std::string limit(double value) { return value >= kNoLimit ? std::string() : text::plain(value); }

// The value of field `number` of a line under `rule`, or the problem with it.
Problem check_field(const Fields& fields, int line, int number,
                                                const Rule& rule, double& value) {
  const std::string& field = fields[static_cast<std::size_t>(number - 1)];
  const std::string en = place_en(line, number), zh = place_zh(line, number);
  if (field.find_first_not_of(" \t") == std::string::npos)
    return problem(line, number, en + " is empty: " + rule.what_en + " must be a number",
                   zh + "为空：" + rule.what_zh + "必须是数字");
  const std::optional<double> read = strict_number(field);
  if (!read)
    return problem(line, number, en + " (" + shown(field) + ") is not a number: " + rule.what_en + " stands there",
                   zh + "（" + shown(field) + "）不是数字：此处应为" + rule.what_zh);
  const double rounded = text::round_half_even(*read);
  const bool whole = *read == rounded;
  if ((rule.whole && !whole) || rounded < rule.lowest || rounded > rule.highest) {
    const std::string high = limit(rule.highest);
    const std::string range = high.empty() ? "at least " + text::plain(rule.lowest)
                                           : text::plain(rule.lowest) + " to " + high;
    const std::string range_zh = high.empty() ? "不小于 " + text::plain(rule.lowest)
                                              : text::plain(rule.lowest) + " 到 " + high;
    const std::string kind = rule.whole ? "a whole number " : "";
    const std::string kind_zh = rule.whole ? "整数 " : "";
    return problem(line, number, en + " (" + shown(field) + ") is out of range: " + rule.what_en + " is " + kind + range,
                   zh + "（" + shown(field) + "）超出范围：" + rule.what_zh + "应为" + kind_zh + range_zh);
  }
  value = *read;
  return std::nullopt;
}

Problem field_count(int line, std::size_t found, std::size_t wanted,
                                                const std::string& why_en, const std::string& why_zh) {
  return problem(line, 0,
                 place_en(line, 0) + " has " + std::to_string(found) + (found == 1 ? " field" : " fields") +
                     ", " + why_en + " has " + std::to_string(wanted),
                 place_zh(line, 0) + "有 " + std::to_string(found) + " 个字段，" + why_zh + "应有 " +
                     std::to_string(wanted) + " 个");
}

Problem check_line1(const std::string& line, ParameterFields& out) {
  const Fields fields = fields_of(line);
  if (fields.size() != kLine1Fields)
    return field_count(1, fields.size(), kLine1Fields, "a parameter file's line 1", "参数文件第 1 行");
  for (int number = 1; number <= kLine1Fields; ++number) {
    double value = 0;
    if (auto trouble = check_field(fields, 1, number, kLine1[number - 1], value)) return trouble;
  }
  out.instrument = fields[field::kInstrument - 1];
  out.grating = fields[field::kGrating - 1];
  out.blaze = fields[field::kBlaze - 1];
  out.zero_offset = fields[field::kZeroOffset - 1];
  out.year = fields[field::kYear - 1];
  out.power_on = fields[field::kPowerOn - 1];
  out.type = fields[field::kType - 1];
  return std::nullopt;
}

Problem check_line2(const std::string& line, ParameterFields& out) {
  const Fields fields = fields_of(line);
  if (fields.empty())
    return problem(2, 0, "line 2 is empty: it holds the filter wheel (at least the field 2)",
                   "第 2 行为空：应为滤光轮参数（至少为字段 2）");
  double state = 0;
  if (auto trouble = check_field(fields, 2, field::kState, kState, state)) return trouble;
  if (state == kNoWheel) {
    if (fields.size() != 1)
      return field_count(2, fields.size(), 1, "a line 2 without filter wheel (state 2)", "无滤光轮（状态 2）的第 2 行");
    out.wheel.reset();
    return std::nullopt;
  }
  if (fields.size() < field::kCount)
    return field_count(2, fields.size(), field::kCount, "a line 2 with a filter wheel, before its start wavelengths,",
                       "有滤光轮的第 2 行（起始波长之前）");
  double a = 0, b = 0, count = 0;
  if (auto trouble = check_field(fields, 2, field::kValueA, kValueA, a)) return trouble;
  if (auto trouble = check_field(fields, 2, field::kValueB, kValueB, b)) return trouble;
  if (auto trouble = check_field(fields, 2, field::kCount, kCount, count)) return trouble;
  const std::size_t wanted = field::kCount + static_cast<std::size_t>(count);
  if (fields.size() != wanted)
    return field_count(2, fields.size(), wanted,
                       "a line 2 with " + text::plain(count) + (count == 1 ? " filter" : " filters"),
                       "有 " + text::plain(count) + " 个滤光片的第 2 行");
  for (int number = field::kFirstStart; number <= static_cast<int>(wanted); ++number) {
    double start = 0;
    if (auto trouble = check_field(fields, 2, number, kStart, start)) return trouble;
  }
  out.wheel = FilterWheelFields{fields[field::kState - 1], fields[field::kValueA - 1], fields[field::kValueB - 1],
                                fields[field::kCount - 1], Fields(fields.begin() + field::kFirstStart - 1, fields.end())};
  return std::nullopt;
}

// Drops a leading byte-order mark.
std::string_view without_mark(std::string_view bytes) {
  if (bytes.substr(0, kByteOrderMark.size()) == kByteOrderMark) bytes.remove_prefix(kByteOrderMark.size());
  return bytes;
}

Problem check_file(const std::string& file, ParameterFields& out) {
  if (file.size() > kLargestParameterFile) return problem(0, 0, kTooLargeEn, kTooLargeZh);
  const std::string_view bytes = without_mark(file);
  if (auto trouble = not_text(bytes)) return trouble;
  const std::string text(bytes);
  if (text.find_first_not_of(" \t\r\n") == std::string::npos)
    return problem(0, 0, "the file is empty: a parameter file has two lines",
                   "文件为空：参数文件应有两行");
  if (text.find('\r') == std::string::npos && text.find('\n') != std::string::npos)
    return problem(1, 0, "line 1 ends in LF alone: the lines of a parameter file end in CR LF",
                   "第 1 行仅以 LF 结尾：参数文件的行应以 CR LF 结尾");

  // Split at CR; every line after the first must begin with the LF of the CR LF.
  Fields lines = split(text, '\r');
  for (std::size_t i = 1; i < lines.size(); ++i) {
    if (lines[i].empty() || lines[i][0] != '\n') {
      if (i + 1 == lines.size() && lines[i].empty()) break;  // a final CR: the download reads it so
      const int number = static_cast<int>(i);
      return problem(number, 0, place_en(number, 0) + " ends in CR alone: the lines of a parameter file end in CR LF",
                     place_zh(number, 0) + "仅以 CR 结尾：参数文件的行应以 CR LF 结尾");
    }
    lines[i].erase(0, 1);
  }
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].find('\n') != std::string::npos) {
      const int number = static_cast<int>(i) + 1;
      return problem(number, 0, place_en(number, 0) + " holds an LF without CR: the lines of a parameter file end in CR LF",
                     place_zh(number, 0) + "含有不带 CR 的 LF：参数文件的行应以 CR LF 结尾");
    }
  }
  // What follows the lines: the empty rest after the final CR LF, and one more empty line.
  while (lines.size() > 2 && lines.back().find_first_not_of(" \t") == std::string::npos) lines.pop_back();
  if (lines.size() > 2)
    return problem(3, 0, "line 3 (" + shown(lines[2]) + ") is one line too many: a parameter file has two lines",
                   "第 3 行（" + shown(lines[2]) + "）多余：参数文件只有两行");

  if (auto trouble = check_line1(lines[0], out)) return trouble;
  if (lines.size() < 2 || lines[1].find_first_not_of(" \t") == std::string::npos)
    return problem(2, 0, "line 2 is missing: it holds the filter wheel (at least the field 2)",
                   "缺少第 2 行：应为滤光轮参数（至少为字段 2）");
  return check_line2(lines[1], out);
}

// True when the text begins, after blanks, with a number; otherwise it reads as 0.
bool has_number(const std::string& text) {
  std::size_t i = text.find_first_not_of(" \t\r\n");
  if (i == std::string::npos) return false;
  if (text[i] == '+' || text[i] == '-') ++i;
  if (i < text.size() && text[i] == '.') ++i;
  return i < text.size() && text[i] >= '0' && text[i] <= '9';
}

}  // namespace

// ---- writing ----------------------------------------------------------------

std::string format_parameter_file(const ParameterFields& f) {
  std::string text;
  for (const std::string* value : {&f.instrument, &f.grating, &f.blaze, &f.zero_offset, &f.year, &f.power_on, &f.type})
    text += *value + kFieldEnd;
  text += kLineEnd;
  if (!f.wheel) {
    text += text::plain(kNoWheel) + kFieldEnd;
  } else {
    for (const std::string* value : {&f.wheel->state, &f.wheel->value_a, &f.wheel->value_b, &f.wheel->count})
      text += *value + kFieldEnd;
    for (const std::string& start : f.wheel->starts) text += start + kFieldEnd;
  }
  return text + kLineEnd;
}

std::string grating_field(const std::string& grating_text) {
  if (grating_text.empty() || !std::isdigit(static_cast<unsigned char>(grating_text[0]))) return {};
  const int digit = grating_text[0] - '0';
  return grating_text.substr(0, 1) + (digit < 5 ? "30" : "10");
}

std::string number_field(double value) { return text::plain(value); }

std::optional<int> written_filter_count(const std::string& count_text) {
  // One start wavelength per filter; the table has six boxes, and a file without any
  // filter could not be written back as a table.
  const double count = text::round_half_even(text::leading_number(count_text));
  if (count < 1 || count > kMostFilters) return std::nullopt;
  return static_cast<int>(count);
}

// ---- the check --------------------------------------------------------------

ParsedParameterFile parse_parameter_file(const std::string& text) {
  ParsedParameterFile parsed;
  ParameterFields fields;
  parsed.problem = check_file(text, fields);
  if (!parsed.problem) parsed.fields = std::move(fields);
  return parsed;
}

std::optional<ParameterFileProblem> find_parameter_problem(const std::string& text) {
  return parse_parameter_file(text).problem;
}

std::optional<std::string> check_parameter_text(const std::string& text) {
  std::optional<ParameterFileProblem> trouble = find_parameter_problem(text);
  if (!trouble) return std::nullopt;
  return std::move(trouble->text_en);
}

// ---- the download's reading ---------------------------------------------------

std::optional<std::string> download_text(const std::string& bytes) {
  const std::string_view text = without_mark(bytes);
  for (std::size_t i = 0, length = 0; i < text.size(); i += length)
    if ((length = text::text_sequence(text, i)) == 0) return std::nullopt;
  return std::string(text);
}

std::vector<Fields> download_lines(const std::string& text) {
  std::vector<Fields> lines;
  for (const std::string& line : split(text, '\r')) lines.push_back(split(line, kFieldEnd));
  return lines;
}

double field_number(const std::string& field) { return text::leading_number(field); }

std::optional<int> grating_code(const std::string& field) {
  const std::string mark = field.size() <= 2 ? field : field.substr(field.size() - 2);
  const double mark_value = text::leading_number(mark);
  const int digit = static_cast<int>(text::leading_number(field.substr(0, 1)));
  if (mark_value == 30) return digit;
  if (mark_value == 10) return digit + 16;
  return std::nullopt;
}

std::vector<std::string> fields_without_number(const std::string& text) {
  std::vector<std::string> found;
  const std::vector<Fields> lines = download_lines(text);
  const auto look = [&](const Fields& fields, std::size_t number, int line) {
    if (number > fields.size() || has_number(fields[number - 1])) return;
    std::string shown = fields[number - 1];
    shown.erase(0, shown.find_first_not_of('\n'));   // the LF that ends the line before
    found.push_back("line " + std::to_string(line) + " field " + std::to_string(number) + " (\"" + shown + "\")");
  };
  if (lines.empty()) return found;
  for (std::size_t number : {field::kInstrument, field::kBlaze, field::kZeroOffset, field::kYear, field::kPowerOn,
                             field::kType})
    look(lines[0], number, 1);
  // A line 2 of nothing but the line feed after line 1 is a missing line, not a field.
  const Fields* line2 = lines.size() < 2 ? nullptr : &lines[1];
  std::string joined;
  if (line2) for (const std::string& part : *line2) joined += part;
  if (!line2 || joined.find_first_not_of(" \r\n") == std::string::npos) return found;
  look(*line2, field::kState, 2);
  if (line2->empty() || field_number((*line2)[0]) == kNoWheel) return found;   // no wheel: nothing more is read
  for (std::size_t number : {field::kValueA, field::kValueB, field::kCount}) look(*line2, number, 2);
  const double count =
      line2->size() >= field::kCount ? text::round_half_even(field_number((*line2)[field::kCount - 1])) : 0;
  for (std::size_t number = field::kFirstStart;
       number <= static_cast<std::size_t>(std::clamp(count, 0.0, double(kMostFilters))) + field::kCount; ++number)
    look(*line2, number, 2);
  return found;
}

}  // namespace brivel::parameters
