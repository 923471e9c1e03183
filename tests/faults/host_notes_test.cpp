// Behaviours kept though they may surprise a script (the power-on property trusts its reply, a field without a
// number goes out as 0): the host is told in a note. An unknown grating's note: Identify's tests.

#include <gtest/gtest.h>

#include "testkit/bench.h"

namespace brivel {
namespace {

// The notes' English texts.
std::vector<std::string> noted(const testkit::Bench& b, const std::string& operation) {
  std::vector<std::string> texts;
  for (const HostNote& n : b.dialogs.notes())
    if (n.operation == operation) texts.push_back(n.text_en);
  return texts;
}

// (Whole steps from a sound controller, no note: PowerOnTest.PropertyStoresTheNearestStepAndShowsWhat...)
TEST(HostNotes, PowerOnSuccessIsShownAndTheHostLearnsWhatWasNotConfirmed) {
  const std::string success = "Initial wavelength set successfully.";
  testkit::Connected unanswered, other;
  unanswered.b.sim.faults().no_ack = true;   // success all the same, and a note
  double nm = 600;
  unanswered.b.control.setDblOpenPos(nm);
  EXPECT_EQ(unanswered.b.dialogs.count(success), 1);
  EXPECT_EQ(noted(unanswered.b, "DblOpenPos"), std::vector<std::string>{
      "the power-on wavelength 600 nm was not confirmed: the controller did not answer the setting"});
  // The controller reads back another value than was asked for (Enter: no success box).
  testkit::Bench& b = other.b;
  b.port->on_write([](const Bytes& request) -> Bytes {
    if (request.at(0) == 'M') return {'O', 'K', '\r'};
    if (request == Bytes{'m'}) return {'m', 0, 1, 0x38, 0x80};   // 80000 steps: 500 nm
    return {};
  });
  b.control.surface().at("TxtOpenPos").set_text("600");
  std::int16_t enter = 13;
  b.control.TxtOpenPos_KeyPress(enter);
  EXPECT_EQ(b.dialogs.count(success), 0);
  EXPECT_EQ(b.control.DblOpenPos(), 500);
  EXPECT_EQ(noted(b, "TxtOpenPos"), std::vector<std::string>{
      "the controller holds the power-on wavelength 500 nm, not the 600 nm requested"});
}

TEST(HostNotes, FileFieldsWithoutANumberGoOutAsZeroAndAreListed) {
  testkit::Connected c;
  testkit::Bench& b = c.b;
  const testkit::TempFile file("12345\t130\tabc\t1000\t21\t500\t6\t\r\n1\t0\t700\t3\t350.0\t\t800.0\t\r\n");
  b.control.LoadParameter(file.path);
  EXPECT_EQ(b.sim.memory().blaze, 0);
  EXPECT_EQ(b.sim.memory().filter_start[1], 0);
  EXPECT_EQ(b.control.BlnMonConnectFlag(), kTrue) << "the download went through and reconnected";
  EXPECT_TRUE(b.dialogs.shown().empty());
  EXPECT_EQ(noted(b, "LoadParameter"), std::vector<std::string>{
      "The parameter file has fields without a number, read as 0: line 1 field 3 (\"abc\"), "
      "line 2 field 6 (\"\")."});
}

}  // namespace
}  // namespace brivel
