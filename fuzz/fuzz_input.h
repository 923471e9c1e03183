#pragma once
// What the fuzz targets share: reading the input front to back (so that seeds can be
// written by hand) and a check that stops the run with a message.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace brivel::fuzz {

// A property every input must keep; a broken one is a finding.
#define FUZZ_CHECK(condition, message)                                            \
  do {                                                                            \
    if (!(condition)) {                                                           \
      std::fprintf(stderr, "fuzz check failed: %s (%s) at %s:%d\n", message,      \
                   #condition, __FILE__, __LINE__);                               \
      std::abort();                                                               \
    }                                                                             \
  } while (false)

// The input, read from the front. Past its end every read gives 0.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool empty() const { return at_ >= size_; }
  std::size_t left() const { return at_ < size_ ? size_ - at_ : 0; }
  std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  std::uint16_t word() {  // high byte first
    const std::uint16_t hi = byte();
    return static_cast<std::uint16_t>(hi << 8 | byte());
  }
  std::vector<std::uint8_t> bytes(std::size_t n) {
    if (n > left()) n = left();
    std::vector<std::uint8_t> out(data_ + at_, data_ + at_ + n);
    at_ += n;
    return out;
  }
  std::vector<std::uint8_t> rest() { return bytes(left()); }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

}  // namespace brivel::fuzz
