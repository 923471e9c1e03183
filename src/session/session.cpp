// Operator messages, host notes, the trap around operator handlers, the wait window,
// and the wavelength of a position report.

#include "session/session.h"

#include <exception>

#include "protocol/commands.h"
#include "text/convert.h"

namespace brivel {

namespace {
constexpr Words kPortLost{
    "The connection to the monochromator was lost. Check the cable and connect again.",
    "与单色仪的连接已断开，请检查连接线后重新连接！"};

Words reason_words(FailureReason reason) {
  switch (reason) {
    case FailureReason::Overflow: return {"a value is out of range", "数值超出范围"};
    case FailureReason::DivisionByZero:
      return {"the wavelength per step is not known", "未知每步波长"};
    case FailureReason::NotANumber: return {"an entry is not a number", "输入不是数字"};
    case FailureReason::PortFailure: return {"the serial port failed", "串口故障"};
    case FailureReason::InvalidArgument: return {"invalid data", "数据无效"};
    case FailureReason::PortLost: return {"the connection was lost", "连接已断开"};
    case FailureReason::Interrupted: return {"it was stopped on request", "已按要求停止"};
  }
  return {"unknown failure", "未知错误"};
}
}  // namespace

bool Session::english() { return thread_language() != 0; }

Answer Session::say(MessageKind kind, const Wording& text, Words title, Icon icon, Buttons buttons) {
  Message m;
  m.kind = kind;
  m.text_en = text.en;
  m.text_zh = text.zh;
  m.title_en = title.en;
  m.title_zh = title.zh;
  m.text = english() ? m.text_en : m.text_zh;
  m.title = english() ? m.title_en : m.title_zh;
  m.icon = icon;
  m.buttons = buttons;
  auto inside = link.inside();   // a box runs the host's event loop
  return dialogs_.show(m);
}

void Session::note(HostNote::Kind kind, const char* operation, const Wording& text) {
  HostNote n;
  n.kind = kind;
  n.operation = operation ? operation : "";
  n.text_en = text.en;
  n.text_zh = text.zh;
  try {
    auto inside = link.inside();
    dialogs_.note(n);
  } catch (...) {
    // A note is information for the host; a host that fails to take it loses only that.
  }
}

std::optional<std::string> Session::ask(const std::string& prompt, const std::string& title,
                                        const std::string& initial) {
  auto inside = link.inside();   // the box runs the host's event loop
  return dialogs_.input(prompt, title, initial);
}

void Session::report_failure(const RuntimeFailure& failure, const char* operation) {
  switch (failure.reason()) {
    case FailureReason::Interrupted:
      // The motor is named only when the stop had one to stop.
      note(HostNote::Kind::Interrupted, operation,
           link.stop_stopped_motor() ? Wording{"stopped on request; the motor was stopped", "已按要求停止，电机已停止"}
                                     : Wording{"stopped on request", "已按要求停止"});
      return;
    case FailureReason::PortLost:
      // One note and one message for each loss, however many traps it passes.
      if (link.loss_told()) return;
      note(HostNote::Kind::Failure, operation, Wording{failure.what(), failure.what()});
      tell_port_lost();
      return;
    default: {
      const Words why = reason_words(failure.reason());
      say(MessageKind::Failure,
          Wording{std::string("The operation could not be completed: ") + why.en + ".",
                  std::string("操作未能完成：") + why.zh + "。"},
          kPrompt, Icon::Critical);
      return;
    }
  }
}

void Session::tell_port_lost() {
  if (link.loss_told()) return;
  link.set_loss_told();
  say(MessageKind::Failure, kPortLost, kPrompt, Icon::Critical);
}

void Session::trapped(const std::function<void()>& handler, const char* operation) {
  try {
    handler();
  } catch (const RuntimeFailure& failure) {
    state.busy = false;
    link.end_watch();
    report_failure(failure, operation);
  } catch (const std::exception& failure) {
    state.busy = false;
    link.end_watch();
    say(MessageKind::Failure,
        Wording{std::string("The operation could not be completed: ") + failure.what(),
                std::string("操作未能完成：") + failure.what()},
        kPrompt, Icon::Critical);
  }
}

void Session::gave_up(Words what) {
  state.busy = false;
  say(MessageKind::Failure,
      Wording{std::string("The monochromator did not answer in time: ") + what.en + ".",
              std::string("单色仪未及时应答：") + what.zh + "。"},
      kPrompt, Icon::Critical);
}

bool Session::entry_accepted(const std::string& minimum, const std::string& maximum, const std::string& value,
                             EntryType type, const std::string& field) {
  bool accepted;
  {
    auto inside = link.inside();   // a refusal shows a box
    accepted = entry_in_range(minimum, maximum, value, type, dialogs_);
  }
  if (accepted) return true;
  surface.set_focus(field);
  return false;
}

void Session::show_splash(Words caption) {
  w("FrmSplash.Label1").set_text(english() ? caption.en : caption.zh);
  w("FrmSplash").set_visible(true);
}

void Session::hide_splash() {
  if (Widget* splash = surface.find("FrmSplash")) splash->set_visible(false);
}

double Session::report_wavelength(const Bytes& packet) const {
  using protocol::byte_at;
  const double position =
      protocol::assemble32(byte_at(packet, 1), byte_at(packet, 2), byte_at(packet, 3), byte_at(packet, 4));
  return state.step * (position - state.zero_offset);
}

void Session::show_wavelength(double wavelength) {
  const std::string shown = text::format(wavelength, "0.00");
  state.wavelength = text::leading_number(shown);
  if (Widget* label = surface.find("LblWaveLen")) label->set_text(shown);
}

}  // namespace brivel
