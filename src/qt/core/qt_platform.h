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

// The device of a port number 1 to 16 by the rule of port_map.h: BRIVEL_COM<n>, a
// device given with set_port_device(), the mapping file, the USB adapters in
// /dev/serial/by-id order, the platform's usual name. Empty when a broken mapping
// file leaves the number unusable, or the number is outside 1 to 16.
QString device_for_port(int number);
// Uses `device` (any path, e.g. a /dev/serial/by-id link or a pseudo-terminal) for
// port `number` in this process; an empty `device` removes the override.
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
  // Re-checks every port of this thread for a receive event that readyRead did not
  // bring (it is not raised again while its slot runs). True when one was raised.
  static bool check_ports();
  QElapsedTimer clock_;
  QTimer* wake_;
};

// QSerialPort behind the SerialPort contract: the receive event is raised from the
// event loop once bytesAvailable() reaches the threshold (decided from the byte count,
// not from counting readyRead signals); a port that reports a read or resource error
// (far end closed, adapter unplugged) is closed at once so that no error storm follows.
// Every port is re-checked by any QtEventPump of its thread in yield() and
// wait_until(), so bytes that came while a receive handler ran are not missed. Each
// write is flushed; the queues are emptied again right after opening.
// open() looks at the device first (device_check.h): a missing device, a directory,
// a file, a character device that is no terminal or one the user may not open is
// refused with its reason and nothing is opened. Every write and every packet read
// goes to the traffic log (serial_log.h).
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

  // The device name the port number maps to right now (empty: none, see
  // device_for_port).
  QString device() const;
  std::string device_name() const override;

 private:
  friend class QtEventPump;
  // Raises the receive event when at least threshold() bytes wait (and more came since
  // the last one); true when it was raised. Never re-entrant.
  bool check_receive();
  void schedule_recheck();
  void on_error(int error);  // QSerialPort::SerialPortError
  QSerialPort* port_;
  int number_ = 1;
  std::string settings_ = "9600,N,8,1";
  int threshold_ = 0;
  int in_buffer_size_ = 1024;
  int out_buffer_size_ = 512;
  bool binary_ = true;
  int input_len_ = 0;
  int last_raised_ = -1;        // bytes waiting when the event was last raised
  bool checking_ = false;       // the receive handler is running
  bool writing_ = false;        // inside write()
  bool recheck_posted_ = false;
  bool failed_ = false;         // the device reported a read/resource error
};

}  // namespace brivel::qt
