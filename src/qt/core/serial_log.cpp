#include "serial_log.h"

#include <QElapsedTimer>
#include <QFile>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

namespace brivel::qt {

namespace {

constexpr const char* kCategory = "brivel.serial";

// Off until a rule, set_serial_logging() or a file turns it on. Not const (as
// Q_LOGGING_CATEGORY would make it): set_serial_logging() changes it.
QLoggingCategory& serial_lines() {
  static QLoggingCategory category(kCategory, QtWarningMsg);
  return category;
}

struct LogState {
  std::mutex mutex;
  bool installed = false;
  QtMessageHandler previous = nullptr;
  std::unique_ptr<QFile> file;
  std::map<int, SerialLogReceiver> receivers;
  int next_id = 1;
};

LogState& state() {
  static LogState s;
  return s;
}

// Milliseconds since the first line of this process, on a monotonic clock.
double clock_ms() {
  static const QElapsedTimer started = [] {
    QElapsedTimer t;
    t.start();
    return t;
  }();
  return static_cast<double>(started.nsecsElapsed()) / 1e6;
}

void pass_on(QtMessageHandler previous, QtMsgType type, const QMessageLogContext& context,
             const QString& message) {
  if (previous) {
    previous(type, context, message);
    return;
  }
  const QByteArray text = qFormatLogMessage(type, context, message).toLocal8Bit();
  std::fprintf(stderr, "%s\n", text.constData());
  std::fflush(stderr);
}

void handle_message(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  LogState& s = state();
  std::unique_lock<std::mutex> lock(s.mutex);
  const bool ours = context.category && std::strcmp(context.category, kCategory) == 0;
  if (ours && (s.file || !s.receivers.empty())) {
    if (s.file) {
      s.file->write(message.toUtf8());
      s.file->write("\n", 1);
      s.file->flush();
    }
    // Receivers run without the lock: one may write elsewhere and log again.
    const std::map<int, SerialLogReceiver> receivers = s.receivers;
    lock.unlock();
    for (const auto& [id, receiver] : receivers) receiver(message);
    return;
  }
  const QtMessageHandler previous = s.previous;
  lock.unlock();
  pass_on(previous, type, context, message);
}

// Called with the lock held.
void install_handler(LogState& s) {
  if (s.installed) return;
  s.installed = true;
  s.previous = qInstallMessageHandler(handle_message);
}

}  // namespace

const QLoggingCategory& serial_category() { return serial_lines(); }

void set_serial_logging(bool on) {
  serial_lines().setEnabled(QtDebugMsg, on);
}

bool serial_logging() { return serial_lines().isDebugEnabled(); }

bool set_serial_log_file(const QString& path, QString* why) {
  LogState& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (path.isEmpty()) {
    s.file.reset();
    return true;
  }
  auto file = std::make_unique<QFile>(path);
  if (!file->open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text)) {
    if (why) *why = file->errorString();
    return false;
  }
  s.file = std::move(file);
  install_handler(s);
  set_serial_logging(true);
  return true;
}

int add_serial_log_receiver(SerialLogReceiver receiver) {
  LogState& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  install_handler(s);
  const int id = s.next_id++;
  s.receivers[id] = std::move(receiver);
  return id;
}

void remove_serial_log_receiver(int id) {
  LogState& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.receivers.erase(id);
}

QString hex_bytes(const Bytes& bytes) {
  QString text;
  text.reserve(static_cast<int>(bytes.size()) * 3);
  char pair[4];
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(pair, sizeof pair, "%02X", static_cast<unsigned>(bytes[i]));
    if (i) text += QLatin1Char(' ');
    text += QLatin1String(pair);
  }
  return text;
}

QString serial_log_line(double milliseconds, char direction, const Bytes& bytes) {
  return QString::asprintf("%10.3f %c ", milliseconds, direction) + hex_bytes(bytes);
}

void log_serial_traffic(char direction, const Bytes& bytes) {
  if (bytes.empty() || !serial_lines().isDebugEnabled()) return;
  const double at = clock_ms();
  qCDebug(serial_category).noquote() << serial_log_line(at, direction, bytes);
}

}  // namespace brivel::qt
