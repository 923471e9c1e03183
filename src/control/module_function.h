#pragma once
// Library-wide values and routines, shared by every control on one thread:
// the language, the range check and its result flag, and the text-file routines.

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/dialogs.h"

namespace brivel {

using VBBool = std::int16_t;  // 16-bit boolean: True is -1, False is 0
constexpr VBBool kTrue = -1;
constexpr VBBool kFalse = 0;
inline VBBool vb(bool value) { return value ? kTrue : kFalse; }

namespace ModuleFunction {

// thread_language() (control/language.h), under the name control.cpp and support.cpp
// still use.
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

// The largest file the text-file routines read, in bytes. A parameter file is under
// 1 KiB; a larger file cannot be one, and reading it whole would only cost memory.
constexpr std::size_t kTextFileLimit = 64 * 1024;

// Why a file could not be read.
enum class FileTrouble {
  None,
  Unreadable,  // no such file, no permission, an empty path, a read error
  NotRegular,  // a folder, a FIFO, a terminal, a device: never opened, never waited on
  TooLarge,    // more than kTextFileLimit bytes
};
struct TextFile {
  std::string text;                         // empty unless trouble is None
  FileTrouble trouble = FileTrouble::None;
};
// The whole content of a regular file of at most kTextFileLimit bytes, one character
// per byte, or why there is none. Never blocks: see text_file.cpp.
TextFile read_text_file(const std::string& path);

// The whole content of a file, one character per byte; empty when it cannot be read
// (read_text_file without the reason).
std::string ReadTextFile(const std::string& path);
// Writes text to a regular file, replacing it (append False) or at its end (append
// True), and waits until it is on the disk. Reports nothing; returns whether the text
// reached the file. A path that names anything but a regular file is not written.
bool WriteTextFile(const std::string& text, const std::string& path, bool append);
// Writes text to a new file that must not exist yet (not even as a symbolic link), and
// waits until it is on the disk: the replacement that SaveParameter renames into place.
// When the write fails the new file is removed again.
bool WriteNewTextFile(const std::string& text, const std::string& path);

}  // namespace ModuleFunction
}  // namespace brivel
