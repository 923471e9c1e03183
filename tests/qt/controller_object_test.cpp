// BrivelController on its own thread over a pty, driven through signals and operation objects.

#include <BrivelController.h>

#include "control/controller.h"
#include "control_fixture.h"
#include "qt/core/qt_platform.h"

namespace {

class ControllerObjectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_ = brivel::qt_tests::quick_server());
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

// A service's worker thread that owns the controller: its signals and its operations'
// ends come on that thread, whichever thread the control ran them on.
TEST_F(ControllerObjectTest, SignalsComeOnTheThreadThatCreatedTheController) {
  mono_.reset();
  QThread worker;
  worker.start();
  QObject on_worker;
  on_worker.moveToThread(&worker);
  const auto in_worker = [&](const std::function<void()>& call) {
    QMetaObject::invokeMethod(&on_worker, call, Qt::BlockingQueuedConnection);
  };
  BrivelController* mono = nullptr;
  QSemaphore moved;
  std::vector<QThread*> seen;   // touched on the worker thread only, read after it is joined
  in_worker([&] {
    mono = new BrivelController(QString::fromStdString(server_->device()));
    QObject::connect(mono, &BrivelController::positionReported, mono, [&] { seen.push_back(QThread::currentThread()); });
    QObject::connect(mono, &BrivelController::busyChanged, mono, [&] { seen.push_back(QThread::currentThread()); });
    BrivelOperation* open = mono->open();
    QObject::connect(open, &BrivelOperation::finished, mono, [&, mono] {
      seen.push_back(QThread::currentThread());
      BrivelOperation* move = mono->moveTo(505);
      QObject::connect(move, &BrivelOperation::finished, mono, [&] {
        seen.push_back(QThread::currentThread());
        moved.release();
      });
    });
  });
  const bool ended = moved.tryAcquire(1, 20000);
  in_worker([&] { delete mono; });
  worker.quit();
  worker.wait();
  ASSERT_TRUE(ended);
  ASSERT_GE(seen.size(), 4u);   // open's and the move's ends, busy changes, reports
  for (QThread* thread : seen) EXPECT_EQ(thread, &worker);
}

// A controller opened by path pins its device to its port number only while it opens:
// a device the host gave that number (a widget's port) is there again afterwards.
TEST_F(ControllerObjectTest, OpeningByPathLeavesTheHostsPortNumberAsItFoundIt) {
  const QString widgets = QStringLiteral("/dev/the-widgets-port");
  brivel::qt::set_port_device(1, widgets);
  BrivelOperation* open = mono_->open();
  ASSERT_TRUE(finished(open));
  EXPECT_TRUE(open->ok()) << open->text().toStdString();
  EXPECT_EQ(brivel::qt::device_for_port(1), widgets);
  brivel::qt::set_port_device(1, QString());
}

}  // namespace

namespace brivel::qt_tests {

// The widget's control without blocking: it runs from the GUI loop, the change signals follow it.
TEST_F(ControlTest, TheWidgetsControlTakesNonBlockingOperations) {
  connect_control();
  QSignalSpy moved(control_.get(), &::Brivel::DblMonoWaveLenChanged);
  brivel::Operation op = control_->controller().move_to(612.5);
  EXPECT_FALSE(op.done());
  // The GUI thread keeps its event loop running meanwhile: the widgets, and any box the
  // operation shows, are served from it.
  ASSERT_TRUE(QTest::qWaitFor([&] { return op.done(); }, 20000));
  const brivel::Result r = op.result();
  EXPECT_TRUE(r.ok()) << r.text_en;
  control_->waitUntilIdle();
  EXPECT_DOUBLE_EQ(prop("DblMonoWaveLen").toDouble(), 612.5);
  EXPECT_GE(moved.count(), 1);
  brivel::Operation refused = control_->controller().move_to(-5);  // its message needs the GUI thread too
  ASSERT_TRUE(QTest::qWaitFor([&] { return refused.done(); }, 20000));
  EXPECT_EQ(refused.result().outcome, brivel::Outcome::Refused);
}

}  // namespace brivel::qt_tests
