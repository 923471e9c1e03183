#include "ports.h"

#include <QtGlobal>
#include <cstdio>

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

TracingPort::TracingPort(std::unique_ptr<SerialPort> inner, std::ostream& out)
    : ForwardingPort(std::move(inner)), out_(out) {}

void TracingPort::write(const Bytes& data) {
  out_ << "> " << hex(data) << std::endl;
  ForwardingPort::write(data);
}

Bytes TracingPort::read_all() {
  Bytes packet = ForwardingPort::read_all();
  if (!packet.empty()) out_ << "< " << hex(packet) << std::endl;
  return packet;
}

std::string hex(const Bytes& bytes) {
  std::string text;
  char pair[4];
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(pair, sizeof pair, "%02X", static_cast<unsigned>(bytes[i]));
    if (i) text += ' ';
    text += pair;
  }
  return text;
}

}  // namespace brivel::ctl
