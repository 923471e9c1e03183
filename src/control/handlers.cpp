// The panels' handlers and the property setters that act on the instrument: each reads
// its fields, checks them as the panel always has, and hands the values to the
// component that acts. The typed entry points for hosts take the values as numbers.

#include <cmath>
#include <string>
#include <vector>

#include "control/control.h"
#include "platform/failure.h"
#include "protocol/commands.h"
#include "text/convert.h"

namespace brivel {

namespace {
// Motor speed range, both ends included.
constexpr std::int16_t kSlowest = 1;
constexpr std::int16_t kFastest = 250;
// Accepted ranges, both ends included: increments in motor steps, the target in nm.
constexpr const char* kMinimum = "0";
constexpr const char* kMaxTarget = "99999";
constexpr Words kTooManyFilters{"At most 6 filters can be set.", "最多只能设置 6 个滤光片!"};

std::string row_box(int i) { return indexed("TxtFilterStartWavelen", i); }
}  // namespace

// ---- properties and methods ----------------------------------------------------------

void Control::setIntSpeed(std::int16_t& value) {
  if (!state().connected) return;
  if (value < kSlowest) value = kSlowest;
  if (value > kFastest) value = kFastest;
  const std::int16_t speed = value;
  // A property set from the host is an operator-level action here: a failure (a port
  // that vanished) is shown, never passed to the host.
  session_.trapped([&] { motion_.set_speed(speed, true); });
}

void Control::setDblOpenPos(double& value) {
  // No trap of its own: a run-time failure (a step size of 0 divides by zero) reaches
  // the host as the assignment's error, with the busy flag lowered first. A port that
  // went away is told to the operator as well, as every operation tells it.
  try {
    power_on_.set(value, true);
  } catch (const RuntimeFailure& failure) {
    session_.state.busy = false;
    if (failure.reason() == FailureReason::PortLost) session_.tell_port_lost();
    throw;
  }
}

void Control::MonochromatorMoveTo(double& dblWavelen) { motion_.move_to(dblWavelen); }

// ---- the run panel ------------------------------------------------------------------

void Control::CmdMonoRefresh_Click() { identification_.refresh(); }

void Control::CmdHandUp_MouseDown(std::int16_t button) { motion_.jog_press(protocol::kJogUp, button); }
void Control::CmdHandDown_MouseDown(std::int16_t button) { motion_.jog_press(protocol::kJogDown, button); }
void Control::CmdHandUp_MouseUp(std::int16_t button) { motion_.jog_release(button); }
void Control::CmdHandDown_MouseUp(std::int16_t button) { motion_.jog_release(button); }
void Control::CmdStop_Click() { motion_.stop(); }

void Control::CmdUp_Click() {
  InstrumentState& st = session_.state;
  session_.trapped([&] {
    if (motion_.refused_unconnected()) return;
    // The up button reads the number the text begins with ("1 nm" is 1 nm). It checks
    // the entry before it looks at busy; a count it cannot convert while another
    // exchange runs is dropped silently, so that the trap does not lower the other
    // exchange's busy flag.
    std::int32_t steps = 0;
    try {
      steps = protocol::step_count(text::leading_number(w("CboDistance").text()), st.step);
    } catch (const RuntimeFailure&) {
      if (st.busy) return;
      throw;
    }
    if (!session_.entry_accepted(kMinimum, std::to_string(Motion::kMostStepsUp), std::to_string(steps), EntryType::Int32,
                                 "CboDistance"))
      return;
    if (st.busy) return;
    motion_.step_alone(steps);
  });
}

void Control::CmdDown_Click() {
  InstrumentState& st = session_.state;
  session_.trapped([&] {
    if (motion_.refused_unconnected()) return;
    if (st.busy) return;
    // The down button converts the whole text strictly: text that is not a number
    // is a run-time failure, shown to the operator.
    const std::int32_t steps = protocol::step_count(text::parse_double(w("CboDistance").text()), st.step);
    if (!session_.entry_accepted(kMinimum, std::to_string(Motion::kMostStepsDown), std::to_string(steps), EntryType::Int32,
                                 "CboDistance"))
      return;
    motion_.step_alone(-steps);   // 0 to 200000 here
  });
}

bool Control::move_by(double nm) {
  InstrumentState& st = session_.state;
  bool accepted = true;
  session_.trapped([&] {
    if (motion_.refused_unconnected()) return;
    if (st.busy || nm == 0) return;
    const std::int32_t steps = protocol::step_count(std::fabs(nm), st.step);
    accepted = steps <= (nm > 0 ? Motion::kMostStepsUp : Motion::kMostStepsDown);
    if (!accepted) return;
    motion_.step_alone(nm > 0 ? steps : -steps);
  });
  return accepted;
}

void Control::CmdRun_Click() {
  InstrumentState& st = session_.state;
  session_.trapped([&] {
    if (motion_.refused_unconnected()) return;
    if (st.busy) return;
    const std::string entry = w("CboTarget").text();
    if (!session_.entry_accepted(kMinimum, kMaxTarget, entry, EntryType::Double, "CboTarget")) return;
    st.stop_request = false;
    // Targets are moved to at 0.01 nm: 546.074 goes to 546.07.
    motion_.move_to(text::leading_number(text::format(text::parse_double(entry), "0.00")));
    st.busy = false;
  });
}

void Control::CboSpeed_Click() {
  InstrumentState& st = session_.state;
  session_.trapped([&] {
    if (st.busy) return;
    if (motion_.refused_unconnected()) return;
    // Text that is not a number, or beyond 16 bits, is a run-time failure shown
    // to the operator.
    const double typed = text::parse_double(w("CboSpeed").text());
    std::int16_t speed = text::to_int16(typed);
    if (typed < kSlowest) speed = kSlowest;
    if (typed > kFastest) speed = kFastest;
    motion_.set_speed(speed, false);
  });
}

void Control::CmdReAnchor_Click() {
  session_.trapped([&] { motion_.reposition(); });
}

// ---- the parameter panel ------------------------------------------------------------

void Control::TxtOpenPos_KeyPress(std::int16_t& KeyAscii) { power_on_.key_press(KeyAscii); }

void Control::TxtOpenPos_LostFocus() { power_on_.lost_focus(); }

void Control::ChkUseFilter_Click() {
  session_.trapped([&] { wheel_.switch_wheel(w("ChkUseFilter").value() == 1); });
}

void Control::switch_filter_wheel(bool on) {
  if (state().filter_state == (on ? 1 : 0)) return;   // already so: nothing to send
  session_.trapped([&] { wheel_.switch_wheel(on); });
}

void Control::CboFilterCount_Click() {
  session_.trapped([&] {
    const std::string& count = w("CboFilterCount").text();
    if (count.empty()) return;
    wheel_.show_rows(static_cast<int>(text::round_half_even(text::leading_number(count))));
  });
}

void Control::CmdFilterSet_Click() {
  session_.trapped([&] {
    // Every entry is checked before anything is sent.
    const std::string count_text = w("CboFilterCount").text();
    if (!session_.entry_accepted("1", "8", count_text, EntryType::Byte, "CboFilterCount")) return;
    const int count = text::parse_byte(count_text);
    if (count > FilterWheel::kRows) {
      session_.say(MessageKind::Refusal, kTooManyFilters, kPrompt, Icon::Information);
      surface_.set_focus("CboFilterCount");
      return;
    }
    // Only the rows in use are sent, so only they are checked: a hidden row can
    // neither be sent nor take the focus.
    std::vector<double> starts;   // nm
    for (int i = 0; i < count; ++i) {
      const std::string& entry = w(row_box(i)).text();
      if (!session_.entry_accepted("0", "50000", entry, EntryType::Single, row_box(i))) return;
      starts.push_back(text::parse_double(entry));
    }
    wheel_.write_table(std::move(starts));
  });
}

bool Control::write_filter_table(const std::vector<double>& starts) {
  bool accepted = true;
  session_.trapped([&] {
    if (starts.size() > static_cast<std::size_t>(FilterWheel::kRows)) {
      session_.say(MessageKind::Refusal, kTooManyFilters, kPrompt, Icon::Information);
      accepted = false;
      return;
    }
    accepted = FilterWheel::acceptable(starts);
    if (accepted) wheel_.write_table(starts);
  });
  return accepted;
}

}  // namespace brivel
