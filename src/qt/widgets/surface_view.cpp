#include "surface_view.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QFocusEvent>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QFontMetricsF>
#include <QGlyphRun>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QRawFont>
#include <QScreen>
#include <QSignalBlocker>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <set>

#include "control/control.h"
#include "control/interface.h"
#include "pictures.h"
#include "qt/core/qt_platform.h"

namespace brivel::qt {

namespace {

using Logic = brivel::Control;
using interface::EventKind;

// Fields drawn in the button-face colour with grey text.
const std::set<std::string>& grey_fields() {
  static const std::set<std::string> names = {"TxtSpecNO", "TxtGratingLines", "TxtBlazeWaveLen",
                                              "TxtZeroOffset", "TxtYear"};
  return names;
}

// Labels whose text follows the instrument's reports, many times a second while it moves.
const std::set<std::string>& readouts() {
  static const std::set<std::string> names = {"LblWaveLen"};
  return names;
}

// Design fonts and the installed families that can stand in for them, best first.
// Captions line things up with runs of blanks ("No.0", 14 blanks, "nm" around a text
// box). The blank of the Chinese design font is half an em wide, twice that of the
// CJK stand-ins, so captions shown in a stand-in for it use the en space (U+2002, half
// an em by definition) instead. Editable texts keep their blanks.
struct FontStandIns {
  const char* design;
  QChar blank;
  std::vector<const char*> families;
};
const std::vector<FontStandIns>& stand_ins() {
  static const std::vector<FontStandIns> table = {
      {"宋体", QChar(0x2002), {"SimSun", "NSimSun", "WenQuanYi Micro Hei", "Noto Sans CJK SC",
                              "Noto Serif CJK SC", "Source Han Sans SC", "AR PL UMing CN"}},
      {"Arial", QLatin1Char(' '),
       {"Arial", "Liberation Sans", "Arimo", "DejaVu Sans Condensed", "DejaVu Sans"}},
      {"Times New Roman", QLatin1Char(' '),
       {"Times New Roman", "Liberation Serif", "Tinos", "DejaVu Serif Condensed", "DejaVu Serif"}},
  };
  return table;
}

const FontStandIns* stand_ins_of(const std::string& design_name) {
  for (const FontStandIns& entry : stand_ins())
    if (design_name == entry.design) return &entry;
  return nullptr;
}

// A button that reports the mouse button of every press and release: the jog buttons
// need the code (left 1, right 2, middle 4) and handle other buttons than the left one.
class PressButton : public QPushButton {
 public:
  using QPushButton::QPushButton;
  std::function<void(short)> on_press;
  std::function<void(short)> on_release;

 protected:
  void mousePressEvent(QMouseEvent* event) override {
    QPushButton::mousePressEvent(event);
    event->accept();  // keeps the release of any button coming here
    // The handler may run for as long as the button is held (the jog loop yields to
    // the event loop, which delivers the release meanwhile): call a copy, and touch
    // nothing of this object afterwards.
    if (auto handler = on_press) handler(button_code(event->button()));
  }
  void mouseReleaseEvent(QMouseEvent* event) override {
    QPushButton::mouseReleaseEvent(event);
    event->accept();
    if (auto handler = on_release) handler(button_code(event->button()));
  }
};

// The status lamp: a picture that reports mouse presses.
class LampLabel : public QLabel {
 public:
  using QLabel::QLabel;
  std::function<void(short)> on_press;

 protected:
  void mousePressEvent(QMouseEvent* event) override {
    event->accept();
    if (auto handler = on_press) handler(button_code(event->button()));
  }
  // The second press of a double click is no new press (it would connect and at once
  // disconnect again), and the right button belongs to the port dialog, not to a
  // context menu of the host.
  void mouseDoubleClickEvent(QMouseEvent* event) override { event->accept(); }
  void contextMenuEvent(QContextMenuEvent* event) override { event->accept(); }
};

// A decoration line, drawn etched (dark over light) as on a dialog.
class LineView : public QWidget {
 public:
  explicit LineView(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
  }
  void set_points(QPoint from, QPoint to) {
    from_ = from;
    to_ = to;
    update();
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    const bool horizontal = std::abs(to_.y() - from_.y()) <= std::abs(to_.x() - from_.x());
    const QPoint offset = horizontal ? QPoint(0, 1) : QPoint(1, 0);
    p.setPen(palette().color(QPalette::Dark));
    p.drawLine(from_, to_);
    p.setPen(palette().color(QPalette::Light));
    p.drawLine(from_ + offset, to_ + offset);
  }

 private:
  QPoint from_, to_;
};

QString q(const std::string& text) { return QString::fromStdString(text); }

bool is_panel(const brivel::Widget& w) {
  return w.kind() == WidgetKind::Frame && w.parent().empty();
}

}  // namespace

// ---- fonts and buttons --------------------------------------------------------------

QString family_for(const std::string& design_name) {
  // Asked for every caption shown: the installed families are looked through once per
  // design name (GUI thread only, as every widget).
  static std::map<std::string, QString> chosen;
  const auto known = chosen.find(design_name);
  if (known != chosen.end()) return known->second;
  static const QStringList installed = QFontDatabase::families();
  QString family = q(design_name);
  if (const FontStandIns* entry = stand_ins_of(design_name)) {
    for (const char* candidate : entry->families) {
      if (installed.contains(QString::fromUtf8(candidate), Qt::CaseInsensitive)) {
        family = QString::fromUtf8(candidate);
        break;
      }
    }
  }
  chosen.emplace(design_name, family);
  return family;
}

QFont design_font(const std::string& name, double points, bool bold) {
  QFont font(family_for(name));
  font.setPointSizeF(points);
  font.setBold(bold);
  return font;
}

QString caption_for(const std::string& text, const std::string& design_font_name) {
  QString shown = q(text);
  const FontStandIns* entry = stand_ins_of(design_font_name);
  if (entry && entry->blank != QLatin1Char(' ') && family_for(design_font_name) != QString::fromUtf8(entry->design))
    shown.replace(QLatin1Char(' '), entry->blank);
  return shown;
}

short button_code(Qt::MouseButton button) {
  switch (button) {
    case Qt::LeftButton: return 1;
    case Qt::RightButton: return 2;
    case Qt::MiddleButton: return 4;
    default: return 0;
  }
}

// ---- opaque widgets on their parent's picture -----------------------------------------

Backdrop::Backdrop(QWidget* widget, bool painted_by_widget)
    : QObject(widget), widget_(widget), painted_by_widget_(painted_by_widget) {
  widget->setAttribute(Qt::WA_OpaquePaintEvent);  // what is under it is painted here
  widget->installEventFilter(this);
}

void Backdrop::paint(QPainter& painter) {
  if (!valid_ || picture_.devicePixelRatio() != widget_->devicePixelRatioF()) take();
  const QPainter::CompositionMode mode = painter.compositionMode();
  painter.setCompositionMode(QPainter::CompositionMode_Source);
  painter.drawPixmap(0, 0, picture_);
  painter.setCompositionMode(mode);
}

void Backdrop::watch_parent(QWidget* parent) {
  if (parent_ == parent) return;
  if (parent_) parent_->removeEventFilter(this);
  parent_ = parent;
  if (parent_) parent_->installEventFilter(this);
}

void Backdrop::take() {
  // What the parent paints under the widget, on the parent's background: the picture a
  // widget without a background of its own shows through.
  QWidget* under = widget_->parentWidget();
  const qreal ratio = widget_->devicePixelRatioF();
  // Without an alpha channel (filled with an opaque colour first), so that painting it
  // is a copy of pixels rather than a blend.
  picture_ = QPixmap(widget_->size() * ratio);
  picture_.setDevicePixelRatio(ratio);
  picture_.fill(widget_->palette().color(QPalette::Window));
  if (under) under->render(&picture_, QPoint(), QRegion(widget_->geometry()), QWidget::DrawWindowBackground);
  watch_parent(under);
  valid_ = true;
}

bool Backdrop::eventFilter(QObject* watched, QEvent* event) {
  const QEvent::Type type = event->type();
  if (watched == widget_) {
    switch (type) {
      case QEvent::Paint: {
        if (painted_by_widget_) break;
        QPainter painter(widget_);
        paint(painter);
        break;  // the widget paints itself over it
      }
      case QEvent::Resize:
      case QEvent::Move:
      case QEvent::Show:
      case QEvent::PaletteChange:
      case QEvent::StyleChange:
      case QEvent::EnabledChange:
        valid_ = false;
        break;
      case QEvent::ParentChange:
        valid_ = false;
        watch_parent(nullptr);
        break;
      default:
        break;
    }
  } else if (watched == parent_) {
    switch (type) {
      case QEvent::Resize:
      case QEvent::PaletteChange:
      case QEvent::StyleChange:
      case QEvent::EnabledChange:
      case QEvent::FontChange:
        valid_ = false;
        widget_->update();
        break;
      default:
        break;
    }
  }
  return false;
}

// The glyphs of one font for the characters a wavelength is written with.
struct ReadoutLabel::Glyphs {
  QRawFont raw;
  qreal ascent = 0, descent = 0;
  std::unordered_map<char16_t, std::pair<quint32, qreal>> of;  // index and advance
  bool verified = false;  // drew the sample exactly as QLabel does
};

namespace {
constexpr const char* kReadoutCharacters = "0123456789.-";
}

ReadoutLabel::ReadoutLabel(QWidget* parent)
    : QLabel(parent), backdrop_(new Backdrop(this, /*painted_by_widget=*/true)) {}

bool ReadoutLabel::quick_way_allowed() const {
  // The settings the label is drawn with in the control: plain text, left and centred
  // vertically, no frame, margin, indent or wrap, left to right, enabled.
  return textFormat() == Qt::PlainText && alignment() == (Qt::AlignLeft | Qt::AlignVCenter) &&
         frameWidth() == 0 && margin() == 0 && indent() <= 0 && !wordWrap() &&
         layoutDirection() == Qt::LeftToRight && isEnabled() && !text().isEmpty();
}

void ReadoutLabel::draw_glyphs(QPainter& painter, const Glyphs& glyphs, const QString& text,
                               const QColor& colour) const {
  // Where QLabel puts the line: left in the contents, centred on its height (ascent and
  // descent), the glyphs one advance after another from the baseline.
  const QRectF box = contentsRect();
  const qreal baseline = box.top() + (box.height() - (glyphs.ascent + glyphs.descent)) / 2 + glyphs.ascent;
  QList<quint32> indexes;
  QList<QPointF> positions;
  indexes.reserve(text.size());
  positions.reserve(text.size());
  qreal x = box.left();
  for (const QChar c : text) {
    const auto& glyph = glyphs.of.at(c.unicode());
    indexes.append(glyph.first);
    positions.append(QPointF(x, baseline));
    x += glyph.second;
  }
  QGlyphRun run;
  run.setRawFont(glyphs.raw);
  run.setGlyphIndexes(indexes);
  run.setPositions(positions);
  painter.setPen(colour);
  painter.drawGlyphRun(QPointF(0, 0), run);
}

ReadoutLabel::Glyphs* ReadoutLabel::glyphs_for_font() {
  const qreal ratio = devicePixelRatioF();
  if (!current_known_ || current_ratio_ != ratio) {
    current_ = look_up_glyphs();
    current_ratio_ = ratio;
    current_known_ = true;
  }
  return current_;
}

void ReadoutLabel::changeEvent(QEvent* event) {
  // A new font (its own or inherited), or a new style: the glyphs are looked up again.
  if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange) current_known_ = false;
  QLabel::changeEvent(event);
}

ReadoutLabel::Glyphs* ReadoutLabel::look_up_glyphs() {
  const QString key = font().key() + QLatin1Char('@') + QString::number(devicePixelRatioF());
  auto& slot = glyphs_[key];
  if (slot) return slot->verified ? slot.get() : nullptr;
  slot = std::make_shared<Glyphs>();
  Glyphs& glyphs = *slot;
  glyphs.raw = QRawFont::fromFont(font());
  if (!glyphs.raw.isValid()) return nullptr;
  glyphs.ascent = glyphs.raw.ascent();
  glyphs.descent = glyphs.raw.descent();
  const QString characters = QString::fromLatin1(kReadoutCharacters);
  const QList<quint32> indexes = glyphs.raw.glyphIndexesForString(characters);
  if (indexes.size() != characters.size()) return nullptr;
  const QList<QPointF> advances = glyphs.raw.advancesForGlyphIndexes(indexes);
  for (int i = 0; i < characters.size(); ++i) {
    if (indexes[i] == 0) return nullptr;  // a character the font lacks
    glyphs.of.emplace(characters[i].unicode(), std::make_pair(indexes[i], advances[i].x()));
  }
  // The sample, drawn both ways in black on white: only an exact match lets the quick
  // way be used for this font (the colour is the label's when it paints).
  QPalette black_on_white = palette();
  black_on_white.setColor(QPalette::WindowText, Qt::black);
  black_on_white.setColor(QPalette::Window, Qt::white);
  QLabel twin;
  twin.setAttribute(Qt::WA_DontShowOnScreen);
  twin.setTextFormat(Qt::PlainText);
  twin.setFont(font());
  twin.setPalette(black_on_white);
  twin.setAlignment(alignment());
  twin.setText(QStringLiteral("-0123.456789"));
  twin.setFixedSize(size());
  twin.ensurePolished();
  const qreal ratio = devicePixelRatioF();
  QImage drawn(size() * ratio, QImage::Format_ARGB32_Premultiplied);
  drawn.setDevicePixelRatio(ratio);
  drawn.fill(Qt::white);
  QImage quick = drawn;
  twin.render(&drawn, QPoint(), QRegion(), QWidget::RenderFlags());
  {
    QPainter painter(&quick);
    draw_glyphs(painter, glyphs, twin.text(), Qt::black);
  }
  glyphs.verified = drawn == quick;
  return glyphs.verified ? &glyphs : nullptr;
}

bool ReadoutLabel::draws_glyphs() {
  if (!quick_way_allowed()) return false;
  const Glyphs* glyphs = glyphs_for_font();
  if (!glyphs) return false;
  for (const QChar c : text())
    if (glyphs->of.count(c.unicode()) == 0) return false;
  return true;
}

void ReadoutLabel::paintEvent(QPaintEvent* event) {
  {
    QPainter painter(this);
    backdrop_->paint(painter);
    if (draws_glyphs()) {
      // The colour QLabel's style takes: the text role of the widget's palette (the
      // palette a QStyleOption takes from the widget) in its current group.
      draw_glyphs(painter, *glyphs_for_font(), text(), palette().color(foregroundRole()));
      return;
    }
  }
  QLabel::paintEvent(event);
}

// ---- building -------------------------------------------------------------------------

SurfaceView::SurfaceView(ControlAccess control, QWidget* host, Boundary boundary)
    : QObject(nullptr), control_(std::move(control)), host_(host), boundary_(std::move(boundary)) {
  // The surface as it stands, copied on the control's thread; from then on every change
  // is noted there and sent over in batches.
  control_.call([this](Logic& logic) {
    const brivel::Surface& surface = logic.surface();
    surface_ = &surface;
    for (brivel::Widget* live : surface.widgets()) {
      copies_.push_back(std::make_unique<brivel::Widget>(live->copy()));
      entries_.push_back(Entry{copies_.back().get(), live, nullptr, nullptr});
      by_live_[live] = entries_.size() - 1;
    }
    changes_.assign(entries_.size(), 0u);
    focused_ = surface.focused();
    surface_font_ = surface.font_name();
    logic.surface().set_observer(
        [this](const brivel::Widget& live, brivel::Change what) { observed(live, what); });
    // A batch goes when the control's thread is about to sleep or wakes (see hold()).
    if (QAbstractEventDispatcher* loop = QAbstractEventDispatcher::instance()) {
      watch_.push_back(connect(loop, &QAbstractEventDispatcher::aboutToBlock, this,
                               [this] { control_sleeps(); }, Qt::DirectConnection));
      watch_.push_back(connect(loop, &QAbstractEventDispatcher::awake, this,
                               [this] { control_wakes(); }, Qt::DirectConnection));
    }
  });
  build();
}

SurfaceView::~SurfaceView() {
  for (const QMetaObject::Connection& c : watch_) disconnect(c);
}

int SurfaceView::px_x(int twips) const {
  return static_cast<int>(std::lround(twips * host_->logicalDpiX() / 1440.0));
}
int SurfaceView::px_y(int twips) const {
  return static_cast<int>(std::lround(twips * host_->logicalDpiY() / 1440.0));
}

void SurfaceView::build() {
  for (std::size_t i = 0; i < entries_.size(); ++i) by_name_[entries_[i].model->name()] = i;
  host_->setFont(QFont(family_for(surface_font_), host_->font().pointSize()));
  ++mirroring_;
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    Entry& entry = entries_[i];
    entry.view = create(entry);
    entry.view->setObjectName(q(entry.model->name()));
    by_object_[entry.view] = i;
    if (auto* combo = qobject_cast<QComboBox*>(entry.view.data()))
      if (combo->lineEdit()) by_object_[combo->lineEdit()] = i;
    for (Change what : {Change::Geometry, Change::Font, Change::Items, Change::Text, Change::Value,
                        Change::Picture, Change::Enabled, Change::Visible})
      apply(entry, what);
    connect_operator(entry);
    entry.view->installEventFilter(this);
  }
  --mirroring_;
}

QWidget* SurfaceView::create(Entry& entry) {
  const brivel::Widget& model = *entry.model;
  QWidget* parent = host_;
  if (!model.parent().empty())
    if (Entry* owner = entry_named(model.parent()); owner && owner->view) parent = owner->view;

  switch (model.kind()) {
    case WidgetKind::Frame: {
      if (is_panel(model)) return new QFrame(parent);  // the panels carry no caption
      return new QGroupBox(parent);
    }
    case WidgetKind::Label: {
      auto* label = readouts().count(model.name()) ? new ReadoutLabel(parent) : new QLabel(parent);
      label->setTextFormat(Qt::PlainText);  // captions are text, never markup
      const Entry* owner = entry_named(model.parent());
      const bool in_window = owner && owner->model->kind() == WidgetKind::Window;
      label->setAlignment(in_window ? Qt::AlignCenter : Qt::AlignLeft | Qt::AlignVCenter);
      return label;
    }
    case WidgetKind::TextBox: {
      auto* edit = new QLineEdit(parent);
      QPalette palette = edit->palette();
      if (grey_fields().count(model.name())) {
        palette.setColor(QPalette::Base, palette.color(QPalette::Button));
        palette.setColor(QPalette::Text, palette.color(QPalette::Disabled, QPalette::Text));
      } else if (interface::takes(model.name(), EventKind::KeyPress)) {
        palette.setColor(QPalette::Text, palette.color(QPalette::ButtonText));
      }
      edit->setPalette(palette);
      // The identification, the refresh and the filter read-back fill text boxes one
      // after the other between the exchanges: each repaints the box alone, not the
      // frame under it.
      new Backdrop(edit);
      return edit;
    }
    case WidgetKind::ComboBox: {
      auto* combo = new QComboBox(parent);
      combo->setEditable(true);  // a drop-down combo: the operator may type
      combo->setInsertPolicy(QComboBox::NoInsert);
      combo->setMaxVisibleItems(12);
      return combo;
    }
    case WidgetKind::CheckBox: return new QCheckBox(parent);
    case WidgetKind::Button:
    case WidgetKind::PictureButton: {
      auto* button = new PressButton(parent);
      button->setAutoDefault(false);  // Enter in a host dialog must not click us
      return button;
    }
    case WidgetKind::Picture: {
      auto* lamp = new LampLabel(parent);
      lamp->setAlignment(Qt::AlignCenter);
      return lamp;
    }
    case WidgetKind::Line: return new LineView(parent);
    case WidgetKind::Window: {
      // The wait window: a small separate window over the host, shown without taking
      // the focus (a focus change would run TxtOpenPos's focus-loss handler).
      auto* window = new QFrame(host_, Qt::Tool | Qt::FramelessWindowHint);
      window->setFrameStyle(QFrame::Panel | QFrame::Raised);
      window->setLineWidth(2);
      window->setAttribute(Qt::WA_ShowWithoutActivating);
      window->setAutoFillBackground(true);
      return window;
    }
  }
  return new QWidget(parent);
}

void SurfaceView::connect_operator(Entry& entry) {
  const std::string name = entry.model->name();
  const std::size_t at = by_name_.at(name);

  if (auto* edit = qobject_cast<QLineEdit*>(entry.view.data())) {
    connect(edit, &QLineEdit::textEdited, this, [this, at](const QString& text) { edited(entries_[at], text); });
  }
  if (auto* combo = qobject_cast<QComboBox*>(entry.view.data())) {
    if (QLineEdit* edit = combo->lineEdit())
      connect(edit, &QLineEdit::textEdited, this, [this, at](const QString& text) { edited(entries_[at], text); });
    const std::size_t index = by_name_.at(name);
    connect(combo, &QComboBox::textActivated, this,
            [this, index](const QString& text) { combo_chosen(entries_[index], text); });
  }
  if (auto* check = qobject_cast<QCheckBox*>(entry.view.data())) {
    const std::size_t index = by_name_.at(name);
    connect(check, &QCheckBox::clicked, this, [this, index] { check_clicked(entries_[index]); });
  }
  const interface::Event* down = interface::find_event(name, EventKind::MouseDown);
  const interface::Event* up = interface::find_event(name, EventKind::MouseUp);
  const auto handle = [this](const interface::Event* event) {
    return [this, event](short code) { fire(*event, code); };
  };
  if (auto* button = dynamic_cast<PressButton*>(entry.view.data())) {
    if (const interface::Event* click = interface::find_event(name, EventKind::Click))
      connect(button, &QPushButton::clicked, this, [this, click] { fire(*click); });
    if (down) button->on_press = handle(down);
    if (up) button->on_release = handle(up);
  }
  if (auto* lamp = dynamic_cast<LampLabel*>(entry.view.data()))
    if (down) lamp->on_press = handle(down);
}

// ---- mirroring the model ------------------------------------------------------------

SurfaceView::Entry* SurfaceView::entry_named(const std::string& name) {
  const auto found = by_name_.find(name);
  return found == by_name_.end() ? nullptr : &entries_[found->second];
}

SurfaceView::Entry* SurfaceView::entry_of(QObject* object) {
  const auto found = by_object_.find(object);
  return found == by_object_.end() ? nullptr : &entries_[found->second];
}

QWidget* SurfaceView::widget(const std::string& name) const {
  const auto found = by_name_.find(name);
  return found == by_name_.end() ? nullptr : entries_[found->second].view.data();
}

QSize SurfaceView::panel_size() const {
  QSize size;
  for (const Entry& entry : entries_)
    if (is_panel(*entry.model))
      size = size.expandedTo(QSize(px_x(entry.model->width()), px_y(entry.model->height())));
  return size;
}

// ---- the control's thread: noting changes and sending them ------------------------------

void SurfaceView::observed(const brivel::Widget& live, brivel::Change what) {
  if (echo_ && what == echo_what_ && (what == Change::Focus || echo_ == &live)) return;
  if (what == Change::Focus) {
    focus_changed_ = true;
    hold();
    return;
  }
  const auto found = by_live_.find(&live);
  if (found == by_live_.end()) return;  // added after the view was built: not shown
  if (what == Change::Font) font_changed_ = true;
  unsigned& changes = changes_[found->second];
  if (changes == 0) changed_.push_back(found->second);
  changes |= 1u << static_cast<unsigned>(what);
  hold();
}

void SurfaceView::touch() {
  touched_ = true;
  hold();
}

void SurfaceView::hold() {
  if (holding_) return;
  holding_ = true;
  held_since_ = std::chrono::steady_clock::now();
}

double SurfaceView::held_ms() const {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - held_since_).count();
}

void SurfaceView::control_sleeps() {
  // The thread is about to sleep: unless its wait wakes again early in the frame (a
  // pass of the follow loop: the next report comes within it), the batch goes now.
  if (!holding_) return;
  if (held_ms() + 1000.0 * QtEventPump::sleep_ahead() < kShareFrameMs) return;
  send_now();
}

void SurfaceView::control_wakes() {
  // Outside an operation (the control's idle loop) at once; inside one, should its
  // waits never sleep, after a frame.
  if (!holding_) return;
  if (!QtEventPump::inside() || held_ms() >= kFrameMs) send_now();
}

void SurfaceView::send_now() {
  if (!holding_) return;
  holding_ = false;
  auto sent = std::make_shared<Sent>();
  sent->items.reserve(changed_.size());
  for (std::size_t index : changed_) {
    sent->items.push_back(Sent::Item{index, entries_[index].live->copy(), changes_[index]});
    changes_[index] = 0;
  }
  changed_.clear();
  if (focus_changed_) sent->focus = surface_->focused();
  if (font_changed_) sent->surface_font = surface_->font_name();
  focus_changed_ = font_changed_ = touched_ = false;
  QMetaObject::invokeMethod(this, [this, sent] { apply_sent(*sent); }, Qt::QueuedConnection);
}

// ---- the GUI thread: applying a batch ------------------------------------------------------

void SurfaceView::apply_sent(Sent& sent) {
  // In the order a widget is built: its place and font before its text, its list before
  // the entry chosen from it, its contents before it is shown.
  static constexpr Change kOrder[] = {Change::Geometry, Change::Font,    Change::Items,
                                      Change::Text,     Change::Value,   Change::Picture,
                                      Change::Enabled,  Change::Visible, Change::Selection};
  if (sent.surface_font) surface_font_ = *sent.surface_font;
  ++mirroring_;
  for (Sent::Item& item : sent.items) {
    Entry& entry = entries_[item.index];
    *entry.model = std::move(item.copy);
    if (!entry.view) continue;
    for (Change what : kOrder)
      if (item.changes & (1u << static_cast<unsigned>(what))) apply(entry, what);
  }
  if (sent.focus) {
    focused_ = *sent.focus;
    apply_focus();
  }
  --mirroring_;
  if (after_apply_) after_apply_();
}

void SurfaceView::apply(Entry& entry, brivel::Change what) {
  QWidget* view = entry.view;
  if (!view) return;
  const QSignalBlocker block(view);
  switch (what) {
    case Change::Text: apply_text(entry); break;
    case Change::Visible: apply_visible(entry); break;
    case Change::Enabled: view->setEnabled(entry.model->enabled()); break;
    case Change::Font: apply_font(entry); break;
    case Change::Items: apply_items(entry); break;
    case Change::Value: apply_value(entry); break;
    case Change::Picture: apply_picture(entry); break;
    case Change::Geometry: apply_geometry(entry); break;
    case Change::Selection:
      if (auto* combo = qobject_cast<QComboBox*>(view); combo && combo->lineEdit()) {
        const int length = entry.model->sel_length();
        if (length <= 0)
          combo->lineEdit()->deselect();
        else
          combo->lineEdit()->setSelection(0, length);
      }
      break;
    case Change::Focus: apply_focus(); break;
  }
}

void SurfaceView::apply_text(Entry& entry) {
  QWidget* view = entry.view;
  if (auto* label = qobject_cast<QLabel*>(view)) {  // first: the readout changes most often
    if (entry.model->kind() != WidgetKind::Picture) {  // the lamp shows a picture alone
      label->setText(caption_for(entry.model->text(), entry.model->font_name()));
      fit_text(entry);
    }
    return;
  }
  const QString text = q(entry.model->text());
  const QString caption = caption_for(entry.model->text(), entry.model->font_name());
  if (auto* edit = qobject_cast<QLineEdit*>(view)) {
    if (edit->text() != text) edit->setText(text);  // keeps the cursor while typing
  } else if (auto* combo = qobject_cast<QComboBox*>(view)) {
    const QSignalBlocker block_edit(combo->lineEdit());
    if (combo->currentText() != text || combo->currentIndex() < 0) {
      combo->setCurrentIndex(combo->findText(text, Qt::MatchExactly));
      combo->setEditText(text);
    }
  } else if (auto* group = qobject_cast<QGroupBox*>(view)) {
    group->setTitle(caption);
  } else if (auto* button = qobject_cast<QAbstractButton*>(view)) {
    button->setText(caption);
  } else if (entry.model->kind() == WidgetKind::Window) {
    view->setWindowTitle(text);
  }
}

void SurfaceView::apply_geometry(Entry& entry) {
  const brivel::Widget& m = *entry.model;
  QWidget* view = entry.view;
  if (m.kind() == WidgetKind::Window) {
    view->setFixedSize(px_x(m.width()), px_y(m.height()));
    return;
  }
  if (auto* line = dynamic_cast<LineView*>(view)) {
    const QPoint from(px_x(m.left()), px_y(m.top()));
    const QPoint to(px_x(m.left() + m.width()), px_y(m.top() + m.height()));
    QRect box = QRect(from, to).normalized();
    box.setWidth(std::max(box.width(), 2));  // room for the etched line
    box.setHeight(std::max(box.height(), 2));
    line->setGeometry(box);
    line->set_points(from - box.topLeft(), to - box.topLeft());
    return;
  }
  // Edges are converted, not sizes, so that neighbours that touch in twips touch on
  // the screen.
  const int left = px_x(m.left());
  const int top = px_y(m.top());
  const QRect box(left, top, px_x(m.left() + m.width()) - left, px_y(m.top() + m.height()) - top);
  if (qobject_cast<ReadoutLabel*>(view)) {
    // A fixed size: a new text then posts no layout request to the parent (which has no
    // layout to run) at every report.
    view->setFixedSize(box.size());
    view->move(box.topLeft());
  } else {
    view->setGeometry(box);
  }
  refresh_symbol(entry);
  refresh_wrap(entry);
  fit_text(entry);
  if (m.kind() == WidgetKind::Picture) apply_picture(entry);
}

void SurfaceView::apply_font(Entry& entry) {
  const brivel::Widget& m = *entry.model;
  if (!m.bears_text() && m.kind() != WidgetKind::Window) return;
  entry.view->setFont(design_font(m.font_name(), m.font_size(), m.bold()));
  entry.fit.reset();  // the advances were of the old font
  refresh_wrap(entry);
  // Captions are shown in the font's way (blanks) and fitted to its size.
  if (m.kind() != WidgetKind::TextBox && m.kind() != WidgetKind::ComboBox) apply_text(entry);
  // The control surface's own font follows the language routine as well.
  const QString surface_family = family_for(surface_font_);
  if (host_->font().family() != surface_family) {
    QFont host_font = host_->font();
    host_font.setFamily(surface_family);
    host_->setFont(host_font);
  }
}

void SurfaceView::apply_items(Entry& entry) {
  auto* combo = qobject_cast<QComboBox*>(entry.view.data());
  if (!combo) return;
  const QSignalBlocker block_edit(combo->lineEdit());
  const auto& items = entry.model->items();
  const int shown = combo->count();
  // The list grows one entry at a time while the program fills it: append when only
  // the last entry is new, rebuild otherwise.
  bool append = static_cast<int>(items.size()) == shown + 1;
  for (int i = 0; append && i < shown; ++i) append = combo->itemText(i) == q(items[i]);
  if (append) {
    combo->addItem(q(items.back()));
  } else {
    combo->clear();
    for (const std::string& item : items) combo->addItem(q(item));
  }
  apply_text(entry);  // adding to an empty list selects its first entry: keep the text
}

void SurfaceView::apply_value(Entry& entry) {
  auto* check = qobject_cast<QCheckBox*>(entry.view.data());
  if (!check) return;
  const int value = entry.model->value();
  check->setTristate(value == 2);
  check->setCheckState(value == 1 ? Qt::Checked : value == 2 ? Qt::PartiallyChecked : Qt::Unchecked);
}

void SurfaceView::apply_picture(Entry& entry) {
  auto* lamp = dynamic_cast<LampLabel*>(entry.view.data());
  if (!lamp) return;
  const int side = std::min(lamp->width(), lamp->height());
  lamp->setPixmap(lamp_picture(entry.model->picture(), side, host_->devicePixelRatioF()));
}

void SurfaceView::apply_visible(Entry& entry) {
  QWidget* view = entry.view;
  const bool visible = entry.model->visible();
  if (entry.model->kind() != WidgetKind::Window) {
    view->setVisible(visible);
    return;
  }
  if (!visible) {
    view->hide();
    return;
  }
  // Centred over the host's window (or the screen while the host is not shown).
  const QWidget* anchor = host_->window();
  QPoint centre;
  if (anchor->isVisible())
    centre = anchor->frameGeometry().center();
  else if (const QScreen* screen = host_->screen())
    centre = screen->availableGeometry().center();
  view->move(centre - QPoint(view->width() / 2, view->height() / 2));
  view->show();
  view->raise();
}

void SurfaceView::apply_focus() {
  Entry* entry = entry_named(focused_);
  if (entry && entry->view) entry->view->setFocus(Qt::OtherFocusReason);
}

void SurfaceView::refresh_symbol(Entry& entry) {
  auto* button = dynamic_cast<PressButton*>(entry.view.data());
  if (!button || entry.model->kind() != WidgetKind::PictureButton) return;
  const Symbol symbol = symbol_for(entry.model->name());
  if (symbol == Symbol::None) return;
  const int side = std::max(8, button->height() - 12);
  // Picture-only buttons get a wide symbol (the jog arrows are doubled).
  const QSize size = entry.model->text().empty() && entry.model->design_text().empty()
                         ? QSize(side * 2, side)
                         : QSize(side, side);
  button->setIcon(QIcon(symbol_picture(symbol, size, button->palette().color(QPalette::ButtonText),
                                       host_->devicePixelRatioF())));
  button->setIconSize(size);
}

void SurfaceView::fit_text(Entry& entry) {
  // A one-line label whose text is wider than the label shows it in a smaller size
  // rather than clipped: a clipped wavelength ("1241.3" of 1241.33) would read as a
  // wrong value. The design size is used whenever the text fits.
  auto* label = qobject_cast<QLabel*>(entry.view.data());
  if (!label || entry.model->kind() == WidgetKind::Picture || label->wordWrap()) return;  // not the lamp
  const brivel::Widget& m = *entry.model;
  if (!entry.fit) {
    entry.fit = std::make_shared<FitCache>();
    entry.fit->design = design_font(m.font_name(), m.font_size(), m.bold());
  }
  FitCache& fit = *entry.fit;
  const QString text = label->text();
  // The room is measured again when the label's size changes (its margins are set once).
  if (label->size() != fit.room_for) {
    fit.room = label->contentsRect().width();
    fit.room_for = label->size();
  }
  const double room = fit.room;
  constexpr double kSmallest = 6.0;  // points
  constexpr double kStep = 0.5;      // points
  // The sizes tried go down from the design size by half points: the first that fits
  // is shown. A new wavelength mostly has the width of the one before, so the size
  // that one took is tried first: when it fits and the size above it does not, it is
  // that first size (a text is never narrower in a larger size).
  const double design = fit.design.pointSizeF();
  const auto next_smaller = [&](double points) { return std::max(kSmallest, points - kStep); };
  double points = design;
  bool found = false;
  if (fit.last > 0 && fit.last < design) {
    double above = design;
    while (above > kSmallest && next_smaller(above) > fit.last) above = next_smaller(above);
    if (next_smaller(above) == fit.last) {  // one of the sizes tried
      found = !fits(fit.at(above), text, room) && (fit.last <= kSmallest || fits(fit.at(fit.last), text, room));
      if (found) points = fit.last;
    }
  }
  if (!found)
    while (points > kSmallest && !fits(fit.at(points), text, room)) points = next_smaller(points);
  const double shown = fit.last;
  fit.last = points;
  // Fonts reach the label only from this view (a new design font starts a new cache):
  // after its first fit, the size the previous text took tells whether it needs a new one.
  if (shown > 0 && points == shown) return;
  const QFont& font = fit.at(points).font;
  if (label->font() != font) label->setFont(font);
}

SurfaceView::FitSize& SurfaceView::FitCache::at(double points) {
  const long key = std::lround(points * 100.0);
  auto found = sizes.find(key);
  if (found == sizes.end()) {
    QFont font = design;
    font.setPointSizeF(points);
    found = sizes.emplace(key, FitSize(font)).first;
  }
  return found->second;
}

bool SurfaceView::fits(FitSize& size, const QString& text, double room) {
  // A wavelength changes many times a second while the grating moves: its width is
  // summed from the advances of its characters, kept per size, instead of shaping the
  // text at every size tried. Kerning moves a pair by a fraction of a pixel; only a sum
  // within half a pixel of the room is measured exactly.
  constexpr double kSpare = 0.5;
  double width = 0.0;
  for (const QChar c : text) {
    const char16_t code = c.unicode();
    qreal& advance = code < size.ascii.size() ? size.ascii[code] : size.others.try_emplace(code, -1.0).first->second;
    if (advance < 0) {
      if (c.isSurrogate() || c.category() == QChar::Mark_NonSpacing)  // shaped, not summed
        return QFontMetricsF(size.font).horizontalAdvance(text) <= room;
      advance = QFontMetricsF(size.font).horizontalAdvance(c);
    }
    width += advance;
  }
  if (width + kSpare <= room) return true;
  if (width - kSpare > room) return false;
  return QFontMetricsF(size.font).horizontalAdvance(text) <= room;
}

void SurfaceView::refresh_wrap(Entry& entry) {
  // A label wraps its caption when it is tall enough for two lines, as the design's
  // multi-line labels do; a one-line label clips instead of hiding its second line.
  auto* label = qobject_cast<QLabel*>(entry.view.data());
  if (!label || dynamic_cast<LampLabel*>(label)) return;
  label->setWordWrap(label->height() >= 2 * QFontMetrics(label->font()).lineSpacing());
}

// ---- operator events ------------------------------------------------------------------

void SurfaceView::fire(const interface::Event& event, std::int16_t code) {
  const interface::Event* fired = &event;
  control_.post([this, fired, code](Logic& logic) {
    boundary_(interface::handler_name(*fired).c_str(), [&logic, fired, code] { interface::fire(logic, *fired, code); });
  });
}

void SurfaceView::edited(Entry& entry, const QString& text) {
  // The copy follows the box at once; the logic's own widget takes the text on its
  // thread, and is not sent back to the box (the operator may have typed on).
  std::string typed = text.toStdString();
  entry.model->set_text(typed);
  brivel::Widget* live = entry.live;
  control_.post([this, live, typed = std::move(typed)](Logic&) {
    echo_ = live;
    echo_what_ = Change::Text;
    live->set_text(typed);
    echo_ = nullptr;
  });
}

void SurfaceView::combo_chosen(Entry& entry, const QString& text) {
  entry.model->set_text(text.toStdString());
  brivel::Widget* live = entry.live;
  const interface::Event* click = interface::find_event(entry.model->name(), EventKind::Click);
  control_.post([this, live, click, chosen = text.toStdString()](Logic& logic) {
    live->set_text(chosen);
    if (click)
      boundary_(interface::handler_name(*click).c_str(), [&logic, click] { interface::fire(logic, *click); });
  });
}

void SurfaceView::check_clicked(Entry& entry) {
  // A click checks a clear or indeterminate box and clears a checked one; the model
  // decides (Qt's own tri-state cycle would pass through "indeterminate").
  entry.model->set_value(entry.model->value() == 1 ? 0 : 1);
  ++mirroring_;
  apply(entry, Change::Value);
  --mirroring_;
  brivel::Widget* live = entry.live;
  const interface::Event* click = interface::find_event(entry.model->name(), EventKind::Click);
  control_.post([this, live, click](Logic& logic) {
    live->set_value(live->value() == 1 ? 0 : 1);
    if (click)
      boundary_(interface::handler_name(*click).c_str(), [&logic, click] { interface::fire(logic, *click); });
  });
}

bool SurfaceView::keys_and_focus(QObject* watched, QEvent* event, const interface::Event* key_press,
                                 const interface::Event* lost_focus) {
  if (event->type() == QEvent::KeyPress && key_press) {
    auto* key = static_cast<QKeyEvent*>(event);
    std::int16_t code = 0;
    bool consumed = false;  // Enter and Esc stay with the box (no host default button)
    if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
      code = 13;
      consumed = true;
    } else if (key->key() == Qt::Key_Escape) {
      code = 27;
      consumed = true;
    } else if (key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab || key->text().isEmpty()) {
      return false;  // moves the focus or is no character: no key-press event
    } else {
      code = static_cast<std::int16_t>(key->text().at(0).unicode());
    }
    QPointer<QObject> alive(watched);
    fire(*key_press, code);
    return consumed || !alive;  // other characters go into the box afterwards
  }
  if (event->type() == QEvent::FocusOut && lost_focus) {
    // Only a move of the focus inside the host's window counts: a message box or
    // another window taking the activation does not leave the box.
    const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
    if (reason == Qt::ActiveWindowFocusReason || reason == Qt::PopupFocusReason ||
        reason == Qt::MenuBarFocusReason)
      return false;
    fire(*lost_focus);
  }
  return false;
}

bool SurfaceView::eventFilter(QObject* watched, QEvent* event) {
  // Every event of every widget passes here (paints, moves, hovers): only these three
  // kinds concern the view, so no other is looked up.
  const QEvent::Type type = event->type();
  if (type != QEvent::KeyPress && type != QEvent::FocusOut && type != QEvent::FocusIn) return false;
  Entry* entry = entry_of(watched);
  if (!entry) return false;
  if (entry->view == watched && (event->type() == QEvent::KeyPress || event->type() == QEvent::FocusOut)) {
    const std::string& name = entry->model->name();
    const interface::Event* key_press = interface::find_event(name, EventKind::KeyPress);
    const interface::Event* lost_focus = interface::find_event(name, EventKind::LostFocus);
    if (key_press || lost_focus) return keys_and_focus(watched, event, key_press, lost_focus);
  }
  if (event->type() == QEvent::FocusIn && mirroring_ == 0 && entry->view == watched) {
    focused_ = entry->model->name();
    control_.post([this, name = focused_](Logic& logic) {
      echo_ = &logic.surface().at(name);
      echo_what_ = Change::Focus;
      logic.surface().set_focus(name);
      echo_ = nullptr;
    });
  }
  return false;
}

}  // namespace brivel::qt
