// The control's creation and teardown, the simple members of its public interface,
// the two panel switches, the status lamp's mouse handler, and what the link tells
// the control.

#include "control/control.h"

#include <exception>
#include <optional>

#include "platform/failure.h"
#include "text/convert.h"

namespace brivel {

namespace {
constexpr std::int16_t kFirstPort = 1;
constexpr std::int16_t kLastPort = 16;

// Entries of the increment list, nm.
constexpr const char* kDistances[] = {"0.1", "0.2", "0.5", "1",   "2",   "5",   "10",
                                      "20",  "50",  "100", "200", "500", "1000"};
// Entries of the target list: 0, then the mercury lines, nm.
constexpr const char* kTargets[] = {"0",       "253.65",  "365.02",  "435.83",
                                    "546.07",  "730.04",  "871.64",  "1092.14",
                                    "1307.52", "1638.21", "2615.04", "5230.08"};
constexpr int kTopSpeed = 250;

bool valid_port(std::int16_t number) { return number >= kFirstPort && number <= kLastPort; }
}  // namespace

Control::Control(EventPump& pump, Dialogs& dialogs, std::unique_ptr<SerialPort> port, Files& files)
    : link_(pump, std::move(port)),
      session_(link_, surface_, dialogs, files),
      wheel_(session_),
      identification_(session_, wheel_),
      motion_(session_, identification_),
      power_on_(session_),
      parameters_(session_, motion_, identification_) {
  link_.set_owner(this);
  build_surface();

  // Creation, in this order.
  Widget& run = w("FraRunPanel");
  run.set_visible(true);
  run.move(0, 0);
  w("FraFilterParam").set_visible(false);

  Widget& distance = w("CboDistance");
  distance.clear_items();
  for (const char* entry : kDistances) distance.add_item(entry);
  distance.set_text("0.1");

  Widget& target = w("CboTarget");
  target.clear_items();
  for (const char* entry : kTargets) target.add_item(entry);
  target.set_text(w("LblWaveLen").text());

  thread_language() = 1;

  Widget& speed = w("CboSpeed");
  for (int s = 1; s <= kTopSpeed; ++s) speed.add_item(std::to_string(s));
  wheel_.fill_counts();

  ApplyLanguage();
}

Control::~Control() {
  // The host's widgets may already be going: nobody watches the surface any more.
  surface_.set_observer(nullptr);
  // Teardown closes the port and must never throw out of a destructor.
  try {
    CloseCom();
  } catch (...) {
  }
  link_.set_owner(nullptr);
}

std::string Control::StrYear() const {
  const Widget* year = surface_.find("TxtYear");
  return year ? year->text() : std::string();
}

void Control::setIntUseCom(std::int16_t& value) {
  // Any other number is dropped without a message; it takes effect at the next OpenCom.
  if (valid_port(value)) session_.state.port_number = value;
}

std::int16_t Control::IntLanguage() const { return thread_language(); }

void Control::setIntLanguage(std::int16_t& value) {
  thread_language() = value;
  ApplyLanguage();
}

void Control::show_panel(const char* shown, const char* hidden, Words failure) {
  // Hide the other panel, show this one and move it to the top left corner, in this
  // order; a failure skips the rest of the switch and is shown, never passed on.
  try {
    w(hidden).set_visible(false);
    Widget& panel = w(shown);
    panel.set_visible(true);
    panel.move(0, 0);
  } catch (const std::exception&) {
    session_.say(MessageKind::Failure, failure, kPrompt, Icon::Information);
  }
}

void Control::ShowParaFace() {
  show_panel("FraFilterParam", "FraRunPanel",
             Words{"An error occurred when using ShowParaFace.", "ShowParaFace发生错误！"});
}

void Control::ShowRunFace() {
  show_panel("FraRunPanel", "FraFilterParam",
             Words{"An error occurred when using ShowRunFace.", "ShowRunFace发生错误！"});
}

void Control::Image1_MouseDown(std::int16_t button) {
  // Any run-time failure ends the handler silently (OpenCom traps its own).
  try {
    if (button == 1) {
      if (state().connected) CloseCom();
      else OpenCom();
      return;
    }
    // Any other button chooses the port; the new number takes effect at the next OpenCom.
    const std::string number_now = std::to_string(state().port_number);
    const std::optional<std::string> answer =
        english() ? session_.ask("Please enter the serial number", "Choose the serial no.", number_now)
                  : session_.ask("请输入串口号", "选择串口号", number_now);
    if (!answer) return;
    // A fractional answer is rounded; text that is not a number or too large ends here.
    const std::int16_t number = text::parse_int16(*answer);
    if (valid_port(number)) session_.state.port_number = number;
  } catch (const std::exception&) {
  }
}

void Control::OpenCom() { identification_.connect(); }

void Control::CloseCom() { identification_.close(); }

void Control::SaveParameter(std::string strFilePath) {
  if (state().connected) parameters_.save(strFilePath);
}

void Control::LoadParameter(std::string strFilePath) { parameters_.load(strFilePath); }

void Control::position_report(const Bytes& packet) {
  session_.show_wavelength(session_.report_wavelength(packet));
  if (position_hook_) position_hook_(state().wavelength);
}

void Control::port_lost() {
  session_.state.connected = false;
  session_.state.busy = false;
  if (Widget* lamp = surface_.find("Image1")) lamp->set_picture(1);
}

void Control::lost_while_idle(const RuntimeFailure& failure) { session_.report_failure(failure, "MSComm1_OnComm"); }

void Control::stop_motion(double window) { motion_.stop_from_outside(window); }

}  // namespace brivel
