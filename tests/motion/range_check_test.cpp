// The range check of operator entries: type codes, bounds, whole numbers and the
// "Data Error!" message.

#include <gtest/gtest.h>

#include <string>

#include "control/module_function.h"
#include "testkit/scripted_dialogs.h"

namespace brivel {
namespace {

struct Check {
  const char* min;
  const char* max;
  const char* value;
  std::uint8_t type;
  int passes;        // BytRangeOK afterwards
  bool data_error;   // "Data Error!" shown
};

TEST(CheckRange, TypeCodesBoundsAndMessages) {
  const Check cases[] = {
      // 64-bit float: the target mode
      {"0", "99999", "99999", 5, 1, false},
      {"0", "99999", "0", 5, 1, false},
      {"0", "99999", "99999.01", 5, 0, false},
      {"0", "99999", "-1", 5, 0, false},
      {"0", "99999", "abc", 5, 0, true},
      {"0", "99999", "", 5, 0, true},
      // 8-bit unsigned: the filter count; 300 does not fit the type at all
      {"1", "8", "8", 1, 1, false},
      {"1", "8", "1", 1, 1, false},
      {"1", "8", "9", 1, 0, false},
      {"1", "8", "0", 1, 0, false},
      {"1", "8", "300", 1, 0, true},
      {"1", "8", "2.5", 1, 0, false},   // rounded to 2, then not whole
      {"1", "8", "2.0", 1, 1, false},
      // 16-bit and 32-bit signed
      {"-10", "10", "-5", 2, 1, false},
      {"-10", "10", "40000", 2, 0, true},
      {"0", "999999", "240000", 3, 1, false},
      {"0", "200000", "240000", 3, 0, false},
      {"0", "10", "3.5", 3, 0, false},
      // 32-bit float: the filter start wavelengths
      {"0", "50000", "50000", 4, 1, false},
      {"0", "50000", "50001", 4, 0, false},
      {"0", "50000", "1e39", 4, 0, true},   // beyond single precision
      {"0", "50000", "50000.001", 4, 1, false},   // the same single as 50000
      {"0", "50000", "50000.001", 5, 0, false},
      // unknown codes fail silently whatever the value
      {"0", "10", "5", 6, 0, false},
      {"0", "10", "abc", 0, 0, false},
  };
  testkit::ScriptedDialogs dialogs;
  for (const Check& c : cases) {
    SCOPED_TRACE(std::string("value '") + c.value + "' type " + std::to_string(c.type));
    ModuleFunction::BytRangeOK() = 1;   // the check starts from a refusal
    dialogs.clear();
    ModuleFunction::CheckRange(c.min, c.max, c.value, c.type, dialogs);
    EXPECT_EQ(ModuleFunction::BytRangeOK(), c.passes);
    ASSERT_EQ(dialogs.shown().size(), c.data_error ? 1u : 0u);
    if (c.data_error) {
      EXPECT_EQ(dialogs.last().text, "Data Error!");
      EXPECT_EQ(dialogs.last().title, "");
      EXPECT_EQ(dialogs.last().icon, Icon::None);
      EXPECT_EQ(dialogs.last().buttons, Buttons::Ok);
    }
  }
}

}  // namespace
}  // namespace brivel
