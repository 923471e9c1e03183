#pragma once
// The one run-time failure of the control. Conversions and the serial port throw
// it; an operation that traps failures catches it where its documentation says so.
// Nothing else in the control throws.

#include <stdexcept>
#include <string>

namespace brivel {

enum class FailureReason {
  Overflow,        // a value outside the range of its target type
  DivisionByZero,  // for example a step count with a step size of 0
  NotANumber,      // a strict conversion of text that is not a number
  PortFailure,     // the serial port cannot be opened, or a write fails
  InvalidArgument, // text or data of the wrong shape (missing field, bad name)
  PortLost,        // the open port went away mid-operation (adapter unplugged, far end closed)
  Interrupted,     // a stop was requested from outside the running call (RequestStop)
};

const char* to_string(FailureReason reason);

class RuntimeFailure : public std::runtime_error {
 public:
  RuntimeFailure(FailureReason reason, const std::string& detail);
  FailureReason reason() const { return reason_; }

 private:
  FailureReason reason_;
};

}  // namespace brivel
