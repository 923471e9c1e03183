#pragma once
// The traffic log of the serial port: the logging category "brivel.serial" carries
// every write ("> 57 00 01 55 4B") and every packet taken from the receive queue
// ("< 77 00 01 55 4B"), one line each, bytes as two-digit hex separated by spaces,
// after a timestamp in milliseconds on a monotonic clock (since the first line of
// this process), e.g. "  1532.418 > 57 00 01 55 4B".
//
// The category is off by default. A host turns it on with the environment
// (QT_LOGGING_RULES="brivel.serial.debug=true"; the lines then reach Qt's message
// handler, "brivel.serial: ..." on standard error) or with set_serial_logging(), and
// may send the lines to a file with set_serial_log_file(). Every QtSerialPort logs,
// so the widget's traffic is in it as well as brivelctl's.
//
// set_serial_logging(), serial_logging() and set_serial_log_file() are declared in
// the widget library's public header brivel_serial_log.h: the shared library
// Brivelocx exports them to its hosts (this static library is built with hidden
// visibility, so nothing else of it is exported). The rest is for brivelctl, the
// Python module and the port itself.

#include <QLoggingCategory>
#include <QString>
#include <functional>

#include "../widgets/brivel_serial_log.h"
#include "platform/serial_port.h"

namespace brivel::qt {

const QLoggingCategory& serial_category();

// set_serial_logging(bool), serial_logging(), set_serial_log_file(path, why):
// brivel_serial_log.h.

// Receivers of the lines besides the file (brivelctl --trace). While there is a file
// or a receiver, the lines go to them and not to Qt's message handler. add gives an
// id for remove. A receiver must not throw and may be called from the thread of
// any port.
using SerialLogReceiver = std::function<void(const QString& line)>;
int add_serial_log_receiver(SerialLogReceiver receiver);
void remove_serial_log_receiver(int id);

// One line of the log (without the line end).
QString serial_log_line(double milliseconds, char direction, const Bytes& bytes);
// "57 00 00 27 10" for {0x57, 0, 0, 0x27, 0x10}.
QString hex_bytes(const Bytes& bytes);

// What the port calls: logs `bytes` written ('>') or received ('<') when the
// category is on; nothing for an empty packet.
void log_serial_traffic(char direction, const Bytes& bytes);

}  // namespace brivel::qt
