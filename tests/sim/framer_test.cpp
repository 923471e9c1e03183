// Framing the host's byte stream: lengths by letter, optional tails, the "F" sequence,
// resynchronising after junk and after silence.

#include <gtest/gtest.h>

#include "framer.h"
#include "sim_test_util.h"

namespace brivel::sim {
namespace {

using test::bytes_of;

std::vector<Bytes> commands(const std::vector<Frame>& frames) {
  std::vector<Bytes> out;
  for (const Frame& f : frames) out.push_back(f.bytes);
  return out;
}

TEST(Framer, SplitsBackToBackCommandsByTheirLetters) {
  Framer framer;
  const Bytes stream = {'y', 'N', 0x30, 0x39, 'W', 0x00, 0x00, 0x27, 0x10, 'G', 0x04, 'f', 0x0D,
                        'S', 0x01, 0x0D, 'T', 0x06, 'M', 0x00, 0x01, 0x38, 0x80, 'k', 'w'};
  const auto frames = framer.feed(stream, 0.0);
  const std::vector<Bytes> expected = {{'y'}, {'N', 0x30, 0x39}, {'W', 0, 0, 0x27, 0x10}, {'G', 4},
                                       {'f', 0x0D}, {'S', 1, 0x0D}, {'T', 6}, {'M', 0, 1, 0x38, 0x80},
                                       {'k'}, {'w'}};
  EXPECT_EQ(commands(frames), expected);
  EXPECT_EQ(framer.ignored(), 0u);
}

TEST(Framer, ArgumentsMayLookLikeLettersAndArriveByteByByte) {
  Framer framer;
  std::vector<Frame> frames;
  for (std::uint8_t b : Bytes{'W', 'y', 'w', 'O', 'K'}) {
    auto part = framer.feed({b}, 0.001);
    frames.insert(frames.end(), part.begin(), part.end());
  }
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].bytes, (Bytes{'W', 'y', 'w', 'O', 'K'}));
}

TEST(Framer, TakesTheZeroAfterVAndKAsTheirTail) {
  Framer framer;
  auto frames = framer.feed({'V', 0x64, 0x00, 'V', 0x25, 'K', 0x02, 0x00, 'K', 0x01, 'v'}, 0.0);
  ASSERT_EQ(frames.size(), 7u);
  EXPECT_EQ(frames[0].bytes, (Bytes{'V', 0x64}));
  EXPECT_EQ(frames[1].kind, Frame::Kind::Tail);
  EXPECT_EQ(frames[2].bytes, (Bytes{'V', 0x25}));
  EXPECT_EQ(frames[3].bytes, (Bytes{'K', 0x02}));
  EXPECT_EQ(frames[4].kind, Frame::Kind::Tail);
  EXPECT_EQ(frames[5].bytes, (Bytes{'K', 0x01}));
  EXPECT_EQ(frames[6].bytes, (Bytes{'v'}));
  // A zero anywhere else is junk.
  EXPECT_TRUE(framer.feed({0x00}, 0.0).empty());
  EXPECT_EQ(framer.ignored(), 1u);
}

TEST(Framer, ReadsTheFilterSequenceAsDataWhateverItsBytes) {
  Framer framer;
  // Count 2, value A, value B 'y''w', filters 'W''n' and 'f'CR-like bytes, then a question.
  const Bytes stream = {'F', 2, 0x0D, 0x80, 0x05, 0x0D, 'y', 'w', 0x0D, 'W', 'n', 0x0D, 'f', 0x0D, 0x0D, 'z'};
  const auto frames = framer.feed(stream, 0.0);
  ASSERT_EQ(frames.size(), 6u);
  EXPECT_EQ(frames[0].bytes, (Bytes{'F', 2, 0x0D}));
  for (int i = 1; i <= 4; ++i) {
    EXPECT_EQ(frames[i].kind, Frame::Kind::FilterData);
    EXPECT_EQ(frames[i].index, i);
  }
  EXPECT_EQ(frames[4].bytes, (Bytes{'f', 0x0D, 0x0D}));
  EXPECT_EQ(frames[5].bytes, Bytes{'z'});
}

TEST(Framer, ResynchronisesOnJunkMisframedCommandsAndSilence) {
  Framer framer;
  // Junk before a letter; "S" without its CR gives up but looks at the odd byte again.
  auto frames = framer.feed({0xFF, 0x13, 'y', 'S', 0x01, 'n'}, 0.0);
  EXPECT_EQ(commands(frames), (std::vector<Bytes>{{'y'}, {'n'}}));
  EXPECT_EQ(framer.ignored(), 4u);

  // A command whose bytes stop coming is dropped after the partial timeout.
  EXPECT_TRUE(framer.feed({'W', 0x00}, 1.0).empty());
  frames = framer.feed({'g'}, 1.0 + framer.partial_timeout + 0.01);
  EXPECT_EQ(commands(frames), (std::vector<Bytes>{{'g'}}));

  // An "F" sequence given up by its sender ends after the filter timeout.
  framer.feed({'F', 3, 0x0D, 0, 0, 0x0D}, 2.0);
  frames = framer.feed({'y'}, 2.0 + framer.filter_timeout + 0.01);
  EXPECT_EQ(commands(frames), (std::vector<Bytes>{{'y'}}));

  // A data packet without its CR ends the sequence at once.
  framer.feed({'F', 1, 0x0D, 0, 0, 0x07}, 10.0);
  frames = framer.feed({'t'}, 10.0);
  EXPECT_EQ(commands(frames), (std::vector<Bytes>{{'t'}}));

  // Reopening the port drops what was half framed.
  framer.feed({'Z', 0x01}, 20.0);
  framer.reset();
  frames = framer.feed({'p'}, 20.0);
  EXPECT_EQ(commands(frames), (std::vector<Bytes>{{'p'}}));
}

}  // namespace
}  // namespace brivel::sim
