// The range check of the operator's numeric entries (increments, targets, the filter
// table): converts the text to the type of its code, tests the bounds (both included)
// and, for the integer types, that the text holds a whole number. The outcome is left
// in BytRangeOK for the caller to read.

#include <cstdint>
#include <string>

#include "control/module_function.h"
#include "platform/failure.h"
#include "text/convert.h"

namespace brivel::ModuleFunction {

namespace {
enum TypeCode : std::uint8_t { kByte = 1, kInt16 = 2, kInt32 = 3, kSingle = 4, kDouble = 5 };

// The value converted to the integer type of the code: rounded (a half to even) and
// refused beyond the type's range, as a conversion failure.
double to_integer_type(std::uint8_t code, const std::string& value) {
  switch (code) {
    case kByte: return text::parse_byte(value);
    case kInt16: return text::parse_int16(value);
    default: return text::parse_int32(value);
  }
}

template <typename Real>
bool within(Real minimum, Real maximum, Real v) {
  return !(maximum < v || minimum > v);
}
}  // namespace

void CheckRange(const std::string& minimum, const std::string& maximum, const std::string& value,
                std::uint8_t type_code, Dialogs& dialogs) {
  BytRangeOK() = 0;
  try {
    switch (type_code) {
      case kByte:
      case kInt16:
      case kInt32: {
        const double v = to_integer_type(type_code, value);
        const double max = text::parse_double(maximum);
        const double min = text::parse_double(minimum);
        if (!within(min, max, v)) return;
        // 2.5 was rounded to 2 above: only a whole number reads back unchanged.
        if (text::parse_double(value) == v) BytRangeOK() = 1;
        return;
      }
      case kSingle: {
        const float v = text::parse_single(value);
        const float max = text::parse_single(maximum);
        const float min = text::parse_single(minimum);
        if (within(min, max, v)) BytRangeOK() = 1;
        return;
      }
      case kDouble: {
        const double v = text::parse_double(value);
        const double max = text::parse_double(maximum);
        const double min = text::parse_double(minimum);
        if (within(min, max, v)) BytRangeOK() = 1;
        return;
      }
      default:
        return;   // an unknown type code fails without a message
    }
  } catch (const RuntimeFailure&) {
    // Text that is not a number, or beyond its type: the same words in both languages.
    Message m;
    m.kind = MessageKind::Refusal;
    m.text = m.text_en = m.text_zh = "Data Error!";
    dialogs.show(m);
    BytRangeOK() = 0;
  }
}

}  // namespace brivel::ModuleFunction
