#pragma once
// The Qt platform of the control: the serial port on QSerialPort, the event pump and
// Timer1 on the Qt event loop, the monotonic clock. No widgets: brivelctl uses this
// without a display; the Brivel QWidget adds dialogs and the surface.

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/event_pump.h"
#include "platform/serial_port.h"

class QSerialPort;
class QSocketNotifier;
class QTimer;
struct _GSource;       // GLib's, for the pump's wake-up source
struct _GMainContext;

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
// wait_until() sleeps in the event loop (QEventLoop::WaitForMoreEvents) until an event
// arrives or the deadline passes, so waiting leaves the CPU idle.
//
// The pump keeps its own timers (make_timer()) and one wake-up for the event loop: a
// timerfd on Linux (nanosecond deadlines, re-armed with one system call, never
// re-registered with the event loop), watched by a source of its own in Qt's GLib
// loop (a QSocketNotifier in any other loop), a precise QTimer elsewhere. A wait
// sleeps once until the earlier of its deadline and the next timer due, and a tick of
// Timer1 costs one wake-up instead of a QTimer start and stop plus a second timer for
// the wait. Timers also tick from the host's own event loop.
//
// While a yield or wait runs, the ports' devices are not watched by the event loop:
// bytes that arrive do not end a wait's sleep; each yield and wait reads them after
// its pass of the event loop and raises the receive event there (see QtSerialPort).
class QtEventPump : public QObject, public EventPump {
  Q_OBJECT
 public:
  explicit QtEventPump(QObject* parent = nullptr);
  ~QtEventPump() override;
  double now() const override;
  void yield() override;
  void wait_until(double deadline) override;
  std::unique_ptr<Timer> make_timer() override;
  // A queued call on this object: it runs in the pump's thread's event loop.
  void post(std::function<void()> task) override;
  // One pass of the event loop as the host's own loop makes it: the devices watched,
  // asleep until an event arrives.
  void idle() override;
  // True while a pump of this thread runs a yield or a wait (the control is inside an
  // operation and lets the event loop run), false in the host's own event loop.
  static bool inside();
  // Seconds until the wait in progress on this thread wakes it again by itself (its
  // deadline or the next timer due); infinity outside such a wait. Read while the
  // event loop is about to sleep in it (aboutToBlock).
  static double sleep_ahead();

 private:
  class PumpTimer;
  // Re-checks every port of this thread for a receive event that readyRead did not
  // bring (it is not raised again while its slot runs). True when one was raised.
  static bool check_ports();
  // Whether the event loop watches the ports' devices (see yield()).
  static void watch_ports(bool watched);
  // Takes what arrived at unwatched devices; true when a receive event was raised.
  static bool take_arrived();
  // The host's event loop passes (aboutToBlock, awake): outside every pump call it
  // watches the devices again.
  static void host_loop_runs();
  // Runs the tick of every enabled timer whose time has come.
  void fire_due_timers();
  double next_timer_due() const;
  // The event loop wakes at `at` (pump seconds; infinity: no wake-up).
  void arm(double at);
  // A timer was enabled: make sure the event loop wakes for it.
  void timer_started(double due);
  void woken();  // the wake-up fired
  // Runs the tasks posted to this thread, where its loop is not GLib's (see post_fd_).
  void run_posted();
  // Watches the timerfd with a source of the thread's GLib context; false (nothing
  // done) where the thread's event loop is not Qt's GLib one.
  bool watch_wake_in_glib();

  std::chrono::steady_clock::time_point origin_;
  std::vector<PumpTimer*> timers_;
  double armed_;             // when the wake-up fires; infinity when disarmed
  int waits_ = 0;            // waits of this pump asleep in the event loop (nested too)
  int return_from_ = 0;      // the waits up to this depth ran a nested one: they return now
  int post_fd_ = -1;         // an eventfd that ends a pass of Qt's own loop at a post
  QSocketNotifier* post_notifier_ = nullptr;
  int wake_fd_ = -1;         // the timerfd, or -1 (then wake_timer_ serves)
  // The timerfd is watched by a source of Qt's GLib loop where there is one, else by a
  // QSocketNotifier.
  QObject* wake_notifier_ = nullptr;
  QTimer* wake_timer_ = nullptr;
  _GSource* wake_source_ = nullptr;
  _GMainContext* wake_context_ = nullptr;
  struct WakeSource;
};

// QSerialPort behind the SerialPort contract: the receive event is raised from the
// event loop once bytesAvailable() reaches the threshold (decided from the byte count,
// not from counting readyRead signals); a port that reports a read or resource error
// (far end closed, adapter unplugged) is closed at once so that no error storm follows.
// Every port is re-checked by any QtEventPump of its thread in yield() and
// wait_until(), so bytes that came while a receive handler ran are not missed. The
// queues are emptied again right after opening.
//
// What it costs the host's thread, on a terminal device (POSIX):
//  * While a pump of the thread runs (the control is inside an operation), the event
//    loop does not watch the device: each pump call reads what came after its pass of
//    the event loop (take_arrived()) and raises the receive event there, so a reply
//    costs no wake-up of its own; the tick's wait takes it as the tick ends, which is
//    when every wait of the control first looks. Once the host's own event loop runs,
//    QSerialPort watches the device again. Bytes read directly are kept ahead of what
//    QSerialPort reads later, so the order stays.
//  * When watched, the line discipline's VMIN is kept at the bytes still missing to the
//    threshold, so the device turns readable once per reply rather than once per byte.
//    bytes_waiting() still counts what waits below it, and lets it through when asked,
//    so that a tail below the threshold is never stranded.
//  * Writes go straight to the device, without QSerialPort's write notifier and drain
//    wait, unless the device's queue is full.
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
  void set_line(const LineSettings& line) override;
  LineSettings line() const override;
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
  std::string take_open_note() override { return std::exchange(open_note_, {}); }

 private:
  friend class QtEventPump;
  // Raises the receive event when at least threshold() bytes wait (and more came since
  // the last one); true when it was raised. Never re-entrant.
  bool check_receive();
  void schedule_recheck();
  void on_error(int error);  // QSerialPort::SerialPortError
  // Writes `data` to the device; bytes the device does not take at once go through
  // QSerialPort's queue and are drained for a bounded time.
  void send_bytes(const Bytes& data);
  // Whether the event loop watches the device for bytes (QSerialPort's read notifier).
  void watch_device(bool watched);
  // While unwatched: reads what the device holds and raises the receive event when
  // the threshold is reached; true when it was raised.
  bool take_arrived();
  qint64 buffered() const;  // bytes read in and not yet taken by read_all()
  // Sets the device's VMIN to `bytes` (1 to 255) unless it holds that already.
  void set_wake_minimum(int bytes) const;
  // VMIN for the current threshold and what QSerialPort holds already.
  void tune_wake_minimum() const;
  int kernel_waiting() const;   // bytes the driver holds that QSerialPort has not read
  QSerialPort* port_;
  int number_ = 1;
  LineSettings line_;
  std::string open_note_;   // what the last open() did on the way (take_open_note)
  int threshold_ = 0;
  int last_raised_ = -1;        // bytes waiting when the event was last raised
  bool checking_ = false;       // the receive handler is running
  bool writing_ = false;        // inside write()
  bool recheck_posted_ = false;
  bool failed_ = false;         // the device reported a read/resource error
  mutable int wake_minimum_ = -1;  // the device's VMIN as last set; -1 unknown, 0 unusable
  QPointer<QSocketNotifier> unwatched_;  // the read notifier switched off by watch_device()
  QByteArray taken_;                     // read while unwatched; older than QSerialPort's buffer
};

}  // namespace brivel::qt
