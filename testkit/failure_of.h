#pragma once
// The reason of the RuntimeFailure a call throws, or nothing when it throws none:
//   EXPECT_EQ(failure_of([] { text::to_byte(256); }), FailureReason::Overflow);

#include <optional>

#include "platform/failure.h"

namespace brivel::testkit {

template <typename F>
std::optional<FailureReason> failure_of(F&& call) {
  try {
    call();
  } catch (const RuntimeFailure& failure) {
    return failure.reason();
  }
  return std::nullopt;
}

}  // namespace brivel::testkit
