// Look-ups and calls over the interface tables.

#include "control/interface.h"

#include <limits>

#include "platform/failure.h"
#include "text/convert.h"

namespace brivel::interface {

namespace {

template <typename Row, std::size_t N>
const Row* named(const Row (&table)[N], std::string_view name) {
  for (const Row& row : table)
    if (name == row.name) return &row;
  return nullptr;
}

[[noreturn]] void wrong_kind(const char* name) {
  throw RuntimeFailure(FailureReason::InvalidArgument, std::string("no value for ") + name);
}

}  // namespace

const char* to_string(EventKind kind) {
  switch (kind) {
    case EventKind::Click: return "Click";
    case EventKind::MouseDown: return "MouseDown";
    case EventKind::MouseUp: return "MouseUp";
    case EventKind::KeyPress: return "KeyPress";
    case EventKind::LostFocus: return "LostFocus";
  }
  return "";
}

const Event* find_event(std::string_view control, EventKind kind) {
  for (const Event& event : kEvents)
    if (event.kind == kind && control == event.control) return &event;
  return nullptr;
}

std::string handler_name(const Event& event) {
  return std::string(event.control) + '_' + to_string(event.kind);
}

std::int16_t fire(Control& control, const Event& event, std::int16_t code) {
  if (event.plain) (control.*event.plain)();
  if (event.button) (control.*event.button)(code);
  if (event.key) (control.*event.key)(code);
  return code;
}

const Property* find_property(std::string_view name) { return named(kProperties, name); }

void set(Control& control, const Property& property, const Value& value) {
  if (!property.set) wrong_kind(property.name);
  switch (property.type) {
    case Type::Int16: {
      const auto* whole = std::get_if<std::int32_t>(&value);
      if (!whole) wrong_kind(property.name);
      if (*whole < std::numeric_limits<std::int16_t>::min() || *whole > std::numeric_limits<std::int16_t>::max())
        throw RuntimeFailure(FailureReason::Overflow, std::string(property.name) + ' ' + std::to_string(*whole));
      break;
    }
    case Type::Double:
      if (!std::holds_alternative<double>(value)) wrong_kind(property.name);
      break;
    default: wrong_kind(property.name);  // no such setter yet
  }
  property.set(control, value);
}

std::string to_text(const Value& value) {
  if (const auto* flag = std::get_if<bool>(&value)) return *flag ? "True" : "False";
  if (const auto* whole = std::get_if<std::int32_t>(&value)) return std::to_string(*whole);
  if (const auto* number = std::get_if<double>(&value)) return text::plain(*number);
  return std::get<std::string>(value);
}

Value from_text(const Property& property, const std::string& text) {
  switch (property.type) {
    case Type::Int16: return static_cast<std::int32_t>(text::parse_int16(text));
    case Type::Double: return text::parse_double(text);
    case Type::Text: return text;
    default: wrong_kind(property.name);
  }
}

const Method* find_method(std::string_view name) { return named(kMethods, name); }

void call(Control& control, const Method& method, const Value& argument) {
  switch (method.argument) {
    case Argument::None: (control.*method.plain)(); return;
    case Argument::Wavelength: {
      const auto* nm = std::get_if<double>(&argument);
      if (!nm) wrong_kind(method.parameter);
      double target = *nm;
      (control.*method.wavelength)(target);
      return;
    }
    case Argument::Path: {
      const auto* path = std::get_if<std::string>(&argument);
      if (!path) wrong_kind(method.parameter);
      (control.*method.path)(*path);
      return;
    }
  }
}

}  // namespace brivel::interface
