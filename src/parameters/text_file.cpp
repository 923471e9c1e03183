// The module's text-file routines: the whole file in, a text out. One character per
// byte, no translation of line ends, no byte-order mark: the parameter file is plain
// single-byte text, and what a reader gets back is exactly what the writer put down.

#include <fstream>
#include <iterator>

#include "control/module_function.h"

namespace brivel::ModuleFunction {

std::string ReadTextFile(const std::string& path) {
  if (path.empty()) return {};
  std::ifstream in(path, std::ios::in | std::ios::binary);
  if (!in) return {};
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // A read that stopped on an error (not at the end of the file) gives nothing, so a
  // reader never works on half a file.
  if (in.bad()) return {};
  return content;
}

bool WriteTextFile(const std::string& text, const std::string& path, VBBool append) {
  if (path.empty()) return false;
  const auto mode = std::ios::out | std::ios::binary | (append ? std::ios::app : std::ios::trunc);
  std::ofstream out(path, mode);
  if (!out) return false;
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  out.close();   // flushes: a full disk shows here
  return !out.fail();
}

}  // namespace brivel::ModuleFunction
