#include "testkit/fault_matrix.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string_view>

#include "platform/failure.h"
#include "testkit/bench.h"

namespace brivel::testkit::faults {

namespace {

using Bench = testkit::Bench;

// ---- bounds ------------------------------------------------------------------------
// Every bound is a sum of the waits an operation may make, each at its longest.

constexpr double kExchange = 0.6;  // s: one WaitReply at its longest (0.5 s, a tick, the line)
constexpr double kSlack = 1.0;     // s: pauses, ticks and bytes on the line besides
constexpr double kInstant = 0.1;   // s: an operation that never waits
constexpr double kSettle = 2.5;    // s after the operation: scheduled clicks run, half commands
                                   // and an abandoned filter sequence expire at the controller
constexpr double kHeld = 0.3;      // s: a jog button is held this long; the stop comes this late
constexpr double kSpeed = 250;     // the factory instrument's motor speed

// The factory instrument stands at 500 nm with 0.00625 nm per step.
constexpr const char* kTarget = "560";           // nm: 9600 steps away, about 1 s
constexpr double kTargetNm = 560;
constexpr const char* kIncrement = "50";         // nm: 8000 steps
constexpr double kIncrementSteps = 8000;
// What SaveParameter writes for the factory instrument, LoadParameter downloads.
constexpr const char* kParameterFile =
    "12345\t130\t500\t1000\t21\t500\t6\t\r\n1\t0\t700\t3\t350.0\t650.0\t800.0\t\r\n";
constexpr int kFilterPackets = 6;                // count, A, B, three starts
// The largest power-on wavelength the control accepts: 6553.5 nm, 1,048,560 steps.
constexpr std::uint32_t kFarPowerOn = 1048560;

// Where the cell's instrument stands when the operation begins.
struct Where {
  double nm;       // the wavelength shown
  double travel;   // steps of a return to the reference: back from here, out to power-on
  // Motor steps from here to `target` nm (0.00625 nm per step).
  double steps_to(double target) const { return (target > nm ? target - nm : nm - target) / 0.00625; }
};

double open_bound(const WaitBounds& w, const Where&) { return 9 * kExchange + w.data + kSlack; }
double refresh_bound(const WaitBounds&, const Where&) { return 8 * kExchange + kSlack; }
// The move command, the last pass (two requests), the stop ("k" and the closing request)
// and one more request, after the motion bound itself.
double move_bound(const WaitBounds& w, double steps) { return w.motion(steps, kSpeed) + 6 * kExchange + kSlack; }
// The final position is read by the release and again by the press, each for at most
// final_position plus the request in flight.
double jog_bound(const WaitBounds& w, const Where&) { return kHeld + 3 * kExchange + 2 * (w.final_position + 2 * kExchange) + kSlack; }
double filter_write_bound(const WaitBounds& w, const Where&) { return kFilterPackets * (w.ack + kExchange) + w.data + kSlack; }
double load_bound(const WaitBounds& w, const Where& at) {
  return 5 * w.ack + 2 * kExchange + kFilterPackets * (w.ack + kExchange) + kExchange + w.reposition(at.travel, kSpeed) +
         open_bound(w, at) + kSlack;
}

// ---- operations --------------------------------------------------------------------

struct Scene {
  Bench& b;
  std::string file;  // the parameter file of SaveParameter and LoadParameter
};

struct Operation {
  const char* name;
  bool connected_first;  // false: runs on a control that is not connected (OpenCom)
  bool host_method;      // may pass RuntimeFailure(PortLost) to the host, as documented
  const char* allowed;   // outcome letters it documents besides '.'
  double (*bound)(const WaitBounds&, const Where&);
  void (*run)(Scene&);
};

Widget& field(Scene& s, const char* name) { return s.b.control.surface().at(name); }

const Operation kOperations[] = {
    {"OpenCom", false, false, "CT", open_bound, [](Scene& s) { s.b.control.OpenCom(); }},
    {"refresh", true, false, "U", refresh_bound, [](Scene& s) { s.b.control.CmdMonoRefresh_Click(); }},
    {"MonochromatorMoveTo", true, true, "SBP",
     [](const WaitBounds& w, const Where& at) { return move_bound(w, at.steps_to(kTargetNm)); },
     [](Scene& s) {
       double target = 560;
       s.b.control.MonochromatorMoveTo(target);
     }},
    {"jog press/release", true, false, "TP", jog_bound,
     [](Scene& s) {
       Control& control = s.b.control;
       s.b.pump.after(kHeld, [&control] { control.CmdHandUp_MouseUp(1); });
       control.CmdHandUp_MouseDown(1);
     }},
    {"stop", true, false, "SBPR",
     [](const WaitBounds& w, const Where& at) { return move_bound(w, at.steps_to(kTargetNm)); },
     [](Scene& s) {
       Control& control = s.b.control;
       field(s, "CboTarget").set_text(kTarget);
       s.b.pump.after(kHeld, [&control] { control.CmdStop_Click(); });
       control.CmdRun_Click();
     }},
    {"increment up", true, false, "BP",
     [](const WaitBounds& w, const Where&) { return move_bound(w, kIncrementSteps); },
     [](Scene& s) {
       field(s, "CboDistance").set_text(kIncrement);
       s.b.control.CmdUp_Click();
     }},
    {"increment down", true, false, "BP",
     [](const WaitBounds& w, const Where&) { return move_bound(w, kIncrementSteps); },
     [](Scene& s) {
       field(s, "CboDistance").set_text(kIncrement);
       s.b.control.CmdDown_Click();
     }},
    {"target run", true, false, "SBP",
     [](const WaitBounds& w, const Where& at) { return move_bound(w, at.steps_to(kTargetNm)); },
     [](Scene& s) {
       field(s, "CboTarget").set_text(kTarget);
       s.b.control.CmdRun_Click();
     }},
    {"speed property", true, false, "P", [](const WaitBounds&, const Where&) { return 2 * kExchange + kSlack; },
     [](Scene& s) {
       std::int16_t speed = 100;
       s.b.control.setIntSpeed(speed);
     }},
    {"speed box", true, false, "P", [](const WaitBounds&, const Where&) { return 2 * kExchange + kSlack; },
     [](Scene& s) {
       field(s, "CboSpeed").set_text("100");
       s.b.control.CboSpeed_Click();
     }},
    {"reposition", true, false, "TUP",
     [](const WaitBounds& w, const Where& at) { return w.reposition(at.travel, kSpeed) + 9 * kExchange + kSlack; },
     [](Scene& s) { s.b.control.CmdReAnchor_Click(); }},
    {"power-on property", true, true, "P", [](const WaitBounds&, const Where&) { return 2 * kExchange + kSlack; },
     [](Scene& s) {
       double nm = 435.83;
       s.b.control.setDblOpenPos(nm);
     }},
    {"power-on Enter", true, false, "P", [](const WaitBounds&, const Where&) { return 2 * kExchange + kSlack; },
     [](Scene& s) {
       field(s, "TxtOpenPos").set_text("435.83");
       std::int16_t enter = 13;
       s.b.control.TxtOpenPos_KeyPress(enter);
     }},
    {"filter switch", true, false, "TP",
     [](const WaitBounds& w, const Where&) { return w.ack + kExchange + kSlack; },
     [](Scene& s) {
       Widget& box = field(s, "ChkUseFilter");   // a click toggles the box first
       box.set_value(box.value() == 1 ? 0 : 1);
       s.b.control.ChkUseFilter_Click();
     }},
    {"filter write", true, false, "TP", filter_write_bound,
     [](Scene& s) { s.b.control.CmdFilterSet_Click(); }},
    {"SaveParameter", true, false, "", [](const WaitBounds&, const Where&) { return kInstant; },
     [](Scene& s) { s.b.control.SaveParameter(s.file); }},
    {"LoadParameter", true, false, "NCT", load_bound,
     [](Scene& s) {
       std::ofstream(s.file, std::ios::binary) << kParameterFile;
       s.b.control.LoadParameter(s.file);
     }},
    {"ShowParaFace", true, false, "", [](const WaitBounds&, const Where&) { return kInstant; },
     [](Scene& s) { s.b.control.ShowParaFace(); }},
    {"ShowRunFace", true, false, "", [](const WaitBounds&, const Where&) { return kInstant; },
     [](Scene& s) { s.b.control.ShowRunFace(); }},
};
constexpr std::size_t kOperationCount = std::size(kOperations);

// ---- faults ------------------------------------------------------------------------

struct Fault {
  const char* name;
  char key;
  void (*apply)(Bench&);
  // The instrument's memory before the bench is made (nullptr: the factory's): the
  // motor stands at its power-on position from the start.
  void (*prepare)(sim::Memory&) = nullptr;
  // Not a fault of the controller: a stop requested from outside after each of the
  // operation's writes in turn, one run per write (run_stops).
  bool stop_each_step = false;
};

// Count-based faults start counting now: "after 2" means two more commands.
long from_now(Bench& b, long more) { return b.sim.commands() + more; }

const Fault kFaults[] = {
    {"none", '-', [](Bench&) {}},
    {"silent", 's', [](Bench& b) { b.sim.faults().silent = true; }},
    {"silent-after=2 more", 'a', [](Bench& b) { b.sim.faults().silent_after = static_cast<int>(from_now(b, 2)); }},
    {"wrong-letter", 'w', [](Bench& b) { b.sim.faults().wrong_letter = true; }},
    {"garble=0.2", 'g', [](Bench& b) { b.sim.faults().garble_rate = 0.2; }},
    {"drop=0.2", 'd', [](Bench& b) { b.sim.faults().drop_rate = 0.2; }},
    {"split=0.6 (one reply, two reads)", 'p', [](Bench& b) { b.sim.faults().split_gap = 0.6; }},
    {"stall", 'S', [](Bench& b) { b.sim.faults().stall = true; }},
    {"no-ack", 'n', [](Bench& b) { b.sim.faults().no_ack = true; }},
    {"vanish (mid-move)", 'v', [](Bench& b) { b.sim.faults().vanish_mid_move = true; }},
    {"vanish-after=1 more (read error)", 'V',
     [](Bench& b) { b.sim.faults().vanish_after = static_cast<int>(from_now(b, 1)); }},
    {"unplugged at the 2nd write (write fails)", 'W', [](Bench& b) { b.port->unplug_at_write(2); }},
    {"garble-host=0.2", 'h', [](Bench& b) { b.sim.faults().host_garble_rate = 0.2; }},
    {"unsolicited=0.2", 'u', [](Bench& b) { b.sim.faults().unsolicited_every = 0.2; }},
    {"flood", 'f', [](Bench& b) { b.sim.faults().flood = true; }},
    {"creep", 'c', [](Bench& b) { b.sim.faults().creep = true; }},
    {"stall-after=3 more", 'k', [](Bench& b) { b.sim.faults().stall_after = static_cast<int>(from_now(b, 3)); }},
    {"stall-in=0.3", 't', [](Bench& b) { b.sim.faults().stall_in = 0.3; }},
    {"jitter=0.4", 'j', [](Bench& b) { b.sim.faults().jitter = 0.4; }},
    {"duplicate=0.5", 'D', [](Bench& b) { b.sim.faults().duplicate_rate = 0.5; }},
    {"reorder=0.5", 'r', [](Bench& b) { b.sim.faults().reorder_rate = 0.5; }},
    {"slow=0.7", 'l', [](Bench& b) { b.sim.faults().reply_delay = 0.7; }},
    {"silent-after=4 more (dies mid-sequence)", 'x',
     [](Bench& b) { b.sim.faults().silent_after = static_cast<int>(from_now(b, 4)); }},
    {"power-on 6553.5 nm (long returns)", 'L', [](Bench&) {},
     [](sim::Memory& m) { m.power_on = kFarPowerOn; }},
    {"a stop requested after each write in turn", 'i', [](Bench&) {}, nullptr, true},
};
constexpr std::size_t kFaultCount = std::size(kFaults);

// ---- what each cell should show -----------------------------------------------------
// One row per operation, one letter per fault in the order of kFaults (keys above the
// columns). A letter is the outcome that must be among what the operator was told
// ('.': no failure at all); '*' accepts any outcome the operation documents, for the
// faults that pick bytes at random (which bytes they hit decides, not the control).
//
// Why the deterministic columns read as they do:
//  s a  a silent controller: a question fails its read-out (C, U); a move's reports
//       stop, so the stall test ends it (S) or, without one, the motion bound (B); an
//       acknowledgement or the jog's final position never comes (T); the download
//       stops (N). "silent after" also lets the jog end on the last report it had.
//  w    wrong first letter: identification fails on "z" (C); the refresh skips; the
//       reports are no reports (S, B); the jog's final position never comes (T).
//  p    a gap of 0.6 s inside every reply: longer than a reply's window, so questions
//       fail (C, U) and reports stop (S, B); acknowledgements are told by their
//       ending alone and still count.
//  S    stalled motor: the stall test (S) or the motion bound (B); a reposition or a
//       download's reset never finishes (T, N).
//  n    no acknowledgements: settings give up (T, N); moves need none.
//  v    the device vanishes mid-move: every motion reports the lost port (P).
//  V W  the port goes at the next command (read error) or the next write fails: P,
//       except where the operation's own failure path is documented (C, U).
//  c    creeping reports keep changing: no stall test sees them; the bound does (B).
//  k t  a stall switched on part-way: as S once it bites.
//  l    replies later than the reply window: as a silent controller for questions.
//  x    a controller that dies after four more commands, in the middle of a sequence:
//       identification and refresh fail on their fifth question (C, U), a move's
//       reports stop (S, B), the filter table stops at its fifth packet (T), the
//       download at its fifth setting (N); a jog ends on its last report.
//  L    the power-on position at 6553.5 nm, the largest the control accepts: the
//       motor stands there, so a return to the reference takes 3.5 minutes (and the
//       download's reset too); nothing may cut it short.
//  i    not a fault: a stop requested from outside after each write of the operation
//       in turn (run_stops). Every run ends within a second of the request with the
//       host's note or the host method's failure (I), the motor standing, a "k" only
//       where a motion had been started; operations that write nothing stay '.'.
// The stop row's stop click comes 0.3 s into its move, before any stall test or
// bound can end it, unless the motor stalls at once (S).
//                                 -sawgdpSnvVWhufcktjDrlxLi
constexpr std::string_view kExpected[] = {
    /* OpenCom             */ ".CCC**C...CC***...***CC.I",
    /* refresh             */ ".UU.**U...UU***...***UU.I",
    /* MonochromatorMoveTo */ ".SSS**SS.PPP***BSS***SS.I",
    /* jog press/release   */ ".T.T**T...PP***...***...I",
    /* stop                */ "...S**.S..PP***.S.***...I",
    /* increment up        */ ".BBB**BB.PPP***BBB***BB.I",
    /* increment down      */ ".BBB**BB.PPP***BBB***BB.I",
    /* target run          */ ".SSS**SS.PPP***BSS***SS.I",
    /* speed property      */ "....**....PP***...***...I",
    /* speed box           */ "....**....PP***...***...I",
    /* reposition          */ ".TU.**UTTPUU***T.T***UU.I",
    /* power-on property   */ "....**....PP***...***...I",
    /* power-on Enter      */ "....**....PP***...***...I",
    /* filter switch       */ ".T..**..T.PP***...***...I",
    /* filter write        */ ".TT.**..T.PP***...***.T.I",
    /* SaveParameter       */ "....**......***...***....",
    /* LoadParameter       */ ".NNC**CNNNNN***NNN***CN.I",
    /* ShowParaFace        */ "....**......***...***....",
    /* ShowRunFace         */ "....**......***...***....",
};

constexpr bool table_complete() {
  for (std::string_view row : kExpected)
    if (row.size() != kFaultCount) return false;
  return std::size(kExpected) == kOperationCount;
}
static_assert(table_complete(), "one row per operation, one letter per fault");

// ---- classifying what the operator was told ------------------------------------------

bool starts_with(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

Outcome classify(const Shown& m) {
  switch (m.kind) {
    case MessageKind::Question:
    case MessageKind::Success:
    case MessageKind::Information:
      return Outcome::Normal;
    case MessageKind::Refusal:
      return Outcome::Refused;
    case MessageKind::Failure:
      break;
  }
  const std::string& t = m.text;
  if (t == "Monochromator connection failed.") return Outcome::ConnectFailed;
  if (t == "Unable to connect to the monochromator.") return Outcome::RefreshFailed;
  if (t == "The position doesn't change, please check.") return Outcome::Stalled;
  if (t == "The monochromator did not reach its target in time. The motor was stopped.") return Outcome::Overran;
  if (starts_with(t, "The monochromator did not answer in time: ")) return Outcome::TimedOut;
  if (t == "The connection to the monochromator was lost. Check the cable and connect again.")
    return Outcome::PortLost;
  if (starts_with(t, "The operation could not be completed: ")) return Outcome::Failed;
  return Outcome::Unknown;
}

// A harness abort for an operation still running long after its bound.
struct Runaway {};

std::string parameter_file_path() {
  static int serial = 0;
  const auto dir = std::filesystem::temp_directory_path();
  return (dir / ("brivel-fault-matrix-" + std::to_string(::getpid()) + "-" + std::to_string(++serial) + ".txt"))
      .string();
}

std::string figure(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", seconds);
  return text;
}

}  // namespace

// ---- cells ---------------------------------------------------------------------------

std::vector<std::string> Cell::problems() const {
  std::vector<std::string> found;
  if (seconds > bound) found.push_back("took " + figure(seconds) + " s, bound " + figure(bound) + " s");
  if (busy_after) found.push_back("BlnBusy left True");
  if (!escaped.empty()) found.push_back("escaped: " + escaped);
  for (std::size_t i = 0; i < told.size(); ++i) {
    const char letter = static_cast<char>(told[i]);
    if (letter != '.' && allowed.find(letter) == std::string::npos)
      found.push_back(std::string("not documented for this operation (") + letter + "): " + texts[i]);
  }
  const auto seen = [&](char letter) {
    return std::any_of(told.begin(), told.end(), [&](Outcome o) { return static_cast<char>(o) == letter; });
  };
  if (expected == '.') {
    for (std::size_t i = 0; i < told.size(); ++i)
      if (told[i] != Outcome::Normal) found.push_back("expected no failure, told: " + texts[i]);
  } else if (expected != '*' && !seen(expected)) {
    found.push_back(std::string("expected outcome ") + expected + ", told " + static_cast<char>(outcome()));
  }
  if (!reconnected) found.push_back("did not connect again once the fault was gone");
  found.insert(found.end(), wrong.begin(), wrong.end());
  return found;
}

char Cell::mark() const {
  if (seconds > bound) return 'T';
  if (busy_after) return 'B';
  if (!escaped.empty()) return 'X';
  if (!reconnected && problems().size() == 1) return 'R';
  return problems().empty() ? '.' : 'M';
}

Outcome Cell::outcome() const {
  static constexpr char kProminence[] = "?FPCUTBSNRI";
  for (const char* letter = kProminence; *letter; ++letter)
    for (Outcome o : told)
      if (static_cast<char>(o) == *letter) return o;
  return Outcome::Normal;
}

const std::vector<OperationInfo>& operations() {
  static const std::vector<OperationInfo> all = [] {
    std::vector<OperationInfo> list;
    for (const Operation& op : kOperations) list.push_back({op.name, op.allowed});
    return list;
  }();
  return all;
}

const std::vector<FaultInfo>& faults() {
  static const std::vector<FaultInfo> all = [] {
    std::vector<FaultInfo> list;
    for (const Fault& fault : kFaults) list.push_back({fault.name, fault.key});
    return list;
  }();
  return all;
}

namespace {

sim::Memory memory_of(const Fault& fault) {
  sim::Memory memory = sim::factory_memory();
  if (fault.prepare) fault.prepare(memory);
  return memory;
}

// Connects a fresh bench if the operation wants it; false (and the cell told) when
// the fault-free instrument does not connect.
bool set_up(Bench& b, const Operation& op, Cell& cell) {
  if (op.connected_first) {
    b.control.OpenCom();
    if (!b.control.BlnMonConnectFlag()) {
      cell.escaped = "the fault-free instrument did not connect first";
      return false;
    }
  }
  b.clear();
  return true;
}

Where where(Bench& b) {
  const sim::Memory& m = b.sim.memory();
  const double home = static_cast<double>(m.power_on) + m.zero_offset;
  return {b.control.DblMonoWaveLen(), static_cast<double>(b.sim.position(b.pump.now())) + home};
}

// Runs the operation; what leaves it that must not is written into the cell.
// In the stop column a host method passes the stop it was asked for to the host, as
// documented: counted as what the host was told.
void run_guarded(const Operation& op, Scene& scene, Cell& cell, const std::function<void()>& body,
                 bool stops_expected = false) {
  try {
    body();
  } catch (const RuntimeFailure& failure) {
    if (stops_expected && op.host_method && failure.reason() == FailureReason::Interrupted) {
      cell.told.push_back(Outcome::Interrupted);
      cell.texts.push_back(std::string("stopped from outside: ") + failure.what());
    } else if (!(op.host_method && failure.reason() == FailureReason::PortLost))
      cell.escaped = std::string("RuntimeFailure (") + to_string(failure.reason()) + "): " + failure.what();
  } catch (const std::exception& failure) {
    cell.escaped = failure.what();
  } catch (const Runaway&) {
    cell.escaped = "still running a minute after its bound";
  }
  (void)scene;
}

// What the operator and the host were told, by class, into the cell. Notes of a stop
// the host requested count only where the cell requests them.
void collect_told(const Bench& b, Cell& cell, bool stops_expected) {
  for (const Shown& m : b.dialogs.shown()) {
    if (m.input) continue;
    cell.told.push_back(classify(m));
    cell.texts.push_back(m.text);
  }
  for (const HostNote& n : b.dialogs.notes()) {
    if (n.kind == HostNote::Kind::Interrupted) {
      cell.told.push_back(stops_expected ? Outcome::Interrupted : Outcome::Unknown);
      cell.texts.push_back("stopped from outside: " + n.text_en);
    } else if (n.operation == "LoadParameter" && starts_with(n.text_en, "The parameter download stopped: ")) {
      cell.told.push_back(Outcome::DownloadStopped);
      cell.texts.push_back(n.text_en);
    }
  }
}

bool is_motion_command(const Bytes& w) {
  if (w.empty()) return false;
  if (w[0] == 'W' || w[0] == 'U' || w[0] == 'D') return w.size() == 5;
  return w.size() == 2 && w[0] == 'K' && (w[1] == 1 || w[1] == 2 || w[1] == 8);
}

constexpr double kStopWithin = 1.0;   // s: a stop from outside ends the call this soon

// The stop column: the operation once fault-free to count its writes, then once for
// each write n, with a stop requested from outside as soon as a wait after the n-th
// write runs. Each run must end within a second of the request, leave the motor
// standing, send "k" only if a motion command had gone out, and leave the control
// idle and able to connect again.
Cell run_stops(const Operation& op, Cell cell) {
  std::size_t writes = 0;
  {
    Bench b;
    Scene scene{b, parameter_file_path()};
    if (!set_up(b, op, cell)) return cell;
    run_guarded(op, scene, cell, [&] { op.run(scene); });
    writes = b.port->written().size();
    std::error_code ignored;
    std::filesystem::remove(scene.file, ignored);
  }
  cell.bound = kStopWithin;
  cell.reconnected = true;
  if (writes == 0) cell.expected = '.';
  for (std::size_t n = 1; n <= writes; ++n) {
    Bench b;
    Scene scene{b, parameter_file_path()};
    if (!set_up(b, op, cell)) return cell;
    double asked_at = -1;
    bool moving = false, motion_sent = false;
    std::size_t written_then = 0;
    const double start = b.pump.now();
    b.control.set_wait_hook([&] {
      const auto& written = b.port->written();
      if (asked_at < 0 && written.size() >= n) {
        asked_at = b.pump.now();
        // A "k" just written, still on the line, has stopped the motor all the same.
        moving = b.sim.moving(asked_at) && written.back().bytes != Bytes{'k'};
        written_then = written.size();
        for (const auto& w : written) motion_sent = motion_sent || is_motion_command(w.bytes);
        b.control.RequestStop();
      }
      if (b.pump.now() - start > 600.0) throw Runaway{};
    });
    run_guarded(op, scene, cell, [&] { op.run(scene); }, true);
    const double ended = b.pump.now();
    b.control.set_wait_hook(nullptr);
    const std::string at = " (stop after write " + std::to_string(n) + " of " + std::to_string(writes) + ")";
    if (asked_at >= 0) {
      cell.seconds = std::max(cell.seconds, ended - asked_at);
      int stops = 0;
      const auto& written = b.port->written();
      for (std::size_t i = written_then; i < written.size(); ++i) stops += written[i].bytes == Bytes{'k'} ? 1 : 0;
      if (moving && stops == 0) cell.wrong.push_back("the motor was moving and got no \"k\"" + at);
      if (!motion_sent && stops > 0) cell.wrong.push_back("\"k\" sent although no motion had been started" + at);
      if (b.sim.moving(ended)) cell.wrong.push_back("the motor still moves after the call" + at);
    }
    run_guarded(op, scene, cell, [&] { b.pump.run_for(kSettle); });
    b.control.clear_stop_request();
    cell.busy_after = cell.busy_after || b.control.BlnBusy() != kFalse;
    collect_told(b, cell, true);
    run_guarded(op, scene, cell, [&] { b.control.OpenCom(); });
    if (b.control.BlnMonConnectFlag() == kFalse || b.control.BlnBusy() != kFalse) {
      cell.reconnected = false;
      cell.wrong.push_back("did not connect again" + at);
    }
    std::error_code ignored;
    std::filesystem::remove(scene.file, ignored);
  }
  return cell;
}

}  // namespace

Cell run_cell(std::size_t o, std::size_t f) {
  const Operation& op = kOperations[o];
  const Fault& fault = kFaults[f];
  Cell cell;
  cell.operation = op.name;
  cell.fault = fault.name;
  cell.allowed = op.allowed;
  cell.expected = kExpected[o][f];
  if (fault.stop_each_step) {
    cell.allowed += "I";
    return run_stops(op, cell);
  }

  Bench b(memory_of(fault));
  Scene scene{b, parameter_file_path()};
  if (!set_up(b, op, cell)) return cell;
  fault.apply(b);
  cell.bound = op.bound(b.control.bounds(), where(b));

  // An operation that overruns its bound is asked to stop a second after it, and cut
  // short a minute after that: the matrix itself must never hang.
  const double start = b.pump.now();
  bool stop_asked = false;
  b.control.set_wait_hook([&] {
    const double over = b.pump.now() - start - cell.bound;
    if (over > 1.0 && !stop_asked) {
      stop_asked = true;
      b.control.RequestStop();
    }
    if (over > 60.0) throw Runaway{};
  });
  const auto guarded = [&](const std::function<void()>& body) { run_guarded(op, scene, cell, body); };
  guarded([&] { op.run(scene); });
  cell.seconds = b.pump.now() - start;
  guarded([&] { b.pump.run_for(kSettle); });   // clicks scheduled by the operation
  b.control.set_wait_hook(nullptr);
  b.control.clear_stop_request();
  cell.busy_after = b.control.BlnBusy() != kFalse;

  collect_told(b, cell, false);

  // The fault goes (a vanished device is plugged in again); the control connects again.
  b.sim.faults() = sim::Faults{};
  if (b.sim.vanished()) b.sim.replug();
  b.port->replug();
  guarded([&] { b.control.OpenCom(); });
  cell.reconnected = b.control.BlnMonConnectFlag() != kFalse && b.control.BlnBusy() == kFalse;

  std::error_code ignored;
  std::filesystem::remove(scene.file, ignored);
  return cell;
}

std::vector<Cell> run_all() {
  std::vector<Cell> cells;
  for (std::size_t o = 0; o < kOperationCount; ++o)
    for (std::size_t f = 0; f < kFaultCount; ++f) cells.push_back(run_cell(o, f));
  return cells;
}

std::string render(const std::vector<Cell>& cells, bool outcomes) {
  constexpr std::size_t kNameWidth = 22;
  std::string text(kNameWidth, ' ');
  for (const Fault& fault : kFaults) text += fault.key;
  text += '\n';
  std::size_t clean = 0;
  for (std::size_t o = 0; o < kOperationCount; ++o) {
    std::string row = kOperations[o].name;
    row.resize(kNameWidth, ' ');
    for (const Cell& cell : cells) {
      if (cell.operation != kOperations[o].name) continue;
      row += outcomes ? static_cast<char>(cell.outcome()) : cell.mark();
      clean += cell.clean() ? 1 : 0;
    }
    text += row + '\n';
  }
  text += "\nfaults:\n";
  for (const Fault& fault : kFaults) text += std::string("  ") + fault.key + "  " + fault.name + '\n';
  if (outcomes) {
    text += "told: . nothing failed  C connection failed  U refresh failed  S position does not change\n"
            "      B motion bound, motor stopped  T did not answer in time  P port lost\n"
            "      N download stopped (note)  R refused  F run-time failure  ? undocumented\n";
  } else {
    text += "marks: . clean  T over its bound  B left busy  X a failure escaped\n"
            "       M message not expected or not documented  R did not connect again\n";
  }
  text += "clean cells: " + std::to_string(clean) + " of " + std::to_string(cells.size()) + '\n';
  return text;
}

}  // namespace brivel::testkit::faults
