#pragma once
// Control: the logic of the Brivel control, which operates a grating monochromator (and
// its optional filter wheel) through the instrument's motion controller on a serial line.
//
// The class is the dispatch facade over the control's components (the link,
// identification, motion, power-on, the filter wheel, the parameter file and its
// download), on its platform seam: a serial port, an event pump, dialogs and the
// in-memory surface of named child controls. The handlers read the panels' fields and
// call the components. The Qt control (Brivelocx) and brivelctl host it; tests host
// it in virtual time.
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

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "filterwheel/filter_wheel.h"
#include "identify/identification.h"
#include "motion/motion.h"
#include "parameters/parameter_set.h"
#include "parameters/power_on.h"
#include "platform/dialogs.h"
#include "platform/event_pump.h"
#include "platform/failure.h"
#include "platform/files.h"
#include "platform/serial_port.h"
#include "platform/surface.h"
#include "serial/link.h"
#include "session/session.h"

namespace brivel {

// The interface's 16-bit boolean: True is -1, False is 0.
using VBBool = std::int16_t;
constexpr VBBool kTrue = -1;
constexpr VBBool kFalse = 0;
inline VBBool vb(bool value) { return value ? kTrue : kFalse; }

class Control : private serial::LinkOwner {
 public:
  // `files`: where the parameter file is read and written (the platform seam's Files).
  Control(EventPump& pump, Dialogs& dialogs, std::unique_ptr<SerialPort> port, Files& files = standard_files());
  ~Control() override;  // closes the port (CloseCom)
  Control(const Control&) = delete;
  Control& operator=(const Control&) = delete;

  // ---- the dispatch interface ---------------------------------------------
  void OpenCom();
  void CloseCom();
  void setIntSpeed(std::int16_t& value);
  void setDblOpenPos(double& value);
  std::int16_t IntUseCom() const { return state().port_number; }
  VBBool BlnBusy() const { return vb(state().busy); }
  VBBool BlnMonConnectFlag() const { return vb(state().connected); }
  double DblMonoWaveLen() const { return state().wavelength; }
  double DblOpenPos() const { return state().power_on; }
  std::int32_t LngInstrumentNo() const { return state().instrument_no; }
  std::int16_t IntGratingLines() const { return state().grating_lines; }
  std::int32_t LngZeroPos() const { return state().zero_offset; }
  std::int16_t IntSpeed() const { return state().speed; }
  double DblMonoStep() const { return state().step; }
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

  // ---- typed entry points for hosts ------------------------------------------
  // What the panels' handlers do, with the values given as numbers instead of typed
  // into the panels' fields. Each gives false when it refused the value before
  // anything was sent (the range the panel accepts); failures are shown as the
  // handlers show them.
  // Moves by `nm` as the up and down buttons do: whole motor steps, 0 to 999999 up
  // and 0 to 200000 down.
  bool move_by(double nm);
  // Writes the filter table: 1 to 6 start wavelengths, each 0 to 50000 nm.
  bool write_filter_table(const std::vector<double>& starts);
  // Switches the filter wheel on or off; nothing is sent when it already is.
  void switch_filter_wheel(bool on);

  // ---- stopping from outside a running call ---------------------------------
  // Asks the call that is running (a move, a jog, a reposition, a download, an
  // identification) to stop. Safe from any thread and from a signal handler: it only
  // sets a flag. Every wait looks at it at least once a tick (10 or 50 ms); the first
  // to see it stops the motor as the stop button does ("k", then the closing position
  // request) when a motion runs, and sends nothing otherwise (a table of filter
  // packets stops between two packets), lowers BlnBusy and ends the call within a
  // second with RuntimeFailure(Interrupted), which each operation's trap turns into a
  // host note (no message box). A request made while nothing runs stays pending until
  // the next wait; hosts that may call it while idle drop it first with
  // clear_stop_request().
  void RequestStop() noexcept { link_.request_stop(); }
  bool stop_pending() const noexcept { return link_.stop_pending(); }
  void clear_stop_request() noexcept { link_.clear_stop_request(); }
  // Whether the last stop from outside found a motion running and sent "k" (else it
  // sent nothing: the call ended between two commands).
  bool stop_stopped_motor() const noexcept { return link_.stop_stopped_motor(); }
  // Runs once a tick inside every wait, before the stop request is looked at: a host
  // notices its own kind of stop there (Python's Ctrl-C) and calls RequestStop().
  // It may throw nothing.
  void set_wait_hook(std::function<void()> hook) { link_.set_wait_hook(std::move(hook)); }
  // For an observer of the control (Controller): `tick` runs once a tick inside every
  // wait, before the wait hook; `position` once for every position report, with the
  // wavelength it shows. Neither may throw.
  void set_observer_hooks(std::function<void()> tick, std::function<void(double)> position) {
    link_.set_tick_hook(std::move(tick));
    position_hook_ = std::move(position);
  }

  // ---- for hosts and tests -------------------------------------------------
  Surface& surface() { return surface_; }
  const Surface& surface() const { return surface_; }
  SerialPort& port() { return link_.port(); }
  EventPump& pump() { return link_.pump(); }
  WaitBounds& bounds() { return session_.bounds; }
  const InstrumentState& state() const { return session_.state; }
  // Read-only views of private state, for tests and diagnostics.
  std::int16_t IntFilterState() const { return state().filter_state; }
  bool BlnFilterReady() const { return state().filter_ready; }
  std::int16_t IntFilterParamA() const { return state().filter_a; }
  const std::string& StrFilterParamB() const { return state().filter_b; }
  bool BlnStopRequest() const { return state().stop_request; }

 private:
  // ---- creation and language (control/) ----------------------------------
  void build_surface();   // every named child control, at its design position
  void ApplyLanguage();
  void show_panel(const char* shown, const char* hidden, Words failure);

  // ---- what the link tells the control ---------------------------------------
  void position_report(const Bytes& packet) override;
  void port_lost() override;
  void lost_while_idle(const RuntimeFailure& failure) override;
  void stop_motion(double window) override;

  Widget& w(const std::string& name) { return surface_.at(name); }
  bool english() const { return Session::english(); }

  Surface surface_;
  serial::Link link_;
  Session session_;
  FilterWheel wheel_;
  Identification identification_;
  Motion motion_;
  PowerOn power_on_;
  ParameterSet parameters_;
  std::function<void(double)> position_hook_;
};

}  // namespace brivel
