// Every operation against every fault the simulator and port inject (testkit/fault_matrix): one test per
// fault, every operation a cell; bench/fault_matrix prints the same matrix.

#include <gtest/gtest.h>

#include <cctype>

#include "testkit/fault_matrix.h"

namespace brivel::testkit::faults {
namespace {

class FaultColumn : public testing::TestWithParam<std::size_t> {};

TEST_P(FaultColumn, EveryOperationEndsInTimeIdleTellsTheOperatorAndReconnects) {
  for (std::size_t o = 0; o < operations().size(); ++o) {
    const Cell cell = run_cell(o, GetParam());
    std::string why;
    for (const std::string& problem : cell.problems()) why += "\n  " + problem;
    for (const std::string& text : cell.texts) why += "\n  told: " + text;
    EXPECT_TRUE(cell.clean()) << cell.operation << " x " << cell.fault << " (" << cell.seconds << " s of "
                              << cell.bound << " s)" << why;
  }
}

std::string column_name(const testing::TestParamInfo<std::size_t>& info) {
  std::string name;
  for (char c : faults()[info.param].name) {
    if (c == ' ' || c == '(') break;
    name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  }
  return name + "_" + std::to_string(info.param);
}

INSTANTIATE_TEST_SUITE_P(Matrix, FaultColumn, testing::Range<std::size_t>(0, faults().size()), column_name);

// The judge of a cell: each way a cell can be wrong is reported, and only then.
TEST(FaultMatrixCell, ReportsEachWayACellCanBeWrong) {
  Cell fine;
  fine.bound = 1.0;
  fine.seconds = 0.5;
  fine.allowed = "SB";
  fine.expected = 'S';
  fine.told = {Outcome::Normal, Outcome::Stalled};
  fine.texts = {"a question", "stalled"};
  fine.reconnected = true;
  EXPECT_TRUE(fine.clean());
  EXPECT_EQ(fine.mark(), '.');
  const auto one_problem = [](const Cell& cell, char mark) {
    EXPECT_EQ(cell.problems().size(), 1u) << testing::PrintToString(cell.problems());
    EXPECT_EQ(cell.mark(), mark);
  };
  Cell slow = fine;
  slow.seconds = 1.01;
  one_problem(slow, 'T');
  Cell busy = fine;
  busy.busy_after = true;
  one_problem(busy, 'B');
  Cell escaped = fine;
  escaped.escaped = "RuntimeFailure";
  one_problem(escaped, 'X');
  Cell undocumented = fine;   // a port loss the operation does not document
  undocumented.told.push_back(Outcome::PortLost);
  undocumented.texts.push_back("lost");
  one_problem(undocumented, 'M');
  Cell other = fine;          // documented, but not what this fault must show
  other.told = {Outcome::Overran};
  one_problem(other, 'M');
  Cell quiet = fine;          // '.' wants no failure at all
  quiet.expected = '.';
  one_problem(quiet, 'M');
  Cell any = fine;
  any.expected = '*';
  any.told = {Outcome::Overran};
  EXPECT_TRUE(any.clean());
  Cell stuck = fine;
  stuck.reconnected = false;
  one_problem(stuck, 'R');
}

}  // namespace
}  // namespace brivel::testkit::faults
