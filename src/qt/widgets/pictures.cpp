#include "pictures.h"

#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <algorithm>
#include <cmath>
#include <map>

namespace brivel::qt {

namespace {

QPixmap blank(QSize size, qreal ratio) {
  QPixmap pixmap(size * ratio);
  pixmap.setDevicePixelRatio(ratio);
  pixmap.fill(Qt::transparent);
  return pixmap;
}

// A triangle pointing left (dir -1) or right (dir +1) with its centre at (cx, cy).
QPainterPath triangle(qreal cx, qreal cy, qreal half_height, int dir) {
  const qreal depth = half_height * 1.2;
  QPainterPath path;
  path.moveTo(cx + dir * depth / 2, cy);
  path.lineTo(cx - dir * depth / 2, cy - half_height);
  path.lineTo(cx - dir * depth / 2, cy + half_height);
  path.closeSubpath();
  return path;
}

void draw_triangles(QPainter& p, QSizeF size, int count, int dir) {
  const qreal half = size.height() * 0.32;
  const qreal depth = half * 1.2;
  const qreal step = depth * 0.9;
  const qreal first = size.width() / 2 - step * (count - 1) / 2;
  for (int i = 0; i < count; ++i) p.drawPath(triangle(first + i * step, size.height() / 2, half, dir));
}

void draw_run(QPainter& p, QSizeF size, const QColor& ink) {
  const qreal h = size.height();
  const qreal cy = h / 2;
  const qreal left = size.width() / 2 - h * 0.4;
  const qreal right = size.width() / 2 + h * 0.4;
  p.setPen(QPen(ink, std::max<qreal>(1.5, h * 0.12), Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(left, cy), QPointF(right - h * 0.2, cy));
  p.setPen(Qt::NoPen);
  p.drawPath(triangle(right - h * 0.15, cy, h * 0.25, +1));
}

void draw_refresh(QPainter& p, QSizeF size, const QColor& ink) {
  const qreal r = size.height() * 0.3;
  const QPointF c(size.width() / 2, size.height() / 2);
  const QRectF circle(c.x() - r, c.y() - r, 2 * r, 2 * r);
  p.setPen(QPen(ink, std::max<qreal>(1.5, r * 0.35), Qt::SolidLine, Qt::FlatCap));
  p.setBrush(Qt::NoBrush);
  p.drawArc(circle, 60 * 16, 280 * 16);
  // Arrow head at the arc's start (60 degrees), pointing along the turn.
  const qreal a = 60.0 * M_PI / 180.0;
  const QPointF tip(c.x() + r * std::cos(a), c.y() - r * std::sin(a));
  const qreal s = r * 0.7;
  QPainterPath head;
  head.moveTo(tip + QPointF(s * 0.9, s * 0.1));
  head.lineTo(tip + QPointF(-s * 0.5, -s * 0.7));
  head.lineTo(tip + QPointF(-s * 0.3, s * 0.8));
  head.closeSubpath();
  p.setPen(Qt::NoPen);
  p.setBrush(ink);
  p.drawPath(head);
}

void draw_confirm(QPainter& p, QSizeF size, const QColor& ink) {
  const qreal h = size.height();
  const QPointF c(size.width() / 2, h / 2);
  p.setPen(QPen(ink, std::max<qreal>(1.5, h * 0.13), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.setBrush(Qt::NoBrush);
  const QPointF points[] = {c + QPointF(-h * 0.28, 0), c + QPointF(-h * 0.08, h * 0.2),
                            c + QPointF(h * 0.3, -h * 0.22)};
  p.drawPolyline(points, 3);
}

}  // namespace

QPixmap lamp_picture(int index, int side, qreal ratio) {
  side = std::max(side, 4);
  QPixmap pixmap = blank(QSize(side, side), ratio);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  const bool on = index == 2;
  const QColor body = on ? QColor(0x1f, 0xb0, 0x3a) : QColor(0xd8, 0x23, 0x1c);
  const QColor deep = on ? QColor(0x0b, 0x5e, 0x1c) : QColor(0x7a, 0x0e, 0x0a);
  const qreal margin = side * 0.08;
  const QRectF disc(margin, margin, side - 2 * margin, side - 2 * margin);
  QRadialGradient glow(disc.center() - QPointF(disc.width() * 0.15, disc.height() * 0.15),
                       disc.width() * 0.65);
  glow.setColorAt(0.0, body.lighter(150));
  glow.setColorAt(0.55, body);
  glow.setColorAt(1.0, deep);
  p.setPen(QPen(QColor(0x40, 0x40, 0x40), std::max<qreal>(1.0, side * 0.05)));
  p.setBrush(glow);
  p.drawEllipse(disc);
  // A small highlight, as on a glass lamp.
  const QRectF shine(disc.left() + disc.width() * 0.25, disc.top() + disc.height() * 0.18,
                     disc.width() * 0.28, disc.height() * 0.2);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(255, 255, 255, 150));
  p.drawEllipse(shine);
  return pixmap;
}

QPixmap symbol_picture(Symbol symbol, QSize size, const QColor& ink, qreal ratio) {
  size = size.expandedTo(QSize(4, 4));
  QPixmap pixmap = blank(size, ratio);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(Qt::NoPen);
  p.setBrush(ink);
  const QSizeF s(size);
  switch (symbol) {
    case Symbol::JogDown: draw_triangles(p, s, 2, -1); break;
    case Symbol::JogUp: draw_triangles(p, s, 2, +1); break;
    case Symbol::StepDown: draw_triangles(p, s, 1, -1); break;
    case Symbol::StepUp: draw_triangles(p, s, 1, +1); break;
    case Symbol::Run: draw_run(p, s, ink); break;
    case Symbol::Refresh: draw_refresh(p, s, ink); break;
    case Symbol::Confirm: draw_confirm(p, s, ink); break;
    case Symbol::None: break;
  }
  return pixmap;
}

Symbol symbol_for(const std::string& control_name) {
  static const std::map<std::string, Symbol> kSymbols = {
      {"CmdHandDown", Symbol::JogDown}, {"CmdHandUp", Symbol::JogUp},
      {"CmdDown", Symbol::StepDown},    {"CmdUp", Symbol::StepUp},
      {"CmdRun", Symbol::Run},          {"CmdMonoRefresh", Symbol::Refresh},
      {"CmdFilterSet", Symbol::Confirm},
  };
  const auto found = kSymbols.find(control_name);
  return found == kSymbols.end() ? Symbol::None : found->second;
}

}  // namespace brivel::qt
