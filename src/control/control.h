#pragma once
// Control: the logic of the Brivel control, which operates a grating monochromator (and
// its optional filter wheel) through the instrument's motion controller on a serial line.
//
// The class is the control's logic on its platform seam: a serial port, an event
// pump, dialogs and the in-memory surface of named child controls. The Qt control
// (Brivelocx) and brivelctl host it; tests host it in virtual time.
//
// Public members, in the order of the control's dispatch interface:
//   OpenCom, CloseCom, setIntSpeed, setDblOpenPos, IntUseCom, BlnBusy,
//   BlnMonConnectFlag, DblMonoWaveLen, DblOpenPos, LngInstrumentNo, IntGratingLines,
//   LngZeroPos, IntSpeed, DblMonoStep, StrYear, setIntUseCom, IntLanguage,
//   setIntLanguage, MonochromatorMoveTo, SaveParameter, LoadParameter,
//   ShowParaFace, ShowRunFace.
// Property setters take their argument by reference, as the interface passes it.
// No member returns a result; outcomes reach the operator as message boxes and the
// host through the properties. Only MonochromatorMoveTo and the DblOpenPos setter
// can pass a RuntimeFailure to the host (as the method's error result).

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "control/module_function.h"
#include "platform/dialogs.h"
#include "platform/event_pump.h"
#include "platform/failure.h"
#include "platform/files.h"
#include "platform/serial_port.h"
#include "platform/surface.h"

namespace brivel {

// An operator text in both languages.
struct Words {
  const char* en;
  const char* zh;
};

// An operator text in both languages, composed at run time.
struct Wording {
  std::string en, zh;
  Wording(Words words) : en(words.en), zh(words.zh) {}  // NOLINT: a Words is a Wording
  Wording(std::string english, std::string chinese) : en(std::move(english)), zh(std::move(chinese)) {}
};

// Bounds of the waits that have no limit of their own (seconds).
struct WaitBounds {
  double ack = 10.0;             // wait_for_ack after a setting ("OK" + CR)
  double data = 5.0;             // WaitForData (the filter read-back)
  double final_position = 5.0;   // the repeated position request after a jog

  // The follow loop of a move ("W", "U", "D"): the time its distance takes at the
  // controller's nominal rate, allowed motion_factor times over, plus motion_margin
  // for starting, stopping and the exchanges of the loop. The nominal rate is an
  // assumption about the controller: 40 steps a second per unit of motor speed
  // (speed 250 turns 10,000 steps a second).
  double motion_rate = 40.0;     // steps per second per unit of speed
  double motion_factor = 2.0;
  double motion_margin = 10.0;   // seconds

  // Seconds a move of `steps` motor steps may take at motor speed `speed`; a speed
  // outside 1 to 250 (not known) counts as the slowest, 1.
  double motion(double steps, int speed) const {
    const int s = speed >= 1 && speed <= 250 ? speed : 1;
    const double distance = steps < 0 ? -steps : steps;
    return distance / (motion_rate * s) * motion_factor + motion_margin;
  }

  // wait_for_ack after "K" 8 (the reposition button, the download's reset): the motor
  // drives from where it stands back to its reference switch, the controller resets
  // and drives out to its power-on position, and only then answers. `travel` is both
  // legs together in motor steps; the bound is that travel's motion bound at `speed`.
  double reposition(double travel, int speed) const { return motion(travel, speed); }
};

class Control {
 public:
  // `files`: where the parameter file is read and written (the platform seam's Files).
  Control(EventPump& pump, Dialogs& dialogs, std::unique_ptr<SerialPort> port, Files& files = standard_files());
  ~Control();  // closes the port (CloseCom)
  Control(const Control&) = delete;
  Control& operator=(const Control&) = delete;

  // ---- the dispatch interface ---------------------------------------------
  void OpenCom();
  void CloseCom();
  void setIntSpeed(std::int16_t& value);
  void setDblOpenPos(double& value);
  std::int16_t IntUseCom() const { return IntUseCom_; }
  VBBool BlnBusy() const { return vb(BlnBusy_); }
  VBBool BlnMonConnectFlag() const { return vb(BlnMonConnectFlag_); }
  double DblMonoWaveLen() const { return DblMonoWaveLen_; }
  double DblOpenPos() const { return DblOpenPos_; }
  std::int32_t LngInstrumentNo() const { return LngInstrumentNo_; }
  std::int16_t IntGratingLines() const { return IntGratingLines_; }
  std::int32_t LngZeroPos() const { return LngZeroPos_; }
  std::int16_t IntSpeed() const { return IntSpeed_; }
  double DblMonoStep() const { return DblMonoStep_; }
  std::string StrYear() const;
  void setIntUseCom(std::int16_t& value);
  std::int16_t IntLanguage() const;
  void setIntLanguage(std::int16_t& value);
  void MonochromatorMoveTo(double& dblWavelen);
  void SaveParameter(std::string strFilePath);
  void LoadParameter(std::string strFilePath);
  void ShowParaFace();
  void ShowRunFace();

  // ---- the operator's events (the panels' child controls) ----------------
  void Image1_MouseDown(std::int16_t button);
  void CmdMonoRefresh_Click();
  void CmdHandUp_MouseDown(std::int16_t button);
  void CmdHandDown_MouseDown(std::int16_t button);
  void CmdHandUp_MouseUp(std::int16_t button);
  void CmdHandDown_MouseUp(std::int16_t button);
  void CmdStop_Click();
  void CmdUp_Click();
  void CmdDown_Click();
  void CmdRun_Click();
  void CboSpeed_Click();
  void CmdReAnchor_Click();
  void TxtOpenPos_KeyPress(std::int16_t& KeyAscii);
  void TxtOpenPos_LostFocus();
  void ChkUseFilter_Click();
  void CboFilterCount_Click();
  void CmdFilterSet_Click();

  // ---- stopping from outside a running call ---------------------------------
  // Asks the call that is running (a move, a jog, a reposition, a download, an
  // identification) to stop. Safe from any thread and from a signal handler: it only
  // sets a flag. Every wait looks at it at least once a tick (10 or 50 ms); the first
  // to see it stops the motor as the stop button does ("k", then the closing position
  // request) when a motion runs, and sends nothing otherwise (a table of filter
  // packets stops between two packets), lowers BlnBusy and ends the call within a
  // second with RuntimeFailure(Interrupted), which each operation's trap turns into a
  // host note (no message box). A request made
  // while nothing runs stays pending until the next wait; hosts that may call it while
  // idle drop it first with clear_stop_request().
  void RequestStop() noexcept { stop_requested_.store(true); }
  bool stop_pending() const noexcept { return stop_requested_.load(); }
  void clear_stop_request() noexcept { stop_requested_.store(false); }
  // Whether the last stop from outside found a motion running and sent "k" (else it
  // sent nothing: the call ended between two commands).
  bool stop_stopped_motor() const noexcept { return stop_stopped_motor_; }
  // Runs once a tick inside every wait, before the stop request is looked at: a host
  // notices its own kind of stop there (Python's Ctrl-C) and calls RequestStop().
  // It may throw nothing.
  void set_wait_hook(std::function<void()> hook) { wait_hook_ = std::move(hook); }
  // For an observer of the control (Controller): `tick` runs once a tick inside every
  // wait, before the wait hook; `position` once for every position report, with the
  // wavelength it shows. Neither may throw.
  void set_observer_hooks(std::function<void()> tick, std::function<void(double)> position) {
    tick_hook_ = std::move(tick);
    position_hook_ = std::move(position);
  }

  // ---- for hosts and tests -------------------------------------------------
  Surface& surface() { return surface_; }
  const Surface& surface() const { return surface_; }
  SerialPort& port() { return *port_; }
  EventPump& pump() { return pump_; }
  WaitBounds& bounds() { return bounds_; }
  // Read-only views of private state, for tests and diagnostics.
  std::int16_t IntFilterState() const { return IntFilterState_; }
  bool BlnFilterReady() const { return BlnFilterReady_; }
  std::int16_t IntFilterParamA() const { return IntFilterParamA_; }
  const std::string& StrFilterParamB() const { return StrFilterParamB_; }
  bool BlnStopRequest() const { return BlnStopRequest_; }
  const Bytes& VarLastPacket() const { return VarLastPacket_; }

 private:
  friend struct ControlProbe;  // tests reach the receive handler and the waits

  // ---- creation and language (control/) ----------------------------------
  void build_surface();   // every named child control, at its design position
  void ApplyLanguage();
  void show_panel(const char* shown, const char* hidden, Words failure);

  // ---- serial link (serial/) ---------------------------------------------
  void open_port();                  // the opening steps of OpenCom
  void close_port() noexcept;        // closes the port if open; never throws
  void MSComm1_OnComm(int event_code);  // the receive handler
  // The port closed itself while nothing of the control ran (kComEvLost): shows not
  // connected and tells the operator and the host, as a loss inside an operation does.
  // Inside a wait or a message it does nothing: the operation's next check finds the
  // port closed.
  void port_went_away();
  // The pump, run by the control's waits; while it runs (and while a message is up)
  // the control is inside a call.
  void yield_events();
  void wait_events(double deadline);
  // Counts a wait or a message in nesting_ for as long as it runs, whatever ends it.
  struct Nested {
    explicit Nested(int& depth) : depth_(depth) { ++depth_; }
    ~Nested() { --depth_; }
    Nested(const Nested&) = delete;
    Nested& operator=(const Nested&) = delete;
    int& depth_;
  };
  void Timer1_Timer();               // switches Timer1 off
  void tick(int milliseconds);       // one tick of Timer1
  void pause_10ms();                 // the follow loops' pause (at least 10 ms)
  bool WaitReply();   // any data within 0.5 s: true when it came
  // WaitReply with a window of its own (a stop from outside shortens its waits).
  bool reply_within(double window);
  // Until StrReceive ends in an accepted ending. Gives false when `bound` seconds
  // pass first (the control's bound; the wait itself has no other failure).
  bool wait_for_ack(double bound);
  bool WaitForData(double bound);    // until any data; false when the bound passes
  void RequestPosition();
  // Once a tick in every wait: the host's hook, a port that went away (lose_port), a
  // stop requested from outside (stop_from_outside).
  void check_outside();
  // The open port went away: the control shows not connected (flags, lamp) and the
  // running operation ends with RuntimeFailure(PortLost).
  [[noreturn]] void lose_port();
  // The stop button's sequence: "k", then the closing position request. Used by
  // CmdStop_Click, by a bound that runs out and by a stop requested from outside,
  // whose waits together end within `window` seconds (a negative window: the reply
  // windows as they are).
  void stop_motor(double window = -1);
  // A stop requested from outside: the motor is stopped when a motion runs, then the
  // call ends with RuntimeFailure(Interrupted).
  [[noreturn]] void stop_from_outside();
  // Puts `command` in VarCommand and writes it; sets the receive threshold first
  // unless `threshold` is negative.
  void send(const Bytes& command, int threshold);
  // Wavelength of a position report's bytes 1 to 4: step x (P - zero offset field).
  double report_wavelength(const Bytes& packet) const;
  void show_wavelength(double wavelength);   // DblMonoWaveLen and LblWaveLen

  // ---- identification (protocol/) ----------------------------------------
  enum class Query { Ok, NoReply, WrongLetter };
  Query query(char letter, int threshold);   // the query step
  // A reply into the instrument fields; `operation` names the read-out in host notes.
  void decode_answer(char letter, const char* operation);
  // The failure path of OpenCom; `why` (device and reason) goes to the host as a note.
  void open_failed(const std::string& why);
  struct QueryStep;                          // one question of a read-out and its rules
  // False: the read-out failed.
  bool ask_series(const QueryStep* series, std::size_t count, const char* operation);

  // ---- filter wheel (filterwheel/) ----------------------------------------
  // Reads the settings back; `quick` awaits the reply with WaitReply instead of
  // WaitForData (the check box's variant). False when the data bound ran out.
  bool ReadFilterSettings(bool quick = false);
  void show_filter_rows(int count);
  void fill_filter_counts();   // the choices of CboFilterCount ("1" to "6"), at creation

  // ---- motion (motion/) ----------------------------------------------------
  void MoveBySteps(std::int32_t& N);
  void jog_press(int direction, std::int16_t button);
  void jog_release(std::int16_t button);
  // Repeats "w" until a position report arrives (or `bound` seconds pass: a negative
  // bound is bounds().final_position) and shows it.
  bool settle_position(double bound = -1);
  // Seconds the return to the reference may take: from the position last reported
  // back to the reference and out to the power-on position (absolute steps), at the
  // speed in force.
  double reposition_bound(double power_on_steps) const;
  // Absolute steps of the power-on position the controller reported (DblOpenPos and
  // the zero offset).
  double shown_power_on_steps() const;
  // A return to the reference did not end within its bound: stops the motor ("k" and
  // the closing position request) and tells the host the figures in a note.
  void reposition_overran(const char* operation, double seconds);
  // The motor speed the follow loops' bound assumes: the one the controller last
  // reported, or the slowest (1) while none is known.
  int motion_speed() const;
  // A move's bound ran out: stops the motor ("k" and the closing position request),
  // lowers BlnBusy and tells the operator (and the host, in a note, the figures).
  void motion_overran(const char* operation, double steps, double seconds);
  void speed_was_sent(std::int16_t speed);   // a "V" went out: the bound's speed follows

  // ---- parameters (parameters/) --------------------------------------------
  void GetTypeCode(const std::string& name, std::int16_t& code);
  void set_power_on(double w, bool from_property);  // the shared set procedure
  bool read_back_power_on();   // "m" into TxtOpenPos and DblOpenPos; false: no fresh answer
  // A note for the host when the controller did not confirm a power-on wavelength.
  void confirm_power_on(double requested, bool replied, bool read_back, bool from_property);

  // ---- shared helpers (control/) ------------------------------------------
  bool english() const;   // messages: Chinese only when the language is exactly 0
  // Shows an operator message in the language in force, through Dialogs::show().
  Answer say(MessageKind kind, const Wording& text, Words title, Icon icon = Icon::None,
             Buttons buttons = Buttons::Ok);
  // A note for the host (never a box).
  void note(HostNote::Kind kind, const char* operation, const Wording& text);
  // Runs an operator's handler: a RuntimeFailure inside it lowers BlnBusy and is
  // reported (report_failure) instead of reaching the host.
  void trapped(const std::function<void()>& handler, const char* operation = "");
  // How a run-time failure that ends an operation reaches people: a stop requested
  // from outside becomes a host note; a lost port, and every other failure, a message.
  void report_failure(const RuntimeFailure& failure, const char* operation);
  // The operator's message for a port that went away.
  void tell_port_lost();
  // Tells the operator that the controller did not answer in time and gives up.
  void gave_up(Words what);
  Widget& w(const std::string& name) { return surface_.at(name); }
  // Range-checks an operator's entry (CheckRange); on a refusal puts the input focus
  // into `field` and gives false.
  bool entry_accepted(const std::string& minimum, const std::string& maximum,
                      const std::string& value, std::uint8_t type_code, const std::string& field);
  void show_splash(const std::string& caption);
  void hide_splash();

  EventPump& pump_;
  Dialogs& dialogs_;
  Files& files_;   // the platform seam's files (parameter file)
  std::unique_ptr<SerialPort> port_;
  std::unique_ptr<Timer> Timer1_;
  Surface surface_;
  WaitBounds bounds_;
  std::atomic<bool> stop_requested_{false};
  bool stopping_ = false;              // stop_from_outside is sending "k" and "w"
  bool motion_running_ = false;        // a motion command went out; no end or "k" since
  bool stop_stopped_motor_ = false;    // the last stop from outside sent "k"
  double last_position_ = -1;          // absolute steps of the newest whole report; -1: none
  bool port_expected_open_ = false;    // opened by OpenCom and not closed by the control
  bool port_loss_told_ = false;        // the operator was told of the latest port loss
  bool port_gone_ = false;             // the port was lost since it was last opened
  int nesting_ = 0;                    // waits and messages running (see port_went_away)
  std::function<void()> wait_hook_;
  std::function<void()> tick_hook_;
  std::function<void(double)> position_hook_;

  // Instrument state.
  std::int16_t IntUseCom_ = 1;
  bool BlnMonConnectFlag_ = false;
  bool BlnBusy_ = false;
  bool BlnStopRequest_ = false;
  double DblMonoWaveLen_ = 0;
  double DblMonoStep_ = 0;
  std::int16_t IntGratingLines_ = 0;
  std::int32_t LngInstrumentNo_ = 0;
  std::int32_t LngZeroPos_ = 0;
  double DblOpenPos_ = 0;
  std::int16_t IntSpeed_ = 250;
  // The speed the controller last reported ("v"), or the lowest one sent since ("V"
  // not yet confirmed); 0 while none is known. Only the motion bound uses it.
  std::int16_t reported_speed_ = 0;
  std::int16_t IntFilterState_ = 0;
  bool BlnFilterReady_ = false;
  std::int16_t IntFilterParamA_ = 0;
  std::string StrFilterParamB_;

  // Receive fields.
  Bytes VarCommand_;
  Bytes VarLastPacket_;
  std::string StrReceive_;
  bool BlnReplyFlag_ = false;
  bool BlnMoveWatch_ = false;
  std::array<std::int32_t, 4> LngWatchHead_{};
  std::array<std::int32_t, 4> LngWatchPos_{};
};

}  // namespace brivel
