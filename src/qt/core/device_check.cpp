#include "device_check.h"

#include <QFile>
#include <QFileInfo>
#include <QSerialPort>
#include <QStandardPaths>
#include <QStringList>

#include <cstdint>
#include <cstring>

#ifdef Q_OS_UNIX
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <signal.h>

#include <cerrno>
#include <limits>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>
#endif
#ifdef Q_OS_LINUX
#include <sys/sysmacros.h>
#endif

namespace brivel::qt {

namespace {

#ifdef Q_OS_UNIX

QString group_name(gid_t gid) {
  std::vector<char> buffer(4096);
  group entry{};
  group* found = nullptr;
  if (getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found) return {};
  return QString::fromLocal8Bit(found->gr_name);
}

QString user_name(uid_t uid) {
  std::vector<char> buffer(4096);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
    return QString::number(uid);
  return QString::fromLocal8Bit(found->pw_name);
}

// The way to be allowed in, from the device's owner, group and mode.
QString permission_denied(const struct stat& st) {
  const bool group_may = (st.st_mode & S_IRGRP) && (st.st_mode & S_IWGRP);
  const QString group = group_name(st.st_gid);
  if (group_may && !group.isEmpty() && st.st_gid != 0)
    return QStringLiteral("permission denied: add the user to the %1 group and log in again").arg(group);
  return QStringLiteral("permission denied: only its owner (%1) may open it").arg(user_name(st.st_uid));
}

#ifdef Q_OS_LINUX
enum class TtyAnswer { Yes, No, Unknown };

// Whether the device number belongs to a terminal driver: /proc/tty/drivers lists
// every driver with its major number and its range of minor numbers.
TtyAnswer is_terminal(dev_t number) {
  std::ifstream drivers("/proc/tty/drivers");
  if (drivers) {
    const unsigned want_major = major(number), want_minor = minor(number);
    bool any = false;
    for (std::string line; std::getline(drivers, line);) {
      std::istringstream words(line);
      std::vector<std::string> w;
      for (std::string word; words >> word;) w.push_back(word);
      if (w.size() < 5) continue;
      any = true;
      // name, default path, major, minors ("0-1048575" or "64"), type
      const std::string& minors = w[w.size() - 2];
      unsigned long drv_major = 0, first = 0, last = 0;
      try {
        drv_major = std::stoul(w[w.size() - 3]);
        const std::size_t dash = minors.find('-');
        first = std::stoul(minors.substr(0, dash));
        last = dash == std::string::npos ? first : std::stoul(minors.substr(dash + 1));
      } catch (const std::exception&) {
        continue;
      }
      if (drv_major == want_major && want_minor >= first && want_minor <= last) return TtyAnswer::Yes;
    }
    if (any) return TtyAnswer::No;
  }
  // Without /proc: the class the kernel files the device under.
  const QString subsystem = QFileInfo(QStringLiteral("/sys/dev/char/%1:%2/subsystem")
                                          .arg(major(number))
                                          .arg(minor(number)))
                                .symLinkTarget();
  if (subsystem.isEmpty()) return TtyAnswer::Unknown;
  return subsystem.endsWith(QLatin1String("/tty")) ? TtyAnswer::Yes : TtyAnswer::No;
}
#endif

// The lock file QSerialPort takes for `device`: "LCK.." and the port name (the path
// without "/dev/", "/" made "_"), in the first lock folder that is readable and either
// holds that file already or can be written (QSerialPort's own rule).
QString lock_file_of(const QString& device) {
  QString name = device;
  if (name.startsWith(QLatin1String("/dev/"))) name.remove(0, 5);
  name.replace(QLatin1Char('/'), QLatin1Char('_'));
  const QStringList folders = {
      QStringLiteral("/var/lock"),       QStringLiteral("/etc/locks"), QStringLiteral("/var/spool/locks"),
      QStringLiteral("/var/spool/uucp"), QStringLiteral("/tmp"),       QStringLiteral("/var/tmp"),
      QStringLiteral("/var/lock/lockdev"), QStringLiteral("/run/lock"),
      QStandardPaths::writableLocation(QStandardPaths::TempLocation)};
  for (const QString& folder : folders) {
    const QString path = folder + QStringLiteral("/LCK..") + name;
    const QFileInfo info(folder);
    if (info.isReadable() && (QFile::exists(path) || info.isWritable())) return path;
  }
  return {};
}

// Whether process `pid` runs: signal 0 reaches it, or it exists but belongs to
// someone this process may not signal.
bool process_runs(qint64 pid) {
  if (pid <= 0 || pid > std::numeric_limits<pid_t>::max()) return false;
  return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

QString this_host() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return {};
  return QString::fromLocal8Bit(name);
}

#endif  // Q_OS_UNIX

}  // namespace

QString holder_of(qint64 pid, const QString& application, const QString& lock) {
  QString who;
  if (!application.isEmpty()) who += application + QStringLiteral(", ");
  if (pid > 0) who += QStringLiteral("process %1, ").arg(pid);
  return QStringLiteral(" (%1lock file %2)").arg(who, lock);
}

qint64 lock_file_pid(const QByteArray& content, QString* host, QString* application) {
  if (host) host->clear();
  if (application) application->clear();
  // A binary lock: the process number as the machine's int, nothing else.
  if (content.size() == static_cast<int>(sizeof(std::int32_t))) {
    bool text = true;
    for (char c : content) text = text && ((c >= '0' && c <= '9') || c == ' ' || c == '\n');
    if (!text) {
      std::int32_t pid = 0;
      std::memcpy(&pid, content.constData(), sizeof pid);
      // Four bytes of text that happen to be no digits are no process number either.
      constexpr std::int32_t kHighestPid = 1 << 22;   // the most any Linux system gives
      return pid > 0 && pid <= kHighestPid ? pid : 0;
    }
  }
  // Text: the number on the first line, blanks around it allowed ("%10d\n"); QLockFile
  // writes the program's name and the machine's on the next lines.
  const QList<QByteArray> lines = content.split('\n');
  const QByteArray first = lines.value(0).trimmed();
  if (first.isEmpty() || first.size() > 19) return 0;
  for (char c : first)
    if (c < '0' || c > '9') return 0;
  if (application && lines.size() > 1) *application = QString::fromUtf8(lines[1].trimmed());
  if (host && lines.size() > 2) *host = QString::fromUtf8(lines[2].trimmed());
  const qint64 pid = first.toLongLong();
  return pid > 0 ? pid : 0;
}

LockFile check_lock_file(const QString& device) {
  LockFile lock;
#ifdef Q_OS_UNIX
  lock.path = lock_file_of(device);
  if (lock.path.isEmpty()) return lock;
  QFile file(lock.path);
  if (!file.exists()) return lock;
  if (!file.open(QIODevice::ReadOnly)) {
    // Unreadable: whose it is cannot be told, so it is respected.
    lock.state = LockFile::State::Held;
    return lock;
  }
  const QByteArray content = file.read(4096);
  file.close();
  QString host;
  lock.pid = lock_file_pid(content, &host, &lock.application);
  const bool elsewhere = !host.isEmpty() && host != this_host();
  if (lock.pid > 0 && (elsewhere || process_runs(lock.pid))) {
    lock.state = LockFile::State::Held;
    return lock;
  }
  const QString why = lock.pid > 0
                          ? QStringLiteral("of process %1, which no longer runs").arg(lock.pid)
                          : QStringLiteral("which names no process");
  if (::unlink(QFile::encodeName(lock.path).constData()) != 0 && errno != ENOENT) {
    lock.state = LockFile::State::Stuck;
    lock.note = QStringLiteral("a stale lock file %1 (%2) is in the way and cannot be removed: %3")
                    .arg(lock.path, why, QString::fromLocal8Bit(std::strerror(errno)));
    return lock;
  }
  lock.state = LockFile::State::Replaced;
  lock.note = QStringLiteral("removed the stale lock file %1 (%2)").arg(lock.path, why);
#else
  Q_UNUSED(device);
#endif
  return lock;
}

QString device_problem(const QString& device) {
#ifdef Q_OS_UNIX
  if (device.isEmpty()) return QStringLiteral("no device is given");
  const QByteArray path = QFile::encodeName(device);
  struct stat st {};
  if (::stat(path.constData(), &st) != 0) {
    const int error = errno;
    if (error == ENOENT || error == ENOTDIR) {
      struct stat link {};
      if (::lstat(path.constData(), &link) == 0 && S_ISLNK(link.st_mode))
        return QStringLiteral("no such device (the link leads nowhere: is the adapter unplugged?)");
      return QStringLiteral("no such device");
    }
    if (error == EACCES)
      return QStringLiteral("permission denied: a folder on the way to it cannot be entered");
    return QString::fromLocal8Bit(std::strerror(error));
  }
  if (S_ISDIR(st.st_mode)) return QStringLiteral("is a directory, not a serial device");
  if (S_ISREG(st.st_mode)) return QStringLiteral("is a regular file, not a serial device");
  if (!S_ISCHR(st.st_mode)) return QStringLiteral("is not a serial device");
#ifdef Q_OS_LINUX
  if (is_terminal(st.st_rdev) == TtyAnswer::No)
    return QStringLiteral("is a character device but not a serial device");
#endif
  if (::access(path.constData(), R_OK | W_OK) != 0) {
    const int error = errno;
    if (error == EACCES || error == EPERM) return permission_denied(st);
    if (error == EROFS) return QStringLiteral("lies on a read-only file system");
  }
#else
  Q_UNUSED(device);
#endif
  return {};
}

QString open_failure(const QString& device, int error, const QString& error_text) {
  switch (static_cast<QSerialPort::SerialPortError>(error)) {
    case QSerialPort::DeviceNotFoundError:
      return QStringLiteral("no such device");
    case QSerialPort::PermissionError: {
      // The device itself may be opened (device_problem() looked): another program
      // holds it, by its lock file or by exclusive use of the terminal.
      QString held = QStringLiteral("in use by another program");
#ifdef Q_OS_UNIX
      if (error_text.contains(QLatin1String("creating lock file")))
        return QStringLiteral("no folder for lock files can be written (/var/lock, /tmp)");
      const QString lock = lock_file_of(device);
      QFile file(lock);
      if (!lock.isEmpty() && file.open(QIODevice::ReadOnly)) {
        QString application;
        const qint64 pid = lock_file_pid(file.read(4096), nullptr, &application);
        held += holder_of(pid, application, lock);
      }
#endif
      return held;
    }
    case QSerialPort::OpenError:
      return QStringLiteral("is already open");
    case QSerialPort::UnsupportedOperationError:
      return QStringLiteral("is not a serial device (it takes no line settings)");
    default:
      break;
  }
  return error_text.isEmpty() ? QStringLiteral("cannot be opened") : error_text;
}

}  // namespace brivel::qt
