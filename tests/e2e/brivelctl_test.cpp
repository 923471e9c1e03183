// brivelctl as a whole program, in real time, over a real pseudo-terminal: with
// --sim the simulated controller serves the line from inside brivelctl; a silent peer
// is a pseudo-terminal that this test holds open and never answers.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "run_program.h"

#ifndef BRIVELCTL_PROGRAM
#error "brivel_e2e_tests needs BRIVELCTL_PROGRAM (the brivelctl target)"
#endif

namespace {

using e2e::Finished;
using e2e::has_line;
using e2e::lines;
using Words = std::vector<std::string>;

constexpr double kLimit = 20.0;  // seconds: no run of brivelctl here needs more than a few

Finished ctl(const Words& args, double limit = kLimit) {
  return e2e::run_program(BRIVELCTL_PROGRAM, args, limit);
}

// The value of "Name=value" among the lines of `out`; "<none>" when absent.
std::string property(const std::string& out, const std::string& name) {
  for (const std::string& line : lines(out))
    if (line.rfind(name + "=", 0) == 0) return line.substr(name.size() + 1);
  return "<none>";
}

// Lines of --trace output that begin with `prefix` ("> 57", "< 77").
std::vector<std::string> traced(const std::string& err, const std::string& prefix) {
  std::vector<std::string> found;
  for (const std::string& line : lines(err))
    if (line.rfind(prefix, 0) == 0) found.push_back(line);
  return found;
}

std::string describe(const Finished& f) {
  std::ostringstream s;
  s << "status " << f.status << (f.timed_out ? " (timed out)" : "") << " after " << f.seconds
    << " s\n--- stdout\n" << f.out << "--- stderr\n" << f.err;
  return s.str();
}

// A pseudo-terminal whose far end nobody answers: a controller that stays silent.
class SilentPeer {
 public:
  SilentPeer() {
    int slave = -1;
    char name[256] = {};
    if (openpty(&master_, &slave, name, nullptr, nullptr) != 0) return;
    close(slave);  // the master keeps the slave device in existence
    device_ = name;
  }
  ~SilentPeer() {
    if (master_ >= 0) close(master_);
  }
  const std::string& device() const { return device_; }

 private:
  int master_ = -1;
  std::string device_;
};

std::string temp_path(const std::string& name) {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir && *dir ? dir : "/tmp") + "/brivelctl-e2e-" + std::to_string(getpid()) +
         "-" + name;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// ---- the command line --------------------------------------------------------------

TEST(BrivelctlCommandLine, RefusesWhatItCannotUseWithStatus2AndUsage) {
  const std::vector<Words> unusable = {
      {},                                   // no step
      {"fly"},                              // no such step
      {"move"},                             // a word missing
      {"move", "far"},                      // no number
      {"--com", "17", "info"},              // no such port number
      {"--lang", "fr", "info"},
      {"--bogus", "info"},
      {"click", "CmdNothing"},              // no such control
      {"get", "IntColour"},
      {"set", "BlnBusy", "1"},              // not settable
      {"set", "IntSpeed", "fast"},
      {"hold", "CmdStop", "1"},             // not a jog button
      {"key", "TxtYear", "13"},             // takes no keys
      {"wait", "-1"},
      {"--sim", "--port", "/dev/null", "info"},
  };
  for (const Words& args : unusable) {
    const Finished f = ctl(args);
    std::string joined;
    for (const std::string& a : args) joined += a + " ";
    EXPECT_EQ(f.status, 2) << joined << describe(f);
    EXPECT_NE(f.err.find("usage: brivelctl"), std::string::npos) << joined << describe(f);
  }
}

TEST(BrivelctlCommandLine, UnconnectedControlShowsCreationValuesAndTakesSettings) {
  // No port is opened by any of these steps.
  const Finished f = ctl({"--com", "4", "--lang", "zh", "info", "set", "IntUseCom", "17", "get",
                          "IntUseCom", "set", "IntUseCom", "16", "get", "IntUseCom"});
  ASSERT_EQ(f.status, 0) << describe(f);
  EXPECT_EQ(property(f.out, "IntUseCom"), "4");
  EXPECT_EQ(property(f.out, "BlnBusy"), "False");
  EXPECT_EQ(property(f.out, "BlnMonConnectFlag"), "False");
  EXPECT_EQ(property(f.out, "IntSpeed"), "250");
  EXPECT_EQ(property(f.out, "DblMonoStep"), "0");
  EXPECT_EQ(property(f.out, "StrYear"), "00000");
  EXPECT_EQ(property(f.out, "IntLanguage"), "0");
  // Twelve property lines, then 17 ignored (4 stays), then 16 stored.
  const auto out = lines(f.out);
  ASSERT_EQ(out.size(), 14u) << f.out;
  EXPECT_EQ(out[0].rfind("IntUseCom=", 0), 0u);
  EXPECT_EQ(out[11].rfind("IntLanguage=", 0), 0u);
  EXPECT_EQ(out[12], "4");
  EXPECT_EQ(out[13], "16");
}

TEST(BrivelctlCommandLine, InputBoxTakesTheAnswersInTurnAndIsCancelledWhenNoneIsLeft) {
  // A right press on the lamp asks for the port number.
  const Finished f = ctl({"--answer", "3", "mouse", "Image1", "2", "get", "IntUseCom", "--answer",
                          "99", "mouse", "Image1", "2", "get", "IntUseCom", "mouse", "Image1", "2",
                          "get", "IntUseCom"});
  ASSERT_EQ(f.status, 0) << describe(f);
  EXPECT_EQ(lines(f.out), (std::vector<std::string>{"3", "3", "3"}));
  EXPECT_TRUE(has_line(f.err, "[Choose the serial no.] Please enter the serial number")) << f.err;
}

// ---- against the simulated controller ----------------------------------------------------

TEST(BrivelctlSim, OpenShowsTheSimulatedInstrument) {
  const Finished f = ctl({"--sim", "open", "info", "show", "TxtSpecNO", "value", "Image1"});
  ASSERT_EQ(f.status, 0) << describe(f);
  EXPECT_EQ(property(f.out, "BlnMonConnectFlag"), "True");
  EXPECT_EQ(property(f.out, "BlnBusy"), "False");
  EXPECT_EQ(property(f.out, "LngInstrumentNo"), "12345");
  EXPECT_EQ(property(f.out, "IntGratingLines"), "1200");
  EXPECT_EQ(property(f.out, "DblMonoStep"), "0.00625");
  EXPECT_EQ(property(f.out, "LngZeroPos"), "1000");
  EXPECT_EQ(property(f.out, "StrYear"), "21");
  EXPECT_EQ(property(f.out, "IntSpeed"), "250");
  const auto out = lines(f.out);
  ASSERT_EQ(out.size(), 14u) << f.out;
  EXPECT_EQ(out[12], "12345");
  EXPECT_EQ(out[13], "2");  // the green lamp
}

TEST(BrivelctlSim, MoveEndsAtTheTargetAndTracesTheWire) {
  const Finished f = ctl({"--sim", "--trace", "open", "move", "546.07", "get", "DblMonoWaveLen",
                          "get", "BlnBusy"});
  ASSERT_EQ(f.status, 0) << describe(f);
  EXPECT_EQ(lines(f.out), (std::vector<std::string>{"546.07", "False"}));
  // 546.07 nm / 0.00625 nm per step = 87371.2, rounded to 87371 = 0x0001554B.
  const auto moves = traced(f.err, "> 57");
  ASSERT_EQ(moves.size(), 1u) << f.err;
  EXPECT_EQ(moves[0], "> 57 00 01 55 4B");
  // The follow loop asks for the position; the reports come back as "w" and four bytes.
  EXPECT_GE(traced(f.err, "> 77").size(), 2u) << f.err;
  const auto reports = traced(f.err, "< 77");
  ASSERT_FALSE(reports.empty()) << f.err;
  for (const std::string& r : reports) EXPECT_EQ(r.size(), std::string("< 77 00 00 00 00").size()) << r;
}

TEST(BrivelctlSim, HoldingTheUpButtonMovesUpAndReleasingStops) {
  const Finished f = ctl({"--sim", "--sim-rate", "400", "--trace", "open", "get", "DblMonoWaveLen",
                          "hold", "CmdHandUp", "0.5", "get", "DblMonoWaveLen", "get", "BlnBusy",
                          "wait", "0.3", "move", "0", "get", "DblMonoWaveLen"});
  ASSERT_EQ(f.status, 0) << describe(f);
  const auto out = lines(f.out);
  ASSERT_EQ(out.size(), 4u) << f.out;
  const double before = std::stod(out[0]);
  const double after = std::stod(out[1]);
  EXPECT_GT(after, before) << f.err;
  EXPECT_EQ(out[2], "False");
  EXPECT_EQ(traced(f.err, "> 4B 01").size(), 1u) << f.err;  // "K" up
  EXPECT_GE(traced(f.err, "> 6B").size(), 1u) << f.err;     // "k" on release
  EXPECT_EQ(out[3], "0");
}

TEST(BrivelctlSim, StopDuringAMoveEndsItEarly) {
  // A long move; CmdStop is clicked from inside the move's waits.
  const Finished whole = ctl({"--sim", "open", "later", "0.3", "CmdStop", "move", "5000", "get",
                              "DblMonoWaveLen", "get", "BlnBusy"});
  ASSERT_EQ(whole.status, 0) << describe(whole);
  const auto out = lines(whole.out);
  ASSERT_EQ(out.size(), 2u) << whole.out;
  const double reached = std::stod(out[0]);
  EXPECT_GT(reached, 0.0) << describe(whole);
  EXPECT_LT(reached, 5000.0) << describe(whole);
  EXPECT_EQ(out[1], "False");
}

TEST(BrivelctlSim, SpeedIsLimitedTo250) {
  const Finished f = ctl({"--sim", "open", "set", "IntSpeed", "300", "get", "IntSpeed", "set",
                          "IntSpeed", "37", "get", "IntSpeed", "show", "CboSpeed"});
  ASSERT_EQ(f.status, 0) << describe(f);
  EXPECT_EQ(lines(f.out), (std::vector<std::string>{"250", "37", "37"}));
}

TEST(BrivelctlSim, SavedParametersLoadIntoAnInstrumentWithOtherMemory) {
  const std::string saved = temp_path("saved.txt");
  const std::string edited = temp_path("edited.txt");
  const Finished save = ctl({"--sim", "open", "save", saved});
  ASSERT_EQ(save.status, 0) << describe(save);
  EXPECT_TRUE(has_line(save.err, "[Information] Parameters saved successfully.")) << save.err;
  const std::string text = read_file(saved);
  // Line 1: instrument number first, as the panel shows it.
  ASSERT_EQ(text.rfind("12345\t", 0), 0u) << text;

  // Another instrument: number 777 and zero offset 1200 in the file.
  std::string other = "00777" + text.substr(5);
  const std::size_t zero = other.find("\t1000\t");
  ASSERT_NE(zero, std::string::npos) << text;
  other.replace(zero, 6, "\t1200\t");
  std::ofstream(edited, std::ios::binary) << other;

  // The reset at the end of the download returns the grating to its reference: a
  // faster motor keeps that short.
  const Finished load =
      ctl({"--sim", "--sim-rate", "400", "--trace", "--yes", "open", "load", edited, "info"});
  ASSERT_EQ(load.status, 0) << describe(load);
  EXPECT_EQ(property(load.out, "BlnMonConnectFlag"), "True") << describe(load);
  EXPECT_EQ(property(load.out, "LngInstrumentNo"), "777") << describe(load);
  EXPECT_EQ(property(load.out, "LngZeroPos"), "1200") << describe(load);
  std::remove(saved.c_str());
  std::remove(edited.c_str());
}

TEST(BrivelctlSim, FilterCheckBoxAsksAndCancelPutsItBack) {
  // The simulated wheel is in use: the box is checked after the read-back; a click
  // clears it and asks whether to disable the wheel.
  const Finished no = ctl({"--sim", "--trace", "open", "value", "ChkUseFilter", "click",
                           "ChkUseFilter", "value", "ChkUseFilter"});
  ASSERT_EQ(no.status, 0) << describe(no);
  EXPECT_EQ(lines(no.out), (std::vector<std::string>{"1", "1"}));
  EXPECT_TRUE(has_line(no.err, "[tervia spectrum control system] Disable the filter wheel?")) << no.err;
  EXPECT_TRUE(traced(no.err, "> 53").empty()) << no.err;  // nothing sent

  const Finished yes = ctl({"--sim", "--trace", "--yes", "open", "click", "ChkUseFilter", "value",
                            "ChkUseFilter", "get", "BlnBusy"});
  ASSERT_EQ(yes.status, 0) << describe(yes);
  EXPECT_EQ(lines(yes.out), (std::vector<std::string>{"0", "False"}));
  EXPECT_EQ(traced(yes.err, "> 53 00").size(), 1u) << yes.err;
}

TEST(BrivelctlSim, PortNumberReachesBrivelSimThroughTheEnvironment) {
  // brivel-sim serves the line under a stable name; BRIVEL_COM2 points port 2 there.
  const std::string link = temp_path("com2");
  e2e::Background sim(BRIVEL_SIM_PROGRAM, {"--link", link, "--instrument-no", "4242"});
  for (int i = 0; i < 200 && access(link.c_str(), F_OK) != 0; ++i) usleep(10000);
  ASSERT_EQ(access(link.c_str(), F_OK), 0) << "brivel-sim made no link";
  const Finished f = e2e::run_program(BRIVELCTL_PROGRAM, {"--com", "2", "open", "info", "close", "get",
                                      "BlnMonConnectFlag"}, kLimit, {"BRIVEL_COM2=" + link});
  ASSERT_EQ(f.status, 0) << describe(f);
  EXPECT_EQ(property(f.out, "IntUseCom"), "2");
  EXPECT_EQ(property(f.out, "LngInstrumentNo"), "4242");
  EXPECT_EQ(lines(f.out).back(), "False");
  // --port wins over the environment: port 2 is then the silent peer.
  SilentPeer peer;
  const Finished silent = e2e::run_program(BRIVELCTL_PROGRAM, {"--com", "2", "--port", peer.device(),
                                           "open"}, kLimit, {"BRIVEL_COM2=" + link});
  EXPECT_EQ(silent.status, 3) << describe(silent);
}

// ---- faults -------------------------------------------------------------------------

TEST(BrivelctlFaults, SilentControllerEndsOpenNotConnectedWithinAboutASecond) {
  SilentPeer peer;
  ASSERT_FALSE(peer.device().empty());
  // A line nobody answers, and the simulator with a dead transmit line.
  const std::vector<Words> silent = {{"--port", peer.device(), "open", "info"},
                                     {"--sim", "--sim-fault", "silent", "open", "info"}};
  for (const Words& args : silent) {
    const Finished f = ctl(args);
    EXPECT_EQ(f.status, 3) << describe(f);
    EXPECT_TRUE(has_line(f.err, "[Prompt] Monochromator connection failed.")) << describe(f);
    EXPECT_TRUE(f.out.empty()) << f.out;  // the steps after the failed open do not run
    EXPECT_LT(f.seconds, 1.5) << describe(f);
  }
}

TEST(BrivelctlFaults, DeviceVanishingMidMoveFailsTheMoveWithoutSpinning) {
  // The adapter disappears while the grating moves: the port closes itself, the next
  // write of the follow loop fails and the method passes the failure to the host.
  const Finished f = ctl({"--sim", "--sim-fault", "vanish", "open", "move", "546.07", "info"});
  EXPECT_EQ(f.status, 1) << describe(f);
  EXPECT_NE(f.err.find("brivelctl: move: port failure"), std::string::npos) << describe(f);
  EXPECT_LT(f.seconds, 5.0) << describe(f);
  EXPECT_LT(f.cpu_seconds, 0.5 * f.seconds + 0.2) << describe(f);
}

TEST(BrivelctlFaults, PortThatCannotBeOpenedFailsAtOnceInChinese) {
  const Finished f = ctl({"--lang", "zh", "--port", "/nonexistent/tty", "open"});
  EXPECT_EQ(f.status, 3) << describe(f);
  EXPECT_TRUE(has_line(f.err, "[提示] 单色仪连接失败!")) << describe(f);
  EXPECT_LT(f.seconds, 1.0) << describe(f);
}

TEST(BrivelctlFaults, OperatorButtonsRefuseWithoutConnectionAndWriteNothing) {
  const Finished f = ctl({"--trace", "click", "CmdStop", "hold", "CmdHandUp", "0.1", "info"});
  EXPECT_EQ(f.status, 0) << describe(f);
  EXPECT_TRUE(traced(f.err, "> ").empty()) << f.err;
  EXPECT_TRUE(has_line(f.err, "[] Please connect the monochromator first.")) << f.err;
  EXPECT_TRUE(has_line(f.err, "[Prompt] Monochromator connection failed.")) << f.err;
  EXPECT_EQ(property(f.out, "BlnBusy"), "False") << f.out;
}

TEST(BrivelctlFaults, MoveBeforeOpenIsARunTimeFailureOfTheMethod) {
  // No grating is known yet: the step count divides by a step size of 0.
  const Finished f = ctl({"move", "500", "info"});
  EXPECT_EQ(f.status, 1) << describe(f);
  EXPECT_NE(f.err.find("brivelctl: move: "), std::string::npos) << f.err;
  EXPECT_TRUE(f.out.empty()) << f.out;  // the run stops at the failure
}

}  // namespace
