#pragma once
// Serves the simulated controller on a pseudo-terminal, so that any program that opens
// a serial device (the Qt port of the control, brivelctl, a terminal) talks to it as to
// real hardware. POSIX only.
//
//   PtyServer server(memory, faults, options);
//   server.start(error);          // opens the pty in raw mode; device() is its path
//   server.run();                 // serves until stop() or the device vanishes
//
// or, for a program that keeps working meanwhile: server.start_background(error), and
// the destructor stops and joins.
//
// Replies leave at the line's pace, one byte each 10 / 9600 s. A client may close and
// reopen the device at will: while no client holds it, nothing is sent (a watch on the
// device's opens says when a client is back; where there is none, the hang-up is
// looked at every `hangup_poll` seconds instead of spinning on it), and on reopen
// the controller drops its partial commands and unsent replies but keeps its memory
// and motion. When the controller vanishes (the vanish fault) the pseudo-terminal is
// closed, as an unplugged adapter disappears, and run() returns Vanished.

#include <atomic>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "sim_controller.h"

namespace brivel::sim {

struct PtyOptions {
  std::string link;                  // if set: a symbolic link to the device, removed at the end
  bool trace = false;                // every byte both ways, in hex with times
  std::FILE* trace_to = stderr;
  double byte_time = 10.0 / 9600.0;  // seconds per reply byte: 9600 baud, 8N1
  double hangup_poll = 0.05;         // seconds between looks while no client holds the device
                                     // (only where the device's opens cannot be watched)
  double hold_up = 0.0;              // seconds the thread stands still after a poll that saw the
                                     // client hang up, before it acts on it (a busy machine
                                     // holding the thread up: for tests)
};

class PtyServer {
 public:
  enum class End { Running, Stopped, Vanished, Failed };

  explicit PtyServer(Memory memory = factory_memory(), Faults faults = {}, PtyOptions options = {});
  ~PtyServer();
  PtyServer(const PtyServer&) = delete;
  PtyServer& operator=(const PtyServer&) = delete;

  // Opens the pseudo-terminal and makes the link. False, with `error`, on failure.
  bool start(std::string& error);
  // The slave device path, e.g. /dev/pts/3 (empty before start).
  const std::string& device() const { return device_; }
  // Serves until stop() or until the device vanishes; closes the device and removes
  // the link before it returns.
  End run();
  // start(), then run() on a thread of its own.
  bool start_background(std::string& error);
  // Ends run() soon. Callable from any thread and from a signal handler.
  void stop();
  // Waits for the background thread, if any.
  void join();
  // Runs `use` on the controller while the server does not touch it.
  void with_controller(const std::function<void(Controller&)>& use);
  End end() const { return end_.load(); }

 private:
  struct Loop;
  double elapsed() const;
  void close_device();
  void trace(double t, const char* tag, const std::string& text) const;

  Controller controller_;
  PtyOptions options_;
  std::string device_;
  int master_ = -1;
  int wake_read_ = -1;
  int wake_write_ = -1;
  int open_watch_ = -1;  // inotify watch on the device's opens, or -1
  bool linked_ = false;
  std::atomic<bool> stop_{false};
  std::atomic<End> end_{End::Running};
  std::mutex mutex_;  // guards controller_
  std::thread thread_;
  double origin_ = 0.0;  // steady clock at start, seconds
};

}  // namespace brivel::sim
