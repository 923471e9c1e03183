#pragma once
// The port lists of the package (brivel.list_ports(), brivel.port_map()).

#include <pybind11/pybind11.h>

namespace brivel::pyhost {

namespace py = pybind11;

void define_ports(py::module_& module);

}  // namespace brivel::pyhost
