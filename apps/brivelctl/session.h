#pragma once
// The steps of brivelctl, run in order on one control.
//
// Every step is a row of one table: its name, how many words it takes, a check of
// those words against the control (before anything runs) and its action. The
// operator's steps (click, type, key, mouse, hold, later) reach the panels' controls
// through tables of their own, keyed by the control's name.

#include <QObject>
#include <ostream>
#include <string>
#include <vector>

#include "control/brivel.h"
#include "options.h"

namespace brivel::ctl {

// Exit status of brivelctl.
enum class Exit : int {
  Ok = 0,            // every step ran
  Failure = 1,       // a run-time failure reached the host from a method
  Usage = 2,         // a command line it cannot use
  NotConnected = 3,  // an open step ended not connected
};

class Session {
 public:
  // `out` takes what the steps print (info, get, show, value); `err` the notes.
  Session(Brivel& control, std::ostream& out, std::ostream& err);

  // Words a step takes; -1 for a name that is no step.
  static int arity(const std::string& step);
  // Why the step cannot run on this control (unknown control or property, a word
  // that is no number); empty when it can.
  std::string check(const Step& step) const;
  // Runs the steps in order; stops at the first that does not end Ok. Scheduled
  // operator actions still due are waited for after the last step.
  Exit run(const std::vector<Step>& steps);

  // ---- used by the step table ------------------------------------------------
  Brivel& control() { return control_; }
  const Brivel& control() const { return control_; }
  std::ostream& out() { return out_; }
  std::ostream& err() { return err_; }
  // Lets the event loop run for `seconds`.
  void wait(double seconds);
  // Moves the input focus to `name` as an operator's action does; a text box that
  // loses it runs its focus-loss handler.
  void focus(const std::string& name);
  // Runs `action` after `seconds` from the event loop, inside whatever runs then.
  void later(double seconds, std::function<void()> action);
  // Runs an operator's action from the event loop; a failure that escapes it is kept
  // and ends the run after the current step.
  void guarded(const std::function<void()>& action);

 private:
  Brivel& control_;
  std::ostream& out_;
  std::ostream& err_;
  QObject timers_;      // context of the scheduled actions
  int pending_ = 0;     // scheduled actions not yet run
  std::string escaped_; // a failure that escaped a scheduled action
};

}  // namespace brivel::ctl
