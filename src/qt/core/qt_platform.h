#pragma once
// The Qt platform of the control: the serial port on QSerialPort, the event pump and
// Timer1 on the Qt event loop, the monotonic clock. No widgets: brivelctl uses this
// without a display; the Brivel QWidget adds dialogs and the surface.

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <memory>

#include "platform/event_pump.h"
#include "platform/serial_port.h"

class QSerialPort;
class QTimer;

namespace brivel::qt {

// The device of a port number: the environment variable BRIVEL_COM<n> when set,
// otherwise an override given with set_port_device(), otherwise the platform's
// usual name (COM<n> on Windows, /dev/ttyS<n-1> elsewhere).
QString device_for_port(int number);
// Uses `device` (any path, e.g. a /dev/serial/by-id link or a pseudo-terminal) for
// port `number` in this process.
void set_port_device(int number, const QString& device);

// The Qt event loop as an EventPump. yield() runs pending events and returns at once;
// wait_until() sleeps in the event loop (QEventLoop::WaitForMoreEvents) with a timer
// armed for the deadline, so waiting leaves the CPU idle.
class QtEventPump : public QObject, public EventPump {
  Q_OBJECT
 public:
  explicit QtEventPump(QObject* parent = nullptr);
  ~QtEventPump() override;
  double now() const override;
  void yield() override;
  void wait_until(double deadline) override;
  std::unique_ptr<Timer> make_timer() override;

 private:
  QElapsedTimer clock_;
  QTimer* wake_;
};

// QSerialPort behind the SerialPort contract: the receive event is raised from the
// event loop once bytesAvailable() reaches the threshold (decided from the byte count,
// not from counting readyRead signals); a port that reports a read or resource error
// (far end closed, adapter unplugged) is closed at once so that no error storm follows.
class QtSerialPort : public QObject, public SerialPort {
  Q_OBJECT
 public:
  explicit QtSerialPort(QObject* parent = nullptr);
  ~QtSerialPort() override;

  void set_port_number(int number) override;
  int port_number() const override;
  void set_settings(const std::string& settings) override;
  std::string settings() const override;
  void set_in_buffer_size(int bytes) override;
  void set_out_buffer_size(int bytes) override;
  void set_binary_mode(bool bytes) override;
  void set_input_len(int bytes) override;
  void clear_input() override;
  void clear_output() override;
  void open() override;
  void close() override;
  bool is_open() const override;
  void write(const Bytes& data) override;
  void set_threshold(int bytes) override;
  int threshold() const override;
  int bytes_waiting() const override;
  Bytes read_all() override;

  // The device name the port number maps to right now.
  QString device() const;

 private:
  void check_receive();
  QSerialPort* port_;
  int number_ = 1;
  std::string settings_ = "9600,N,8,1";
  int threshold_ = 0;
  bool checking_ = false;
};

}  // namespace brivel::qt
