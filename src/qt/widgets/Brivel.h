#pragma once
// Brivel: the monochromator control as a QWidget that a host application embeds.
//
//   #include <Brivel.h>
//   auto* control = new Brivel(parent);
//   control->setProperty("IntUseCom", 1);
//   QMetaObject::invokeMethod(control, "OpenCom");
//   double nm = control->property("DblMonoWaveLen").toDouble();
//
// The dispatch interface: twelve properties and seven methods, reachable by name
// through Qt's meta-object system (property(), setProperty(), invokeMethod()) and as
// plain C++ members.
//  * 16-bit booleans (True is -1) are bool here: BlnBusy and BlnMonConnectFlag read
//    true for -1. 16- and 32-bit integers are int; a value given to a 16-bit property
//    that does not fit in 16 bits is refused as an overflow (see lastError).
//  * No member returns a result. Outcomes reach the operator as message boxes and the
//    host through the properties, as the control's documents require.
//  * MonochromatorMoveTo and the DblOpenPos setter can fail at run time (a wavelength
//    per step of 0, a port that fails mid-exchange). Such a failure never leaves the
//    call as an exception: the call returns, lastError holds its text and failed() is
//    emitted. lastError is emptied at the start of every call of the interface, so a
//    host reads it right after the call it made.
//  * Long calls (OpenCom, MonochromatorMoveTo, LoadParameter) run the host's event loop
//    while they wait: the window stays live, and the host sees BlnBusy true meanwhile.
//    A host must not delete the control during such a call (use deleteLater()).
//
// The serial port of IntUseCom n is the device in the environment variable
// BRIVEL_COM<n> when set, else one given with setPortDevice(), else /dev/ttyS<n-1>
// (COM<n> on Windows).

#include <QString>
#include <QWidget>
#include <functional>
#include <memory>

namespace brivel {
class Brivel;
namespace qt {
class QtEventPump;
class QtDialogs;
class SurfaceView;
}  // namespace qt
}  // namespace brivel

class Brivel : public QWidget {
  Q_OBJECT
  Q_PROPERTY(int IntUseCom READ IntUseCom WRITE setIntUseCom)
  Q_PROPERTY(bool BlnBusy READ BlnBusy)
  Q_PROPERTY(bool BlnMonConnectFlag READ BlnMonConnectFlag)
  Q_PROPERTY(double DblMonoWaveLen READ DblMonoWaveLen)
  Q_PROPERTY(double DblOpenPos READ DblOpenPos WRITE setDblOpenPos)
  Q_PROPERTY(int LngInstrumentNo READ LngInstrumentNo)
  Q_PROPERTY(int IntGratingLines READ IntGratingLines)
  Q_PROPERTY(int LngZeroPos READ LngZeroPos)
  Q_PROPERTY(int IntSpeed READ IntSpeed WRITE setIntSpeed)
  Q_PROPERTY(double DblMonoStep READ DblMonoStep)
  Q_PROPERTY(QString StrYear READ StrYear)
  Q_PROPERTY(int IntLanguage READ IntLanguage WRITE setIntLanguage)
  Q_PROPERTY(QString lastError READ lastError NOTIFY failed)

 public:
  explicit Brivel(QWidget* parent = nullptr);
  ~Brivel() override;

  // ---- properties (getters never fail and never talk to the instrument) ----
  int IntUseCom() const;
  void setIntUseCom(int value);          // 1..16; other values are ignored
  bool BlnBusy() const;
  bool BlnMonConnectFlag() const;
  double DblMonoWaveLen() const;         // nm, rounded to 0.01
  double DblOpenPos() const;             // nm
  void setDblOpenPos(double value);      // asks the operator, then writes the controller
  int LngInstrumentNo() const;
  int IntGratingLines() const;           // lines per mm
  int LngZeroPos() const;                // motor steps
  int IntSpeed() const;                  // 1..250
  void setIntSpeed(int value);           // while connected: limited to 1..250 and sent
  double DblMonoStep() const;            // nm per motor step
  QString StrYear() const;
  int IntLanguage() const;               // 0 Chinese, 1 English
  void setIntLanguage(int value);

  // ---- methods ---------------------------------------------------------------
  Q_INVOKABLE void OpenCom();
  Q_INVOKABLE void CloseCom();
  Q_INVOKABLE void MonochromatorMoveTo(double dblWavelen);  // nm
  Q_INVOKABLE void SaveParameter(const QString& strFilePath);
  Q_INVOKABLE void LoadParameter(const QString& strFilePath);
  Q_INVOKABLE void ShowParaFace();
  Q_INVOKABLE void ShowRunFace();

  // ---- for hosts, tools and tests --------------------------------------------
  // The text of the last failure an interface call passed to the host; empty when
  // the last call succeeded.
  QString lastError() const;
  // The real widget of a named child control ("CmdRun", "LblWaveLen", "Lbl1(0)",
  // "FrmSplash", "FrmSplash.Label1"), or null.
  QWidget* childControl(const QString& name) const;
  // The control's logic (its surface, port, bounds).
  brivel::Brivel& logic();
  // Uses `device` (any path: a /dev/serial/by-id link, a pseudo-terminal) for port
  // number `number` in this process; an empty device removes the override.
  static void setPortDevice(int number, const QString& device);

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 signals:
  // An interface call ended with a run-time failure (the text is also in lastError).
  void failed(const QString& message);

 private:
  // Runs one call into the logic; exceptions end here.
  void at_boundary(const char* what, const std::function<void()>& call);
  // The same for the host's calls: empties lastError first.
  void host_call(const char* what, const std::function<void()>& call);
  void report(const QString& message);

  std::unique_ptr<brivel::qt::QtEventPump> pump_;
  std::unique_ptr<brivel::qt::QtDialogs> dialogs_;
  std::unique_ptr<brivel::Brivel> logic_;
  std::unique_ptr<brivel::qt::SurfaceView> view_;
  QString last_error_;
};
