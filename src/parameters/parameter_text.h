#pragma once
// Whether a text is a parameter file that a download can write in full, decided from
// the text alone, before anything is sent to the instrument.
//
// A parameter file has two lines, each ending in CR LF, with tab-separated fields
// (every field followed by a tab, as the control writes them):
//
//   line 1  instrument number, grating, blaze wavelength, zero offset, year,
//           power-on wavelength, type code                         (7 fields)
//   line 2  "2" alone (no filter wheel), or state (0 or 1), value A, value B,
//           filter count N (0 to 6), then N start wavelengths      (4 + N fields)
//
// Every field is a number ("00777", "435.83", "-5"; blanks around it are allowed) that
// fits the command it goes out with. Empty lines may follow line 2, and a byte-order
// mark may lead. Anything else (a field count that differs, text where a
// number stands, an empty field, bytes that are not text, lines ending in LF alone, a
// third line) is a problem, and the first one is named with its line and field.
//
// Plain C++17, no state: the brivelctl `load` step and the Python module call it.

#include <optional>
#include <string>

namespace brivel {

struct ParameterTextProblem {
  int line = 0;          // the line (1, 2; 3 or later for what follows line 2); 0: the file as a whole
  int field = 0;         // counted from 1; 0: the line as a whole
  std::string text_en;   // "line 1 field 3 (\"abc\") is not a number: the blaze wavelength stands there"
  std::string text_zh;
};

// The first problem of `text` (the file's bytes), or nothing when it is a parameter
// file that can be downloaded as it is.
std::optional<ParameterTextProblem> find_parameter_problem(const std::string& text);

// The same, as the English text alone.
std::optional<std::string> check_parameter_text(const std::string& text);

}  // namespace brivel
