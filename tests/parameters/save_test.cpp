// SaveParameter against a connected simulated instrument: the file's exact bytes, the
// type codes, and that a failed save never leaves a file behind or spoils an old one.

#include <gtest/gtest.h>

#include <filesystem>

#include "parameters/scratch_dir.h"
#include "testkit/bench.h"

namespace brivel {
namespace {

using testkit::Bench;

sim::Memory instrument() {
  sim::Memory m = sim::factory_memory();
  m.instrument_no = 258;
  m.grating = 4;               // 0.05 nm per step
  m.blaze = 500;
  m.zero_offset = 1000;
  m.year = 9;
  m.power_on = 8717;           // 435.85 nm
  m.type = 6;                  // "5BRV870A"
  m.filter_state = 1;
  m.filter_count = 3;
  m.filter_a = 0x8005;         // value A -5
  m.filter_b = 700;
  m.filter_start = {437, 812, 1000, 0, 0, 0};  // 349.6, 649.6, 800.0 nm
  return m;
}

struct SaveTest : ::testing::Test {
  ScratchDir scratch;
  std::string file = scratch.path("instrument.txt");

  std::string saved(Bench& b) {
    b.dialogs.clear();
    b.control.SaveParameter(file);
    return slurp(file);
  }
  Widget& field(Bench& b, const std::string& name) { return b.control.surface().at(name); }
};

TEST_F(SaveTest, WritesBothLinesByteForByte) {
  Bench b(instrument());
  b.control.OpenCom();
  ASSERT_TRUE(b.control.BlnMonConnectFlag());

  EXPECT_EQ(saved(b),
            "00258\t430\t500\t1000\t09\t435.85\t6\t\r\n"
            "1\t-5\t700\t3\t349.6\t649.6\t800.0\t\r\n");
  ASSERT_EQ(b.dialogs.shown().size(), 1u);
  EXPECT_EQ(b.dialogs.last().text, "Parameters saved successfully.");
  EXPECT_EQ(b.dialogs.last().title, "Information");
  EXPECT_EQ(b.dialogs.last().icon, Icon::Information);
  EXPECT_EQ(scratch.listing(), "instrument.txt;");   // no temporary file left
  EXPECT_EQ(b.control.BlnBusy(), kFalse);

  // The wheel not set up: line 2 is the single field 2, whatever the boxes hold.
  sim::Memory no_wheel = instrument();
  no_wheel.filter_state = 7;
  Bench c(no_wheel);
  c.control.OpenCom();
  EXPECT_EQ(saved(c), "00258\t430\t500\t1000\t09\t435.85\t6\t\r\n2\t\r\n");
}

TEST_F(SaveTest, GratingFieldIsTheDigitAndItsMark) {
  const std::pair<int, const char*> cases[] = {
      {1, "130"}, {2, "230"}, {3, "330"}, {4, "430"}, {5, "510"}, {17, "130"}, {20, "430"}};
  for (const auto& [code, expected] : cases) {
    sim::Memory m = instrument();
    m.grating = static_cast<std::uint8_t>(code);
    Bench b(m);
    b.control.OpenCom();
    EXPECT_EQ(saved(b).substr(6, 4), std::string(expected) + "\t") << "grating code " << code;
  }
}

TEST_F(SaveTest, TypeCodeFollowsModelAndEnding) {
  Bench b(instrument());
  b.control.OpenCom();
  const std::pair<const char*, const char*> cases[] = {
      {"5BRV870A", "\t6\t\r\n"},  {"5BRV870B", "\t17\t\r\n"}, {"5BRV870", "\t5\t\r\n"},
      {"5BRV8802B", "\t14\t\r\n"}, {"5BRV640B", "\t15\t\r\n"}, {"5BRV999A", "\t0\t\r\n"},
      {"", "\t0\t\r\n"},           {"5BRV", "\t0\t\r\n"}};
  for (const auto& [name, tail] : cases) {
    field(b, "CboComType").set_text(name);
    const std::string content = saved(b);
    const std::string line1 = content.substr(0, content.find("\r\n") + 2);
    EXPECT_EQ(line1.substr(line1.size() - std::string(tail).size()), tail) << name;
  }
}

TEST_F(SaveTest, FailureShowsTheMessageAndKeepsTheOldFile) {
  Bench b(instrument());
  b.control.OpenCom();
  put(file, "old content");

  const auto expect_refused = [&](const std::string& why) {
    b.dialogs.clear();
    b.control.SaveParameter(file);
    ASSERT_EQ(b.dialogs.shown().size(), 1u) << why;
    EXPECT_EQ(b.dialogs.last().text, "Failed to save parameters.") << why;
    EXPECT_EQ(b.dialogs.last().title, "Prompt") << why;
    EXPECT_EQ(slurp(file), "old content") << why;
    EXPECT_EQ(scratch.listing(), "instrument.txt;") << why;
  };

  field(b, "TxtGratingLines").set_text("(1200g/mm)");
  expect_refused("grating text without a digit");
  field(b, "TxtGratingLines").set_text("");
  expect_refused("empty grating text");
  field(b, "TxtGratingLines").set_text("4(150g/mm)");
  field(b, "CboComType").set_text("5BR");
  expect_refused("type name shorter than its prefix");
  field(b, "CboComType").set_text("5BRV870A");
  for (const char* count : {"0", "", "7"}) {
    field(b, "CboFilterCount").set_text(count);
    expect_refused(std::string("filter count '") + count + "'");
  }
  field(b, "CboFilterCount").set_text("3");

  // A write-protected file is left alone.
  std::filesystem::permissions(file, std::filesystem::perms::owner_read);
  expect_refused("read-only file");
  std::filesystem::permissions(file, std::filesystem::perms::owner_all);

  // Then it saves again, replacing (never appending to) the old content.
  b.dialogs.clear();
  b.control.SaveParameter(file);
  EXPECT_EQ(slurp(file).rfind("00258\t430\t", 0), 0u);
  EXPECT_EQ(b.dialogs.last().text, "Parameters saved successfully.");
}

TEST_F(SaveTest, NothingIsWrittenWhereItCannotBe) {
  Bench b(instrument());
  b.control.OpenCom();
  const std::string nowhere = scratch.path("missing/instrument.txt");
  b.control.SaveParameter(nowhere);
  EXPECT_FALSE(std::filesystem::exists(nowhere));
  EXPECT_EQ(b.dialogs.last().text, "Failed to save parameters.");

  std::int16_t chinese = 0;
  b.control.setIntLanguage(chinese);
  b.dialogs.clear();
  b.control.SaveParameter(scratch.dir.string());   // a directory, not a file
  EXPECT_EQ(b.dialogs.last().text, "参数保存错误!");
  EXPECT_EQ(b.dialogs.last().title, "提示");
  EXPECT_EQ(scratch.listing(), "");

  // Not connected: no file and no message at all.
  Bench idle(instrument());
  idle.control.SaveParameter(file);
  EXPECT_FALSE(std::filesystem::exists(file));
  EXPECT_TRUE(idle.dialogs.shown().empty());
}

}  // namespace
}  // namespace brivel
