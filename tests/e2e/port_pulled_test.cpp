// brivel-sim killed under brivelctl (the real Qt port and loop) mid-move or idle: the loss told once and
// at once, the control not connected, and no spinning on the dead device.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "ctl_helpers.h"
#include "live_program.h"

namespace {

using namespace e2e::brivelctl;
using Clock = std::chrono::steady_clock;
const std::string kLost =
    "[Prompt] The connection to the monochromator was lost. Check the cable and connect again.";

// Runs `steps`, pulls the adapter 0.3 s after the write `trigger`: status 4, the loss told once within 2 s,
// red lamp, not connected, not busy, and over the closing "wait 2" little processor time.
Finished expect_lost_after(const std::string& trigger, Words steps) {
  LinkedSim sim("tty");
  if (!sim.ready()) {
    ADD_FAILURE() << "brivel-sim made no link";
    return {};
  }
  Words args = {"--port", sim.link, "--trace", "--yes"};
  args.insert(args.end(), steps.begin(), steps.end());
  args.insert(args.end(), {"value", "Image1", "get", "BlnMonConnectFlag", "get", "BlnBusy", "wait", "2"});
  e2e::LiveProgram control(BRIVELCTL_PROGRAM, args);
  const auto seen = [&](const std::string& line, bool trace) {
    return control.read_until(
        [&](const std::string&, const std::string& err) { return trace ? !traced(err, line).empty() : has_line(err, line); },
        kLimit);
  };
  if (!seen(trigger, true)) {
    ADD_FAILURE() << "never wrote " << trigger << "\n" << control.err();
    return {};
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const auto pulled = Clock::now();
  sim.pull_out();
  const bool told = seen(kLost, false);
  const double noticed = std::chrono::duration<double>(Clock::now() - pulled).count();
  const Finished f = control.finish(kLimit);
  std::printf("[ figures  ] %s: lost port told %.3f s after the pull; brivelctl used %.3f s of CPU in %.3f s\n",
              trigger.c_str(), noticed, f.cpu_seconds, f.seconds);
  EXPECT_TRUE(told) << describe(f);
  EXPECT_EQ(f.status, 4) << describe(f);
  const Words err = lines(f.err);
  EXPECT_EQ(std::count(err.begin(), err.end(), kLost), 1) << describe(f);
  EXPECT_LT(noticed, 2.0) << describe(f);
  EXPECT_EQ(lines(f.out), (Words{"1", "False", "False"})) << describe(f);
  EXPECT_LT(f.cpu_seconds, 0.5 * f.seconds + 0.2) << describe(f);
  return f;
}

TEST(PortPulledOut, MidMoveEndsTheMoveShowsNotConnectedAndDoesNotSpin) {
  // 5000 nm from 500 nm takes over a minute at speed 250.
  const Finished f = expect_lost_after("> 57", {"open", "type", "CboTarget", "5000", "click", "CmdRun"});
  EXPECT_EQ(f.err.find("did not"), std::string::npos) << f.err;
}

TEST(PortPulledOut, WhileIdleShowsNotConnectedAtOnce) {
  // "66 0D" is the identification's last request: 0.3 s later brivelctl is in its wait.
  expect_lost_after("> 66 0D", {"open", "wait", "3"});
}

}  // namespace
