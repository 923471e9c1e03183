// The dispatch interface through the meta-object system, failures for the host, real message boxes.

#include "control/interface.h"
#include "control_fixture.h"

namespace brivel::qt_tests {
namespace {

using InterfaceTest = ControlTest;

// The value each property reads before and after OpenCom (nullptr: not checked).
struct Reading {
  const char *name, *created, *connected;
};
constexpr Reading kReadings[] = {
    {"IntUseCom", "1", "1"},          {"BlnBusy", "false", "false"},
    {"BlnMonConnectFlag", "false", "true"}, {"DblMonoWaveLen", "0", nullptr},
    {"DblOpenPos", nullptr, "500"},   {"LngInstrumentNo", nullptr, "12345"},
    {"IntGratingLines", nullptr, "1200"}, {"LngZeroPos", nullptr, "1000"},
    {"IntSpeed", "250", "250"},       {"DblMonoStep", "0", "0.00625"},
    {"StrYear", "00000", "21"},       {"IntLanguage", "1", "1"},
};

int qt_type(interface::Type type) {
  switch (type) {
    case interface::Type::Bool: return QMetaType::Bool;
    case interface::Type::Int16:
    case interface::Type::Int32: return QMetaType::Int;
    case interface::Type::Double: return QMetaType::Double;
    case interface::Type::Text: return QMetaType::QString;
  }
  return QMetaType::UnknownType;
}

// The core's interface table and moc agree on each property (type, access, signal) and method (argument),
// and every control an event names is a real widget that takes that event.
TEST_F(InterfaceTest, TheWidgetHasEveryPropertyMethodAndEventOfTheInterfaceTable) {
  const QMetaObject* meta = control_->metaObject();
  for (const interface::Property& p : interface::kProperties) {
    const QMetaProperty property = meta->property(meta->indexOfProperty(p.name));
    ASSERT_TRUE(property.isValid()) << p.name;
    EXPECT_EQ(property.metaType().id(), qt_type(p.type)) << p.name;
    EXPECT_EQ(property.isWritable(), p.set != nullptr) << p.name;
    EXPECT_TRUE(property.hasNotifySignal()) << p.name;
  }
  EXPECT_EQ(meta->propertyCount() - meta->propertyOffset(), int(std::size(interface::kProperties)) + 3)
      << "a property of the widget beyond the table and lastError, hostMessages, messageTimeout";
  for (const interface::Method& m : interface::kMethods) {
    const char* argument = m.argument == interface::Argument::Wavelength ? "double"
                           : m.argument == interface::Argument::Path     ? "QString"
                                                                         : "";
    const QByteArray signature = QByteArray(m.name) + '(' + argument + ')';
    EXPECT_GE(meta->indexOfMethod(signature), 0) << signature.constData();
  }
  for (const interface::Event& e : interface::kEvents) {
    QWidget* w = control_->childControl(e.control);
    ASSERT_NE(w, nullptr) << e.control;
    const bool takes = e.kind == interface::EventKind::Click
                           ? qobject_cast<QAbstractButton*>(w) || qobject_cast<QComboBox*>(w)
                       : e.kind == interface::EventKind::KeyPress || e.kind == interface::EventKind::LostFocus
                           ? qobject_cast<QLineEdit*>(w) != nullptr
                           : qobject_cast<QAbstractButton*>(w) || qobject_cast<QLabel*>(w);
    EXPECT_TRUE(takes) << interface::handler_name(e) << " on a " << w->metaObject()->className();
  }
}

TEST_F(InterfaceTest, FailuresReachTheHostAsLastErrorAndEveryCallStartsClean) {
  control_->setProperty("IntUseCom", 16);
  QSignalSpy failed(control_.get(), &::Brivel::failed);
  control_->setProperty("IntUseCom", 65537);  // beyond 16 bits: an overflow, not 1
  EXPECT_EQ(prop("IntUseCom").toInt(), 16);
  EXPECT_EQ(failed.count(), 1);
  EXPECT_FALSE(prop("lastError").toString().isEmpty());
  control_->setProperty("IntUseCom", 1);
  EXPECT_TRUE(prop("lastError").toString().isEmpty());
  // An unknown grating has no step size: the power-on setter divides by zero once confirmed.
  with_memory([](sim::Memory& m) { m.grating = 9; });
  QSignalSpy warned(control_.get(), &::Brivel::warned);
  connect_control();
  ASSERT_EQ(prop("DblMonoStep").toDouble(), 0.0);
  EXPECT_EQ(failed.count(), 1) << "an unknown grating code is a warning, not a failure";
  ASSERT_EQ(warned.count(), 1);
  EXPECT_TRUE(warned[0][0].toString().startsWith("OpenCom: the instrument reported grating code 9"));
  control_->setProperty("DblOpenPos", 100.0);
  EXPECT_EQ(failed.count(), 2);
  EXPECT_TRUE(prop("lastError").toString().startsWith("DblOpenPos"));
  EXPECT_FALSE(prop("BlnBusy").toBool());
}

TEST_F(InterfaceTest, EveryPropertyMethodAndSetterReachesTheInstrument) {
  for (const Reading& row : kReadings)
    if (row.created) { EXPECT_EQ(prop(row.name).toString(), row.created) << row.name; }
  ASSERT_TRUE(QMetaObject::invokeMethod(control_.get(), "OpenCom"));
  for (const Reading& row : kReadings)
    if (row.connected) { EXPECT_EQ(prop(row.name).toString(), row.connected) << row.name; }
  ASSERT_TRUE(QMetaObject::invokeMethod(control_.get(), "MonochromatorMoveTo", Q_ARG(double, 300.0)));
  EXPECT_NEAR(prop("DblMonoWaveLen").toDouble(), 300.0, 0.006);
  control_->setProperty("IntSpeed", 100);
  EXPECT_EQ(prop("IntSpeed").toInt(), 100);
  control_->setProperty("DblOpenPos", 435.83);  // asks, then confirms
  ASSERT_EQ(shown_.size(), 2u);
  EXPECT_EQ(shown_[1].icon, Icon::Information);
  EXPECT_NEAR(prop("DblOpenPos").toDouble(), 435.83, 1e-9);
  QTemporaryDir dir;
  const QString file = dir.filePath("parameters.txt");
  ASSERT_TRUE(QMetaObject::invokeMethod(control_.get(), "SaveParameter", Q_ARG(QString, file)));
  EXPECT_TRUE(QFile::exists(file));
  const auto hidden = [&] { return std::make_pair(child("FraRunPanel")->isHidden(), child("FraFilterParam")->isHidden()); };
  ASSERT_TRUE(QMetaObject::invokeMethod(control_.get(), "ShowParaFace"));
  EXPECT_EQ(hidden(), std::make_pair(true, false));
  EXPECT_EQ(child("FraFilterParam")->pos(), QPoint(0, 0));
  ASSERT_TRUE(QMetaObject::invokeMethod(control_.get(), "ShowRunFace"));
  EXPECT_EQ(hidden(), std::make_pair(false, true));
  ASSERT_TRUE(QMetaObject::invokeMethod(control_.get(), "CloseCom"));
  EXPECT_FALSE(prop("BlnMonConnectFlag").toBool());
  EXPECT_TRUE(prop("lastError").toString().isEmpty());
}

TEST_F(InterfaceTest, RealMessageBoxesShowTitleTextIconAndButtons) {
  // No interceptor: real QMessageBoxes, each read and answered (English texts: the virtual-time suites).
  const qt::ScopedDialogInterceptor real_boxes(nullptr);
  SeenBox seen;
  const char* const refusals[][3] = {  // not connected: button, text, title
      {"CmdStop", "Demo模式下没有此功能！", ""},
      {"CmdUp", "单色仪未正常连接！", "提示"},
      {"CmdReAnchor", "单色仪未正常连接！", "提示"},
      {"ChkUseFilter", "单色仪未成功连接！", ""},
  };
  control_->setProperty("IntLanguage", 0);
  for (const auto& [button, text, title] : refusals) {
    press_next_box(seen, QDialogButtonBox::Ok);
    child<QAbstractButton>(button)->click();
    settle();
    EXPECT_EQ(std::make_tuple(seen.text, seen.title, seen.icon, seen.buttons),
              std::make_tuple(QString::fromUtf8(text), QString::fromUtf8(title), QMessageBox::NoIcon,
                              QStringList{QString::fromUtf8("确定")})) << button;
  }
  press_next_box(seen, QDialogButtonBox::Ok);
  QMetaObject::invokeMethod(control_.get(), "MonochromatorMoveTo", Q_ARG(double, -12.5));
  EXPECT_EQ(seen.text, QString::fromUtf8("无法走到这个波长：-12.5"));
  EXPECT_EQ(seen.icon, QMessageBox::Critical);
  // (A question's real box, cancelled: HostMessageTest.BoxesByDefault...)
}

}  // namespace
}  // namespace brivel::qt_tests
