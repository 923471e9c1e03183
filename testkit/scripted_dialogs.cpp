#include "testkit/scripted_dialogs.h"

#include <algorithm>

namespace brivel::testkit {

Answer ScriptedDialogs::message(const std::string& text, const std::string& title, Icon icon,
                                Buttons buttons) {
  shown_.push_back(Shown{false, text, title, icon, buttons, clock_ ? clock_->now() : 0.0, {}});
  // Only a question takes a scripted answer; a box with one button can only say OK.
  if (buttons != Buttons::OkCancel || answers_.empty()) return Answer::Ok;
  const Answer next = answers_.front();
  answers_.pop_front();
  return next;
}

Answer ScriptedDialogs::show(const Message& m) {
  const Answer answer = message(m.text, m.title, m.icon, m.buttons);
  shown_.back().kind = m.kind;
  return answer;
}

std::optional<std::string> ScriptedDialogs::input(const std::string& prompt, const std::string& title,
                                                  const std::string& default_text) {
  shown_.push_back(
      Shown{true, prompt, title, Icon::None, Buttons::OkCancel, clock_ ? clock_->now() : 0.0, default_text});
  if (inputs_.empty()) return std::nullopt;
  std::optional<std::string> next = std::move(inputs_.front());
  inputs_.pop_front();
  return next;
}

int ScriptedDialogs::count(const std::string& text) const {
  return static_cast<int>(std::count_if(shown_.begin(), shown_.end(), [&](const Shown& s) {
    return !s.input && s.text == text;
  }));
}

}  // namespace brivel::testkit
