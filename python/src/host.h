#pragma once
// The control hosted for Python: a brivel::ControlThread (the control on a thread of
// its own, with a Qt event pump and serial port) and the bridge between its callbacks
// and Python.
//
//   Host        one instrument: the control thread, the simulated controller if any,
//               and the Relay. Every method may be called from any Python thread.
//   Relay       what the control's thread hands to Python: messages and notes for the
//               `brivel` logger, position reports for subscribers, questions for the
//               `confirm` callable. It holds no Qt object, so a callback may outlive
//               the Host.
//   StatusCore  one started operation as Python sees it (brivel.Status): the core's
//               Operation, its Result once the end has been delivered to Python, and
//               the callbacks to call then. Ends are delivered through the dispatcher
//               (dispatcher.h), after every message and report of the operation.
//
// The GIL is never held while the core is called or waited for, and the control's
// thread takes it only to ask `confirm`.

#include <pybind11/pybind11.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "control/controller.h"
#include "control/interface.h"
#include "dispatcher.h"
#include "errors.h"

namespace brivel::sim {
class PtyServer;
}

namespace brivel::pyhost {

namespace py = pybind11;

// The simulated controller's settings, by the names brivel-sim takes.
struct SimulatorSettings {
  std::vector<std::pair<std::string, std::string>> memory;  // name, value
  std::vector<std::string> faults;
  double rate = 0;  // motor steps per second per unit of speed; 0: the simulator's own
};

// What the value of a finished operation is.
enum class Yields { Nothing, Wavelength };

class Relay;

class StatusCore {
 public:
  StatusCore(std::string operation, Operation op, Yields yields, ErrorType failed_as, std::shared_ptr<Relay> relay);
  // An operation that ended without being started (move_by(0)): Done, `wavelength`.
  static std::shared_ptr<StatusCore> finished(std::string operation, double wavelength);

  const std::string& operation() const { return operation_; }
  const Operation& op() const { return op_; }

  // Delivered to Python (wait() returns, callbacks run). On the dispatcher thread,
  // where delivery waits for the running callback, the core's own end counts.
  bool done() const;
  // Waits until done; with the GIL held on entry (released while waiting). A Python
  // signal handler's exception (Ctrl-C) cancels the operation, waits for its end and
  // is raised. Raises TimeoutError when `timeout` (s) passes first.
  py::object wait(std::optional<double> timeout);
  void cancel();
  // Calls fn(status) once when delivered (at once, here, when it already is).
  void add_callback(py::object fn, py::object status);

  // ---- for the host ------------------------------------------------------------------
  // Arranges the delivery once the operation ends (call once, right after starting).
  static void watch(const std::shared_ptr<StatusCore>& self);
  // The value of a result, or the exception it stands for, raised (GIL held).
  py::object outcome(const Result& result);

 private:
  void deliver();                 // dispatcher thread, GIL held

  std::string operation_;
  Operation op_;
  Yields yields_;
  ErrorType failed_as_;          // what a Failed outcome raises (ConnectionError for open)
  std::shared_ptr<Relay> relay_;

  mutable std::mutex mutex_;
  std::condition_variable delivered_cv_;
  bool delivered_ = false;
  std::optional<Result> result_;
  SharedPy kept_error_;          // an exception of `confirm` during the operation
  std::vector<std::pair<SharedPy, SharedPy>> callbacks_;  // fn, status
};

// A subscriber of position reports.
struct Subscriber {
  SharedPy fn;
  bool active = true;  // under Relay's mutex
};

class Relay : public std::enable_shared_from_this<Relay> {
 public:
  Relay(std::string device, py::object confirm);

  // The Observer the control's thread calls (registered once per Host).
  Observer observer();
  // How questions are answered (Controller::set_answerer).
  Answer answer(const Message& question);

  // The exception `confirm` raised during the running operation, taken once.
  SharedPy take_error();
  // Subscribers (any thread).
  std::shared_ptr<Subscriber> subscribe(py::object fn);
  // After it returns (from any thread but the dispatcher's own) fn is not called again.
  void unsubscribe(const std::shared_ptr<Subscriber>& subscriber);

  int language() const { return language_; }
  std::string device() const;

 private:
  void deliver_position(double nm, double arrived);   // dispatcher thread, GIL held

  mutable std::mutex mutex_;
  std::string pinned_device_;            // the device given to the constructor, if any
  std::string device_;                   // the device the port opens
  SharedPy confirm_;
  SharedPy error_;
  std::vector<std::shared_ptr<Subscriber>> subscribers_;
  std::atomic<int> language_{1};
};

class Host {
 public:
  // `device` (any path, or a name under /dev) is opened whatever port number is in
  // force; empty: the port number `com` maps to its device as the control always does.
  // `confirm`: None (answer yes), a bool, or a callable taking the question's text.
  Host(std::string device, int com, py::object confirm);
  static std::unique_ptr<Host> simulated(const SimulatorSettings& settings, py::object confirm);
  ~Host();  // stops what runs, closes the port, ends the control's thread (GIL released)
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  // Raise RuntimeError once the package has shut down for the interpreter's exit.
  Controller& controller();
  State state() const;
  // Every instrument still open at interpreter exit: what runs is stopped, the port
  // closed, the control's thread ended (GIL held on entry).
  static void shut_down_all();
  const std::shared_ptr<Relay>& relay() const { return relay_; }

  // Starts an operation (GIL held on entry, released around the core). Raises
  // BusyError at once when another operation is in flight, NotConnectedError when
  // `needs_connection` and the instrument is not connected.
  std::shared_ptr<StatusCore> start(const std::string& operation, const std::function<Operation(Controller&)>& begin,
                                    Yields yields = Yields::Nothing, bool needs_connection = false,
                                    ErrorType failed_as = ErrorType::Operation);
  // Runs `body` on the control's thread and waits for it (only for reads and settings
  // that exchange nothing with the controller).
  void call(const std::function<void(Control&)>& body);

  // The device given, else the one the port number maps to now.
  std::string device() const;
  // A property that State does not carry (IntSpeed: what the host last set and the
  // controller confirmed), as read at creation and after each setting: reading it
  // anew would wait behind a running operation.
  interface::Value unshared(const interface::Property& property) const;
  void read_unshared(const interface::Property& property);
  bool is_simulated() const { return simulator_ != nullptr; }
  std::vector<std::string> simulator_log() const;
  void raise_not_connected(const std::string& operation) const;

 private:
  Host(std::string device, int com, py::object confirm, std::unique_ptr<sim::PtyServer> simulator);
  void shut_down();   // GIL released

  std::unique_ptr<sim::PtyServer> simulator_;  // outlives the port, which closes first
  std::shared_ptr<Relay> relay_;
  std::unique_ptr<ControlThread> thread_;
  int observer_ = 0;
  mutable std::mutex unshared_mutex_;
  std::map<std::string, interface::Value> unshared_;
};

// The serial traffic for the `brivel.serial` logger: refreshes whether that logger
// wants DEBUG records (GIL held), and turns the traffic log of the ports on or off.
void refresh_serial_logging();

// For brivel._report_lag(): on the dispatcher thread, while a position report is being
// delivered, the seconds since the control's thread received it; else nullopt.
std::optional<double> report_lag();

}  // namespace brivel::pyhost
