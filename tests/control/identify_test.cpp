// OpenCom's identification, the refresh and the filter read-back, against the simulated controller.

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "testkit/bench.h"

namespace brivel {
namespace {

using testkit::Bench;
using testkit::unhex;
using Said = std::pair<std::string, std::string>;  // a message's text and title

const std::vector<std::string> kIdentifyWire = {"79", "6E", "67", "7A", "70", "6D", "76", "74", "77", "66 0D"};
const std::vector<std::string> kRefreshWire = {"79", "6E", "67", "7A", "6D", "74", "76", "77"};

// An instrument whose values differ from the panel's design texts. Factory values kept:
// zero offset 1000, blaze 500 nm, type 6 ("5BRV870A"), filters on, count 3, B 700.
sim::Memory instrument() {
  sim::Memory m = sim::factory_memory();
  m.year = 9, m.instrument_no = 258, m.speed = 100;
  m.grating = 4, m.power_on = 10000;  // 0.05 nm per step: 500 nm
  m.filter_a = 0x8005;                // sign and magnitude: -5
  return m;
}

const std::string& text(Bench& b, const std::string& name) { return b.control.surface().at(name).text(); }
bool shown(Bench& b, const std::string& name) { return b.control.surface().at(name).visible(); }
Said said(const Bench& b) {
  return b.dialogs.shown().empty() ? Said() : Said(b.dialogs.last().text, b.dialogs.last().title);
}
auto flags(Bench& b) { return std::make_tuple(b.control.BlnMonConnectFlag(), b.control.BlnBusy()); }

// The flags, the lamp and the port agree, and nothing is left busy.
void expect_connected(Bench& b, bool connected = true) {
  EXPECT_EQ(flags(b), std::make_tuple(connected ? kTrue : kFalse, kFalse));
  EXPECT_EQ(b.control.surface().at("Image1").picture(), connected ? 2 : 1);
  EXPECT_EQ(b.port->is_open(), connected);
}

void expect_connection_failed(Bench& b) {
  expect_connected(b, false);
  EXPECT_EQ(said(b), Said("Monochromator connection failed.", "Prompt"));
  EXPECT_TRUE(b.dialogs.shown().empty() || b.dialogs.last().buttons == Buttons::Ok);
}

TEST(Identify, FillsEveryFieldAndAsksInOrder) {
  Bench b(instrument());
  b.control.OpenCom();
  expect_connected(b);
  EXPECT_TRUE(b.dialogs.shown().empty());
  EXPECT_EQ(b.write_hex(), kIdentifyWire);
  EXPECT_EQ(b.port->setup_log(),
            (std::vector<std::string>{"port=1", "line=9600,N,8,1", "clear-input", "clear-output", "open"}));
  const std::pair<const char*, const char*> fields[] = {
      {"TxtSpecNO", "00258"},     {"TxtGratingLines", "4(150g/mm)"}, {"TxtZeroOffset", "1000"},
      {"TxtBlazeWaveLen", "500 nm"}, {"TxtOpenPos", "500.00 nm"},  // absolute steps x step: no offset
      {"CboSpeed", "100"},        {"CboComType", "5BRV870A"},        {"CboFilterCount", "3"},
      {"LblWaveLen", "500.00"},   // the closing position request: power-on + offset steps
  };
  for (const auto& [name, shows] : fields) EXPECT_EQ(text(b, name), shows) << name;
  const Control& c = b.control;  // the property speed follows only the speed setting
  EXPECT_EQ(std::make_tuple(c.StrYear(), c.LngInstrumentNo(), c.IntGratingLines(), c.DblMonoStep(), c.LngZeroPos(),
                            c.DblOpenPos(), c.DblMonoWaveLen(), c.IntSpeed()),
            std::make_tuple(std::string("09"), 258, 150, 0.05, 1000, 500.0, 500.0, 250));
}

TEST(Identify, DecodesTheEdgesOfEachAnswerAndSkipsWrongLetters) {
  struct Case {
    const char *wrong, *field, *shows;  // wrong: the letter answered wrongly
    void (*change)(sim::Memory&) = nullptr;
  } cases[] = {
      {"", "TxtZeroOffset", "65535", [](sim::Memory& m) { m.zero_offset = 65535; }},  // unsigned
      {"", "TxtBlazeWaveLen", "005 nm", [](sim::Memory& m) { m.blaze = 5; }},
      {"", "TxtOpenPos", "62.50 nm", [](sim::Memory& m) { m.grating = 1; }},  // 0.00625 nm per step
      {"", "CboComType", "", [](sim::Memory& m) { m.type = 15; }},            // past the list
      {"y", "TxtYear", "00000"},        {"n", "TxtSpecNO", "00000"},   {"g", "TxtGratingLines", "0000"},
      {"p", "TxtBlazeWaveLen", "0000"}, {"m", "TxtOpenPos", "0000.0"}, {"t", "CboComType", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.wrong) + " " + c.field);
    sim::Memory m = instrument();
    if (c.change) c.change(m);
    Bench b(m);
    b.sim.faults().wrong_letter_only = c.wrong;
    b.control.OpenCom();
    expect_connected(b);
    EXPECT_TRUE(b.dialogs.shown().empty());
    EXPECT_EQ(text(b, c.field), c.shows);
    EXPECT_EQ(b.control.LngZeroPos(), m.zero_offset);
  }
}

TEST(Identify, SilenceOrAWrongLetterWhereTheyCountFailTheConnection) {
  // Of y n g z p m v t, silence at "p" and "t" is skipped, and so are wrong letters but at "z" and "v".
  const std::tuple<int, const char*, std::size_t> cases[] = {  // answered, wrong letter, writes
      {0, "", 1}, {1, "", 2}, {2, "", 3}, {3, "", 4}, {5, "", 6}, {6, "", 7}, {-1, "z", 4}, {-1, "v", 7}};
  for (const auto& [answered, wrong, writes] : cases) {
    SCOPED_TRACE(std::to_string(answered) + wrong);
    Bench b(instrument());
    b.sim.faults().silent_after = answered;
    b.sim.faults().wrong_letter_only = wrong;
    const double start = b.pump.now();
    b.control.OpenCom();
    expect_connection_failed(b);
    EXPECT_EQ(b.dialogs.shown().size(), 1u);
    EXPECT_EQ(b.writes().size(), writes);
    EXPECT_LT(b.pump.now() - start, 0.5 + 0.1 * writes);
  }
}

TEST(Identify, SilenceAtBlazeAndTypeIsSkippedAsInTheRefresh) {
  // A scripted controller that never answers "p" or "t".
  Bench b(instrument());
  const std::pair<const char*, const char*> replies[] = {
      {"79", "79 09"}, {"6E", "6E 01 02"}, {"67", "67 04"}, {"7A", "7A 03 E8"}, {"6D", "6D 00 00 27 10"},
      {"76", "76 00 64"}, {"77", "77 00 00 2E E0"},
      {"66 0D", "01 00 03 00 00 05 00 02 BC 00 01 B5 00 03 2C 00 03 E8 00 00 00 00 00 00 00 00 00 00"}};
  for (const auto& [request, reply] : replies) b.port->when(unhex(request), unhex(reply));
  b.control.OpenCom();
  expect_connected(b);
  EXPECT_EQ(b.write_hex(), kIdentifyWire);
  EXPECT_EQ(std::make_tuple(text(b, "TxtBlazeWaveLen"), text(b, "CboComType"), text(b, "CboSpeed")),
            std::make_tuple("0000", "", "100"));
  // The refresh asks the type before the speed: its untested wait sees the "m" answer.
  b.control.surface().at("CboComType").set_text("5BRV880");
  b.port->when(unhex("76"), unhex("76 00 0A"));
  b.clear();
  b.control.CmdMonoRefresh_Click();
  expect_connected(b);
  EXPECT_EQ(b.write_hex(), kRefreshWire);
  EXPECT_EQ(std::make_tuple(text(b, "CboComType"), text(b, "CboSpeed")), std::make_tuple("5BRV880", "10"));
  EXPECT_TRUE(b.dialogs.shown().empty());
}

TEST(Identify, AnUnknownGratingKeepsTheOldOneAndTellsTheHost) {
  // On a fresh control every wavelength then computes to 0; the operator sees nothing, the host a note.
  sim::Memory m = instrument();
  m.grating = 6;
  Bench fresh(m);
  fresh.control.OpenCom();
  expect_connected(fresh);
  EXPECT_TRUE(fresh.dialogs.shown().empty());
  const Control& c = fresh.control;
  EXPECT_EQ(std::make_tuple(c.DblMonoStep(), c.IntGratingLines(), c.DblMonoWaveLen(), text(fresh, "TxtOpenPos")),
            std::make_tuple(0.0, 0, 0.0, "0.00 nm"));
  const auto note = [&] {   // the operation and text of the one note
    const std::vector<HostNote>& notes = fresh.dialogs.notes();
    return notes.size() == 1 ? Said(notes[0].operation, notes[0].text_en) : Said("notes", std::to_string(notes.size()));
  };
  EXPECT_EQ(note(), Said("OpenCom", "the instrument reported grating code 6, which has no step size; DblMonoStep "
                                    "stays 0 nm per step"));
  fresh.clear();
  fresh.control.CmdMonoRefresh_Click();   // a refresh keeps its starting step
  EXPECT_EQ(c.DblMonoStep(), 0.00625);
  EXPECT_EQ(note(), Said("CmdMonoRefresh", "the instrument reported grating code 6, which has no step size; "
                                           "DblMonoStep stays 0.00625 nm per step"));
  // After a known grating an identification keeps it; a refresh its starting step (0.00625 nm).
  Bench b(instrument());
  b.control.OpenCom();
  b.sim.memory().grating = 6;
  b.control.OpenCom();
  expect_connected(b);
  EXPECT_EQ(b.port->opens(), 2);
  auto grating = [&] {
    return std::make_tuple(b.control.DblMonoStep(), b.control.IntGratingLines(), text(b, "TxtGratingLines"));
  };
  EXPECT_EQ(grating(), std::make_tuple(0.05, 150, "4(150g/mm)"));
  b.control.CmdMonoRefresh_Click();
  EXPECT_EQ(grating(), std::make_tuple(0.00625, 150, "4(150g/mm)"));
}

TEST(Identify, PortsThatCannotOpenAndReconnecting) {
  Bench b(instrument());
  b.port->unavailable_ports().push_back(1);
  b.control.OpenCom();
  expect_connection_failed(b);
  EXPECT_TRUE(b.writes().empty());
  // The operator picks port 3 on the lamp and clicks it: port 3 is opened.
  b.dialogs.answer_input(std::string("3"));
  b.control.Image1_MouseDown(2);
  b.control.Image1_MouseDown(1);
  expect_connected(b);
  EXPECT_EQ(b.port->port_number(), 3);
  // A left click while connected closes without a byte.
  b.clear();
  b.control.Image1_MouseDown(1);
  expect_connected(b, false);
  EXPECT_TRUE(b.writes().empty() && b.dialogs.shown().empty());
}

TEST(FilterReadBack, StateCountAndRows) {
  // check: the box's value and the stored state; rows below `rows` show, hidden ones keep their text.
  struct Case {
    std::uint8_t state, count;
    int check;
    bool ready;
    const char* count_text;
    int rows;
    std::int16_t a;
    const char *b, *row0, *row2, *row5;
  } cases[] = {
      {7, 3, 2, false, "0", 5, 0, "", "350", "800", "600"},      // not set up: the panel untouched
      {0, 0, 0, true, "0", 0, -5, "700", "350", "800", "600"},   // off, no filters: read, rows hidden
      {1, 8, 1, true, "8", 6, -5, "700", "349.6", "800.0", "4.8"},  // above six: all six; n x 16 x 0.05
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.count));
    sim::Memory m = instrument();
    m.filter_state = c.state, m.filter_count = c.count, m.filter_start = {437, 812, 1000, 4, 5, 6};
    Bench b(m);
    b.control.OpenCom();
    expect_connected(b);
    EXPECT_TRUE(b.dialogs.shown().empty());
    EXPECT_EQ(std::make_tuple(b.control.surface().at("ChkUseFilter").value(), b.control.IntFilterState(),
                              b.control.BlnFilterReady(), text(b, "CboFilterCount"), b.control.IntFilterParamA(),
                              b.control.StrFilterParamB()),
              std::make_tuple(c.check, c.check, c.ready, c.count_text, c.a, c.b));
    for (int i = 0; i < 6; ++i)
      for (const char* row : {"TxtFilterStartWavelen", "Label21"})
        EXPECT_EQ(shown(b, indexed(row, i)), i < c.rows) << row << i;
    EXPECT_EQ(std::make_tuple(text(b, "TxtFilterStartWavelen(0)"), text(b, "TxtFilterStartWavelen(2)"),
                              text(b, "TxtFilterStartWavelen(5)")),
              std::make_tuple(c.row0, c.row2, c.row5));
  }
}

TEST(FilterReadBack, NoRecordInTimeLeavesTheInstrumentConnected) {
  Bench b(instrument());
  b.control.bounds().data = 2.0;
  b.sim.faults().silent_after = 9;  // the eight questions and the position, not "f"
  const double start = b.pump.now();
  b.control.OpenCom();
  expect_connected(b);
  EXPECT_EQ(std::make_tuple(b.control.BlnFilterReady(), b.control.IntFilterState(),
                            b.control.surface().at("ChkUseFilter").value()),
            std::make_tuple(kFalse, 0, 0));
  EXPECT_GT(b.pump.now() - start, 2.0);
  ASSERT_EQ(b.dialogs.shown().size(), 1u);
  EXPECT_EQ(b.dialogs.last().text,
            "The monochromator did not answer in time: the filter wheel settings could not be read.");
  EXPECT_EQ(b.dialogs.last().icon, Icon::Critical);
}

TEST(Refresh, ReadsTheDataAgainWithoutBlazeOrFiltersAndToleratesWrongLetters) {
  for (const std::string wrong : {"", "z", "v", "y"}) {
    SCOPED_TRACE(wrong);
    Bench b(instrument());
    b.control.OpenCom();
    b.clear();
    sim::Memory& m = b.sim.memory();
    m.year = 22, m.zero_offset = 2000, m.speed = 50, m.type = 0, m.blaze = 300, m.filter_count = 1;
    b.sim.faults().wrong_letter_only = wrong;
    b.control.CmdMonoRefresh_Click();
    expect_connected(b);
    EXPECT_EQ(b.write_hex(), kRefreshWire);
    EXPECT_TRUE(b.dialogs.shown().empty());
    EXPECT_EQ(b.port->opens(), 1);
    EXPECT_EQ(std::make_tuple(b.control.StrYear(), text(b, "TxtZeroOffset"), text(b, "CboSpeed")),
              std::make_tuple(wrong == "y" ? "09" : "22", wrong == "z" ? "1000" : "2000", wrong == "v" ? "100" : "50"));
    EXPECT_EQ(std::make_tuple(text(b, "CboComType"), text(b, "TxtBlazeWaveLen"), text(b, "CboFilterCount")),
              std::make_tuple("5BRV640", "500 nm", "3"));
  }
}

TEST(Refresh, IsIgnoredWhenBusyRefusedWhenNotConnectedAndAFailureDisconnects) {
  Bench b(instrument());
  b.pump.after(0.005, [&] { b.control.CmdMonoRefresh_Click(); });  // inside the identification
  b.control.OpenCom();
  EXPECT_EQ(b.write_hex(), kIdentifyWire);
  EXPECT_TRUE(b.dialogs.shown().empty());
  b.clear();
  b.sim.faults().silent = true;
  b.control.CmdMonoRefresh_Click();
  EXPECT_EQ(said(b), Said("Unable to connect to the monochromator.", "Prompt"));
  EXPECT_EQ(b.dialogs.last().icon, Icon::Information);
  EXPECT_EQ(b.write_hex(), std::vector<std::string>{"79"});
  EXPECT_FALSE(b.port->is_open());
  EXPECT_EQ(flags(b), std::make_tuple(kFalse, kFalse));
  EXPECT_EQ(b.control.DblMonoStep(), 0.00625);
  EXPECT_EQ(b.control.surface().at("Image1").picture(), 2);  // untouched by the refresh
  b.control.CmdMonoRefresh_Click();
  EXPECT_EQ(said(b), Said("Please reconnect the monochromator.", "Prompt"));
  EXPECT_EQ(b.dialogs.shown().size(), 2u);
  EXPECT_EQ(b.writes().size(), 1u);
  b.sim.faults().silent = false;
  b.control.Image1_MouseDown(1);  // the lamp reconnects
  expect_connected(b);
  EXPECT_EQ(b.port->opens(), 2);
  EXPECT_EQ(b.control.DblMonoStep(), 0.05);
  std::int16_t chinese = 0;
  b.control.setIntLanguage(chinese);
  b.sim.faults().silent = true;
  b.control.CmdMonoRefresh_Click();
  EXPECT_EQ(said(b), Said("无法连接单色仪!", "提示"));
  b.control.CmdMonoRefresh_Click();
  EXPECT_EQ(said(b), Said("请在检查连接后重新连接仪器", "单色仪未连接"));
}

}  // namespace
}  // namespace brivel
