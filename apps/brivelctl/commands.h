#pragma once
// What brivelctl can be told, in one table: every step with the words it takes, one
// line for --help, a paragraph for `help STEP` and the manual page. The step runner
// (session.cpp) has a row for each name here, the command line (options.cpp) takes the
// words from here, and --help, `help STEP`, --man and --completion print from here.

#include <ostream>
#include <string>
#include <vector>

namespace brivel::ctl {

enum class Group {
  Verb,      // the instrument's operations, on the control's non-blocking interface
  Property,  // the control's properties by name
  Panel,     // the operator's controls of the panels by name, as a click or a key
  Other,     // the event loop, the port list
};

struct Command {
  const char* name;
  const char* words;     // what follows the name in the synopsis ("NM", "up|down SECONDS")
  int min_words;         // words it takes ...
  int max_words;         // ... up to this many (the words past min_words must be numbers)
  Group group;
  const char* summary;   // one line
  const char* detail;    // what `help STEP` and the manual add
};

// In the order --help lists them.
const std::vector<Command>& commands();
const Command* command(const std::string& name);

// One option as --help and the manual show it.
struct OptionDoc {
  const char* flag;     // "--com"
  const char* value;    // "N", or "" for a switch
  const char* summary;
};

// The usage lines (printed after a command line that cannot be used).
extern const char* const kUsage;

void print_help(std::ostream& out);
// False when `name` is no step.
bool print_step_help(std::ostream& out, const std::string& name);
// The manual page in roff.
void print_man(std::ostream& out);
// The bash completion script.
void print_bash_completion(std::ostream& out);

}  // namespace brivel::ctl
