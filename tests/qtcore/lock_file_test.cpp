// A device's lock file: a live holder's respected in every format, a dead or meaningless one replaced with
// a note, and "in use" names the holder's process and the lock's path.

#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFile>
#include <cstring>

#include "platform/failure.h"
#include "qt/core/device_check.h"
#include "qt/core/port_map.h"
#include "qt/core/qt_platform.h"
#include "qtcore/application.h"

namespace brivel::qt {
namespace {

QByteArray text_lock(qint64 pid) { return QByteArray::number(pid).rightJustified(10, ' ') + '\n'; }

QByteArray binary_lock(std::int32_t pid) {
  QByteArray bytes(sizeof pid, '\0');
  std::memcpy(bytes.data(), &pid, sizeof pid);
  return bytes;
}

// A process that runs until the test ends, and the number of one that ran and ended.
struct Processes {
  Processes() {
    live = ::fork();
    if (live == 0) {
      ::pause();
      ::_exit(0);
    }
    dead = ::fork();
    if (dead == 0) ::_exit(0);
    ::waitpid(dead, nullptr, 0);
  }
  ~Processes() {
    ::kill(live, SIGKILL);
    ::waitpid(live, nullptr, 0);
  }
  pid_t live = -1, dead = -1;
};

TEST(LockFile, ReadsTheProcessNumberInEveryFormatSerialProgramsWrite) {
  QString host;
  EXPECT_EQ(lock_file_pid("      4711\n"), 4711);                  // "%10d\n"
  EXPECT_EQ(lock_file_pid("4711"), 4711);
  EXPECT_EQ(lock_file_pid(binary_lock(4711)), 4711);               // a binary int
  EXPECT_EQ(lock_file_pid("4711\nminicom\nlab-pc\nid\nboot\n", &host), 4711);   // QLockFile
  EXPECT_EQ(host, "lab-pc");
  EXPECT_EQ(lock_file_pid("4711\n"), 4711);
  // Nothing that can be a lock: no number, or a number of no process.
  for (const QByteArray& junk : {QByteArray(), QByteArray("\n"), QByteArray("abc\n"), QByteArray("-5\n"),
                                 QByteArray("0\n"), QByteArray("12ab\n"), QByteArray("\x01\x02\x03", 3),
                                 binary_lock(-7), QByteArray(300, 'x')})
    EXPECT_EQ(lock_file_pid(junk), 0) << junk.toHex().constData();
}

// A port on a pseudo-terminal, its lock file, a live and a dead process.
struct LockedPort : ::testing::Test, Application {
  void SetUp() override {
    char name[256] = {};
    int slave = -1;
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    ::close(slave);
    device = name;
    lock = check_lock_file(device).path;
    ASSERT_FALSE(lock.isEmpty()) << "no lock folder";
    qunsetenv("BRIVEL_COM7");
    set_port_device(7, device);
    port.set_port_number(7);
  }
  void TearDown() override {
    port.close();
    QFile::remove(lock);
    set_port_device(7, {});
    if (master >= 0) ::close(master);
  }
  void put(const QByteArray& content) {
    QFile file(lock);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
  }
  QByteArray content() {
    QFile file(lock);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(none)");
  }
  // The failure text of open(), or empty when it opened.
  std::string open_failure_text() {
    try {
      port.open();
    } catch (const RuntimeFailure& failure) {
      return failure.what();
    }
    return {};
  }
  int master = -1;
  QString device, lock;
  QtEventPump pump;
  QtSerialPort port;
  Processes processes;
};

TEST_F(LockedPort, ALiveHoldersLockIsRespectedWhateverItsFormat) {
  for (const QByteArray& held : {text_lock(processes.live), binary_lock(processes.live),
                                 QByteArray::number(processes.live) + "\nholder\n\n"}) {
    put(held);
    const std::string why = open_failure_text();
    EXPECT_FALSE(port.is_open());
    const std::string named = held.contains("holder") ? "holder, " : "";
    EXPECT_NE(why.find("in use by another program (" + named + "process " + std::to_string(processes.live) +
                       ", lock file " + lock.toStdString() + ")"),
              std::string::npos)
        << why;
    EXPECT_EQ(content(), held) << "the holder's lock is left as it was";
  }
  // A lock that names another machine cannot be checked here: it is respected too.
  put(QByteArray::number(processes.dead) + "\nholder\nanother-machine.example\n");
  EXPECT_NE(open_failure_text().find("in use by another program"), std::string::npos);
}

TEST_F(LockedPort, ADeadOrMeaninglessLockIsReplacedWithANote) {
  for (const QByteArray& stale : {text_lock(processes.dead), binary_lock(processes.dead), QByteArray(),
                                  QByteArray("\x7f\x45\x4c\x46\x02\x01", 6), QByteArray("zz\n"),
                                  QByteArray::number(processes.dead) + "\nholder\n"}) {
    put(stale);
    EXPECT_EQ(open_failure_text(), "") << stale.toHex().constData();
    EXPECT_TRUE(port.is_open());
    const std::string note = port.take_open_note();
    EXPECT_EQ(note.find("removed the stale lock file " + lock.toStdString() + " ("), 0u) << note;
    EXPECT_EQ(port.take_open_note(), "") << "told once";
    // The port holds a lock of its own now, naming this process.
    EXPECT_EQ(lock_file_pid(content()), QCoreApplication::applicationPid());
    port.close();
    EXPECT_FALSE(QFile::exists(lock));
  }
  // No lock at all: nothing to say.
  EXPECT_EQ(open_failure_text(), "");
  EXPECT_EQ(port.take_open_note(), "");
}

}  // namespace
}  // namespace brivel::qt
