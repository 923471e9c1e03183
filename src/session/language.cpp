#include "session/language.h"

namespace brivel {

std::int16_t& thread_language() {
  thread_local std::int16_t language = 1;  // English until a host or a creation sets it
  return language;
}

}  // namespace brivel
