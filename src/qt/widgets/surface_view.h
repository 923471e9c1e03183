#pragma once
// The real widgets of the control's surface.
//
// The in-memory surface of the logic is the one source of truth. The logic runs on a
// thread of its own (the control's thread); this view lives on the host's GUI thread.
// It builds a Qt widget for every widget of the surface (same name, kind, parent,
// position, font, texts, lists, pictures, visibility), follows every change through
// the surface's observer, and routes the operator's edits, clicks, presses and keys to
// the logic's handlers on the control's thread, in the order they came.
//
// The observer runs on the control's thread: it notes which widgets changed, and the
// view sends the changed widgets over (copies, never the live model) in one batch,
// which the GUI thread applies and paints at once. Values set while applying never
// run a handler: the Qt widget's signals are blocked meanwhile. Every call into the
// logic goes through the boundary given at construction, which keeps exceptions out.
//
// When a batch goes: the control fills fields between its exchanges with the
// instrument, so its changes are sent when the control's thread is about to sleep,
// when it wakes outside an operation, and at once when a call returns to the host or
// a message is shown. A wait that wakes again early in the screen's frame keeps them
// for that pass: the follow loop's two position reports, 10 ms apart, go out in one
// batch and one paint, as a screen shows one of them per frame anyway.

#include <QFont>
#include <QLabel>
#include <QObject>
#include <QPixmap>
#include <QPointer>
#include <QSize>
#include <QString>
#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/surface.h"

class QWidget;

namespace brivel {
class Control;
namespace interface {
struct Event;
}
}

namespace brivel::qt {

// Runs one call into the logic; `what` names it for the failure report. Called on the
// control's thread.
using Boundary = std::function<void(const char* what, const std::function<void()>& call)>;

// Work for the logic, run on the control's thread.
using LogicWork = std::function<void(brivel::Control&)>;
// How the view reaches the control's thread: `call` runs work there and returns once
// it has run; `post` queues it (operator events, in the order they came), to run at
// the control's next pass of its event loop (inside a wait of an operation as well).
struct ControlAccess {
  std::function<void(const LogicWork&)> call;
  std::function<void(LogicWork)> post;
};

// The installed font family that stands for a design font name: the font itself when
// installed, else a look-alike (metric-compatible or condensed); "宋体" maps to a CJK
// font so that Chinese captions render.
QString family_for(const std::string& design_name);
// The font of a design name, size (points) and weight, in the stand-in family.
QFont design_font(const std::string& design_name, double points, bool bold);
// A caption as shown in the stand-in of its design font: blanks as wide as the design
// font's (the Chinese font's half-em blanks become en spaces).
QString caption_for(const std::string& text, const std::string& design_font_name);

// Mouse buttons as the control's handlers number them: left 1, right 2, middle 4.
short button_code(Qt::MouseButton button);

// Makes `widget` opaque: before it paints itself, the backdrop paints under it what
// its parent shows there, from a picture of the parent taken once (again after a
// resize, a move, a style, palette or enabled change of the widget, or a resize,
// style, palette, enabled or font change of the parent). A change of the widget then
// repaints the widget alone, not the frame and the panel beneath it, which a
// transparent widget needs (the frame's style loads its border picture at every
// paint). Owned by the widget.
class Backdrop : public QObject {
  Q_OBJECT
 public:
  // `painted_by_widget`: the widget calls paint() itself, with the painter of its own
  // paint event, instead of the backdrop painting before it.
  explicit Backdrop(QWidget* widget, bool painted_by_widget = false);
  void paint(QPainter& painter);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void take();
  void watch_parent(QWidget* parent);
  QWidget* widget_;
  bool painted_by_widget_;
  QPointer<QWidget> parent_;
  QPixmap picture_;
  bool valid_ = false;
};

// A label whose text follows values the instrument reports many times a second (the
// current wavelength), on a backdrop, at a fixed size. The follow loop asks for
// positions twice in 30 ms, the two reports 10 ms apart; both reach the view in one
// batch, and only the newer is set, fitted and painted (see SurfaceView).
//
// It paints its backdrop and its text with one painter, and a text of digits, point
// and sign as a run of glyphs whose indexes and advances it keeps per font, without
// laying the text out and shaping it at every paint. That quick way is taken for a
// font only after it drew a sample of those characters exactly as the label itself
// draws it, pixel for pixel; any other text, font or setting is drawn by QLabel.
class ReadoutLabel : public QLabel {
  Q_OBJECT
 public:
  explicit ReadoutLabel(QWidget* parent = nullptr);
  // Whether the current text and font are drawn the quick way (for tests).
  bool draws_glyphs();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  struct Glyphs;
  // The glyphs of the current font, or null when it is not drawn the quick way: looked
  // up by the font's key once after a font change (or a new pixel ratio), not at every
  // paint.
  Glyphs* glyphs_for_font();
  Glyphs* look_up_glyphs();
  bool quick_way_allowed() const;
  void draw_glyphs(QPainter& painter, const Glyphs& glyphs, const QString& text,
                   const QColor& colour) const;
  Backdrop* backdrop_;
  std::map<QString, std::shared_ptr<Glyphs>> glyphs_;  // by font key
  Glyphs* current_ = nullptr;  // of the current font, when current_known_
  bool current_known_ = false;
  qreal current_ratio_ = 0;    // the device pixel ratio current_ is of
};

class SurfaceView : public QObject {
  Q_OBJECT
 public:
  // Reads the surface on the control's thread (through `control.call`) and builds the
  // widgets on this thread; from then on the surface's observer is this view's.
  SurfaceView(ControlAccess control, QWidget* host, Boundary boundary);
  // The control's thread must have ended first (the surface's observer is this view's
  // until then), unless the logic lives on this thread.
  ~SurfaceView() override;

  // The real widget of a named control ("CmdRun", "Lbl1(0)", "FrmSplash"), or null.
  QWidget* widget(const std::string& name) const;
  // The size of the larger panel (the control shows one panel at a time), in pixels.
  QSize panel_size() const;

  // Control's thread: sends what changed so far to the widgets now (before a call
  // returns to the host, before a message).
  void send_now();
  // Control's thread: something the host sees changed besides the surface (a value of
  // the interface): the next batch carries the news even without a surface change.
  void touch();
  // GUI thread: runs after each batch is applied (the host's change signals).
  void set_after_apply(std::function<void()> after) { after_apply_ = std::move(after); }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // What fitting a label's text needs, kept between changes: the design font and, per
  // size tried (hundredths of a point), the advance of every character met so far.
  struct FitSize {
    QFont font;  // the design font in this size
    std::array<qreal, 128> ascii;  // advances of the ASCII characters, -1 until met
    std::unordered_map<char16_t, qreal> others;
    explicit FitSize(QFont f) : font(std::move(f)) { ascii.fill(-1.0); }
  };
  struct FitCache {
    QFont design;
    std::map<long, FitSize> sizes;
    double last = 0;  // points: the size the previous text was shown in (0: none yet)
    QSize room_for;      // the label's size when `room` was measured
    double room = 0;     // px: the width of the label's contents
    // The design font in `points` and its advances, made once per size.
    FitSize& at(double points);
  };
  struct Entry {
    brivel::Widget* model = nullptr;  // the view's copy, as last sent (GUI thread)
    brivel::Widget* live = nullptr;   // the logic's own (control's thread only)
    QPointer<QWidget> view;
    std::shared_ptr<FitCache> fit;
  };
  // One batch of changes, from the control's thread to the GUI thread.
  struct Sent {
    struct Item {
      std::size_t index;
      brivel::Widget copy;
      unsigned changes;  // bits of brivel::Change
    };
    std::vector<Item> items;
    std::optional<std::string> focus;         // the focused widget's name
    std::optional<std::string> surface_font;  // the surface's own font
  };

  void build();
  QWidget* create(Entry& entry);
  void connect_operator(Entry& entry);
  // Control's thread: the surface's observer, and the watch on that thread's loop.
  void observed(const brivel::Widget& live, brivel::Change what);
  void control_sleeps();
  void control_wakes();
  void hold();
  double held_ms() const;  // since the first change not yet sent
  // GUI thread: applies a batch.
  void apply_sent(Sent& sent);
  void apply(Entry& entry, brivel::Change what);
  void apply_text(Entry& entry);
  void apply_geometry(Entry& entry);
  void apply_font(Entry& entry);
  void apply_items(Entry& entry);
  void apply_value(Entry& entry);
  void apply_picture(Entry& entry);
  void apply_visible(Entry& entry);
  void apply_focus();
  void refresh_symbol(Entry& entry);
  void refresh_wrap(Entry& entry);
  void fit_text(Entry& entry);
  // Whether `text` fits `room` pixels in `font`.
  static bool fits(FitSize& size, const QString& text, double room);
  Entry* entry_of(QObject* object);
  Entry* entry_named(const std::string& name);

  // Operator events, as the interface's event table names them. `fire` runs one
  // handler of the logic through the boundary, on the control's thread.
  void fire(const interface::Event& event, std::int16_t code = 0);
  void combo_chosen(Entry& entry, const QString& text);
  void check_clicked(Entry& entry);
  void edited(Entry& entry, const QString& text);
  // A text box with a key-press or focus-loss handler.
  bool keys_and_focus(QObject* watched, QEvent* event, const interface::Event* key_press,
                      const interface::Event* lost_focus);

  int px_x(int twips) const;
  int px_y(int twips) const;

  ControlAccess control_;
  QWidget* host_;
  Boundary boundary_;
  std::function<void()> after_apply_;
  std::vector<Entry> entries_;          // in the surface's order, parents first
  std::vector<std::unique_ptr<brivel::Widget>> copies_;  // the entries' models
  std::map<std::string, std::size_t> by_name_;
  std::map<QObject*, std::size_t> by_object_;
  std::string focused_;                 // as last sent
  std::string surface_font_;            // as last sent
  int mirroring_ = 0;                   // > 0 while a program change is applied

  // ---- the control's thread only ----
  const brivel::Surface* surface_ = nullptr;
  std::unordered_map<const brivel::Widget*, std::size_t> by_live_;
  std::vector<std::size_t> changed_;    // entries changed since the last batch, in order
  std::vector<unsigned> changes_;       // per entry: the changes not yet sent
  bool focus_changed_ = false;
  bool font_changed_ = false;
  bool touched_ = false;
  bool holding_ = false;                // something waits to be sent
  std::chrono::steady_clock::time_point held_since_;
  // The operator's own edit, applied to the logic: not sent back to the widget it came
  // from (the operator may have typed on meanwhile).
  const brivel::Widget* echo_ = nullptr;
  brivel::Change echo_what_ = brivel::Change::Text;
  std::vector<QMetaObject::Connection> watch_;  // on the control's thread's loop

  // A frame of the screen (60 Hz), and how long into it a batch may wait for the
  // next pass of a wait: the rest of the frame leaves room for that pass and the paint.
  static constexpr double kFrameMs = 16.0;
  static constexpr double kShareFrameMs = 12.0;
};

}  // namespace brivel::qt
