#pragma once
// Message and input boxes on the console. Every box prints one line to standard
// error, "[TITLE] TEXT". A question (OK and Cancel) is answered OK when --yes was
// given, Cancel otherwise; an input box takes the next --answer, or is cancelled
// when none is left.

#include <deque>
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

 private:
  void print(const std::string& title, const std::string& text);
  std::ostream& out_;
  bool yes_;
  std::deque<std::string> answers_;
};

}  // namespace brivel::ctl
