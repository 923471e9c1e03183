// BrivelController: the control on its own thread, in real time over a pseudo-terminal,
// driven from the test's thread through signals and operation objects.

#include <gtest/gtest.h>

#include <BrivelController.h>

#include <QSignalSpy>
#include <QtTest>
#include <memory>
#include <string>

#include "pty_server.h"

namespace {

class ControllerObjectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = std::make_unique<brivel::sim::PtyServer>();
    // A quick instrument: 100000 steps/s at the fastest speed.
    server_->with_controller([](brivel::sim::Controller& c) {
      c.motor().steps_per_speed = 400.0;
      c.motor().reposition_rate = 100000.0;
    });
    std::string error;
    ASSERT_TRUE(server_->start_background(error)) << error;
    mono_ = std::make_unique<BrivelController>(QString::fromStdString(server_->device()));
  }

  // Waits for the operation's finished signal, running this thread's event loop.
  static bool finished(BrivelOperation* op, int ms = 20000) {
    if (op->isDone()) {
      QCoreApplication::processEvents();
      return true;
    }
    QSignalSpy spy(op, &BrivelOperation::finished);
    return spy.wait(ms);
  }

  std::unique_ptr<brivel::sim::PtyServer> server_;
  std::unique_ptr<BrivelController> mono_;
};

TEST_F(ControllerObjectTest, OpensMovesAndReportsWithSignals) {
  QSignalSpy connected(mono_.get(), &BrivelController::connectedChanged);
  BrivelOperation* open = mono_->open();
  ASSERT_TRUE(finished(open));
  ASSERT_TRUE(open->ok()) << open->text().toStdString();
  EXPECT_TRUE(mono_->connected());
  EXPECT_TRUE(connected.count() >= 1 || connected.wait(2000));

  QSignalSpy positions(mono_.get(), &BrivelController::positionReported);
  BrivelOperation* move = mono_->moveTo(612.5);
  EXPECT_FALSE(move->isDone());   // returned at once
  ASSERT_TRUE(finished(move));
  EXPECT_TRUE(move->ok()) << move->text().toStdString();
  EXPECT_DOUBLE_EQ(move->wavelength(), 612.5);
  QCoreApplication::processEvents();
  ASSERT_GE(positions.count(), 1);
  EXPECT_DOUBLE_EQ(positions.last().at(0).toDouble(), 612.5);
}

TEST_F(ControllerObjectTest, ARefusalAndACancelEndTheirOperations) {
  ASSERT_TRUE(finished(mono_->open()));
  BrivelOperation* refused = mono_->moveTo(-5);
  ASSERT_TRUE(finished(refused));
  EXPECT_EQ(refused->outcome(), "refused");
  EXPECT_EQ(refused->text(), "Can't move to the assigned wavelength:-5");

  ASSERT_TRUE(finished(mono_->setSpeed(1)));
  BrivelOperation* move = mono_->moveTo(900);
  QSignalSpy positions(mono_.get(), &BrivelController::positionReported);
  ASSERT_TRUE(positions.wait(5000));
  move->cancel();
  ASSERT_TRUE(finished(move));
  EXPECT_EQ(move->outcome(), "stopped");
  EXPECT_LT(move->wavelength(), 900);
  EXPECT_FALSE(mono_->busy());
}

}  // namespace
