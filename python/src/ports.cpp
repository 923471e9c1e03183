// brivel._list_ports() and brivel._port_map(): the serial devices the system reports
// and the devices the port numbers map to, as `brivelctl ports` lists them (the
// shared code is qt/core/port_map). brivel/_ports.py turns the rows into named tuples.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <optional>

#include "ports.h"
#include "qt/core/port_map.h"

namespace brivel::pyhost {

namespace {

py::object text_or_none(const QString& text) {
  if (text.isEmpty()) return py::none();
  return py::str(text.toStdString());
}

// "0403:6001" into its two numbers; None, None when not a USB device.
std::pair<py::object, py::object> usb_numbers(const QString& usb_id) {
  const QStringList parts = usb_id.split(QLatin1Char(':'));
  bool vid_ok = false, pid_ok = false;
  if (parts.size() == 2) {
    const int vid = parts[0].toInt(&vid_ok, 16);
    const int pid = parts[1].toInt(&pid_ok, 16);
    if (vid_ok && pid_ok) return {py::int_(vid), py::int_(pid)};
  }
  return {py::none(), py::none()};
}

}  // namespace

void define_ports(py::module_& module) {
  module.def(
      "_list_ports",
      [] {
        std::vector<qt::SerialDevice> devices;
        std::optional<qt::PortMap> map;
        {
          py::gil_scoped_release release;
          devices = qt::available_serial_devices();
          map.emplace(qt::current_port_map());
        }
        py::list rows;
        for (const qt::SerialDevice& d : devices) {
          const auto [vid, pid] = usb_numbers(d.usb_id);
          const int number = qt::port_number_of(*map, d.device);
          rows.append(py::make_tuple(d.device.toStdString(), d.description.toStdString(),
                                     d.manufacturer.toStdString(), d.serial_number.toStdString(), vid, pid,
                                     number ? py::object(py::int_(number)) : py::object(py::none())));
        }
        return rows;
      },
      "_list_ports() -> list[tuple]\n\nRows of brivel.list_ports().");
  module.def(
      "_port_map",
      [] {
        std::optional<qt::PortMap> map;
        std::string file;
        bool file_exists = false;
        {
          py::gil_scoped_release release;
          map.emplace(qt::current_port_map());
          file = qt::mapping_file_path().toStdString();
          file_exists = qt::mapping_file_exists();
        }
        py::list rows;
        for (const qt::PortAssignment& port : map->ports())
          rows.append(py::make_tuple(port.number, text_or_none(port.device), qt::port_state(port).toStdString(),
                                     std::string(qt::to_string(port.source)),
                                     qt::port_origin_text(port).toStdString()));
        py::list problems;
        for (const qt::PortMapProblem& problem : map->problems()) problems.append(problem.text().toStdString());
        return py::make_tuple(rows, problems, file, file_exists);
      },
      "_port_map() -> tuple\n\nRows of brivel.port_map(), the problems of the settings, the mapping file.");
}

}  // namespace brivel::pyhost
