#pragma once
// Bytes as tests write them.

#include <string>

#include "platform/serial_port.h"

namespace brivel::testkit {

// "57 00 00 27 10" for {0x57, 0, 0, 0x27, 0x10}.
std::string hex(const Bytes& bytes);
// Bytes from text: bytes("w") is {0x77}; unhex("77 00 01") is {0x77, 0x00, 0x01}.
// unhex takes pairs of hex digits, blanks between pairs optional; anything else is
// a RuntimeFailure(InvalidArgument).
Bytes bytes(const std::string& text);
Bytes unhex(const std::string& hex);

}  // namespace brivel::testkit
