#pragma once
// What every component of the control shares: the link, the surface of named child
// controls, the instrument's state, the bounds of the waits, and the way operator
// messages and host notes go out. A component keeps a Session& and nothing else of the
// control; the control (the dispatch facade) owns the session and the components.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/dialogs.h"
#include "platform/failure.h"
#include "platform/files.h"
#include "platform/surface.h"
#include "serial/link.h"
#include "session/language.h"
#include "session/range_check.h"

namespace brivel {

// An operator text in both languages.
struct Words {
  const char* en;
  const char* zh;
};

// An operator text in both languages, composed at run time.
struct Wording {
  std::string en, zh;
  Wording(Words words) : en(words.en), zh(words.zh) {}  // NOLINT: a Words is a Wording
  Wording(std::string english, std::string chinese) : en(std::move(english)), zh(std::move(chinese)) {}
};

constexpr Words kPrompt{"Prompt", "提示"};

// Bounds of the waits that have no limit of their own (seconds).
struct WaitBounds {
  double ack = 10.0;             // wait_for_ack after a setting ("OK" + CR)
  double data = 5.0;             // wait_for_data (the filter read-back)
  double final_position = 5.0;   // the repeated position request after a jog

  // The follow loop of a move ("W", "U", "D"): the time its distance takes at the
  // controller's nominal rate, allowed motion_factor times over, plus motion_margin
  // for starting, stopping and the exchanges of the loop. The nominal rate is an
  // assumption about the controller: 40 steps a second per unit of motor speed
  // (speed 250 turns 10,000 steps a second).
  double motion_rate = 40.0;     // steps per second per unit of speed
  double motion_factor = 2.0;
  double motion_margin = 10.0;   // seconds

  // Seconds a move of `steps` motor steps may take at motor speed `speed`; a speed
  // outside 1 to 250 (not known) counts as the slowest, 1.
  double motion(double steps, int speed) const {
    const int s = speed >= 1 && speed <= 250 ? speed : 1;
    const double distance = steps < 0 ? -steps : steps;
    return distance / (motion_rate * s) * motion_factor + motion_margin;
  }

  // wait_for_ack after "K" 8 (the reposition button, the download's reset): the motor
  // drives from where it stands back to its reference switch, the controller resets
  // and drives out to its power-on position, and only then answers. `travel` is both
  // legs together in motor steps; the bound is that travel's motion bound at `speed`.
  double reposition(double travel, int speed) const { return motion(travel, speed); }
};

// What the control knows of the instrument and of itself: the values behind its
// properties and panels.
struct InstrumentState {
  std::int16_t port_number = 1;     // 1 to 16; takes effect at the next connection
  bool connected = false;
  bool busy = false;                // an exchange with the controller runs
  bool stop_request = false;        // the stop button or a jog release ended the motion
  double wavelength = 0;            // nm, as shown (0.01 nm)
  double step = 0;                  // nm per motor step
  std::int16_t grating_lines = 0;
  std::int32_t instrument_no = 0;
  std::int32_t zero_offset = 0;     // motor steps
  double power_on = 0;              // nm, as shown
  std::int16_t speed = 250;         // the speed last set through the property
  // The speed the controller last reported ("v"), or the lowest one sent since ("V"
  // not yet confirmed); 0 while none is known. Only the motion bound uses it.
  std::int16_t reported_speed = 0;
  std::int16_t filter_state = 0;    // 0 off, 1 on, 2 the wheel is not set up
  bool filter_ready = false;        // a read-back succeeded: the wheel may be switched
  std::int16_t filter_a = 0;        // the record's value A, as read back
  std::string filter_b;             // the record's value B, as read back
  std::vector<double> filter_starts;   // nm, as the table shows them after a read-back

  // The motor speed the follow loops' bound assumes: the one the controller last
  // reported, or the slowest (1) while none is known.
  int motion_speed() const { return reported_speed >= 1 && reported_speed <= 250 ? reported_speed : 1; }
};

class Session {
 public:
  Session(serial::Link& link, Surface& surface, Dialogs& dialogs, Files& files)
      : link(link), surface(surface), files(files), dialogs_(dialogs) {}

  serial::Link& link;
  Surface& surface;
  Files& files;   // where the parameter file is read and written
  InstrumentState state;
  WaitBounds bounds;

  Widget& w(const std::string& name) { return surface.at(name); }

  // ---- people -------------------------------------------------------------------
  static bool english();   // messages are Chinese only when the language is exactly 0
  // Shows an operator message in the language in force.
  Answer say(MessageKind kind, const Wording& text, Words title, Icon icon = Icon::None, Buttons buttons = Buttons::Ok);
  // A note for the host (never a box).
  void note(HostNote::Kind kind, const char* operation, const Wording& text);
  // A line-input box (the port number); nothing when the operator cancels.
  std::optional<std::string> ask(const std::string& prompt, const std::string& title, const std::string& initial);
  // How a run-time failure that ends an operation reaches people: a stop requested
  // from outside becomes a host note; a lost port, and every other failure, a message.
  void report_failure(const RuntimeFailure& failure, const char* operation);
  // The operator's message for a port that went away, once for each loss.
  void tell_port_lost();
  // Lowers busy and tells the operator that the controller did not answer in time.
  void gave_up(Words what);
  // Runs an operator's handler: a failure inside it lowers busy and is reported
  // instead of reaching the host.
  void trapped(const std::function<void()>& handler, const char* operation = "");
  // Range-checks an operator's entry; on a refusal puts the input focus into `field`
  // and gives false.
  bool entry_accepted(const std::string& minimum, const std::string& maximum, const std::string& value,
                      EntryType type, const std::string& field);
  void show_splash(Words caption);
  void hide_splash();

  // ---- the position ---------------------------------------------------------------
  // Wavelength of a position report's bytes 1 to 4: step x (position - zero offset).
  double report_wavelength(const Bytes& packet) const;
  void show_wavelength(double wavelength);   // the state and LblWaveLen, at 0.01 nm

 private:
  Dialogs& dialogs_;
};

}  // namespace brivel
