// The Qt platform: QSerialPort behind the serial-port contract, the Qt event loop as
// the event pump, the pump's own timers (on a timerfd) as Timer1.
//
// Qt 6.4 behaviours this file works around (each one seen on Debian 12):
//  * readyRead is not emitted again while a slot connected to it is still running
//    (QSerialPort guards the emission). The control's waits run nested inside such
//    slots, so the receive event is decided from bytesAvailable() and the threshold,
//    and every yield/wait of the pump re-checks every open port.
//  * After the far end closes or an adapter is unplugged, QSerialPort reports
//    ReadError/ResourceError again and again at full CPU. Such a port is marked failed
//    at once and closed from the event loop; the control then sees a failed exchange.
//  * Written bytes leave only when the event loop runs or the port is flushed: a write
//    goes to the device directly (or is flushed when the device's queue is full).
//  * WaitForMoreEvents blocks until some event arrives: the pump's wake-up is armed
//    for the deadline while waiting.
//  * The GLib event dispatcher sleeps in whole milliseconds, rounded up, so a QTimer
//    of 10 ms fires up to a millisecond late; a timerfd wakes the same poll() to the
//    microsecond.
//  * QSerialPort reads whatever the driver holds whenever its descriptor is readable,
//    and treats a read that finds nothing as a device error: nothing else may read
//    the descriptor while its read notifier is on. Waking it per reply instead of per
//    byte is done through VMIN; while the control waits the notifier is off and the
//    pump reads the device itself. Reading QSerialPort's buffer empty switches the
//    notifier back on (QIODevice asks readData() for more), so it is switched off again
//    at every pump call.

#include "qt_platform.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEventLoop>
#include <QSerialPort>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <QtGlobal>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <limits>
#include <map>
#include <mutex>
#include <vector>

#ifdef Q_OS_UNIX
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#endif
#ifdef Q_OS_LINUX
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#endif
#ifdef BRIVEL_HAVE_GLIB
#include <glib.h>
#endif

#include "device_check.h"
#include "platform/failure.h"
#include "port_map.h"
#include "serial_log.h"

namespace brivel::qt {

namespace {

// ---- the ports the pump re-checks -----------------------------------------------
// Ports live on the thread of their event loop; each thread keeps its own list.
thread_local std::vector<QtSerialPort*> live_ports;
// How many calls of a pump (yield, wait_until) run on this thread right now.
thread_local int pump_depth = 0;
// The pump whose wait sleeps in the event loop on this thread right now, if any.
thread_local const QtEventPump* sleeping_pump = nullptr;

struct InPump {
  InPump() { ++pump_depth; }
  ~InPump() { --pump_depth; }
};

// ---- line settings ---------------------------------------------------------------

QSerialPort::Parity qt_parity(LineSettings::Parity parity) {
  switch (parity) {
    case LineSettings::Parity::Even: return QSerialPort::EvenParity;
    case LineSettings::Parity::Odd: return QSerialPort::OddParity;
    case LineSettings::Parity::Mark: return QSerialPort::MarkParity;
    case LineSettings::Parity::Space: return QSerialPort::SpaceParity;
    case LineSettings::Parity::None: break;
  }
  return QSerialPort::NoParity;
}

QSerialPort::StopBits qt_stop_bits(LineSettings::StopBits stop) {
  switch (stop) {
    case LineSettings::StopBits::OneAndHalf: return QSerialPort::OneAndHalfStop;
    case LineSettings::StopBits::Two: return QSerialPort::TwoStop;
    case LineSettings::StopBits::One: break;
  }
  return QSerialPort::OneStop;
}

// How long a write may wait for its bytes to reach the device (ms). A few bytes at
// 9600 baud leave in a few milliseconds; a longer stall means the line is stuck, and
// the control then sees no reply rather than a hung host.
constexpr int kWriteDrainMs = 100;

constexpr double kNever = std::numeric_limits<double>::infinity();

}  // namespace

// ---- devices ------------------------------------------------------------------------

QString device_for_port(int number) {
  if (number < kFirstPort || number > kLastPort) return {};
  return current_port_map().port(number).device;
}

void set_port_device(int number, const QString& device) { set_program_port_device(number, device); }

// ---- the event pump -----------------------------------------------------------------

// A timer of the pump: it ticks from fire_due_timers(), which runs whenever the pump's
// wake-up fires (inside a wait or in the host's own event loop) and in every yield.
class QtEventPump::PumpTimer : public Timer {
 public:
  explicit PumpTimer(QtEventPump* pump) : pump_(pump) { pump_->timers_.push_back(this); }
  ~PumpTimer() override {
    if (pump_) {
      auto& timers = pump_->timers_;
      timers.erase(std::remove(timers.begin(), timers.end(), this), timers.end());
    }
  }
  void set_interval(int milliseconds) override {
    interval_ = std::max(0, milliseconds);
    if (enabled_) start();  // a new interval restarts a running timer, as QTimer does
  }
  int interval() const override { return interval_; }
  void set_enabled(bool enabled) override {
    enabled_ = enabled;
    if (enabled) start();
  }
  bool enabled() const override { return enabled_; }

 private:
  friend class QtEventPump;
  void start() {
    due_ = (pump_ ? pump_->now() : 0.0) + interval_ / 1000.0;
    if (pump_) pump_->timer_started(due_);
  }
  // Ticks if due at `now`; the next tick is one interval later (or one interval from
  // now when the event loop was held up for longer than that).
  bool fire_if_due(double now) {
    if (!enabled_ || due_ > now) return false;
    due_ += interval_ / 1000.0;
    if (due_ <= now) due_ = now + interval_ / 1000.0;
    tick();
    return true;
  }

  QtEventPump* pump_;  // null once the pump is gone
  int interval_ = 0;   // ms
  bool enabled_ = false;
  double due_ = 0.0;   // pump seconds
};

QtEventPump::QtEventPump(QObject* parent)
    : QObject(parent), origin_(std::chrono::steady_clock::now()), armed_(kNever) {
  // A thread Qt did not start (a host's std::thread, a ControlThread) has no event
  // dispatcher until an event loop is made on it; without one nothing would be watched.
  if (!QAbstractEventDispatcher::instance(thread())) {
    QEventLoop make_dispatcher;
  }
  if (QAbstractEventDispatcher* loop = QAbstractEventDispatcher::instance(thread())) {
    connect(loop, &QAbstractEventDispatcher::aboutToBlock, this, [] { host_loop_runs(); });
    connect(loop, &QAbstractEventDispatcher::awake, this, [] { host_loop_runs(); });
#ifdef Q_OS_LINUX
    // Qt's own loop (QT_NO_GLIB) was seen to leave tasks posted from another thread
    // queued: its passes woke for them but did not run them, and idle() slept on. A
    // post also makes this descriptor readable, which ends the pass, and the pump
    // runs what is posted itself after each pass (run_posted()).
    if (!loop->inherits("QEventDispatcherGlib")) {
      post_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
      if (post_fd_ >= 0) {
        post_notifier_ = new QSocketNotifier(post_fd_, QSocketNotifier::Read, this);
        connect(post_notifier_, &QSocketNotifier::activated, this, [this] {
          eventfd_t count = 0;
          ::eventfd_read(post_fd_, &count);
        });
      }
    }
#endif
  }
#ifdef Q_OS_LINUX
  // steady_clock is CLOCK_MONOTONIC, so pump times convert to the timerfd's clock.
  wake_fd_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (wake_fd_ >= 0 && watch_wake_in_glib()) return;
  if (wake_fd_ >= 0) {
    auto* notifier = new QSocketNotifier(wake_fd_, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] { woken(); });
    wake_notifier_ = notifier;
    return;
  }
#endif
  wake_timer_ = new QTimer(this);
  wake_timer_->setSingleShot(true);
  wake_timer_->setTimerType(Qt::PreciseTimer);
  connect(wake_timer_, &QTimer::timeout, this, [this] { woken(); });
}

#ifdef BRIVEL_HAVE_GLIB
// The wake-up as a source of the thread's GLib main context, which Qt's GLib event
// loop polls: when the timerfd turns readable its dispatch calls the pump directly. A
// QSocketNotifier would do the same through an event sent to the notifier and a
// signal, at every one of the control's wake-ups (three in every pass of a move).
struct QtEventPump::WakeSource {
  GSource source;  // first: GLib allocates and frees the whole struct
  QtEventPump* pump;
  static gboolean dispatch(GSource* source, GSourceFunc, gpointer) {
    reinterpret_cast<WakeSource*>(source)->pump->woken();
    return G_SOURCE_CONTINUE;
  }
  // No prepare and no check: a source with a descriptor is ready when its poll says so.
  static GSourceFuncs funcs;
};
GSourceFuncs QtEventPump::WakeSource::funcs = {nullptr, nullptr, &dispatch, nullptr, nullptr, nullptr};
#endif

bool QtEventPump::watch_wake_in_glib() {
#ifdef BRIVEL_HAVE_GLIB
  // Only on the thread whose loop is Qt's GLib one (not with QT_NO_GLIB set, nor a
  // dispatcher of the host's own): that loop polls the thread's default context.
  QAbstractEventDispatcher* loop = QAbstractEventDispatcher::instance(thread());
  if (!loop || !loop->inherits("QEventDispatcherGlib") || QThread::currentThread() != thread())
    return false;
  wake_context_ = g_main_context_ref_thread_default();
  wake_source_ = g_source_new(&WakeSource::funcs, sizeof(WakeSource));
  reinterpret_cast<WakeSource*>(wake_source_)->pump = this;
  g_source_add_unix_fd(wake_source_, wake_fd_, G_IO_IN);
  // A timer's tick may run a nested wait, which must be woken by this same source.
  g_source_set_can_recurse(wake_source_, TRUE);
  g_source_attach(wake_source_, wake_context_);
  return true;
#else
  return false;
#endif
}

QtEventPump::~QtEventPump() {
  if (sleeping_pump == this) sleeping_pump = nullptr;  // gone from inside its own wait
  for (PumpTimer* timer : timers_) timer->pump_ = nullptr;
  delete wake_notifier_;
  delete post_notifier_;
  if (post_fd_ >= 0) ::close(post_fd_);
#ifdef BRIVEL_HAVE_GLIB
  if (wake_source_) {
    g_source_destroy(wake_source_);
    g_source_unref(wake_source_);
    g_main_context_unref(wake_context_);
  }
#endif
#ifdef Q_OS_UNIX
  if (wake_fd_ >= 0) ::close(wake_fd_);
#endif
}

double QtEventPump::now() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - origin_).count();
}

bool QtEventPump::check_ports() {
  // By index, without a copy: a receive handler may create or destroy ports, and the
  // next pass sees a port this one missed.
  bool raised = false;
  for (std::size_t i = 0; i < live_ports.size(); ++i) raised = live_ports[i]->check_receive() || raised;
  return raised;
}

void QtEventPump::fire_due_timers() {
  const double t = now();
  bool any = false;
  for (const PumpTimer* timer : timers_) any = any || (timer->enabled_ && timer->due_ <= t);
  if (!any) return;
  // A tick handler may create, destroy, enable or disable timers.
  const std::vector<PumpTimer*> due = timers_;
  for (PumpTimer* timer : due)
    if (std::find(timers_.begin(), timers_.end(), timer) != timers_.end()) timer->fire_if_due(t);
}

double QtEventPump::next_timer_due() const {
  double next = kNever;
  for (const PumpTimer* timer : timers_)
    if (timer->enabled_) next = std::min(next, timer->due_);
  return next;
}

void QtEventPump::arm(double at) {
  if (at == armed_) return;  // the common case inside a wait: nothing to tell the kernel
  armed_ = at;
#ifdef Q_OS_LINUX
  if (wake_fd_ >= 0) {
    itimerspec expiry{};
    if (at != kNever) {
      const auto when = origin_ + std::chrono::duration_cast<std::chrono::nanoseconds>(
                                      std::chrono::duration<double>(std::max(0.0, at)));
      const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(when.time_since_epoch()).count();
      expiry.it_value.tv_sec = static_cast<time_t>(ns / 1000000000);
      expiry.it_value.tv_nsec = static_cast<long>(ns % 1000000000);
      if (expiry.it_value.tv_sec == 0 && expiry.it_value.tv_nsec == 0) expiry.it_value.tv_nsec = 1;
    }
    ::timerfd_settime(wake_fd_, TFD_TIMER_ABSTIME, &expiry, nullptr);
    return;
  }
#endif
  if (at == kNever) {
    wake_timer_->stop();
  } else {
    const double ms = std::ceil((at - now()) * 1000.0);
    wake_timer_->start(static_cast<int>(std::clamp(ms, 0.0, 86400000.0)));
  }
}

void QtEventPump::timer_started(double due) {
  // Only ever earlier: a later wake-up that is armed serves a wait in progress.
  if (due < armed_) arm(due);
}

void QtEventPump::woken() {
#ifdef Q_OS_LINUX
  if (wake_fd_ >= 0) {
    std::uint64_t expirations = 0;
    // Nothing to read when it was re-armed after the poll saw it: not expired then.
    if (::read(wake_fd_, &expirations, sizeof expirations) == sizeof expirations) armed_ = kNever;
  } else
#endif
  {
    armed_ = kNever;
  }
  fire_due_timers();
  // Timers go on ticking from the host's own event loop; a wait re-arms for itself. A
  // wait whose pass ran a nested one is to return now (a yield may have taken that).
  if (armed_ == kNever) arm(return_from_ > 0 && waits_ <= return_from_ ? now() : next_timer_due());
}

// While the control runs an operation, the event loop does not watch the ports'
// devices: every wait of the control looks at what came only when its tick is over, so
// a reply arriving mid-tick would wake the thread once for its bytes (and the kernel
// once per byte as they trickle in at 9600 baud) with nothing for the wait to do yet.
// Instead each pump call takes what came (take_arrived) after its pass of the event
// loop, which raises the receive event from inside the yield or wait, as before; the
// tick's last wait does so as the tick ends. The devices are watched again as soon as
// the host's own event loop runs (outside every pump call), so that bytes arriving
// while the control is idle are read as they come.
void QtEventPump::yield() {
  const InPump in;
  watch_ports(false);
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  take_arrived();
  fire_due_timers();
  check_ports();
}

void QtEventPump::wait_until(double deadline) {
  const InPump in;
  watch_ports(false);
  // Bytes that came in while a readyRead slot was running raise no new signal: look
  // first, and do not sleep past an event that is already due. (Bytes at an unwatched
  // device are taken when the wait ends: no wait of the control looks before.)
  if (check_ports()) return;
  fire_due_timers();
  if (deadline <= now()) {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    take_arrived();
    check_ports();
    return;
  }
  // One wake-up for the earlier of the deadline and the next timer. A nested wait
  // re-arms it for itself; the outer wait returns after the nested one anyway (events
  // ran) and re-arms on its next call.
  arm(std::min(deadline, next_timer_due()));
  {
    // Restored however the pass ends. A wait that ran inside another wait's pass (a
    // posted operation that waits) leaves the outer wait's wake-up armed for now: Qt's
    // own loop (QT_NO_GLIB) runs posted events before it polls, and the outer wait
    // would otherwise sleep on with nothing armed.
    struct Sleeping {
      QtEventPump* pump;
      const QtEventPump* outer = sleeping_pump;
      explicit Sleeping(QtEventPump* p) : pump(p) {
        sleeping_pump = p;
        ++p->waits_;
      }
      ~Sleeping() {
        sleeping_pump = outer;
        // This wait and every one inside it have returned; the ones around it are to.
        pump->return_from_ = --pump->waits_;
        if (pump->waits_ > 0) pump->arm(pump->now());
      }
    } sleeping(this);
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  }
  run_posted();
  fire_due_timers();
  take_arrived();
  check_ports();
}

void QtEventPump::post(std::function<void()> task) {
  QMetaObject::invokeMethod(this, std::move(task), Qt::QueuedConnection);
#ifdef Q_OS_LINUX
  if (post_fd_ >= 0) ::eventfd_write(post_fd_, 1);
#endif
}

void QtEventPump::idle() {
  QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  run_posted();
}

void QtEventPump::run_posted() {
  if (post_fd_ >= 0) QCoreApplication::sendPostedEvents();
}

void QtEventPump::watch_ports(bool watched) {
  for (std::size_t i = 0; i < live_ports.size(); ++i) live_ports[i]->watch_device(watched);
}

bool QtEventPump::take_arrived() {
  bool raised = false;
  for (std::size_t i = 0; i < live_ports.size(); ++i) raised = live_ports[i]->take_arrived() || raised;
  return raised;
}

bool QtEventPump::inside() { return pump_depth > 0; }

double QtEventPump::sleep_ahead() {
  // The wake-up is armed in the kernel: whichever event loop sleeps on this thread (a
  // message box's, nested in the wait) wakes by then.
  if (!sleeping_pump) return kNever;
  return std::max(0.0, sleeping_pump->armed_ - sleeping_pump->now());
}

void QtEventPump::host_loop_runs() {
  // The host's event loop runs outside every pump call: it watches the devices again.
  if (pump_depth == 0) watch_ports(true);
}

std::unique_ptr<Timer> QtEventPump::make_timer() { return std::make_unique<PumpTimer>(this); }

// ---- the serial port ------------------------------------------------------------------

QtSerialPort::QtSerialPort(QObject* parent) : QObject(parent), port_(new QSerialPort(this)) {
  connect(port_, &QSerialPort::readyRead, this, [this] { check_receive(); });
  connect(port_, &QSerialPort::errorOccurred, this,
          [this](QSerialPort::SerialPortError error) { on_error(static_cast<int>(error)); });
  live_ports.push_back(this);
}

QtSerialPort::~QtSerialPort() {
  live_ports.erase(std::remove(live_ports.begin(), live_ports.end(), this), live_ports.end());
  if (port_->isOpen()) port_->close();
}

void QtSerialPort::set_port_number(int number) { number_ = number; }
int QtSerialPort::port_number() const { return number_; }

void QtSerialPort::set_line(const LineSettings& line) {
  // Refused as the setting is made, not at the next open.
  if (line.baud <= 0 || line.data_bits < 5 || line.data_bits > 8)
    throw RuntimeFailure(FailureReason::InvalidArgument, "line settings " + line.text());
  line_ = line;
}
LineSettings QtSerialPort::line() const { return line_; }

void QtSerialPort::clear_input() {
  if (port_->isOpen()) {
    port_->clear(QSerialPort::Input);
    port_->readAll();  // and what Qt has already taken from the driver
  }
  taken_.clear();
  last_raised_ = -1;
  tune_wake_minimum();
}

void QtSerialPort::clear_output() {
  if (port_->isOpen()) port_->clear(QSerialPort::Output);
}

QString QtSerialPort::device() const { return device_for_port(number_); }

std::string QtSerialPort::device_name() const {
  const QString name = device();
  return name.isEmpty() ? "port " + std::to_string(number_) : name.toStdString();
}

void QtSerialPort::open() {
  if (port_->isOpen()) port_->close();
  const std::string number = "port " + std::to_string(number_);
  if (number_ < kFirstPort || number_ > kLastPort)
    throw RuntimeFailure(FailureReason::PortFailure,
                         "cannot open " + number + ": port numbers run from 1 to 16");
  const PortAssignment assigned = current_port_map().port(number_);
  if (assigned.device.isEmpty())
    throw RuntimeFailure(FailureReason::PortFailure,
                         "cannot open " + number + ": " + assigned.problem.toStdString());
  const QString name = assigned.device;
  const std::string which = "cannot open " + name.toStdString() + " (" + number + "): ";
  // Nothing is opened that cannot be a serial port.
  const QString problem = device_problem(name);
  if (!problem.isEmpty()) throw RuntimeFailure(FailureReason::PortFailure, which + problem.toStdString());
  port_->setPortName(name);
  port_->setBaudRate(line_.baud);
  port_->setParity(qt_parity(line_.parity));
  port_->setDataBits(static_cast<QSerialPort::DataBits>(line_.data_bits));
  port_->setStopBits(qt_stop_bits(line_.stop_bits));
  port_->setFlowControl(QSerialPort::NoFlowControl);
  // The lock file first: a live holder's (whatever format it wrote) is respected, a
  // stale one replaced, before QSerialPort judges it by rules of its own.
  const LockFile lock = check_lock_file(name);
  if (lock.state == LockFile::State::Held) {
    const QString holder = (lock.pid == QCoreApplication::applicationPid() ? QStringLiteral("already open in this program")
                                                                           : QStringLiteral("in use by another program")) +
                           holder_of(lock.pid, lock.application, lock.path);
    throw RuntimeFailure(FailureReason::PortFailure, which + holder.toStdString());
  }
  if (lock.state == LockFile::State::Stuck) throw RuntimeFailure(FailureReason::PortFailure, which + lock.note.toStdString());
  if (lock.state == LockFile::State::Replaced) open_note_ = lock.note.toStdString();
  failed_ = false;
  if (!port_->open(QIODevice::ReadWrite)) {
    const QString why = open_failure(name, static_cast<int>(port_->error()), port_->errorString());
    port_->clearError();
    throw RuntimeFailure(FailureReason::PortFailure, which + why.toStdString());
  }
  // Bytes the device held from before (a reply nobody read) are not emptied on open.
  port_->clear(QSerialPort::AllDirections);
  port_->readAll();
  taken_.clear();
  last_raised_ = -1;
  wake_minimum_ = -1;  // QSerialPort opened it with VMIN 0
  tune_wake_minimum();
}

void QtSerialPort::close() {
  failed_ = false;
  last_raised_ = -1;
  wake_minimum_ = -1;
  taken_.clear();
  unwatched_ = nullptr;
  if (port_->isOpen()) port_->close();  // closing empties Qt's queues
}

bool QtSerialPort::is_open() const { return port_->isOpen() && !failed_; }

void QtSerialPort::write(const Bytes& data) {
  if (!is_open()) throw RuntimeFailure(FailureReason::PortFailure, "the port is not open");
  // No receive event may be raised from inside write(): waitForBytesWritten can emit
  // readyRead. The pump re-checks afterwards.
  writing_ = true;
  struct Done {
    bool& flag;
    ~Done() { flag = false; }
  } done{writing_};
  log_serial_traffic('>', data);
  send_bytes(data);
  if (failed_ || !port_->isOpen())
    throw RuntimeFailure(FailureReason::PortFailure, "the write failed");
}

void QtSerialPort::send_bytes(const Bytes& data) {
  const char* bytes = reinterpret_cast<const char*>(data.data());
  qint64 left = static_cast<qint64>(data.size());
#ifdef Q_OS_UNIX
  // Straight to the device while nothing waits in QSerialPort's queue (order is kept).
  // A command is a few bytes and the device's queue holds far more: this is one
  // system call, with no write notifier to register and no drain wait.
  if (port_->bytesToWrite() == 0) {
    while (left > 0) {
      const ssize_t n = ::write(static_cast<int>(port_->handle()), bytes, static_cast<size_t>(left));
      if (n > 0) {
        bytes += n;
        left -= n;
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        on_error(static_cast<int>(QSerialPort::WriteError));  // the device is gone
        return;
      } else {
        break;  // the device's queue is full: the rest goes through QSerialPort
      }
    }
    if (left == 0) return;
  }
  // The device's queue is full: QSerialPort queues the rest and writes it whenever the
  // device can take more (its write notifier), after the bytes queued before. Only
  // a bounded wait for it here; flush() would write at once and take the full queue
  // for a device error.
  const qint64 written = port_->write(bytes, left);
  if (written != left)
    throw RuntimeFailure(FailureReason::PortFailure, port_->errorString().toStdString());
  port_->waitForBytesWritten(kWriteDrainMs);
#else
  const qint64 written = port_->write(bytes, left);
  if (written != left)
    throw RuntimeFailure(FailureReason::PortFailure, port_->errorString().toStdString());
  port_->flush();
  if (port_->bytesToWrite() > 0) port_->waitForBytesWritten(kWriteDrainMs);
#endif
}

void QtSerialPort::watch_device(bool watched) {
  if (watched) {
    if (!unwatched_) return;
    unwatched_->setEnabled(true);
    unwatched_ = nullptr;
    tune_wake_minimum();
    return;
  }
  if (!is_open()) return;
  if (unwatched_) {
    // QSerialPort switches it on again whenever its buffer is read empty.
    if (unwatched_->isEnabled()) unwatched_->setEnabled(false);
    return;
  }
  // QSerialPort's own read notifier, a child of the port. Should a Qt version keep it
  // elsewhere, nothing is switched off and the device is watched as before.
  for (QSocketNotifier* notifier : port_->findChildren<QSocketNotifier*>(Qt::FindDirectChildrenOnly)) {
    if (notifier->type() == QSocketNotifier::Read && notifier->isEnabled()) {
      notifier->setEnabled(false);
      unwatched_ = notifier;
      tune_wake_minimum();
      return;
    }
  }
}

bool QtSerialPort::take_arrived() {
  if (!unwatched_ || !is_open()) return false;
#ifdef Q_OS_UNIX
  // The device is readable once VMIN bytes wait (or it hung up). With QSerialPort's
  // notifier off nobody else reads it, so the bytes are read here, after whatever
  // QSerialPort still holds (moved over first, so that the order stays).
  const int fd = static_cast<int>(port_->handle());
  pollfd device{fd, POLLIN, 0};
  if (::poll(&device, 1, 0) <= 0 || device.revents == 0) return false;
  if (!(device.revents & POLLIN)) {
    // Hung up (the far end closed, the adapter is gone): as QSerialPort would report it.
    on_error(static_cast<int>(QSerialPort::ResourceError));
    return false;
  }
  if (port_->bytesAvailable() > 0) taken_ += port_->read(port_->bytesAvailable());
  char chunk[4096];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n > 0) {
      taken_.append(chunk, static_cast<int>(n));
      if (n < static_cast<ssize_t>(sizeof chunk)) break;
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
        on_error(static_cast<int>(QSerialPort::ResourceError));
      break;
    }
  }
  return check_receive();
#else
  return false;
#endif
}

qint64 QtSerialPort::buffered() const { return taken_.size() + port_->bytesAvailable(); }

void QtSerialPort::set_threshold(int bytes) {
  threshold_ = bytes;
  tune_wake_minimum();
}
int QtSerialPort::threshold() const { return threshold_; }

int QtSerialPort::kernel_waiting() const {
#ifdef Q_OS_UNIX
  int count = 0;
  if (wake_minimum_ != 0 && ::ioctl(static_cast<int>(port_->handle()), FIONREAD, &count) == 0)
    return std::max(0, count);
#endif
  return 0;
}

void QtSerialPort::set_wake_minimum(int bytes) const {
#ifdef Q_OS_UNIX
  if (bytes == wake_minimum_ || wake_minimum_ == 0 || !port_->isOpen()) return;
  const int fd = static_cast<int>(port_->handle());
  termios tio{};
  if (::tcgetattr(fd, &tio) != 0) {
    wake_minimum_ = 0;  // not a terminal: every byte wakes, as QSerialPort does
    return;
  }
  tio.c_cc[VMIN] = static_cast<cc_t>(bytes);
  tio.c_cc[VTIME] = 0;  // with a time, poll() would report every byte again
  wake_minimum_ = ::tcsetattr(fd, TCSANOW, &tio) == 0 ? bytes : 0;
#else
  Q_UNUSED(bytes);
#endif
}

void QtSerialPort::tune_wake_minimum() const {
  // The descriptor turns readable once VMIN bytes wait in the driver; QSerialPort then
  // reads them all. With VMIN at the bytes still missing to the threshold, the event
  // loop wakes once the receive event is due, and not before. A threshold of 0 raises
  // no events: bytes are taken as they come. While unwatched, the pump reads whatever
  // came at the end of each wait, so VMIN stays at 1 (and the thresholds of an
  // operation's commands cost no terminal settings).
  if (unwatched_) {
    set_wake_minimum(1);
    return;
  }
  const qint64 held = buffered();
  if (threshold_ > 0 && held >= threshold_) return;  // the event is due; its read retunes
  const qint64 missing = threshold_ > 0 ? threshold_ - held : 1;
  set_wake_minimum(static_cast<int>(std::clamp<qint64>(missing, 1, 255)));
}

int QtSerialPort::bytes_waiting() const {
  if (!is_open()) return 0;
  const qint64 read_in = buffered();
  // A receive event is due: what the driver holds beyond it is not part of it.
  if (threshold_ > 0 && read_in >= threshold_) return static_cast<int>(std::min<qint64>(read_in, 1 << 30));
  const int held = kernel_waiting();
  // Bytes below VMIN wake nobody. The one who asks for them (the acknowledgement wait
  // looking for a tail left below the threshold) lets them through: they are read at
  // the next pass of the event loop, and VMIN rises again after the next read.
  if (held > 0 && held < wake_minimum_) set_wake_minimum(1);
  return static_cast<int>(std::min<qint64>(read_in + held, 1 << 30));
}

Bytes QtSerialPort::read_all() {
  last_raised_ = -1;
  if (!is_open()) return {};
  // What was read directly is older than what QSerialPort holds (see take_arrived()).
  QByteArray got;
  got.swap(taken_);
  if (port_->bytesAvailable() > 0) got += port_->readAll();
  tune_wake_minimum();
  Bytes packet(got.begin(), got.end());
  log_serial_traffic('<', packet);
  return packet;
}

bool QtSerialPort::check_receive() {
  if (!is_open() || threshold_ <= 0) return false;
  // What has been read in: bytes still in the driver are below VMIN (or about to be
  // read, which brings this check again).
  const int waiting = static_cast<int>(std::min<qint64>(buffered(), 1 << 30));
  if (waiting > 0) tune_wake_minimum();  // VMIN counts only what is still missing
  // Raised once per new arrival: a handler that leaves the bytes waiting is not called
  // again until more come, so a wait cannot spin on the same bytes.
  if (waiting < threshold_ || waiting == last_raised_) return false;
  if (checking_ || writing_) {
    // Re-entrant: the running handler or write finishes first; look again from the
    // event loop, so that a host idling in its main loop still sees the bytes.
    schedule_recheck();
    return false;
  }
  checking_ = true;
  last_raised_ = waiting;
  struct Done {
    bool& flag;
    ~Done() { flag = false; }
  } done{checking_};
  raise_event(kComEvReceive);
  return true;
}

void QtSerialPort::schedule_recheck() {
  if (recheck_posted_) return;
  recheck_posted_ = true;
  QTimer::singleShot(0, this, [this] {
    recheck_posted_ = false;
    check_receive();
  });
}

void QtSerialPort::on_error(int error) {
  switch (static_cast<QSerialPort::SerialPortError>(error)) {
    case QSerialPort::ReadError:
    case QSerialPort::ResourceError:
    case QSerialPort::WriteError:
      break;
    default:
      return;
  }
  if (failed_ || !port_->isOpen()) return;
  // The far end is gone. Mark the port failed now (writes throw, no events) and close
  // it from the event loop, outside QSerialPort's own notifier code.
  failed_ = true;
  QTimer::singleShot(0, this, [this] {
    if (failed_ && port_->isOpen()) {
      port_->clearError();
      port_->close();
      // Closed by itself: the control hears of it even while nothing of it runs.
      raise_event(kComEvLost);
    }
  });
}

}  // namespace brivel::qt
