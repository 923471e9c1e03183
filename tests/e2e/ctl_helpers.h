#pragma once
// Shared by brivelctl's tests: runs with a limit, output and --trace lines, a silent pty, paths, brivel-sim.

#include <pty.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "live_program.h"

#ifndef BRIVELCTL_PROGRAM
#error "brivel_e2e_tests needs BRIVELCTL_PROGRAM (the brivelctl target)"
#endif

namespace e2e::brivelctl {

using e2e::Finished;
using e2e::has_line;
using e2e::lines;
using Words = std::vector<std::string>;

constexpr double kLimit = 20.0;  // seconds: no run of brivelctl here needs more than a few

inline Finished ctl(const Words& args, const Words& env = {}) {
  return e2e::run_program(BRIVELCTL_PROGRAM, args, kLimit, env);
}

// The lines of `wanted` ("IntSpeed=250") that `text` lacks.
inline Words missing(const std::string& text, const Words& wanted) {
  Words absent;
  for (const std::string& line : wanted)
    if (!has_line(text, line)) absent.push_back(line);
  return absent;
}

// --trace lines ("  1532.418 > 57 00 01 55 4B") beginning with `prefix` ("> 57"), without timestamps.
inline Words traced(const std::string& err, const std::string& prefix) {
  Words found;
  for (const std::string& line : lines(err)) {
    const std::size_t time = line.find_first_not_of(' ');
    const std::size_t space = line.find(' ', time);
    if (time == std::string::npos || space == std::string::npos) continue;
    const std::string stamp = line.substr(time, space - time);
    if (stamp.find_first_not_of("0123456789.") != std::string::npos) continue;
    const std::string rest = line.substr(space + 1);
    if (rest.rfind(prefix, 0) == 0) found.push_back(rest);
  }
  return found;
}

inline std::string describe(const Finished& f) {
  std::ostringstream s;
  s << "status " << f.status << (f.timed_out ? " (timed out)" : "") << " after " << f.seconds
    << " s\n--- stdout\n" << f.out << "--- stderr\n" << f.err;
  return s.str();
}

// A pseudo-terminal whose far end nobody answers: a controller that stays silent.
struct SilentPeer {
  SilentPeer() {
    int slave = -1;
    char name[256] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) return;
    close(slave);  // the master keeps the slave device in existence
    device = name;
  }
  ~SilentPeer() {
    if (master >= 0) close(master);
  }
  int master = -1;
  std::string device;
};

inline std::string temp_path(const std::string& name) {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir && *dir ? dir : "/tmp") + "/brivelctl-e2e-" + std::to_string(getpid()) + "-" + name;
}

// brivel-sim on a pty under a link (as /dev/serial/by-id); pull_out() and the destructor kill it at once, as
// an adapter unplugged.
struct LinkedSim {
  explicit LinkedSim(const std::string& name, Words more = {}) : link(temp_path(name)) {
    more.insert(more.begin(), {"--link", link});
    sim = std::make_unique<e2e::LiveProgram>(BRIVEL_SIM_PROGRAM, more);
    for (int i = 0; i < 300 && !ready(); ++i) usleep(10000);
  }
  ~LinkedSim() { pull_out(); }
  bool ready() const { return access(link.c_str(), F_OK) == 0; }
  void pull_out() {
    sim.reset();   // killed with SIGKILL
    unlink(link.c_str());
  }
  std::string link;
  std::unique_ptr<e2e::LiveProgram> sim;
};

}  // namespace e2e::brivelctl
