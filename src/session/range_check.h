#pragma once
// The range check of the operator's numeric entries (increments, targets, the filter
// table).

#include <cstdint>
#include <string>

#include "platform/dialogs.h"

namespace brivel {

// The type an entry is converted to before it is compared with its bounds.
enum class EntryType : std::uint8_t { Byte = 1, Int16 = 2, Int32 = 3, Single = 4, Double = 5 };

// Converts `value` to `type`, tests it against the bounds (both included) and, for the
// integer types, that the text holds a whole number. Text that cannot be converted
// shows "Data Error!" through `dialogs`; a value outside the bounds shows nothing.
bool entry_in_range(const std::string& minimum, const std::string& maximum, const std::string& value,
                    EntryType type, Dialogs& dialogs);

}  // namespace brivel
