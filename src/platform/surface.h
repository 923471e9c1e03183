#pragma once
// The control's surface as the logic sees it: every named child control of both
// panels and of the wait window, with the state the logic reads and writes.
//
// This model is the one source of truth. Headless hosts use it as it is; the Qt
// control mirrors it into real widgets through the observer and writes the
// operator's edits back with the set_* calls (which notify nobody but the
// observer). A value set here by the program never runs a click handler: handlers
// are run only by the host's operator events.

#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace brivel {

enum class WidgetKind {
  Frame,
  Label,
  TextBox,
  ComboBox,
  CheckBox,
  Button,         // plain button
  PictureButton,  // button with a picture (and maybe a caption)
  Picture,        // picture box (the status lamp)
  Line,
  Window,         // a separate small top-level window (the wait window)
};

enum class Change { Text, Visible, Enabled, Font, Items, Value, Picture, Geometry, Selection, Focus };

class Surface;

class Widget {
 public:
  Widget(std::string name, WidgetKind kind, std::string parent, int left, int top, int width,
         int height, std::string design_text = {});

  const std::string& name() const { return name_; }
  WidgetKind kind() const { return kind_; }
  const std::string& parent() const { return parent_; }  // empty for the panels and windows
  bool bears_text() const;  // text box, button, label, frame, combo box or check box
  // A copy that belongs to no surface: its set_* calls notify nobody (a view's copy).
  Widget copy() const;

  // Position and size in twips, relative to the parent. A line keeps its end
  // points as (left, top) to (left + width, top + height).
  int left() const { return left_; }
  int top() const { return top_; }
  int width() const { return width_; }
  int height() const { return height_; }
  void move(int left, int top);

  // Text of a text box or combo box, caption of a label, button, frame or check box.
  const std::string& text() const { return text_; }
  void set_text(const std::string& text);
  const std::string& design_text() const { return design_text_; }

  bool visible() const { return visible_; }
  void set_visible(bool visible);
  bool enabled() const { return enabled_; }
  void set_enabled(bool enabled);

  const std::string& font_name() const { return font_name_; }
  void set_font_name(const std::string& name);
  double font_size() const { return font_size_; }  // points
  bool bold() const { return bold_; }
  void set_font(const std::string& name, double size, bool bold);  // design time

  // Combo boxes: the list and the length of the selected text.
  const std::vector<std::string>& items() const { return items_; }
  void clear_items();
  void add_item(const std::string& item);
  int sel_length() const { return sel_length_; }
  void set_sel_length(int length);

  // Check box: 0 clear, 1 checked, 2 indeterminate. Setting it runs no handler.
  int value() const { return value_; }
  void set_value(int value);

  // Picture box: index of the picture shown (the lamp: 1 not connected, 2 connected).
  int picture() const { return picture_; }
  void set_picture(int index);

 private:
  friend class Surface;
  void changed(Change what);

  Surface* surface_ = nullptr;
  std::string name_;
  WidgetKind kind_;
  std::string parent_;
  int left_, top_, width_, height_;
  std::string text_;
  std::string design_text_;
  bool visible_ = true;
  bool enabled_ = true;
  std::string font_name_ = "Arial";
  double font_size_ = 9.0;
  bool bold_ = false;
  std::vector<std::string> items_;
  int sel_length_ = 0;
  int value_ = 0;
  int picture_ = 1;
};

// "Lbl1" and 0 give "Lbl1(0)": the name of a member of an indexed group.
std::string indexed(const std::string& group, int index);

class Surface {
 public:
  using Observer = std::function<void(const Widget&, Change)>;

  Surface() = default;
  Surface(const Surface&) = delete;
  Surface& operator=(const Surface&) = delete;

  // Adds a widget; names are unique. Gives the stored widget.
  Widget& add(Widget widget);
  // The widget of that name; a missing name is a RuntimeFailure (InvalidArgument),
  // as a reference to a control that does not exist is.
  Widget& at(const std::string& name);
  const Widget& at(const std::string& name) const;
  Widget* find(const std::string& name);
  const Widget* find(const std::string& name) const;
  // In the order they were added; children after their parent.
  const std::vector<Widget*>& widgets() const { return order_; }

  // The control surface's own font (the UserControl's font).
  const std::string& font_name() const { return font_name_; }
  void set_font_name(const std::string& name);

  // Input focus: the name of the focused widget, empty for none.
  const std::string& focused() const { return focused_; }
  void set_focus(const std::string& name);

  void set_observer(Observer observer) { observer_ = std::move(observer); }
  void notify(const Widget& widget, Change what);

 private:
  std::vector<std::unique_ptr<Widget>> owned_;
  std::vector<Widget*> order_;
  // Names never change once added; every lookup by name goes through here (the
  // logic looks controls up by name at every step, and building the panels adds
  // some 300 of them, each checked against those already there).
  std::unordered_map<std::string, Widget*> by_name_;
  std::string font_name_ = "Arial";
  std::string focused_;
  Observer observer_;
};

}  // namespace brivel
