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

}  // namespace brivel::qt
