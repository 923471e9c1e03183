#pragma once
// The traffic log of the serial port, for a host of the Brivel widget.
//
// Every write to the instrument and every packet read from it becomes one line,
// after its time in milliseconds on a monotonic clock (since the first line of the
// process), with the direction and the bytes in hex:
//
//      167.416 > 57 00 01 55 4B
//      175.582 < 00 01 59 33 0D
//
// The lines belong to the Qt logging category "brivel.serial", which is off by
// default; QT_LOGGING_RULES="brivel.serial.debug=true" turns it on without code, and
// the lines then reach Qt's message handler. These calls do the same from code:
//
//   #include <brivel_serial_log.h>
//   QString why;
//   if (!brivel::qt::set_serial_log_file("traffic.log", &why)) qWarning() << why;
//
// The log covers every serial port of the process, so every Brivel widget's traffic
// is in it. The calls may come from any thread.

#include <QString>

#include "brivelocx_export.h"

namespace brivel::qt {

// Turns the lines on or off (QLoggingCategory::setEnabled for debug messages). A
// later QLoggingCategory::setFilterRules() of the host decides again.
BRIVELOCX_EXPORT void set_serial_logging(bool on);
BRIVELOCX_EXPORT bool serial_logging();

// Sends the lines to `path` (appended, each line flushed as it is written) instead of
// Qt's message handler, and turns them on. An empty path closes the file and gives
// the lines back to Qt's handler. False, with the reason in `why`, when the file
// cannot be opened for appending; the log then stays as it was.
BRIVELOCX_EXPORT bool set_serial_log_file(const QString& path, QString* why = nullptr);

}  // namespace brivel::qt
