#pragma once
// Library-wide values and routines, shared by every control on one thread:
// the language and the range check and its result flag. (Files: platform/files.h.)

#include <cstdint>
#include <string>

#include "platform/dialogs.h"

namespace brivel {

using VBBool = std::int16_t;  // 16-bit boolean: True is -1, False is 0
constexpr VBBool kTrue = -1;
constexpr VBBool kFalse = 0;
inline VBBool vb(bool value) { return value ? kTrue : kFalse; }

namespace ModuleFunction {

// 0 Chinese, 1 English (the creation value). One value per thread.
std::int16_t& IntLanguage();
// Result of the last CheckRange: 1 passed, 0 refused. One value per thread.
std::uint8_t& BytRangeOK();

// Range check of an operator's entry: converts `value` to the type of `type_code`
// (1 byte, 2 16-bit, 3 32-bit integer, 4 single, 5 double), tests it against the
// bounds (both included) and, for the integer types, that the text holds a whole
// number. Leaves the outcome in BytRangeOK(); text that cannot be converted shows
// "Data Error!" through `dialogs`.
void CheckRange(const std::string& minimum, const std::string& maximum, const std::string& value,
                std::uint8_t type_code, Dialogs& dialogs);

}  // namespace ModuleFunction
}  // namespace brivel
