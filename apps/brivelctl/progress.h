#pragma once
// The progress line of a long step on a terminal: one line on standard error, drawn
// over again ("\r", erase to the end of the line) while the control waits, removed
// when the step ends. It shows the step, the wavelength now, the target when the step
// has one, the rate the wavelength changes at, the text of the wait window when it is
// shown, and the time the step has run:
//
//   move 546.07: 123.45 nm -> 546.07 nm, +62.50 nm/s (2.1 s)
//   click CmdReAnchor: 0.00 nm - The monochromator is resetting. Please wait a moment. (12.0 s)
//
// A step that ends within a quarter of a second leaves nothing. When standard error
// is no terminal, nothing is ever drawn.

#include <optional>
#include <ostream>
#include <string>

namespace brivel::ctl {

// The text of one progress line; `rate` in nm/s when known.
std::string progress_text(const std::string& label, double wavelength, std::optional<double> target,
                          std::optional<double> rate, const std::string& caption, double seconds);

class Progress {
 public:
  // `shown`: whether anything is drawn (standard error is a terminal). `width`: the
  // terminal's columns (0: unknown); longer lines are cut so that they never wrap.
  Progress(std::ostream& out, bool shown, int width = 0);

  void begin(const std::string& label, std::optional<double> target, double now, double wavelength);
  // Once a tick while the control waits: redraws at most ten times a second.
  void update(double now, double wavelength, const std::string& caption);
  // Removes the line; nothing is drawn until the next begin.
  void end();
  // Removes the line before another line is written; the next update draws it again.
  void clear();

  bool drawn() const { return drawn_; }

 private:
  std::ostream& out_;
  bool shown_;
  int width_;
  bool active_ = false;
  bool drawn_ = false;
  std::string label_;
  std::optional<double> target_;
  double started_ = 0;
  double last_draw_ = -1;
  double sample_time_ = 0, sample_wavelength_ = 0;  // where the rate is measured from
  std::optional<double> rate_;
};

}  // namespace brivel::ctl
