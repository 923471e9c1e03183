#pragma once
// The filter wheel: reading its settings back from the controller, switching it on and
// off, and writing the table of start wavelengths from which the controller selects
// the filter. The control never selects a filter itself.

#include <vector>

#include "session/session.h"

namespace brivel {

class FilterWheel {
 public:
  static constexpr int kRows = 6;   // the table's rows; the controller keeps six starts

  explicit FilterWheel(Session& session) : s_(session) {}

  // Reads the settings back ("f", a 28-byte record) into the state and the parameter
  // panel; `quick` awaits the reply with wait_reply instead of wait_for_data (after a
  // switch). False when no record came within the data bound.
  bool read_settings(bool quick = false);
  // Shows the table's first `count` rows and hides the rest (hidden rows keep their text).
  void show_rows(int count);
  // The choices of the count box ("1" to "6").
  void fill_counts();
  // Switches the wheel on (`enable`) or off after the operator confirmed it, then reads
  // the settings back; the check box shows the outcome.
  void switch_wheel(bool enable);
  // Writes the table: the count and the start wavelengths (nm, in any order), after
  // the operator confirmed it, then reads it back. The caller has checked the entries.
  void write_table(std::vector<double> starts);
  // Entries the table takes: 1 to kRows starts, each 0 to 50000 nm.
  static bool acceptable(const std::vector<double>& starts);

 private:
  Session& s_;
};

}  // namespace brivel
