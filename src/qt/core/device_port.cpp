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
  // The device the host gave this number (Brivel::setPortDevice) comes back after the
  // open: a controller opened by path leaves a widget's port number as it found it.
  const QString pinned_before = set_program_port_device(number, QString::fromStdString(device_));
  struct Unpin {
    int number;
    QString pinned_before;
    bool had;
    QByteArray variable, value;
    ~Unpin() {
      set_program_port_device(number, pinned_before);
      if (had) qputenv(variable.constData(), value);
    }
  } unpin{number, pinned_before, had_variable, variable, value};
  QtSerialPort::open();
}

std::string DevicePort::device_name() const {
  return device_.empty() ? device().toStdString()
                         : normal_device_path(QString::fromStdString(device_)).toStdString();
}

}  // namespace brivel::qt
