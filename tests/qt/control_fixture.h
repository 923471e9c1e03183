#pragma once
// A Brivel QWidget talking to the simulated controller through a real pseudo-terminal
// (served from a thread of the test), with every message and input box intercepted:
// the tests read what the boxes say and answer from a script.

#include <gtest/gtest.h>

#include <Brivel.h>
#include <qt_dialogs.h>

#include <QColor>
#include <QLabel>
#include <QTest>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "control/brivel.h"
#include "pty_server.h"

namespace brivel::qt_tests {

using brivel::qt::DialogReply;
using brivel::qt::DialogRequest;

class ControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = std::make_unique<sim::PtyServer>();
    // A quick instrument: 100000 steps/s (625 nm/s at 0.00625 nm per step), so that
    // moves and repositioning take well under a second or two.
    server_->with_controller([](sim::Controller& c) {
      c.motor().steps_per_speed = 400.0;
      c.motor().reposition_rate = 100000.0;
    });
    std::string error;
    ASSERT_TRUE(server_->start_background(error)) << error;
    qunsetenv("BRIVEL_COM1");
    ::Brivel::setPortDevice(1, QString::fromStdString(server_->device()));

    interceptor_ = std::make_unique<qt::ScopedDialogInterceptor>(
        [this](const DialogRequest& request) { return answer(request); });
    control_ = std::make_unique<::Brivel>();
    control_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(control_.get()));
  }

  void TearDown() override {
    control_.reset();
    interceptor_.reset();
    server_.reset();
    ::Brivel::setPortDevice(1, QString());
  }

  // Connects through the interface and expects it to work.
  void connect_control() {
    QMetaObject::invokeMethod(control_.get(), "OpenCom");
    ASSERT_TRUE(control_->property("BlnMonConnectFlag").toBool()) << "OpenCom did not connect";
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
    const QPixmap picture = child<QLabel>("Image1")->pixmap();
    const QImage image = picture.toImage();
    return image.pixelColor(image.width() / 2, image.height() / 2);
  }

  // The simulated instrument's memory, read or changed while the server holds still.
  void with_memory(const std::function<void(sim::Memory&)>& use) {
    server_->with_controller([&](sim::Controller& c) { use(c.memory()); });
  }
  std::vector<std::string> commands() {
    std::vector<std::string> log;
    server_->with_controller([&](sim::Controller& c) { log = c.log(); });
    return log;
  }

  // Answers the next box (message: Ok/Cancel; input: text or nullopt) with `reply`.
  void will_answer(DialogReply reply) { replies_.push_back(std::move(reply)); }
  void will_answer(Answer answer) { replies_.push_back(DialogReply{answer, std::nullopt}); }

  // Every box shown since the last clear, in order.
  std::vector<DialogRequest> shown_;
  std::unique_ptr<sim::PtyServer> server_;
  std::unique_ptr<::Brivel> control_;

 private:
  DialogReply answer(const DialogRequest& request) {
    shown_.push_back(request);
    if (replies_.empty()) {
      DialogReply reply;
      if (request.kind == DialogRequest::Kind::Input) reply.input = request.default_text;
      return reply;
    }
    DialogReply reply = replies_.front();
    replies_.pop_front();
    return reply;
  }

  std::unique_ptr<qt::ScopedDialogInterceptor> interceptor_;
  std::deque<DialogReply> replies_;
};

// A shown caption in the model's words: the Chinese captions' half-em blanks are shown
// as en spaces (U+2002).
inline QString as_model(QString caption) { return caption.replace(QChar(0x2002), QLatin1Char(' ')); }

}  // namespace brivel::qt_tests
