#pragma once
// The real widgets of the control's surface.
//
// The in-memory surface of the logic is the one source of truth. This view builds a
// Qt widget for every widget of it (same name, kind, parent, position, font, texts,
// lists, pictures, visibility), follows every change through the surface's observer,
// writes the operator's edits back with the Widget set_* calls, and routes the
// operator's clicks, presses and keys to the logic's handlers.
//
// Values set while mirroring never run a handler: the Qt widget's signals are blocked
// while the program's change is applied. Every call into the logic goes through the
// boundary given at construction, which keeps exceptions out of Qt's slots.
//
// A program change reaches its widget at once (text(), value, list), but its paint is
// held until the thread is about to sleep, or until the host's own code lets the event
// loop run (the readout's new text inside an operation waits with its paint, see
// ReadoutLabel): the control fills fields between two exchanges, and painting them in the
// yield that starts the next exchange would delay that exchange by the paint. A wait
// that wakes again early in the screen's frame keeps it for that pass, so that changes
// close together go out in one paint. (A grab() taken before that pass shows a held
// widget without its new content.)

#include <QElapsedTimer>
#include <QFont>
#include <QLabel>
#include <QObject>
#include <QPixmap>
#include <QPointer>
#include <QSize>
#include <QString>
#include <array>
#include <cstdint>
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

// Runs one call into the logic; `what` names it for the failure report.
using Boundary = std::function<void(const char* what, const std::function<void()>& call)>;

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
// current wavelength), on a backdrop, at a fixed size. Like every widget of the view it
// is painted when the thread is about to sleep. The follow loop asks for positions
// twice in 30 ms, the two reports 10 ms apart: the first is held over the second
// request's tick, which wakes within the frame, and the paint after the second shows
// the newer value. One paint per pass instead of two, and no report waits more than
// about two thirds of a frame for a paint that shows it or a newer one. A report that
// comes inside an operation is given to the label with that paint, not before: the
// value held over is never set, fitted or announced to accessibility, and the label's
// text() is the value on the screen. (Outside an operation a new text is set at once.)
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
  SurfaceView(brivel::Control& logic, QWidget* host, Boundary boundary);
  ~SurfaceView() override;

  // The real widget of a named control ("CmdRun", "Lbl1(0)", "FrmSplash"), or null.
  QWidget* widget(const std::string& name) const;
  // The size of the larger panel (the control shows one panel at a time), in pixels.
  QSize panel_size() const;

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
    brivel::Widget* model = nullptr;
    QPointer<QWidget> view;
    std::shared_ptr<FitCache> fit;
  };

  void build();
  QWidget* create(Entry& entry);
  void connect_operator(Entry& entry);
  void mirror(const brivel::Widget& model, brivel::Change what);
  // Paints of program changes are held until the thread is about to sleep, or until
  // the host's own code lets the event loop run (see hold_paint()).
  static bool paints_later(brivel::Change what);
  void hold_paint(QWidget* view);
  void release_paints();
  // Whether a new text of the readout waits for its held paint: true inside a call of
  // the pump while the paint is held; release_paints() applies it.
  bool defer_text(Entry& entry);
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
  // handler of the logic through the boundary.
  void fire(const interface::Event& event, std::int16_t code = 0);
  void combo_chosen(Entry& entry, const QString& text);
  void check_clicked(Entry& entry);
  // A text box with a key-press or focus-loss handler.
  bool keys_and_focus(QObject* watched, QEvent* event, const interface::Event* key_press,
                      const interface::Event* lost_focus);

  int px_x(int twips) const;
  int px_y(int twips) const;

  brivel::Control& logic_;
  QWidget* host_;
  Boundary boundary_;
  std::vector<Entry> entries_;          // in the surface's order, parents first
  std::map<std::string, std::size_t> by_name_;
  std::unordered_map<const brivel::Widget*, std::size_t> by_model_;
  std::map<QObject*, std::size_t> by_object_;
  int mirroring_ = 0;                   // > 0 while a program change is applied
  // A frame of the screen (60 Hz), and how long into it a held paint may wait for the
  // next pass of a wait: the rest of the frame leaves room for that pass and the paint.
  static constexpr qint64 kFrameMs = 16;
  static constexpr double kShareFrameMs = 12.0;
  std::vector<QPointer<QWidget>> held_;  // widgets whose paint waits (hold_paint())
  std::vector<std::size_t> texts_due_;   // entries whose new text waits for that paint
  QElapsedTimer held_since_;             // since the first of them
};

}  // namespace brivel::qt
