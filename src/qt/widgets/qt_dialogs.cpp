#include "qt_dialogs.h"

#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QWidget>

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

}  // namespace

QtDialogs::QtDialogs(QWidget* parent) : parent_(parent) {}

DialogInterceptor QtDialogs::set_interceptor(DialogInterceptor replacement) {
  DialogInterceptor previous = std::move(interceptor());
  interceptor() = std::move(replacement);
  return previous;
}

std::unique_ptr<QMessageBox> QtDialogs::make_message_box(QWidget* parent, const QString& text,
                                                          const QString& title, Icon icon,
                                                          Buttons buttons) {
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
  return box;
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
  auto box = make_message_box(parent_, q(text), q(title), icon, buttons);
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
  bool ok = false;
  const QString answer =
      QInputDialog::getText(parent_ ? parent_->window() : nullptr, q(title), q(prompt),
                            QLineEdit::Normal, q(default_text), &ok);
  if (!ok) return std::nullopt;
  return answer.toStdString();
}

}  // namespace brivel::qt
