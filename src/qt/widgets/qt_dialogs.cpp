#include "qt_dialogs.h"

#include <QAbstractButton>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QWidget>

#include "session/language.h"

namespace brivel::qt {

namespace {

DialogInterceptor& interceptor() {
  static DialogInterceptor installed;
  return installed;
}

QMessageBox::Icon qt_icon(Icon icon) {
  switch (icon) {
    case Icon::Information: return QMessageBox::Information;
    case Icon::Critical: return QMessageBox::Critical;
    case Icon::None: break;
  }
  return QMessageBox::NoIcon;
}

QString q(const std::string& text) { return QString::fromStdString(text); }

// The captions of the boxes' buttons. Set explicitly, so that a host's translator for
// a third language does not change them.
QString ok_caption(bool chinese) { return chinese ? QStringLiteral("确定") : QStringLiteral("OK"); }
QString cancel_caption(bool chinese) {
  return chinese ? QStringLiteral("取消") : QStringLiteral("Cancel");
}

}  // namespace

bool QtDialogs::chinese() { return chinese_texts(); }

QtDialogs::QtDialogs(QWidget* parent) : parent_(parent) {}

DialogInterceptor QtDialogs::set_interceptor(DialogInterceptor replacement) {
  DialogInterceptor previous = std::move(interceptor());
  interceptor() = std::move(replacement);
  return previous;
}

std::unique_ptr<QMessageBox> QtDialogs::make_message_box(QWidget* parent, const QString& text,
                                                          const QString& title, Icon icon,
                                                          Buttons buttons, bool chinese) {
  auto box = std::make_unique<QMessageBox>(parent ? parent->window() : nullptr);
  box->setWindowTitle(title);
  box->setText(text);
  box->setTextFormat(Qt::PlainText);  // the texts are the control's own, never markup
  box->setIcon(qt_icon(icon));
  if (buttons == Buttons::OkCancel) {
    box->setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
    box->setEscapeButton(QMessageBox::Cancel);
  } else {
    box->setStandardButtons(QMessageBox::Ok);
    box->setEscapeButton(QMessageBox::Ok);
  }
  box->setDefaultButton(QMessageBox::Ok);
  box->button(QMessageBox::Ok)->setText(ok_caption(chinese));
  if (QAbstractButton* cancel = box->button(QMessageBox::Cancel))
    cancel->setText(cancel_caption(chinese));
  return box;
}

Answer QtDialogs::show(const Message& m) {
  if (taker_)
    if (const std::optional<Answer> taken = taker_(m))
      return m.buttons == Buttons::Ok ? Answer::Ok : *taken;  // an OK-only box cannot be cancelled
  return message(m.text, m.title, m.icon, m.buttons);
}

void QtDialogs::note(const HostNote& n) {
  if (!sink_) return;
  try {
    sink_(n);
  } catch (...) {
    // A note is information for the host; a host that fails to take it loses only that.
  }
}

Answer QtDialogs::message(const std::string& text, const std::string& title, Icon icon,
                          Buttons buttons) {
  if (interceptor()) {
    DialogRequest request;
    request.kind = DialogRequest::Kind::Message;
    request.text = text;
    request.title = title;
    request.icon = icon;
    request.buttons = buttons;
    const Answer answer = interceptor()(request).answer;
    // An OK-only box cannot be cancelled.
    return buttons == Buttons::Ok ? Answer::Ok : answer;
  }
  auto box = make_message_box(parent_, q(text), q(title), icon, buttons, chinese());
  const int pressed = box->exec();
  return pressed == QMessageBox::Cancel ? Answer::Cancel : Answer::Ok;
}

std::optional<std::string> QtDialogs::input(const std::string& prompt, const std::string& title,
                                            const std::string& default_text) {
  if (interceptor()) {
    DialogRequest request;
    request.kind = DialogRequest::Kind::Input;
    request.text = prompt;
    request.title = title;
    request.default_text = default_text;
    return interceptor()(request).input;
  }
  QInputDialog box(parent_ ? parent_->window() : nullptr);
  box.setWindowTitle(q(title));
  box.setLabelText(q(prompt));
  box.setTextValue(q(default_text));
  box.setOkButtonText(ok_caption(chinese()));
  box.setCancelButtonText(cancel_caption(chinese()));
  if (box.exec() != QDialog::Accepted) return std::nullopt;
  return box.textValue().toStdString();
}

}  // namespace brivel::qt
