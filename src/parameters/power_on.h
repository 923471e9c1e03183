#pragma once
// The power-on wavelength: the wavelength the controller drives the grating to when it
// is switched on, stored by the controller as a step count ("M" sets it, "m" asks).

#include <cstdint>

#include "session/session.h"

namespace brivel {

class PowerOn {
 public:
  explicit PowerOn(Session& session) : s_(session) {}

  // Sets the power-on wavelength to `nm` after the operator confirms it, then reads the
  // stored value back. `from_property`: the host set it (its words and icons differ
  // slightly from the operator's Enter in the box). A run-time failure reaches the caller.
  void set(double nm, bool from_property);
  // A key pressed in the power-on box (Enter sets, Esc re-reads); failures are shown.
  void key_press(std::int16_t key);
  // The box lost the focus: an edited value is set as Enter would.
  void lost_focus();

 private:
  bool read_back();   // "m" into the box and the state; false: no fresh answer
  void confirm(double requested, bool replied, bool read_back, bool from_property);

  Session& s_;
};

}  // namespace brivel
