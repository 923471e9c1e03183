// The range check's result flag, once per thread. The language lives in language.h;
// IntLanguage() is its name for the code that still calls it so.

#include "control/module_function.h"

#include "control/language.h"

namespace brivel::ModuleFunction {

std::int16_t& IntLanguage() { return thread_language(); }

std::uint8_t& BytRangeOK() {
  thread_local std::uint8_t passed = 0;  // no check has passed yet
  return passed;
}

}  // namespace brivel::ModuleFunction
