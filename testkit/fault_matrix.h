#pragma once
// The fault matrix: every operation of the operator and the host against every fault
// the simulated controller (and the loopback port) can inject, in virtual time.
//
// One cell: a fresh bench (connected first, fault-free, unless the operation is
// OpenCom), the fault switched on, the operation run; then the fault cleared (a
// vanished device plugged in again) and OpenCom run once more. A cell is clean when
//  * the operation returned within its bound (virtual seconds, from WaitBounds),
//  * BlnBusy is False afterwards,
//  * nothing left a handler (a host method may pass only the failures it documents),
//  * every message the operator got is one the operation documents, and the one the
//    matrix's table expects for this fault is among them,
//  * the control connects again once the fault is gone.
//
// The table (expected outcomes) is part of the engine, so that the test
// (tests/faults) and the printing program (bench/fault_matrix) judge alike.

#include <cstddef>
#include <string>
#include <vector>

namespace brivel::testkit::faults {

// What the operator (and, for the download, the host) was told, by class. The letters
// are those of the printed matrix and of the expectation table.
enum class Outcome : char {
  Normal = '.',           // no failure: the operation's own questions and successes only
  ConnectFailed = 'C',    // "Monochromator connection failed." (OpenCom's failure path)
  RefreshFailed = 'U',    // "Unable to connect to the monochromator."
  Stalled = 'S',          // "The position doesn't change, please check."
  Overran = 'B',          // the motion bound ran out; the motor was stopped
  TimedOut = 'T',         // "The monochromator did not answer in time: ..."
  PortLost = 'P',         // "The connection to the monochromator was lost. ..."
  DownloadStopped = 'N',  // LoadParameter's note for the host (it shows no box)
  Refused = 'R',          // a refusal (not connected, busy)
  Interrupted = 'I',      // the host's note of a stop it requested (the stop column only)
  Failed = 'F',           // "The operation could not be completed: ..."
  Unknown = '?',          // a text that no operation documents, or a stop from outside
};

struct Cell {
  std::string operation;
  std::string fault;
  double seconds = 0;           // virtual time the operation took
  double bound = 0;             // its documented bound
  bool busy_after = false;      // BlnBusy True after the operation
  std::string escaped;          // what left the operation that must not have
  std::vector<Outcome> told;    // every message and download note, by class, in order
  std::vector<std::string> texts;  // their texts (English)
  char expected = '*';          // the table's letter ('*': any documented outcome)
  std::string allowed;          // the outcome letters the operation documents
  bool reconnected = false;     // OpenCom succeeded once the fault was cleared
  std::vector<std::string> wrong;  // what else the cell found wrong (the stop column: a
                                   // motor left running, a "k" with no motion)

  // What is wrong with the cell; empty when it is clean.
  std::vector<std::string> problems() const;
  bool clean() const { return problems().empty(); }
  // One character for the printed matrix: '.' clean, otherwise the first problem's
  // kind: 'T' too slow, 'B' left busy, 'X' something escaped, 'M' a message not
  // expected or not documented, 'R' could not reconnect.
  char mark() const;
  // The outcome shown most prominently (for printing what happened).
  Outcome outcome() const;
};

struct OperationInfo {
  std::string name;
  std::string allowed;   // outcome letters it documents besides '.'
};

struct FaultInfo {
  std::string name;      // as brivel-sim --fault takes it, or a description
  char key;              // its column letter in the printed matrix
};

const std::vector<OperationInfo>& operations();
const std::vector<FaultInfo>& faults();

// Runs one cell.
Cell run_cell(std::size_t operation, std::size_t fault);

// Runs every cell, operations outer.
std::vector<Cell> run_all();

// The matrix as text: one row per operation, one mark per cell, a legend and the
// count of clean cells. With `outcomes`, the letters of what the operator was told
// instead of the marks.
std::string render(const std::vector<Cell>& cells, bool outcomes = false);

}  // namespace brivel::testkit::faults
