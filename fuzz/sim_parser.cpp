// The simulated controller's side of the line: the framer that cuts the host's byte
// stream into commands, and the model that executes them, fed arbitrary bytes in
// arbitrary pieces at arbitrary times.
//
// Input:
//   byte 0   faults: bit 0 stall, 1 no-ack, 2 vanish mid-move, 3 garble 10 %,
//            4 drop 10 %, 5 wrong letter
//   then pieces, each [time][length][bytes]:
//     time     how long after the previous piece it arrives: n x 0.5 ms below 200,
//              (n - 199) x 0.5 s from 200 on
//     length   0 to 63 bytes (modulo 64)
//
// The framer must account for every byte (framed, skipped, or still waiting as part
// of a command), frame only commands of their proper length, and the model must agree
// with it, answer in proportion, and never ask to act at a time already served.

#include <cmath>
#include <string>

#include "framer.h"
#include "fuzz_input.h"
#include "sim_controller.h"

namespace {

using brivel::sim::Bytes;
using brivel::sim::Frame;

constexpr std::size_t kLongestPartial = 4;   // a five-byte command short of its last byte
constexpr std::size_t kLongestReply = 28;    // the "f" record

bool must_end_in_cr(std::uint8_t letter) { return letter == 'f' || letter == 'S' || letter == 'F'; }

void check_frame(const Frame& f) {
  using brivel::sim::command_length;
  switch (f.kind) {
    case Frame::Kind::Command:
      FUZZ_CHECK(!f.bytes.empty(), "a command has bytes");
      FUZZ_CHECK(command_length(f.bytes[0]) == static_cast<int>(f.bytes.size()), "a command has its letter's length");
      if (must_end_in_cr(f.bytes[0])) FUZZ_CHECK(f.bytes.back() == 0x0D, "f, S and F end in CR");
      break;
    case Frame::Kind::FilterData:
      FUZZ_CHECK(f.bytes.size() == 3 && f.bytes[2] == 0x0D, "a filter packet is hi, lo, CR");
      FUZZ_CHECK(f.index >= 1, "filter packets count from 1");
      break;
    case Frame::Kind::Tail:
      FUZZ_CHECK(f.bytes == Bytes{0x00}, "a tail is one 0x00");
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace brivel;
  fuzz::Input in(data, size);
  const std::uint8_t faults = in.byte();

  sim::Controller model;
  sim::Faults& f = model.faults();
  f.stall = faults & 0x01;
  f.no_ack = faults & 0x02;
  f.vanish_mid_move = faults & 0x04;
  if (faults & 0x08) f.garble_rate = 0.1;
  if (faults & 0x10) f.drop_rate = 0.1;
  f.wrong_letter = faults & 0x20;
  sim::Framer framer;

  double now = 0.0;
  std::size_t fed = 0, framed = 0, executed = 0, answered = 0, motions = 0;
  while (!in.empty()) {
    const std::uint8_t t = in.byte();
    now += t < 200 ? t * 0.0005 : (t - 199) * 0.5;
    const Bytes piece = in.bytes(in.byte() % 64);

    fed += piece.size();
    for (const Frame& frame : framer.feed(piece, now)) {
      check_frame(frame);
      framed += frame.bytes.size();
      if (frame.kind != Frame::Kind::Tail) ++executed;
      if (frame.kind == Frame::Kind::Command && (frame.bytes[0] == 'K' || frame.bytes[0] == 'W' ||
                                                 frame.bytes[0] == 'U' || frame.bytes[0] == 'D'))
        ++motions;
    }
    FUZZ_CHECK(framed + framer.ignored() <= fed, "no byte is framed twice");
    FUZZ_CHECK(fed - framed - framer.ignored() <= kLongestPartial, "every byte is accounted for");

    model.receive(piece, now);
    answered += model.take_output(now).size();
    FUZZ_CHECK(model.next_due() > now, "the model never asks to act at a time already served");
    FUZZ_CHECK(model.position(now) <= 2'000'000u, "the motor stays within its travel");
    if (!model.vanished())
      FUZZ_CHECK(model.log().size() == executed, "the model executes what the framer frames");
  }
  // Let the model finish what it started (a reposition, a jog to its limit).
  for (int i = 0; i < 16 && std::isfinite(model.next_due()); ++i) {
    now = model.next_due();
    answered += model.take_output(now).size();
  }
  // Each command answers with at most one record; motions may add an end packet.
  FUZZ_CHECK(answered <= kLongestReply * executed + 5 * 2 * motions, "replies stay in proportion");
  const sim::Memory& m = model.memory();
  FUZZ_CHECK(m.speed >= 1 && m.speed <= 250, "the speed stays 1 to 250");
  return 0;
}
