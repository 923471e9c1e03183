// The real serial port on a pty: what open() refuses unopened, with why, and the traffic log.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <mutex>

#include "qt/core/device_check.h"
#include "qt/core/qt_platform.h"
#include "qtcore/application.h"
#include "qt/core/serial_log.h"
#include "testkit/pty_peer.h"

namespace brivel::qt {
namespace {

TEST(DeviceProblem, NamesWhatTheDeviceIsWhenItCannotBeASerialPort) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString file = dir.filePath("params.txt");
  QFile(file).open(QIODevice::WriteOnly);
  const QString dangling = dir.filePath("usb-gone");
  ASSERT_TRUE(QFile::link(dir.filePath("ttyUSB9"), dangling));
  // (A directory, a file, /dev/null and a missing device: see the e2e tests.)
  EXPECT_EQ(device_problem(dir.filePath("params.txt/x")), "no such device");
  EXPECT_TRUE(device_problem(dangling).startsWith("no such device (the link leads nowhere"))
      << device_problem(dangling).toStdString();
  const QString fifo = dir.filePath("fifo");
  ASSERT_EQ(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
  EXPECT_EQ(device_problem(fifo), "is not a serial device");
  testkit::PtyPeer pty;   // a pseudo-terminal may be opened
  ASSERT_FALSE(pty.device().empty());
  EXPECT_EQ(device_problem(QString::fromStdString(pty.device())), "");
}

// Collects the lines of the log while it lives.
struct Collected {
  Collected() {
    id = add_serial_log_receiver([this](const QString& line) {
      std::lock_guard<std::mutex> lock(mutex);
      lines << line;
    });
  }
  ~Collected() { remove_serial_log_receiver(id); }
  QStringList taken() {
    std::lock_guard<std::mutex> lock(mutex);
    QStringList all = lines;
    lines.clear();
    return all;
  }
  int id = 0;
  std::mutex mutex;
  QStringList lines;
};

// The packet the port reads once `count` bytes wait (at most two seconds).
Bytes read_when(QtSerialPort& port, QtEventPump& pump, int count) {
  const double until = pump.now() + 2.0;
  while (port.bytes_waiting() < count && pump.now() < until) pump.wait_until(pump.now() + 0.02);
  // bytes_waiting() counts the driver's bytes too; the host loop's next pass reads them in.
  Bytes got = port.read_all();
  while (got.size() < static_cast<std::size_t>(count) && pump.now() < until) {
    pump.wait_until(pump.now() + 0.02);
    const Bytes more = port.read_all();
    got.insert(got.end(), more.begin(), more.end());
  }
  return got;
}

TEST(SerialLog, EveryWriteAndPacketIsALineWithItsTimeAndAFileThatCanBeWrittenTakesThem) {
  need_application();
  testkit::PtyPeer pty;
  ASSERT_FALSE(pty.device().empty());
  qunsetenv("BRIVEL_COM6");
  set_port_device(6, QString::fromStdString(pty.device()));
  QtEventPump pump;
  QtSerialPort port;
  port.set_port_number(6);
  port.open();
  Collected log;
  set_serial_logging(false);
  port.write({0x79});
  EXPECT_TRUE(log.taken().isEmpty()) << "logged while off";
  set_serial_logging(true);
  port.write({0x57, 0x00, 0x01, 0x55, 0x4B});
  const unsigned char reply[] = {0x77, 0x00, 0x00, 0x27, 0x10};
  ASSERT_TRUE(pty.send(std::string(reply, reply + sizeof reply)));
  EXPECT_EQ(read_when(port, pump, 5), Bytes(reply, reply + 5));
  const QStringList lines = log.taken();
  ASSERT_EQ(lines.size(), 2) << lines.join('\n').toStdString();
  const QRegularExpression shape(R"(^ *(\d+\.\d{3}) ([<>]) (.*)$)");
  const auto first = shape.match(lines[0]), second = shape.match(lines[1]);
  ASSERT_TRUE(first.hasMatch() && second.hasMatch()) << lines.join('\n').toStdString();
  EXPECT_EQ(first.captured(2) + " " + first.captured(3), "> 57 00 01 55 4B");
  EXPECT_EQ(second.captured(2) + " " + second.captured(3), "< 77 00 00 27 10");
  EXPECT_LE(first.captured(1).toDouble(), second.captured(1).toDouble());
  // A file takes the same lines; one that cannot be written is refused with its reason.
  QString why;
  EXPECT_FALSE(set_serial_log_file("/nonexistent-folder/traffic.log", &why));
  EXPECT_FALSE(why.isEmpty());
  QTemporaryDir dir;
  const QString path = dir.filePath("traffic.log");
  ASSERT_TRUE(set_serial_log_file(path, &why)) << why.toStdString();
  port.write({0x6B});
  set_serial_log_file({});
  set_serial_logging(false);
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  EXPECT_TRUE(QString::fromUtf8(file.readAll()).trimmed().endsWith("> 6B"));
  EXPECT_EQ(log.taken().size(), 1);
  port.close();
  set_port_device(6, {});
}

}  // namespace
}  // namespace brivel::qt
