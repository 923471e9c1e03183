// Framing the host's byte stream: lengths by letter, optional tails, the "F" sequence,
// resynchronising after junk and after silence.

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

TEST(Framer, SplitsCommandsByTheirLettersWholeOrByteByByte) {
  // Arguments may look like letters ("W" 'y' 'w' 'O' 'K').
  const Bytes stream = {'y', 'N', 0x30, 0x39, 'W', 'y', 'w', 'O', 'K', 'G', 0x04, 'f', 0x0D,
                        'S', 0x01, 0x0D, 'T', 0x06, 'M', 0x00, 0x01, 0x38, 0x80, 'k', 'w'};
  const std::vector<Bytes> expected = {{'y'}, {'N', 0x30, 0x39}, {'W', 'y', 'w', 'O', 'K'}, {'G', 4},
                                       {'f', 0x0D}, {'S', 1, 0x0D}, {'T', 6}, {'M', 0, 1, 0x38, 0x80},
                                       {'k'}, {'w'}};
  for (bool bytewise : {false, true}) {
    Framer framer;
    std::vector<Frame> frames = bytewise ? std::vector<Frame>{} : framer.feed(stream, 0.0);
    for (std::size_t i = 0; bytewise && i < stream.size(); ++i) {
      const auto part = framer.feed({stream[i]}, 0.0);
      frames.insert(frames.end(), part.begin(), part.end());
    }
    EXPECT_EQ(commands(frames), expected) << bytewise;
    EXPECT_EQ(framer.ignored(), 0u);
  }
}

TEST(Framer, TakesTheZeroAfterVAndKAsTheirTail) {
  Framer framer;
  const auto frames = framer.feed({'V', 0x64, 0x00, 'V', 0x25, 'K', 0x02, 0x00, 'K', 0x01, 'v'}, 0.0);
  EXPECT_EQ(commands(frames), (std::vector<Bytes>{{'V', 0x64}, {0}, {'V', 0x25}, {'K', 2}, {0}, {'K', 1}, {'v'}}));
  ASSERT_EQ(frames.size(), 7u);
  EXPECT_EQ(frames[1].kind, Frame::Kind::Tail);
  EXPECT_EQ(frames[4].kind, Frame::Kind::Tail);
  // A zero anywhere else is junk.
  EXPECT_TRUE(framer.feed({0x00}, 0.0).empty());
  EXPECT_EQ(framer.ignored(), 1u);
}

TEST(Framer, ReadsTheFilterSequenceAsDataWhateverItsBytes) {
  Framer framer;
  // Count 2, value A, value B 'y' 'w', filters 'W' 'n' and 'f' CR CR, then a question.
  const Bytes stream = {'F', 2, 0x0D, 0x80, 0x05, 0x0D, 'y', 'w', 0x0D, 'W', 'n', 0x0D, 'f', 0x0D, 0x0D, 'z'};
  const auto frames = framer.feed(stream, 0.0);
  EXPECT_EQ(commands(frames), (std::vector<Bytes>{{'F', 2, 0x0D}, {0x80, 0x05, 0x0D}, {'y', 'w', 0x0D},
                                                  {'W', 'n', 0x0D}, {'f', 0x0D, 0x0D}, {'z'}}));
  ASSERT_EQ(frames.size(), 6u);
  for (int i = 1; i <= 4; ++i) {
    EXPECT_EQ(frames[i].kind, Frame::Kind::FilterData);
    EXPECT_EQ(frames[i].index, i);
  }
}

TEST(Framer, ResynchronisesOnJunkMisframedCommandsAndSilence) {
  Framer framer;
  // Junk before a letter; "S" without its CR gives up but looks at the odd byte again.
  EXPECT_EQ(commands(framer.feed({0xFF, 0x13, 'y', 'S', 0x01, 'n'}, 0.0)), (std::vector<Bytes>{{'y'}, {'n'}}));
  EXPECT_EQ(framer.ignored(), 4u);

  // After each of these the next letter begins a command: a command whose bytes stop
  // coming, an "F" sequence its sender gave up, a data packet without its CR, and a
  // half command or "F" sequence when the port is reopened (pause < 0).
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
