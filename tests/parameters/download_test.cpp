// LoadParameter against the simulated controller: the wire sequence, the grating-code
// rules, the reset and reconnect, and the failure paths.

#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include "parameters/scratch_dir.h"
#include "testkit/bench.h"

namespace brivel {
namespace {

using testkit::Bench;

constexpr const char* kLine1 = "00258\t430\t500\t1000\t09\t435.85\t6\t\r\n";
constexpr const char* kLine2 = "1\t-5\t700\t3\t349.6\t649.6\t800.0\t\r\n";

sim::Memory with_grating(int code) {
  sim::Memory m = sim::factory_memory();
  m.grating = static_cast<std::uint8_t>(code);
  return m;
}

struct DownloadTest : ::testing::Test {
  ScratchDir scratch;
  std::string file = scratch.path("parameters.txt");

  // Connects, writes `content` to the file, clears the record and downloads it.
  void load(Bench& b, const std::string& content) {
    put(file, content);
    if (!b.control.BlnMonConnectFlag()) b.control.OpenCom();
    ASSERT_TRUE(b.control.BlnMonConnectFlag());
    b.clear();
    b.control.LoadParameter(file);
  }
  // The writes before the first question of the reconnect ("y").
  static std::vector<std::string> download_writes(const Bench& b) {
    std::vector<std::string> all = b.write_hex();
    all.erase(std::find(all.begin(), all.end(), "79"), all.end());
    return all;
  }
  static bool sent_grating(const Bench& b, const std::string& hex) {
    for (const std::string& w : download_writes(b))
      if (w.rfind("47 ", 0) == 0) return w == hex;
    return hex.empty();
  }
};

TEST_F(DownloadTest, SendsEveryValueThenResetsAndReconnects) {
  Bench b(with_grating(4));
  load(b, std::string(kLine1) + kLine2);
  EXPECT_EQ(download_writes(b),
            (std::vector<std::string>{"4E 01 02", "47 04", "50 01 F4", "5A 03 E8", "59 00 09",
                                      "4D 00 00 22 0D", "54 06", "46 03 0D",
                                      "80 05 0D",  // value A -5 as 32773
                                      "02 BC 0D", "01 B5 0D", "03 2C 0D", "03 E8 0D", "4B 08"}));
  EXPECT_NE(b.write_hex().size(), download_writes(b).size()) << "no reconnect after the reset";
  EXPECT_TRUE(b.control.BlnMonConnectFlag());
  EXPECT_EQ(b.control.BlnBusy(), kFalse);
  EXPECT_FALSE(b.control.surface().at("FrmSplash").visible());
  EXPECT_TRUE(b.dialogs.shown().empty());
  EXPECT_EQ(b.control.surface().at("TxtSpecNO").text(), "00258");   // shown after reconnecting
}

// What a download carries: everything but the wheel's on/off state and the speed.
auto carried(const sim::Memory& m) {
  return std::make_tuple(m.instrument_no, m.grating, m.blaze, m.zero_offset, m.year, m.power_on,
                         m.type, m.filter_count, m.filter_a, m.filter_b, m.filter_start);
}

TEST_F(DownloadTest, SaveInOneInstrumentLoadIntoAnotherCopiesItsMemory) {
  sim::Memory first = with_grating(4);
  first.instrument_no = 258, first.blaze = 500, first.zero_offset = 1000, first.year = 9;
  first.power_on = 8717, first.type = 11, first.filter_count = 2, first.filter_a = 0x8005;
  first.filter_b = 700, first.filter_start = {437, 1000, 0, 0, 0, 0};
  Bench a(first);
  a.control.OpenCom();
  a.control.SaveParameter(file);

  sim::Memory second = with_grating(4);   // same grating: positions use the step in force
  second.instrument_no = 7, second.blaze = 300, second.zero_offset = 50, second.year = 20;
  second.power_on = 100, second.type = 2, second.filter_count = 5, second.filter_a = 3;
  second.filter_b = 5, second.filter_start = {1, 2, 3, 4, 5, 6}, second.filter_state = 0;
  Bench b(second);
  b.control.OpenCom();
  b.control.LoadParameter(file);

  EXPECT_TRUE(carried(b.sim.memory()) == carried(first));
  EXPECT_EQ(b.sim.memory().filter_state, 0);   // the on/off state is not downloaded
}

TEST_F(DownloadTest, GratingCodeIsSentOnlyWhenItIsKnownAndFitsTheDrive) {
  const struct {
    int instrument;
    const char* field;
    const char* expected;   // the "G" write, or "" for none
  } cases[] = {
      {4, "130", "47 01"},  {4, "410", "47 14"}, {4, "125", ""},  {4, "510", ""},
      {4, "030", ""},       {17, "130", ""},     {17, "230", "47 12"}, {20, "430", ""},
  };
  for (const auto& c : cases) {
    Bench b(with_grating(c.instrument));
    load(b, std::string("00258\t") + c.field + "\t500\t1000\t09\t100\t6\t\r\n2\t\r\n");
    EXPECT_TRUE(sent_grating(b, c.expected)) << c.field << " on grating code " << c.instrument;
    EXPECT_EQ(download_writes(b).back(), "4B 08") << c.field;
  }
}

TEST_F(DownloadTest, PositionsUseTheStepSizeInForceBeforeTheDownload) {
  Bench b(with_grating(1));   // 0.00625 nm per step; the file asks for grating 4
  load(b, std::string(kLine1) + kLine2);
  const auto writes = download_writes(b);
  EXPECT_EQ(writes[1], "47 04");
  EXPECT_EQ(writes[5], "4D 00 01 10 68");   // 435.85 / 0.00625 = 69736 steps
  EXPECT_EQ(writes[10], "0D A8 0D");        // 349.6 / 16 / 0.00625 = 3496
}

TEST_F(DownloadTest, WheelNotSetUpSendsNoFilterPacketsButResets) {
  Bench b(with_grating(4));
  load(b, std::string(kLine1) + "2\t\r\n");
  const auto writes = download_writes(b);
  EXPECT_EQ(writes.size(), 8u);
  EXPECT_EQ(writes[6], "54 06");
  EXPECT_EQ(writes[7], "4B 08");
  EXPECT_TRUE(b.control.BlnMonConnectFlag());
}

TEST_F(DownloadTest, KeepsTheWaitWindowUpWhileReconnecting) {
  Bench b(with_grating(4));
  std::vector<std::string> captions;
  std::vector<std::pair<std::size_t, bool>> shown;   // (writes so far, visible)
  b.control.surface().set_observer([&](const Widget& w, Change what) {
    if (w.name() == "FrmSplash.Label1" && what == Change::Text) captions.push_back(w.text());
    if (w.name() == "FrmSplash" && what == Change::Visible)
      shown.emplace_back(b.port->written().size(), w.visible());
  });
  load(b, std::string(kLine1) + "2\t\r\n");
  EXPECT_EQ(captions, (std::vector<std::string>{"Setting, please wait a moment... ",
                                                "Instrument reset, please wait a moment... ",
                                                "Monochromator connection, please wait a moment... "}));
  // Visible when the reconnect's first question ("y", after "K" 8) goes out, hidden at the end.
  const auto writes = b.write_hex();
  const std::size_t reset = std::find(writes.begin(), writes.end(), "4B 08") - writes.begin();
  const std::size_t question = std::find(writes.begin() + reset, writes.end(), "79") - writes.begin();
  ASSERT_LT(question, writes.size());
  bool visible = false;
  for (const auto& [count, now_visible] : shown)
    if (count <= question) visible = now_visible;
  EXPECT_TRUE(visible);
  ASSERT_FALSE(shown.empty());
  EXPECT_FALSE(shown.back().second);
}

TEST_F(DownloadTest, FileEndingAfterLineOneStopsBeforeTheResetAndSaysWhatWasSent) {
  Bench b(with_grating(4));
  load(b, kLine1);
  const auto writes = b.write_hex();
  ASSERT_EQ(writes.size(), 7u);
  EXPECT_EQ(writes.back(), "54 06");
  EXPECT_EQ(b.control.BlnBusy(), kFalse);
  EXPECT_FALSE(b.control.surface().at("FrmSplash").visible());
  ASSERT_EQ(b.dialogs.shown().size(), 1u);
  EXPECT_EQ(b.dialogs.last().text,
            "The parameter download stopped: the file is incomplete or malformed. Already sent to "
            "the monochromator: instrument number 258, grating code 4, blaze wavelength 500 nm, "
            "zero offset 1000 steps, year 9, power-on position 8717 steps, instrument type 6. "
            "Check the instrument's settings before use.");
}

TEST_F(DownloadTest, MissingAcknowledgementEndsTheDownload) {
  Bench b(with_grating(4));
  b.control.OpenCom();
  b.control.bounds().ack = 1.0;
  b.sim.faults().no_ack = true;
  load(b, std::string(kLine1) + kLine2);
  EXPECT_EQ(b.write_hex(), std::vector<std::string>{"4E 01 02"});
  EXPECT_EQ(b.control.BlnBusy(), kFalse);
  EXPECT_FALSE(b.control.surface().at("FrmSplash").visible());
  ASSERT_EQ(b.dialogs.shown().size(), 1u);
  EXPECT_NE(b.dialogs.last().text.find("did not acknowledge a setting in time. Already sent to the "
                                       "monochromator: instrument number 258."),
            std::string::npos)
      << b.dialogs.last().text;
}

TEST_F(DownloadTest, UnusableFileSendsNothingAndSaysNothing) {
  Bench b(with_grating(4));
  b.control.OpenCom();
  for (const std::string& path : {std::string(), scratch.path("absent.txt")}) {
    b.clear();
    b.control.LoadParameter(path);
    EXPECT_TRUE(b.write_hex().empty()) << path;
    EXPECT_TRUE(b.dialogs.shown().empty()) << path;
    EXPECT_EQ(b.control.BlnBusy(), kFalse);
    EXPECT_FALSE(b.control.surface().at("FrmSplash").visible());
  }
  // A value too large for its command fails before that command is sent.
  load(b, "70000\t430\t500\t1000\t09\t435.85\t6\t\r\n2\t\r\n");
  EXPECT_TRUE(b.write_hex().empty());
  EXPECT_TRUE(b.dialogs.shown().empty());

  // Not connected: the port is closed, so the first transmission fails; silent too.
  Bench idle(with_grating(4));
  idle.control.LoadParameter(file);
  EXPECT_TRUE(idle.write_hex().empty());
  EXPECT_TRUE(idle.dialogs.shown().empty());
  EXPECT_EQ(idle.control.BlnBusy(), kFalse);
}

}  // namespace
}  // namespace brivel
