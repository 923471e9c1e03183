#include "testkit/hex.h"

#include <cctype>

#include "platform/failure.h"

namespace brivel::testkit {

std::string hex(const Bytes& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (std::uint8_t b : bytes) {
    if (!text.empty()) text += ' ';
    text += kDigits[b >> 4];
    text += kDigits[b & 0x0F];
  }
  return text;
}

Bytes bytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes unhex(const std::string& hex) {
  const auto digit = [&](char c) {
    if (!std::isxdigit(static_cast<unsigned char>(c)))
      throw RuntimeFailure(FailureReason::InvalidArgument, "not hex: \"" + hex + "\"");
    return std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                                                       : std::toupper(static_cast<unsigned char>(c)) - 'A' + 10;
  };
  Bytes out;
  for (std::size_t i = 0; i < hex.size();) {
    if (std::isspace(static_cast<unsigned char>(hex[i]))) {
      ++i;
      continue;
    }
    if (i + 1 >= hex.size()) digit(' ');  // an odd digit at the end
    out.push_back(static_cast<std::uint8_t>(digit(hex[i]) * 16 + digit(hex[i + 1])));
    i += 2;
  }
  return out;
}

}  // namespace brivel::testkit
