#pragma once
// The operator's and the host's side of the control: message and input boxes, and
// notes for the host.
//
// Every operator message goes through show(). The default shows the box of message()
// (modal: it returns only when the operator has answered; a real box runs the host's
// message loop meanwhile). A host that takes the messages over (a script, a Python
// program, unattended acquisition) overrides show() and answers questions itself;
// everything a box would need, and both wordings, come with the Message.
//
// Notes (note()) are never shown to the operator: they tell the host what the
// operator's boxes do not carry, such as why a port could not be opened, what a
// download that stopped had already written, or that a call was stopped on request.

#include <optional>
#include <string>

namespace brivel {

enum class Icon { None, Information, Critical };
enum class Buttons { Ok, OkCancel };
enum class Answer { Ok, Cancel };

// What a message says about the operation that shows it. Scripts decide on this
// (brivelctl's exit status, the Python exceptions), never on the wording.
enum class MessageKind {
  Information,  // a note; the operation goes on, or ended as asked
  Success,      // the operation ended as asked ("Parameters saved successfully.")
  Question,     // OK and Cancel: the operator decides whether the operation goes on
  Refusal,      // the operation did not start: not connected, busy, an entry out of range
  Failure,      // the operation started and did not end as asked
};

const char* to_string(MessageKind kind);

struct Message {
  MessageKind kind = MessageKind::Information;
  std::string text;   // in the language in force, exactly as the box shows it
  std::string title;
  std::string text_en, text_zh;    // both wordings
  std::string title_en, title_zh;
  Icon icon = Icon::None;
  Buttons buttons = Buttons::Ok;
};

// A note for the host.
struct HostNote {
  enum class Kind {
    Failure,      // an operation did not end as asked; what the host should know of it
    Interrupted,  // a call ended because a stop was requested from outside
    Warning,      // the operation went on as the control does, but a script may not
                  // expect it (an unknown grating code, a file field read as 0)
  };
  Kind kind = Kind::Failure;
  std::string operation;         // the member or handler, e.g. "OpenCom", "LoadParameter"
  std::string text_en, text_zh;  // what happened, in both languages
};

class Dialogs {
 public:
  virtual ~Dialogs() = default;
  // Shows text under title with the icon and buttons; gives the button pressed.
  virtual Answer message(const std::string& text, const std::string& title, Icon icon,
                         Buttons buttons) = 0;
  // Asks for one line of text; nullopt when the operator cancels.
  virtual std::optional<std::string> input(const std::string& prompt, const std::string& title,
                                           const std::string& default_text) = 0;
  // Every operator message of the control comes here. The default shows message().
  virtual Answer show(const Message& m) { return message(m.text, m.title, m.icon, m.buttons); }
  // A note for the host; the default drops it. Must not throw.
  virtual void note(const HostNote&) {}
};

}  // namespace brivel
