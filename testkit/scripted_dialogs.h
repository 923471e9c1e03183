#pragma once
// Dialogs that record every message and input box and answer from a script.
// They answer at once: no virtual time passes while a box is "open".

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "platform/dialogs.h"
#include "platform/event_pump.h"

namespace brivel::testkit {

struct Shown {
  bool input = false;          // an input box (else a message box)
  std::string text;            // message text or input prompt
  std::string title;
  Icon icon = Icon::None;
  Buttons buttons = Buttons::Ok;
  double time = 0;             // when it was shown (the pump's clock, if given)
  std::string default_text;    // an input box's default answer
  MessageKind kind = MessageKind::Information;  // message boxes shown through show()
};

class ScriptedDialogs : public Dialogs {
 public:
  ScriptedDialogs() = default;
  explicit ScriptedDialogs(const brivel::EventPump* clock) : clock_(clock) {}

  Answer message(const std::string& text, const std::string& title, Icon icon,
                 Buttons buttons) override;
  std::optional<std::string> input(const std::string& prompt, const std::string& title,
                                   const std::string& default_text) override;
  Answer show(const Message& m) override;
  void note(const HostNote& n) override { notes_.push_back(n); }

  // Answers for the next questions (OK/Cancel boxes), in order; OK when none is left.
  void answer(Answer next) { answers_.push_back(next); }
  // Answers for the next input boxes, in order; cancelled when none is left.
  void answer_input(std::optional<std::string> next) { inputs_.push_back(std::move(next)); }

  const std::vector<Shown>& shown() const { return shown_; }
  const Shown& last() const { return shown_.back(); }
  // Notes for the host, in order.
  const std::vector<HostNote>& notes() const { return notes_; }
  void clear() {
    shown_.clear();
    notes_.clear();
  }
  // Message boxes (not input boxes) whose text equals `text`.
  int count(const std::string& text) const;
  // The texts of every box shown, in order.
  std::vector<std::string> texts() const {
    std::vector<std::string> all;
    for (const Shown& s : shown_) all.push_back(s.text);
    return all;
  }

 private:
  const brivel::EventPump* clock_ = nullptr;
  std::deque<Answer> answers_;
  std::deque<std::optional<std::string>> inputs_;
  std::vector<Shown> shown_;
  std::vector<HostNote> notes_;
};

}  // namespace brivel::testkit
