#pragma once
// Why a device cannot be the instrument's serial port, in words an operator can act
// on. The checks look at the device without opening it: opening some character
// devices has effects of its own, and a directory or a file must not be "opened" as
// a port at all.

#include <QString>

namespace brivel::qt {

// Why `device` cannot be opened as a serial port, found without opening it; empty when
// it may be one. The reasons: "no such device", "is a directory, not a serial
// device", "is a regular file, not a serial device", "is a character device but not a
// serial device", "is not a serial device", "permission denied: add the user to the
// dialout group and log in again" (the group the device belongs to).
QString device_problem(const QString& device);

// Why opening `device` failed when device_problem() found nothing: the port is held
// by another program (with the holder when its lock file names it), or Qt's own text.
// `error` is the QSerialPort::SerialPortError of the failed open.
QString open_failure(const QString& device, int error, const QString& error_text);

// The lock file of a serial device, as serial programs share it: "LCK.." and the
// device's name in the lock folder ("/var/lock/LCK..ttyUSB0"), holding the number of
// the process that has the device open: as text ("%10d\n", or a number and more lines
// as QLockFile writes them) or as a binary int.
struct LockFile {
  enum class State {
    Free,        // no lock file, or nothing to judge it by (no lock folder)
    Held,        // a running process holds the device (or one on another machine)
    Replaced,    // a lock of a process that no longer runs, or none that can be a lock,
                 // was removed: `note` says which
    Stuck,       // such a lock is in the way and cannot be removed: `note` says why
  };
  State state = State::Free;
  QString path;       // the lock file
  qint64 pid = 0;     // the process it names; 0 when it names none
  QString application;   // the program a QLockFile-style lock names, if any
  QString note;
};

// The process number a lock file's bytes name, or 0 when they cannot be a lock (empty,
// not a number, a number of no process, bytes of another kind). `host` receives the
// machine a QLockFile-style lock names, if any, `application` the program.
qint64 lock_file_pid(const QByteArray& content, QString* host = nullptr, QString* application = nullptr);

// Looks at the lock file QSerialPort will take for `device` before it does: a live
// holder's lock is left alone (Held); one of a dead process, or one that cannot be a
// lock, is removed (Replaced), so that QSerialPort takes the device with a lock of its
// own. QSerialPort alone would remove a live holder's "%10d" lock (it cannot read
// it) and would keep a dead one's empty or binary lock for half a minute.
LockFile check_lock_file(const QString& device);

// " (NAME, process PID, lock file PATH)": the holder of a lock as the "in use" failure
// names it; the name and the process where the lock gives them.
QString holder_of(qint64 pid, const QString& application, const QString& lock);

}  // namespace brivel::qt
