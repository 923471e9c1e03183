// bench_cpu: what the control costs the host's thread while it talks to the instrument.
//
// Runs the control against the simulated controller on a pseudo-terminal, served from a
// thread of this process, twice over in every round, on the same simulator and with
// the same move:
//   ours      the Brivel widget as it ships: the logic, the Qt event pump and serial
//             port on the control's own thread, the real widgets of its panels on the
//             GUI thread;
//   baseline  the logic and the real widgets on the GUI thread, with the waits of the
//             first design: its event pump yields to the event loop again and again,
//             without sleeping, until the tick (a decorator whose wait_until() is one
//             yield()).
// and prints, as ratios, the figures the control is held to:
//   * GUI-thread CPU / wall during a move of S seconds (and of the whole process, the
//     simulator's thread included);
//   * that every position report is shown: the longest time the label lagged behind
//     the newest report, in frames of its screen, and its paints per frame;
//   * OpenCom's wall time / its floor: nine request-reply exchanges that each end at
//     the first 10 ms tick after the reply, and the filter read-back's 50 ms tick;
//   * position reports per second during the move / the follow loop's pacing limit:
//     two requests per pass, each ending at the first 10 ms tick after its reply
//     (the reply of 5 bytes at 9600 baud comes within the tick), after a pause of
//     10 ms: 2 / 30 ms;
//   * CPU while the control is idle in the host's event loop.
// A third variant, for comparison and with no goal of its own:
//   threaded  a host on the non-blocking API: BrivelController runs the control on a
//             thread of its own, and the GUI thread shows every position report it is
//             sent on a plain QLabel.
//
//   bench_cpu [--seconds S] [--rounds N] [--only ours|baseline|threaded]
//
// S is the length of the move (default 5), N the number of rounds (default 3); the
// summary gives the median of the rounds. The two variants alternate their order from
// round to round; --only runs one of them (for a profiler). Without a display it uses
// the offscreen platform. The exit status is 1 when a figure of the shipped control
// misses its goal. The machine is shared: figures of a busy moment are higher.

#include <sys/resource.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QEventLoop>
#include <QLabel>
#include <QScreen>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Brivel.h"
#include "BrivelController.h"
#include "control/control.h"
#include "control/controller.h"
#include "pty_server.h"
#include "qt/core/qt_platform.h"
#include "surface_view.h"

namespace {

// ---- the instrument and the fixed pacing of the control ----------------------------

// The simulated instrument: 0.00625 nm per step, its motor at 40 steps/s per unit of
// speed, so 10000 steps/s (62.5 nm/s) at the top speed of 250.
constexpr double kStepsPerSpeed = 40.0;
constexpr double kNmPerSecond = 250 * kStepsPerSpeed * 0.00625;
constexpr double kQuickStepsPerSpeed = 4000.0;  // for the unmeasured return between rounds

// The control's pacing, as its waits are built.
constexpr double kTick = 0.010;          // s: WaitReply and WaitForOK
constexpr double kDataTick = 0.050;      // s: WaitForData (the filter read-back)
constexpr double kFollowPause = 0.010;   // s: the follow loop's pause
constexpr int kRequestsPerPass = 2;      // position requests per pass
constexpr int kIdentifyExchanges = 9;    // eight questions and the position request
constexpr double kOpenComFloor = kIdentifyExchanges * kTick + kDataTick;
constexpr double kPacingLimit = kRequestsPerPass / (kFollowPause + kRequestsPerPass * kTick);

// Goals of the shipped control.
constexpr double kGoalMoveCpu = 0.02;    // GUI CPU / wall during the move, at most
constexpr double kGoalOpenCom = 1.05;    // OpenCom wall / floor, at most
constexpr double kGoalReports = 0.9;     // reports per second / pacing limit, at least
constexpr double kGoalLagFrames = 1.0;   // label behind the newest report, at most
// Idle: no wake-up of the GUI thread but the bench's own timer that ends the second,
// and a CPU share that rounds to 0.000 (that one wake-up costs about 0.2 ms).
constexpr long kBenchIdleWakeups = 1;
constexpr double kGoalIdleCpu = 0.0005;

// ---- clocks -------------------------------------------------------------------------

struct Usage {
  double cpu = 0;     // s
  long wakeups = 0;   // voluntary context switches: the thread slept and was woken
};

Usage usage(int who) {
  rusage u{};
  getrusage(who, &u);
  return {static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
              static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6,
          u.ru_nvcsw};
}

QElapsedTimer& bench_clock() {
  static QElapsedTimer clock;
  if (!clock.isValid()) clock.start();
  return clock;
}
double seconds_now() { return static_cast<double>(bench_clock().nsecsElapsed()) / 1e9; }

struct Phase {
  double wall = 0, gui_cpu = 0, process_cpu = 0;
  long gui_wakeups = 0;
  double gui_share() const { return wall > 0 ? gui_cpu / wall : 0; }
  double process_share() const { return wall > 0 ? process_cpu / wall : 0; }
  double wakeups_per_second() const { return wall > 0 ? gui_wakeups / wall : 0; }
};

Phase measure(const std::function<void()>& run) {
  const Usage gui = usage(RUSAGE_THREAD);
  const Usage process = usage(RUSAGE_SELF);
  const double start = seconds_now();
  run();
  Phase p;
  p.wall = seconds_now() - start;
  const Usage gui_after = usage(RUSAGE_THREAD);
  p.gui_cpu = gui_after.cpu - gui.cpu;
  p.gui_wakeups = gui_after.wakeups - gui.wakeups;
  p.process_cpu = usage(RUSAGE_SELF).cpu - process.cpu;
  return p;
}

// ---- the baseline's waits ------------------------------------------------------------

// The waits of the first design: yield to the event loop again and again until the
// tick. The control's tick loop calls wait_until() until Timer1 has ticked; here each
// call yields once and returns, so the loop never sleeps.
class SpinningPump : public brivel::EventPump {
 public:
  explicit SpinningPump(brivel::EventPump& inner) : inner_(inner) {}
  double now() const override { return inner_.now(); }
  void yield() override { inner_.yield(); }
  void wait_until(double) override { inner_.yield(); }
  std::unique_ptr<brivel::Timer> make_timer() override { return inner_.make_timer(); }
  void post(std::function<void()> task) override { inner_.post(std::move(task)); }
  void idle() override { inner_.idle(); }

 private:
  brivel::EventPump& inner_;
};

// ---- what the control receives and shows -------------------------------------------

struct Report {
  double at;          // s, bench clock
  std::string shown;  // the label's text in the model after the report
};
struct Paint {
  double at;
  std::string painted;  // what the real label painted
  std::string newest;   // the model's text at that moment
};

// The serial port the control talks through, passed on to the Qt port: notes every
// position report the control's receive handler has just taken.
class ProbePort : public brivel::SerialPort {
 public:
  explicit ProbePort(std::unique_ptr<brivel::SerialPort> inner) : inner_(std::move(inner)) {
    inner_->set_receive_handler([this](int code) {
      raise_event(code);
      if (on_packet && !last_.empty()) on_packet(last_);
      last_.clear();
    });
  }
  std::function<void(const brivel::Bytes&)> on_packet;
  double first_write = -1;  // s, bench clock: the first command after open()

  void set_port_number(int n) override { inner_->set_port_number(n); }
  int port_number() const override { return inner_->port_number(); }
  std::string device_name() const override { return inner_->device_name(); }
  void set_line(const brivel::LineSettings& line) override { inner_->set_line(line); }
  brivel::LineSettings line() const override { return inner_->line(); }
  void clear_input() override { inner_->clear_input(); }
  void clear_output() override { inner_->clear_output(); }
  void open() override {
    inner_->open();
    first_write = -1;
  }
  void close() override { inner_->close(); }
  bool is_open() const override { return inner_->is_open(); }
  void write(const brivel::Bytes& d) override {
    if (first_write < 0) first_write = seconds_now();
    inner_->write(d);
  }
  void set_threshold(int b) override { inner_->set_threshold(b); }
  int threshold() const override { return inner_->threshold(); }
  int bytes_waiting() const override { return inner_->bytes_waiting(); }
  brivel::Bytes read_all() override {
    brivel::Bytes got = inner_->read_all();
    last_.insert(last_.end(), got.begin(), got.end());
    return got;
  }

 private:
  std::unique_ptr<brivel::SerialPort> inner_;
  brivel::Bytes last_;
};

// Message boxes would block the bench: every message is kept and answered with OK.
class QuietDialogs : public brivel::Dialogs {
 public:
  brivel::Answer message(const std::string& text, const std::string&, brivel::Icon,
                         brivel::Buttons) override {
    said.push_back(text);
    return brivel::Answer::Ok;
  }
  std::optional<std::string> input(const std::string&, const std::string&,
                                   const std::string& default_text) override {
    return default_text;
  }
  std::vector<std::string> said;
};

// Watches the label that shows the reports: each report the host gives it and each
// paint, with the newest text at that moment (`newest`).
class LabelWatch : public QObject {
 public:
  LabelWatch(QLabel* label, std::function<std::string()> newest) : label_(label), newest_(std::move(newest)) {
    label_->installEventFilter(this);
  }
  ~LabelWatch() override { label_->removeEventFilter(this); }

  // One frame of the label's screen (a screen that gives no rate counts as 60 Hz).
  double frame() const {
    const QScreen* screen = label_->screen();
    const double rate = screen ? screen->refreshRate() : 0.0;
    return 1.0 / (rate >= 24.0 ? rate : 60.0);
  }
  void record(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (on) {
      reports_.clear();
      paints_.clear();
      reports_.reserve(4096);
      paints_.reserve(4096);
    }
    recording_ = on;
  }
  // A position report, from whichever thread takes it.
  void reported() {
    const std::string newest = newest_();
    std::lock_guard<std::mutex> lock(mutex_);
    if (recording_) reports_.push_back({seconds_now(), newest});
  }
  const std::vector<Report>& reports() const { return reports_; }
  const std::vector<Paint>& paints() const { return paints_; }
  std::string shown() const { return label_->text().toStdString(); }
  std::string last_painted() const { return last_painted_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched == label_ && event->type() == QEvent::Paint) {
      last_painted_ = label_->text().toStdString();
      const std::string newest = newest_();
      std::lock_guard<std::mutex> lock(mutex_);
      if (recording_) paints_.push_back({seconds_now(), last_painted_, newest});
    }
    return false;
  }

 private:
  QLabel* label_;
  std::function<std::string()> newest_;
  std::mutex mutex_;  // reports may come on the control's thread
  bool recording_ = false;
  std::vector<Report> reports_;
  std::vector<Paint> paints_;
  std::string last_painted_;
};

// Runs the event loop for `seconds` (paints due, timers).
void settle(double seconds) {
  QEventLoop loop;
  QTimer::singleShot(static_cast<int>(seconds * 1000), &loop, &QEventLoop::quit);
  loop.exec();
}

// What a round needs of a variant, each call blocking until it has ended.
struct Host {
  std::function<void()> open;
  std::function<void(double)> move_to;
  std::function<void()> close;
  std::function<bool()> connected;
  std::function<double()> wavelength;
  std::function<std::string()> newest;   // the readout's newest text
  std::function<double()> first_write;   // s, bench clock: OpenCom's first command (NaN: unknown)
  std::function<std::vector<std::string>()> problems;  // what went wrong, told at the end
  LabelWatch* watch = nullptr;
};

// The baseline: the logic, its Qt pump and port and the real widgets all on the GUI
// thread, the pump's waits spinning.
class BaselineRig {
 public:
  BaselineRig() {
    pump_ = std::make_unique<brivel::qt::QtEventPump>();
    spin_ = std::make_unique<SpinningPump>(*pump_);
    auto port = std::make_unique<ProbePort>(std::make_unique<brivel::qt::QtSerialPort>());
    probe_ = port.get();
    logic_ = std::make_unique<brivel::Control>(*spin_, dialogs_, std::move(port));
    brivel::qt::ControlAccess access;
    access.call = [this](const brivel::qt::LogicWork& work) { work(*logic_); };
    access.post = [this](brivel::qt::LogicWork work) { pump_->post([this, work] { work(*logic_); }); };
    view_ = std::make_unique<brivel::qt::SurfaceView>(
        std::move(access), &host_, [this](const char* what, const std::function<void()>& call) {
          guarded(what, call);
        });
    host_.resize(view_->panel_size());
    host_.show();
    watch_ = std::make_unique<LabelWatch>(qobject_cast<QLabel*>(view_->widget("LblWaveLen")),
                                          [this] { return logic_->surface().at("LblWaveLen").text(); });
    probe_->on_packet = [this](const brivel::Bytes& packet) {
      if (packet.size() >= 5 && packet[0] == 'w') watch_->reported();
    };
    settle(0.1);
  }
  ~BaselineRig() {
    watch_.reset();
    logic_.reset();  // its surface calls the view to the end
    view_.reset();
  }

  Host host() {
    Host h;
    brivel::Control& c = *logic_;
    h.open = [this, &c] { guarded("OpenCom", [&] { c.OpenCom(); }); };
    h.move_to = [this, &c](double nm) { guarded("MonochromatorMoveTo", [&] { c.MonochromatorMoveTo(nm); }); };
    h.close = [&c] { c.CloseCom(); };
    h.connected = [&c] { return c.BlnMonConnectFlag() != brivel::kFalse; };
    h.wavelength = [&c] { return c.DblMonoWaveLen(); };
    h.newest = [&c] { return c.surface().at("LblWaveLen").text(); };
    h.first_write = [this] { return probe_->first_write; };
    h.problems = [this] { return problems(); };
    h.watch = watch_.get();
    return h;
  }
  std::vector<std::string> problems() const {
    std::vector<std::string> all = failures_;
    all.insert(all.end(), dialogs_.said.begin(), dialogs_.said.end());
    return all;
  }

 private:
  void guarded(const char* what, const std::function<void()>& run) {
    try {
      run();
    } catch (const std::exception& e) {
      failures_.push_back(std::string(what) + ": " + e.what());
    }
  }
  QWidget host_;
  QuietDialogs dialogs_;
  std::unique_ptr<brivel::qt::QtEventPump> pump_;
  std::unique_ptr<SpinningPump> spin_;
  ProbePort* probe_ = nullptr;
  std::unique_ptr<brivel::Control> logic_;
  std::unique_ptr<brivel::qt::SurfaceView> view_;
  std::unique_ptr<LabelWatch> watch_;
  std::vector<std::string> failures_;
};

// Ours: the Brivel widget as a host embeds it. Its messages are taken over and
// answered OK, each kept as a problem; the position reports are noted on the control's
// thread, with the readout's text they left in the logic.
class WidgetRig {
 public:
  WidgetRig() {
    control_.setHostMessages(true);
    QObject::connect(&control_, &Brivel::messageRequested, &control_, [this](const BrivelMessage& m) {
      said_.push_back(m.text.toStdString());
      if (m.isQuestion()) control_.answerMessage(m.id, QStringLiteral("Ok"));
    });
    QObject::connect(&control_, &Brivel::failed, &control_,
                     [this](const QString& text) { said_.push_back(text.toStdString()); });
    control_.show();
    watch_ = std::make_unique<LabelWatch>(qobject_cast<QLabel*>(control_.childControl(QStringLiteral("LblWaveLen"))),
                                          [this] { return newest(); });
    brivel::Controller& controller = control_.controller();
    brivel::Observer observer;
    observer.position = [this, &controller](double) {
      // On the control's thread, right after the readout took the report.
      std::string text = controller.control().surface().at("LblWaveLen").text();
      {
        std::lock_guard<std::mutex> lock(mutex_);
        newest_ = std::move(text);
      }
      watch_->reported();
    };
    observer_ = controller.subscribe(std::move(observer));
    settle(0.1);
  }
  ~WidgetRig() { control_.controller().unsubscribe(observer_); }

  Host host() {
    Host h;
    h.open = [this] { control_.OpenCom(); };
    h.move_to = [this](double nm) { control_.MonochromatorMoveTo(nm); };
    h.close = [this] { control_.CloseCom(); };
    h.connected = [this] { return control_.BlnMonConnectFlag(); };
    h.wavelength = [this] { return control_.DblMonoWaveLen(); };
    h.newest = [this] { return newest(); };
    h.first_write = [] { return std::nan(""); };
    h.problems = [this] { return problems(); };
    h.watch = watch_.get();
    return h;
  }
  std::vector<std::string> problems() const { return said_; }

 private:
  std::string newest() {
    std::lock_guard<std::mutex> lock(mutex_);
    return newest_;
  }
  Brivel control_;
  std::unique_ptr<LabelWatch> watch_;
  int observer_ = 0;
  std::mutex mutex_;
  std::string newest_;  // the readout's text after the latest report
  std::vector<std::string> said_;
};

// ---- one round of one variant --------------------------------------------------------

struct Figures {
  Phase identify, move, idle;
  double opening = 0;          // s: OpenCom's start to its first command (the port's open)
  int reports = 0;
  int paints = 0;
  double lag_frames = 0;       // longest lag of the label behind the newest report
  double lag_after_paint = 0;  // s: how long after the paint before it that report came
  double frame = 0;            // s
  bool final_shown = false;    // the label shows the last report after the move
  bool ok = true;
  double open_ratio() const { return identify.wall / kOpenComFloor; }
  double report_ratio() const { return move.wall > 0 ? reports / move.wall / kPacingLimit : 0; }
  double paints_per_frame() const { return move.wall > 0 ? paints / move.wall * frame : 0; }
};

// The longest time a report waited until a paint showed it or a newer one (0 when the
// label already showed that text), with when it came and when the paint before it was.
struct Lag {
  double longest = 0, report_at = 0, previous_paint = 0;
};
Lag longest_lag(const std::vector<Report>& reports, const std::vector<Paint>& paints,
                double move_end, std::string shown_before) {
  Lag lag;
  std::size_t p = 0;
  for (const Report& r : reports) {
    for (; p < paints.size() && paints[p].at < r.at; ++p) shown_before = paints[p].painted;
    if (r.shown == shown_before) continue;
    std::size_t q = p;
    while (q < paints.size() && paints[q].painted != paints[q].newest) ++q;
    const double until = q < paints.size() ? paints[q].at : move_end;
    if (until - r.at > lag.longest)
      lag = {until - r.at, r.at, p > 0 ? paints[p - 1].at : 0.0};
  }
  return lag;
}

// Measures `move` with the label's reports and paints recorded: the move's figures and
// how far the label lagged behind the newest report.
void measure_move(Figures& f, LabelWatch& watch, const std::function<void()>& move) {
  const std::string before = watch.last_painted();
  watch.record(true);
  f.move = measure(move);
  const double move_end = seconds_now();
  settle(3 * f.frame);  // a held paint is due within a frame
  watch.record(false);
  f.reports = static_cast<int>(watch.reports().size());
  f.paints = static_cast<int>(watch.paints().size());
  const Lag lag = longest_lag(watch.reports(), watch.paints(), move_end + 3 * f.frame, before);
  f.lag_frames = lag.longest / f.frame;
  f.lag_after_paint = lag.previous_paint > 0 ? lag.report_at - lag.previous_paint : 0;
}

// One round of one variant: OpenCom, a return to `from` (not measured), the move to
// `to`, a second of idling, CloseCom.
Figures run_round(Host h, brivel::sim::PtyServer& server, double from, double to) {
  Figures f;
  f.frame = h.watch->frame();
  const double open_start = seconds_now();
  f.identify = measure(h.open);
  f.opening = h.first_write() - open_start;
  if (!h.connected()) {
    std::fprintf(stderr, "bench_cpu: OpenCom did not connect\n");
    f.ok = false;
    return f;
  }
  // Start where every round starts; this return is not measured.
  if (std::abs(h.wavelength() - from) > 0.005) {
    server.with_controller([](brivel::sim::Controller& c) { c.motor().steps_per_speed = kQuickStepsPerSpeed; });
    h.move_to(from);
    server.with_controller([](brivel::sim::Controller& c) { c.motor().steps_per_speed = kStepsPerSpeed; });
  }
  settle(0.1);

  LabelWatch& watch = *h.watch;
  measure_move(f, watch, [&] { h.move_to(to); });
  const std::string newest = h.newest();
  f.final_shown = watch.shown() == newest && watch.last_painted() == newest;
  if (std::abs(h.wavelength() - to) > 0.01) {
    std::fprintf(stderr, "bench_cpu: the move ended at %.2f nm, not %.2f\n", h.wavelength(), to);
    f.ok = false;
  }

  f.idle = measure([] { settle(1.0); });
  h.close();
  for (const std::string& problem : h.problems()) {
    std::fprintf(stderr, "bench_cpu: %s\n", problem.c_str());
    f.ok = false;
  }
  return f;
}

// ---- a host on the non-blocking API ------------------------------------------------------

// BrivelController with the control on its own thread; a label on the GUI thread shows
// every position report it is sent.
class ThreadedRig {
 public:
  explicit ThreadedRig(const QString& device) : label_(new QLabel(&host_)), mono_(device) {
    label_->setMinimumWidth(200);
    host_.resize(300, 60);
    host_.show();
    watch_ = std::make_unique<LabelWatch>(label_, [this] { return newest_.toStdString(); });
    QObject::connect(&mono_, &BrivelController::positionReported, label_, [this](double nm) {
      newest_ = QString::number(nm, 'f', 2);
      label_->setText(newest_);
      watch_->reported();
    });
    settle(0.1);
  }

  Host host() {
    Host h;
    h.open = [this] { run("open", mono_.open()); };
    h.move_to = [this](double nm) { run("moveTo", mono_.moveTo(nm)); };
    h.close = [this] { run("close", mono_.close()); };
    h.connected = [this] { return mono_.connected(); };
    h.wavelength = [this] { return mono_.wavelength(); };
    h.newest = [this] { return newest_.toStdString(); };
    h.first_write = [] { return std::nan(""); };
    h.problems = [this] { return problems(); };
    h.watch = watch_.get();
    return h;
  }
  std::vector<std::string> problems() const { return problems_; }

 private:
  // Runs the host's event loop until `op` ends; keeps its failure.
  void run(const char* what, BrivelOperation* op) {
    QEventLoop loop;
    QObject::connect(op, &BrivelOperation::finished, &loop, &QEventLoop::quit);
    if (!op->isDone()) loop.exec();
    if (!op->ok()) problems_.push_back(std::string("threaded: ") + what + ": " + (op->outcome() + ": " + op->text()).toStdString());
    delete op;
  }
  QWidget host_;
  QLabel* label_;   // a child of host_
  BrivelController mono_;
  QString newest_;
  std::unique_ptr<LabelWatch> watch_;
  std::vector<std::string> problems_;
};

enum class Variant { Ours, Baseline, Threaded };

Figures run_variant(Variant variant, brivel::sim::PtyServer& server, double from, double to) {
  switch (variant) {
    case Variant::Ours: {
      WidgetRig rig;
      return run_round(rig.host(), server, from, to);
    }
    case Variant::Baseline: {
      BaselineRig rig;
      return run_round(rig.host(), server, from, to);
    }
    case Variant::Threaded: {
      ThreadedRig rig(QString::fromStdString(server.device()));
      return run_round(rig.host(), server, from, to);
    }
  }
  return {};
}

// ---- the summary ------------------------------------------------------------------------

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

template <class Get>
double median_of(const std::vector<Figures>& rounds, Get get) {
  std::vector<double> values;
  for (const Figures& f : rounds) values.push_back(get(f));
  return median(values);
}

struct Row {
  const char* what;
  std::function<double(const Figures&)> get;
  const char* format;          // printf format of one figure
  const char* goal;            // text, or null: no goal
  std::function<bool(double)> met;
  bool ratio = true;           // print ours / baseline
};

}  // namespace

int main(int argc, char** argv) {
  double seconds = 5.0;
  int rounds = 3;
  bool run_ours = true, run_baseline = true, run_thread = true;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
      seconds = std::atof(argv[++i]);
    } else if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
      rounds = std::max(1, std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc &&
               (std::strcmp(argv[i + 1], "ours") == 0 || std::strcmp(argv[i + 1], "baseline") == 0 ||
                std::strcmp(argv[i + 1], "threaded") == 0)) {
      ++i;
      run_ours = std::strcmp(argv[i], "ours") == 0;
      run_baseline = std::strcmp(argv[i], "baseline") == 0;
      run_thread = std::strcmp(argv[i], "threaded") == 0;
    } else {
      std::fprintf(stderr, "usage: bench_cpu [--seconds S] [--rounds N] [--only ours|baseline|threaded]\n");
      return 2;
    }
  }
  if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
      qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  bench_clock();

  brivel::sim::PtyServer server;
  server.with_controller([](brivel::sim::Controller& c) { c.motor().steps_per_speed = kStepsPerSpeed; });
  std::string error;
  if (!server.start_background(error)) {
    std::fprintf(stderr, "bench_cpu: cannot start the simulator: %s\n", error.c_str());
    return 1;
  }
  brivel::qt::set_port_device(1, QString::fromStdString(server.device()));

  // The factory instrument stands at 500 nm.
  const double from = 500.0;
  const double to = from + seconds * kNmPerSecond;
  std::printf("bench_cpu: simulated controller on %s, motor %.1f nm/s, move %.2f -> %.2f nm, "
              "%d round%s\n",
              server.device().c_str(), kNmPerSecond, from, to, rounds, rounds == 1 ? "" : "s");
  std::printf("  ours: the Brivel widget as it ships (its control on a thread of its own);\n"
              "  baseline: the control on the GUI thread, its waits yielding to the event loop in a\n"
              "  busy loop until each tick, as the first design did; threaded (no goal): a host on\n"
              "  BrivelController showing every report on a plain label. Medians of the rounds.\n\n");

  std::vector<Figures> ours, baseline, threaded;
  bool ok = true;
  for (int r = 0; r < rounds; ++r) {
    const bool ours_first = r % 2 == 0;
    for (int k = 0; k < 3; ++k) {
      const Variant variant = k == 2 ? Variant::Threaded : (k == 0) == ours_first ? Variant::Ours : Variant::Baseline;
      if (!(variant == Variant::Ours ? run_ours : variant == Variant::Baseline ? run_baseline : run_thread)) continue;
      Figures f = run_variant(variant, server, from, to);
      ok = ok && f.ok;
      const char* name = variant == Variant::Ours ? "ours" : variant == Variant::Baseline ? "baseline" : "threaded";
      std::printf("round %d %-8s  OpenCom %.3f s  move %.3f s: GUI CPU %.3f s (%.1f %%), "
                  "process %.3f s, %d reports, %d paints, GUI wake-ups %ld, longest lag %.1f ms "
                  "(report %.1f ms after a paint)\n",
                  r + 1, name, f.identify.wall, f.move.wall, f.move.gui_cpu, 100 * f.move.gui_share(),
                  f.move.process_cpu, f.reports, f.paints, f.move.gui_wakeups, 1000 * f.lag_frames * f.frame,
                  1000 * f.lag_after_paint);
      std::fflush(stdout);
      (variant == Variant::Ours ? ours : variant == Variant::Baseline ? baseline : threaded).push_back(f);
    }
  }
  const double frame = ours.empty() ? 1.0 / 60 : ours.front().frame;

  const std::vector<Row> rows = {
      {"move: GUI-thread CPU / wall", [](const Figures& f) { return f.move.gui_share(); }, "%.4f",
       "<= 0.02", [](double v) { return v <= kGoalMoveCpu; }},
      {"move: process CPU / wall", [](const Figures& f) { return f.move.process_share(); }, "%.4f",
       nullptr, nullptr},
      {"move: GUI-thread wake-ups per second", [](const Figures& f) { return f.move.wakeups_per_second(); },
       "%.0f", nullptr, nullptr, false},
      {"move: reports per second / pacing limit", [](const Figures& f) { return f.report_ratio(); },
       "%.3f", ">= 0.9", [](double v) { return v >= kGoalReports; }},
      {"move: label lag behind newest report, frames", [](const Figures& f) { return f.lag_frames; },
       "%.2f", "<= 1", [](double v) { return v <= kGoalLagFrames; }},
      {"move: label paints per screen frame", [](const Figures& f) { return f.paints_per_frame(); },
       "%.2f", nullptr, nullptr},
      {"move: last report shown after the move (1 yes)",
       [](const Figures& f) { return f.final_shown ? 1.0 : 0.0; }, "%.0f", "= 1",
       [](double v) { return v == 1.0; }, false},
      {"OpenCom: wall / floor (0.140 s)", [](const Figures& f) { return f.open_ratio(); }, "%.3f",
       "<= 1.05", [](double v) { return v <= kGoalOpenCom; }},
      {"OpenCom: opening the port (lock file, device), ms",
       [](const Figures& f) { return 1000 * f.opening; }, "%.1f", nullptr, nullptr},
      {"OpenCom: from the first command, wall / floor",
       [](const Figures& f) { return (f.identify.wall - f.opening) / kOpenComFloor; }, "%.3f", nullptr,
       nullptr},
      {"OpenCom: GUI-thread CPU / wall", [](const Figures& f) { return f.identify.gui_share(); }, "%.4f",
       nullptr, nullptr},
      {"OpenCom: process CPU / wall", [](const Figures& f) { return f.identify.process_share(); }, "%.4f",
       nullptr, nullptr},
      {"idle 1 s: GUI-thread CPU / wall", [](const Figures& f) { return f.idle.gui_share(); }, "%.3f",
       "0.000", [](double v) { return v <= kGoalIdleCpu; }},
      {"idle 1 s: GUI-thread wake-ups by the control",
       [](const Figures& f) { return double(std::max(0L, f.idle.gui_wakeups - kBenchIdleWakeups)); },
       "%.0f", "0", [](double v) { return v == 0; }, false},
      {"idle 1 s: process CPU / wall", [](const Figures& f) { return f.idle.process_share(); }, "%.4f",
       nullptr, nullptr},
  };

  std::printf("\nscreen frame %.1f ms; pacing limit %.1f reports/s; OpenCom floor %.3f s\n\n", 1000 * frame,
              kPacingLimit, kOpenComFloor);
  std::printf("%-48s %10s %10s %14s %8s %6s %10s\n", "figure", "ours", "baseline", "ours/baseline", "goal",
              "met", "threaded");
  for (const Row& row : rows) {
    const double o = median_of(ours, row.get);
    const double b = median_of(baseline, row.get);
    const double t = median_of(threaded, row.get);
    char os[32], bs[32], ts[32], rs[32] = "";
    const auto show = [&row](char* out, std::size_t size, double v) {
      if (std::isnan(v))
        std::snprintf(out, size, "-");  // not known for this variant
      else
        std::snprintf(out, size, row.format, v);
    };
    show(os, sizeof os, o);
    show(bs, sizeof bs, b);
    show(ts, sizeof ts, t);
    if (row.ratio && b > 0 && !std::isnan(o)) std::snprintf(rs, sizeof rs, "%.3f", o / b);
    const bool met = ours.empty() || !row.met || row.met(o);
    ok = ok && met;
    std::printf("%-48s %10s %10s %14s %8s %6s %10s\n", row.what, os, bs, rs, row.goal ? row.goal : "",
                row.goal ? (met ? "yes" : "NO") : "", ts);
  }
  std::printf("\nbench_cpu: %s\n", ok ? "every goal met" : "a goal was missed");
  return ok ? 0 : 1;
}
