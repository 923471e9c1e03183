// The Qt platform: QSerialPort behind the serial-port contract, the Qt event loop as
// the event pump, QTimer as Timer1.
//
// Qt 6.4 behaviours this file works around (each one seen on Debian 12):
//  * readyRead is not emitted again while a slot connected to it is still running
//    (QSerialPort guards the emission). The control's waits run nested inside such
//    slots, so the receive event is decided from bytesAvailable() and the threshold,
//    and every yield/wait of the pump re-checks every open port.
//  * After the far end closes or an adapter is unplugged, QSerialPort reports
//    ReadError/ResourceError again and again at full CPU. Such a port is marked failed
//    at once and closed from the event loop; the control then sees a failed exchange.
//  * Written bytes leave only when the event loop runs or the port is flushed: every
//    write is flushed.
//  * WaitForMoreEvents blocks until some event arrives: a timer is armed for the
//    deadline while waiting.

#include "qt_platform.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QSerialPort>
#include <QTimer>
#include <QtGlobal>
#include <algorithm>
#include <cmath>
#include <vector>

#include "device_check.h"
#include "platform/failure.h"
#include "port_map.h"
#include "serial_log.h"

namespace brivel::qt {

namespace {

// ---- the ports the pump re-checks -----------------------------------------------
// Ports live on the thread of their event loop; each thread keeps its own list.
thread_local std::vector<QtSerialPort*> live_ports;

// ---- line settings ---------------------------------------------------------------

struct LineSettings {
  qint32 baud = 9600;
  QSerialPort::Parity parity = QSerialPort::NoParity;
  QSerialPort::DataBits data = QSerialPort::Data8;
  QSerialPort::StopBits stop = QSerialPort::OneStop;
};

struct ParityName {
  char letter;
  QSerialPort::Parity parity;
};
constexpr ParityName kParities[] = {
    {'N', QSerialPort::NoParity},   {'E', QSerialPort::EvenParity},
    {'O', QSerialPort::OddParity},  {'M', QSerialPort::MarkParity},
    {'S', QSerialPort::SpaceParity},
};

struct StopName {
  const char* text;
  QSerialPort::StopBits stop;
};
constexpr StopName kStops[] = {
    {"1", QSerialPort::OneStop}, {"1.5", QSerialPort::OneAndHalfStop}, {"2", QSerialPort::TwoStop}};

[[noreturn]] void bad_settings(const std::string& settings) {
  throw RuntimeFailure(FailureReason::InvalidArgument, "line settings \"" + settings + "\"");
}

// "9600,N,8,1": baud, parity letter, data bits (5 to 8), stop bits (1, 1.5 or 2).
LineSettings parse_settings(const std::string& settings) {
  const QStringList parts = QString::fromStdString(settings).split(',');
  if (parts.size() != 4) bad_settings(settings);
  LineSettings line;
  bool ok = false;
  line.baud = parts[0].trimmed().toInt(&ok);
  if (!ok || line.baud <= 0) bad_settings(settings);

  const QString parity = parts[1].trimmed().toUpper();
  if (parity.size() != 1) bad_settings(settings);
  const auto p = std::find_if(std::begin(kParities), std::end(kParities),
                              [&](const ParityName& n) { return parity[0] == QLatin1Char(n.letter); });
  if (p == std::end(kParities)) bad_settings(settings);
  line.parity = p->parity;

  const int data = parts[2].trimmed().toInt(&ok);
  if (!ok || data < 5 || data > 8) bad_settings(settings);
  line.data = static_cast<QSerialPort::DataBits>(data);

  const QString stop = parts[3].trimmed();
  const auto s = std::find_if(std::begin(kStops), std::end(kStops),
                              [&](const StopName& n) { return stop == QLatin1String(n.text); });
  if (s == std::end(kStops)) bad_settings(settings);
  line.stop = s->stop;
  return line;
}

// How long a write may wait for its bytes to reach the device (ms). A few bytes at
// 9600 baud leave in a few milliseconds; a longer stall means the line is stuck, and
// the control then sees no reply rather than a hung host.
constexpr int kWriteDrainMs = 100;

// ---- Timer1 on a QTimer ------------------------------------------------------------

class QtTimer : public Timer {
 public:
  QtTimer() {
    timer_.setTimerType(Qt::PreciseTimer);  // ticks of 10 ms must not drift by 5 %
    QObject::connect(&timer_, &QTimer::timeout, [this] { tick(); });
  }
  void set_interval(int milliseconds) override { timer_.setInterval(std::max(0, milliseconds)); }
  int interval() const override { return timer_.interval(); }
  void set_enabled(bool enabled) override {
    if (enabled)
      timer_.start();
    else
      timer_.stop();
  }
  bool enabled() const override { return timer_.isActive(); }

 private:
  QTimer timer_;
};

}  // namespace

// ---- devices ------------------------------------------------------------------------

QString device_for_port(int number) {
  if (number < kFirstPort || number > kLastPort) return {};
  return current_port_map().port(number).device;
}

void set_port_device(int number, const QString& device) { set_program_port_device(number, device); }

// ---- the event pump -----------------------------------------------------------------

QtEventPump::QtEventPump(QObject* parent) : QObject(parent), wake_(new QTimer(this)) {
  clock_.start();
  wake_->setSingleShot(true);
  wake_->setTimerType(Qt::PreciseTimer);
}

QtEventPump::~QtEventPump() = default;

double QtEventPump::now() const { return static_cast<double>(clock_.nsecsElapsed()) / 1e9; }

bool QtEventPump::check_ports() {
  // A copy: a receive handler may create or destroy ports.
  const std::vector<QtSerialPort*> ports = live_ports;
  bool raised = false;
  for (QtSerialPort* port : ports) {
    if (std::find(live_ports.begin(), live_ports.end(), port) == live_ports.end()) continue;
    raised = port->check_receive() || raised;
  }
  return raised;
}

void QtEventPump::yield() {
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  check_ports();
}

void QtEventPump::wait_until(double deadline) {
  // Bytes that came in while a readyRead slot was running raise no new signal: look
  // first, and do not sleep past an event that is already due.
  if (check_ports()) return;
  const double remaining = deadline - now();
  if (remaining <= 0) {
    yield();
    return;
  }
  // A nested wait re-arms the same timer for its own deadline; the outer wait returns
  // after the nested one anyway (events ran) and re-arms on its next call.
  wake_->start(static_cast<int>(std::ceil(remaining * 1000.0)));
  QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  wake_->stop();
  check_ports();
}

std::unique_ptr<Timer> QtEventPump::make_timer() { return std::make_unique<QtTimer>(); }

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

void QtSerialPort::set_settings(const std::string& settings) {
  parse_settings(settings);  // refuses what cannot be applied, as the setting is made
  settings_ = settings;
}
std::string QtSerialPort::settings() const { return settings_; }

// The driver's queues are the kernel's; Qt's own read buffer is left unlimited so that a
// full buffer never stops reading (which would starve the receive event).
void QtSerialPort::set_in_buffer_size(int bytes) { in_buffer_size_ = bytes; }
void QtSerialPort::set_out_buffer_size(int bytes) { out_buffer_size_ = bytes; }
void QtSerialPort::set_binary_mode(bool bytes) { binary_ = bytes; }
void QtSerialPort::set_input_len(int bytes) { input_len_ = std::max(0, bytes); }

void QtSerialPort::clear_input() {
  if (port_->isOpen()) {
    port_->clear(QSerialPort::Input);
    port_->readAll();  // and what Qt has already taken from the driver
  }
  last_raised_ = -1;
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
  const LineSettings line = parse_settings(settings_);
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
  port_->setBaudRate(line.baud);
  port_->setParity(line.parity);
  port_->setDataBits(line.data);
  port_->setStopBits(line.stop);
  port_->setFlowControl(QSerialPort::NoFlowControl);
  failed_ = false;
  if (!port_->open(QIODevice::ReadWrite)) {
    const QString why = open_failure(name, static_cast<int>(port_->error()), port_->errorString());
    port_->clearError();
    throw RuntimeFailure(FailureReason::PortFailure, which + why.toStdString());
  }
  // Bytes the device held from before (a reply nobody read) are not emptied on open.
  port_->clear(QSerialPort::AllDirections);
  port_->readAll();
  last_raised_ = -1;
}

void QtSerialPort::close() {
  failed_ = false;
  last_raised_ = -1;
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
  const qint64 written =
      port_->write(reinterpret_cast<const char*>(data.data()), static_cast<qint64>(data.size()));
  if (written != static_cast<qint64>(data.size()))
    throw RuntimeFailure(FailureReason::PortFailure, port_->errorString().toStdString());
  port_->flush();
  if (port_->bytesToWrite() > 0) port_->waitForBytesWritten(kWriteDrainMs);
  if (failed_ || !port_->isOpen())
    throw RuntimeFailure(FailureReason::PortFailure, "the write failed");
}

void QtSerialPort::set_threshold(int bytes) { threshold_ = bytes; }
int QtSerialPort::threshold() const { return threshold_; }

int QtSerialPort::bytes_waiting() const {
  if (!is_open()) return 0;
  return static_cast<int>(std::min<qint64>(port_->bytesAvailable(), 1 << 30));
}

Bytes QtSerialPort::read_all() {
  last_raised_ = -1;
  if (!is_open()) return {};
  const QByteArray got = input_len_ > 0 ? port_->read(input_len_) : port_->readAll();
  Bytes packet(got.begin(), got.end());
  log_serial_traffic('<', packet);
  return packet;
}

bool QtSerialPort::check_receive() {
  if (!is_open() || threshold_ <= 0) return false;
  const int waiting = bytes_waiting();
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
    }
  });
}

}  // namespace brivel::qt
