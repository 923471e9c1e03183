#include "framer.h"

namespace brivel::sim {

namespace {

constexpr std::uint8_t kCR = 0x0D;

struct Shape {
  char letter;
  int length;       // bytes, letter included
  bool ends_in_cr;  // the last byte must be CR
};

constexpr Shape kShapes[] = {
    {'y', 1, false}, {'n', 1, false}, {'g', 1, false}, {'z', 1, false}, {'p', 1, false},
    {'m', 1, false}, {'v', 1, false}, {'t', 1, false}, {'w', 1, false}, {'k', 1, false},
    {'f', 2, true},
    {'N', 3, false}, {'P', 3, false}, {'Z', 3, false}, {'Y', 3, false},
    {'G', 2, false}, {'T', 2, false},
    {'M', 5, false}, {'W', 5, false}, {'U', 5, false}, {'D', 5, false},
    {'S', 3, true},  {'F', 3, true},
    {'V', 2, false}, {'K', 2, false},
};

const Shape* shape_of(std::uint8_t letter) {
  for (const Shape& shape : kShapes)
    if (static_cast<std::uint8_t>(shape.letter) == letter) return &shape;
  return nullptr;
}

}  // namespace

int command_length(std::uint8_t letter) {
  const Shape* shape = shape_of(letter);
  return shape ? shape->length : 0;
}

std::vector<Frame> Framer::feed(const Bytes& bytes, double now) {
  std::vector<Frame> out;
  for (std::uint8_t byte : bytes) feed_byte(byte, now, out);
  return out;
}

void Framer::reset() {
  ignored_ += partial_.size();
  partial_.clear();
  filter_left_ = 0;
  tail_allowed_ = false;
}

void Framer::expire(double now) {
  if (!partial_.empty() && now - last_byte_ > partial_timeout) {
    ignored_ += partial_.size();
    partial_.clear();
  }
  if (filter_left_ > 0 && partial_.empty() && now - filter_last_ > filter_timeout) filter_left_ = 0;
}

void Framer::feed_byte(std::uint8_t byte, double now, std::vector<Frame>& out) {
  expire(now);
  last_byte_ = now;
  if (filter_left_ > 0) {
    feed_filter_data(byte, now, out);
    return;
  }
  if (partial_.empty()) {
    const bool tail = tail_allowed_ && byte == 0x00;
    tail_allowed_ = false;
    if (tail) {
      out.push_back(Frame{Frame::Kind::Tail, Bytes{byte}, 0});
      return;
    }
    if (!shape_of(byte)) {
      ++ignored_;
      return;
    }
  }
  partial_.push_back(byte);
  if (static_cast<int>(partial_.size()) == shape_of(partial_[0])->length) complete(now, out);
}

void Framer::complete(double now, std::vector<Frame>& out) {
  const Shape& shape = *shape_of(partial_[0]);
  if (shape.ends_in_cr && partial_.back() != kCR) {
    // Misframed: keep the last byte, it may begin the next command.
    const std::uint8_t last = partial_.back();
    ignored_ += partial_.size() - 1;
    partial_.clear();
    feed_byte(last, now, out);
    return;
  }
  out.push_back(Frame{Frame::Kind::Command, partial_, 0});
  if (shape.letter == 'F') {
    filter_left_ = partial_[1] + 2;  // value A, value B, one packet per filter
    filter_index_ = 1;
    filter_last_ = now;
  }
  tail_allowed_ = shape.letter == 'V' || shape.letter == 'K';
  partial_.clear();
}

void Framer::feed_filter_data(std::uint8_t byte, double now, std::vector<Frame>& out) {
  partial_.push_back(byte);
  if (partial_.size() < 3) return;
  if (partial_[2] != kCR) {
    // Out of step with the sender: give the sequence up.
    ignored_ += partial_.size();
    filter_left_ = 0;
  } else {
    out.push_back(Frame{Frame::Kind::FilterData, partial_, filter_index_++});
    --filter_left_;
    filter_last_ = now;
  }
  partial_.clear();
}

}  // namespace brivel::sim
