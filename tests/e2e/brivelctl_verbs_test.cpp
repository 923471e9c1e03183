// brivelctl's verbs on the simulated controller and without a connection, questions answered no, the
// check of a file before a download, and what it tells of itself: help, manual pages, completion.

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <fstream>

#include "ctl_helpers.h"
#include "live_program.h"

namespace {

using namespace e2e::brivelctl;

// A fast motor: a move of 100 nm takes a few hundredths of a second.
const Words kFastSim = {"--sim", "--sim-rate", "4000", "--trace"};

Words sim(const Words& steps, const Words& before = {}) {
  Words args = kFastSim;
  args.insert(args.end(), before.begin(), before.end());
  args.insert(args.end(), steps.begin(), steps.end());
  return args;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(BrivelctlVerbs, StepJogAndSpeedDriveTheInstrument) {
  const Finished f = ctl(sim({"open", "step", "+10", "get", "DblMonoWaveLen", "step", "-2.5", "get",
                              "DblMonoWaveLen", "jog", "up", "0.2", "get", "DblMonoWaveLen", "speed", "100",
                              "get", "IntSpeed", "get", "BlnBusy"}));
  ASSERT_EQ(f.status, 0) << describe(f);
  const Words out = lines(f.out);
  ASSERT_EQ(out.size(), 5u) << describe(f);   // 510: from the power-on wavelength, 500 nm
  EXPECT_EQ((Words{out[0], out[1], out[3], out[4]}), (Words{"510", "507.5", "100", "False"}));
  EXPECT_GT(std::stod(out[2]), 507.5) << describe(f);
  // 10 nm up and 2.5 nm down at 0.00625 nm per step: "U" 1600 and "D" 400 steps.
  EXPECT_EQ(traced(f.err, "> 55"), Words{"> 55 00 00 06 40"}) << f.err;
  EXPECT_EQ(traced(f.err, "> 44"), Words{"> 44 00 00 01 90"}) << f.err;
  EXPECT_EQ(traced(f.err, "> 4B 01").size(), 1u) << f.err;  // the jog, then its stop
  EXPECT_FALSE(traced(f.err, "> 6B").empty()) << f.err;
  EXPECT_FALSE(traced(f.err, "> 56 64").empty()) << f.err;   // "V" 100
}

TEST(BrivelctlVerbs, ScanPrintsOneLinePerPointInEitherDirection) {
  const Finished up = ctl(sim({"open", "scan", "500", "520", "10", "scan", "520", "505", "-7.5"}));
  ASSERT_EQ(up.status, 0) << describe(up);
  EXPECT_EQ(lines(up.out), (Words{"500", "510", "520", "520", "512.5", "505"}));
  // The step must lead from start to stop, and cannot be 0: nothing runs.
  for (const Words& bad : {Words{"scan", "500", "520", "-10"}, Words{"scan", "500", "520", "0"},
                           Words{"scan", "500", "x", "1"}}) {
    const Finished f = ctl(sim(bad));
    EXPECT_EQ(f.status, 2) << describe(f);
    EXPECT_TRUE(traced(f.err, "> ").empty()) << f.err;
  }
}

TEST(BrivelctlVerbs, LaterStopEndsAScanWhereItIs) {
  const Finished f = ctl({"--sim", "open", "later", "0.3", "stop", "scan", "500", "5000", "4500", "get", "BlnBusy"});
  ASSERT_EQ(f.status, 0) << describe(f);
  EXPECT_EQ(lines(f.out), (Words{"500", "False"})) << describe(f);   // the first point, the step after
  EXPECT_TRUE(contains(f.err, "brivelctl: scan: stopped at ")) << f.err;
}

TEST(BrivelctlVerbs, QuestionsAnsweredNoAreNotDoneAndSendNothing) {
  const Finished no = ctl(sim({"open", "reposition", "wheel", "off", "filters", "400", "700", "power-on", "450",
                               "get", "DblOpenPos"}));
  EXPECT_EQ(no.status, 4) << describe(no);
  for (const char* verb : {"reposition", "wheel", "filters", "power-on"})
    EXPECT_TRUE(has_line(no.err, std::string("brivelctl: ") + verb +
                                     ": not done: the question was answered no (--yes answers yes)"))
        << verb << '\n' << no.err;
  EXPECT_TRUE(has_line(no.err, "[Reposition] Do you really want to reposition?")) << no.err;
  EXPECT_EQ(lines(no.out), Words{"500"});
  for (const char* command : {"> 4B 08", "> 53", "> 46", "> 4D"}) EXPECT_TRUE(traced(no.err, command).empty()) << command;
  // --stop-on-refusal: the first question answered no ends the run.
  const Finished first = ctl(sim({"open", "wheel", "off", "get", "BlnBusy"}, {"--stop-on-refusal"}));
  EXPECT_EQ(first.status, 4) << describe(first);
  EXPECT_TRUE(first.out.empty()) << first.out;
}

TEST(BrivelctlVerbs, WithYesTheWheelSwitchesOnceAndTheTablesAreWritten) {
  const Finished f = ctl(sim({"open", "wheel", "off", "value", "ChkUseFilter", "wheel", "off", "filters", "400",
                              "700", "show", "CboFilterCount", "show", "TxtFilterStartWavelen(1)", "power-on", "450",
                              "get", "DblOpenPos"},
                             {"--yes"}));
  ASSERT_EQ(f.status, 0) << describe(f);
  EXPECT_EQ(lines(f.out), (Words{"0", "2", "700.0", "450"})) << f.err;
  // The second "wheel off" finds the wheel off: no question, nothing sent.
  EXPECT_EQ(traced(f.err, "> 53").size(), 1u) << f.err;
  const Words err = lines(f.err);
  EXPECT_EQ(std::count_if(err.begin(), err.end(), [](auto& l) { return contains(l, "Disable the filter wheel?"); }), 1);
  EXPECT_EQ(traced(f.err, "> 46 02 0D").size(), 1u) << f.err;   // "F" with two filters
}

TEST(BrivelctlVerbs, WatchShowsTheMotionAndCtrlCEndsOnlyTheWatch) {
  // A click started by `later` moves 50 nm while the watch runs.
  e2e::LiveProgram program(BRIVELCTL_PROGRAM, {"--sim", "--sim-rate", "400", "open", "type", "CboDistance", "50",
                                               "later", "0.2", "CmdUp", "watch", "get", "BlnBusy"});
  ASSERT_TRUE(program.read_until(
      [](const std::string& out, const std::string&) { return contains(out, "550.00 nm, idle"); }, kLimit))
      << program.out() << program.err();
  program.signal(SIGINT);
  const Finished f = program.finish(kLimit);
  EXPECT_EQ(f.status, 0) << describe(f);
  const Words out = lines(f.out);
  ASSERT_GE(out.size(), 4u) << describe(f);
  EXPECT_EQ(out.front(), "500.00 nm, idle, speed 250, filter wheel on");
  EXPECT_TRUE(contains(f.out, ", busy")) << f.out;
  EXPECT_EQ(out.back(), "False");   // the step after the watch ran
}

TEST(BrivelctlVerbs, ReadingsAndVerbsWithoutAConnectionSayOpenFirst) {
  // The port number, the flags and the language are the control's own: they read.
  const Finished own = ctl({"get", "BlnMonConnectFlag", "get", "IntUseCom", "get", "IntLanguage", "get", "BlnBusy"});
  ASSERT_EQ(own.status, 0) << describe(own);
  EXPECT_EQ(lines(own.out), (Words{"False", "1", "1", "False"}));
  const std::vector<Words> unconnected = {
      {"get", "DblMonoWaveLen"}, {"get", "IntSpeed"}, {"info"}, {"jog", "up", "1"}, {"scan", "400", "500", "10"},
      {"wheel", "on"}, {"save", temp_path("never.txt")}, {"watch"}, {"move", "500"},
      {"--sim", "open", "close", "get", "LngInstrumentNo"},   // after a close as before an open
  };
  for (const Words& args : unconnected) {
    SCOPED_TRACE(testing::PrintToString(args));
    const Finished f = ctl(args);
    EXPECT_EQ(f.status, 1) << describe(f);
    EXPECT_TRUE(contains(f.err, ": not connected: open first")) << f.err;
    EXPECT_TRUE(f.out.empty()) << f.out;
  }
}

TEST(BrivelctlVerbs, LoadRefusesAFileThatIsNoParameterFileAndSendsNothing) {
  const std::string file = temp_path("load.txt");
  const std::string line2 = "1\t0\t700\t3\t350.0\t650.0\t800.0\t\r\n";
  const struct {
    std::string content;
    const char* says;
  } cases[] = {
      {"12345\t130\t500\t1000\t21\t500\t\r\n" + line2, "line 1 has 6 fields, a parameter file's line 1 has 7"},
      {"12345\t130\tfive\t1000\t21\t500\t6\t\r\n" + line2, "line 1 field 3 (\"five\") is not a number"},
      {"12345\t130\t500\t1000\t21\t500\t6\t\r\n1\t0\t700\t3\t350.0\t\r\n", "line 2 has 5 fields"},
      {std::string("\x7F" "ELF\x02\x01\x01\0\0\0\0\0", 12), "line 1 field 1: the byte 0x7F is not text"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.says);
    std::ofstream(file, std::ios::binary) << c.content;
    const Finished f = ctl(sim({"open", "load", file, "get", "LngInstrumentNo"}));
    EXPECT_EQ(f.status, 4) << describe(f);
    // One line: where the problem is, what it is, and that nothing went out.
    const std::string said = "brivelctl: load: " + file + ": " + c.says;
    const std::size_t at = f.err.find(said);
    ASSERT_NE(at, std::string::npos) << f.err;
    const std::string line = f.err.substr(at, f.err.find('\n', at) - at);
    const std::string end = "; nothing was sent";
    EXPECT_EQ(line.substr(line.size() - end.size()), end) << line;
    // The identification's last request ("f" for the filter wheel), and nothing after it.
    const Words sent = traced(f.err, "> ");
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.back(), "> 66 0D") << f.err;
    EXPECT_EQ(lines(f.out), Words{"12345"});   // the run goes on
  }
  std::remove(file.c_str());
}

const Words kEverySteps = {"open",  "close", "info",  "move",   "step",  "jog",  "stop",  "speed",
                           "power-on", "reposition", "refresh", "wheel", "filters", "save", "load", "scan",
                           "watch", "get",   "set",   "click",  "type",  "key",  "mouse", "hold",
                           "later", "show",  "value", "para",   "run",   "wait", "ports"};

TEST(BrivelctlHelp, HelpListsEveryStepOnOneLineAndTellsOfEachInFull) {
  const Finished help = ctl({"--help"});
  ASSERT_EQ(help.status, 0) << describe(help);
  for (const std::string& line : lines(help.out)) EXPECT_LE(line.size(), 80u) << line;
  for (const std::string& step : kEverySteps) {
    SCOPED_TRACE(step);
    const Words out = lines(help.out);
    EXPECT_EQ(std::count_if(out.begin(), out.end(), [&](auto& l) { return l.rfind("  " + step + ' ', 0) == 0; }), 1);
    const Finished one = ctl({"help", step});
    EXPECT_EQ(one.status, 0) << describe(one);
    EXPECT_EQ(one.out.rfind("brivelctl " + step, 0), 0u) << one.out;
  }
  for (const char* option : {"--com N", "--yes", "--stop-on-refusal", "--sim-fault FAULT"})
    EXPECT_TRUE(contains(help.out, std::string("  ") + option + ' ')) << option;
  const Finished unknown = ctl({"help", "fly"});
  EXPECT_EQ(unknown.status, 2) << describe(unknown);
  EXPECT_TRUE(contains(unknown.err, "usage: brivelctl")) << unknown.err;
}

// Renders a manual page with groff and gives its warnings (nullopt without groff).
std::optional<std::string> groff_warnings(const std::string& page) {
  if (access("/usr/bin/groff", X_OK) != 0) return std::nullopt;
  const std::string file = temp_path("page.1");
  std::ofstream(file) << page;
  const Finished f = e2e::run_program("/usr/bin/groff", {"-man", "-ww", "-z", file}, kLimit);
  std::remove(file.c_str());
  return f.err;
}

TEST(BrivelctlHelp, ManualPagesHaveEveryStepAndOptionAndRenderCleanly) {
  const Finished man = ctl({"--man"});
  ASSERT_EQ(man.status, 0) << describe(man);
  EXPECT_EQ(man.out.rfind(".TH brivelctl 1 ", 0), 0u) << man.out.substr(0, 80);
  for (std::string step : kEverySteps) {
    for (std::size_t at = step.find('-'); at != std::string::npos; at = step.find('-', at + 2)) step.insert(at, "\\");
    EXPECT_TRUE(contains(man.out, ".TP\n\\fB" + step)) << step;
  }
  for (const char* option : {"\\-\\-com N", "\\-\\-trace\\-file PATH", "\\-\\-sim\\-rate STEPS"})
    EXPECT_TRUE(contains(man.out, std::string(".TP\n\\fB") + option)) << option;
  const Finished sim_man = e2e::run_program(BRIVEL_SIM_PROGRAM, {"--man"}, kLimit);
  ASSERT_EQ(sim_man.status, 0) << describe(sim_man);
  EXPECT_EQ(sim_man.out.rfind(".TH brivel\\-sim 1 ", 0), 0u) << sim_man.out.substr(0, 80);
  for (const char* option : {"\\-\\-link PATH", "\\-\\-fault NAME", "vanish", "\\-\\-instrument\\-no N"})
    EXPECT_TRUE(contains(sim_man.out, std::string(".TP\n\\fB") + option)) << option;
  for (const std::string& page : {man.out, sim_man.out}) EXPECT_EQ(groff_warnings(page).value_or(""), "");
}

TEST(BrivelctlHelp, BashCompletionKnowsStepsControlsAndWhereTheWordsOfAStepEnd) {
  const Finished script = ctl({"--completion"});
  ASSERT_EQ(script.status, 0) << describe(script);
  const std::string file = temp_path("completion.bash");
  std::ofstream(file) << script.out;
  // What the completion offers for the words so far (the last one is being typed).
  const auto offered = [&](const std::string& words) {
    const std::string run = "source " + file + "; COMP_WORDS=(brivelctl " + words +
                            "); COMP_CWORD=$(( ${#COMP_WORDS[@]} - 1 )); _brivelctl; printf '%s\\n' \"${COMPREPLY[@]}\"";
    return lines(e2e::run_program("/bin/bash", {"--norc", "-c", run}, kLimit).out);
  };
  EXPECT_EQ(offered("cl"), (Words{"close", "click"}));
  EXPECT_EQ(offered("open jog ''"), (Words{"up", "down"}));
  EXPECT_EQ(offered("--lang ''"), (Words{"en", "zh"}));
  EXPECT_EQ(offered("open wheel o"), (Words{"on", "off"}));
  EXPECT_EQ(offered("click CmdRe"), Words{"CmdReAnchor"});
  EXPECT_EQ(offered("later 0.5 st"), Words{"stop"});               // the second word of later
  EXPECT_EQ(offered("--com 2 filters 400 700 wa"), (Words{"watch", "wait"}));  // past the numbers
  EXPECT_EQ(offered("get IntSp"), Words{"IntSpeed"});
  EXPECT_EQ(offered("help pow"), Words{"power-on"});
  std::remove(file.c_str());
}

}  // namespace
