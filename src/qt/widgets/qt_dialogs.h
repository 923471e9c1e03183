#pragma once
// The control's message and input boxes on QMessageBox and QInputDialog.
//
// Every box is modal and runs its own event loop until the operator answers. A test
// or a scripted tour installs an interceptor instead: it sees what the box would
// show (text, title, icon, buttons, default text) and answers in the operator's
// place, so that nobody has to click and nothing blocks without a display.

#include <QPointer>
#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/dialogs.h"

class QMessageBox;
class QWidget;

namespace brivel::qt {

// What a box asks the operator.
struct DialogRequest {
  enum class Kind { Message, Input };
  Kind kind = Kind::Message;
  std::string text;          // the message, or the input box's prompt (UTF-8)
  std::string title;
  Icon icon = Icon::None;    // message boxes
  Buttons buttons = Buttons::Ok;
  std::string default_text;  // input boxes
};

// The answer an interceptor gives: `answer` for a message box; `input` for an input
// box (nullopt: the operator cancelled).
struct DialogReply {
  Answer answer = Answer::Ok;
  std::optional<std::string> input;
};

using DialogInterceptor = std::function<DialogReply(const DialogRequest&)>;

class QtDialogs : public Dialogs {
 public:
  // Boxes are centred on `parent`'s window (or the screen if it is gone).
  explicit QtDialogs(QWidget* parent);

  Answer message(const std::string& text, const std::string& title, Icon icon,
                 Buttons buttons) override;
  std::optional<std::string> input(const std::string& prompt, const std::string& title,
                                   const std::string& default_text) override;

  // Installs `interceptor` for every box of this process (an empty function restores
  // the real boxes) and gives back the one it replaces. GUI thread only.
  static DialogInterceptor set_interceptor(DialogInterceptor interceptor);

  // The message box that message() shows, configured but not shown: title, text,
  // icon, buttons (OK, or OK and Cancel with Cancel on Esc). For previews and pictures.
  static std::unique_ptr<QMessageBox> make_message_box(QWidget* parent, const QString& text,
                                                        const QString& title, Icon icon,
                                                        Buttons buttons);

 private:
  QPointer<QWidget> parent_;
};

// Installs an interceptor for the lifetime of the object and restores the previous
// one afterwards.
class ScopedDialogInterceptor {
 public:
  explicit ScopedDialogInterceptor(DialogInterceptor interceptor)
      : previous_(QtDialogs::set_interceptor(std::move(interceptor))) {}
  ~ScopedDialogInterceptor() { QtDialogs::set_interceptor(std::move(previous_)); }
  ScopedDialogInterceptor(const ScopedDialogInterceptor&) = delete;
  ScopedDialogInterceptor& operator=(const ScopedDialogInterceptor&) = delete;

 private:
  DialogInterceptor previous_;
};

}  // namespace brivel::qt
