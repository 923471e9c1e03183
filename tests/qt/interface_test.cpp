// The dispatch interface through Qt's meta-object system, as a host reaches it:
// property(), setProperty() and invokeMethod() for every member; failures that reach
// the host; the real message boxes.

#include <QAbstractButton>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QMetaProperty>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>

#include "control_fixture.h"

namespace brivel::qt_tests {
namespace {

using InterfaceTest = ControlTest;

struct PropertyShape {
  const char* name;
  QMetaType::Type type;
  bool writable;
};

constexpr PropertyShape kProperties[] = {
    {"IntUseCom", QMetaType::Int, true},         {"BlnBusy", QMetaType::Bool, false},
    {"BlnMonConnectFlag", QMetaType::Bool, false}, {"DblMonoWaveLen", QMetaType::Double, false},
    {"DblOpenPos", QMetaType::Double, true},     {"LngInstrumentNo", QMetaType::Int, false},
    {"IntGratingLines", QMetaType::Int, false},  {"LngZeroPos", QMetaType::Int, false},
    {"IntSpeed", QMetaType::Int, true},          {"DblMonoStep", QMetaType::Double, false},
    {"StrYear", QMetaType::QString, false},      {"IntLanguage", QMetaType::Int, true},
};

TEST_F(InterfaceTest, MetaObjectCarriesEveryMemberWithItsType) {
  const QMetaObject* meta = control_->metaObject();
  for (const PropertyShape& shape : kProperties) {
    const int index = meta->indexOfProperty(shape.name);
    ASSERT_GE(index, 0) << shape.name;
    const QMetaProperty property = meta->property(index);
    EXPECT_EQ(property.metaType().id(), shape.type) << shape.name;
    EXPECT_EQ(property.isWritable(), shape.writable) << shape.name;
  }
  for (const char* method : {"OpenCom()", "CloseCom()", "MonochromatorMoveTo(double)",
                             "SaveParameter(QString)", "LoadParameter(QString)", "ShowParaFace()",
                             "ShowRunFace()"})
    EXPECT_GE(meta->indexOfMethod(method), 0) << method;
}

TEST_F(InterfaceTest, PropertiesHoldTheirCreationValuesAndRefuseBadPorts) {
  EXPECT_EQ(control_->property("IntUseCom").toInt(), 1);
  EXPECT_EQ(control_->property("IntSpeed").toInt(), 250);
  EXPECT_EQ(control_->property("IntLanguage").toInt(), 1);
  EXPECT_FALSE(control_->property("BlnBusy").toBool());
  EXPECT_FALSE(control_->property("BlnMonConnectFlag").toBool());
  EXPECT_EQ(control_->property("DblMonoWaveLen").toDouble(), 0.0);
  EXPECT_EQ(control_->property("DblMonoStep").toDouble(), 0.0);
  EXPECT_EQ(control_->property("StrYear").toString(), "00000");

  control_->setProperty("IntUseCom", 16);
  EXPECT_EQ(control_->property("IntUseCom").toInt(), 16);
  control_->setProperty("IntUseCom", 17);
  EXPECT_EQ(control_->property("IntUseCom").toInt(), 16);
  EXPECT_TRUE(control_->property("lastError").toString().isEmpty());
  // Beyond 16 bits: refused as an overflow, and the host is told.
  QSignalSpy failed(control_.get(), &::Brivel::failed);
  control_->setProperty("IntUseCom", 65537);
  EXPECT_EQ(control_->property("IntUseCom").toInt(), 16);
  EXPECT_EQ(failed.count(), 1);
  EXPECT_FALSE(control_->property("lastError").toString().isEmpty());
  control_->setProperty("IntUseCom", 1);
  EXPECT_TRUE(control_->property("lastError").toString().isEmpty());  // each call starts clean
}

TEST_F(InterfaceTest, EveryMethodAndSetterReachesTheInstrument) {
  ASSERT_TRUE(QMetaObject::invokeMethod(control_.get(), "OpenCom"));
  ASSERT_TRUE(control_->property("BlnMonConnectFlag").toBool());
  EXPECT_EQ(control_->property("LngInstrumentNo").toInt(), 12345);
  EXPECT_EQ(control_->property("IntGratingLines").toInt(), 1200);
  EXPECT_EQ(control_->property("LngZeroPos").toInt(), 1000);
  EXPECT_DOUBLE_EQ(control_->property("DblMonoStep").toDouble(), 0.00625);
  EXPECT_EQ(control_->property("StrYear").toString(), "21");
  EXPECT_DOUBLE_EQ(control_->property("DblOpenPos").toDouble(), 500.0);

  ASSERT_TRUE(QMetaObject::invokeMethod(control_.get(), "MonochromatorMoveTo", Q_ARG(double, 300.0)));
  EXPECT_NEAR(control_->property("DblMonoWaveLen").toDouble(), 300.0, 0.006);

  control_->setProperty("IntSpeed", 100);
  EXPECT_EQ(control_->property("IntSpeed").toInt(), 100);
  control_->setProperty("IntSpeed", 999);  // limited to the top speed
  EXPECT_EQ(control_->property("IntSpeed").toInt(), 250);

  control_->setProperty("DblOpenPos", 435.83);
  ASSERT_EQ(shown_.size(), 2u);
  EXPECT_EQ(shown_[0].text, "Will the initial wavelength be changed to 435.83 nm?");
  EXPECT_EQ(shown_[1].text, "Initial wavelength set successfully.");
  EXPECT_EQ(shown_[1].icon, Icon::Information);
  EXPECT_NEAR(control_->property("DblOpenPos").toDouble(), 435.83, 1e-9);
  shown_.clear();

  QTemporaryDir dir;
  const QString file = dir.filePath("parameters.txt");
  ASSERT_TRUE(QMetaObject::invokeMethod(control_.get(), "SaveParameter", Q_ARG(QString, file)));
  ASSERT_EQ(shown_.size(), 1u);
  EXPECT_EQ(shown_[0].text, "Parameters saved successfully.");
  EXPECT_EQ(shown_[0].title, "Information");
  EXPECT_TRUE(QFile::exists(file));

  // The download writes the file's values back into the instrument and reconnects.
  with_memory([](sim::Memory& m) { m.instrument_no = 999; });
  ASSERT_TRUE(QMetaObject::invokeMethod(control_.get(), "LoadParameter", Q_ARG(QString, file)));
  int stored = 0;
  with_memory([&](sim::Memory& m) { stored = m.instrument_no; });
  EXPECT_EQ(stored, 12345);
  EXPECT_TRUE(control_->property("BlnMonConnectFlag").toBool());
  EXPECT_FALSE(control_->property("BlnBusy").toBool());
  EXPECT_EQ(control_->property("LngInstrumentNo").toInt(), 12345);

  ASSERT_TRUE(QMetaObject::invokeMethod(control_.get(), "ShowParaFace"));
  EXPECT_TRUE(child("FraRunPanel")->isHidden());
  EXPECT_FALSE(child("FraFilterParam")->isHidden());
  EXPECT_EQ(child("FraFilterParam")->pos(), QPoint(0, 0));
  ASSERT_TRUE(QMetaObject::invokeMethod(control_.get(), "ShowRunFace"));
  EXPECT_FALSE(child("FraRunPanel")->isHidden());
  EXPECT_TRUE(child("FraFilterParam")->isHidden());

  control_->setProperty("IntLanguage", 0);
  EXPECT_EQ(control_->property("IntLanguage").toInt(), 0);

  ASSERT_TRUE(QMetaObject::invokeMethod(control_.get(), "CloseCom"));
  EXPECT_FALSE(control_->property("BlnMonConnectFlag").toBool());
  EXPECT_TRUE(control_->property("lastError").toString().isEmpty());
}

TEST_F(InterfaceTest, RunTimeFailureReachesTheHostAsLastError) {
  // An instrument with a grating the control does not know: no wavelength per step, so
  // the power-on setter divides by zero after the operator confirmed.
  with_memory([](sim::Memory& m) { m.grating = 9; });
  connect_control();
  ASSERT_EQ(control_->property("DblMonoStep").toDouble(), 0.0);
  QSignalSpy failed(control_.get(), &::Brivel::failed);
  control_->setProperty("DblOpenPos", 100.0);
  EXPECT_EQ(failed.count(), 1);
  EXPECT_TRUE(control_->property("lastError").toString().startsWith("DblOpenPos"));
  EXPECT_FALSE(control_->property("BlnBusy").toBool());
}

TEST_F(InterfaceTest, MessagesCarryTheirTextsAndTitlesInBothLanguages) {
  struct Case {
    const char* button;
    const char* en;
    const char* en_title;
    const char* zh;
    const char* zh_title;
  };
  const Case cases[] = {
      {"CmdStop", "Please connect the monochromator first.", "", "Demo模式下没有此功能！", ""},
      {"CmdUp", "Monochromator connection failed.", "Prompt", "单色仪未正常连接！", "提示"},
      {"CmdReAnchor", "Monochromator connection failed.", "Prompt", "单色仪未正常连接！", "提示"},
      {"ChkUseFilter", "Monochromator connection failed.", "", "单色仪未成功连接！", ""},
  };
  for (int language : {1, 0}) {
    control_->setProperty("IntLanguage", language);
    for (const Case& c : cases) {
      shown_.clear();
      will_answer(Answer::Cancel);
      child<QAbstractButton>(c.button)->click();
      ASSERT_FALSE(shown_.empty()) << c.button;
      EXPECT_EQ(shown_[0].text, language ? c.en : c.zh) << c.button;
      EXPECT_EQ(shown_[0].title, language ? c.en_title : c.zh_title) << c.button;
    }
  }
}

TEST_F(InterfaceTest, RealMessageBoxShowsTitleTextIconAndButtons) {
  // No interceptor: the control shows a real QMessageBox; read it and press its button.
  const brivel::qt::DialogInterceptor saved = brivel::qt::QtDialogs::set_interceptor(nullptr);
  struct Seen {
    QString title, text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
  } seen;
  auto press = [&](QMessageBox::StandardButton which) {
    QTimer::singleShot(50, control_.get(), [&seen, which] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (!box) return;
      seen = {box->windowTitle(), box->text(), box->icon(), box->standardButtons()};
      box->button(which)->click();
    });
  };
  press(QMessageBox::Ok);
  QTest::mouseClick(child("CmdUp"), Qt::LeftButton);
  EXPECT_EQ(seen.title, "Prompt");
  EXPECT_EQ(seen.text, "Monochromator connection failed.");
  EXPECT_EQ(seen.icon, QMessageBox::NoIcon);
  EXPECT_EQ(seen.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));

  control_->setProperty("IntLanguage", 0);
  press(QMessageBox::Ok);
  QMetaObject::invokeMethod(control_.get(), "MonochromatorMoveTo", Q_ARG(double, -12.5));
  EXPECT_EQ(seen.title, QString::fromUtf8("提示"));
  EXPECT_EQ(seen.text, QString::fromUtf8("无法走到这个波长：-12.5"));
  EXPECT_EQ(seen.icon, QMessageBox::Critical);

  connect_control();
  press(QMessageBox::Cancel);
  QTest::mouseClick(child("CmdReAnchor"), Qt::LeftButton);
  brivel::qt::QtDialogs::set_interceptor(saved);
  EXPECT_EQ(seen.title, QString::fromUtf8("重新定位"));
  EXPECT_EQ(seen.buttons, QMessageBox::Ok | QMessageBox::Cancel);
  const auto log = commands();
  EXPECT_EQ(std::find(log.begin(), log.end(), "K 08"), log.end());  // cancelled: nothing sent
}

}  // namespace
}  // namespace brivel::qt_tests
