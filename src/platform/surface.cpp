#include "platform/surface.h"

#include "platform/failure.h"

namespace brivel {

Widget::Widget(std::string name, WidgetKind kind, std::string parent, int left, int top,
               int width, int height, std::string design_text)
    : name_(std::move(name)),
      kind_(kind),
      parent_(std::move(parent)),
      left_(left),
      top_(top),
      width_(width),
      height_(height),
      text_(design_text),
      design_text_(std::move(design_text)) {}

bool Widget::bears_text() const {
  switch (kind_) {
    case WidgetKind::TextBox:
    case WidgetKind::Button:
    case WidgetKind::PictureButton:
    case WidgetKind::Label:
    case WidgetKind::Frame:
    case WidgetKind::ComboBox:
    case WidgetKind::CheckBox:
      return true;
    default:
      return false;
  }
}

Widget Widget::copy() const {
  Widget detached = *this;
  detached.surface_ = nullptr;
  return detached;
}

void Widget::changed(Change what) {
  if (surface_) surface_->notify(*this, what);
}

void Widget::move(int left, int top) {
  left_ = left;
  top_ = top;
  changed(Change::Geometry);
}

void Widget::set_text(const std::string& text) {
  if (text_ == text) return;
  text_ = text;
  changed(Change::Text);
}

void Widget::set_visible(bool visible) {
  if (visible_ == visible) return;
  visible_ = visible;
  changed(Change::Visible);
}

void Widget::set_enabled(bool enabled) {
  if (enabled_ == enabled) return;
  enabled_ = enabled;
  changed(Change::Enabled);
}

void Widget::set_font_name(const std::string& name) {
  font_name_ = name;
  changed(Change::Font);
}

void Widget::set_font(const std::string& name, double size, bool bold) {
  font_name_ = name;
  font_size_ = size;
  bold_ = bold;
  changed(Change::Font);
}

void Widget::clear_items() {
  items_.clear();
  changed(Change::Items);
}

void Widget::add_item(const std::string& item) {
  items_.push_back(item);
  changed(Change::Items);
}

void Widget::set_sel_length(int length) {
  sel_length_ = length;
  changed(Change::Selection);
}

void Widget::set_value(int value) {
  if (value_ == value) return;
  value_ = value;
  changed(Change::Value);
}

void Widget::set_picture(int index) {
  if (picture_ == index) return;
  picture_ = index;
  changed(Change::Picture);
}

std::string indexed(const std::string& group, int index) {
  return group + "(" + std::to_string(index) + ")";
}

Widget& Surface::add(Widget widget) {
  if (find(widget.name()))
    throw RuntimeFailure(FailureReason::InvalidArgument, "duplicate control " + widget.name());
  owned_.push_back(std::make_unique<Widget>(std::move(widget)));
  Widget* stored = owned_.back().get();
  stored->surface_ = this;
  order_.push_back(stored);
  by_name_.emplace(stored->name(), stored);
  return *stored;
}

Widget* Surface::find(const std::string& name) {
  const auto it = by_name_.find(name);
  return it == by_name_.end() ? nullptr : it->second;
}

const Widget* Surface::find(const std::string& name) const {
  const auto it = by_name_.find(name);
  return it == by_name_.end() ? nullptr : it->second;
}

Widget& Surface::at(const std::string& name) {
  if (Widget* w = find(name)) return *w;
  throw RuntimeFailure(FailureReason::InvalidArgument, "no control named " + name);
}

const Widget& Surface::at(const std::string& name) const {
  if (const Widget* w = find(name)) return *w;
  throw RuntimeFailure(FailureReason::InvalidArgument, "no control named " + name);
}

void Surface::set_font_name(const std::string& name) { font_name_ = name; }

void Surface::set_focus(const std::string& name) {
  focused_ = name;
  if (const Widget* w = find(name)) notify(*w, Change::Focus);
}

void Surface::notify(const Widget& widget, Change what) {
  if (observer_) observer_(widget, what);
}

}  // namespace brivel
