#pragma once
// A Brivel QWidget on the simulated controller over a real pty (served from a thread of the test), every
// box intercepted: the tests read what the boxes say and answer from a script.

#include <gtest/gtest.h>

#include <Brivel.h>
#include <qt_dialogs.h>

#include <QtTest>
#include <QtWidgets>
#include <algorithm>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "control/control.h"
#include "pty_server.h"

// Failures show texts as text.
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

namespace brivel::qt_tests {

using brivel::qt::DialogReply;
using brivel::qt::DialogRequest;

// A quick instrument (100000 steps/s, 625 nm/s at 0.00625 nm per step); null when it cannot start.
inline std::unique_ptr<sim::PtyServer> quick_server() {
  auto server = std::make_unique<sim::PtyServer>();
  server->with_controller([](sim::Controller& c) {
    c.motor().steps_per_speed = 400.0;
    c.motor().reposition_rate = 100000.0;
  });
  std::string error;
  if (server->start_background(error)) return server;
  ADD_FAILURE() << error;
  return nullptr;
}

// What a real box showed (no interceptor): its title, text, icon and buttons' captions, sorted.
struct SeenBox {
  QString title, text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QStringList buttons;
  bool seen = false;
};

// Presses `which` on the next modal box (message or input box) and records it. The
// control asks from its own thread: the box comes when the host's event loop runs
// next (inside the call that asked, or the test's settle()).
inline void press_next_box(SeenBox& seen, QDialogButtonBox::StandardButton which) {
  seen = {};
  auto* look = new QTimer;
  auto* waited = new QElapsedTimer;
  waited->start();
  QObject::connect(look, &QTimer::timeout, [&seen, which, look, waited] {
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal) {
      if (waited->elapsed() > 10000) {
        look->deleteLater();
        delete waited;
        look->stop();
      }
      return;
    }
    look->stop();
    look->deleteLater();
    delete waited;
    seen.seen = true;
    seen.title = modal->windowTitle();
    if (auto* box = qobject_cast<QMessageBox*>(modal)) {
      seen.text = box->text();
      seen.icon = box->icon();
    }
    auto* row = modal->findChild<QDialogButtonBox*>();
    if (!row) return;
    for (QAbstractButton* b : row->buttons()) seen.buttons << b->text();
    std::sort(seen.buttons.begin(), seen.buttons.end());
    if (QAbstractButton* b = row->button(which)) b->click();
  });
  look->start(5);
}

class ControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_ = quick_server());
    qunsetenv("BRIVEL_COM1");
    ::Brivel::setPortDevice(1, QString::fromStdString(server_->device()));
    interceptor_ = std::make_unique<qt::ScopedDialogInterceptor>(
        [this](const DialogRequest& request) { return answer(request); });
    control_ = std::make_unique<::Brivel>();
    control_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(control_.get()));
  }
  QVariant prop(const char* name) { return control_->property(name); }
  // The operator's events run on the control's thread: waits until what they started
  // has ended and the widgets show it.
  void settle() { control_->waitUntilIdle(); }
  void connect_control() {
    QMetaObject::invokeMethod(control_.get(), "OpenCom");
    ASSERT_TRUE(prop("BlnMonConnectFlag").toBool()) << "OpenCom did not connect";
    shown_.clear();
  }
  template <class T = QWidget>
  T* child(const char* name) {
    T* found = qobject_cast<T*>(control_->childControl(name));
    EXPECT_NE(found, nullptr) << name;
    return found;
  }
  // The colour at the centre of the lamp picture.
  QColor lamp_colour() {
    const QImage image = child<QLabel>("Image1")->pixmap().toImage();
    return image.pixelColor(image.width() / 2, image.height() / 2);
  }
  // The simulated instrument's memory, read or changed while the server holds still.
  void with_memory(const std::function<void(sim::Memory&)>& use) {
    server_->with_controller([&](sim::Controller& c) { use(c.memory()); });
  }
  int read_memory(const std::function<int(sim::Memory&)>& read) {
    int value = 0;
    with_memory([&](sim::Memory& m) { value = read(m); });
    return value;
  }
  bool sent(const std::string& command) {
    std::vector<std::string> log;
    server_->with_controller([&](sim::Controller& c) { log = c.log(); });
    return std::find(log.begin(), log.end(), command) != log.end();
  }
  // Answers the next box with `answer` or `input` (nullopt: cancelled); others get OK or their default.
  void will_answer(Answer answer, std::optional<std::string> input = std::nullopt) {
    replies_.push_back(DialogReply{answer, std::move(input)});
  }
  // Destroyed in reverse: the control first, while the boxes are still intercepted.
  std::vector<DialogRequest> shown_;  // every box shown since the last clear, in order
  std::deque<DialogReply> replies_;
  std::unique_ptr<sim::PtyServer> server_;
  std::unique_ptr<qt::ScopedDialogInterceptor> interceptor_;
  std::unique_ptr<::Brivel> control_;

 private:
  DialogReply answer(const DialogRequest& request) {
    shown_.push_back(request);
    DialogReply reply;
    if (!replies_.empty()) {
      reply = replies_.front();
      replies_.pop_front();
    } else if (request.kind == DialogRequest::Kind::Input) {
      reply.input = request.default_text;
    }
    return reply;
  }

};

}  // namespace brivel::qt_tests
