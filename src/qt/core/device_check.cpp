#include "device_check.h"

#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSerialPort>
#include <QStandardPaths>
#include <QStringList>

#ifdef Q_OS_UNIX
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
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
// without "/dev/", "/" made "_"), in the first lock folder that can be used.
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
    if (QFile::exists(path)) return path;
  }
  return {};
}

#endif  // Q_OS_UNIX

}  // namespace

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
      qint64 pid = 0;
      QString host, application;
      if (!lock.isEmpty() && QLockFile(lock).getLockInfo(&pid, &host, &application) && pid > 0)
        held += application.isEmpty()
                    ? QStringLiteral(" (process %1)").arg(pid)
                    : QStringLiteral(" (%1, process %2)").arg(application).arg(pid);
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
