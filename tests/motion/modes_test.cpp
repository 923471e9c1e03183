// The increment and target modes: step counts, range checks, the relative move with
// its stop, and the target's rounding.

#include <gtest/gtest.h>

#include "motion_bench.h"

namespace brivel::motion_test {
namespace {

using Hex = std::vector<std::string>;

void set_text(testkit::Bench& b, const std::string& name, const std::string& text) {
  b.control.surface().at(name).set_text(text);
}

// A relative move has no bound of its own. A late jog release (it raises the stop
// request and writes "k") turns a move that never ends into a failure, not a hang.
void guard(testkit::Bench& b, double seconds) {
  b.pump.after(seconds, [&b] { b.control.CmdHandUp_MouseUp(1); });
}

TEST(Increment, StepCountsAndTheRelativeMove) {
  Connected c;
  set_text(c.b, "CboDistance", "1");
  const double start = c.b.control.DblMonoWaveLen();
  guard(c.b, 30.0);
  c.b.control.CmdUp_Click();
  c.b.control.CmdDown_Click();
  const Hex writes = c.b.write_hex();
  EXPECT_EQ(writes.front(), "55 00 00 00 14");   // 1 nm at 0.05 nm a step
  EXPECT_EQ(count_of(writes, "44 00 00 00 14"), 1);
  EXPECT_EQ(count_of(writes, "6B"), 0) << "a move did not end by itself";
  EXPECT_EQ(count_of(writes, "77"), int(writes.size()) - 2);
  EXPECT_DOUBLE_EQ(c.b.control.DblMonoWaveLen(), start);
  EXPECT_EQ(c.b.control.BlnBusy(), kFalse);
}

TEST(Increment, DownRefusesWhatUpMovesAndStopEndsTheMove) {
  Connected c(kFinest);
  set_text(c.b, "CboDistance", "1000");   // 240000 steps
  c.b.control.CmdDown_Click();
  EXPECT_TRUE(c.b.write_hex().empty());
  EXPECT_EQ(c.b.control.surface().focused(), "CboDistance");

  c.b.pump.after(0.05, [&] { c.b.control.CmdStop_Click(); });
  guard(c.b, 2.0);
  c.b.control.CmdUp_Click();
  const Hex writes = c.b.write_hex();
  EXPECT_EQ(writes.front(), "55 00 03 A9 80");
  ASSERT_EQ(count_of(writes, "6B"), 1) << "the stop button alone ends the move";
  const Hex tail = after(writes, "6B");   // the stop's request, maybe a pass's, the closing one
  EXPECT_TRUE(tail.size() == 2 || tail.size() == 3) << tail.size();
  EXPECT_EQ(count_of(tail, "77"), int(tail.size()));
  EXPECT_TRUE(c.b.dialogs.shown().empty());
  EXPECT_EQ(c.b.control.BlnBusy(), kFalse);
}

TEST(Increment, NothingToSendAndTextThatIsNotANumber) {
  Connected c(kWide);
  for (const char* entry : {"0.1", "0", "abc"}) {   // 0.1 nm is 0.2 steps: 0
    set_text(c.b, "CboDistance", entry);
    c.b.control.CmdUp_Click();
    if (std::string(entry) != "abc") c.b.control.CmdDown_Click();
  }
  EXPECT_TRUE(c.b.dialogs.shown().empty());
  c.b.control.CmdDown_Click();   // "abc": the down button reads the text strictly
  EXPECT_TRUE(c.b.write_hex().empty());
  ASSERT_EQ(c.b.dialogs.shown().size(), 1u);
  EXPECT_EQ(c.b.dialogs.last().text, "The operation could not be completed: an entry is not a number.");
  EXPECT_EQ(c.b.control.BlnBusy(), kFalse);
}

TEST(Modes, ButtonsDuringAnotherExchange) {
  Connected c;
  std::string focus_after_down, focus_after_up;
  c.b.pump.after(0.002, [&] {
    set_text(c.b, "CboDistance", "-1");
    c.b.control.CmdDown_Click();   // busy first: no check, no focus
    focus_after_down = c.b.control.surface().focused();
    c.b.control.CmdUp_Click();     // the check first: refused, focus
    focus_after_up = c.b.control.surface().focused();
    set_text(c.b, "CboDistance", "1");
    c.b.control.CmdUp_Click();
    set_text(c.b, "CboTarget", "300");
    c.b.control.CmdRun_Click();
  });
  guard(c.b, 30.0);
  double target = 500;
  c.b.control.MonochromatorMoveTo(target);
  EXPECT_EQ(focus_after_down, "");
  EXPECT_EQ(focus_after_up, "CboDistance");
  EXPECT_EQ(count_of(c.b.write_hex(), "57 00 00 27 10"), 1);
  EXPECT_EQ(count_of(c.b.write_hex(), "77"), int(c.b.write_hex().size()) - 1);
  EXPECT_TRUE(c.b.dialogs.shown().empty());

  testkit::Bench b;   // not connected
  b.control.CmdUp_Click();
  b.control.CmdDown_Click();
  b.control.CmdRun_Click();
  EXPECT_EQ(b.dialogs.count("Monochromator connection failed."), 3);
  EXPECT_TRUE(b.write_hex().empty());
}

// The target mode against a controller that ends every move at once.
struct TargetMode : Connected {
  explicit TargetMode(int grating = kCoarse) : Connected(grating) { script.install(b); }
  Hex run(const std::string& entry) {
    b.clear();
    b.control.surface().set_focus("");
    set_text(b, "CboTarget", entry);
    b.control.CmdRun_Click();
    return b.write_hex();
  }
  Script script{'W', {'O', 'K', 'K', 'K', '\r'}, {report(5000)}};
};

TEST(Target, RangeAndRounding) {
  TargetMode t;
  EXPECT_EQ(t.run("99999"), (Hex{"57 00 1E 84 6C", "77"}));
  EXPECT_EQ(t.b.control.BlnBusy(), kFalse);
  for (const char* refused : {"99999.01", "-1", "abc"}) {
    EXPECT_TRUE(t.run(refused).empty());
    EXPECT_EQ(t.b.control.surface().focused(), "CboTarget");
  }
  ASSERT_EQ(t.b.dialogs.shown().size(), 1u);   // only the text that is not a number
  EXPECT_EQ(t.b.dialogs.last().text, "Data Error!");

  TargetMode fine(kFine);
  // 546.07 nm is 87371.2 steps of 0.00625 nm; unrounded, 546.074 would be 87372.
  EXPECT_EQ(fine.run("546.074"), (Hex{"57 00 01 55 4B", "77"}));
}

}  // namespace
}  // namespace brivel::motion_test
