#pragma once
// The control hosted in a Python process: one brivel::Control on the Qt core platform
// (QtEventPump, QtSerialPort), as brivelctl hosts it, with Python as the operator.
//
// Every call into the control runs through run(): the GIL is released for the whole
// call and taken again only in the callbacks (the wait hook, messages, questions,
// logging). What the control reports during the call (its messages and host notes,
// a run-time failure it passes on, an exception of a Python callback, a Ctrl-C) is
// collected and turned into a Python exception once the call has returned.
//
// A Ctrl-C reaches the call through the wait hook, which runs once a tick inside
// every wait: PyErr_CheckSignals() runs Python's signal handlers there; the exception
// a handler raises is kept and the control is asked to stop (RequestStop), which
// stops the motor as the stop button does and ends the call; the kept exception is
// raised when the call has returned.
//
// The Qt objects belong to the thread that made the instrument: every call but
// request_stop() must come from that thread.

#include <pybind11/pybind11.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "control/control.h"

namespace brivel::sim {
class PtyServer;
}
namespace brivel::qt {
class QtEventPump;
}

namespace brivel::pyhost {

namespace py = pybind11;

// How the outcome of a call is judged once it has returned.
enum class Judge {
  Messages,      // a refusal or failure message of the control raises
  Connection,    // connecting: the control is connected afterwards, or it raises
  RangeChecked,  // as Messages; an entry the range check refused raises too
};

// The simulated controller's settings, by the names brivel-sim takes.
struct SimulatorSettings {
  std::vector<std::pair<std::string, std::string>> memory;  // name, value
  std::vector<std::string> faults;
  double rate = 0;  // motor steps per second per unit of speed; 0: the simulator's own
};

class Instrument final : private Dialogs {
 public:
  // `device` (any path, or a name under /dev) is opened whatever port number is in
  // force; empty: the port number `com` maps to its device as the control always does.
  // `confirm`: None (answer yes), a bool, or a callable taking the question's text.
  Instrument(std::string device, int com, py::object confirm);
  ~Instrument() override;
  Instrument(const Instrument&) = delete;
  Instrument& operator=(const Instrument&) = delete;

  // Starts the simulated controller on a pseudo-terminal and hosts the control on it.
  // Throws std::invalid_argument for a setting the simulator does not know, and
  // RuntimeFailure(PortFailure) when no pseudo-terminal can be had.
  static std::unique_ptr<Instrument> simulated(const SimulatorSettings& settings, py::object confirm);

  // The control, for reading its properties (checks the calling thread).
  Control& control();
  const Control& control() const;

  // Runs `body` (which calls the control) with the GIL released, then raises what
  // the call reported; `operation` names the call in the exception. With
  // Judge::RangeChecked, `refused` says what the range check refused.
  void run(const char* operation, const std::function<void()>& body, Judge judge = Judge::Messages,
           const Wording& refused = Wording{"", ""});

  // Raises NotConnectedError when the control is not connected.
  void require_connected(const char* operation) const;

  // Ends the running call as the stop button does; from any thread. A request made
  // while no call runs is dropped when the next call starts.
  void request_stop() noexcept;
  // True when the calling thread is the instrument's and a call is running on it.
  bool in_call() const;
  bool owner_thread() const { return std::this_thread::get_id() == owner_; }

  std::string device() const;      // the device opened (or that the port number maps to)
  bool is_simulated() const { return simulator_ != nullptr; }
  // The commands the simulated controller has framed so far, as text like
  // "W 00 00 27 10" (empty for a real instrument).
  std::vector<std::string> simulator_log() const;

  // Raises a Python RuntimeError when called from another thread than the instrument's.
  void check_thread() const;

 private:
  struct Frame;

  Instrument(std::string device, int com, py::object confirm, std::unique_ptr<sim::PtyServer> simulator);

  // ---- the operator's side, for Python (Dialogs) ----------------------------------
  Answer message(const std::string& text, const std::string& title, Icon icon, Buttons buttons) override;
  std::optional<std::string> input(const std::string& prompt, const std::string& title,
                                   const std::string& default_text) override;
  Answer show(const Message& m) override;
  void note(const HostNote& n) override;

  Answer ask(const Message& question);          // the confirm callable
  void log(int level, const std::string& text); // the `brivel` logger
  void on_tick() noexcept;                       // the wait hook
  // Keeps the Python exception being handled for the running call; `stop` asks the
  // call to end as well.
  void keep(py::error_already_set&& error, bool stop);
  Frame* top() { return frames_.empty() ? nullptr : frames_.back(); }
  void conclude(Frame& frame, Judge judge, const Wording& refused);

  std::thread::id owner_;
  std::string device_;
  py::object confirm_;
  std::unique_ptr<sim::PtyServer> simulator_;  // outlives the port, which closes first
  std::unique_ptr<qt::QtEventPump> pump_;
  std::unique_ptr<Control> control_;
  std::vector<Frame*> frames_;                 // the calls running, innermost last
};

}  // namespace brivel::pyhost
