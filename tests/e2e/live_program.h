#pragma once
// A program watched while it runs: output read as it comes, signals, a time limit (then killed); its
// standard error may be a pty (for what is drawn only on a terminal), and it may run as another user.

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "run_program.h"

namespace e2e {

struct LiveSetup {
  std::vector<std::string> env;  // "NAME=value", added to the inherited environment
  bool err_on_terminal = false;  // standard error is a pseudo-terminal
  int uid = -1, gid = -1;        // run as this user and group (the test must be root)
};

class LiveProgram {
 public:
  LiveProgram(const std::string& path, const std::vector<std::string>& args, const LiveSetup& setup = {})
      : start_(Clock::now()) {
    int out_pipe[2], err_pipe[2] = {-1, -1}, err_slave = -1;
    if (pipe2(out_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    if (setup.err_on_terminal) {
      if (openpty(&fds_[1], &err_slave, nullptr, nullptr, nullptr) != 0)
        throw std::runtime_error("no pseudo-terminal");
      fcntl(fds_[1], F_SETFD, FD_CLOEXEC);
    } else {
      if (pipe2(err_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
      fds_[1] = err_pipe[0];
    }
    const int child_err = setup.err_on_terminal ? err_slave : err_pipe[1];
    std::vector<std::string> argv{path}, envv = child_environment(setup.env);
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> argp = c_strings(argv), envp = c_strings(envv);
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
      // The child: only async-signal-safe calls until exec.
      const int null_fd = open("/dev/null", O_RDONLY);
      dup2(null_fd, 0);
      dup2(out_pipe[1], 1);
      dup2(child_err, 2);
      if (setup.gid >= 0 && (setgroups(0, nullptr) != 0 || setgid(static_cast<gid_t>(setup.gid)) != 0))
        _exit(126);
      if (setup.uid >= 0 && setuid(static_cast<uid_t>(setup.uid)) != 0) _exit(126);
      execve(path.c_str(), argp.data(), envp.data());
      _exit(127);
    }
    close(out_pipe[1]);
    close(child_err);
    fds_[0] = out_pipe[0];
  }
  ~LiveProgram() {
    if (!done_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (fds_[0] >= 0) close(fds_[0]);
    if (fds_[1] >= 0) close(fds_[1]);
  }
  LiveProgram(const LiveProgram&) = delete;
  LiveProgram& operator=(const LiveProgram&) = delete;
  pid_t pid() const { return pid_; }
  const std::string& out() const { return out_; }
  const std::string& err() const { return err_; }
  // Reads until `seen(out, err)` holds (true), the output ends or `limit` seconds pass.
  bool read_until(const std::function<bool(const std::string&, const std::string&)>& seen, double limit) {
    const auto until = Clock::now() + std::chrono::duration<double>(limit);
    while (!seen(out_, err_)) {
      const double left = std::chrono::duration<double>(until - Clock::now()).count();
      if (left <= 0 || (fds_[0] < 0 && fds_[1] < 0)) return false;
      read_some(left);
    }
    return true;
  }
  void signal(int number) { kill(pid_, number); }
  // Reads to the end and waits for the exit; kills the program at the limit.
  Finished finish(double limit) {
    const auto until = Clock::now() + std::chrono::duration<double>(limit);
    Finished f;
    while (fds_[0] >= 0 || fds_[1] >= 0) {
      const double left = std::chrono::duration<double>(until - Clock::now()).count();
      if (left <= 0) {
        f.timed_out = true;
        kill(pid_, SIGKILL);
        break;
      }
      read_some(left);
    }
    int raw = 0;
    rusage usage{};
    wait4(pid_, &raw, 0, &usage);
    done_ = true;
    f.status = exit_status(raw);
    f.cpu_seconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                    static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    f.out = out_;
    f.err = err_;
    f.seconds = std::chrono::duration<double>(Clock::now() - start_).count();
    return f;
  }

 private:
  using Clock = std::chrono::steady_clock;
  void read_some(double limit) { read_output(fds_, out_, err_, limit); }
  Clock::time_point start_;
  pid_t pid_ = -1;
  int fds_[2] = {-1, -1};   // standard output and error
  bool done_ = false;
  std::string out_, err_;
};

// Runs a program to its end with its output captured; killed at the limit.
inline Finished run_program(const std::string& path, const std::vector<std::string>& args, double limit,
                            const std::vector<std::string>& env = {}) {
  return LiveProgram(path, args, LiveSetup{env}).finish(limit);
}

}  // namespace e2e
