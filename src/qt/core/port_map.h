#pragma once
// Port numbers 1 to 16 and the devices they open.
//
// For each number n the first of these that names a device wins:
//  1. the environment variable BRIVEL_COM<n> (an empty value counts as unset);
//  2. a device this program gave with set_port_device() (brivelctl --port, a host);
//  3. the line "n = DEVICE" of the mapping file brivel/ports.conf, looked for in the
//     configuration folders of QStandardPaths::GenericConfigLocation (the user's
//     ~/.config/brivel/ports.conf first, then the system's, e.g.
//     /etc/xdg/brivel/ports.conf); the first file found is the one used;
//  4. the serial adapters listed in /dev/serial/by-id, sorted by their link names,
//     leaving out those that 1 to 3 already name: they take the numbers that 1 to 3
//     leave free, lowest first (one adapter and no settings: it is port 1);
//  5. the platform's usual name: /dev/ttyS<n-1> (COM<n> on Windows).
//
// The mapping file holds one "n = DEVICE" a line; "#" starts a comment; blank lines
// are ignored. A device without a leading "/", "./" or "../" is taken under /dev, as
// Qt takes port names ("ttyUSB0" is /dev/ttyUSB0).
//
// Settings that cannot be used are problems, each naming its place: a BRIVEL_COM<n>
// with n outside 1 to 16, a line of the file that is no "n = DEVICE", a number outside
// 1 to 16, a number given twice. A mapping file with such a problem (or one that
// cannot be read) leaves every number that none of its good lines names unusable:
// opening it fails with the problem as the reason, rather than opening a device the
// broken line may not have meant. Numbers set by 1 or 2 are not affected.

#include <QString>
#include <QStringList>
#include <functional>
#include <map>
#include <vector>

namespace brivel::qt {

constexpr int kFirstPort = 1;
constexpr int kLastPort = 16;

enum class PortSource {
  Environment,  // BRIVEL_COM<n>
  Program,      // set_port_device()
  File,         // the mapping file
  Adapter,      // /dev/serial/by-id order
  Platform,     // the platform's usual name
  Unusable,     // a broken mapping file leaves nothing to open
};

const char* to_string(PortSource source);

struct PortAssignment {
  int number = 0;
  QString device;   // empty when unusable
  PortSource source = PortSource::Platform;
  QString origin;   // where the device came from: "BRIVEL_COM3", "PATH line 2", ...
  QString problem;  // why nothing can be opened (unusable only)
};

// A setting that cannot be used.
struct PortMapProblem {
  QString where;  // "BRIVEL_COM17", "/home/ana/.config/brivel/ports.conf line 3"
  QString what;   // "port numbers run from 1 to 16"
  QString text() const { return where + ": " + what; }
};

// What the rule reads. current_port_sources() gathers them from this process and the
// system; tests give them directly.
struct PortSources {
  std::map<QString, QString> environment;  // BRIVEL_COM* variables: name to value
  std::map<int, QString> program;          // set_port_device()
  QString file_path;                       // empty: there is no mapping file
  QString file_text;
  QString file_error;                      // the file exists but cannot be read: why
  QStringList adapters;                    // the links of /dev/serial/by-id, full paths
  // The device a path finally names (links resolved), to tell whether an adapter is
  // already named by a setting; empty: the path as it is.
  std::function<QString(const QString&)> resolve;
};

class PortMap {
 public:
  explicit PortMap(const PortSources& sources);
  // 1 to 16.
  const PortAssignment& port(int number) const;
  const std::vector<PortAssignment>& ports() const { return ports_; }
  const std::vector<PortMapProblem>& problems() const { return problems_; }

 private:
  std::vector<PortAssignment> ports_;
  std::vector<PortMapProblem> problems_;
};

// The device a setting names: "ttyUSB0" is /dev/ttyUSB0; paths stay as they are.
QString normal_device_path(const QString& device);

// The mapping file in use; when there is none, where the user's own would be.
QString mapping_file_path();
bool mapping_file_exists();

// The sources of this process now: its environment, set_port_device(), the mapping
// file and /dev/serial/by-id. The file and the folder are read on every call, so an
// edit or a plugged adapter counts at the next open.
PortSources current_port_sources();
PortMap current_port_map();

// How a port number stands now, as lists of ports show it: "present" (its device
// exists), "absent" (nothing at that path now) or "unusable" (a broken mapping file).
QString port_state(const PortAssignment& port);
// Where the device came from ("BRIVEL_COM3", "PATH line 2", ...), and for a link the
// device it leads to now ("...; leads to /dev/ttyUSB0"); for an unusable number, why.
QString port_origin_text(const PortAssignment& port);
// The lowest port number whose device is `device`, links resolved on both sides (a
// /dev/serial/by-id link and the /dev/ttyUSB0 it leads to are one device); 0 when no
// number maps to it.
int port_number_of(const PortMap& map, const QString& device);

// set_port_device(): `device` for port `number` in this process; empty removes it.
// Gives the device it replaces (empty: there was none).
QString set_program_port_device(int number, const QString& device);

// A serial device the system reports (QSerialPortInfo), for lists and pickers.
struct SerialDevice {
  QString device;        // "/dev/ttyUSB0"
  QString description;   // "FT232R USB UART"
  QString manufacturer;  // "FTDI"
  QString serial_number;
  QString usb_id;        // "0403:6001"; empty when not a USB device
};
std::vector<SerialDevice> available_serial_devices();

}  // namespace brivel::qt
