#pragma once
// The control's interface in one place: the operator's events of the panels' named
// child controls, the twelve properties and the seven methods, each with the members
// of Control that serve it. The hosts take names, types and handlers from these
// tables: the Qt surface view wires the operator's events of the real widgets, the
// widget announces and sets its properties, brivelctl runs its panel and property
// steps and writes its completion, the Python package binds the properties and
// methods. A new event, property or method is one row here (and, for the widget, its
// Q_PROPERTY or Q_INVOKABLE line, which moc must see; a test holds the two together).

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "control/control.h"
#include "control/controller.h"
#include "control/outcome.h"

namespace brivel::interface {

// ---- the operator's events ------------------------------------------------------------

enum class EventKind {
  Click,      // a button, a combo box's choice, a check box (after its value changed)
  MouseDown,  // a press, with the mouse button (1 left, 2 right, 4 middle)
  MouseUp,    // its release
  KeyPress,   // a character typed into a text box (13 Enter, 27 Esc)
  LostFocus,  // the input focus moved on to another child control
};
const char* to_string(EventKind kind);  // "Click", "MouseDown", ...

struct Event {
  const char* control;                               // the child control's name
  EventKind kind;
  void (Control::*plain)() = nullptr;                // Click, LostFocus
  void (Control::*button)(std::int16_t) = nullptr;   // MouseDown, MouseUp
  void (Control::*key)(std::int16_t&) = nullptr;     // KeyPress
};

constexpr Event on(const char* control, EventKind kind, void (Control::*handler)()) {
  return {control, kind, handler, nullptr, nullptr};
}
constexpr Event on(const char* control, EventKind kind, void (Control::*handler)(std::int16_t)) {
  return {control, kind, nullptr, handler, nullptr};
}
constexpr Event on(const char* control, EventKind kind, void (Control::*handler)(std::int16_t&)) {
  return {control, kind, nullptr, nullptr, handler};
}

// In the order the operator meets them on the panels (and brivelctl lists them).
inline constexpr Event kEvents[] = {
    on("CmdMonoRefresh", EventKind::Click, &Control::CmdMonoRefresh_Click),
    on("CmdStop", EventKind::Click, &Control::CmdStop_Click),
    on("CmdUp", EventKind::Click, &Control::CmdUp_Click),
    on("CmdDown", EventKind::Click, &Control::CmdDown_Click),
    on("CmdRun", EventKind::Click, &Control::CmdRun_Click),
    on("CboSpeed", EventKind::Click, &Control::CboSpeed_Click),
    on("CmdReAnchor", EventKind::Click, &Control::CmdReAnchor_Click),
    on("ChkUseFilter", EventKind::Click, &Control::ChkUseFilter_Click),
    on("CboFilterCount", EventKind::Click, &Control::CboFilterCount_Click),
    on("CmdFilterSet", EventKind::Click, &Control::CmdFilterSet_Click),
    on("Image1", EventKind::MouseDown, &Control::Image1_MouseDown),
    on("CmdHandUp", EventKind::MouseDown, &Control::CmdHandUp_MouseDown),
    on("CmdHandUp", EventKind::MouseUp, &Control::CmdHandUp_MouseUp),
    on("CmdHandDown", EventKind::MouseDown, &Control::CmdHandDown_MouseDown),
    on("CmdHandDown", EventKind::MouseUp, &Control::CmdHandDown_MouseUp),
    on("TxtOpenPos", EventKind::KeyPress, &Control::TxtOpenPos_KeyPress),
    on("TxtOpenPos", EventKind::LostFocus, &Control::TxtOpenPos_LostFocus),
};

// The handler of `kind` on `control`, or null.
const Event* find_event(std::string_view control, EventKind kind);
inline bool takes(std::string_view control, EventKind kind) { return find_event(control, kind) != nullptr; }
// "CmdRun_Click": the handler's name, as failures and notes name the operation.
std::string handler_name(const Event& event);
// Runs the handler; `code` is the mouse button or the character. Gives the character
// as the key handler left it (a handler may change or cancel it); `code` otherwise.
std::int16_t fire(Control& control, const Event& event, std::int16_t code = 0);

// ---- the properties ---------------------------------------------------------------------

enum class Type {
  Bool,    // a 16-bit flag of the control (True is -1): true or false here
  Int16,   // set from outside 16 bits is an overflow
  Int32,
  Double,
  Text,
};
// A property's value: whole numbers of both widths as int32.
using Value = std::variant<bool, std::int32_t, double, std::string>;

struct Property {
  const char* name;
  Type type;
  Value (*get)(const Control&);
  void (*set)(Control&, const Value&);  // null: read-only; call through set() below
  // Setting it starts no operation of its own: it is taken while another runs.
  bool while_busy;
  // A value of the instrument, which only a connection gives (before one it is a
  // creation value or one left from an earlier connection).
  bool reading;
  // The value as Controller::state() carries it; null: the state does not carry it.
  Value (*from_state)(const State&);
  const char* summary;  // one line for the hosts' documentation
};

namespace detail {
template <auto getter>
Value read(const Control& c) {
  using T = decltype((c.*getter)());
  if constexpr (std::is_same_v<T, std::string> || std::is_same_v<T, double>)
    return (c.*getter)();
  else
    return static_cast<std::int32_t>((c.*getter)());
}
template <auto getter>
Value read_flag(const Control& c) {
  return (c.*getter)() != kFalse;
}
template <auto setter>
void write_int16(Control& c, const Value& v) {
  auto value = static_cast<std::int16_t>(std::get<std::int32_t>(v));
  (c.*setter)(value);
}
template <auto setter>
void write_double(Control& c, const Value& v) {
  double value = std::get<double>(v);
  (c.*setter)(value);
}
template <auto field>
Value state(const State& s) {
  using T = std::decay_t<decltype(s.*field)>;
  if constexpr (std::is_same_v<T, bool> || std::is_same_v<T, double> || std::is_same_v<T, std::string>)
    return s.*field;
  else
    return static_cast<std::int32_t>(s.*field);
}
}  // namespace detail

// In the order the interface declares them (and `info` prints them).
inline constexpr Property kProperties[] = {
    {"IntUseCom", Type::Int16, detail::read<&Control::IntUseCom>,
     detail::write_int16<&Control::setIntUseCom>, true, false, detail::state<&State::port_number>,
     "The control's port number (1 to 16; other values are ignored, as the control does)."},
    {"BlnBusy", Type::Bool, detail::read_flag<&Control::BlnBusy>, nullptr, false, false,
     detail::state<&State::busy>, "The control's busy flag."},
    {"BlnMonConnectFlag", Type::Bool, detail::read_flag<&Control::BlnMonConnectFlag>, nullptr, false,
     false, detail::state<&State::connected>, "The control's connected flag."},
    {"DblMonoWaveLen", Type::Double, detail::read<&Control::DblMonoWaveLen>, nullptr, false, true,
     detail::state<&State::wavelength>, "The control's current wavelength, nm."},
    {"DblOpenPos", Type::Double, detail::read<&Control::DblOpenPos>,
     detail::write_double<&Control::setDblOpenPos>, false, true, detail::state<&State::power_on>,
     "The control's power-on wavelength, nm (setting it asks confirm and writes it)."},
    {"LngInstrumentNo", Type::Int32, detail::read<&Control::LngInstrumentNo>, nullptr, false, true,
     detail::state<&State::instrument_no>, "The control's instrument number."},
    {"IntGratingLines", Type::Int16, detail::read<&Control::IntGratingLines>, nullptr, false, true,
     detail::state<&State::grating_lines>, "The control's grating line density, lines per mm."},
    {"LngZeroPos", Type::Int32, detail::read<&Control::LngZeroPos>, nullptr, false, true,
     detail::state<&State::zero_offset>, "The control's zero offset, motor steps."},
    {"IntSpeed", Type::Int16, detail::read<&Control::IntSpeed>, detail::write_int16<&Control::setIntSpeed>,
     false, true, nullptr,
     "The control's IntSpeed: the speed the host last set and the controller confirmed\n"
     "(setting it limits to 1..250; ignored while not connected)."},
    {"DblMonoStep", Type::Double, detail::read<&Control::DblMonoStep>, nullptr, false, true,
     detail::state<&State::step>, "The control's wavelength per motor step, nm."},
    {"StrYear", Type::Text, detail::read<&Control::StrYear>, nullptr, false, true,
     detail::state<&State::year>, "The control's year field text."},
    {"IntLanguage", Type::Int16, detail::read<&Control::IntLanguage>,
     detail::write_int16<&Control::setIntLanguage>, true, false, detail::state<&State::language>,
     "The control's language: 0 Chinese, 1 English."},
};

const Property* find_property(std::string_view name);
// Sets a writable property as a host does: a value of the wrong kind is refused
// (InvalidArgument), an Int16 beyond 16 bits is an overflow ("IntUseCom 70000").
void set(Control& control, const Property& property, const Value& value);
// The value as brivelctl prints it: True/False, whole numbers, plain decimals, text.
std::string to_text(const Value& value);
// The value of a text for `property` (16-bit whole numbers round to even, as the
// control converts them); RuntimeFailure when the text is none.
Value from_text(const Property& property, const std::string& text);

// ---- the methods ------------------------------------------------------------------------

enum class Argument { None, Wavelength, Path };

struct Method {
  const char* name;
  Argument argument;
  const char* parameter;                             // the argument's name; "" for none
  void (Control::*plain)() = nullptr;                // Argument::None
  void (Control::*wavelength)(double&) = nullptr;    // Argument::Wavelength (nm)
  void (Control::*path)(std::string) = nullptr;      // Argument::Path
  // As an operation of the Controller: how its outcome is judged, and whether it is
  // the one operation in flight (refused while another runs).
  Judge how = Judge::Messages;
  bool exclusive = true;
  const char* summary = "";
};

inline constexpr Method kMethods[] = {
    {"OpenCom", Argument::None, "", &Control::OpenCom, nullptr, nullptr, Judge::Connection, true,
     "Connects to the instrument and identifies it."},
    {"CloseCom", Argument::None, "", &Control::CloseCom, nullptr, nullptr, Judge::Messages, true,
     "Closes the port."},
    {"MonochromatorMoveTo", Argument::Wavelength, "dblWavelen", nullptr, &Control::MonochromatorMoveTo,
     nullptr, Judge::Messages, true,
     "The control's absolute move, with its own checks (a negative target is refused\n"
     "with its message)."},
    {"SaveParameter", Argument::Path, "strFilePath", nullptr, nullptr, &Control::SaveParameter,
     Judge::Messages, true, "Saves the instrument's parameters (does nothing while not connected)."},
    {"LoadParameter", Argument::Path, "strFilePath", nullptr, nullptr, &Control::LoadParameter,
     Judge::Messages, true, "Downloads a parameter file into the instrument, as it is."},
    {"ShowParaFace", Argument::None, "", &Control::ShowParaFace, nullptr, nullptr, Judge::Messages, false,
     "Shows the parameter panel."},
    {"ShowRunFace", Argument::None, "", &Control::ShowRunFace, nullptr, nullptr, Judge::Messages, false,
     "Shows the run panel."},
};

const Method* find_method(std::string_view name);
// Calls the method with its argument (a double for a wavelength, a text for a path).
void call(Control& control, const Method& method, const Value& argument = {});

}  // namespace brivel::interface
