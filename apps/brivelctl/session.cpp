#include "session.h"

#include <QTimer>
#include <csignal>
#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>

#include "console_dialogs.h"
#include "platform/failure.h"
#include "port_list.h"
#include "stop_signals.h"
#include "text/convert.h"

namespace brivel::ctl {

namespace {

using Args = std::vector<std::string>;

// ---- properties ------------------------------------------------------------------

std::string yes_no(VBBool value) { return value ? "True" : "False"; }
std::string whole(long long value) { return std::to_string(value); }

struct Property {
  const char* name;
  std::string (*get)(const Control&);
  void (*set)(Control&, const std::string&);  // nullptr: read-only
};

// In the order `info` prints them.
const Property kProperties[] = {
    {"IntUseCom", [](const Control& c) { return whole(c.IntUseCom()); },
     [](Control& c, const std::string& v) {
       std::int16_t n = text::parse_int16(v);
       c.setIntUseCom(n);
     }},
    {"BlnBusy", [](const Control& c) { return yes_no(c.BlnBusy()); }, nullptr},
    {"BlnMonConnectFlag", [](const Control& c) { return yes_no(c.BlnMonConnectFlag()); }, nullptr},
    {"DblMonoWaveLen", [](const Control& c) { return text::plain(c.DblMonoWaveLen()); }, nullptr},
    {"DblOpenPos", [](const Control& c) { return text::plain(c.DblOpenPos()); },
     [](Control& c, const std::string& v) {
       double w = text::parse_double(v);
       c.setDblOpenPos(w);
     }},
    {"LngInstrumentNo", [](const Control& c) { return whole(c.LngInstrumentNo()); }, nullptr},
    {"IntGratingLines", [](const Control& c) { return whole(c.IntGratingLines()); }, nullptr},
    {"LngZeroPos", [](const Control& c) { return whole(c.LngZeroPos()); }, nullptr},
    {"IntSpeed", [](const Control& c) { return whole(c.IntSpeed()); },
     [](Control& c, const std::string& v) {
       std::int16_t n = text::parse_int16(v);
       c.setIntSpeed(n);
     }},
    {"DblMonoStep", [](const Control& c) { return text::plain(c.DblMonoStep()); }, nullptr},
    {"StrYear", [](const Control& c) { return c.StrYear(); }, nullptr},
    {"IntLanguage", [](const Control& c) { return whole(c.IntLanguage()); },
     [](Control& c, const std::string& v) {
       std::int16_t n = text::parse_int16(v);
       c.setIntLanguage(n);
     }},
};

const Property* property(const std::string& name) {
  for (const Property& p : kProperties)
    if (name == p.name) return &p;
  return nullptr;
}

// A value `set` can convert, checked before anything runs: the same conversion the
// step then makes, on a scratch text.
bool converts(const Property& p, const std::string& value) {
  try {
    if (std::string(p.name) == "DblOpenPos")
      text::parse_double(value);
    else
      text::parse_int16(value);
    return true;
  } catch (const RuntimeFailure&) {
    return false;
  }
}

// ---- the operator's controls ---------------------------------------------------------

using Member = void (Control::*)();
using ButtonMember = void (Control::*)(std::int16_t);

// A click: buttons and the combo boxes' selection run their click handler; the check
// box first toggles its value, as a real click does; the lamp takes a left press.
struct Clickable {
  const char* name;
  void (*click)(Control&);
};

template <Member m>
void plain_click(Control& c) {
  (c.*m)();
}

void toggle_filter_box(Control& c) {
  Widget& box = c.surface().at("ChkUseFilter");
  box.set_value(box.value() == 1 ? 0 : 1);  // an indeterminate box becomes checked
  c.ChkUseFilter_Click();
}

const Clickable kClickables[] = {
    {"CmdMonoRefresh", plain_click<&Control::CmdMonoRefresh_Click>},
    {"CmdStop", plain_click<&Control::CmdStop_Click>},
    {"CmdUp", plain_click<&Control::CmdUp_Click>},
    {"CmdDown", plain_click<&Control::CmdDown_Click>},
    {"CmdRun", plain_click<&Control::CmdRun_Click>},
    {"CboSpeed", plain_click<&Control::CboSpeed_Click>},
    {"CmdReAnchor", plain_click<&Control::CmdReAnchor_Click>},
    {"ChkUseFilter", toggle_filter_box},
    {"CboFilterCount", plain_click<&Control::CboFilterCount_Click>},
    {"CmdFilterSet", plain_click<&Control::CmdFilterSet_Click>},
    {"Image1", [](Control& c) { c.Image1_MouseDown(1); }},
};

// Press-and-hold buttons: press and release handlers.
struct Holdable {
  const char* name;
  ButtonMember press;
  ButtonMember release;
};
const Holdable kHoldables[] = {
    {"CmdHandUp", &Control::CmdHandUp_MouseDown, &Control::CmdHandUp_MouseUp},
    {"CmdHandDown", &Control::CmdHandDown_MouseDown, &Control::CmdHandDown_MouseUp},
};

struct KeyTarget {
  const char* name;
  void (*key)(Control&, std::int16_t);
};
const KeyTarget kKeyTargets[] = {
    {"TxtOpenPos", [](Control& c, std::int16_t code) { c.TxtOpenPos_KeyPress(code); }},
};

// The lamp takes a mouse press of any button; the jog buttons take a press and a
// release (see hold).
const char* const kMouseOnly[] = {"Image1"};

template <typename Row, std::size_t N>
const Row* row(const Row (&table)[N], const std::string& name) {
  for (const Row& r : table)
    if (name == r.name) return &r;
  return nullptr;
}

bool is_mouse_target(const std::string& name) {
  return std::find(std::begin(kMouseOnly), std::end(kMouseOnly), name) != std::end(kMouseOnly) ||
         row(kHoldables, name);
}

// ---- words ------------------------------------------------------------------------

bool is_number(const std::string& word) {
  try {
    return std::isfinite(text::parse_double(word));
  } catch (const RuntimeFailure&) {
    return false;
  }
}
bool is_seconds(const std::string& word) { return is_number(word) && text::parse_double(word) >= 0; }
bool is_int16(const std::string& word) {
  try {
    text::parse_int16(word);
    return true;
  } catch (const RuntimeFailure&) {
    return false;
  }
}
int milliseconds(double seconds) { return static_cast<int>(std::lround(seconds * 1000.0)); }

// ---- steps ------------------------------------------------------------------------

using Check = std::string (*)(const Control&, const Args&);
using Action = Exit (*)(Session&, const Args&);

struct StepRow {
  const char* name;
  int arity;
  Check check;
  Action run;
};

std::string no_check(const Control&, const Args&) { return {}; }

std::string need_number(const Args& a, std::size_t i, const char* what) {
  return is_number(a[i]) ? std::string() : std::string(what) + " \"" + a[i] + "\" is no number";
}
std::string need_seconds(const Args& a, std::size_t i) {
  return is_seconds(a[i]) ? std::string() : "\"" + a[i] + "\" is no number of seconds";
}

// Runs one operator action on a named control: the focus moves there first.
void operate(Session& s, const std::string& name, const std::function<void()>& action) {
  s.focus(name);
  action();
}

void hold(Session& s, const Holdable& jog, std::int16_t button, double seconds) {
  Control& c = s.control();
  auto released = std::make_shared<bool>(false);
  s.focus(jog.name);
  // The release is an event of its own: it runs inside the press handler's waits.
  s.later(seconds, [&c, &jog, released, button] {
    *released = true;
    (c.*jog.release)(button);
  });
  (c.*jog.press)(button);
  // A press handler that returned early (not connected, busy, end of travel) still
  // sees the button released when its time comes; a stop signal ends the hold.
  while (!*released && !stop_signal()) s.wait(0.05);
}

void print_properties(Session& s) {
  for (const Property& p : kProperties) s.out() << p.name << '=' << p.get(s.control()) << '\n';
  s.out().flush();
}

const StepRow kSteps[] = {
    {"open", 0, no_check,
     [](Session& s, const Args&) {
       // Settings of the port numbers that cannot be used may be why the wrong
       // device, or none, opens: said once a run, before the first open.
       if (s.first_open()) print_port_problems(s.err(), "open");
       s.control().OpenCom();
       if (s.control().BlnMonConnectFlag()) return Exit::Ok;
       s.err() << "brivelctl: open: the monochromator is not connected" << std::endl;
       return Exit::NotConnected;
     }},
    {"close", 0, no_check, [](Session& s, const Args&) { s.control().CloseCom(); return Exit::Ok; }},
    {"move", 1, [](const Control&, const Args& a) { return need_number(a, 0, "wavelength"); },
     [](Session& s, const Args& a) {
       double nm = text::parse_double(a[0]);
       s.control().MonochromatorMoveTo(nm);
       return Exit::Ok;
     }},
    {"save", 1, no_check,
     [](Session& s, const Args& a) { s.control().SaveParameter(a[0]); return Exit::Ok; }},
    {"load", 1, no_check,
     [](Session& s, const Args& a) { s.control().LoadParameter(a[0]); return Exit::Ok; }},
    {"para", 0, no_check, [](Session& s, const Args&) { s.control().ShowParaFace(); return Exit::Ok; }},
    {"run", 0, no_check, [](Session& s, const Args&) { s.control().ShowRunFace(); return Exit::Ok; }},
    {"info", 0, no_check, [](Session& s, const Args&) { print_properties(s); return Exit::Ok; }},
    {"get", 1,
     [](const Control&, const Args& a) {
       return property(a[0]) ? std::string() : "no property named \"" + a[0] + "\"";
     },
     [](Session& s, const Args& a) {
       s.out() << property(a[0])->get(s.control()) << std::endl;
       return Exit::Ok;
     }},
    {"set", 2,
     [](const Control&, const Args& a) {
       const Property* p = property(a[0]);
       if (!p || !p->set) return "no settable property named \"" + a[0] + "\"";
       return converts(*p, a[1]) ? std::string() : "\"" + a[1] + "\" is no value for " + a[0];
     },
     [](Session& s, const Args& a) {
       property(a[0])->set(s.control(), a[1]);
       return Exit::Ok;
     }},
    {"click", 1,
     [](const Control&, const Args& a) {
       return row(kClickables, a[0]) ? std::string() : "\"" + a[0] + "\" cannot be clicked";
     },
     [](Session& s, const Args& a) {
       const Clickable* target = row(kClickables, a[0]);
       operate(s, a[0], [&] { target->click(s.control()); });
       return Exit::Ok;
     }},
    {"type", 2,
     [](const Control& c, const Args& a) {
       const Widget* w = c.surface().find(a[0]);
       const bool editable =
           w && (w->kind() == WidgetKind::TextBox || w->kind() == WidgetKind::ComboBox);
       return editable ? std::string() : "\"" + a[0] + "\" is no text or combo box";
     },
     [](Session& s, const Args& a) {
       operate(s, a[0], [&] { s.control().surface().at(a[0]).set_text(a[1]); });
       return Exit::Ok;
     }},
    {"key", 2,
     [](const Control&, const Args& a) {
       if (!row(kKeyTargets, a[0])) return "\"" + a[0] + "\" takes no keys";
       return is_int16(a[1]) ? std::string() : "\"" + a[1] + "\" is no key code";
     },
     [](Session& s, const Args& a) {
       const KeyTarget* target = row(kKeyTargets, a[0]);
       operate(s, a[0], [&] { target->key(s.control(), text::parse_int16(a[1])); });
       return Exit::Ok;
     }},
    {"mouse", 2,
     [](const Control&, const Args& a) {
       if (!is_mouse_target(a[0])) return "\"" + a[0] + "\" takes no mouse press";
       return is_int16(a[1]) ? std::string() : "\"" + a[1] + "\" is no mouse button";
     },
     [](Session& s, const Args& a) {
       const std::int16_t button = text::parse_int16(a[1]);
       if (const Holdable* jog = row(kHoldables, a[0]))
         hold(s, *jog, button, 0.0);
       else
         s.control().Image1_MouseDown(button);  // the lamp takes no focus
       return Exit::Ok;
     }},
    {"hold", 2,
     [](const Control&, const Args& a) {
       if (!row(kHoldables, a[0])) return "\"" + a[0] + "\" is no jog button";
       return need_seconds(a, 1);
     },
     [](Session& s, const Args& a) {
       hold(s, *row(kHoldables, a[0]), 1, text::parse_double(a[1]));
       return Exit::Ok;
     }},
    {"show", 1,
     [](const Control& c, const Args& a) {
       return c.surface().find(a[0]) ? std::string() : "no control named \"" + a[0] + "\"";
     },
     [](Session& s, const Args& a) {
       s.out() << s.control().surface().at(a[0]).text() << std::endl;
       return Exit::Ok;
     }},
    {"value", 1,
     [](const Control& c, const Args& a) {
       const Widget* w = c.surface().find(a[0]);
       const bool valued =
           w && (w->kind() == WidgetKind::CheckBox || w->kind() == WidgetKind::Picture);
       return valued ? std::string() : "\"" + a[0] + "\" is no check box or picture";
     },
     [](Session& s, const Args& a) {
       const Widget& w = s.control().surface().at(a[0]);
       s.out() << (w.kind() == WidgetKind::Picture ? w.picture() : w.value()) << std::endl;
       return Exit::Ok;
     }},
    {"later", 2,
     [](const Control&, const Args& a) {
       if (!is_seconds(a[0])) return "\"" + a[0] + "\" is no number of seconds";
       return row(kClickables, a[1]) ? std::string() : "\"" + a[1] + "\" cannot be clicked";
     },
     [](Session& s, const Args& a) {
       const Clickable* target = row(kClickables, a[1]);
       const std::string name = a[1];
       Session* session = &s;
       s.later(text::parse_double(a[0]),
               [session, target, name] { operate(*session, name, [&] { target->click(session->control()); }); });
       return Exit::Ok;
     }},
    {"ports", 0, no_check,
     [](Session& s, const Args&) {
       s.progress().end();
       print_port_list(s.out(), s.err());
       return Exit::Ok;
     }},
    {"wait", 1, [](const Control&, const Args& a) { return need_seconds(a, 0); },
     [](Session& s, const Args& a) {
       s.wait(text::parse_double(a[0]));
       return Exit::Ok;
     }},
};

const StepRow* step_row(const std::string& name) { return row(kSteps, name); }

// The target a step moves to, for its progress line.
std::optional<double> target_of(const Control& c, const Step& step) {
  if (step.name == "move" && !step.args.empty()) return text::parse_double(step.args[0]);
  if (step.name == "click" && !step.args.empty() && step.args[0] == "CmdRun")
    if (const Widget* target = c.surface().find("CboTarget")) return text::leading_number(target->text());
  return std::nullopt;
}

std::string label_of(const Step& step) {
  std::string label = step.name;
  for (const std::string& word : step.args) label += ' ' + word;
  return label;
}

int severity(Exit e) {
  switch (e) {
    case Exit::Ok: return 0;
    case Exit::Refused: return 1;
    case Exit::NotConnected: return 2;
    case Exit::Failure: return 3;
    case Exit::Usage: return 4;
    default: return 5;  // stopped by a signal
  }
}

}  // namespace

Exit worse(Exit a, Exit b) { return severity(b) > severity(a) ? b : a; }

Session::Session(Control& control, ConsoleDialogs& dialogs, std::ostream& out, std::ostream& err,
                 SessionSettings settings)
    : control_(control),
      dialogs_(dialogs),
      out_(out),
      err_(err),
      settings_(settings),
      progress_(err, settings.progress, settings.width) {
  dialogs_.set_before_line([this] { progress_.clear(); });
  control_.set_wait_hook([this] {
    try {
      const Widget* splash = control_.surface().find("FrmSplash");
      const Widget* caption = control_.surface().find("FrmSplash.Label1");
      progress_.update(control_.pump().now(), control_.DblMonoWaveLen(),
                       splash && caption && splash->visible() ? caption->text() : std::string());
    } catch (...) {
      // The progress line is a courtesy; the wait goes on without it.
    }
  });
}

Session::~Session() {
  control_.set_wait_hook({});
  dialogs_.set_before_line({});
  progress_.end();
}

int Session::arity(const std::string& step) {
  const StepRow* r = step_row(step);
  return r ? r->arity : -1;
}

std::string Session::check(const Step& step) const {
  const StepRow* r = step_row(step.name);
  if (!r) return "unknown step \"" + step.name + "\"";
  const std::string why = r->check(control_, step.args);
  return why.empty() ? why : step.name + ": " + why;
}

Exit Session::run(const std::vector<Step>& steps) {
  Exit worst = Exit::Ok;
  for (const Step& step : steps) {
    const Exit outcome = run_step(step);
    const bool refused = dialogs_.take_refusals() > 0;
    if (refused) worst = worse(worst, Exit::Refused);
    worst = worse(worst, outcome);
    if (stop_signal()) return stopped_by_signal();
    if (outcome == Exit::Failure || outcome == Exit::NotConnected) return worst;
    if (refused && settings_.stop_on_refusal) {
      err_ << "brivelctl: " << step.name << ": refused; --stop-on-refusal ends the run" << std::endl;
      return worst;
    }
  }
  // Scheduled clicks still due run before the control goes away.
  while (pending_ > 0 && !stop_signal()) wait(0.05);
  progress_.end();
  if (stop_signal()) return stopped_by_signal();
  if (dialogs_.take_refusals() > 0) worst = worse(worst, Exit::Refused);
  if (!escaped_.empty()) {
    err_ << "brivelctl: " << escaped_ << std::endl;
    escaped_.clear();
    worst = worse(worst, Exit::Failure);
  }
  return worst;
}

Exit Session::run_step(const Step& step) {
  progress_.begin(label_of(step), target_of(control_, step), control_.pump().now(),
                  control_.DblMonoWaveLen());
  Exit outcome = Exit::Ok;
  try {
    outcome = step_row(step.name)->run(*this, step.args);
  } catch (const std::exception& failure) {
    outcome = report(step, failure);
  }
  progress_.end();
  if (!escaped_.empty()) {
    err_ << "brivelctl: " << escaped_ << std::endl;
    escaped_.clear();
    outcome = worse(outcome, Exit::Failure);
  }
  return outcome;
}

Exit Session::report(const Step& step, const std::exception& failure) {
  progress_.end();
  std::string why = failure.what();
  if (const auto* f = dynamic_cast<const RuntimeFailure*>(&failure)) {
    // Without a connection a method fails on what identification would have set (the
    // wavelength per step) or on the closed port: say what to do instead.
    const bool no_connection =
        f->reason() == FailureReason::DivisionByZero || f->reason() == FailureReason::PortFailure;
    if (no_connection && !control_.BlnMonConnectFlag()) why = "not connected: open first";
    if (f->reason() == FailureReason::Interrupted) why = "stopped on request; the motor was stopped";
  }
  err_ << "brivelctl: " << step.name << ": " << why << std::endl;
  return Exit::Failure;
}

Exit Session::stopped_by_signal() {
  progress_.end();
  const int number = stop_signal();
  err_ << "brivelctl: stopped by " << signal_name(number) << std::endl;
  return number == SIGINT ? Exit::Interrupted : number == SIGTERM ? Exit::Terminated
                                                                   : static_cast<Exit>(128 + number);
}

void Session::wait(double seconds) {
  EventPump& pump = control_.pump();
  const double deadline = pump.now() + seconds;
  // In slices, so that a stop signal ends a long wait soon.
  constexpr double kSlice = 0.05;
  do {
    if (stop_signal()) return;
    pump.wait_until(std::min(deadline, pump.now() + kSlice));
  } while (pump.now() < deadline);
}

void Session::focus(const std::string& name) {
  Surface& surface = control_.surface();
  const std::string previous = surface.focused();
  if (previous == name) return;
  surface.set_focus(name);
  if (previous == "TxtOpenPos") control_.TxtOpenPos_LostFocus();
}

void Session::later(double seconds, std::function<void()> action) {
  ++pending_;
  QTimer::singleShot(milliseconds(seconds), Qt::PreciseTimer, &timers_,
                     [this, action = std::move(action)] {
                       guarded(action);
                       --pending_;
                     });
}

void Session::guarded(const std::function<void()>& action) {
  // Nothing may unwind through the event loop: keep the failure for the step runner.
  try {
    action();
  } catch (const std::exception& failure) {
    if (escaped_.empty()) escaped_ = failure.what();
  }
}

}  // namespace brivel::ctl
