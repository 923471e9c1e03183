// The twelve properties' change signals: one per change by whoever (host, operator, instrument), none
// for a value that stayed, each carrying the value the getter returns.

#include <algorithm>
#include <cstring>
#include <map>

#include "control_fixture.h"

namespace brivel::qt_tests {
namespace {

constexpr const char* kNames[] = {
    "IntUseCom",  "BlnBusy",         "BlnMonConnectFlag", "DblMonoWaveLen",
    "DblOpenPos", "LngInstrumentNo", "IntGratingLines",   "LngZeroPos",
    "IntSpeed",   "DblMonoStep",     "StrYear",           "IntLanguage",
};

// A spy on every change signal, and the values the properties had when it started.
class Spies {
 public:
  explicit Spies(QObject* control) : control_(control) {
    const QMetaObject* meta = control->metaObject();
    for (const char* name : kNames) {
      const QMetaProperty p = meta->property(meta->indexOfProperty(name));
      EXPECT_TRUE(p.hasNotifySignal()) << name;
      spies_[name] = std::make_unique<QSignalSpy>(control, p.notifySignal());
      before_[name] = control->property(name);
    }
  }
  int count(const char* name) const { return static_cast<int>(spies_.at(name)->count()); }
  QVariant last(const char* name) const {
    const QSignalSpy& spy = *spies_.at(name);
    return spy.isEmpty() ? QVariant() : spy.constLast().at(0);
  }
  // Fired `times` times (any when negative), each value differing from the one before (the first
  // from the start), the last the property's value now.
  void expect_changes(const char* name, int times = -1) const {
    const QSignalSpy& spy = *spies_.at(name);
    if (times >= 0) {
      EXPECT_EQ(spy.count(), times) << name;
    }
    QVariant previous = before_.at(name);
    for (const QList<QVariant>& args : spy) {
      EXPECT_NE(args.at(0), previous) << name << " announced an unchanged value";
      previous = args.at(0);
    }
    EXPECT_EQ(previous, control_->property(name)) << name;
  }
  // No other signal fired.
  void expect_quiet_except(std::initializer_list<const char*> changed) const {
    for (const char* name : kNames)
      EXPECT_TRUE(count(name) == 0 || std::any_of(changed.begin(), changed.end(),
                                                  [&](const char* c) { return std::strcmp(c, name) == 0; }))
          << name;
  }

 private:
  QObject* control_;
  std::map<std::string, std::unique_ptr<QSignalSpy>> spies_;
  std::map<std::string, QVariant> before_;
};

// Lets the event loop handle what is pending and reach where it would sleep, as a host's idle loop.
void run_idle_loop() {
  QTimer::singleShot(0, [] {});
  QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  QCoreApplication::processEvents();
}

using ChangeSignalTest = ControlTest;

TEST_F(ChangeSignalTest, HostSettersAnnounceEachRealChangeOnce) {
  Spies spies(control_.get());
  control_->setProperty("IntUseCom", 16);
  control_->setProperty("IntUseCom", 16);   // the same again
  control_->setProperty("IntUseCom", 0);    // ignored by the control
  control_->setProperty("IntUseCom", 17);
  control_->setProperty("IntUseCom", 70000);  // refused as an overflow
  control_->setProperty("IntLanguage", 0);
  control_->setProperty("IntLanguage", 0);
  control_->setProperty("IntSpeed", 100);    // not connected: changes nothing
  control_->setProperty("IntUseCom", 1);
  run_idle_loop();
  spies.expect_changes("IntUseCom", 2);
  EXPECT_EQ(spies.last("IntUseCom").toInt(), 1);
  spies.expect_changes("IntLanguage", 1);
  EXPECT_EQ(spies.last("IntLanguage").toInt(), 0);
  spies.expect_quiet_except({"IntUseCom", "IntLanguage"});
  control_->setProperty("IntLanguage", 1);
}

TEST_F(ChangeSignalTest, IdentificationMoveAndCloseAnnounceWhatTheInstrumentChanged) {
  Spies spies(control_.get());
  // The value a signal carries is what the getter returns at that moment.
  int disagreements = 0;
  QObject::connect(control_.get(), &::Brivel::DblMonoWaveLenChanged, control_.get(),
                   [&](double nm) { disagreements += nm != control_->DblMonoWaveLen(); });
  QObject::connect(control_.get(), &::Brivel::BlnBusyChanged, control_.get(),
                   [&](bool busy) { disagreements += busy != control_->BlnBusy(); });
  connect_control();
  for (const char* name : {"BlnMonConnectFlag", "LngInstrumentNo", "IntGratingLines", "LngZeroPos",
                           "DblMonoStep", "StrYear", "DblOpenPos"})
    spies.expect_changes(name, 1);
  EXPECT_EQ(spies.last("LngInstrumentNo").toInt(), 12345);
  EXPECT_EQ(spies.last("StrYear").toString(), "21");
  EXPECT_EQ(spies.count("IntSpeed"), 0);      // the instrument reports the creation value
  EXPECT_EQ(spies.count("IntUseCom"), 0);
  // Busy while the identification waited, idle after it.
  spies.expect_changes("BlnBusy");
  EXPECT_GE(spies.count("BlnBusy"), 2);
  EXPECT_FALSE(spies.last("BlnBusy").toBool());
  // The wavelength follows the grating during the move, not only at its end.
  const int before_move = spies.count("DblMonoWaveLen");
  control_->MonochromatorMoveTo(800.0);
  EXPECT_GT(spies.count("DblMonoWaveLen") - before_move, 2);
  spies.expect_changes("DblMonoWaveLen");
  EXPECT_DOUBLE_EQ(spies.last("DblMonoWaveLen").toDouble(), 800.0);
  const int after_move = spies.count("DblMonoWaveLen");
  control_->MonochromatorMoveTo(800.0);  // already there: nothing moves, nothing is announced
  run_idle_loop();
  EXPECT_EQ(spies.count("DblMonoWaveLen"), after_move);
  control_->CloseCom();
  spies.expect_changes("BlnMonConnectFlag", 2);
  EXPECT_FALSE(spies.last("BlnMonConnectFlag").toBool());
  EXPECT_EQ(disagreements, 0);
}

TEST_F(ChangeSignalTest, OperatorAndInstrumentChangesAreAnnouncedWithoutAHostCall) {
  Spies spies(control_.get());
  QTest::mouseClick(child("Image1"), Qt::LeftButton);  // the operator connects
  settle();
  spies.expect_changes("BlnMonConnectFlag", 1);
  spies.expect_changes("LngInstrumentNo", 1);
  // The operator types into the year field: announced once the control has taken it.
  auto* year = child<QLineEdit>("TxtYear");
  year->selectAll();
  QTest::keyClicks(year, "1999");
  settle();
  EXPECT_EQ(spies.last("StrYear").toString(), "1999");
  spies.expect_changes("StrYear");
  const int year_changes = spies.count("StrYear");
  run_idle_loop();
  EXPECT_EQ(spies.count("StrYear"), year_changes);  // nothing new: nothing announced
  // The operator's refresh reads another number; the connected flag drops meanwhile and comes back.
  with_memory([](sim::Memory& m) { m.instrument_no = 777; });
  child<QAbstractButton>("CmdMonoRefresh")->click();
  settle();
  spies.expect_changes("LngInstrumentNo", 2);
  EXPECT_EQ(spies.last("LngInstrumentNo").toInt(), 777);
  spies.expect_changes("BlnMonConnectFlag");
  EXPECT_TRUE(spies.last("BlnMonConnectFlag").toBool());
  EXPECT_EQ(spies.last("StrYear").toString(), "21");  // read back from the instrument
  spies.expect_changes("StrYear");
}

TEST_F(ChangeSignalTest, SlotsThatCallBackOrLetTheControlGoLeaveNothingStale) {
  // A slot that changes another property: that change is announced once, in order.
  std::vector<std::string> order;
  QObject::connect(control_.get(), &::Brivel::IntLanguageChanged, control_.get(), [&](int language) {
    order.push_back("IntLanguage " + std::to_string(language));
    control_->setIntUseCom(language == 0 ? 5 : 1);
  });
  QObject::connect(control_.get(), &::Brivel::IntUseComChanged, control_.get(),
                   [&](int port) { order.push_back("IntUseCom " + std::to_string(port)); });
  control_->setIntLanguage(0);
  run_idle_loop();
  control_->setIntLanguage(1);
  run_idle_loop();
  EXPECT_EQ(order, (std::vector<std::string>{"IntLanguage 0", "IntUseCom 5", "IntLanguage 1",
                                             "IntUseCom 1"}));
  // deleteLater from a change signal during a move: the move ends, then the control goes.
  QPointer<::Brivel> control(control_.release());
  control->OpenCom();
  ASSERT_TRUE(control->BlnMonConnectFlag());
  QObject::connect(control, &::Brivel::DblMonoWaveLenChanged, control,
                   [&control](double nm) { if (nm > 600.0) control->deleteLater(); });
  control->MonochromatorMoveTo(700.0);
  ASSERT_FALSE(control.isNull());
  EXPECT_DOUBLE_EQ(control->DblMonoWaveLen(), 700.0);
  EXPECT_FALSE(control->BlnBusy());
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(control.isNull());
}

}  // namespace
}  // namespace brivel::qt_tests
