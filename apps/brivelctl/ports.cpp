#include "ports.h"

#include <QtGlobal>

#include "qt/core/port_map.h"
#include "qt/core/qt_platform.h"

namespace brivel::ctl {

ForwardingPort::ForwardingPort(std::unique_ptr<SerialPort> inner) : inner_(std::move(inner)) {
  inner_->set_receive_handler([this](int event_code) { raise_event(event_code); });
}

PinnedDevicePort::PinnedDevicePort(std::unique_ptr<SerialPort> inner, QString device)
    : ForwardingPort(std::move(inner)), device_(std::move(device)) {}

void PinnedDevicePort::open() {
  const int number = port_number();
  const QByteArray variable = "BRIVEL_COM" + QByteArray::number(number);
  qunsetenv(variable.constData());
  qt::set_port_device(number, device_);
  ForwardingPort::open();
}

std::string PinnedDevicePort::device_name() const {
  return qt::normal_device_path(device_).toStdString();
}

}  // namespace brivel::ctl
