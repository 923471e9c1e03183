#include "console_dialogs.h"

#include "session/language.h"

namespace brivel::ctl {

namespace {
// A box may break its text into lines; the console keeps one line per box.
std::string one_line(const std::string& text) {
  std::string line;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' || c == '\n') {
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      line += ' ';
    } else {
      line += c;
    }
  }
  return line;
}
}  // namespace

ConsoleDialogs::ConsoleDialogs(std::ostream& out, bool yes, std::deque<std::string> answers)
    : out_(out), yes_(yes), answers_(std::move(answers)) {}

void ConsoleDialogs::print(const std::string& title, const std::string& text) {
  if (before_line_) before_line_();
  out_ << '[' << one_line(title) << "] " << one_line(text) << std::endl;
}

Answer ConsoleDialogs::show(const Message& m) {
  if (m.kind == MessageKind::Refusal || m.kind == MessageKind::Failure) ++refusals_;
  return message(m.text, m.title, m.icon, m.buttons);
}

void ConsoleDialogs::note(const HostNote& n) {
  // An operation that failed without a box (a download that stopped) counts as one
  // that failed with a message.
  if (n.kind == HostNote::Kind::Failure) ++refusals_;
  // In the language of the messages; a note without a Chinese text keeps its English.
  const bool chinese = chinese_texts() && !n.text_zh.empty();
  if (before_line_) before_line_();
  out_ << "brivelctl: " << (n.operation.empty() ? std::string() : n.operation + ": ")
       << one_line(chinese ? n.text_zh : n.text_en) << std::endl;
}

int ConsoleDialogs::take_refusals() {
  const int seen = refusals_;
  refusals_ = 0;
  return seen;
}

Answer ConsoleDialogs::message(const std::string& text, const std::string& title, Icon,
                               Buttons buttons) {
  print(title, text);
  if (buttons == Buttons::OkCancel) return yes_ ? Answer::Ok : Answer::Cancel;
  return Answer::Ok;
}

std::optional<std::string> ConsoleDialogs::input(const std::string& prompt,
                                                 const std::string& title,
                                                 const std::string&) {
  print(title, prompt);
  if (answers_.empty()) return std::nullopt;
  std::string answer = answers_.front();
  answers_.pop_front();
  return answer;
}

}  // namespace brivel::ctl
