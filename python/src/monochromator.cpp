#include "monochromator.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "errors.h"
#include "text/convert.h"

namespace brivel::pyhost {

namespace {
// Targets are kept to a nanometre's billionth, so that 400 + 3 x 0.1 is 400.3.
double tidy(double nm) { return std::round(nm * 1e9) / 1e9; }
// A scan has at most this many points.
constexpr double kMostPoints = 1e9;
}  // namespace

// ---- scan plan ----------------------------------------------------------------------

ScanPlan ScanPlan::make(double start, double stop, double step) {
  if (step == 0) throw std::invalid_argument("the step of a scan cannot be 0");
  // The sign of the step decides the direction; however small or large, a step of the
  // wrong sign never reaches stop.
  if ((stop > start && step < 0) || (stop < start && step > 0))
    throw std::invalid_argument("the step leads away from stop: give a " +
                                std::string(stop < start ? "negative" : "positive") +
                                " step to go from start to stop");
  const double intervals = (stop - start) / step;  // 0 or more
  if (!(intervals < kMostPoints)) throw std::invalid_argument("the scan would have too many points");
  ScanPlan plan;
  plan.start = start;
  plan.stop = stop;
  plan.step = step;
  plan.count = static_cast<long long>(std::floor(intervals + 1e-9)) + 1;
  return plan;
}

double ScanPlan::at(long long index) const {
  if (index == 0) return start;
  const double nm = start + static_cast<double>(index) * step;
  // The last point lands on stop when the steps reach it within rounding.
  if (index == count - 1 && std::fabs(nm - stop) <= std::fabs(step) * 1e-9) return stop;
  return tidy(nm);
}

// ---- the instrument -------------------------------------------------------------------

Monochromator::Monochromator(std::unique_ptr<Instrument> instrument)
    : instrument_(std::move(instrument)) {}

void Monochromator::open() {
  instrument_->run("open", [this] { instrument_->control().OpenCom(); }, Judge::Connection);
}

void Monochromator::close() {
  instrument_->run("close", [this] { instrument_->control().CloseCom(); });
}

double Monochromator::move_to(double nm) {
  instrument_->require_connected("move_to");
  instrument_->run("move_to", [this, nm] {
    double target = nm;
    control().MonochromatorMoveTo(target);
  });
  return control().DblMonoWaveLen();
}

double Monochromator::move_by(double nm) {
  instrument_->require_connected("move_by");
  if (nm == 0) return control().DblMonoWaveLen();
  instrument_->run(
      "move_by",
      [this, nm] {
        Control& c = control();
        // The increment entry takes the distance; the button gives the direction.
        c.surface().at("CboDistance").set_text(text::plain(std::fabs(nm)));
        if (nm > 0)
          c.CmdUp_Click();
        else
          c.CmdDown_Click();
      },
      Judge::RangeChecked,
      Wording{"The distance of " + text::plain(nm) +
                  " nm is beyond what the up and down buttons move; nothing was sent.",
              "移动距离 " + text::plain(nm) + " nm 超出上下按钮的范围，未发送任何命令。"});
  return control().DblMonoWaveLen();
}

void Monochromator::stop() {
  // From another thread, or from a callback inside a running call: end that call.
  if (!instrument_->owner_thread() || instrument_->in_call()) {
    instrument_->request_stop();
    return;
  }
  instrument_->run("stop", [this] { control().CmdStop_Click(); });
}

void Monochromator::reposition() {
  instrument_->require_connected("reposition");
  instrument_->run("reposition", [this] { control().CmdReAnchor_Click(); });
}

void Monochromator::refresh() {
  instrument_->require_connected("refresh");
  instrument_->run("refresh", [this] { control().CmdMonoRefresh_Click(); });
}

int Monochromator::speed() const {
  // IntSpeed holds only what the host set; identification and refresh show the
  // instrument's own speed in the speed box.
  const std::string& shown = control().surface().at("CboSpeed").text();
  if (shown.empty()) return control().IntSpeed();
  return static_cast<int>(text::leading_number(shown));
}

void Monochromator::set_speed(int speed) {
  instrument_->require_connected("speed");
  instrument_->run("speed", [this, speed] {
    std::int16_t value = static_cast<std::int16_t>(speed);
    control().setIntSpeed(value);
  });
  const int confirmed = control().IntSpeed();
  if (confirmed != speed) {
    // The control keeps the speed the controller confirms; a script must know when
    // that is not the one it asked for.
    ErrorInfo info;
    info.type = ErrorType::Operation;
    info.operation = "speed";
    info.text_en = "The monochromator did not confirm the speed " + std::to_string(speed) +
                   "; the speed is " + std::to_string(confirmed) + ".";
    info.text_zh = "单色仪未确认速度 " + std::to_string(speed) + "；当前速度为 " +
                   std::to_string(confirmed) + "。";
    raise_error(info);
  }
}

void Monochromator::set_power_on_wavelength(double nm) {
  instrument_->require_connected("power_on_wavelength");
  instrument_->run("power_on_wavelength", [this, nm] {
    double value = nm;
    control().setDblOpenPos(value);
  });
}

std::string Monochromator::language() const { return control().IntLanguage() == 0 ? "zh" : "en"; }

void Monochromator::set_language(const std::string& language) {
  std::int16_t value = language == "zh" ? 0 : 1;
  instrument_->run("language", [this, &value] { control().setIntLanguage(value); });
}

void Monochromator::save_parameters(const std::string& path) {
  instrument_->require_connected("save_parameters");
  instrument_->run("save_parameters", [this, &path] { control().SaveParameter(path); });
}

void Monochromator::load_parameters(const std::string& path) {
  instrument_->require_connected("load_parameters");
  instrument_->run("load_parameters", [this, &path] { control().LoadParameter(path); });
}

std::optional<bool> Monochromator::filter_wheel() const {
  const Control& c = control();
  if (c.IntFilterState() == 2) return std::nullopt;
  return c.IntFilterState() == 1;
}

void Monochromator::set_filter_wheel(bool on) {
  instrument_->require_connected("filter_wheel");
  instrument_->run("filter_wheel", [this, on] {
    Control& c = control();
    // As a click does: the box changes first, then its handler runs.
    c.surface().at("ChkUseFilter").set_value(on ? 1 : 0);
    c.ChkUseFilter_Click();
  });
}

std::vector<double> Monochromator::filters() const {
  const Control& c = control();
  std::vector<double> starts;
  if (!c.BlnFilterReady()) return starts;
  const double count = text::leading_number(c.surface().at("CboFilterCount").text());
  for (int i = 0; i < Limits::kMostFilters && i < count; ++i)
    starts.push_back(text::leading_number(c.surface().at(indexed("TxtFilterStartWavelen", i)).text()));
  return starts;
}

void Monochromator::set_filters(const std::vector<double>& starts) {
  instrument_->require_connected("filters");
  instrument_->run(
      "filters",
      [this, &starts] {
        Control& c = control();
        c.surface().at("CboFilterCount").set_text(std::to_string(starts.size()));
        for (std::size_t i = 0; i < starts.size(); ++i)
          c.surface().at(indexed("TxtFilterStartWavelen", static_cast<int>(i))).set_text(text::plain(starts[i]));
        c.CmdFilterSet_Click();
      },
      Judge::RangeChecked,
      Wording{"The filter table is outside the range the control accepts; nothing was sent.",
              "滤光片参数超出控件允许的范围，未发送任何命令。"});
}

}  // namespace brivel::pyhost
