// Helpers shared by the control's operations: messages in the operator's language,
// the trap around operator handlers, and the wait window.

#include <exception>

#include "control/brivel.h"
#include "platform/failure.h"

namespace brivel {

namespace {
constexpr Words kPrompt{"Prompt", "提示"};

Words reason_words(FailureReason reason) {
  switch (reason) {
    case FailureReason::Overflow: return {"a value is out of range", "数值超出范围"};
    case FailureReason::DivisionByZero:
      return {"the wavelength per step is not known", "未知每步波长"};
    case FailureReason::NotANumber: return {"an entry is not a number", "输入不是数字"};
    case FailureReason::PortFailure: return {"the serial port failed", "串口故障"};
    case FailureReason::InvalidArgument: return {"invalid data", "数据无效"};
  }
  return {"unknown failure", "未知错误"};
}
}  // namespace

bool Brivel::english() const { return ModuleFunction::IntLanguage() != 0; }

Answer Brivel::say(Words text, Words title, Icon icon, Buttons buttons) {
  return say(std::string(english() ? text.en : text.zh), std::string(english() ? title.en : title.zh),
             icon, buttons);
}

Answer Brivel::say(const std::string& text, const std::string& title, Icon icon, Buttons buttons) {
  return dialogs_.message(text, title, icon, buttons);
}

void Brivel::trapped(const std::function<void()>& handler) {
  try {
    handler();
  } catch (const RuntimeFailure& failure) {
    BlnBusy_ = kFalse;
    BlnMoveWatch_ = kFalse;
    const Words why = reason_words(failure.reason());
    say(english() ? std::string("The operation could not be completed: ") + why.en + "."
                  : std::string("操作未能完成：") + why.zh + "。",
        english() ? kPrompt.en : kPrompt.zh, Icon::Critical);
  } catch (const std::exception& failure) {
    BlnBusy_ = kFalse;
    BlnMoveWatch_ = kFalse;
    say(english() ? std::string("The operation could not be completed: ") + failure.what()
                  : std::string("操作未能完成：") + failure.what(),
        english() ? kPrompt.en : kPrompt.zh, Icon::Critical);
  }
}

void Brivel::gave_up(Words what) {
  BlnBusy_ = kFalse;
  say(english() ? std::string("The monochromator did not answer in time: ") + what.en + "."
                : std::string("单色仪未及时应答：") + what.zh + "。",
      english() ? kPrompt.en : kPrompt.zh, Icon::Critical);
}

bool Brivel::entry_accepted(const std::string& minimum, const std::string& maximum,
                            const std::string& value, std::uint8_t type_code,
                            const std::string& field) {
  ModuleFunction::CheckRange(minimum, maximum, value, type_code, dialogs_);
  if (ModuleFunction::BytRangeOK() != 0) return true;
  surface_.set_focus(field);
  return false;
}

void Brivel::show_splash(const std::string& caption) {
  w("FrmSplash.Label1").set_text(caption);
  w("FrmSplash").set_visible(true);
}

void Brivel::hide_splash() {
  if (Widget* splash = surface_.find("FrmSplash")) splash->set_visible(false);
}

}  // namespace brivel
