#pragma once
// The control's message and input boxes on QMessageBox and QInputDialog.
//
// Every box is modal and runs its own event loop until the operator answers; its
// buttons speak the language in force ("OK" / "Cancel", or "确定" / "取消" when the
// language is 0, the rule of the messages themselves).
//
// Two ways past the boxes:
//  * The widget's message taker sees every operator message first (show()) and may
//    take it over for the host (hostMessages); then no box is shown. Host notes go
//    to the widget's note sink (lastError and failed()).
//  * A test installs an interceptor: it sees what a box would show (text, title,
//    icon, buttons, default text) and answers in the operator's place, so that
//    nobody has to click and nothing blocks without a display. In-tree only.

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
  // Offers the message to the taker; shows the box (message()) when it declines.
  Answer show(const Message& m) override;
  // Passes the note to the sink; drops it when there is none. Never throws.
  void note(const HostNote& n) override;

  // Sees every operator message before its box; gives the answer when it took the
  // message over, nullopt to let the box show.
  using MessageTaker = std::function<std::optional<Answer>(const Message&)>;
  void set_message_taker(MessageTaker taker) { taker_ = std::move(taker); }
  using NoteSink = std::function<void(const HostNote&)>;
  void set_note_sink(NoteSink sink) { sink_ = std::move(sink); }

  // Whether boxes speak Chinese now: the language in force is exactly 0.
  static bool chinese();

  // Installs `interceptor` for every box of this process (an empty function restores
  // the real boxes) and gives back the one it replaces. GUI thread only.
  static DialogInterceptor set_interceptor(DialogInterceptor interceptor);

  // The message box that message() shows, configured but not shown: title, text,
  // icon, buttons (OK, or OK and Cancel with Cancel on Esc), the buttons' captions in
  // Chinese or English. For previews and for hosts that show a message later.
  static std::unique_ptr<QMessageBox> make_message_box(QWidget* parent, const QString& text,
                                                        const QString& title, Icon icon,
                                                        Buttons buttons, bool chinese);

 private:
  QPointer<QWidget> parent_;
  MessageTaker taker_;
  NoteSink sink_;
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
