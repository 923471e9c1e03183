// The absolute move (end signs, stall test, BlnBusy, refusals, failures), the increment and target
// modes with the range check of their entries, and the run panel while another exchange runs.

#include <functional>
#include <tuple>
#include <utility>

#include "session/range_check.h"
#include "motion_bench.h"
#include "testkit/failure_of.h"

namespace brivel::motion_test {
namespace {

// A reply to the move command whose head (the target record) is position `p`.
Bytes move_reply(std::uint32_t p) {
  return {std::uint8_t(p >> 24), std::uint8_t(p >> 16), std::uint8_t(p >> 8), std::uint8_t(p), '\r'};
}

// The writes of one move; the dialogs are kept.
Hex move(testkit::Bench& b, double target) {
  b.port->clear_written();
  b.control.MonochromatorMoveTo(target);
  return b.write_hex();
}

// The failure a move passes to the host, which must find BlnBusy lowered.
std::optional<FailureReason> failure_of(Control& control, double target) {
  const auto reason = testkit::failure_of([&] { control.MonochromatorMoveTo(target); });
  EXPECT_EQ(control.BlnBusy(), kFalse);
  return reason;
}

TEST(MoveTo, StopOrTheTargetRecordEndsTheFollowLoop) {
  Connected c;
  c.b.pump.after(0.05, [&] { c.b.control.CmdStop_Click(); });
  expect_stopped(move(c.b, 5000));
  EXPECT_TRUE(c.b.dialogs.shown().empty());
  // The third report repeats the target; its pass still asks twice. BlnBusy drops only before the first pass.
  Script s{"W", move_reply(10000), {report(2000), report(4000), report(10000)}};
  s.install(c.b);
  std::vector<std::pair<double, VBBool>> changes;   // (time, BlnBusy) at each change
  bool running = true;
  std::function<void()> sample = [&] {
    if (!running) return;
    if (changes.empty() || changes.back().second != c.b.control.BlnBusy())
      changes.emplace_back(c.b.pump.now(), c.b.control.BlnBusy());
    c.b.pump.after(0.0005, sample);
  };
  c.b.pump.after(0, sample);
  EXPECT_EQ(move(c.b, 450), (Hex{"57 00 00 23 28", "77", "77", "77", "77", "77"}));
  running = false;
  ASSERT_EQ(changes.size(), 3u);
  EXPECT_EQ(std::make_pair(changes[0].second, changes[1].second), std::make_pair(kTrue, kFalse));
  EXPECT_GE(changes[2].first - changes[1].first, 0.0095) << "the first pause runs while not busy";
  EXPECT_EQ(c.b.control.BlnBusy(), kFalse);
}

TEST(MoveTo, StallComparesFirstAndThirdPassOfAGroupRefusalsAndRunTimeFailures) {
  const std::string stalled = "The position doesn't change, please check.";
  Connected c;
  c.b.sim.faults().stall = true;
  EXPECT_EQ(move(c.b, 500).size(), 7u) << "three passes of two requests, no closing one";
  ASSERT_EQ(c.b.dialogs.shown().size(), 1u);
  EXPECT_EQ(last_message(c.b.dialogs), (Message{stalled, "Prompt", Icon::Critical}));
  EXPECT_EQ(c.b.control.BlnBusy(), kFalse);
  // Passes 1 and 2 alike, pass 3 not: go on. Passes 4 and 6 alike around 5: stall.
  Script s{"W", move_reply(90000)};
  for (std::uint32_t p : {2000, 2000, 4000, 5000, 6000, 5000}) s.w_replies.insert(s.w_replies.end(), 2, report(p));
  s.install(c.b);
  EXPECT_EQ(move(c.b, 4500).size(), 13u);
  EXPECT_EQ(c.b.dialogs.count(stalled), 2);
  // Refusals and failures at run time.
  c.b.clear();
  EXPECT_TRUE(move(c.b, c.b.control.DblMonoWaveLen()).empty());   // already there: nothing at all
  EXPECT_TRUE(move(c.b, -0.5).empty());
  ASSERT_EQ(c.b.dialogs.shown().size(), 1u);
  EXPECT_EQ(last_message(c.b.dialogs), (Message{"Can't move to the assigned wavelength:-0.5", "Prompt", Icon::Critical}));
  // No step size before identification, 2^31 steps and more, a closed port.
  testkit::Bench never_identified;
  EXPECT_EQ(failure_of(never_identified.control, 500), FailureReason::DivisionByZero);
  c.b.clear();
  EXPECT_EQ(failure_of(c.b.control, 107374190.0), FailureReason::Overflow);
  c.b.control.CloseCom();
  EXPECT_EQ(failure_of(c.b.control, 500), FailureReason::PortFailure);
  EXPECT_TRUE(c.b.write_hex().empty());
  EXPECT_TRUE(c.b.dialogs.shown().empty());
}

TEST(CheckRange, TypeCodesBoundsAndMessages) {
  // Type codes: 1 8-bit unsigned, 2 16-bit, 3 32-bit, 4 32-bit float, 5 64-bit float.
  const struct { const char *min, *max, *value; std::uint8_t type; int passes; bool data_error; } cases[] = {
      {"1", "8", "8", 1, 1, false}, {"1", "8", "1", 1, 1, false}, {"1", "8", "9", 1, 0, false},
      {"1", "8", "0", 1, 0, false}, {"1", "8", "300", 1, 0, true},   // beyond the type
      {"1", "8", "2.5", 1, 0, false}, {"1", "8", "2.0", 1, 1, false},   // 2.5 rounds to 2: not whole
      {"-10", "10", "-5", 2, 1, false}, {"-10", "10", "40000", 2, 0, true}, {"0", "10", "3.5", 3, 0, false},
      {"0", "50000", "50000", 4, 1, false}, {"0", "50000", "50001", 4, 0, false}, {"0", "50000", "1e39", 4, 0, true},
      {"0", "50000", "50000.001", 4, 1, false}, {"0", "50000", "50000.001", 5, 0, false},   // the same single
      {"0", "10", "5", 6, 0, false}, {"0", "10", "abc", 0, 0, false},   // unknown codes: silent
  };
  testkit::ScriptedDialogs dialogs;
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("value '") + c.value + "' type " + std::to_string(c.type));
    dialogs.clear();
    EXPECT_EQ(entry_in_range(c.min, c.max, c.value, static_cast<EntryType>(c.type), dialogs), c.passes != 0);
    ASSERT_EQ(dialogs.shown().size(), c.data_error ? 1u : 0u);
    if (!c.data_error) continue;
    EXPECT_EQ(last_message(dialogs), (Message{"Data Error!", "", Icon::None}));
    EXPECT_EQ(dialogs.last().buttons, Buttons::Ok);
  }
}

void set_text(testkit::Bench& b, const std::string& name, const std::string& text) {
  b.control.surface().at(name).set_text(text);
}

// A relative move has no bound of its own: a late jog release ("k") turns a hang into a failure.
void guard(testkit::Bench& b, double seconds) { b.pump.after(seconds, [&b] { b.control.CmdHandUp_MouseUp(1); }); }

TEST(Modes, OneClickAgainstAControllerThatEndsEveryMoveAtOnce) {
  const std::string not_a_number = "The operation could not be completed: an entry is not a number.";
  const struct {
    int grating;
    const char *box, *entry;
    void (Control::*button)();
    const char* command;   // sent before the closing position request; none: refused
    std::string focus, message;
  } clicks[] = {
      {kCoarse, "CboDistance", "1", &Control::CmdUp_Click, "55 00 00 00 14", "", ""},   // 0.05 nm a step
      {kCoarse, "CboDistance", "1", &Control::CmdDown_Click, "44 00 00 00 14", "", ""},
      {kFinest, "CboDistance", "1000", &Control::CmdUp_Click, "55 00 03 A9 80", "", ""},   // 240000 steps
      {kFinest, "CboDistance", "1000", &Control::CmdDown_Click, nullptr, "CboDistance", ""},
      {kWide, "CboDistance", "0.1", &Control::CmdUp_Click, nullptr, "", ""},   // 0.2 steps: 0
      {kWide, "CboDistance", "0", &Control::CmdDown_Click, nullptr, "", ""},
      {kWide, "CboDistance", "abc", &Control::CmdUp_Click, nullptr, "", ""},   // begins with no number: 0
      {kWide, "CboDistance", "abc", &Control::CmdDown_Click, nullptr, "", not_a_number},   // strict
      {kCoarse, "CboTarget", "99999", &Control::CmdRun_Click, "57 00 1E 84 6C", "", ""},
      {kCoarse, "CboTarget", "99999.01", &Control::CmdRun_Click, nullptr, "CboTarget", ""},
      {kCoarse, "CboTarget", "-1", &Control::CmdRun_Click, nullptr, "CboTarget", ""},
      {kCoarse, "CboTarget", "abc", &Control::CmdRun_Click, nullptr, "CboTarget", "Data Error!"},
      // 546.07 nm is 87371.2 steps of 0.00625 nm; unrounded, 546.074 would be 87372.
      {kFine, "CboTarget", "546.074", &Control::CmdRun_Click, "57 00 01 55 4B", "", ""},
  };
  for (const auto& t : clicks) {
    SCOPED_TRACE(std::string(t.box) + " '" + t.entry + "' grating " + std::to_string(t.grating));
    Connected c(t.grating);
    Script s{"UDW", {'O', 'K', 'K', 'K', '\r'}, {report(5000)}};
    s.install(c.b);
    set_text(c.b, t.box, t.entry);
    (c.b.control.*t.button)();
    EXPECT_EQ(c.b.write_hex(), (t.command ? Hex{t.command, "77"} : Hex{}));
    EXPECT_EQ(c.b.control.surface().focused(), t.focus);
    EXPECT_EQ(c.b.dialogs.shown().size(), t.message.empty() ? 0u : 1u);
    EXPECT_EQ(c.b.dialogs.count(t.message), t.message.empty() ? 0 : 1);
    EXPECT_EQ(c.b.control.BlnBusy(), kFalse);
  }
}

TEST(Modes, RelativeMovesFollowTheControllerAndStop) {
  Connected c;
  set_text(c.b, "CboDistance", "1");
  const double start = c.b.control.DblMonoWaveLen();
  guard(c.b, 30.0);
  c.b.control.CmdUp_Click();
  c.b.control.CmdDown_Click();
  const Hex writes = c.b.write_hex();
  EXPECT_EQ(writes.front(), "55 00 00 00 14");
  EXPECT_EQ(count_of(writes, "44 00 00 00 14"), 1);
  EXPECT_EQ(count_of(writes, "77"), int(writes.size()) - 2) << "no \"k\": the moves ended by themselves";
  EXPECT_DOUBLE_EQ(c.b.control.DblMonoWaveLen(), start);
  c.b.clear();
  set_text(c.b, "CboDistance", "5000");   // 100000 steps, 10 s of travel
  c.b.pump.after(0.05, [&] { c.b.control.CmdStop_Click(); });
  guard(c.b, 2.0);
  c.b.control.CmdUp_Click();
  expect_stopped(c.b.write_hex());
  EXPECT_TRUE(c.b.dialogs.shown().empty());
  EXPECT_EQ(c.b.control.BlnBusy(), kFalse);
}

TEST(RunPanel, ButtonsDuringAnotherExchange) {
  Connected c;
  double here = c.b.control.DblMonoWaveLen();
  VBBool busy = kFalse;
  std::string focus_after_down, focus_after_up;
  c.b.pump.after(0.002, [&] {
    Control& k = c.b.control;
    busy = k.BlnBusy();
    set_text(c.b, "CboDistance", "-1");
    k.CmdDown_Click();   // busy first: no check, no focus
    focus_after_down = k.surface().focused();
    k.CmdUp_Click();     // the check first: refused, focus
    focus_after_up = k.surface().focused();
    set_text(c.b, "CboDistance", "1");
    set_text(c.b, "CboTarget", "300");
    for (auto click : {&Control::CmdUp_Click, &Control::CmdRun_Click, &Control::CboSpeed_Click,
                       &Control::CmdReAnchor_Click})
      (k.*click)();
    k.CmdHandUp_MouseDown(1);
    k.CmdHandDown_MouseUp(2);   // another mouse button does not stop the move
    k.MonochromatorMoveTo(here);   // refused although already there
  });
  guard(c.b, 30.0);
  double target = 500;
  c.b.control.MonochromatorMoveTo(target);
  EXPECT_EQ(std::make_tuple(busy, focus_after_down, focus_after_up), std::make_tuple(kTrue, "", "CboDistance"));
  const Hex writes = c.b.write_hex();
  EXPECT_EQ(writes.front(), "57 00 00 27 10");
  EXPECT_EQ(count_of(writes, "77"), int(writes.size()) - 1);
  EXPECT_EQ(c.b.control.surface().at("LblWaveLen").text(), "500.00");
  EXPECT_EQ(last_message(c.b.dialogs), (Message{"The monochromator controller is running.", "Prompt", Icon::Information}));
  EXPECT_EQ(c.b.dialogs.shown().size(), 1u);
}

}  // namespace
}  // namespace brivel::motion_test
