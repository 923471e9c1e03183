#pragma once
// The exceptions of the brivel module, and raising them with what the control said.
//
//   BrivelError                         anything the control reports as not done
//   ├── RefusedError                    the operation did not start (busy, an entry refused)
//   │   ├── BusyError                      another operation is in flight
//   │   ├── OutOfRangeError (ValueError)   an entry outside the range the control accepts
//   │   └── NotConnectedError (+ ConnectionError)  the instrument is not connected
//   ├── OperationError                  the operation started and did not end as asked
//   ├── ConnectionError (builtins.ConnectionError)  cannot connect, or the connection was lost
//   └── StoppedError                    the call was stopped from outside (stop())

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "platform/dialogs.h"

namespace brivel::pyhost {

namespace py = pybind11;

enum class ErrorType { Refused, Busy, OutOfRange, NotConnected, Operation, Connection, Stopped };

// What an exception carries. The text is the control's message (or the module's own
// wording) in both languages; the detail is what a host note added (why a port could
// not be opened, what a download that stopped had already written).
struct ErrorInfo {
  ErrorType type = ErrorType::Operation;
  std::string operation;              // the Python method, e.g. "move_to"
  std::string text_en, text_zh;
  std::string detail_en, detail_zh;
  std::string device;                 // ConnectionError and NotConnectedError
  std::vector<Message> messages;      // every message the control showed during the call
  int language = 1;                   // the instrument's: 0 Chinese, else English
};

// Creates the exception classes in `module`.
void define_errors(py::module_& module);

// Raises the exception (as a pending Python error, then py::error_already_set). Its
// str() is the text in the instrument's language, followed by the detail in brackets.
[[noreturn]] void raise_error(const ErrorInfo& info);

}  // namespace brivel::pyhost
