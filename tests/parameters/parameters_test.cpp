// SaveParameter's file, LoadParameter's wire sequence, reset and reconnect, the power-on wavelength.

#include <gtest/gtest.h>

#include <tuple>

#include "parameters/fixture.h"
#include "platform/failure.h"

namespace brivel {
namespace {

TEST_F(ParameterFileTest, SaveWritesThePanelByteForByte) {
  Bench b(instrument());
  ASSERT_TRUE(connect(b));
  EXPECT_EQ(saved(b), kLine1 + kLine2);
  ASSERT_EQ(said(b), Strings{"Parameters saved successfully."});
  EXPECT_EQ(b.dialogs.last().title, "Information");
  EXPECT_EQ(b.dialogs.last().icon, Icon::Information);
  EXPECT_EQ(entries(), 1u);   // no temporary file left
  EXPECT_EQ(b.control.BlnBusy(), kFalse);
  const auto line1 = [](const char* grating, const char* type) {
    return "00258\t" + std::string(grating) + "\t500\t1000\t09\t435.85\t" + type + "\t\r\n";
  };
  using Case = std::pair<const char*, const char*>;
  const Case gratings[] = {
      {"1(1200g/mm)", "130"}, {"5(1800g/mm)", "510"}, {"9", "910"}, {"4(150g/mm)", "430"}};
  for (const auto& [text, field] : gratings) {
    b.control.surface().at("TxtGratingLines").set_text(text);
    EXPECT_EQ(saved(b), line1(field, "6") + kLine2) << text;
  }
  const Case types[] = {{"5BRV870A", "6"},  {"5BRV870B", "17"}, {"5BRV870", "5"}, {"5BRV8802B", "14"},
                        {"5BRV640B", "15"}, {"5BRV999A", "0"},  {"", "0"},        {"5BRV", "0"}};
  for (const auto& [name, code] : types) {
    b.control.surface().at("CboComType").set_text(name);
    EXPECT_EQ(saved(b), line1("430", code) + kLine2) << name;
  }
  sim::Memory no_wheel = instrument();
  no_wheel.filter_state = 7;   // not set up: line 2 is "2", whatever the boxes hold
  Bench c(no_wheel);
  ASSERT_TRUE(connect(c));
  EXPECT_EQ(saved(c), kLine1 + "2\t\r\n");
}

TEST_F(ParameterFileTest, FailedSaveSaysSoAndKeepsTheOldFile) {
  Bench b(instrument());
  ASSERT_TRUE(connect(b));
  put("old content");
  const auto expect_refused = [&](const std::string& why, const std::string& path,
                                  const char* text = "Failed to save parameters.",
                                  const char* title = "Prompt") {
    b.dialogs.clear();
    b.control.SaveParameter(path);
    ASSERT_EQ(said(b), Strings{text}) << why;
    EXPECT_EQ(b.dialogs.last().title, title) << why;
    EXPECT_EQ(slurp(file), "old content") << why;
    EXPECT_EQ(entries(), 1u) << why;   // nothing written beside it
  };
  const std::pair<const char*, const char*> entries_refused[] = {
      {"TxtGratingLines", "(1200g/mm)"}, {"TxtGratingLines", ""}, {"CboComType", "5BR"},
      {"CboFilterCount", "0"}, {"CboFilterCount", ""}, {"CboFilterCount", "7"}};
  for (const auto& [name, bad] : entries_refused) {
    Widget& box = b.control.surface().at(name);
    const std::string good = box.text();
    box.set_text(bad);
    expect_refused(std::string(name) + " '" + bad + "'", file);
    box.set_text(good);
  }
  expect_refused("missing directory", (dir / "missing" / "parameters.txt").string());
  fs::permissions(file, fs::perms::owner_read);
  expect_refused("read-only file", file);
  fs::permissions(file, fs::perms::owner_all);
  std::int16_t chinese = 0;
  b.control.setIntLanguage(chinese);
  expect_refused("a directory", dir.string(), "参数保存错误!", "提示");
  // Then it saves again, replacing (never appending to) the old content.
  EXPECT_EQ(saved(b), kLine1 + kLine2);
  EXPECT_EQ(said(b), Strings{"参数保存成功!"});
  Bench idle(instrument());   // not connected: no file and no message at all
  fs::remove(file);
  idle.control.SaveParameter(file);
  EXPECT_FALSE(fs::exists(file));
  EXPECT_TRUE(idle.dialogs.shown().empty());
}

TEST_F(ParameterFileTest, DownloadSendsEveryValueThenResetsAndReconnectsUnderTheWaitWindow) {
  Bench b(with_grating(4));
  ASSERT_TRUE(connect(b));
  Strings captions;
  std::vector<std::pair<std::size_t, bool>> shown;   // (writes so far, visible)
  b.control.surface().set_observer([&](const Widget& w, Change what) {
    if (w.name() == "FrmSplash.Label1" && what == Change::Text) captions.push_back(w.text());
    if (w.name() == "FrmSplash" && what == Change::Visible)
      shown.emplace_back(b.port->written().size(), w.visible());
  });
  load(b, kLine1 + kLine2);
  const Strings writes = download_writes(b);
  EXPECT_EQ(writes, kDownload);
  EXPECT_TRUE(carried(b.sim.memory()) == carried(instrument())) << "the instrument holds the file";
  ASSERT_LT(writes.size(), b.write_hex().size()) << "no reconnect after the reset";
  EXPECT_TRUE(b.control.BlnMonConnectFlag());
  expect_idle(b);
  EXPECT_TRUE(b.dialogs.shown().empty());
  EXPECT_EQ(b.control.surface().at("TxtSpecNO").text(), "00258");   // shown after reconnecting
  EXPECT_EQ(captions, (Strings{"Setting, please wait a moment... ",
                               "Instrument reset, please wait a moment... ",
                               "Monochromator connection, please wait a moment... "}));
  // Visible when the reconnect's first question goes out, hidden at the end.
  bool visible = false;
  for (const auto& [count, now_visible] : shown)
    if (count <= writes.size()) visible = now_visible;
  EXPECT_TRUE(visible);
  ASSERT_FALSE(shown.empty());
  EXPECT_FALSE(shown.back().second);
}

// The grating code goes out only when known and fitting; 100 nm uses the step size in force before.
TEST_F(ParameterFileTest, GratingCodeAndPositionsFollowTheGratingInForceBeforeTheDownload) {
  const struct {
    int instrument;
    const char* field;
    const char* grating;   // the "G" write, if any
    const char* power_on;
  } cases[] = {
      {4, "130", "47 01", "4D 00 00 07 D0"},  {4, "410", "47 14", "4D 00 00 07 D0"},
      {4, "125", nullptr, "4D 00 00 07 D0"},  {4, "510", nullptr, "4D 00 00 07 D0"},
      {4, "030", nullptr, "4D 00 00 07 D0"},  {17, "130", nullptr, "4D 00 00 06 40"},
      {17, "230", "47 12", "4D 00 00 06 40"}, {20, "430", nullptr, "4D 00 00 00 C8"},
  };
  for (const auto& c : cases) {
    Bench b(with_grating(c.instrument));
    load(b, "00258\t" + std::string(c.field) + "\t500\t1000\t09\t100\t6\t\r\n2\t\r\n");
    Strings expected{"4E 01 02"};
    if (c.grating) expected.push_back(c.grating);
    // Line 2 "2": no wheel, so no filter packets before the reset.
    expected.insert(expected.end(), {"50 01 F4", "5A 03 E8", "59 00 09", c.power_on, "54 06", "4B 08"});
    EXPECT_EQ(download_writes(b), expected) << c.field << " on grating code " << c.instrument;
    EXPECT_TRUE(b.control.BlnMonConnectFlag());
  }
  // So do the filter positions.
  Bench b(with_grating(1));   // 0.00625 nm per step; the file asks for grating 4
  load(b, kLine1 + kLine2);
  EXPECT_EQ(download_writes(b)[10], "0D A8 0D");   // 349.6 nm / 16 / 0.00625 = 3496
}

// A download that stops shows the operator nothing; the host's note says why and what was sent.
TEST_F(ParameterFileTest, StoppedDownloadTellsTheHostWhatWasAlreadySent) {
  const std::string absent = (dir / "absent.txt").string();
  const std::string nothing = "; nothing was sent to the monochromator.";
  const struct {
    bool connected, no_ack;
    std::string path, content;
    std::size_t writes;
    std::string note;
  } cases[] = {
      {true, false, file, kLine1, 7,
       "the file is incomplete or malformed; already sent to the monochromator: instrument number "
       "258, grating code 4, blaze wavelength 500 nm, zero offset 1000 steps, year 9, power-on "
       "position 8717 steps, instrument type 6. Check the instrument's settings before use."},
      {true, true, file, kLine1 + kLine2, 1,
       "the monochromator did not acknowledge a setting in time; already sent to the "
       "monochromator: instrument number 258. Check the instrument's settings before use."},
      {true, false, file, "70000" + kLine1.substr(5) + "2\t\r\n", 0,
       "a value of the file does not fit its command" + nothing},   // "N" overflows
      {true, false, "", "", 0, "the file cannot be read" + nothing},
      {true, false, absent, "", 0, "the file cannot be read" + nothing},
      {false, false, file, kLine1 + kLine2, 0, "the serial port failed" + nothing},
  };
  for (const auto& c : cases) {
    Bench b(with_grating(4));
    if (c.connected) connect(b);
    b.control.bounds().ack = 1.0;
    b.sim.faults().no_ack = c.no_ack;
    put(c.content);
    b.control.LoadParameter(c.path);
    EXPECT_EQ(b.write_hex(), Strings(kDownload.begin(), kDownload.begin() + c.writes)) << c.content;
    expect_idle(b);
    EXPECT_EQ(said(b), Strings{}) << c.path << ": " << c.content;
    ASSERT_EQ(b.dialogs.notes().size(), 1u) << c.path << ": " << c.content;
    const HostNote& n = b.dialogs.notes()[0];
    EXPECT_EQ(n.kind, HostNote::Kind::Failure);
    EXPECT_EQ(n.operation, "LoadParameter");
    EXPECT_EQ(n.text_en, "The parameter download stopped: " + c.note);
    EXPECT_FALSE(n.text_zh.empty());
  }
}

TEST_F(ParameterFileTest, AStopDuringTheFilterTableEndsAtAPacketBoundaryAndCountsWhatWentOut) {
  // A stop after the n-th filter packet: only whole packets go out (no "k" or "w" stored as
  // filter data), the call ends within a second, and the note counts exactly n packets.
  for (int n = 1; n <= 6; ++n) {
    SCOPED_TRACE(n);
    Bench b(instrument());
    ASSERT_TRUE(connect(b));
    put(kLine1 + kLine2);
    b.sim.clear_log();
    const auto filter_packets = [&] {
      int framed = 0;
      for (const std::string& command : b.sim.log()) framed += command.rfind("F ", 0) == 0 ? 1 : 0;
      return framed;
    };
    double asked = -1;
    b.control.set_wait_hook([&] {
      if (asked < 0 && filter_packets() == n) {
        asked = b.pump.now();
        b.control.RequestStop();
      }
    });
    b.control.LoadParameter(file);
    b.control.set_wait_hook(nullptr);
    ASSERT_GE(asked, 0);
    EXPECT_LT(b.pump.now() - asked, 1.0);
    b.pump.run_for(3.0);   // whatever was still on its way arrives
    const Strings writes = b.write_hex();
    EXPECT_EQ(writes, Strings(kDownload.begin(), kDownload.begin() + 7 + n));
    EXPECT_EQ(filter_packets(), n);
    expect_idle(b);
    EXPECT_EQ(said(b), Strings{});
    ASSERT_EQ(b.dialogs.notes().size(), 1u);
    const HostNote& note = b.dialogs.notes()[0];
    EXPECT_EQ(note.kind, HostNote::Kind::Interrupted);
    EXPECT_NE(note.text_en.find("it was stopped on request"), std::string::npos) << note.text_en;
    EXPECT_NE(note.text_en.find("filter settings (" + std::to_string(n) + "/6 packets)"), std::string::npos)
        << note.text_en;
  }
}

// The power-on wavelength (DblOpenPos, TxtOpenPos); instrument() holds 8717 steps = 435.85 nm.

void set(Bench& b, double nm) { b.control.setDblOpenPos(nm); }
void key(Bench& b, std::int16_t code) { b.control.TxtOpenPos_KeyPress(code); }
Widget& box(Bench& b) { return b.control.surface().at("TxtOpenPos"); }
// The stored step count, the box and the property.
auto held(Bench& b) { return std::make_tuple(b.sim.memory().power_on, box(b).text(), b.control.DblOpenPos()); }
auto holds(std::uint32_t steps, const char* shown, double nm) { return std::make_tuple(steps, std::string(shown), nm); }

struct PowerOnTest : ::testing::Test {
  Bench b{instrument()};
  void SetUp() override { connect(b); }
};

TEST_F(PowerOnTest, PropertyStoresTheNearestStepAndShowsWhatTheControllerHolds) {
  set(b, 300.03);
  EXPECT_EQ(b.write_hex(), (Strings{"4D 00 00 17 71", "6D"}));  // 6001 steps, then the read-back
  EXPECT_EQ(held(b), holds(6001, "300.05 nm", 300.05));
  EXPECT_EQ(b.control.BlnBusy(), kFalse);
  ASSERT_EQ(said(b), (Strings{"Will the initial wavelength be changed to 300.03 nm?",
                              "Initial wavelength set successfully."}));
  EXPECT_EQ(b.dialogs.shown()[0].title, "Modify monochromator parameters");
  EXPECT_EQ(b.dialogs.shown()[0].buttons, Buttons::OkCancel);
  EXPECT_TRUE(b.dialogs.notes().empty()) << "rounding to a whole step is no news for the host";
}

TEST_F(PowerOnTest, LeavingAChangedBoxOrEnterAsksAndCancelReadsTheStoredValueBack) {
  box(b).set_text("435.85");   // the value DblOpenPos holds
  b.control.TxtOpenPos_LostFocus();
  EXPECT_TRUE(b.dialogs.shown().empty());
  b.dialogs.answer(Answer::Cancel);
  box(b).set_text("501");
  b.control.TxtOpenPos_LostFocus();
  EXPECT_EQ(said(b), Strings{"Will the initial wavelength be changed to 501 nm?"});
  EXPECT_EQ(b.write_hex(), Strings{"6D"});
  EXPECT_EQ(held(b), holds(8717, "435.85 nm", 435.85));
  // In Chinese the property asks with a blank before "nm"; Enter asks without it and shows no success.
  b.clear();
  std::int16_t chinese = 0;
  b.control.setIntLanguage(chinese);
  set(b, 100);
  EXPECT_EQ(said(b), (Strings{"将默认波长修改为 100 nm?", "设置成功！"}));
  b.clear();
  box(b).set_text("200 nm");
  key(b, 13);
  ASSERT_EQ(said(b), Strings{"将默认波长修改为200 nm?"});
  EXPECT_EQ(b.dialogs.last().title, "修改单色仪参数");
  EXPECT_EQ(held(b), holds(4000, "200.00 nm", 200));
}

TEST_F(PowerOnTest, RangeIsZeroTo6553Point5AndBusyRefusesWithAMessageForEveryKey) {
  set(b, 6553.51);
  ASSERT_EQ(said(b), Strings{"Please enter a value between 0 and 6553.5."});
  EXPECT_EQ(b.dialogs.last().icon, Icon::Critical);
  box(b).set_text("-0.01");
  key(b, 13);
  EXPECT_EQ(b.dialogs.last().icon, Icon::Information);
  EXPECT_TRUE(b.write_hex().empty());
  for (double edge : {0.0, 6553.5}) {
    set(b, edge);
    EXPECT_EQ(b.sim.memory().power_on, static_cast<std::uint32_t>(edge / 0.05 + 0.5)) << edge;
  }
  // Busy: refused with a message for every key.
  b.pump.after(0.05, [&] { set(b, 300); key(b, '4'); });
  b.control.OpenCom();   // busy while it identifies
  EXPECT_EQ(b.dialogs.count("The monochromator controller is running."), 2);
  EXPECT_EQ(b.sim.memory().power_on, 131070u);   // 6553.5 nm, from above
}

TEST(PowerOn, UnknownStepSizeFailsToTheHostFromThePropertyOnly) {
  Bench b(with_grating(6));   // not in the grating table: the step size stays 0
  ASSERT_TRUE(connect(b));
  EXPECT_THROW(set(b, 100), RuntimeFailure);
  EXPECT_EQ(b.control.BlnBusy(), kFalse);
  box(b).set_text("100");   // the box traps it and tells the operator
  EXPECT_NO_THROW(key(b, 13));
  EXPECT_EQ(b.dialogs.last().icon, Icon::Critical);
  EXPECT_EQ(b.control.BlnBusy(), kFalse);
  EXPECT_TRUE(b.write_hex().empty());
}

TEST(PowerOn, NotConnectedTypingEnterAndPropertyDoNothing) {
  Bench b;
  box(b).set_text("100");
  for (std::int16_t code : {int('1'), 13, 27}) key(b, code);
  set(b, 100);
  EXPECT_TRUE(b.dialogs.shown().empty());
  EXPECT_TRUE(b.write_hex().empty());
}

}  // namespace
}  // namespace brivel
