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
// through Qt's meta-object system (property(), setProperty(), invokeMethod(), QML)
// and as plain C++ members.
//  * 16-bit booleans (True is -1) are bool here: BlnBusy and BlnMonConnectFlag read
//    true for -1. 16- and 32-bit integers are int; a value given to a 16-bit property
//    that does not fit in 16 bits is refused as an overflow (see lastError).
//  * No member returns a result. Outcomes reach the operator as message boxes and the
//    host through the properties.
//  * Every property has a change signal (IntUseComChanged(int), ...). It is emitted
//    once each time the control sees the value differ from the value it last
//    announced, whoever changed it (the host, the operator, the instrument), and
//    never for a value that did not change. The control looks at the twelve values at
//    the points where the host's event loop can run: at the end of every call into
//    the control (the host's and the operator's), once a tick inside every wait, and
//    before every operator message; the signals follow on the GUI thread with the
//    widgets' next update (at most a frame later while the grating moves). A value
//    that changes and changes back between two such points was never observable and is
//    not announced. The signal carries the new value, which is also what the getter
//    returns at that moment.
//  * MonochromatorMoveTo and the DblOpenPos setter can fail at run time (a wavelength
//    per step of 0, a port that fails mid-exchange). Such a failure never leaves the
//    call as an exception: the call returns, lastError holds its text and failed() is
//    emitted. lastError is emptied at the start of every call of the interface, so a
//    host reads it right after the call it made. Notes the control keeps for the host
//    (why a port could not be opened, what a download that stopped had written, a
//    call stopped on request) arrive the same way, and so do the operator's failure
//    messages that came without such a note ("MonochromatorMoveTo: The position
//    doesn't change, please check."). A refusal (an operation that did not start: not
//    connected, busy, a target below 0, an entry out of range) sets lastError too
//    ("MonochromatorMoveTo: Can't move to the assigned wavelength:-5") and is emitted
//    as refused(). The operator's box (or messageRequested) comes as before.
//  * The control's logic runs on a thread of its own, with the serial port; the widget
//    shows it on the host's GUI thread. Every method and setter is a call on that
//    thread: it runs the host's event loop until the call has ended (the window stays
//    live, and the host sees BlnBusy true during a long one), then returns. Getters
//    read the values as of the control's last tick and never wait. A host calls the
//    widget from its GUI thread only (requestStop() from any thread), and must not
//    delete the control during a call (use deleteLater()).
//
// Operator messages: by default each is a modal message box, with its buttons in the
// language in force ("确定" / "取消" for Chinese). A host that sets hostMessages to
// true receives each message as messageRequested() instead and no box is shown; it
// answers a question with answerMessage(id, "Ok" or "Cancel"). A question that has no
// answer after messageTimeout milliseconds (30000 unless changed) counts as Cancel.
//
// The serial port of IntUseCom n is the device in the environment variable
// BRIVEL_COM<n> when set, else one given with setPortDevice(), else the mapping file
// brivel/ports.conf in the user's config folder, else the USB adapters in
// /dev/serial/by-id order, else /dev/ttyS<n-1> (COM<n> on Windows).

#include <QMetaType>
#include <QString>
#include <QStringList>
#include <QVariantMap>
#include <QWidget>
#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "brivelocx_export.h"

class QEventLoop;
class QMessageBox;

namespace brivel {
class Control;
class Controller;
class ControlThread;
struct Message;
struct HostNote;
enum class Answer;
namespace qt {
class QtDialogs;
class SurfaceView;
}  // namespace qt
}  // namespace brivel

// One operator message, as a host that took the messages over receives it.
class BRIVELOCX_EXPORT BrivelMessage {
  Q_GADGET
  Q_PROPERTY(int id MEMBER id)
  Q_PROPERTY(QString kind MEMBER kind)
  Q_PROPERTY(QString text MEMBER text)
  Q_PROPERTY(QString title MEMBER title)
  Q_PROPERTY(QString icon MEMBER icon)
  Q_PROPERTY(QStringList buttons MEMBER buttons)
  Q_PROPERTY(QString textEn MEMBER textEn)
  Q_PROPERTY(QString textZh MEMBER textZh)
  Q_PROPERTY(QString titleEn MEMBER titleEn)
  Q_PROPERTY(QString titleZh MEMBER titleZh)
  Q_PROPERTY(bool question READ isQuestion)

 public:
  int id = 0;           // what answerMessage() refers to; new for every message
  // What the message says about the operation: "information", "success",
  // "question", "refusal" or "failure". Decide on this, never on the wording.
  QString kind;
  QString text, title;  // in the language in force, exactly as the box would show them
  QString icon;         // "none", "information" or "critical"
  QStringList buttons;  // {"Ok"}, or {"Ok", "Cancel"} for a question
  QString textEn, textZh, titleEn, titleZh;  // both wordings

  // A question (OK and Cancel) waits for answerMessage(); other messages need none.
  bool isQuestion() const { return buttons.size() > 1; }
  // The same fields as a map (for scripts and logs).
  Q_INVOKABLE QVariantMap toMap() const;
};
Q_DECLARE_METATYPE(BrivelMessage)

class BRIVELOCX_EXPORT Brivel : public QWidget {
  Q_OBJECT
  Q_PROPERTY(int IntUseCom READ IntUseCom WRITE setIntUseCom NOTIFY IntUseComChanged)
  Q_PROPERTY(bool BlnBusy READ BlnBusy NOTIFY BlnBusyChanged)
  Q_PROPERTY(bool BlnMonConnectFlag READ BlnMonConnectFlag NOTIFY BlnMonConnectFlagChanged)
  Q_PROPERTY(double DblMonoWaveLen READ DblMonoWaveLen NOTIFY DblMonoWaveLenChanged)
  // Writing DblOpenPos or IntSpeed talks to the instrument (and asks the operator):
  // nothing to set in a form, so Qt Designer does not offer them.
  Q_PROPERTY(double DblOpenPos READ DblOpenPos WRITE setDblOpenPos NOTIFY DblOpenPosChanged
                 DESIGNABLE false STORED false)
  Q_PROPERTY(int LngInstrumentNo READ LngInstrumentNo NOTIFY LngInstrumentNoChanged)
  Q_PROPERTY(int IntGratingLines READ IntGratingLines NOTIFY IntGratingLinesChanged)
  Q_PROPERTY(int LngZeroPos READ LngZeroPos NOTIFY LngZeroPosChanged)
  Q_PROPERTY(int IntSpeed READ IntSpeed WRITE setIntSpeed NOTIFY IntSpeedChanged
                 DESIGNABLE false STORED false)
  Q_PROPERTY(double DblMonoStep READ DblMonoStep NOTIFY DblMonoStepChanged)
  Q_PROPERTY(QString StrYear READ StrYear NOTIFY StrYearChanged)
  Q_PROPERTY(int IntLanguage READ IntLanguage WRITE setIntLanguage NOTIFY IntLanguageChanged)
  // For hosts: not part of the control's dispatch interface.
  Q_PROPERTY(QString lastError READ lastError NOTIFY lastErrorChanged)
  Q_PROPERTY(bool hostMessages READ hostMessages WRITE setHostMessages NOTIFY hostMessagesChanged)
  Q_PROPERTY(int messageTimeout READ messageTimeout WRITE setMessageTimeout
                 NOTIFY messageTimeoutChanged)

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
  // The text of the last failure or note passed to the host ("OpenCom: ..."); empty
  // when the last call of the interface succeeded.
  QString lastError() const;

  // Operator messages go to the host (messageRequested) instead of boxes.
  bool hostMessages() const;
  void setHostMessages(bool on);
  // How long a question taken over by the host waits for its answer, in
  // milliseconds (0: the answer must come from a slot connected directly to
  // messageRequested). Limited to 0..86400000; a missing answer counts as Cancel.
  int messageTimeout() const;
  void setMessageTimeout(int milliseconds);
  static constexpr int kDefaultMessageTimeout = 30000;

  // The box the control shows for `message` (title, text, icon, buttons in its
  // language), configured but not shown; the caller owns it. For a host that takes
  // messages over and shows some of them later or elsewhere.
  static QMessageBox* messageBox(const BrivelMessage& message, QWidget* parent = nullptr);

  // The real widget of a named child control ("CmdRun", "LblWaveLen", "Lbl1(0)",
  // "FrmSplash", "FrmSplash.Label1"), or null.
  QWidget* childControl(const QString& name) const;
  // Runs `work` with the control's logic (its surface, port, bounds) on the control's
  // thread and returns once it has run, running the host's event loop meanwhile; the
  // widgets show what it changed by then. In-tree tools and tests only: the logic's
  // header is not installed and its symbols are not exported.
  void withLogic(const std::function<void(brivel::Control&)>& work);
  // Returns once the control's thread is idle (no call of the host's or the operator's
  // runs or waits to run there) and the widgets and values show its state.
  void waitUntilIdle();
  // The same control's non-blocking operations (start, watch, cancel), run on the
  // control's thread. Wait for them with the event loop running (their on_done(), a
  // poll of done()), never with wait() on the GUI thread: a box they show needs it.
  brivel::Controller& controller();
  // Uses `device` (any path: a /dev/serial/by-id link, a pseudo-terminal) for port
  // number `number` in this process; an empty device removes the override.
  static void setPortDevice(int number, const QString& device);

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 protected:
  bool event(QEvent* event) override;

 public slots:
  // Answers question `id` with "Ok" or "Cancel" (any case). True when the answer was
  // taken; false (and nothing changes) for an unknown or already answered id, a
  // message that is no question, or a button the question does not have.
  bool answerMessage(int id, const QString& button);
  // Asks the call that is running (a move, a jog, a reposition, a download, an
  // identification, a question waiting for the host) to stop, as the stop button
  // does; the call ends and lastError says it was stopped. Does nothing while the
  // control is idle. Safe from any thread.
  void requestStop();

 signals:
  void IntUseComChanged(int value);
  void BlnBusyChanged(bool value);
  void BlnMonConnectFlagChanged(bool value);
  void DblMonoWaveLenChanged(double value);
  void DblOpenPosChanged(double value);
  void LngInstrumentNoChanged(int value);
  void IntGratingLinesChanged(int value);
  void LngZeroPosChanged(int value);
  void IntSpeedChanged(int value);
  void DblMonoStepChanged(double value);
  void StrYearChanged(const QString& value);
  void IntLanguageChanged(int value);

  // An interface call ended with a run-time failure, the control left a note for
  // the host, or it told the operator of a failure without a note (the text is also in
  // lastError): "OPERATION: TEXT".
  void failed(const QString& message);
  // The control refused an operation and told the operator why (the text is also in
  // lastError): "OPERATION: TEXT", in the language in force. Refusals are the messages
  // of kind "refusal" (BrivelMessage::kind).
  void refused(const QString& message);
  // lastError changed: set by a failure or a note, emptied by the next call.
  void lastErrorChanged(const QString& text);
  // The operation went on as the control does, but a script may not expect it (an
  // unknown grating code keeps the old step size, a file field read as 0): a warning
  // for the host's log. lastError is not touched.
  void warned(const QString& message);
  // With hostMessages true: an operator message, in place of its box.
  void messageRequested(const BrivelMessage& message);
  void hostMessagesChanged(bool on);
  void messageTimeoutChanged(int milliseconds);

 private:
  struct Values;
  struct Asked;
  class Relay;
  // Control's thread: runs one call into the logic; exceptions end here. Notes the
  // changed values at the end.
  void at_boundary(const char* what, const std::function<void()>& call);
  // GUI thread: runs `call` through the boundary on the control's thread, with the
  // host's event loop running until it has ended; the widgets show its outcome then.
  void run_in_control(const char* what, const std::function<void()>& call);
  // The same for the host's calls: empties lastError first.
  void host_call(const char* what, const std::function<void()>& call);
  // Sets a property of the interface's table by name, as a host's call.
  void set_property(const char* name, int value);
  void set_property(const char* name, double value);
  void report(const QString& message);
  // Control's thread: a failure the host is to be told of (failed(), lastError).
  void report_later(const QString& message);
  // A refusal or a failure the operator was told of, for the host too.
  void report_message(const brivel::Message& message);
  bool set_last_error(const QString& message);  // false when a slot deleted the control
  // Control's thread: reads the interface's values; when one changed, the widgets'
  // next update announces it.
  void capture_values();
  // GUI thread: the value of a property as last read on the control's thread.
  QVariant value_of(const char* name) const;
  // Emits the change signal of every property whose value differs from the one last
  // announced.
  void announce_changes();
  // Control's thread: runs `work` on the GUI thread (a message box, the host's
  // slots) and waits for it, running the control's own loop meanwhile.
  void ask_gui(const std::shared_ptr<Asked>& asked);
  // Control's thread: posts `work` to the GUI thread, in the control's language and
  // under the name of the call it comes from, after the widgets were sent the state.
  void to_gui(std::function<void()> work);
  // Control's thread: an operator's event, held back while a box of the control is open.
  void run_operator(std::function<void(brivel::Control&)> work);
  void run_held_back();
  void wake_control();
  // The message taker and note sink of the dialogs (GUI thread).
  std::optional<brivel::Answer> take_message(const brivel::Message& message);
  void take_note(const brivel::HostNote& note);
  void end_questions();  // a stop was requested: every waiting question gets Cancel

  std::unique_ptr<brivel::qt::QtDialogs> dialogs_;   // the boxes, on the GUI thread
  std::unique_ptr<brivel::ControlThread> thread_;    // the logic, its pump and port
  brivel::Control* logic_ = nullptr;                 // control's thread only
  std::unique_ptr<brivel::qt::SurfaceView> view_;
  std::unique_ptr<Values> announced_;   // the values last announced
  mutable std::mutex values_mutex_;
  std::vector<QVariant> values_;        // as last read on the control's thread
  QString last_error_;
  bool host_messages_ = false;
  int message_timeout_ = kDefaultMessageTimeout;
  int last_message_id_ = 0;
  struct Question {
    std::optional<brivel::Answer> answer;  // once given
    QEventLoop* loop = nullptr;       // while the control waits for it
  };
  std::map<int, Question> questions_;   // questions waiting for the host
  std::atomic<int> calls_running_{0};   // calls into the logic in progress (nested too)
  const char* control_call_ = nullptr;  // control's thread: the innermost call, by name
  const char* call_ = nullptr;          // GUI thread: the call a message came from
  std::atomic<bool> failure_told_{false};  // the outermost call passed a failure on
  std::atomic<bool> dying_{false};
  int host_calls_ = 0;                  // GUI thread: the host's calls in progress
  bool delete_after_call_ = false;      // a deleteLater() came during one
  int asking_ = 0;                      // control's thread: boxes open
  std::deque<std::function<void(brivel::Control&)>> held_back_;  // operator events meanwhile
};