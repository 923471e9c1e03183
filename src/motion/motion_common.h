#pragma once
// What the motion operations share: the operator texts they have in common, the
// records a move starts from, and the follow loops' end test.

#include <array>
#include <cstdint>

#include "control/brivel.h"
#include "protocol/commands.h"

namespace brivel::motion {

// The mouse button that works a jog button (1 is the left button).
constexpr std::int16_t kLeftButton = 1;

constexpr Words kPrompt{"Prompt", "提示"};
// Refusal of the run panel's motion buttons when the instrument is not connected.
constexpr Words kNotConnected{"Monochromator connection failed.", "单色仪未正常连接！"};

// A move starts with records that no reply can produce, so they differ until both
// have been written by real replies: the target record (the head of the reply to the
// move command) and the position record (the bytes of the latest position report).
constexpr std::int32_t kTargetRecordEmpty = 99999999;
constexpr std::int32_t kPositionRecordEmpty = 88888888;

// The end of a motion, tested before every pass of a follow loop: the controller's
// packet begins with "O", the operator asked to stop (stop button, jog release), or
// the reported position repeats the target record byte for byte.
inline bool motion_over(const Bytes& last_packet, VBBool stop_request,
                        const std::array<std::int32_t, 4>& target_record,
                        const std::array<std::int32_t, 4>& position_record) {
  return protocol::byte_at(last_packet, 0) == 'O' || stop_request != kFalse ||
         target_record == position_record;
}

}  // namespace brivel::motion
