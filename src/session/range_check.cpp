// The range check of the operator's numeric entries.

#include "session/range_check.h"

#include "platform/failure.h"
#include "text/convert.h"

namespace brivel {

namespace {

// The value converted to the integer type of the code: rounded (a half to even) and
// refused beyond the type's range, as a conversion failure.
double to_integer_type(EntryType type, const std::string& value) {
  switch (type) {
    case EntryType::Byte: return text::parse_byte(value);
    case EntryType::Int16: return text::parse_int16(value);
    default: return text::parse_int32(value);
  }
}

template <typename Real>
bool within(Real minimum, Real maximum, Real v) {
  return !(maximum < v || minimum > v);
}
}  // namespace

bool entry_in_range(const std::string& minimum, const std::string& maximum, const std::string& value,
                    EntryType type, Dialogs& dialogs) {
  try {
    switch (type) {
      case EntryType::Byte:
      case EntryType::Int16:
      case EntryType::Int32: {
        const double v = to_integer_type(type, value);
        const double max = text::parse_double(maximum);
        const double min = text::parse_double(minimum);
        // 2.5 was rounded to 2 above: only a whole number reads back unchanged.
        return within(min, max, v) && text::parse_double(value) == v;
      }
      case EntryType::Single: {
        const float v = text::parse_single(value);
        const float max = text::parse_single(maximum);
        const float min = text::parse_single(minimum);
        return within(min, max, v);
      }
      case EntryType::Double: {
        const double v = text::parse_double(value);
        const double max = text::parse_double(maximum);
        const double min = text::parse_double(minimum);
        return within(min, max, v);
      }
    }
    return false;   // an unknown type fails without a message
  } catch (const RuntimeFailure&) {
    // Text that is not a number, or beyond its type: the same words in both languages.
    Message m;
    m.kind = MessageKind::Refusal;
    m.text = m.text_en = m.text_zh = "Data Error!";
    dialogs.show(m);
    return false;
  }
}

}  // namespace brivel
