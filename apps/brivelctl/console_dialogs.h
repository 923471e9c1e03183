#pragma once
// Message and input boxes on the console. Every box prints one line to standard
// error, "[TITLE] TEXT". A question (OK and Cancel) is answered OK when --yes was
// given, Cancel otherwise; an input box takes the next --answer, or is cancelled
// when none is left. Notes for the host print as "brivelctl: OPERATION: TEXT".
//
// The kind of every message is counted: a refusal or a failure decides brivelctl's
// exit status (see session.h), never the wording.

#include <deque>
#include <functional>
#include <ostream>
#include <string>

#include "platform/dialogs.h"

namespace brivel::ctl {

class ConsoleDialogs : public Dialogs {
 public:
  ConsoleDialogs(std::ostream& out, bool yes, std::deque<std::string> answers);
  Answer message(const std::string& text, const std::string& title, Icon icon,
                 Buttons buttons) override;
  std::optional<std::string> input(const std::string& prompt, const std::string& title,
                                   const std::string& default_text) override;
  Answer show(const Message& m) override;
  void note(const HostNote& n) override;

  // Refusals and failures shown since the last call.
  int take_refusals();
  // Runs before every line this writes (brivelctl clears its progress line there).
  void set_before_line(std::function<void()> before) { before_line_ = std::move(before); }

 private:
  void print(const std::string& title, const std::string& text);
  std::ostream& out_;
  bool yes_;
  std::deque<std::string> answers_;
  int refusals_ = 0;
  std::function<void()> before_line_;
};

}  // namespace brivel::ctl
