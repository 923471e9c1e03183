#include "progress.h"

#include <cmath>
#include <cstdio>

namespace brivel::ctl {

namespace {
constexpr double kQuiet = 0.25;       // seconds a step runs before its line shows
constexpr double kRedraw = 0.1;       // seconds between two drawings
constexpr double kRateWindow = 0.5;   // seconds over which the rate is measured
constexpr const char* kErase = "\r\033[K";

std::string fixed(double value, int decimals, bool sign = false) {
  char text[64];
  std::snprintf(text, sizeof text, sign ? "%+.*f" : "%.*f", decimals, value);
  return text;
}
}  // namespace

std::string progress_text(const std::string& label, double wavelength, std::optional<double> target,
                          std::optional<double> rate, const std::string& caption, double seconds) {
  std::string line = label + ": " + fixed(wavelength, 2) + " nm";
  if (target) line += " -> " + fixed(*target, 2) + " nm";
  if (rate) line += ", " + fixed(*rate, 2, true) + " nm/s";
  if (!caption.empty()) line += " - " + caption;
  line += " (" + fixed(seconds, 1) + " s)";
  return line;
}

Progress::Progress(std::ostream& out, bool shown, int width) : out_(out), shown_(shown), width_(width) {}

void Progress::begin(const std::string& label, std::optional<double> target, double now,
                     double wavelength) {
  end();
  active_ = true;
  label_ = label;
  target_ = target;
  started_ = now;
  last_draw_ = -1;
  sample_time_ = now;
  sample_wavelength_ = wavelength;
  rate_.reset();
}

void Progress::update(double now, double wavelength, const std::string& caption) {
  if (!active_) return;
  if (now - sample_time_ >= kRateWindow) {
    rate_ = (wavelength - sample_wavelength_) / (now - sample_time_);
    if (std::fabs(*rate_) < 0.005) rate_ = 0.0;  // no "-0.00"
    sample_time_ = now;
    sample_wavelength_ = wavelength;
  }
  if (!shown_ || now - started_ < kQuiet) return;
  if (drawn_ && now - last_draw_ < kRedraw) return;
  std::string line = progress_text(label_, wavelength, target_, rate_, caption, now - started_);
  // Cut by bytes: no character takes more columns than bytes (a Chinese character
  // takes two columns and three bytes), so the line never wraps. The cut moves back to
  // the start of a UTF-8 character.
  if (width_ > 1 && line.size() >= static_cast<std::size_t>(width_)) {
    std::size_t cut = static_cast<std::size_t>(width_ - 1);
    while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) --cut;
    line.resize(cut);
  }
  out_ << kErase << line << std::flush;
  drawn_ = true;
  last_draw_ = now;
}

void Progress::clear() {
  if (!drawn_) return;
  out_ << kErase << std::flush;
  drawn_ = false;
}

void Progress::end() {
  clear();
  active_ = false;
}

}  // namespace brivel::ctl
