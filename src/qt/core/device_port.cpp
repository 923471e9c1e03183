#include "device_port.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <mutex>

#include "port_map.h"

namespace brivel::qt {

namespace {
std::mutex pin_mutex;
}  // namespace

void DevicePort::open() {
  if (device_.empty()) {
    QtSerialPort::open();
    return;
  }
  std::lock_guard<std::mutex> lock(pin_mutex);
  const int number = port_number();
  const QByteArray variable = "BRIVEL_COM" + QByteArray::number(number);
  const bool had_variable = qEnvironmentVariableIsSet(variable.constData());
  const QByteArray value = qgetenv(variable.constData());
  if (had_variable) qunsetenv(variable.constData());
  set_port_device(number, QString::fromStdString(device_));
  struct Unpin {
    int number;
    bool had;
    QByteArray variable, value;
    ~Unpin() {
      set_port_device(number, QString());
      if (had) qputenv(variable.constData(), value);
    }
  } unpin{number, had_variable, variable, value};
  QtSerialPort::open();
}

std::string DevicePort::device_name() const {
  return device_.empty() ? device().toStdString() : device_;
}

}  // namespace brivel::qt
