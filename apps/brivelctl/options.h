#pragma once
// The command line of brivelctl:
//   brivelctl [--com N] [--port DEVICE] [--sim] [--lang en|zh] [--yes] [--answer TEXT]
//             [--stop-on-refusal] [--trace] [--trace-file PATH] [--sim-fault FAULT]
//             [--sim-memory NAME=VALUE] [--sim-rate STEPS] STEP...
//   brivelctl help [STEP] | --help | --version
//   brivelctl --man | --completion     (hidden: the manual page, the bash completion)
// Options may stand before, between or after the steps; a step takes the number of
// words its name asks for (see session.h), whatever they look like.

#include <deque>
#include <string>
#include <vector>

namespace brivel::ctl {

struct Step {
  std::string name;
  std::vector<std::string> args;
};

struct Options {
  int com = 0;               // 0: not given (the control's own port number stays)
  std::string port;          // --port DEVICE; empty: the device of the port number
  bool sim = false;
  int language = -1;         // 1 English, 0 Chinese, -1 not given
  bool yes = false;
  std::deque<std::string> answers;
  bool stop_on_refusal = false;  // end the run at the first refused or failed operation
  bool trace = false;            // the traffic log on standard error
  std::string trace_file;        // --trace-file PATH: the traffic log appended to PATH
  bool help = false;
  std::string help_topic;    // `help STEP`: the step to tell of
  bool version = false;
  bool man = false;          // --man: print the manual page in roff
  bool completion = false;   // --completion: print the bash completion script
  // With --sim: faults ("silent", "stall", ...) and memory values ("instrument-no",
  // "777") of the simulated controller, as brivel-sim takes them.
  std::vector<std::string> sim_faults;
  std::vector<std::pair<std::string, std::string>> sim_memory;
  double sim_rate = 0;       // motor steps per second per unit of speed; 0: the model's

  std::vector<Step> steps;
};

struct ParsedCommandLine {
  Options options;
  std::string error;  // empty when the command line can be used
};

// `args` without the program name. A step takes the words commands() gives it (a step
// with a range takes further words while they are numbers); they are checked later,
// against the control (see Session::check).
ParsedCommandLine parse_command_line(const std::vector<std::string>& args);

struct OptionDoc;
// The options as --help and the manual list them, in that order (hidden ones left out).
std::vector<OptionDoc> option_docs();

}  // namespace brivel::ctl
