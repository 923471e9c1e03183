#pragma once
// brivel.Monochromator: the control's operations in Python's terms, on the core's
// Controller (control/controller.h).
//
// Every operation starts at once and gives a StatusCore; the blocking form of a call
// is that start followed by StatusCore::wait(). Arguments have been checked for type
// and range before they get here (module.cpp); the control decides everything else.

#include <functional>
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

using StatusPtr = std::shared_ptr<StatusCore>;

class Monochromator {
 public:
  explicit Monochromator(std::unique_ptr<Host> host);

  Host& host() { return *host_; }
  const Host& host() const { return *host_; }
  State state() const { return host_->state(); }

  // ---- connection ------------------------------------------------------------------
  StatusPtr open();    // OpenCom; a failure raises ConnectionError
  // Stops what runs (as the stop button does), then CloseCom.
  StatusPtr close();

  // ---- motion ------------------------------------------------------------------------
  StatusPtr move_to(double nm);   // yields the wavelength reported at the end
  StatusPtr move_by(double nm);   // through the up / down buttons
  StatusPtr reposition();         // the reposition button (asks confirm first)
  StatusPtr refresh();            // the refresh button
  // The stop button: ends the operation in flight (which then raises StoppedError);
  // with none, the button as the operator presses it.
  void stop();

  // ---- settings ----------------------------------------------------------------------
  StatusPtr set_speed(int speed);
  StatusPtr set_power_on_wavelength(double nm);
  StatusPtr set_language(const std::string& language);  // "en" or "zh"
  StatusPtr set_filter_wheel(bool on);
  StatusPtr set_filters(const std::vector<double>& starts);

  // ---- parameters ---------------------------------------------------------------------
  StatusPtr save_parameters(const std::string& path);
  // The file has been checked to be a parameter file (module.cpp).
  StatusPtr load_parameters(const std::string& path);

  // ---- any call of the control (the control's own member names) ----------------------
  StatusPtr submit(const std::string& operation, std::function<void(Control&)> body,
                   Judge judge = Judge::Messages, bool exclusive = true);

 private:
  std::unique_ptr<Host> host_;
};

}  // namespace brivel::pyhost
