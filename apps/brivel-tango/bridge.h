#pragma once
// The control behind the Tango device, without Tango: a brivel::ControlThread on the Qt
// core platform (its own thread, event pump and serial port), the Port property turned
// into a port, and a delivery thread that hands position reports and changes to the
// device in order. No caller of this class ever waits on the instrument: operations are
// started and watched only until they have either ended or sent their first command.

#include <sys/time.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "control/controller.h"
#include "device_state.h"

namespace brivel::tango {

struct BridgeSettings {
  std::string port;         // the Port property: a device path, or a port number 1 to 16
  int language = 1;         // 0 Chinese, 1 English
  bool answer_yes = true;   // how the control's questions are answered
};

// What a Port property names: a device (pinned to port number 1) or a port number.
struct PortChoice {
  int number = 1;
  std::string device;       // empty: the port number is mapped by the port rule
  std::string error_en, error_zh;  // the property is unusable (then nothing else counts)
};
PortChoice parse_port(const std::string& property);

class Bridge {
 public:
  // Called on the delivery thread, one at a time and in the order things happened.
  struct Sink {
    std::function<void(double nm, const timeval& arrived)> position;  // each position report
    std::function<void()> changed;  // the state, the status or an instrument value may differ
  };

  Bridge(BridgeSettings settings, Sink sink);
  ~Bridge();  // stops a running motion, closes the port, joins both threads
  Bridge(const Bridge&) = delete;
  Bridge& operator=(const Bridge&) = delete;

  Situation situation() const;
  std::uint64_t reports() const { return reports_.load(); }
  int language() const { return settings_.language; }

  // Starts an operation and waits, for at most `bound` seconds, until it has ended or
  // written its first command to the controller. Gives the Result when it ended by
  // then; nullopt when it runs on (accepted: something was sent).
  using Starter = std::function<Operation(Controller&)>;
  std::optional<Result> start(const Starter& starter, double bound = 2.0);

  // Connects (the Open command, and the device's start); refused at once with the
  // configuration error when the Port property is unusable.
  std::optional<Result> open();
  // Disconnects (the Close command): a running operation is stopped first.
  std::optional<Result> close();
  // The stop button for what runs; safe from a signal handler.
  void request_stop() noexcept;
  // Stops the delivery thread: no Sink call is made after it returns (but one that runs
  // meanwhile is waited for). The destructor calls it.
  void stop_delivery();

 private:
  void deliver();
  void mark_changed();
  void wrote();  // the port wrote a command (on the control's thread)

  BridgeSettings settings_;
  PortChoice port_;
  Sink sink_;
  std::unique_ptr<ControlThread> control_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  int observer_ = 0;
  std::atomic<std::uint64_t> reports_{0};
  std::atomic<std::uint64_t> writes_{0};

  mutable std::mutex mutex_;            // guards what follows
  std::condition_variable progress_;    // a write, an operation's end
  std::condition_variable delivery_;    // something to deliver
  std::deque<std::pair<double, timeval>> positions_;
  bool changed_ = false;
  bool delivering_ = true;
  bool wanted_ = false;
  std::string fault_en_, fault_zh_;
  std::thread delivery_thread_;
};

}  // namespace brivel::tango
