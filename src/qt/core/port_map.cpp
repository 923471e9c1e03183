#include "port_map.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QSerialPortInfo>
#include <QStandardPaths>
#include <algorithm>
#include <mutex>
#include <set>

namespace brivel::qt {

namespace {

constexpr const char* kVariablePrefix = "BRIVEL_COM";
constexpr const char* kMappingFile = "brivel/ports.conf";
constexpr const char* kAdapterFolder = "/dev/serial/by-id";

std::mutex& program_mutex() {
  static std::mutex m;
  return m;
}
std::map<int, QString>& program_devices() {
  static std::map<int, QString> devices;
  return devices;
}

bool in_range(int number) { return number >= kFirstPort && number <= kLastPort; }

QString range_text() {
  return QStringLiteral("port numbers run from %1 to %2").arg(kFirstPort).arg(kLastPort);
}

QString platform_name(int number) {
#ifdef Q_OS_WIN
  return QStringLiteral("COM%1").arg(number);
#else
  // The mapping Wine and Cygwin use: COM1 is the first serial device.
  return QStringLiteral("/dev/ttyS%1").arg(number - 1);
#endif
}

// One good line of the mapping file.
struct FileEntry {
  QString device;
  int line = 0;
};

struct ParsedFile {
  std::map<int, FileEntry> entries;
  std::map<int, std::vector<int>> repeated;  // number given on more than one line: the lines
  std::vector<PortMapProblem> problems;
};

ParsedFile parse_mapping_file(const QString& path, const QString& text) {
  ParsedFile parsed;
  const QStringList lines = text.split(QLatin1Char('\n'));
  for (int i = 0; i < lines.size(); ++i) {
    const int line_number = i + 1;
    const QString where = QStringLiteral("%1 line %2").arg(path).arg(line_number);
    QString line = lines[i];
    const int comment = line.indexOf(QLatin1Char('#'));
    if (comment >= 0) line.truncate(comment);
    line = line.trimmed();
    if (line.isEmpty()) continue;

    const int equals = line.indexOf(QLatin1Char('='));
    if (equals < 0) {
      parsed.problems.push_back({where, QStringLiteral("\"%1\" is not of the form \"n = DEVICE\"").arg(line)});
      continue;
    }
    const QString left = line.left(equals).trimmed();
    const QString device = line.mid(equals + 1).trimmed();
    bool is_number = false;
    const int number = left.toInt(&is_number, 10);
    if (!is_number) {
      parsed.problems.push_back({where, QStringLiteral("\"%1\" is not a port number").arg(left)});
      continue;
    }
    if (!in_range(number)) {
      parsed.problems.push_back({where, QStringLiteral("port %1: %2").arg(number).arg(range_text())});
      continue;
    }
    if (device.isEmpty()) {
      parsed.problems.push_back({where, QStringLiteral("port %1 has no device").arg(number)});
      continue;
    }
    const auto earlier = parsed.entries.find(number);
    if (earlier != parsed.entries.end() || parsed.repeated.count(number)) {
      std::vector<int>& at = parsed.repeated[number];
      if (at.empty()) at.push_back(earlier->second.line);
      at.push_back(line_number);
      parsed.problems.push_back(
          {where, QStringLiteral("port %1 is given again (first on line %2)").arg(number).arg(at.front())});
      continue;
    }
    parsed.entries[number] = {normal_device_path(device), line_number};
  }
  for (const auto& [number, at] : parsed.repeated) parsed.entries.erase(number);
  return parsed;
}

}  // namespace

const char* to_string(PortSource source) {
  switch (source) {
    case PortSource::Environment: return "environment";
    case PortSource::Program: return "program";
    case PortSource::File: return "mapping file";
    case PortSource::Adapter: return "adapter";
    case PortSource::Platform: return "platform";
    case PortSource::Unusable: return "unusable";
  }
  return "platform";
}

QString normal_device_path(const QString& device) {
  const QString d = device.trimmed();
#ifdef Q_OS_UNIX
  if (d.isEmpty() || d.startsWith(QLatin1Char('/')) || d.startsWith(QLatin1String("./")) ||
      d.startsWith(QLatin1String("../")))
    return d;
  return QStringLiteral("/dev/") + d;
#else
  return d;
#endif
}

PortMap::PortMap(const PortSources& sources) {
  auto resolve = [&](const QString& path) {
    const QString resolved = sources.resolve ? sources.resolve(path) : QString();
    return resolved.isEmpty() ? path : resolved;
  };
  std::map<int, PortAssignment> given;

  // 1. The environment.
  for (const auto& [name, value] : sources.environment) {
    if (!name.startsWith(QLatin1String(kVariablePrefix))) continue;
    const QString suffix = name.mid(static_cast<int>(qstrlen(kVariablePrefix)));
    const bool digits = !suffix.isEmpty() &&
                        std::all_of(suffix.begin(), suffix.end(), [](QChar c) { return c.isDigit(); });
    if (!digits) continue;  // some other variable
    const int number = suffix.toInt();
    if (!in_range(number)) {
      problems_.push_back({name, range_text() + QStringLiteral("; the variable is not used")});
      continue;
    }
    if (name != QLatin1String(kVariablePrefix) + QString::number(number)) {
      problems_.push_back({name, QStringLiteral("write %1%2; the variable is not used")
                                     .arg(QLatin1String(kVariablePrefix))
                                     .arg(number)});
      continue;
    }
    if (value.trimmed().isEmpty()) continue;
    given[number] = {number, normal_device_path(value), PortSource::Environment, name, {}};
  }

  // 2. The program's own settings.
  for (const auto& [number, device] : sources.program) {
    if (!in_range(number) || device.trimmed().isEmpty() || given.count(number)) continue;
    given[number] = {number, normal_device_path(device), PortSource::Program,
                     QStringLiteral("set by this program"), {}};
  }

  // 3. The mapping file.
  QString file_broken;  // why the numbers it does not name cannot be used
  std::map<int, QString> repeated;
  if (!sources.file_error.isEmpty()) {
    problems_.push_back({sources.file_path, sources.file_error});
    file_broken = QStringLiteral("the mapping file %1 cannot be read: %2")
                      .arg(sources.file_path, sources.file_error);
  } else if (!sources.file_path.isEmpty()) {
    const ParsedFile parsed = parse_mapping_file(sources.file_path, sources.file_text);
    problems_.insert(problems_.end(), parsed.problems.begin(), parsed.problems.end());
    if (!parsed.problems.empty())
      file_broken = QStringLiteral("the mapping file has a line it cannot use (%1); correct it first")
                        .arg(parsed.problems.front().text());
    for (const auto& [number, lines] : parsed.repeated) {
      QStringList at;
      for (int l : lines) at << QString::number(l);
      repeated[number] = QStringLiteral("port %1 is given more than once in the mapping file %2 (lines %3)")
                             .arg(number)
                             .arg(sources.file_path, at.join(QLatin1String(", ")));
    }
    for (const auto& [number, entry] : parsed.entries) {
      if (given.count(number)) continue;
      given[number] = {number, entry.device, PortSource::File,
                       QStringLiteral("%1 line %2").arg(sources.file_path).arg(entry.line), {}};
    }
  }
  for (int number = kFirstPort; number <= kLastPort; ++number) {
    if (given.count(number)) continue;
    const auto twice = repeated.find(number);
    if (twice != repeated.end())
      given[number] = {number, {}, PortSource::Unusable, sources.file_path, twice->second};
    else if (!file_broken.isEmpty())
      given[number] = {number, {}, PortSource::Unusable, sources.file_path, file_broken};
  }

  // 4. Adapters not named yet, in the order of their names.
  std::set<QString> named;
  for (const auto& [number, assignment] : given)
    if (!assignment.device.isEmpty()) named.insert(resolve(assignment.device));
  QStringList adapters = sources.adapters;
  std::sort(adapters.begin(), adapters.end());
  int next = kFirstPort;
  for (const QString& adapter : adapters) {
    if (named.count(resolve(adapter))) continue;
    while (next <= kLastPort && given.count(next)) ++next;
    if (next > kLastPort) break;
    given[next] = {next, adapter, PortSource::Adapter, QStringLiteral("%1 order").arg(QLatin1String(kAdapterFolder)), {}};
    named.insert(resolve(adapter));
  }

  // 5. The platform's names for the rest.
  for (int number = kFirstPort; number <= kLastPort; ++number) {
    const auto found = given.find(number);
    if (found != given.end())
      ports_.push_back(found->second);
    else
      ports_.push_back({number, platform_name(number), PortSource::Platform,
                        QStringLiteral("platform name"), {}});
  }
}

const PortAssignment& PortMap::port(int number) const {
  const int clamped = std::clamp(number, kFirstPort, kLastPort);
  return ports_[static_cast<std::size_t>(clamped - kFirstPort)];
}

QString mapping_file_path() {
  const QString found = QStandardPaths::locate(QStandardPaths::GenericConfigLocation,
                                               QLatin1String(kMappingFile));
  if (!found.isEmpty()) return found;
  return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
         QLatin1Char('/') + QLatin1String(kMappingFile);
}

bool mapping_file_exists() {
  return !QStandardPaths::locate(QStandardPaths::GenericConfigLocation, QLatin1String(kMappingFile))
              .isEmpty();
}

PortSources current_port_sources() {
  PortSources sources;
  const QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  for (const QString& name : environment.keys())
    if (name.startsWith(QLatin1String(kVariablePrefix)))
      sources.environment[name] = environment.value(name);
  {
    std::lock_guard<std::mutex> lock(program_mutex());
    sources.program = program_devices();
  }
  if (mapping_file_exists()) {
    sources.file_path = mapping_file_path();
    QFile file(sources.file_path);
    if (file.open(QIODevice::ReadOnly | QIODevice::Text))
      sources.file_text = QString::fromUtf8(file.readAll());
    else
      sources.file_error = file.errorString();
  }
  const QDir folder{QString::fromLatin1(kAdapterFolder)};
  for (const QFileInfo& link :
       folder.entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name))
    sources.adapters << link.absoluteFilePath();
  sources.resolve = [](const QString& path) { return QFileInfo(path).canonicalFilePath(); };
  return sources;
}

PortMap current_port_map() { return PortMap(current_port_sources()); }

QString set_program_port_device(int number, const QString& device) {
  std::lock_guard<std::mutex> lock(program_mutex());
  auto& devices = program_devices();
  const auto found = devices.find(number);
  QString before = found != devices.end() ? found->second : QString();
  if (device.isEmpty())
    devices.erase(number);
  else
    devices[number] = device;
  return before;
}

QString port_state(const PortAssignment& port) {
  if (port.source == PortSource::Unusable) return QStringLiteral("unusable");
  return QFileInfo::exists(port.device) ? QStringLiteral("present") : QStringLiteral("absent");
}

QString port_origin_text(const PortAssignment& port) {
  if (port.source == PortSource::Unusable) return port.problem;
  QString from = port.origin;
  const QFileInfo info(port.device);
  const QString target = info.canonicalFilePath();
  if (info.isSymLink() && !target.isEmpty() && target != port.device)
    from += QStringLiteral("; leads to ") + target;
  return from;
}

int port_number_of(const PortMap& map, const QString& device) {
  // The device a path names in the end: links resolved when it exists.
  const auto resolved = [](const QString& path) {
    const QString normal = normal_device_path(path);
    const QString canonical = QFileInfo(normal).canonicalFilePath();
    return canonical.isEmpty() ? normal : canonical;
  };
  if (device.trimmed().isEmpty()) return 0;
  const QString wanted = resolved(device);
  for (const PortAssignment& port : map.ports())
    if (!port.device.isEmpty() && resolved(port.device) == wanted) return port.number;
  return 0;
}

std::vector<SerialDevice> available_serial_devices() {
  std::vector<SerialDevice> devices;
  for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
    SerialDevice d;
    d.device = info.systemLocation();
    d.description = info.description();
    d.manufacturer = info.manufacturer();
    d.serial_number = info.serialNumber();
    if (info.hasVendorIdentifier() && info.hasProductIdentifier())
      d.usb_id = QStringLiteral("%1:%2")
                     .arg(info.vendorIdentifier(), 4, 16, QLatin1Char('0'))
                     .arg(info.productIdentifier(), 4, 16, QLatin1Char('0'));
    devices.push_back(d);
  }
  std::sort(devices.begin(), devices.end(),
            [](const SerialDevice& a, const SerialDevice& b) { return a.device < b.device; });
  return devices;
}

}  // namespace brivel::qt
