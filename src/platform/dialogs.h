#pragma once
// Message and input boxes. Both are modal: they return only when the operator
// has answered (a real box runs the host's message loop meanwhile).

#include <optional>
#include <string>

namespace brivel {

enum class Icon { None, Information, Critical };
enum class Buttons { Ok, OkCancel };
enum class Answer { Ok, Cancel };

class Dialogs {
 public:
  virtual ~Dialogs() = default;
  // Shows text under title with the icon and buttons; gives the button pressed.
  virtual Answer message(const std::string& text, const std::string& title, Icon icon,
                         Buttons buttons) = 0;
  // Asks for one line of text; nullopt when the operator cancels.
  virtual std::optional<std::string> input(const std::string& prompt, const std::string& title,
                                           const std::string& default_text) = 0;
};

}  // namespace brivel
