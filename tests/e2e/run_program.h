#pragma once
// A child's environment, arguments and exit status, and reading its output (live_program.h starts it).

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace e2e {

struct Finished {
  int status = -1;         // exit status; 128 + signal when killed by one
  bool timed_out = false;  // killed at the time limit
  std::string out, err;    // standard output and error
  double seconds = 0;      // wall time from start to exit
  double cpu_seconds = 0;  // processor time the child used (user and system)
};

// A child's environment: `env` ("NAME=value") first, then inherited variables it does not set again.
inline std::vector<std::string> child_environment(const std::vector<std::string>& env) {
  std::vector<std::string> all(env);
  for (char** e = environ; *e; ++e) {
    const std::string inherited(*e);
    const std::string name = inherited.substr(0, inherited.find('=') + 1);
    bool overridden = false;
    for (const std::string& given : env) overridden = overridden || given.rfind(name, 0) == 0;
    if (!overridden) all.push_back(inherited);
  }
  return all;
}

// argv/envp of a list of words, ending in a null pointer; the words must outlive it.
inline std::vector<char*> c_strings(std::vector<std::string>& words) {
  std::vector<char*> p;
  for (std::string& w : words) p.push_back(w.data());
  p.push_back(nullptr);
  return p;
}

// A wait status as a shell gives it: the exit status, or 128 + the signal.
inline int exit_status(int raw) {
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : WIFSIGNALED(raw) ? 128 + WTERMSIG(raw) : -1;
}

// One poll (at most `seconds`) of a child's stdout and stderr (fds; -1 once closed): appends what came,
// closes an ended output and sets it to -1 (a pty whose last user is gone reads EIO).
inline void read_output(int (&fds)[2], std::string& out, std::string& err, double seconds) {
  pollfd polled[2] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
  if (poll(polled, 2, static_cast<int>(seconds * 1000) + 1) <= 0) return;
  std::string* sinks[2] = {&out, &err};
  for (int i = 0; i < 2; ++i) {
    if (fds[i] < 0 || !(polled[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    char buffer[4096];
    const ssize_t n = read(fds[i], buffer, sizeof buffer);
    if (n > 0) {
      sinks[i]->append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      close(fds[i]);
      fds[i] = -1;
    }
  }
}

// The lines of a text, without line ends.
inline std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> all;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line); all.push_back(line))
    if (!line.empty() && line.back() == '\r') line.pop_back();
  return all;
}

inline bool has_line(const std::string& text, const std::string& line) {
  for (const std::string& l : lines(text))
    if (l == line) return true;
  return false;
}

}  // namespace e2e
