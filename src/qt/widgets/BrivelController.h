#pragma once
// BrivelController: the monochromator for C++ hosts and services that have no window.
// The control runs on a thread of its own (its own event loop, the real serial port);
// every method returns at once. A QCoreApplication is enough: no QWidget, no
// QApplication.
//
//   BrivelController mono("/dev/ttyUSB0");
//   connect(&mono, &BrivelController::positionReported, [](double nm) { ... });
//   BrivelOperation* move = mono.moveTo(546.07);
//   connect(move, &BrivelOperation::finished, [move](bool ok) { ... move->text() ... });
//   move->cancel();   // the stop button
//
// Signals are delivered on the thread the controller was created on (its event loop
// must run for them to arrive); call its methods from that thread. BrivelOperation
// objects are children of the controller: delete one when done with it, or leave it to
// the controller.

#include <QList>
#include <QObject>
#include <QString>
#include <memory>

#include "brivelocx_export.h"

namespace brivel {
class Controller;
class Operation;
}  // namespace brivel

class BRIVELOCX_EXPORT BrivelOperation : public QObject {
  Q_OBJECT
  Q_PROPERTY(QString name READ name CONSTANT)
  Q_PROPERTY(bool done READ isDone NOTIFY finished)
  Q_PROPERTY(bool ok READ ok NOTIFY finished)
  Q_PROPERTY(QString outcome READ outcome NOTIFY finished)
  Q_PROPERTY(QString text READ text NOTIFY finished)
  Q_PROPERTY(double wavelength READ wavelength NOTIFY finished)

 public:
  ~BrivelOperation() override;
  QString name() const;
  bool isDone() const;
  bool ok() const;
  // "pending", "done", "refused", "not connected", "busy", "out of range", "failed",
  // "stopped", "connection lost".
  QString outcome() const;
  QString text() const;     // what went wrong, as the operator was told (English)
  QString textZh() const;   // the same in Chinese
  double wavelength() const;  // nm when it ended
  // Blocks until the operation ends, at most `milliseconds` (-1: no limit); true when ended.
  bool wait(int milliseconds = -1) const;

 public slots:
  void cancel();

 signals:
  void finished(bool ok);

 private:
  friend class BrivelController;
  // `relay` lives on the controller's thread; the end is announced through it.
  BrivelOperation(const brivel::Operation& op, const std::shared_ptr<QObject>& relay, QObject* parent);
  std::unique_ptr<brivel::Operation> op_;
};

class BRIVELOCX_EXPORT BrivelController : public QObject {
  Q_OBJECT
  Q_PROPERTY(bool connected READ connected NOTIFY connectedChanged)
  Q_PROPERTY(bool busy READ busy NOTIFY busyChanged)
  Q_PROPERTY(double wavelength READ wavelength NOTIFY wavelengthChanged)
  Q_PROPERTY(int speed READ speed NOTIFY stateChanged)
  Q_PROPERTY(QString lastMessage READ lastMessage NOTIFY stateChanged)

 public:
  // `device`: a serial device path; empty: port number `port` maps to its device.
  explicit BrivelController(const QString& device = QString(), int port = 1, QObject* parent = nullptr);
  ~BrivelController() override;  // stops what runs, closes the port

  Q_INVOKABLE BrivelOperation* open();
  Q_INVOKABLE BrivelOperation* close();
  Q_INVOKABLE BrivelOperation* moveTo(double nm);
  Q_INVOKABLE BrivelOperation* moveBy(double nm);
  Q_INVOKABLE BrivelOperation* jog(int direction, double seconds);
  Q_INVOKABLE BrivelOperation* stop();
  Q_INVOKABLE BrivelOperation* reposition();
  Q_INVOKABLE BrivelOperation* refresh();
  Q_INVOKABLE BrivelOperation* setSpeed(int speed);
  Q_INVOKABLE BrivelOperation* setPowerOnWavelength(double nm);
  Q_INVOKABLE BrivelOperation* setFilterWheel(bool on);
  Q_INVOKABLE BrivelOperation* setFilters(const QList<double>& starts);
  Q_INVOKABLE BrivelOperation* saveParameters(const QString& path);
  Q_INVOKABLE BrivelOperation* loadParameters(const QString& path);

  bool connected() const;
  bool busy() const;
  double wavelength() const;
  int speed() const;
  QString lastMessage() const;
  QString device() const;

  // The core's controller, for hosts that link the core (servers, tests).
  brivel::Controller& core();

 signals:
  void positionReported(double nm);
  void connectedChanged(bool connected);
  void busyChanged(bool busy);
  void wavelengthChanged(double nm);
  void stateChanged();
  void messageShown(const QString& text, const QString& kind);
  void noted(const QString& kind, const QString& text);

 private:
  BrivelOperation* wrap(const brivel::Operation& op);
  struct Impl;
  std::unique_ptr<Impl> d_;
};
