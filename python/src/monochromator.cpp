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

Monochromator::Monochromator(std::unique_ptr<Host> host) : host_(std::move(host)) {}

StatusPtr Monochromator::open() {
  return host_->start("open", [](Controller& c) { return c.open(); }, Yields::Nothing, false,
                      ErrorType::Connection);
}

StatusPtr Monochromator::close() {
  if (!state().operation.empty()) {
    // What runs is stopped first (the motor stops), so that the port closes on a
    // grating at rest.
    py::gil_scoped_release release;
    Operation flying = host_->controller().stop();
    flying.wait_for(60);
  }
  return host_->start("close", [](Controller& c) { return c.close(); });
}

StatusPtr Monochromator::move_to(double nm) {
  return host_->start("move_to", [nm](Controller& c) { return c.move_to(nm); }, Yields::Wavelength, true);
}

StatusPtr Monochromator::move_by(double nm) {
  return host_->start("move_by", [nm](Controller& c) { return c.move_by(nm); }, Yields::Wavelength, true);
}

StatusPtr Monochromator::reposition() {
  return host_->start("reposition", [](Controller& c) { return c.reposition(); }, Yields::Nothing, true);
}

StatusPtr Monochromator::refresh() {
  return host_->start("refresh", [](Controller& c) { return c.refresh(); }, Yields::Nothing, true);
}

void Monochromator::stop() {
  const bool flying = !state().operation.empty();
  Operation op;
  {
    py::gil_scoped_release release;
    op = host_->controller().stop();
  }
  if (flying) return;  // the operation in flight ends Stopped; its waiter sees that
  // Nothing ran: the stop button's own result (refused while not connected).
  auto core = std::make_shared<StatusCore>("stop", op, Yields::Nothing, ErrorType::Operation, host_->relay());
  StatusCore::watch(core);
  core->wait(std::nullopt);
}

StatusPtr Monochromator::set_speed(int speed) {
  return host_->start("speed", [speed](Controller& c) { return c.set_speed(speed); }, Yields::Nothing, true);
}

StatusPtr Monochromator::set_power_on_wavelength(double nm) {
  return host_->start("power_on_wavelength", [nm](Controller& c) { return c.set_power_on(nm); },
                      Yields::Nothing, true);
}

StatusPtr Monochromator::set_language(const std::string& language) {
  const int value = language == "zh" ? 0 : 1;
  return host_->start("language", [value](Controller& c) { return c.set_language(value); });
}

StatusPtr Monochromator::set_filter_wheel(bool on) {
  return host_->start("filter_wheel", [on](Controller& c) { return c.set_filter_wheel(on); }, Yields::Nothing,
                      true);
}

StatusPtr Monochromator::set_filters(const std::vector<double>& starts) {
  return host_->start("filters", [starts](Controller& c) { return c.set_filters(starts); }, Yields::Nothing,
                      true);
}

StatusPtr Monochromator::save_parameters(const std::string& path) {
  return host_->start("save_parameters", [path](Controller& c) { return c.save_parameters(path); },
                      Yields::Nothing, true);
}

StatusPtr Monochromator::load_parameters(const std::string& path) {
  return host_->start("load_parameters", [path](Controller& c) { return c.load_parameters(path); },
                      Yields::Nothing, true);
}

StatusPtr Monochromator::submit(const std::string& operation, std::function<void(Control&)> body, Judge judge,
                                bool exclusive) {
  return host_->start(
      operation,
      [&](Controller& c) { return c.submit(operation, std::move(body), judge, exclusive, false); },
      Yields::Nothing, false, judge == Judge::Connection ? ErrorType::Connection : ErrorType::Operation);
}

}  // namespace brivel::pyhost
