// brivelctl as a whole program in real time over a real pty: --sim serves the line from inside it; a
// silent peer is a pty this test holds open and never answers.

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "ctl_helpers.h"

namespace {

using namespace e2e::brivelctl;

TEST(BrivelctlCommandLine, RefusesWhatItCannotUseWithStatus2AndUsage) {
  const std::vector<Words> unusable = {
      {}, {"fly"}, {"move"}, {"move", "far"},  // no step, no such step, a word missing, no number
      {"--com", "17", "info"}, {"--lang", "fr", "info"}, {"--bogus", "info"},
      {"click", "CmdNothing"}, {"get", "IntColour"},
      {"set", "BlnBusy", "1"}, {"set", "IntSpeed", "fast"},  // not settable, no number
      {"hold", "CmdStop", "1"},                               // not a jog button
      {"key", "TxtYear", "13"},                               // takes no keys
      {"wait", "-1"}, {"--sim", "--port", "/dev/null", "info"},
  };
  for (const Words& args : unusable) {
    SCOPED_TRACE(testing::PrintToString(args));
    const Finished f = ctl(args);
    EXPECT_EQ(f.status, 2) << describe(f);
    EXPECT_NE(f.err.find("usage: brivelctl"), std::string::npos) << describe(f);
  }
}

TEST(BrivelctlCommandLine, UnconnectedControlTakesSettingsAndTheInputBoxTakesAnswersInTurn) {
  // No port is opened: the settings read and take values (17 ignored, 4 stays; 16 stored).
  Finished f = ctl({"--com", "4", "--lang", "zh", "get", "IntUseCom", "get", "IntLanguage", "set", "IntUseCom",
                    "17", "get", "IntUseCom", "set", "IntUseCom", "16", "get", "IntUseCom"});
  ASSERT_EQ(f.status, 0) << describe(f);
  EXPECT_EQ(lines(f.out), (Words{"4", "0", "4", "16"}));
  // The input box (a right press on the lamp asks for the port number) takes the answers in turn and is
  // cancelled when none is left.
  f = ctl({"--answer", "3", "mouse", "Image1", "2", "get", "IntUseCom", "--answer", "99", "mouse", "Image1", "2",
           "get", "IntUseCom", "mouse", "Image1", "2", "get", "IntUseCom"});
  ASSERT_EQ(f.status, 0) << describe(f);
  EXPECT_EQ(lines(f.out), (Words{"3", "3", "3"}));
  EXPECT_TRUE(has_line(f.err, "[Choose the serial no.] Please enter the serial number")) << f.err;
}

TEST(BrivelctlSim, OpenShowsTheSimulatedInstrumentAndSpeedIsLimitedTo250) {
  const Finished f = ctl({"--sim", "open", "info", "show", "TxtSpecNO", "value", "Image1", "set",
                          "IntSpeed", "300", "get", "IntSpeed", "set", "IntSpeed", "37", "get",
                          "IntSpeed", "show", "CboSpeed"});
  ASSERT_EQ(f.status, 0) << describe(f);
  EXPECT_EQ(missing(f.out, {"BlnMonConnectFlag=True", "BlnBusy=False", "LngInstrumentNo=12345",
                            "IntGratingLines=1200", "DblMonoStep=0.00625", "LngZeroPos=1000",
                            "StrYear=21", "IntSpeed=250"}), Words{}) << f.out;
  const Words out = lines(f.out);
  ASSERT_EQ(out.size(), 17u) << f.out;
  // The panel's number, the green lamp, then the speeds.
  EXPECT_EQ(Words(out.begin() + 12, out.end()), (Words{"12345", "2", "250", "37", "37"}));
}

TEST(BrivelctlSim, HoldingTheUpButtonMovesUpAndReleasingStops) {
  const Finished f = ctl({"--sim", "--sim-rate", "400", "--trace", "open", "get", "DblMonoWaveLen",
                          "hold", "CmdHandUp", "0.5", "get", "DblMonoWaveLen", "get", "BlnBusy",
                          "wait", "0.3", "move", "0", "get", "DblMonoWaveLen"});
  ASSERT_EQ(f.status, 0) << describe(f);
  const Words out = lines(f.out);
  ASSERT_EQ(out.size(), 4u) << f.out;
  EXPECT_GT(std::stod(out[1]), std::stod(out[0])) << f.err;
  EXPECT_EQ(out[2], "False");
  EXPECT_EQ(out[3], "0");
  EXPECT_EQ(traced(f.err, "> 4B 01").size(), 1u) << f.err;  // "K" up
  EXPECT_GE(traced(f.err, "> 6B").size(), 1u) << f.err;     // "k" on release
}

TEST(BrivelctlSim, SavedParametersLoadIntoAnInstrumentWithOtherMemory) {
  const std::string saved = temp_path("saved.txt"), edited = temp_path("edited.txt");
  const Finished save = ctl({"--sim", "open", "save", saved});
  ASSERT_EQ(save.status, 0) << describe(save);
  EXPECT_TRUE(has_line(save.err, "[Information] Parameters saved successfully.")) << save.err;
  std::ostringstream text;
  text << std::ifstream(saved, std::ios::binary).rdbuf();
  // Line 1 begins with the instrument number as shown; another instrument: 777, zero offset 1200.
  std::string other = text.str();
  ASSERT_EQ(other.rfind("12345\t", 0), 0u) << other;
  other.replace(0, 5, "00777");
  const std::size_t zero = other.find("\t1000\t");
  ASSERT_NE(zero, std::string::npos) << other;
  other.replace(zero, 6, "\t1200\t");
  std::ofstream(edited, std::ios::binary) << other;
  // A faster motor keeps the download's closing reset short.
  const Finished load = ctl({"--sim", "--sim-rate", "400", "--trace", "--yes", "open", "load", edited, "info"});
  ASSERT_EQ(load.status, 0) << describe(load);
  EXPECT_EQ(missing(load.out, {"BlnMonConnectFlag=True", "LngInstrumentNo=777", "LngZeroPos=1200"}),
            Words{}) << describe(load);
  std::remove(saved.c_str());
  std::remove(edited.c_str());
}

TEST(BrivelctlFaults, OpenThatFindsNoControllerEndsNotConnectedAtOnce) {
  SilentPeer peer;
  ASSERT_FALSE(peer.device.empty());
  const struct {
    Words args;
    const char* says;
    double seconds;  // at most
  } cases[] = {
      {{"--port", peer.device, "open", "info"}, "[Prompt] Monochromator connection failed.", 1.5},
      {{"--sim", "--sim-fault", "silent", "open", "info"}, "[Prompt] Monochromator connection failed.", 1.5},
      {{"--lang", "zh", "--port", "/nonexistent/tty", "open", "info"}, "[提示] 单色仪连接失败!", 1.0},
  };
  for (const auto& c : cases) {
    const Finished f = ctl(c.args);
    EXPECT_EQ(f.status, 3) << describe(f);
    EXPECT_TRUE(has_line(f.err, c.says)) << describe(f);
    EXPECT_TRUE(f.out.empty()) << f.out;  // the steps after the failed open do not run
    EXPECT_LT(f.seconds, c.seconds) << describe(f);
  }
}

TEST(BrivelctlFaults, DeviceVanishingMidMoveFailsTheMoveWithoutSpinning) {
  // The adapter goes mid-move: the port closes, the follow loop's next write fails, the host is told.
  const Finished f = ctl({"--sim", "--sim-fault", "vanish", "open", "move", "546.07", "info"});
  EXPECT_EQ(f.status, 1) << describe(f);
  EXPECT_NE(f.err.find("brivelctl: move: port lost"), std::string::npos) << describe(f);
  EXPECT_LT(f.seconds, 5.0) << describe(f);
  EXPECT_LT(f.cpu_seconds, 0.5 * f.seconds + 0.2) << describe(f);
}

}  // namespace
