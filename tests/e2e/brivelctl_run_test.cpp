// How a brivelctl run ends and what it shows: the worst outcome's exit status, SIGINT and SIGTERM
// stopping the motor as the stop button does, the progress line on a terminal, the traffic log.

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <iterator>
#include <regex>

#include "ctl_helpers.h"
#include "live_program.h"

namespace {

using namespace e2e::brivelctl;

TEST(BrivelctlStatus, TheWorstOutcomeDecidesAndEveryStepRuns) {
  const struct {
    Words args;
    int status;
    std::size_t out_lines;  // the steps that printed ran
  } cases[] = {
      // A refusal: the steps after it still run.
      {{"--sim", "open", "move", "-5", "get", "IntSpeed"}, 4, 1},
      // A refusal inside a click scheduled with later counts too.
      {{"later", "0.1", "CmdUp", "wait", "0.3", "get", "BlnBusy"}, 4, 1},
      // Success and information are no refusal; nor is a question answered Cancel.
      {{"--sim", "--yes", "open", "set", "DblOpenPos", "500", "get", "DblOpenPos"}, 0, 1},
      {{"--sim", "open", "click", "ChkUseFilter", "value", "ChkUseFilter"}, 0, 1},
      // A failure after a refusal: the failure is worse, and ends the run.
      {{"--sim", "open", "move", "-5", "close", "move", "600", "get", "IntSpeed"}, 1, 0},
      // An open that fails after a refusal: not connected is worse.
      {{"click", "CmdStop", "--port", "/dev/null", "open", "get", "IntSpeed"}, 3, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    const Finished f = ctl(c.args);
    EXPECT_EQ(f.status, c.status) << describe(f);
    EXPECT_EQ(lines(f.out).size(), c.out_lines) << describe(f);
  }
}

TEST(BrivelctlStatus, StopOnRefusalEndsTheRunAtTheFirstRefusal) {
  const Finished f = ctl({"--sim", "--stop-on-refusal", "open", "move", "-5", "get", "DblMonoWaveLen"});
  EXPECT_EQ(f.status, 4) << describe(f);
  EXPECT_TRUE(f.out.empty()) << f.out;
  EXPECT_TRUE(has_line(f.err, "[Prompt] Can't move to the assigned wavelength:-5")) << f.err;
  EXPECT_TRUE(has_line(f.err, "brivelctl: move: refused; --stop-on-refusal ends the run")) << f.err;
}

TEST(BrivelctlStatus, VersionAndAnUnwritableTrafficLog) {
  const Finished version = ctl({"--version"});
  EXPECT_EQ(version.status, 0) << describe(version);
  EXPECT_TRUE(std::regex_match(version.out, std::regex("brivelctl \\d+\\.\\d+\\.\\d+\n"))) << version.out;
  const Finished log = ctl({"--sim", "--trace-file", "/nonexistent-folder/traffic.log", "open"});
  EXPECT_EQ(log.status, 2) << describe(log);
  EXPECT_NE(log.err.find("brivelctl: --trace-file /nonexistent-folder/traffic.log: "), std::string::npos)
      << log.err;
}

// The --trace lines from the last one that begins with `from` on, without timestamps.
Words trace_from(const std::string& err, const std::string& from) {
  const Words all = traced(err, "");
  Words tail;
  for (const std::string& line : all) {
    if (line.rfind(from, 0) == 0) tail.clear();
    if (line.rfind(from, 0) == 0 || !tail.empty()) tail.push_back(line);
  }
  return tail;
}

// "k" follows the stop, then the closing position request: the stop button's sequence.
void expect_stopped_as_the_stop_button_does(const Words& after) {
  const auto k = std::find(after.begin(), after.end(), "> 6B");
  ASSERT_NE(k, after.end()) << testing::PrintToString(after);
  EXPECT_EQ(std::count(after.begin(), after.end(), "> 6B"), 1) << testing::PrintToString(after);
  EXPECT_NE(std::find(k, after.end(), "> 77"), after.end()) << testing::PrintToString(after);
}

TEST(BrivelctlSignals, SigintAndSigtermStopTheMotorAsTheStopButtonDoesAndRunNoFurtherStep) {
  const struct {
    Words args;
    std::string started;   // the command whose --trace line shows the motion under way
    std::size_t traced;    // lines from it on that show it running
    int signal, status;
    const char* says;      // besides "brivelctl: stopped by SIG..."
  } cases[] = {
      {{"--sim", "--trace", "open", "move", "5000", "get", "DblMonoWaveLen"}, "> 57", 6, SIGINT, 130,
       "brivelctl: move: stopped on request; the motor was stopped"},
      // A slow motor: the return to the reference would take minutes.
      {{"--sim", "--sim-rate", "1", "--trace", "--yes", "open", "click", "CmdReAnchor", "get", "BlnBusy"},
       "> 4B 08", 1, SIGTERM, 143, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.started);
    e2e::LiveProgram program(BRIVELCTL_PROGRAM, c.args);
    ASSERT_TRUE(program.read_until(
        [&](const std::string&, const std::string& err) { return trace_from(err, c.started).size() >= c.traced; },
        kLimit))
        << program.err();
    program.signal(c.signal);
    const Finished f = program.finish(kLimit);
    EXPECT_EQ(f.status, c.status) << describe(f);
    EXPECT_TRUE(f.out.empty()) << f.out;
    EXPECT_TRUE(!c.says || has_line(f.err, c.says)) << f.err;
    EXPECT_TRUE(has_line(f.err, std::string("brivelctl: stopped by ") + (c.signal == SIGINT ? "SIGINT" : "SIGTERM")))
        << f.err;
    expect_stopped_as_the_stop_button_does(trace_from(f.err, c.started));
  }
}

TEST(BrivelctlProgress, AMoveShowsWhereItIsOnATerminalAndNothingElsewhere) {
  e2e::LiveSetup terminal;
  terminal.err_on_terminal = true;
  e2e::LiveProgram program(BRIVELCTL_PROGRAM, {"--sim", "open", "move", "600", "get", "DblMonoWaveLen"},
                           terminal);
  const Finished shown = program.finish(kLimit);
  ASSERT_EQ(shown.status, 0) << describe(shown);
  EXPECT_EQ(lines(shown.out), Words{"600"});
  // Drawn over and over in place: the step, the wavelength now, the target, the rate.
  const std::regex drawn("\r\033\\[Kmove 600: \\d+\\.\\d\\d nm -> 600\\.00 nm, [+]\\d+\\.\\d\\d nm/s \\(\\d+\\.\\d s\\)");
  const auto count = std::distance(std::sregex_iterator(shown.err.begin(), shown.err.end(), drawn),
                                   std::sregex_iterator());
  EXPECT_GE(count, 2) << testing::PrintToString(shown.err);
  // Removed when the move ended.
  const std::string erase = "\r\033[K";
  ASSERT_GE(shown.err.size(), erase.size());
  EXPECT_EQ(shown.err.substr(shown.err.size() - erase.size()), erase) << testing::PrintToString(shown.err);
  const Finished piped = ctl({"--sim", "open", "move", "600"});
  ASSERT_EQ(piped.status, 0) << describe(piped);
  EXPECT_EQ(piped.err.find('\r'), std::string::npos) << testing::PrintToString(piped.err);
  EXPECT_EQ(piped.err.find("nm/s"), std::string::npos) << piped.err;
}

// Every line: milliseconds with three decimals, the direction, the bytes in hex; times never go back.
void expect_traffic_lines(const Words& log) {
  const std::regex shape(" *(\\d+\\.\\d{3}) ([<>]) [0-9A-F]{2}( [0-9A-F]{2})*");
  double previous = 0;
  for (const std::string& line : log) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, shape)) << line;
    const double at = std::stod(m[1]);
    EXPECT_GE(at, previous) << line;
    previous = at;
  }
}

TEST(BrivelctlTrace, TraceLinesCarryMillisecondsAndAFileTakesTheSameLines) {
  const std::string path = temp_path("traffic.log");
  std::remove(path.c_str());
  const Finished f = ctl({"--sim", "--trace", "--trace-file", path, "open", "move", "505"});
  ASSERT_EQ(f.status, 0) << describe(f);
  Words on_stderr;
  for (const std::string& line : lines(f.err))
    if (line.find(" > ") != std::string::npos || line.find(" < ") != std::string::npos) on_stderr.push_back(line);
  ASSERT_FALSE(on_stderr.empty()) << f.err;
  EXPECT_EQ(on_stderr.front().substr(on_stderr.front().find('>')), "> 79");  // the first question
  expect_traffic_lines(on_stderr);
  EXPECT_EQ(lines(std::string(std::istreambuf_iterator<char>(std::ifstream(path).rdbuf()), {})), on_stderr);
  std::remove(path.c_str());
}

TEST(BrivelctlTrace, LoggingRulesOfTheEnvironmentTurnTheLogOn) {
  const Finished quiet = ctl({"--sim", "open"});
  ASSERT_EQ(quiet.status, 0) << describe(quiet);
  EXPECT_TRUE(traced(quiet.err, "").empty()) << quiet.err;
  const Finished f = ctl({"--sim", "open"}, {"QT_LOGGING_RULES=brivel.serial.debug=true"});
  ASSERT_EQ(f.status, 0) << describe(f);
  Words log;
  const std::string prefix = "brivel.serial: ";
  for (const std::string& line : lines(f.err))
    if (line.rfind(prefix, 0) == 0) log.push_back(line.substr(prefix.size()));
  ASSERT_FALSE(log.empty()) << f.err;
  expect_traffic_lines(log);
}

}  // namespace
