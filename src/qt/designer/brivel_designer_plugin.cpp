#include "brivel_designer_plugin.h"

#include <Brivel.h>

#include <QLinearGradient>
#include <QPainter>
#include <QPixmap>
#include <QRadialGradient>

namespace {

// The widget box's picture of the control: its panel with the green lamp of a
// connected instrument and the band of colours a grating spreads light into.
QPixmap draw_icon(int side) {
  QPixmap picture(side, side);
  picture.fill(Qt::transparent);
  QPainter p(&picture);
  p.setRenderHint(QPainter::Antialiasing);
  const qreal s = side;
  p.setPen(QPen(QColor(90, 90, 90), s / 32.0));
  p.setBrush(QColor(236, 236, 236));
  p.drawRoundedRect(QRectF(0.5, s * 0.12, s - 1.0, s * 0.76), s * 0.1, s * 0.1);

  const QPointF lamp(s * 0.25, s * 0.5);
  QRadialGradient glow(lamp, s * 0.16, lamp - QPointF(s * 0.05, s * 0.05));
  glow.setColorAt(0, QColor(170, 255, 170));
  glow.setColorAt(1, QColor(0, 150, 40));
  p.setPen(QPen(QColor(0, 90, 20), s / 40.0));
  p.setBrush(glow);
  p.drawEllipse(lamp, s * 0.14, s * 0.14);

  QLinearGradient band(s * 0.46, 0, s * 0.92, 0);
  const QColor colours[] = {QColor(120, 0, 200), QColor(0, 60, 255), QColor(0, 200, 80),
                            QColor(250, 230, 0), QColor(255, 120, 0), QColor(220, 0, 0)};
  for (int i = 0; i < 6; ++i) band.setColorAt(i / 5.0, colours[i]);
  p.setPen(Qt::NoPen);
  p.setBrush(band);
  p.drawRect(QRectF(s * 0.46, s * 0.38, s * 0.46, s * 0.24));
  return picture;
}

}  // namespace

BrivelDesignerPlugin::BrivelDesignerPlugin(QObject* parent) : QObject(parent) {}

QString BrivelDesignerPlugin::name() const { return QStringLiteral("Brivel"); }
QString BrivelDesignerPlugin::group() const { return QStringLiteral("Brivel"); }
QString BrivelDesignerPlugin::toolTip() const {
  return QStringLiteral("Grating monochromator control");
}
QString BrivelDesignerPlugin::whatsThis() const {
  return QStringLiteral(
      "Operates a grating monochromator and its filter wheel through the motion controller "
      "on a serial port. Set IntUseCom (port 1 to 16) and IntLanguage (0 Chinese, 1 English); "
      "the host calls OpenCom and MonochromatorMoveTo and reads DblMonoWaveLen.");
}
QString BrivelDesignerPlugin::includeFile() const { return QStringLiteral("Brivel.h"); }

QIcon BrivelDesignerPlugin::icon() const {
  QIcon icon;
  for (int side : {16, 22, 32, 48, 64}) icon.addPixmap(draw_icon(side));
  return icon;
}

bool BrivelDesignerPlugin::isContainer() const { return false; }
QWidget* BrivelDesignerPlugin::createWidget(QWidget* parent) { return new Brivel(parent); }
bool BrivelDesignerPlugin::isInitialized() const { return initialized_; }
void BrivelDesignerPlugin::initialize(QDesignerFormEditorInterface*) { initialized_ = true; }

QString BrivelDesignerPlugin::domXml() const {
  return QStringLiteral(
      "<ui language=\"c++\" displayname=\"Brivel\">\n"
      " <widget class=\"Brivel\" name=\"brivel\"/>\n"
      " <customwidgets>\n"
      "  <customwidget>\n"
      "   <class>Brivel</class>\n"
      "   <extends>QWidget</extends>\n"
      "   <header>Brivel.h</header>\n"
      "  </customwidget>\n"
      " </customwidgets>\n"
      "</ui>\n");
}
