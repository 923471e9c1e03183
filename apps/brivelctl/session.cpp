#include "session.h"

#include <QTimer>
#include <csignal>
#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>

#include "commands.h"
#include "console_dialogs.h"
#include "control/interface.h"
#include "session/language.h"
#include "parameters/parameter_file.h"
#include "platform/files.h"
#include "platform/failure.h"
#include "port_list.h"
#include "stop_signals.h"
#include "text/convert.h"

namespace brivel::ctl {

namespace {

using Args = std::vector<std::string>;

// ---- properties and the operator's controls: the interface's tables --------------------

using interface::EventKind;
using interface::Property;

const Property* property(const std::string& name) { return interface::find_property(name); }

// A value `set` can convert, checked before anything runs: the same conversion the
// step then makes.
bool converts(const Property& p, const std::string& value) {
  try {
    interface::from_text(p, value);
    return true;
  } catch (const RuntimeFailure&) {
    return false;
  }
}

// A click: buttons and the combo boxes' selection run their click handler; a check
// box first toggles its value, as a real click does; a control that takes a press but
// no release (the lamp) takes a left press.
const interface::Event* clicked(const std::string& name) {
  if (const interface::Event* click = interface::find_event(name, EventKind::Click)) return click;
  if (!interface::takes(name, EventKind::MouseUp)) return interface::find_event(name, EventKind::MouseDown);
  return nullptr;
}

void click(Control& c, const interface::Event& event) {
  if (event.kind == EventKind::Click) {
    Widget& w = c.surface().at(event.control);
    if (w.kind() == WidgetKind::CheckBox) w.set_value(w.value() == 1 ? 0 : 1);  // indeterminate: checked
  }
  interface::fire(c, event, 1);
}

// Press-and-hold buttons: a press and a release handler.
bool holdable(const std::string& name) {
  return interface::takes(name, EventKind::MouseDown) && interface::takes(name, EventKind::MouseUp);
}

// The controls whose events `step` names, in the table's order, each once.
std::vector<std::string> event_targets(const std::string& step) {
  std::vector<std::string> names;
  const auto add = [&names](const char* name) {
    if (std::find(names.begin(), names.end(), name) == names.end()) names.emplace_back(name);
  };
  // A click's targets: those with a click handler, then those a press clicks.
  if (step == "click")
    for (int pass = 0; pass < 2; ++pass)
      for (const interface::Event& e : interface::kEvents)
        if (clicked(e.control) == &e && (e.kind == EventKind::Click) == (pass == 0)) add(e.control);
  for (const interface::Event& e : interface::kEvents) {
    if (step == "hold" && holdable(e.control)) add(e.control);
    if (step == "key" && e.kind == EventKind::KeyPress) add(e.control);
  }
  if (step == "mouse") {
    for (const std::string& name : event_targets("hold")) add(name.c_str());
    for (const interface::Event& e : interface::kEvents)
      if (e.kind == EventKind::MouseDown && !holdable(e.control)) add(e.control);
  }
  return names;
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
using Action = Exit (*)(Session&, const Step&);

struct StepRow {
  const char* name;
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
std::string need_one_of(const Args& a, std::size_t i, const char* first, const char* second) {
  return a[i] == first || a[i] == second ? std::string()
                                         : "\"" + a[i] + "\" is neither " + first + " nor " + second;
}

// Runs one operator action on a named control: the focus moves there first.
void operate(Session& s, const std::string& name, const std::function<void()>& action) {
  s.focus(name);
  action();
}

void hold(Session& s, const std::string& name, std::int16_t button, double seconds) {
  Control& c = s.control();
  const interface::Event* press = interface::find_event(name, EventKind::MouseDown);
  const interface::Event* release = interface::find_event(name, EventKind::MouseUp);
  auto released = std::make_shared<bool>(false);
  s.focus(name);
  // The release is an event of its own: it runs inside the press handler's waits.
  s.later(seconds, [&c, release, released, button] {
    *released = true;
    interface::fire(c, *release, button);
  });
  interface::fire(c, *press, button);
  // A press handler that returned early (not connected, busy, end of travel) still
  // sees the button released when its time comes; a stop signal ends the hold.
  while (!*released && !stop_signal()) s.wait(0.05);
}

void print_properties(Session& s) {
  for (const Property& p : interface::kProperties)
    s.out() << p.name << '=' << interface::to_text(p.get(s.control())) << '\n';
  s.out().flush();
}

// A reading or a verb that needs the instrument, without a connection: a failure that
// says what to do (the creation values would read as an instrument at 0 nm).
struct NotConnected : std::runtime_error {
  NotConnected() : std::runtime_error("not connected: open first") {}
};
void require_connection(const Session& s) {
  if (!s.control().BlnMonConnectFlag()) throw NotConnected();
}

// A verb: checks the connection, starts the operation, runs the event loop until it
// ends and judges its result.
Exit verb(Session& s, const Step& step, const std::function<Operation(Controller&)>& start) {
  require_connection(s);
  s.take_declined();
  return s.verdict(step, s.await(start(s.controller())));
}

// ---- scan ---------------------------------------------------------------------------

constexpr double kMostScanPoints = 1e6;

struct ScanPlan {
  double start = 0, stop = 0, step = 0;
  long long count = 0;
  // The wavelength of point `index`; the last lands on stop when the steps reach it
  // within rounding.
  double at(long long index) const {
    const double nm = start + static_cast<double>(index) * step;
    if (index == count - 1 && std::fabs(nm - stop) <= std::fabs(step) * 1e-9) return stop;
    return std::round(nm * 1e9) / 1e9;
  }
};

// The points of START STOP STEP, or why there are none.
std::string plan_scan(const Args& a, ScanPlan& plan) {
  for (std::size_t i = 0; i < 3; ++i) {
    const std::string why = need_number(a, i, i == 0 ? "start" : i == 1 ? "stop" : "step");
    if (!why.empty()) return why;
  }
  plan.start = text::parse_double(a[0]);
  plan.stop = text::parse_double(a[1]);
  plan.step = text::parse_double(a[2]);
  if (plan.step == 0) return "the step cannot be 0";
  const double intervals = (plan.stop - plan.start) / plan.step;
  if (intervals < -1e-9)
    return std::string("the step leads away from stop: give a ") + (plan.stop < plan.start ? "negative" : "positive") +
           " step to go from start to stop";
  if (!(intervals < kMostScanPoints)) return "the scan would have more than a million points";
  plan.count = static_cast<long long>(std::floor(std::max(0.0, intervals) + 1e-9)) + 1;
  return {};
}

Exit scan(Session& s, const Step& step) {
  require_connection(s);
  ScanPlan plan;
  plan_scan(step.args, plan);
  for (long long i = 0; i < plan.count; ++i) {
    s.take_declined();
    const Result r = s.await(s.controller().move_to(plan.at(i)));
    const Exit outcome = s.verdict(step, r);
    if (outcome != Exit::Ok || !r.ok() || stop_signal()) return outcome;
    s.progress().clear();
    s.out() << text::plain(r.wavelength) << std::endl;
  }
  return Exit::Ok;
}

// ---- watch --------------------------------------------------------------------------

// One line of watch: the wavelength and the state.
std::string watch_line(const State& st, double nm) {
  std::string line = text::format(nm, "0.00") + " nm";
  if (!st.connected) return line + (st.port_lost ? ", connection lost" : ", not connected");
  line += st.busy ? ", busy" + (st.operation.empty() ? std::string() : " (" + st.operation + ")") : ", idle";
  if (st.speed > 0) line += ", speed " + std::to_string(st.speed);
  if (st.filter_state == 0) line += ", filter wheel off";
  else if (st.filter_state == 1) line += ", filter wheel on";
  return line;
}

// The state as the control shows it now (what the controller last published, with the
// flags read afresh: a click's end is published at the next operation only).
State state_now(Session& s) {
  const Control& c = s.control();
  State st = s.controller().state();
  st.connected = c.BlnMonConnectFlag() != 0;
  st.busy = c.BlnBusy() != 0 || !st.operation.empty();
  st.filter_state = c.IntFilterState();
  const Widget* speed_box = c.surface().find("CboSpeed");
  if (speed_box && !speed_box->text().empty()) st.speed = static_cast<int>(text::leading_number(speed_box->text()));
  return st;
}

Exit watch(Session& s, const Step&) {
  require_connection(s);
  Controller& controller = s.controller();
  std::string last;
  const auto show = [&](double nm) {
    const std::string line = watch_line(state_now(s), nm);
    if (line == last) return;
    last = line;
    s.progress().clear();
    s.out() << line << std::endl;
  };
  show(s.control().DblMonoWaveLen());
  // Every position report (a motion started meanwhile, by a later click), and the
  // state looked at between events.
  Observer observer;
  observer.position = [&](double nm) { show(nm); };
  const int id = controller.subscribe(std::move(observer));
  struct Unsubscribe {
    Controller& c;
    int id;
    ~Unsubscribe() { c.unsubscribe(id); }
  } unsubscribe{controller, id};
  // Until a signal, or the connection is gone (the port went away, a click closed it).
  while (!stop_signal() && s.control().BlnMonConnectFlag()) {
    s.wait(0.05);
    show(s.control().DblMonoWaveLen());
  }
  if (stop_signal() == SIGINT) {
    // Ctrl-C is how a watch ends: the run goes on with the next step.
    s.control().clear_stop_request();
    rearm_stop_signals();
  }
  return Exit::Ok;
}

// ---- load ---------------------------------------------------------------------------

// A parameter file is checked whole before anything is sent: the file routine's own
// refusals (no regular file, too large) and the text's first problem, by line and field.
Exit load(Session& s, const Step& step) {
  require_connection(s);
  const std::string& path = step.args[0];
  const bool chinese = chinese_texts();
  const TextFile file = standard_files().read_text(path, parameters::kLargestParameterFile);
  std::string why;
  switch (file.trouble) {
    case FileTrouble::None:
      if (const auto problem = parameters::find_parameter_problem(file.text))
        why = chinese ? problem->text_zh : problem->text_en;
      break;
    case FileTrouble::Unreadable: why = chinese ? "无法读取文件" : "the file cannot be read"; break;
    case FileTrouble::NotRegular: why = chinese ? "路径不是普通文件" : "the path names no regular file"; break;
    case FileTrouble::TooLarge: why = chinese ? parameters::kTooLargeZh : parameters::kTooLargeEn; break;
  }
  if (!why.empty()) {
    s.progress().clear();
    s.err() << "brivelctl: load: " << path << ": " << why << (chinese ? "；未发送任何内容" : "; nothing was sent")
            << std::endl;
    return Exit::Refused;
  }
  return verb(s, step, [&path](Controller& c) { return c.load_parameters(path); });
}

Exit open_step(Session& s, const Step&) {
  // Settings of the port numbers that cannot be used may be why the wrong device, or
  // none, opens: said once a run, before the first open.
  if (s.first_open()) print_port_problems(s.err(), "open");
  s.control().OpenCom();
  if (s.control().BlnMonConnectFlag()) return Exit::Ok;
  s.err() << "brivelctl: open: the monochromator is not connected" << std::endl;
  return Exit::NotConnected;
}

const StepRow kSteps[] = {
    // ---- verbs ----
    {"open", no_check, open_step},
    {"close", no_check, [](Session& s, const Step&) { s.control().CloseCom(); return Exit::Ok; }},
    {"info", no_check,
     [](Session& s, const Step&) {
       require_connection(s);
       print_properties(s);
       return Exit::Ok;
     }},
    {"move", [](const Control&, const Args& a) { return need_number(a, 0, "wavelength"); },
     [](Session& s, const Step& step) {
       double nm = text::parse_double(step.args[0]);
       s.control().MonochromatorMoveTo(nm);
       return Exit::Ok;
     }},
    {"step", [](const Control&, const Args& a) { return need_number(a, 0, "distance"); },
     [](Session& s, const Step& step) {
       const double nm = text::parse_double(step.args[0]);
       return verb(s, step, [nm](Controller& c) { return c.move_by(nm); });
     }},
    {"jog",
     [](const Control&, const Args& a) {
       const std::string why = need_one_of(a, 0, "up", "down");
       return why.empty() ? need_seconds(a, 1) : why;
     },
     [](Session& s, const Step& step) {
       const int direction = step.args[0] == "up" ? 1 : -1;
       const double seconds = text::parse_double(step.args[1]);
       return verb(s, step, [=](Controller& c) { return c.jog(direction, seconds); });
     }},
    {"stop", no_check,
     [](Session& s, const Step& step) { return verb(s, step, [](Controller& c) { return c.stop(); }); }},
    {"speed",
     [](const Control&, const Args& a) {
       const bool whole = is_int16(a[0]) && text::parse_double(a[0]) == text::parse_int16(a[0]);
       const int n = whole ? text::parse_int16(a[0]) : 0;
       return whole && n >= 1 && n <= 250 ? std::string() : "speed \"" + a[0] + "\" is no whole number from 1 to 250";
     },
     [](Session& s, const Step& step) {
       const int speed = text::parse_int16(step.args[0]);
       return verb(s, step, [speed](Controller& c) { return c.set_speed(speed); });
     }},
    {"power-on", [](const Control&, const Args& a) { return need_number(a, 0, "wavelength"); },
     [](Session& s, const Step& step) {
       const double nm = text::parse_double(step.args[0]);
       return verb(s, step, [nm](Controller& c) { return c.set_power_on(nm); });
     }},
    {"reposition", no_check,
     [](Session& s, const Step& step) { return verb(s, step, [](Controller& c) { return c.reposition(); }); }},
    {"refresh", no_check,
     [](Session& s, const Step& step) { return verb(s, step, [](Controller& c) { return c.refresh(); }); }},
    {"wheel", [](const Control&, const Args& a) { return need_one_of(a, 0, "on", "off"); },
     [](Session& s, const Step& step) {
       const bool on = step.args[0] == "on";
       return verb(s, step, [on](Controller& c) { return c.set_filter_wheel(on); });
     }},
    {"filters",
     [](const Control&, const Args& a) {
       for (std::size_t i = 0; i < a.size(); ++i) {
         const std::string why = need_number(a, i, "start wavelength");
         if (!why.empty()) return why;
       }
       return std::string();
     },
     [](Session& s, const Step& step) {
       std::vector<double> starts;
       for (const std::string& word : step.args) starts.push_back(text::parse_double(word));
       return verb(s, step, [&starts](Controller& c) { return c.set_filters(starts); });
     }},
    {"save", no_check,
     [](Session& s, const Step& step) {
       const std::string path = step.args[0];
       return verb(s, step, [&path](Controller& c) { return c.save_parameters(path); });
     }},
    {"load", no_check, load},
    {"scan",
     [](const Control&, const Args& a) {
       ScanPlan plan;
       return plan_scan(a, plan);
     },
     scan},
    {"watch", no_check, watch},
    // ---- properties ----
    {"get",
     [](const Control&, const Args& a) {
       return property(a[0]) ? std::string() : "no property named \"" + a[0] + "\"";
     },
     [](Session& s, const Step& step) {
       const Property* p = property(step.args[0]);
       if (p->reading) require_connection(s);
       s.out() << interface::to_text(p->get(s.control())) << std::endl;
       return Exit::Ok;
     }},
    {"set",
     [](const Control&, const Args& a) {
       const Property* p = property(a[0]);
       if (!p || !p->set) return "no settable property named \"" + a[0] + "\"";
       return converts(*p, a[1]) ? std::string() : "\"" + a[1] + "\" is no value for " + a[0];
     },
     [](Session& s, const Step& step) {
       const Property* p = property(step.args[0]);
       interface::set(s.control(), *p, interface::from_text(*p, step.args[1]));
       return Exit::Ok;
     }},
    // ---- the panels' controls ----
    {"click",
     [](const Control&, const Args& a) {
       return clicked(a[0]) ? std::string() : "\"" + a[0] + "\" cannot be clicked";
     },
     [](Session& s, const Step& step) {
       const interface::Event* target = clicked(step.args[0]);
       operate(s, step.args[0], [&] { click(s.control(), *target); });
       return Exit::Ok;
     }},
    {"type",
     [](const Control& c, const Args& a) {
       const Widget* w = c.surface().find(a[0]);
       const bool editable =
           w && (w->kind() == WidgetKind::TextBox || w->kind() == WidgetKind::ComboBox);
       return editable ? std::string() : "\"" + a[0] + "\" is no text or combo box";
     },
     [](Session& s, const Step& step) {
       operate(s, step.args[0], [&] { s.control().surface().at(step.args[0]).set_text(step.args[1]); });
       return Exit::Ok;
     }},
    {"key",
     [](const Control&, const Args& a) {
       if (!interface::takes(a[0], EventKind::KeyPress)) return "\"" + a[0] + "\" takes no keys";
       return is_int16(a[1]) ? std::string() : "\"" + a[1] + "\" is no key code";
     },
     [](Session& s, const Step& step) {
       const interface::Event* target = interface::find_event(step.args[0], EventKind::KeyPress);
       operate(s, step.args[0], [&] { interface::fire(s.control(), *target, text::parse_int16(step.args[1])); });
       return Exit::Ok;
     }},
    {"mouse",
     [](const Control&, const Args& a) {
       if (!interface::takes(a[0], EventKind::MouseDown)) return "\"" + a[0] + "\" takes no mouse press";
       return is_int16(a[1]) ? std::string() : "\"" + a[1] + "\" is no mouse button";
     },
     [](Session& s, const Step& step) {
       const std::int16_t button = text::parse_int16(step.args[1]);
       if (holdable(step.args[0]))
         hold(s, step.args[0], button, 0.0);
       else  // the lamp takes no focus
         interface::fire(s.control(), *interface::find_event(step.args[0], EventKind::MouseDown), button);
       return Exit::Ok;
     }},
    {"hold",
     [](const Control&, const Args& a) {
       if (!holdable(a[0])) return "\"" + a[0] + "\" is no jog button";
       return need_seconds(a, 1);
     },
     [](Session& s, const Step& step) {
       hold(s, step.args[0], 1, text::parse_double(step.args[1]));
       return Exit::Ok;
     }},
    {"later",
     [](const Control&, const Args& a) {
       if (!is_seconds(a[0])) return "\"" + a[0] + "\" is no number of seconds";
       return clicked(a[1]) || a[1] == "stop" ? std::string() : "\"" + a[1] + "\" cannot be clicked";
     },
     [](Session& s, const Step& step) {
       Session* session = &s;
       const double seconds = text::parse_double(step.args[0]);
       if (step.args[1] == "stop") {
         // The stop verb: whatever runs then is cancelled (an operation of a verb ends
         // Stopped; anything else gets the stop button).
         s.later(seconds, [session] { session->controller().stop(); });
         return Exit::Ok;
       }
       const interface::Event* target = clicked(step.args[1]);
       const std::string name = step.args[1];
       s.later(seconds,
               [session, target, name] { operate(*session, name, [&] { click(session->control(), *target); }); });
       return Exit::Ok;
     }},
    {"show",
     [](const Control& c, const Args& a) {
       return c.surface().find(a[0]) ? std::string() : "no control named \"" + a[0] + "\"";
     },
     [](Session& s, const Step& step) {
       s.out() << s.control().surface().at(step.args[0]).text() << std::endl;
       return Exit::Ok;
     }},
    {"value",
     [](const Control& c, const Args& a) {
       const Widget* w = c.surface().find(a[0]);
       const bool valued =
           w && (w->kind() == WidgetKind::CheckBox || w->kind() == WidgetKind::Picture);
       return valued ? std::string() : "\"" + a[0] + "\" is no check box or picture";
     },
     [](Session& s, const Step& step) {
       const Widget& w = s.control().surface().at(step.args[0]);
       s.out() << (w.kind() == WidgetKind::Picture ? w.picture() : w.value()) << std::endl;
       return Exit::Ok;
     }},
    {"para", no_check, [](Session& s, const Step&) { s.control().ShowParaFace(); return Exit::Ok; }},
    {"run", no_check, [](Session& s, const Step&) { s.control().ShowRunFace(); return Exit::Ok; }},
    // ---- other ----
    {"wait", [](const Control&, const Args& a) { return need_seconds(a, 0); },
     [](Session& s, const Step& step) {
       s.wait(text::parse_double(step.args[0]));
       return Exit::Ok;
     }},
    {"ports", no_check,
     [](Session& s, const Step&) {
       s.progress().end();
       print_port_list(s.out(), s.err());
       return Exit::Ok;
     }},
};

const StepRow* step_row(const std::string& name) {
  for (const StepRow& r : kSteps)
    if (name == r.name) return &r;
  return nullptr;
}

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

Session::Session(Controller& controller, ConsoleDialogs& dialogs, std::ostream& out, std::ostream& err,
                 SessionSettings settings)
    : controller_(controller),
      control_(controller.control()),
      dialogs_(dialogs),
      out_(out),
      err_(err),
      settings_(settings),
      progress_(err, settings.progress, settings.width) {
  // Every step of commands() has its row here, and no row is without its step.
  for (const Command& c : commands())
    if (!step_row(c.name)) throw std::logic_error(std::string("brivelctl has no step ") + c.name);
  for (const StepRow& r : kSteps)
    if (!command(r.name)) throw std::logic_error(std::string("brivelctl does not list the step ") + r.name);

  dialogs_.set_before_line([this] { progress_.clear(); });
  // The questions of a verb are the console's, as those of the panel steps: --yes
  // answers OK, otherwise Cancel, and the verb then counts as not done.
  controller_.set_answerer([this](const Message& m) {
    const Answer answer = dialogs_.show(m);
    if (answer == Answer::Cancel) declined_ = true;
    return answer;
  });
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
  controller_.set_answerer({});
  dialogs_.set_before_line({});
  progress_.end();
}

std::vector<std::string> Session::names(const std::string& step) {
  if (step != "get" && step != "set") return event_targets(step);
  std::vector<std::string> found;
  for (const Property& p : interface::kProperties)
    if (step == "get" || p.set) found.emplace_back(p.name);
  return found;
}

Result Session::await(const Operation& op) {
  bool cancelled = false;
  while (!op.done()) {
    if (stop_signal() && !cancelled) {
      op.cancel();
      cancelled = true;
    }
    control_.pump().wait_until(control_.pump().now() + 0.05);
  }
  return op.result();
}

Exit Session::verdict(const Step& step, const Result& r) {
  const bool chinese = chinese_texts();
  const std::string& text = chinese && !r.text_zh.empty() ? r.text_zh : r.text_en;
  // Whether the operator's messages (printed as they came) already said it.
  bool told = false;
  for (const Message& m : r.messages)
    if (m.kind == MessageKind::Refusal || m.kind == MessageKind::Failure) told = true;
  for (const HostNote& n : r.notes)
    if (n.kind == HostNote::Kind::Failure) told = true;
  const auto say = [&](const std::string& what) {
    progress_.clear();
    err_ << "brivelctl: " << step.name << ": " << what << std::endl;
  };
  switch (r.outcome) {
    case Outcome::Done:
      if (take_declined()) {
        say(chinese ? "未执行：问题的回答为否（--yes 回答为是）"
                    : "not done: the question was answered no (--yes answers yes)");
        return Exit::Refused;
      }
      return Exit::Ok;
    case Outcome::NotConnected:
      say(chinese ? "未连接：请先 open" : "not connected: open first");
      return Exit::Failure;
    case Outcome::Stopped:
      // By a signal: the run reports it. By a stop of the script's own (later ... stop).
      if (!stop_signal()) say((chinese ? "已停止，位于 " : "stopped at ") + text::plain(r.wavelength) + " nm");
      return Exit::Ok;
    case Outcome::Pending:
    case Outcome::ConnectionLost:   // as a click that lost the port: told, and the run goes on
    case Outcome::Refused:
    case Outcome::Busy:
    case Outcome::OutOfRange:
    case Outcome::Failed:
      break;
  }
  if (!told) say(text);
  return Exit::Refused;
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
    const bool refused = dialogs_.take_refusals() > 0 || outcome == Exit::Refused;
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
    outcome = step_row(step.name)->run(*this, step);
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
    if (f->reason() == FailureReason::Interrupted)
      why = control_.stop_stopped_motor() ? "stopped on request; the motor was stopped" : "stopped on request";
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
  if (const interface::Event* lost = interface::find_event(previous, EventKind::LostFocus))
    interface::fire(control_, *lost);
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
