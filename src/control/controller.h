#pragma once
// The control for hosts that must not block: start an operation, get a handle at
// once, watch it, cancel it, from any thread.
//
//   Controller   hosts one Control on the thread that made it (the widget's GUI
//                thread, brivelctl's main thread). Operations are posted to that
//                thread's event pump and run there, one at a time, with the same
//                handlers the panels and the blocking methods run.
//   ControlThread makes a thread of its own, with its own event pump and port, and a
//                Controller on it (servers, the Python package, C++ services).
//   Operation    the handle of one started operation: done, the Result, a completion
//                callback, cancel (the stop button's sequence for a running motion).
//   Observer     position reports, state changes, operator messages and host notes,
//                called on the control's thread.
//
// Rules:
//  * At most one operation is started and not yet ended. Starting another meanwhile
//    gives a handle that has already ended with Outcome::Refused ("busy"); stop()
//    and cancel() are always accepted.
//  * Every method of Controller but control() is safe from any thread. Observers and
//    completion callbacks run on the control's thread and must not block it; they may
//    start operations, cancel them and read state().
//  * The blocking methods of Control (OpenCom, MonochromatorMoveTo, ...) are the same
//    code: an operation is one such call, judged by judge() in outcome.h.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "control/control.h"
#include "control/outcome.h"

namespace brivel {

// Everything a host shows or serves about the instrument, as of the last tick,
// position report or operation end.
struct State {
  bool connected = false;        // BlnMonConnectFlag
  bool busy = false;             // an operation started and not yet ended, or BlnBusy
  std::string operation;         // the operation running ("" when none)
  double wavelength = 0;         // nm, DblMonoWaveLen
  int speed = 0;                 // the speed the controller reported (the speed box); 0 unknown
  double power_on = 0;           // nm, DblOpenPos
  std::int32_t instrument_no = 0;
  int grating_lines = 0;         // lines per mm
  std::int32_t zero_offset = 0;  // motor steps
  double step = 0;               // nm per motor step
  std::string year;
  int language = 1;              // 0 Chinese, 1 English
  int port_number = 1;
  std::string device;            // the device the port number maps to
  int filter_state = 2;          // 0 off, 1 on, 2 not set up
  std::vector<double> filters;   // start wavelengths as last read back, nm
  std::string last_message_en, last_message_zh;  // the last operator message
  bool port_lost = false;        // the port went away since the last open
  std::uint64_t reports = 0;     // position reports so far
};

class Operation {
 public:
  using Callback = std::function<void(const Result&)>;

  Operation() = default;  // an empty handle: valid() is false
  bool valid() const { return static_cast<bool>(state_); }
  const std::string& name() const;
  bool done() const;
  // Blocks until the operation has ended; gives its result.
  Result wait() const;
  // As wait(), for at most `seconds`; nullopt when it has not ended by then.
  std::optional<Result> wait_for(double seconds) const;
  // The result once ended (Outcome::Pending before).
  Result result() const;
  // Calls `callback` once when the operation ends, on the control's thread, or at
  // once on the calling thread when it has already ended.
  void on_done(Callback callback) const;
  // Ends the operation: a queued one ends Stopped without running; a running one is
  // asked to stop as the stop button does (the motor stops, the call ends Stopped).
  // An operation that has ended is not touched.
  void cancel() const;

  struct Shared;
  explicit Operation(std::shared_ptr<Shared> state) : state_(std::move(state)) {}

 private:
  std::shared_ptr<Shared> state_;
};

struct Observer {
  std::function<void(double nm)> position;          // every position report
  std::function<void(const State&)> state;          // any change of State but wavelength/reports
  std::function<void(const Message&)> message;      // every operator message
  std::function<void(const HostNote&)> note;        // every host note
};

class Controller {
 public:
  // How questions of the control are answered for operations started here (the
  // blocking methods keep the host's own dialogs). Default: yes, as a script that
  // asked for the operation would answer.
  using Answerer = std::function<Answer(const Message&)>;

  // Hosts a new Control on the calling thread, on `pump`. Messages go on to `dialogs`
  // (the host's boxes) after the controller has seen them; while an operation started
  // here runs, questions are answered by the answerer instead.
  Controller(EventPump& pump, Dialogs& dialogs, std::unique_ptr<SerialPort> port, Files& files = standard_files());
  ~Controller();
  Controller(const Controller&) = delete;
  Controller& operator=(const Controller&) = delete;

  // The control itself; only on the control's thread.
  Control& control() { return *control_; }
  EventPump& pump() { return pump_; }

  // ---- operations (any thread) -------------------------------------------------
  Operation open();                           // OpenCom: connect and identify
  Operation close();                          // CloseCom
  Operation move_to(double nm);               // MonochromatorMoveTo; ends Failed when the
                                              // grating stops more than a step away
  Operation move_by(double nm);               // the up/down buttons' move by |nm|
  Operation jog(int direction, double seconds);  // +1 up, -1 down: the hand buttons held
  Operation stop();                           // cancels what runs; idle: the stop button
  Operation reposition();                     // the reposition button
  Operation refresh();                        // the refresh button
  Operation set_speed(int speed);             // 1..250, sent and read back
  Operation set_power_on(double nm);          // DblOpenPos
  Operation set_filter_wheel(bool on);        // the check box, idempotent
  Operation set_filters(const std::vector<double>& starts);  // the filter table
  Operation save_parameters(const std::string& path);
  Operation load_parameters(const std::string& path);
  Operation set_language(int language);       // 0 Chinese, 1 English
  Operation set_port_number(int number);      // 1..16, while not connected

  // Any call of the control as an operation. `exclusive`: counts as the one operation
  // in flight (refused while another runs). `needs_connection`: refused with the
  // not-connected message while not connected.
  Operation submit(std::string name, std::function<void(Control&)> body, Judge how = Judge::Messages,
                   bool exclusive = true, bool needs_connection = false);

  // ---- state and observers (any thread) ------------------------------------------
  State state() const;
  int subscribe(Observer observer);   // gives an id for unsubscribe
  void unsubscribe(int id);           // after it returns the observer is not called again
                                      // (unless called from the control's thread inside one)
  void set_answerer(Answerer answerer);

  // Asks a running operation (or blocking call) to stop; safe from signal handlers.
  void request_stop() noexcept;

  // For ControlThread: runs posted work until quit() (on the control's thread).
  void run_until_quit();
  void quit();

 private:
  friend class ControlThread;
  class Recorder;
  Operation enqueue(std::shared_ptr<Operation::Shared> op);
  void run_next();
  Result execute(Operation::Shared& op);
  void finish(const std::shared_ptr<Operation::Shared>& op, Result result);
  // Reads the control's state and tells the observers of a change (control's thread).
  void publish();
  void tick();   // once a tick inside every wait
  void on_position(double nm);
  void told(const Message& m);
  void noted(const HostNote& n);
  void notify(const std::function<void(const Observer&)>& call);
  State read_state() const;
  Operation refused(std::string name, Outcome outcome, const std::string& en, const std::string& zh);

  EventPump& pump_;
  std::unique_ptr<Recorder> recorder_;
  std::unique_ptr<Control> control_;
  std::shared_ptr<Controller*> alive_;   // posted work holds it weakly
  std::thread::id thread_;               // the control's thread

  mutable std::mutex mutex_;
  std::recursive_mutex notify_mutex_;    // held while observers are called
  std::vector<std::shared_ptr<Operation::Shared>> queue_;  // started, not yet running
  std::shared_ptr<Operation::Shared> running_;
  std::shared_ptr<Operation::Shared> in_flight_;           // the exclusive one, queued or running
  State state_;
  State notified_;                       // what observers were last told (control's thread)
  std::string device_;
  std::vector<std::pair<int, std::shared_ptr<Observer>>> observers_;
  int next_observer_ = 1;
  Answerer answerer_;
  std::atomic<bool> quit_{false};
  bool publish_on_ticks_ = false;        // a ControlThread's: state() is read from other threads
};

// A Controller on a thread of its own.
class ControlThread {
 public:
  struct Options {
    // Make the event pump, the port and the host's dialogs on the control's thread.
    std::function<std::unique_ptr<EventPump>()> make_pump;
    std::function<std::unique_ptr<SerialPort>()> make_port;
    std::function<std::unique_ptr<Dialogs>()> make_dialogs;  // default: answers yes, shows nothing
    std::function<std::unique_ptr<Files>()> make_files;      // default: the operating system's
    int port_number = 1;
    int language = 1;                              // 0 Chinese, 1 English
    std::function<void(Control&)> setup;           // runs on the thread once made
  };

  explicit ControlThread(Options options);   // returns once the control is made
  ~ControlThread();                          // stops a running operation, closes the port, joins

  Controller& controller() { return *controller_; }
  // Runs `work` on the control's thread and waits for it (queued behind what runs).
  void call(const std::function<void(Control&)>& work);

 private:
  std::unique_ptr<EventPump> pump_;
  std::unique_ptr<Dialogs> dialogs_;
  std::unique_ptr<Files> files_;
  std::unique_ptr<Controller> controller_;
  // Kept by the destructor once quit() has returned: until then the control's thread,
  // which may see the quit at once, leaves the controller and its pump standing.
  std::promise<void> quit_told_;
  std::thread thread_;
};

}  // namespace brivel
