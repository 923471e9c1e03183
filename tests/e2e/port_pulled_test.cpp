// The port pulled out, end to end: brivelctl (the real Qt serial port and event loop)
// against brivel-sim, killed mid-move or while brivelctl idles. The loss is told at
// once, the control shown not connected, and brivelctl does not spin on the dead
// device (the processor time of the second after the loss is printed).

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

#include "ctl_helpers.h"
#include "live_program.h"

namespace {

using namespace e2e::brivelctl;
using Clock = std::chrono::steady_clock;
const std::string kLost =
    "[Prompt] The connection to the monochromator was lost. Check the cable and connect again.";

double since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// Processor time (user and system, seconds) a running process has used so far.
double cpu_seconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  const std::size_t after_name = line.rfind(')');
  if (after_name == std::string::npos) return -1;
  std::istringstream fields(line.substr(after_name + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i)  // fields 14 and 15: utime, stime
    if (i >= 14) ticks += std::stod(field);
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Reads brivelctl's standard error until it holds `line` (or a --trace line that
// begins with `line`); false at the time limit or when the program has ended.
bool wait_for(e2e::LiveProgram& control, const std::string& line, bool trace = false) {
  return control.read_until(
      [&](const std::string&, const std::string& err) { return trace ? !traced(err, line).empty() : has_line(err, line); },
      kLimit);
}

std::string told(const e2e::LiveProgram& c) { return "--- stdout\n" + c.out() + "--- stderr\n" + c.err(); }

struct Pulled {
  std::unique_ptr<e2e::LiveProgram> control;
  double noticed = 0;        // s from pulling out to the operator's message
  double cpu_after = 0;      // s of processor time brivelctl used in the second after it
  int status = -1;
};

// Runs brivelctl with `steps` against brivel-sim, pulls the adapter out 0.3 s after
// brivelctl traced `trigger` (a write), waits for the operator's message of the loss
// and measures what follows.
Pulled pull_out_after(const std::string& trigger, const Words& steps) {
  Pulled result;
  LinkedSim sim("tty");
  EXPECT_TRUE(sim.ready()) << "brivel-sim made no link";
  Words args = {"--port", sim.link, "--trace", "--yes"};
  args.insert(args.end(), steps.begin(), steps.end());
  result.control = std::make_unique<e2e::LiveProgram>(BRIVELCTL_PROGRAM, args);
  e2e::LiveProgram* control = result.control.get();
  if (!wait_for(*control, trigger, true)) {
    ADD_FAILURE() << "never wrote " << trigger << "\n" << told(*control);
    return result;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const auto pulled = Clock::now();
  sim.pull_out();
  if (!wait_for(*control, kLost)) {
    ADD_FAILURE() << "the operator was not told\n" << told(*control);
    return result;
  }
  result.noticed = since(pulled);
  const double cpu_before = cpu_seconds(control->pid());
  std::this_thread::sleep_for(std::chrono::seconds(1));
  result.cpu_after = cpu_seconds(control->pid()) - cpu_before;
  result.status = control->finish(kLimit).status;
  return result;
}

// Prints the figures and checks what every pull leaves: brivelctl ends with status 4
// (a failure told), the loss is told once and within 2 s, and the steps afterwards show
// the red lamp, not connected and not busy.
void expect_lost(const char* what, const Pulled& p) {
  const e2e::LiveProgram& c = *p.control;
  std::printf("[ figures  ] %s: lost port told %.3f s after the pull; brivelctl used %.3f s of CPU "
              "in the second after\n",
              what, p.noticed, p.cpu_after);
  EXPECT_EQ(p.status, 4) << told(c);
  const Words err = lines(c.err());
  EXPECT_EQ(std::count(err.begin(), err.end(), kLost), 1) << told(c);
  EXPECT_LT(p.noticed, 2.0) << told(c);
  EXPECT_EQ(lines(c.out()), (Words{"1", "False", "False"})) << told(c);
}

// The steps after the operation show the state the control was left in; "wait 2"
// keeps brivelctl alive while the test measures its processor time.
const Words kAfterwards = {"value", "Image1", "get", "BlnMonConnectFlag", "get", "BlnBusy", "wait", "2"};

Words with_afterwards(Words steps) {
  steps.insert(steps.end(), kAfterwards.begin(), kAfterwards.end());
  return steps;
}

TEST(PortPulledOut, MidMoveEndsTheMoveShowsNotConnectedAndDoesNotSpin) {
  // 5000 nm from 500 nm takes over a minute at speed 250.
  const Pulled p = pull_out_after("> 57", with_afterwards({"open", "type", "CboTarget", "5000", "click", "CmdRun"}));
  expect_lost("mid-move", p);
  EXPECT_EQ(p.control->err().find("did not"), std::string::npos) << told(*p.control);
}

TEST(PortPulledOut, WhileIdleShowsNotConnectedAtOnce) {
  // "66 0D" is the identification's last request: 0.3 s later brivelctl is in its wait.
  const Pulled p = pull_out_after("> 66 0D", with_afterwards({"open", "wait", "3"}));
  expect_lost("idle", p);
}

}  // namespace
