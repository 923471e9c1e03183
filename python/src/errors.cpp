#include "errors.h"

#include <pybind11/stl.h>

#include <initializer_list>


namespace brivel::pyhost {

namespace {

// The classes live as long as the process (the module keeps a reference too).
struct Classes {
  PyObject* base = nullptr;
  PyObject* refused = nullptr;
  PyObject* busy = nullptr;
  PyObject* out_of_range = nullptr;
  PyObject* not_connected = nullptr;
  PyObject* operation = nullptr;
  PyObject* connection = nullptr;
  PyObject* stopped = nullptr;
};
Classes classes;

PyObject* define(py::module_& module, const char* name, const char* doc,
                 std::initializer_list<PyObject*> bases) {
  py::tuple base_tuple(bases.size());
  std::size_t i = 0;
  for (PyObject* base : bases) base_tuple[i++] = py::reinterpret_borrow<py::object>(base);
  const std::string qualified = std::string("brivel.") + name;
  PyObject* cls = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, base_tuple.ptr(), nullptr);
  if (!cls) throw py::error_already_set();
  module.add_object(name, py::handle(cls));
  return cls;
}

PyObject* class_of(ErrorType type) {
  switch (type) {
    case ErrorType::Refused: return classes.refused;
    case ErrorType::Busy: return classes.busy;
    case ErrorType::OutOfRange: return classes.out_of_range;
    case ErrorType::NotConnected: return classes.not_connected;
    case ErrorType::Operation: return classes.operation;
    case ErrorType::Connection: return classes.connection;
    case ErrorType::Stopped: return classes.stopped;
  }
  return classes.operation;
}

}  // namespace

void define_errors(py::module_& module) {
  classes.base = define(module, "BrivelError",
                        "The monochromator did not do what a call asked for.\n\n"
                        "str() gives the control's message in the language in force (see\n"
                        "Monochromator.language), followed by the detail in brackets.\n\n"
                        "Attributes:\n"
                        "    text, text_en, text_zh: the message (in force, English, Chinese)\n"
                        "    detail, detail_en, detail_zh: what the control told the host besides\n"
                        "        (empty when nothing)\n"
                        "    operation: the method that raised, e.g. 'move_to'\n"
                        "    messages: every brivel.Message the control showed during the call\n"
                        "    device: the serial device, or None",
                        {PyExc_Exception});
  // Every raised exception sets these; the class carries empty ones, so that an
  // exception made by a script (BrivelError("...")) has them too.
  py::handle base(classes.base);
  for (const char* name : {"text", "text_en", "text_zh", "detail", "detail_en", "detail_zh", "reason", "operation"})
    base.attr(name) = py::str("");
  base.attr("messages") = py::list();
  base.attr("device") = py::none();
  classes.refused = define(module, "RefusedError",
                           "The control refused: the operation did not start and nothing was sent\n"
                           "(for instance the controller is busy).",
                           {classes.base});
  classes.busy = define(module, "BusyError",
                        "Another operation of this instrument is in flight (a move started with\n"
                        "wait=False, a scan, a call from another thread): this one did not start.\n"
                        "Wait for the other one, or stop it first.",
                        {classes.refused});
  classes.out_of_range = define(module, "OutOfRangeError",
                                "An entry lies outside the range the control accepts (also a ValueError);\n"
                                "nothing was sent.",
                                {classes.refused, PyExc_ValueError});
  classes.operation = define(module, "OperationError",
                             "The operation started and did not end as asked (the grating stopped short,\n"
                             "the controller did not answer in time, a file could not be written).",
                             {classes.base});
  classes.connection = define(module, "ConnectionError",
                              "The monochromator could not be connected, or the connection was lost\n"
                              "(also a builtins.ConnectionError). `device` is the serial device and\n"
                              "`reason` why it failed (the same as `detail`).",
                              {classes.base, PyExc_ConnectionError});
  classes.not_connected = define(module, "NotConnectedError",
                                 "The instrument is not connected: call open() first, or use a with block.\n"
                                 "Nothing was sent.",
                                 {classes.refused, classes.connection});
  classes.stopped = define(module, "StoppedError",
                           "The call was stopped from outside (Monochromator.stop() from another\n"
                           "thread); the motor was stopped as the stop button does.",
                           {classes.base});
}

void raise_error(const ErrorInfo& info) {
  const bool english = info.language != 0;
  const std::string& text = english ? info.text_en : info.text_zh;
  const std::string& detail = english ? info.detail_en : info.detail_zh;
  const std::string shown = detail.empty() ? text : text + " (" + detail + ")";

  py::object cls = py::reinterpret_borrow<py::object>(class_of(info.type));
  py::object error = cls(shown);
  error.attr("text") = text;
  error.attr("text_en") = info.text_en;
  error.attr("text_zh") = info.text_zh;
  error.attr("detail") = detail;
  error.attr("detail_en") = info.detail_en;
  error.attr("detail_zh") = info.detail_zh;
  error.attr("reason") = detail.empty() ? text : detail;
  error.attr("operation") = info.operation;
  error.attr("messages") = py::cast(info.messages);
  error.attr("device") = info.device.empty() ? py::object(py::none()) : py::object(py::str(info.device));
  PyErr_SetObject(cls.ptr(), error.ptr());
  throw py::error_already_set();
}

}  // namespace brivel::pyhost
