#pragma once
// What the Tango device shows of the control: its state (ON, MOVING, RUNNING, FAULT,
// OFF, INIT)
// and its status text. Plain C++ on the control's State, so that the rules can be
// tested without a Tango server.

#include <string>

#include "control/controller.h"

namespace brivel::tango {

enum class DeviceState { On, Moving, Running, Fault, Off, Init };

const char* to_string(DeviceState state);

// Everything the state and the status are made from.
struct Situation {
  State control;          // the control's state
  bool wanted = false;    // connecting was asked for (at start or by Open) and Close was not
  std::string fault_en;   // why the latest connection ended or could not be made, if known
  std::string fault_zh;   // (the host note of a failed open, a configuration error)
  std::string device;     // the device the Port property names, for the status
};

// True for the operations that turn the motor: a move, a step, a jog, a reposition,
// a parameter download (which ends in a reposition).
bool is_motion(const std::string& operation);

// ON: connected and idle.
// MOVING: an operation that turns the motor runs.
// RUNNING: an operation that turns no motor runs (a setting, a refresh, a save).
// INIT: connecting (the port is open and the instrument is being identified).
// FAULT: connecting was asked for and the control is not connected: the port went
//        away, could not be opened, or the instrument did not answer.
// OFF: not connected because Close was asked for (or nothing was asked yet).
DeviceState device_state(const Situation& s);

// One line for the state, naming the device (and, for FAULT, the reason), then the
// last operator message on a line of its own. `language` 0: Chinese, else English.
std::string status_text(const Situation& s, DeviceState state, int language);

}  // namespace brivel::tango
