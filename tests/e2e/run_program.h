#pragma once
// Runs a program as a child with its output captured and a time limit: a child still
// running when the limit passes is killed, so no test hangs on a stuck program.

#include <string>
#include <vector>

namespace e2e {

struct Finished {
  int status = -1;          // exit status; 128 + signal when killed by one
  bool timed_out = false;   // killed at the time limit
  std::string out;          // standard output
  std::string err;          // standard error
  double seconds = 0;       // wall time from start to exit
  double cpu_seconds = 0;   // processor time the child used (user and system)
};

// `env` entries ("NAME=value") are added to (or replace in) the environment.
Finished run_program(const std::string& path, const std::vector<std::string>& args,
                     double limit_seconds, const std::vector<std::string>& env = {});

// A child that keeps running while the test works (brivel-sim); killed on
// destruction. Its output is discarded.
class Background {
 public:
  Background(const std::string& path, const std::vector<std::string>& args);
  ~Background();
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;
  bool running();

 private:
  int pid_ = -1;
};

// The lines of a text.
std::vector<std::string> lines(const std::string& text);
// Whether some line of `text` equals `line`.
bool has_line(const std::string& text, const std::string& line);

}  // namespace e2e
