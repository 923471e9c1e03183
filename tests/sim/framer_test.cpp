// The framer after junk, misframed commands, silence and a reopened port (well-formed: the control suites).

#include <gtest/gtest.h>

#include <algorithm>

#include "framer.h"

namespace brivel::sim {
namespace {

std::vector<Bytes> commands(const std::vector<Frame>& frames) {
  std::vector<Bytes> out;
  for (const Frame& f : frames) out.push_back(f.bytes);
  return out;
}

TEST(Framer, ResynchronisesOnJunkMisframedCommandsAndSilence) {
  Framer framer;
  // Junk before a letter; "S" without its CR gives up but looks at the odd byte again.
  EXPECT_EQ(commands(framer.feed({0xFF, 0x13, 'y', 'S', 0x01, 'n'}, 0.0)), (std::vector<Bytes>{{'y'}, {'n'}}));
  EXPECT_EQ(framer.ignored(), 4u);
  // Then the next letter begins a command: after a stalled command or "F" sequence, a packet without
  // its CR, a half command or "F" sequence at a reopen (pause < 0).
  const struct {
    Bytes before;
    double pause;
  } cases[] = {{{'W', 0x00}, framer.partial_timeout + 0.01},
               {{'F', 3, 0x0D, 0, 0, 0x0D}, framer.filter_timeout + 0.01},
               {{'F', 1, 0x0D, 0, 0, 0x07}, 0.0},
               {{'Z', 0x01}, -1.0},
               {{'F', 1, 0x0D, 0x00}, -1.0}};
  for (const auto& c : cases) {
    Framer f;
    f.feed(c.before, 10.0);
    if (c.pause < 0) f.reset();
    EXPECT_EQ(commands(f.feed({'g'}, 10.0 + std::max(c.pause, 0.0))), std::vector<Bytes>{{'g'}})
        << testing::PrintToString(c.before);
  }
}

}  // namespace
}  // namespace brivel::sim
