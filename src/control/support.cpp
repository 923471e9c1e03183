// Helpers shared by the control's operations: messages in the operator's language,
// notes for the host, the trap around operator handlers, and the wait window.

#include <exception>

#include "control/control.h"
#include "platform/failure.h"

namespace brivel {

namespace {
constexpr Words kPrompt{"Prompt", "提示"};
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

bool Control::english() const { return ModuleFunction::IntLanguage() != 0; }

Answer Control::say(MessageKind kind, const Wording& text, Words title, Icon icon, Buttons buttons) {
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
  Nested inside(nesting_);   // a box runs the host's event loop
  return dialogs_.show(m);
}

void Control::note(HostNote::Kind kind, const char* operation, const Wording& text) {
  HostNote n;
  n.kind = kind;
  n.operation = operation ? operation : "";
  n.text_en = text.en;
  n.text_zh = text.zh;
  try {
    Nested inside(nesting_);
    dialogs_.note(n);
  } catch (...) {
    // A note is information for the host; a host that fails to take it loses only that.
  }
}

void Control::report_failure(const RuntimeFailure& failure, const char* operation) {
  switch (failure.reason()) {
    case FailureReason::Interrupted:
      // The motor is named only when the stop had one to stop.
      note(HostNote::Kind::Interrupted, operation,
           stop_stopped_motor_ ? Wording{"stopped on request; the motor was stopped", "已按要求停止，电机已停止"}
                               : Wording{"stopped on request", "已按要求停止"});
      return;
    case FailureReason::PortLost:
      // One note and one message for each loss, however many traps it passes.
      if (port_loss_told_) return;
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

void Control::tell_port_lost() {
  // Once for each loss, however many traps it passes on its way out.
  if (port_loss_told_) return;
  port_loss_told_ = true;
  say(MessageKind::Failure, kPortLost, kPrompt, Icon::Critical);
}

void Control::trapped(const std::function<void()>& handler, const char* operation) {
  try {
    handler();
  } catch (const RuntimeFailure& failure) {
    BlnBusy_ = kFalse;
    BlnMoveWatch_ = kFalse;
    report_failure(failure, operation);
  } catch (const std::exception& failure) {
    BlnBusy_ = kFalse;
    BlnMoveWatch_ = kFalse;
    say(MessageKind::Failure,
        Wording{std::string("The operation could not be completed: ") + failure.what(),
                std::string("操作未能完成：") + failure.what()},
        kPrompt, Icon::Critical);
  }
}

void Control::gave_up(Words what) {
  BlnBusy_ = kFalse;
  say(MessageKind::Failure,
      Wording{std::string("The monochromator did not answer in time: ") + what.en + ".",
              std::string("单色仪未及时应答：") + what.zh + "。"},
      kPrompt, Icon::Critical);
}

bool Control::entry_accepted(const std::string& minimum, const std::string& maximum,
                            const std::string& value, std::uint8_t type_code,
                            const std::string& field) {
  {
    Nested inside(nesting_);   // a refusal shows a box
    ModuleFunction::CheckRange(minimum, maximum, value, type_code, dialogs_);
  }
  if (ModuleFunction::BytRangeOK() != 0) return true;
  surface_.set_focus(field);
  return false;
}

void Control::show_splash(const std::string& caption) {
  w("FrmSplash.Label1").set_text(caption);
  w("FrmSplash").set_visible(true);
}

void Control::hide_splash() {
  if (Widget* splash = surface_.find("FrmSplash")) splash->set_visible(false);
}

}  // namespace brivel
