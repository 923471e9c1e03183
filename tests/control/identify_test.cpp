// Connecting and identifying (OpenCom), refreshing, and the filter read-back at the end
// of a connection, against the simulated controller in virtual time.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "testkit/bench.h"

namespace brivel {
namespace {

using testkit::Bench;
using testkit::hex;
using testkit::unhex;

const std::vector<std::string> kIdentifyWire = {"79", "6E", "67", "7A", "70", "6D", "76", "74", "77", "66 0D"};
const std::vector<std::string> kRefreshWire = {"79", "6E", "67", "7A", "6D", "74", "76", "77"};

// An instrument with every value distinguishable from the panel's design texts.
sim::Memory instrument() {
  sim::Memory m = sim::factory_memory();
  m.year = 9;
  m.instrument_no = 258;
  m.grating = 4;  // 0.05 nm per step
  m.zero_offset = 1000;
  m.blaze = 500;
  m.power_on = 10000;
  m.type = 6;
  m.speed = 100;
  m.filter_state = 1;
  m.filter_count = 3;
  m.filter_a = 0x8005;
  m.filter_b = 700;
  m.filter_start = {437, 812, 1000, 0, 0, 0};
  return m;
}

const std::string& text(Bench& b, const std::string& name) { return b.control.surface().at(name).text(); }
bool shown(Bench& b, const std::string& name) { return b.control.surface().at(name).visible(); }

void expect_connected(Bench& b) {
  EXPECT_EQ(b.control.BlnMonConnectFlag(), kTrue);
  EXPECT_EQ(b.control.BlnBusy(), kFalse);
  EXPECT_EQ(b.control.surface().at("Image1").picture(), 2);
  EXPECT_TRUE(b.port->is_open());
}

void expect_connection_failed(Bench& b) {
  EXPECT_EQ(b.control.BlnMonConnectFlag(), kFalse);
  EXPECT_EQ(b.control.BlnBusy(), kFalse);
  EXPECT_EQ(b.control.surface().at("Image1").picture(), 1);
  EXPECT_FALSE(b.port->is_open());
  ASSERT_FALSE(b.dialogs.shown().empty());
  EXPECT_EQ(b.dialogs.last().text, "Monochromator connection failed.");
  EXPECT_EQ(b.dialogs.last().title, "Prompt");
  EXPECT_EQ(b.dialogs.last().buttons, Buttons::Ok);
}

// A scripted controller: answers the requests in the table (by hex), nothing else.
void script(Bench& b, std::map<std::string, std::string> replies) {
  b.port->on_write([replies](const Bytes& request) {
    const auto found = replies.find(hex(request));
    return found == replies.end() ? Bytes{} : unhex(found->second);
  });
}

std::map<std::string, std::string> scripted_instrument() {
  return {{"79", "79 09"},          {"6E", "6E 01 02"},       {"67", "67 04"},
          {"7A", "7A 03 E8"},       {"70", "70 01 F4"},       {"6D", "6D 00 00 27 10"},
          {"76", "76 00 64"},       {"74", "74 06"},          {"77", "77 00 00 2E E0"},
          {"66 0D", "01 00 03 00 00 05 00 02 BC 00 01 B5 00 03 2C 00 03 E8 00 00 00 00 00 00 00 00 00 00"}};
}

TEST(Identify, FillsEveryFieldAndAsksInOrder) {
  Bench b(instrument());
  b.control.OpenCom();
  expect_connected(b);
  EXPECT_TRUE(b.dialogs.shown().empty());
  EXPECT_EQ(b.write_hex(), kIdentifyWire);
  const std::vector<std::string> setup = {"port=1",   "settings=9600,N,8,1", "inbuffer=2048", "outbuffer=1024",
                                          "binary=1", "inputlen=0",          "clear-input",   "clear-output",
                                          "open"};
  EXPECT_EQ(b.port->setup_log(), setup);

  Brivel& c = b.control;
  EXPECT_EQ(c.StrYear(), "09");
  EXPECT_EQ(text(b, "TxtSpecNO"), "00258");
  EXPECT_EQ(c.LngInstrumentNo(), 258);
  EXPECT_EQ(text(b, "TxtGratingLines"), "4(150g/mm)");
  EXPECT_EQ(c.IntGratingLines(), 150);
  EXPECT_EQ(c.DblMonoStep(), 0.05);
  EXPECT_EQ(text(b, "TxtZeroOffset"), "1000");
  EXPECT_EQ(c.LngZeroPos(), 1000);
  EXPECT_EQ(text(b, "TxtBlazeWaveLen"), "500 nm");
  EXPECT_EQ(text(b, "TxtOpenPos"), "500.00 nm");  // absolute steps x step: no offset
  EXPECT_EQ(c.DblOpenPos(), 500.0);
  EXPECT_EQ(text(b, "CboSpeed"), "100");
  EXPECT_EQ(c.IntSpeed(), 250);  // the property follows only the speed setting
  EXPECT_EQ(text(b, "CboComType"), "5BRV870A");

  // The closing position request sets the current wavelength.
  const double position = b.sim.position(b.pump.now());
  const double expected = std::round(0.05 * (position - 1000) * 100) / 100;
  EXPECT_NEAR(c.DblMonoWaveLen(), expected, 1e-9);
  char shown_text[32];
  std::snprintf(shown_text, sizeof shown_text, "%.2f", expected);
  EXPECT_EQ(text(b, "LblWaveLen"), shown_text);

  // The filter read-back: state, count, values and rows.
  EXPECT_EQ(c.BlnFilterReady(), kTrue);
  EXPECT_EQ(c.IntFilterState(), 1);
  EXPECT_EQ(b.control.surface().at("ChkUseFilter").value(), 1);
  EXPECT_EQ(text(b, "CboFilterCount"), "3");
  EXPECT_EQ(c.IntFilterParamA(), -5);
  EXPECT_EQ(c.StrFilterParamB(), "700");
  EXPECT_EQ(text(b, "TxtFilterStartWavelen(0)"), "349.6");
  EXPECT_EQ(text(b, "TxtFilterStartWavelen(1)"), "649.6");
  EXPECT_EQ(text(b, "TxtFilterStartWavelen(2)"), "800.0");
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(shown(b, indexed("TxtFilterStartWavelen", i)), i < 3) << i;
    EXPECT_EQ(shown(b, indexed("Label21", i)), i < 3) << i;
  }
  EXPECT_EQ(text(b, "TxtFilterStartWavelen(3)"), "1100");  // hidden rows keep their text
}

TEST(Identify, DecodesTheEdgesOfEachAnswer) {
  struct Case {
    const char* what;
    void (*change)(sim::Memory&);
    const char* field;
    const char* shows;
  } cases[] = {
      {"unsigned zero offset", [](sim::Memory& m) { m.zero_offset = 65535; }, "TxtZeroOffset", "65535"},
      {"blaze in three digits", [](sim::Memory& m) { m.blaze = 5; }, "TxtBlazeWaveLen", "005 nm"},
      {"power-on at 1200 g/mm", [](sim::Memory& m) { m.grating = 1; }, "TxtOpenPos", "62.50 nm"},
      {"code 20 reads as 150 g/mm", [](sim::Memory& m) { m.grating = 20; }, "TxtGratingLines", "4(150g/mm)"},
      {"a type past the list", [](sim::Memory& m) { m.type = 15; }, "CboComType", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    sim::Memory m = instrument();
    c.change(m);
    Bench b(m);
    b.control.OpenCom();
    expect_connected(b);
    EXPECT_EQ(text(b, c.field), c.shows);
    EXPECT_EQ(b.control.LngZeroPos(), m.zero_offset);
    EXPECT_EQ(b.control.DblMonoStep(), m.grating == 20 ? 0.5 : m.grating == 1 ? 0.00625 : 0.05);
  }
}

TEST(Identify, SilenceAtAQueryThatCountsFailsTheConnection) {
  // Positions in the series: y n g z (p) m v; "p" and "t" are not waited for.
  for (int answered : {0, 1, 2, 3, 5, 6}) {
    SCOPED_TRACE(answered);
    Bench b(instrument());
    b.sim.faults().silent_after = answered;
    const double start = b.pump.now();
    b.control.OpenCom();
    expect_connection_failed(b);
    EXPECT_EQ(b.dialogs.shown().size(), 1u);
    EXPECT_EQ(b.writes().size(), static_cast<std::size_t>(answered + 1));
    EXPECT_LT(b.pump.now() - start, 0.5 + 0.1 * (answered + 1));
  }
}

TEST(Identify, MissingBlazeAndTypeAnswersAreSkipped) {
  Bench b(instrument());
  auto replies = scripted_instrument();
  replies.erase("70");
  replies.erase("74");
  script(b, replies);
  b.control.OpenCom();
  expect_connected(b);
  EXPECT_TRUE(b.dialogs.shown().empty());
  EXPECT_EQ(text(b, "TxtBlazeWaveLen"), "0000");
  EXPECT_EQ(text(b, "CboComType"), "");
  EXPECT_EQ(text(b, "CboSpeed"), "100");
  EXPECT_EQ(b.write_hex(), kIdentifyWire);
}

TEST(Identify, WrongLettersFailAtZeroOffsetAndSpeedOnly) {
  for (const char* letter : {"z", "v"}) {
    SCOPED_TRACE(letter);
    Bench b(instrument());
    b.sim.faults().wrong_letter_only = letter;
    b.control.OpenCom();
    expect_connection_failed(b);
  }
  struct Skip {
    const char* letter;
    const char* field;
    const char* keeps;
  } skips[] = {{"y", "TxtYear", "00000"},         {"n", "TxtSpecNO", "00000"},
               {"g", "TxtGratingLines", "0000"},   {"p", "TxtBlazeWaveLen", "0000"},
               {"m", "TxtOpenPos", "0000.0"},      {"t", "CboComType", ""}};
  for (const Skip& s : skips) {
    SCOPED_TRACE(s.letter);
    Bench b(instrument());
    b.sim.faults().wrong_letter_only = s.letter;
    b.control.OpenCom();
    expect_connected(b);
    EXPECT_EQ(text(b, s.field), s.keeps);
    EXPECT_TRUE(b.dialogs.shown().empty());
  }
}

TEST(Identify, AnUnknownGratingKeepsTheOldOne) {
  // On a fresh control every wavelength then computes to 0.
  sim::Memory m = instrument();
  m.grating = 6;
  Bench fresh(m);
  fresh.control.OpenCom();
  expect_connected(fresh);
  EXPECT_EQ(text(fresh, "TxtGratingLines"), "0000");
  EXPECT_EQ(fresh.control.DblMonoStep(), 0.0);
  EXPECT_EQ(fresh.control.IntGratingLines(), 0);
  EXPECT_EQ(text(fresh, "TxtOpenPos"), "0.00 nm");
  EXPECT_EQ(fresh.control.DblMonoWaveLen(), 0.0);
  EXPECT_EQ(text(fresh, "TxtFilterStartWavelen(0)"), "0.0");

  // After a known grating, a later identification keeps it.
  Bench b(instrument());
  b.control.OpenCom();
  b.sim.memory().grating = 6;
  b.control.OpenCom();
  expect_connected(b);
  EXPECT_EQ(b.port->opens(), 2);
  EXPECT_EQ(text(b, "TxtGratingLines"), "4(150g/mm)");
  EXPECT_EQ(b.control.DblMonoStep(), 0.05);
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
  EXPECT_EQ(b.control.BlnMonConnectFlag(), kFalse);
  EXPECT_EQ(b.control.surface().at("Image1").picture(), 1);
  EXPECT_FALSE(b.port->is_open());
  EXPECT_TRUE(b.writes().empty());
  EXPECT_TRUE(b.dialogs.shown().empty());
}

TEST(FilterReadBack, StateCountAndValues) {
  {  // Not set up: the box turns indeterminate, the rest of the panel stays.
    sim::Memory m = instrument();
    m.filter_state = 7;
    Bench b(m);
    b.control.OpenCom();
    expect_connected(b);
    EXPECT_EQ(b.control.surface().at("ChkUseFilter").value(), 2);
    EXPECT_EQ(b.control.IntFilterState(), 2);
    EXPECT_EQ(b.control.BlnFilterReady(), kFalse);
    EXPECT_EQ(text(b, "CboFilterCount"), "0");
    EXPECT_EQ(b.control.StrFilterParamB(), "");
    EXPECT_TRUE(shown(b, "TxtFilterStartWavelen(4)"));
    EXPECT_FALSE(shown(b, "TxtFilterStartWavelen(5)"));
    EXPECT_EQ(text(b, "TxtFilterStartWavelen(0)"), "350");
    EXPECT_TRUE(b.dialogs.shown().empty());
  }
  {  // Off with no filters: every row hidden, but the read-back succeeded.
    sim::Memory m = instrument();
    m.filter_state = 0;
    m.filter_count = 0;
    m.filter_a = 5;
    Bench b(m);
    b.control.OpenCom();
    EXPECT_EQ(b.control.BlnFilterReady(), kTrue);
    EXPECT_EQ(b.control.surface().at("ChkUseFilter").value(), 0);
    EXPECT_EQ(b.control.IntFilterParamA(), 5);
    for (int i = 0; i < 6; ++i) EXPECT_FALSE(shown(b, indexed("Label21", i))) << i;
  }
  {  // A count above six shows all six rows.
    sim::Memory m = instrument();
    m.filter_count = 8;
    m.filter_start = {1, 2, 3, 4, 5, 6};
    Bench b(m);
    b.control.OpenCom();
    EXPECT_EQ(text(b, "CboFilterCount"), "8");
    for (int i = 0; i < 6; ++i) EXPECT_TRUE(shown(b, indexed("TxtFilterStartWavelen", i))) << i;
    EXPECT_EQ(text(b, "TxtFilterStartWavelen(5)"), "4.8");  // 6 x 16 x 0.05
  }
}

TEST(FilterReadBack, NoRecordInTimeLeavesTheInstrumentConnected) {
  Bench b(instrument());
  b.control.bounds().data = 2.0;
  b.sim.faults().silent_after = 9;  // the eight questions and the position, not "f"
  const double start = b.pump.now();
  b.control.OpenCom();
  expect_connected(b);
  EXPECT_EQ(b.control.BlnFilterReady(), kFalse);
  EXPECT_EQ(b.control.IntFilterState(), 0);
  EXPECT_EQ(b.control.surface().at("ChkUseFilter").value(), 0);
  EXPECT_GT(b.pump.now() - start, 2.0);
  ASSERT_EQ(b.dialogs.shown().size(), 1u);
  EXPECT_EQ(b.dialogs.last().text,
            "The monochromator did not answer in time: the filter wheel settings could not be read.");
  EXPECT_EQ(b.dialogs.last().icon, Icon::Critical);
}

TEST(Refresh, RefusesWhenNotConnectedAndIgnoresWhenBusy) {
  Bench b(instrument());
  b.control.CmdMonoRefresh_Click();
  ASSERT_EQ(b.dialogs.shown().size(), 1u);
  EXPECT_EQ(b.dialogs.last().text, "Please reconnect the monochromator.");
  EXPECT_EQ(b.dialogs.last().title, "Prompt");
  std::int16_t chinese = 0;
  b.control.setIntLanguage(chinese);
  b.control.CmdMonoRefresh_Click();
  EXPECT_EQ(b.dialogs.last().text, "请在检查连接后重新连接仪器");
  EXPECT_EQ(b.dialogs.last().title, "单色仪未连接");
  EXPECT_TRUE(b.writes().empty());

  // A click inside the identification's waits does nothing.
  b.dialogs.clear();
  b.pump.after(0.005, [&] { b.control.CmdMonoRefresh_Click(); });
  b.control.OpenCom();
  EXPECT_EQ(b.write_hex(), kIdentifyWire);
  EXPECT_TRUE(b.dialogs.shown().empty());
}

TEST(Refresh, ReadsTheDataAgainWithoutBlazeOrFilters) {
  Bench b(instrument());
  b.control.OpenCom();
  b.clear();
  sim::Memory& m = b.sim.memory();
  m.year = 22;
  m.blaze = 300;
  m.speed = 50;
  m.type = 0;
  m.filter_count = 1;
  b.control.CmdMonoRefresh_Click();
  expect_connected(b);
  EXPECT_EQ(b.write_hex(), kRefreshWire);
  EXPECT_TRUE(b.dialogs.shown().empty());
  EXPECT_EQ(b.control.StrYear(), "22");
  EXPECT_EQ(text(b, "CboSpeed"), "50");
  EXPECT_EQ(text(b, "CboComType"), "5BRV640");
  EXPECT_EQ(text(b, "TxtBlazeWaveLen"), "500 nm");
  EXPECT_EQ(text(b, "CboFilterCount"), "3");
  EXPECT_EQ(b.port->opens(), 1);

  // An unknown grating leaves the refresh's starting step, and the old grating text.
  m.grating = 6;
  b.control.CmdMonoRefresh_Click();
  EXPECT_EQ(b.control.DblMonoStep(), 0.00625);
  EXPECT_EQ(b.control.IntGratingLines(), 150);
  EXPECT_EQ(text(b, "TxtGratingLines"), "4(150g/mm)");
}

TEST(Refresh, ToleratesWrongLettersEverywhere) {
  for (const char* letter : {"z", "v", "y"}) {
    SCOPED_TRACE(letter);
    Bench b(instrument());
    b.control.OpenCom();
    b.sim.memory().zero_offset = 2000;
    b.sim.memory().speed = 20;
    b.sim.memory().year = 30;
    b.sim.faults().wrong_letter_only = letter;
    b.control.CmdMonoRefresh_Click();
    expect_connected(b);
    EXPECT_TRUE(b.dialogs.shown().empty());
    EXPECT_EQ(text(b, "TxtZeroOffset"), std::string(letter) == "z" ? "1000" : "2000");
    EXPECT_EQ(text(b, "CboSpeed"), std::string(letter) == "v" ? "100" : "20");
    EXPECT_EQ(b.control.StrYear(), std::string(letter) == "y" ? "09" : "30");
  }
}

TEST(Refresh, SilenceAtTheTypeIsSkipped) {
  Bench b(instrument());
  b.control.OpenCom();
  auto replies = scripted_instrument();
  replies.erase("74");
  replies["76"] = "76 00 0A";
  script(b, replies);
  b.clear();
  b.control.CmdMonoRefresh_Click();
  expect_connected(b);
  EXPECT_EQ(text(b, "CboComType"), "5BRV870A");
  EXPECT_EQ(text(b, "CboSpeed"), "10");
  EXPECT_EQ(b.write_hex(), kRefreshWire);
}

TEST(Refresh, FailureClosesThePortAndALampClickReconnects) {
  Bench b(instrument());
  b.control.OpenCom();
  b.clear();
  b.sim.faults().silent = true;
  b.control.CmdMonoRefresh_Click();
  ASSERT_EQ(b.dialogs.shown().size(), 1u);
  EXPECT_EQ(b.dialogs.last().text, "Unable to connect to the monochromator.");
  EXPECT_EQ(b.dialogs.last().title, "Prompt");
  EXPECT_EQ(b.dialogs.last().icon, Icon::Information);
  EXPECT_EQ(b.write_hex(), std::vector<std::string>{"79"});
  EXPECT_FALSE(b.port->is_open());
  EXPECT_EQ(b.control.BlnMonConnectFlag(), kFalse);
  EXPECT_EQ(b.control.BlnBusy(), kFalse);
  EXPECT_EQ(b.control.DblMonoStep(), 0.00625);
  EXPECT_EQ(b.control.surface().at("Image1").picture(), 2);  // untouched by the refresh

  b.sim.faults().silent = false;
  b.control.Image1_MouseDown(1);
  expect_connected(b);
  EXPECT_EQ(b.port->opens(), 2);
  EXPECT_EQ(b.control.DblMonoStep(), 0.05);

  std::int16_t chinese = 0;
  b.control.setIntLanguage(chinese);
  b.sim.faults().silent = true;
  b.control.CmdMonoRefresh_Click();
  EXPECT_EQ(b.dialogs.last().text, "无法连接单色仪!");
  EXPECT_EQ(b.dialogs.last().title, "提示");
}

}  // namespace
}  // namespace brivel
