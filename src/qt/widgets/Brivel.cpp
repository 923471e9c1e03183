#include "Brivel.h"

#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QMessageBox>
#include <QMetaProperty>
#include <QPointer>
#include <QThread>
#include <QTimer>
#include <QVariant>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <exception>
#include <iterator>
#include <limits>
#include <utility>
#include <variant>
#include <vector>

#include "control/control.h"
#include "platform/dialogs.h"
#include "platform/failure.h"
#include "control/controller.h"
#include "control/interface.h"
#include "qt/core/qt_platform.h"
#include "qt_dialogs.h"
#include "session/language.h"
#include "surface_view.h"

namespace {

constexpr int kLongestMessageTimeout = 24 * 60 * 60 * 1000;  // a day, in ms

QString q(const std::string& text) { return QString::fromStdString(text); }

const char* icon_name(brivel::Icon icon) {
  switch (icon) {
    case brivel::Icon::Information: return "information";
    case brivel::Icon::Critical: return "critical";
    case brivel::Icon::None: break;
  }
  return "none";
}

brivel::Icon icon_of(const QString& name) {
  if (name == QLatin1String("information")) return brivel::Icon::Information;
  if (name == QLatin1String("critical")) return brivel::Icon::Critical;
  return brivel::Icon::None;
}

BrivelMessage for_host(const brivel::Message& m, int id) {
  BrivelMessage out;
  out.id = id;
  out.kind = QString::fromLatin1(brivel::to_string(m.kind));
  out.text = q(m.text);
  out.title = q(m.title);
  out.icon = QString::fromLatin1(icon_name(m.icon));
  out.buttons = m.buttons == brivel::Buttons::OkCancel ? QStringList{"Ok", "Cancel"} : QStringList{"Ok"};
  out.textEn = q(m.text_en);
  out.textZh = q(m.text_zh);
  out.titleEn = q(m.title_en);
  out.titleZh = q(m.title_zh);
  return out;
}

// The language a message was made in: the wording its text and title match, or the
// language in force when both wordings read the same.
bool made_in_chinese(const BrivelMessage& m) {
  const bool zh = m.text == m.textZh && m.title == m.titleZh;
  const bool en = m.text == m.textEn && m.title == m.titleEn;
  if (zh != en) return zh;
  return brivel::qt::QtDialogs::chinese();
}

// The language of every Brivel widget of the process, as the controls a host made on
// its GUI thread shared it: each widget's control takes it up when a call or an
// operator's event starts there, and leaves what it ends with (a new widget starts it
// in English, as a new control did).
std::atomic<std::int16_t>& widgets_language() {
  static std::atomic<std::int16_t> language{1};
  return language;
}

// Runs `work` on a control's thread in the widgets' language.
template <class Work>
void in_widgets_language(Work&& work) {
  brivel::thread_language() = widgets_language().load();
  struct Leave {
    ~Leave() { widgets_language() = brivel::thread_language(); }
  } leave;
  work();
}

// Whether a property still reads as announced (a wavelength that is not a number
// stays announced as such).
bool same(const QVariant& a, const QVariant& b) {
  if (a.typeId() == QMetaType::Double && b.typeId() == QMetaType::Double) {
    const double x = a.toDouble(), y = b.toDouble();
    return x == y || (std::isnan(x) && std::isnan(y));
  }
  return a == b;
}

}  // namespace

// ---- the message a host takes over ------------------------------------------------------

QVariantMap BrivelMessage::toMap() const {
  return {{"id", id},         {"kind", kind},       {"text", text},       {"title", title},
          {"icon", icon},     {"buttons", buttons}, {"textEn", textEn},   {"textZh", textZh},
          {"titleEn", titleEn}, {"titleZh", titleZh}, {"question", isQuestion()}};
}

// ---- creation and teardown -------------------------------------------------------------

// The interface's properties as the meta-object has them, each with its value as last
// announced, in the order the interface declares them.
struct Brivel::Values {
  struct Announced {
    QMetaProperty property;
    QVariant value;
  };
  std::vector<Announced> rows;
};

// A piece of work for the GUI thread that the control's thread waits for; what it gives
// is kept here, so that a wait given up (the control going away) leaves nothing behind
// on the control's stack.
struct Brivel::Asked {
  std::function<void(Asked&)> work;
  brivel::Answer answer = brivel::Answer::Cancel;
  std::optional<std::string> input;
  std::atomic<bool> done{false};
};

// The host's dialogs as the control's thread sees them: every message, question and
// note goes to the widget on the GUI thread (its boxes, or the host's slots).
class Brivel::Relay final : public brivel::Dialogs {
 public:
  explicit Relay(Brivel* owner) : owner_(owner) {}

  brivel::Answer message(const std::string& text, const std::string& title, brivel::Icon icon,
                         brivel::Buttons buttons) override {
    auto asked = std::make_shared<Asked>();
    asked->work = [owner = owner_, text, title, icon, buttons](Asked& a) {
      a.answer = owner->dialogs_->message(text, title, icon, buttons);
    };
    owner_->ask_gui(asked);
    return asked->done ? asked->answer : brivel::Answer::Cancel;
  }
  std::optional<std::string> input(const std::string& prompt, const std::string& title,
                                   const std::string& default_text) override {
    auto asked = std::make_shared<Asked>();
    asked->work = [owner = owner_, prompt, title, default_text](Asked& a) {
      a.input = owner->dialogs_->input(prompt, title, default_text);
    };
    owner_->ask_gui(asked);
    return asked->done ? asked->input : std::nullopt;
  }
  brivel::Answer show(const brivel::Message& m) override {
    auto asked = std::make_shared<Asked>();
    asked->work = [owner = owner_, m](Asked& a) { a.answer = owner->dialogs_->show(m); };
    owner_->ask_gui(asked);
    return asked->done ? asked->answer : brivel::Answer::Cancel;
  }
  void note(const brivel::HostNote& n) override {
    // Nothing to wait for: the note reaches the host before the call returns (posted
    // events keep their order).
    owner_->to_gui([owner = owner_, n] { owner->dialogs_->note(n); });
  }

 private:
  Brivel* owner_;
};

Brivel::Brivel(QWidget* parent) : QWidget(parent), dialogs_(std::make_unique<brivel::qt::QtDialogs>(this)) {
  qRegisterMetaType<BrivelMessage>();
  brivel::ControlThread::Options options;
  options.make_pump = [] { return std::make_unique<brivel::qt::QtEventPump>(); };
  options.make_port = [] { return std::make_unique<brivel::qt::QtSerialPort>(); };
  options.make_dialogs = [this] { return std::make_unique<Relay>(this); };
  options.setup = [this](brivel::Control& logic) {
    logic_ = &logic;
    widgets_language() = brivel::thread_language();
    // Once a tick inside every wait: the moving wavelength, the busy flag.
    logic.set_wait_hook([this] { capture_values(); });
  };
  thread_ = std::make_unique<brivel::ControlThread>(std::move(options));

  brivel::qt::ControlAccess access;
  access.call = [this](const brivel::qt::LogicWork& work) { thread_->call(work); };
  access.post = [this](brivel::qt::LogicWork work) {
    thread_->controller().pump().post([this, work = std::move(work)]() mutable { run_operator(std::move(work)); });
  };
  view_ = std::make_unique<brivel::qt::SurfaceView>(
      std::move(access), this,
      [this](const char* what, const std::function<void()>& call) { at_boundary(what, call); });
  view_->set_after_apply([this] { announce_changes(); });
  thread_->call([this](brivel::Control&) { capture_values(); });
  resize(sizeHint());

  // The creation values are where the announcements start from.
  announced_ = std::make_unique<Values>();
  for (const brivel::interface::Property& p : brivel::interface::kProperties) {
    const int index = metaObject()->indexOfProperty(p.name);
    if (index < 0) continue;  // declared in the core only: tests/qt/interface_test finds it
    const QMetaProperty property = metaObject()->property(index);
    announced_->rows.push_back({property, property.read(this)});
  }
  dialogs_->set_message_taker([this](const brivel::Message& m) { return take_message(m); });
  dialogs_->set_note_sink([this](const brivel::HostNote& n) { take_note(n); });
}

Brivel::~Brivel() {
  dying_ = true;  // nothing is announced, asked or noted from here on
  end_questions();
  wake_control();  // a wait for the GUI thread gives up
  thread_.reset();  // stops what runs, closes the port (CloseCom) on its thread, joins
  view_.reset();
  logic_ = nullptr;
}

// ---- the two threads ----------------------------------------------------------------------

void Brivel::wake_control() {
  if (thread_) thread_->controller().pump().post([] {});
}

void Brivel::to_gui(std::function<void()> work) {
  // The host sees the state the message speaks of.
  capture_values();
  if (view_) view_->send_now();
  const std::int16_t language = brivel::thread_language();
  const char* call = control_call_;
  const QPointer<Brivel> alive(this);
  QMetaObject::invokeMethod(this, [this, alive, work = std::move(work), language, call] {
    if (dying_) return;
    brivel::thread_language() = language;  // the boxes' captions
    const char* outer = std::exchange(call_, call);
    work();
    if (alive) call_ = outer;  // else a slot deleted the control
  }, Qt::QueuedConnection);
}

void Brivel::ask_gui(const std::shared_ptr<Asked>& asked) {
  if (dying_) return;
  const QPointer<Brivel> alive(this);
  to_gui([this, alive, asked] {
    asked->work(*asked);
    if (!alive) return;  // a slot deleted the control: its thread is gone
    asked->done = true;
    wake_control();
  });
  // The control's own events go on meanwhile (its timers, the port, the host's calls
  // and the operator's stop), as they did while a box of the control was open.
  brivel::EventPump& pump = thread_->controller().pump();
  ++asking_;
  while (!asked->done && !dying_) pump.wait_until(pump.now() + 1.0);
  if (--asking_ == 0 && !held_back_.empty()) pump.post([this] { run_held_back(); });
}

void Brivel::run_operator(brivel::qt::LogicWork work) {
  // The operator's events that reached the widgets before a box of the control opened
  // (which then shuts them out) come after it, in their order, as if the box had
  // opened first.
  if (asking_ > 0 || !held_back_.empty()) {
    held_back_.push_back(std::move(work));
    return;
  }
  in_widgets_language([&] { work(*logic_); });
  capture_values();  // an operator's edit changes values too (the year field)
}

void Brivel::run_held_back() {
  while (asking_ == 0 && !held_back_.empty()) {
    brivel::qt::LogicWork work = std::move(held_back_.front());
    held_back_.pop_front();
    in_widgets_language([&] { work(*logic_); });
    capture_values();
  }
}

void Brivel::capture_values() {
  std::vector<QVariant> fresh;
  {
    std::lock_guard<std::mutex> lock(values_mutex_);
    fresh = values_;
  }
  fresh.resize(std::size(brivel::interface::kProperties));
  std::size_t i = 0;
  for (const brivel::interface::Property& p : brivel::interface::kProperties) {
    try {
      const brivel::interface::Value v = p.get(*logic_);
      if (const bool* b = std::get_if<bool>(&v)) fresh[i] = *b;
      else if (const std::int32_t* n = std::get_if<std::int32_t>(&v)) fresh[i] = static_cast<int>(*n);
      else if (const double* d = std::get_if<double>(&v)) fresh[i] = *d;
      else fresh[i] = q(std::get<std::string>(v));
    } catch (const std::exception&) {
      // A getter cannot fail: the value as last read stays.
    }
    ++i;
  }
  {
    std::lock_guard<std::mutex> lock(values_mutex_);
    bool changed = values_.size() != fresh.size();
    for (std::size_t k = 0; !changed && k < fresh.size(); ++k) changed = !same(values_[k], fresh[k]);
    if (!changed) return;
    values_ = std::move(fresh);
  }
  if (view_) view_->touch();
}

QVariant Brivel::value_of(const char* name) const {
  const brivel::interface::Property* p = brivel::interface::find_property(name);
  std::lock_guard<std::mutex> lock(values_mutex_);
  const std::size_t i = static_cast<std::size_t>(p - brivel::interface::kProperties);
  return p && i < values_.size() ? values_[i] : QVariant();
}

// ---- the boundary between Qt and the logic ------------------------------------------

bool Brivel::set_last_error(const QString& message) {
  const QPointer<Brivel> alive(this);
  if (message != last_error_) {
    last_error_ = message;
    emit lastErrorChanged(message);
  }
  return !alive.isNull();
}

void Brivel::report(const QString& message) {
  failure_told_ = true;
  if (set_last_error(message)) emit failed(message);
}

void Brivel::report_later(const QString& message) {
  failure_told_ = true;
  QMetaObject::invokeMethod(this, [this, message] {
    if (!dying_) report(message);
  }, Qt::QueuedConnection);
}

void Brivel::report_message(const brivel::Message& m) {
  const bool refusal = m.kind == brivel::MessageKind::Refusal;
  // A failure the host was already told of (a note: why a connection failed, a port
  // that went away) is not told twice.
  if (!refusal && (m.kind != brivel::MessageKind::Failure || failure_told_)) return;
  const QString text = q(m.text);
  const QString said = call_ ? QStringLiteral("%1: %2").arg(QString::fromUtf8(call_), text) : text;
  if (!refusal) {
    report(said);
    return;
  }
  if (set_last_error(said)) emit refused(said);
}

void Brivel::at_boundary(const char* what, const std::function<void()>& call) {
  // A stop requested while nothing ran is stale: it must not end this call.
  if (calls_running_.fetch_add(1) == 0) {
    logic_->clear_stop_request();
    failure_told_ = false;
  }
  const char* outer = std::exchange(control_call_, what);
  try {
    in_widgets_language(call);
  } catch (const std::exception& failure) {
    report_later(QStringLiteral("%1: %2").arg(QString::fromUtf8(what), QString::fromStdString(failure.what())));
  } catch (...) {
    report_later(QStringLiteral("%1: unknown failure").arg(QString::fromUtf8(what)));
  }
  control_call_ = outer;
  calls_running_.fetch_sub(1);
  capture_values();
}

void Brivel::run_in_control(const char* what, const std::function<void()>& call) {
  if (dying_) return;
  ++host_calls_;
  auto done = std::make_shared<bool>(false);
  thread_->controller().pump().post([this, what, &call, done] {
    at_boundary(what, call);
    view_->send_now();  // the widgets show the outcome before the call returns
    QMetaObject::invokeMethod(this, [done] { *done = true; }, Qt::QueuedConnection);
  });
  // Passes of the host's event loop, not a loop of its own: a deleteLater() from one
  // of the host's slots meanwhile takes effect after the call, in the host's loop.
  while (!*done) QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  announce_changes();
  if (--host_calls_ == 0 && delete_after_call_) {
    delete_after_call_ = false;
    QCoreApplication::postEvent(this, new QDeferredDeleteEvent());
  }
}

bool Brivel::event(QEvent* event) {
  // A deleteLater() from a host's slot during a call takes effect once the call has
  // returned, never under it.
  if (event->type() == QEvent::DeferredDelete && host_calls_ > 0) {
    delete_after_call_ = true;
    return true;
  }
  return QWidget::event(event);
}

void Brivel::host_call(const char* what, const std::function<void()>& call) {
  if (!last_error_.isEmpty()) {
    const QPointer<Brivel> alive(this);
    last_error_.clear();
    emit lastErrorChanged(last_error_);
    if (!alive) return;
  }
  run_in_control(what, call);
}

// ---- change signals -------------------------------------------------------------------

void Brivel::announce_changes() {
  if (dying_ || !announced_) return;
  const QPointer<Brivel> alive(this);
  // Each value is read, compared and recorded right before its own signal, so that a
  // slot which changes values again (and so announces them itself, nested) leaves
  // nothing stale for this pass to emit. A slot may delete the control: stop then.
  for (std::size_t i = 0; alive && !dying_ && i < announced_->rows.size(); ++i) {
    Values::Announced& row = announced_->rows[i];
    QVariant now = row.property.read(this);
    if (same(row.value, now)) continue;
    row.value = now;
    row.property.notifySignal().invoke(this, Qt::DirectConnection,
                                       QGenericArgument(now.typeName(), now.constData()));
  }
}

// ---- messages and notes for the host --------------------------------------------------

std::optional<brivel::Answer> Brivel::take_message(const brivel::Message& m) {
  if (dying_) return brivel::Answer::Cancel;  // no box while the control goes away
  const QPointer<Brivel> alive(this);
  announce_changes();  // the host sees the state the message speaks of
  if (!alive) return brivel::Answer::Cancel;
  report_message(m);
  if (!alive) return brivel::Answer::Cancel;
  if (!host_messages_) return std::nullopt;

  const BrivelMessage message = for_host(m, ++last_message_id_);
  if (!message.isQuestion()) {
    emit messageRequested(message);
    return brivel::Answer::Ok;
  }
  const int id = message.id;
  questions_[id] = Question{};
  emit messageRequested(message);  // a slot may answer at once
  if (!alive) return brivel::Answer::Cancel;
  if (!questions_[id].answer && message_timeout_ > 0 && !logic_->stop_pending()) {
    // The host answers later, from its own event loop: wait for it, as a box would,
    // but never longer than the bound.
    QEventLoop loop;
    QTimer bound;
    bound.setSingleShot(true);
    connect(&bound, &QTimer::timeout, &loop, &QEventLoop::quit);
    questions_[id].loop = &loop;
    bound.start(message_timeout_);
    loop.exec();
    if (!alive) return brivel::Answer::Cancel;
    questions_[id].loop = nullptr;
  }
  const std::optional<brivel::Answer> answer = questions_[id].answer;
  questions_.erase(id);
  return answer.value_or(brivel::Answer::Cancel);
}

bool Brivel::answerMessage(int id, const QString& button) {
  const auto found = questions_.find(id);
  if (found == questions_.end() || found->second.answer) return false;
  const QString pressed = button.trimmed();
  if (pressed.compare(QLatin1String("Ok"), Qt::CaseInsensitive) == 0)
    found->second.answer = brivel::Answer::Ok;
  else if (pressed.compare(QLatin1String("Cancel"), Qt::CaseInsensitive) == 0)
    found->second.answer = brivel::Answer::Cancel;
  else
    return false;  // no such button on the question: ignored, the question still waits
  if (found->second.loop) found->second.loop->quit();
  return true;
}

void Brivel::end_questions() {
  for (auto& [id, question] : questions_)
    if (question.loop) question.loop->quit();  // unanswered: Cancel
}

void Brivel::take_note(const brivel::HostNote& n) {
  if (dying_) return;
  const QPointer<Brivel> alive(this);
  announce_changes();
  if (!alive) return;
  const QString text = q(brivel::qt::QtDialogs::chinese() ? n.text_zh : n.text_en);
  const QString said = n.operation.empty() ? text : QStringLiteral("%1: %2").arg(q(n.operation), text);
  if (n.kind == brivel::HostNote::Kind::Warning) {
    emit warned(said);
    return;
  }
  report(said);
}

void Brivel::requestStop() {
  if (calls_running_.load() == 0) {
    logic_->clear_stop_request();  // idle: nothing to stop, and nothing may stay pending
    return;
  }
  logic_->RequestStop();
  if (QThread::currentThread() == thread())
    end_questions();
  else
    QMetaObject::invokeMethod(this, [this] { end_questions(); }, Qt::QueuedConnection);
}

bool Brivel::hostMessages() const { return host_messages_; }

void Brivel::setHostMessages(bool on) {
  if (on == host_messages_) return;
  host_messages_ = on;
  emit hostMessagesChanged(on);
}

int Brivel::messageTimeout() const { return message_timeout_; }

void Brivel::setMessageTimeout(int milliseconds) {
  const int bounded = std::clamp(milliseconds, 0, kLongestMessageTimeout);
  if (bounded == message_timeout_) return;
  message_timeout_ = bounded;
  emit messageTimeoutChanged(bounded);
}

QMessageBox* Brivel::messageBox(const BrivelMessage& message, QWidget* parent) {
  const brivel::Buttons buttons =
      message.isQuestion() ? brivel::Buttons::OkCancel : brivel::Buttons::Ok;
  return brivel::qt::QtDialogs::make_message_box(parent, message.text, message.title,
                                                 icon_of(message.icon), buttons,
                                                 made_in_chinese(message))
      .release();
}

// ---- properties -----------------------------------------------------------------------

int Brivel::IntUseCom() const { return value_of("IntUseCom").toInt(); }
bool Brivel::BlnBusy() const { return value_of("BlnBusy").toBool(); }
bool Brivel::BlnMonConnectFlag() const { return value_of("BlnMonConnectFlag").toBool(); }
double Brivel::DblMonoWaveLen() const { return value_of("DblMonoWaveLen").toDouble(); }
double Brivel::DblOpenPos() const { return value_of("DblOpenPos").toDouble(); }
int Brivel::LngInstrumentNo() const { return value_of("LngInstrumentNo").toInt(); }
int Brivel::IntGratingLines() const { return value_of("IntGratingLines").toInt(); }
int Brivel::LngZeroPos() const { return value_of("LngZeroPos").toInt(); }
int Brivel::IntSpeed() const { return value_of("IntSpeed").toInt(); }
double Brivel::DblMonoStep() const { return value_of("DblMonoStep").toDouble(); }
int Brivel::IntLanguage() const { return widgets_language().load(); }
QString Brivel::StrYear() const { return value_of("StrYear").toString(); }

void Brivel::set_property(const char* name, int value) {
  host_call(name, [&] {
    brivel::interface::set(*logic_, *brivel::interface::find_property(name), static_cast<std::int32_t>(value));
  });
}

void Brivel::set_property(const char* name, double value) {
  host_call(name, [&] { brivel::interface::set(*logic_, *brivel::interface::find_property(name), value); });
}

void Brivel::setIntUseCom(int value) { set_property("IntUseCom", value); }
void Brivel::setIntSpeed(int value) { set_property("IntSpeed", value); }
void Brivel::setDblOpenPos(double value) { set_property("DblOpenPos", value); }
void Brivel::setIntLanguage(int value) { set_property("IntLanguage", value); }

// ---- methods ----------------------------------------------------------------------------

void Brivel::OpenCom() { host_call("OpenCom", [&] { logic_->OpenCom(); }); }
void Brivel::CloseCom() { host_call("CloseCom", [&] { logic_->CloseCom(); }); }

void Brivel::MonochromatorMoveTo(double dblWavelen) {
  host_call("MonochromatorMoveTo", [&] { logic_->MonochromatorMoveTo(dblWavelen); });
}

void Brivel::SaveParameter(const QString& strFilePath) {
  host_call("SaveParameter", [&] { logic_->SaveParameter(strFilePath.toStdString()); });
}

void Brivel::LoadParameter(const QString& strFilePath) {
  host_call("LoadParameter", [&] { logic_->LoadParameter(strFilePath.toStdString()); });
}

void Brivel::ShowParaFace() { host_call("ShowParaFace", [&] { logic_->ShowParaFace(); }); }
void Brivel::ShowRunFace() { host_call("ShowRunFace", [&] { logic_->ShowRunFace(); }); }

// ---- for hosts, tools and tests ---------------------------------------------------------

QString Brivel::lastError() const { return last_error_; }

QWidget* Brivel::childControl(const QString& name) const {
  return view_ ? view_->widget(name.toStdString()) : nullptr;
}

void Brivel::withLogic(const std::function<void(brivel::Control&)>& work) {
  run_in_control("withLogic", [&] { work(*logic_); });
}

void Brivel::waitUntilIdle() {
  // Until a pass of the control's loop finds no call running, none held back and no
  // operation of controller() in flight: the calls the operator started run there, and
  // the call that looked sends the widgets what changed when it returns.
  while (!dying_) {
    bool idle = false;
    run_in_control("waitUntilIdle", [&] {
      idle = calls_running_.load() == 1 && held_back_.empty() && !thread_->controller().state().busy;
    });
    if (idle) return;
    bool paused = false;
    QTimer::singleShot(5, this, [&paused] { paused = true; });
    while (!paused) QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  }
}

brivel::Controller& Brivel::controller() { return thread_->controller(); }

void Brivel::setPortDevice(int number, const QString& device) {
  brivel::qt::set_port_device(number, device);
}

QSize Brivel::sizeHint() const { return view_ ? view_->panel_size() : QSize(569, 345); }
QSize Brivel::minimumSizeHint() const { return sizeHint(); }
