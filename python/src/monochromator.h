#pragma once
// brivel.Monochromator: the control's operations in Python's terms.
//
// Members with a host method call it (OpenCom, MonochromatorMoveTo, SaveParameter,
// the property setters, ...). Operations the control offers only to its operator
// (a relative move, repositioning, refresh, the filter wheel) set the panel field
// that the operator would fill in and call the same handler the button runs, as
// brivelctl does. Arguments have been checked for type and range before they get
// here (module.cpp); the control decides everything else.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host.h"

namespace brivel::pyhost {

// Limits of the control's own entries, checked before anything is sent, so that a
// script gets a ValueError instead of a refusal.
struct Limits {
  static constexpr double kHighestWavelength = 99999;    // nm: the target entry's bound
  static constexpr double kHighestPowerOn = 6553.5;      // nm: the power-on entry's bound
  static constexpr double kHighestFilterStart = 50000;   // nm: a filter start entry's bound
  static constexpr int kMostFilters = 6;                 // rows of the filter table
  static constexpr int kSlowest = 1, kFastest = 250;     // motor speed
  static constexpr int kFirstPort = 1, kLastPort = 16;   // port numbers
};

// The wavelengths of a scan: start, start + step, ... up to stop (included when a
// step lands on it within rounding).
struct ScanPlan {
  double start = 0;
  double stop = 0;
  double step = 1;
  long long count = 0;
  // Throws std::invalid_argument for a step of 0, one that leads away from stop, or
  // more points than a scan can have.
  static ScanPlan make(double start, double stop, double step);
  double at(long long index) const;
};

class Monochromator {
 public:
  explicit Monochromator(std::unique_ptr<Instrument> instrument);

  Instrument& instrument() { return *instrument_; }
  const Instrument& instrument() const { return *instrument_; }
  Control& control() { return instrument_->control(); }
  const Control& control() const { return instrument_->control(); }

  // ---- connection ------------------------------------------------------------------
  void open();    // OpenCom; raises ConnectionError when it ends not connected
  void close();   // CloseCom

  double step_nm() const { return control().DblMonoStep(); }

  // ---- motion ------------------------------------------------------------------------
  double move_to(double nm);   // gives the wavelength the controller reports at the end
  double move_by(double nm);   // through the increment entry and the up / down buttons
  void stop();                 // the stop button; from another thread: ends the running call
  void reposition();           // the reposition button (asks confirm first)
  void refresh();              // the refresh button

  // ---- settings ----------------------------------------------------------------------
  int speed() const;   // as the controller last reported it (the speed box shows it)
  void set_speed(int speed);
  void set_power_on_wavelength(double nm);
  std::string language() const;           // "en" or "zh"
  void set_language(const std::string& language);

  // ---- parameters ---------------------------------------------------------------------
  void save_parameters(const std::string& path);
  void load_parameters(const std::string& path);

  // ---- filter wheel ---------------------------------------------------------------------
  std::optional<bool> filter_wheel() const;   // nullopt: the wheel is not set up
  void set_filter_wheel(bool on);
  std::vector<double> filters() const;        // start wavelengths as last read back, nm
  void set_filters(const std::vector<double>& starts);

 private:
  std::unique_ptr<Instrument> instrument_;
};

}  // namespace brivel::pyhost
