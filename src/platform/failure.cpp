#include "platform/failure.h"

namespace brivel {

const char* to_string(FailureReason reason) {
  switch (reason) {
    case FailureReason::Overflow: return "overflow";
    case FailureReason::DivisionByZero: return "division by zero";
    case FailureReason::NotANumber: return "not a number";
    case FailureReason::PortFailure: return "port failure";
    case FailureReason::InvalidArgument: return "invalid argument";
    case FailureReason::PortLost: return "port lost";
    case FailureReason::Interrupted: return "stopped on request";
  }
  return "run-time failure";
}

RuntimeFailure::RuntimeFailure(FailureReason reason, const std::string& detail)
    : std::runtime_error(std::string(to_string(reason)) + (detail.empty() ? "" : ": " + detail)),
      reason_(reason) {}

}  // namespace brivel
