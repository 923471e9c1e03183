#pragma once
// A serial port opened by device path: hosts that name a device (Python's
// Monochromator("/dev/ttyUSB0"), the servers' Port property, the QObject controller)
// open it whatever port number is in force, and it wins over BRIVEL_COM<n> from the
// environment. The port-number map is process-wide, so one port at a time pins its
// device, opens and unpins.

#include <string>

#include "qt_platform.h"

namespace brivel::qt {

class DevicePort : public QtSerialPort {
 public:
  // An empty device: the port number maps to its device as the control always does.
  explicit DevicePort(std::string device) : device_(std::move(device)) {}
  void open() override;
  std::string device_name() const override;

 private:
  std::string device_;
};

}  // namespace brivel::qt
