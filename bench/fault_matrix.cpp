// Prints the fault matrix: every operation of the operator and the host against every
// fault the simulated controller can inject, one mark per cell, then the count of
// clean cells. All in virtual time: the whole matrix takes seconds.
//
//   fault_matrix             the marks
//   fault_matrix --outcomes  what the operator was told in each cell, by letter
//   fault_matrix --why       and, after the matrix, what is wrong with each cell that
//                            is not clean
//
// Exit status: 0 when every cell is clean, 1 otherwise.

#include <cstdio>
#include <cstring>

#include "testkit/fault_matrix.h"

int main(int argc, char** argv) {
  bool outcomes = false;
  bool why = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--outcomes") == 0) {
      outcomes = true;
    } else if (std::strcmp(argv[i], "--why") == 0) {
      why = true;
    } else {
      std::fprintf(stderr, "usage: fault_matrix [--outcomes] [--why]\n");
      return 2;
    }
  }
  namespace faults = brivel::testkit::faults;
  const std::vector<faults::Cell> cells = faults::run_all();
  std::fputs(faults::render(cells, outcomes).c_str(), stdout);
  bool all_clean = true;
  for (const faults::Cell& cell : cells) {
    if (cell.clean()) continue;
    all_clean = false;
    if (!why) continue;
    std::printf("\n%s x %s (%.2f s of %.2f s):\n", cell.operation.c_str(), cell.fault.c_str(), cell.seconds,
                cell.bound);
    for (const std::string& problem : cell.problems()) std::printf("  %s\n", problem.c_str());
  }
  return all_clean ? 0 : 1;
}
