#include "BrivelController.h"

#include <QEventLoop>
#include <QMetaObject>
#include <QPointer>
#include <mutex>

#include "control/controller.h"
#include "qt/core/device_port.h"
#include "qt/core/qt_platform.h"

// ---- BrivelOperation ---------------------------------------------------------------------

namespace {

// Runs `call` on the thread `relay` lives on, from any thread. A relay deleted before
// then takes the call with it.
template <class Call>
void on_thread_of(const std::shared_ptr<QObject>& relay, Call call) {
  QMetaObject::invokeMethod(relay.get(), std::move(call), Qt::QueuedConnection);
}

}  // namespace

BrivelOperation::BrivelOperation(const brivel::Operation& op, const std::shared_ptr<QObject>& relay,
                                 QObject* parent)
    : QObject(parent), op_(std::make_unique<brivel::Operation>(op)) {
  // The end is announced on this object's thread (the controller's).
  QPointer<BrivelOperation> self(this);
  op_->on_done([self, relay](const brivel::Result& r) {
    const bool ok = r.ok();
    on_thread_of(relay, [self, ok] {
      if (self) emit self->finished(ok);
    });
  });
}

BrivelOperation::~BrivelOperation() = default;

QString BrivelOperation::name() const { return QString::fromStdString(op_->name()); }
bool BrivelOperation::isDone() const { return op_->done(); }
bool BrivelOperation::ok() const { return op_->result().ok(); }
QString BrivelOperation::outcome() const { return QString::fromUtf8(brivel::to_string(op_->result().outcome)); }
QString BrivelOperation::text() const { return QString::fromStdString(op_->result().text_en); }
QString BrivelOperation::textZh() const { return QString::fromStdString(op_->result().text_zh); }
double BrivelOperation::wavelength() const { return op_->result().wavelength; }
void BrivelOperation::cancel() { op_->cancel(); }

bool BrivelOperation::wait(int milliseconds) const {
  if (milliseconds < 0) {
    op_->wait();
    return true;
  }
  return op_->wait_for(milliseconds / 1000.0).has_value();
}

// ---- BrivelController -----------------------------------------------------------------------

struct BrivelController::Impl {
  // Lives on this object's thread: what the control's thread tells goes out through it.
  // The observers and operations hold it, so it outlives every call on its way; the
  // last holder has it deleted on its own thread.
  std::shared_ptr<QObject> relay{new QObject, [](QObject* relay) { relay->deleteLater(); }};
  std::unique_ptr<brivel::ControlThread> thread;
  brivel::State announced;   // what the signals last said (this object's thread)
};

BrivelController::BrivelController(const QString& device, int port, QObject* parent)
    : QObject(parent), d_(std::make_unique<Impl>()) {
  brivel::ControlThread::Options o;
  o.port_number = port;
  o.make_pump = [] { return std::make_unique<brivel::qt::QtEventPump>(); };
  const std::string path = device.toStdString();
  o.make_port = [path] { return std::make_unique<brivel::qt::DevicePort>(path); };
  d_->thread = std::make_unique<brivel::ControlThread>(std::move(o));

  // Observers run on the control's thread; the signals go out on this object's.
  QPointer<BrivelController> self(this);
  const auto later = [self, relay = d_->relay](auto call) {
    on_thread_of(relay, [self, call] {
      if (self) call(*self);
    });
  };
  brivel::Observer o2;
  o2.position = [later](double nm) {
    later([nm](BrivelController& c) {
      emit c.positionReported(nm);
      emit c.wavelengthChanged(nm);
    });
  };
  o2.state = [later](const brivel::State& s) {
    later([s](BrivelController& c) {
      const brivel::State before = c.d_->announced;
      c.d_->announced = s;
      if (s.connected != before.connected) emit c.connectedChanged(s.connected);
      if (s.busy != before.busy) emit c.busyChanged(s.busy);
      emit c.stateChanged();
    });
  };
  o2.message = [later](const brivel::Message& m) {
    const QString text = QString::fromStdString(m.text_en);
    const QString kind = QString::fromUtf8(brivel::to_string(m.kind));
    later([text, kind](BrivelController& c) { emit c.messageShown(text, kind); });
  };
  o2.note = [later](const brivel::HostNote& n) {
    const QString text = QString::fromStdString(n.text_en);
    const QString kind = n.kind == brivel::HostNote::Kind::Warning       ? QStringLiteral("warning")
                         : n.kind == brivel::HostNote::Kind::Interrupted ? QStringLiteral("interrupted")
                                                                          : QStringLiteral("failure");
    later([text, kind](BrivelController& c) { emit c.noted(kind, text); });
  };
  d_->announced = core().state();
  core().subscribe(std::move(o2));
}

BrivelController::~BrivelController() = default;

brivel::Controller& BrivelController::core() { return d_->thread->controller(); }

BrivelOperation* BrivelController::wrap(const brivel::Operation& op) {
  return new BrivelOperation(op, d_->relay, this);
}

BrivelOperation* BrivelController::open() { return wrap(core().open()); }
BrivelOperation* BrivelController::close() { return wrap(core().close()); }
BrivelOperation* BrivelController::moveTo(double nm) { return wrap(core().move_to(nm)); }
BrivelOperation* BrivelController::moveBy(double nm) { return wrap(core().move_by(nm)); }
BrivelOperation* BrivelController::jog(int direction, double seconds) { return wrap(core().jog(direction, seconds)); }
BrivelOperation* BrivelController::stop() { return wrap(core().stop()); }
BrivelOperation* BrivelController::reposition() { return wrap(core().reposition()); }
BrivelOperation* BrivelController::refresh() { return wrap(core().refresh()); }
BrivelOperation* BrivelController::setSpeed(int speed) { return wrap(core().set_speed(speed)); }
BrivelOperation* BrivelController::setPowerOnWavelength(double nm) { return wrap(core().set_power_on(nm)); }
BrivelOperation* BrivelController::setFilterWheel(bool on) { return wrap(core().set_filter_wheel(on)); }
BrivelOperation* BrivelController::setFilters(const QList<double>& starts) {
  return wrap(core().set_filters(std::vector<double>(starts.begin(), starts.end())));
}
BrivelOperation* BrivelController::saveParameters(const QString& path) {
  return wrap(core().save_parameters(path.toStdString()));
}
BrivelOperation* BrivelController::loadParameters(const QString& path) {
  return wrap(core().load_parameters(path.toStdString()));
}

bool BrivelController::connected() const { return d_->thread->controller().state().connected; }
bool BrivelController::busy() const { return d_->thread->controller().state().busy; }
double BrivelController::wavelength() const { return d_->thread->controller().state().wavelength; }
int BrivelController::speed() const { return d_->thread->controller().state().speed; }
QString BrivelController::lastMessage() const {
  return QString::fromStdString(d_->thread->controller().state().last_message_en);
}
QString BrivelController::device() const {
  return QString::fromStdString(d_->thread->controller().state().device);
}
