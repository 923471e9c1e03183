#pragma once
// The text-file routines of the parameter file.

#include <cstddef>
#include <cstdint>
#include <string>


namespace brivel {

namespace ModuleFunction {

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
