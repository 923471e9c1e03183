#pragma once
// The steps of brivelctl, run in order on one control.
//
// Every step is a row of one table: its name, a check of its words against the
// control (before anything runs) and its action; what words it takes and what it is
// for are in commands.h. The verbs start an operation of the Controller and run the
// event loop until it ends; the operator's steps (click, type, key, mouse, hold,
// later) reach the panels' controls through tables of their own, keyed by the
// control's name. The steps that existed before the verbs (open, close, move, info,
// get, set) call the control's methods as a host does.

#include <QObject>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "control/control.h"
#include "control/controller.h"
#include "options.h"
#include "progress.h"

namespace brivel::ctl {

class ConsoleDialogs;

// Exit status of brivelctl: the worst outcome of the run.
enum class Exit : int {
  Ok = 0,            // every step ran, nothing was refused or failed
  Failure = 1,       // a run-time failure reached the host from a method (ends the run)
  Usage = 2,         // a command line it cannot use (nothing runs)
  NotConnected = 3,  // an open step ended not connected (ends the run)
  Refused = 4,       // an operation was refused or failed with an operator message
  Interrupted = 130, // SIGINT stopped the run (128 + 2)
  Terminated = 143,  // SIGTERM stopped the run (128 + 15)
};

// The worse of two outcomes: a stop by a signal, then 1, 3, 4 and 0.
Exit worse(Exit a, Exit b);

struct SessionSettings {
  bool stop_on_refusal = false;  // end the run after the first step that was refused
  bool progress = false;         // draw the progress line (standard error is a terminal)
  int width = 0;                 // the terminal's columns, 0 when unknown
};

class Session {
 public:
  // `out` takes what the steps print (info, get, show, value, ports, scan, watch);
  // `err` the notes and the progress line. The session installs the control's wait
  // hook and the controller's answerer (the console's: --yes or no).
  Session(Controller& controller, ConsoleDialogs& dialogs, std::ostream& out, std::ostream& err,
          SessionSettings settings = {});
  ~Session();

  // The names a step's words can be, for the shell's completion: "click" (every
  // clickable control), "get", "set", "hold", "mouse", "key".
  static std::vector<std::string> names(const std::string& step);
  // Why the step cannot run on this control (unknown control or property, a word
  // that is no number); empty when it can.
  std::string check(const Step& step) const;
  // Runs the steps in order and gives the worst outcome. A failure (1) or an open
  // that ends not connected (3) ends the run; a refusal (4) ends it only with
  // stop_on_refusal; SIGINT or SIGTERM ends it after the step they came in. Scheduled
  // operator actions still due are waited for after the last step.
  Exit run(const std::vector<Step>& steps);

  // ---- used by the step table ------------------------------------------------
  Control& control() { return control_; }
  const Control& control() const { return control_; }
  Controller& controller() { return controller_; }
  std::ostream& out() { return out_; }
  std::ostream& err() { return err_; }
  Progress& progress() { return progress_; }
  // True the first time it is asked in a run.
  bool first_open() { return !std::exchange(opened_before_, true); }
  // Lets the event loop run for `seconds`; returns early when a stop signal came.
  void wait(double seconds);
  // Moves the input focus to `name` as an operator's action does; a text box that
  // loses it runs its focus-loss handler.
  void focus(const std::string& name);
  // Runs `action` after `seconds` from the event loop, inside whatever runs then.
  void later(double seconds, std::function<void()> action);
  // Runs an operator's action from the event loop; a failure that escapes it is kept
  // and ends the run after the current step.
  void guarded(const std::function<void()>& action);
  // Runs the event loop until `op` has ended and gives its result. A stop signal
  // cancels it (a queued operation then never starts).
  Result await(const Operation& op);
  // The exit status of a verb's result; says on `err` what the operator's messages
  // did not. A question answered no (without --yes) makes a done operation not done.
  Exit verdict(const Step& step, const Result& result);
  // Clears the note of a question answered no; true when one was since the last call.
  bool take_declined() { return std::exchange(declined_, false); }

 private:
  // One step, with its failures reported; the progress line is up meanwhile.
  Exit run_step(const Step& step);
  Exit report(const Step& step, const std::exception& failure);
  // The outcome of a stop by a signal, reported once.
  Exit stopped_by_signal();

  Controller& controller_;
  Control& control_;
  ConsoleDialogs& dialogs_;
  std::ostream& out_;
  std::ostream& err_;
  SessionSettings settings_;
  Progress progress_;
  QObject timers_;      // context of the scheduled actions
  int pending_ = 0;     // scheduled actions not yet run
  std::string escaped_; // a failure that escaped a scheduled action
  bool opened_before_ = false;
  bool declined_ = false;  // a question of a verb was answered no
};

}  // namespace brivel::ctl
