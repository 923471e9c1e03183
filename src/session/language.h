#pragma once
// The language of the operator's texts and captions: 0 Chinese, 1 English (the value
// at creation). One value per thread: every control made on the host's user-interface
// thread shares it, a control on a thread of its own has its own.

#include <cstdint>

namespace brivel {

std::int16_t& thread_language();
inline bool chinese_texts() { return thread_language() == 0; }

}  // namespace brivel
