// The library-wide values of ModuleFunction. They live once per thread: every control
// created on the host's user-interface thread shares them, a control on another
// thread has its own.

#include "control/module_function.h"

namespace brivel::ModuleFunction {

std::int16_t& IntLanguage() {
  thread_local std::int16_t language = 1;  // English until a host or a creation sets it
  return language;
}

std::uint8_t& BytRangeOK() {
  thread_local std::uint8_t passed = 0;  // no check has passed yet
  return passed;
}

}  // namespace brivel::ModuleFunction
