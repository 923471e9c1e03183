#include "Brivel.h"

#include <cstdint>
#include <exception>
#include <limits>

#include "control/brivel.h"
#include "platform/failure.h"
#include "qt/core/qt_platform.h"
#include "qt_dialogs.h"
#include "surface_view.h"

namespace {

// A host's int for a 16-bit member: refused (false) when it does not fit, as the
// interface's 16-bit argument would overflow.
bool fits_16(int value) {
  return value >= std::numeric_limits<std::int16_t>::min() &&
         value <= std::numeric_limits<std::int16_t>::max();
}

}  // namespace

Brivel::Brivel(QWidget* parent)
    : QWidget(parent),
      pump_(std::make_unique<brivel::qt::QtEventPump>()),
      dialogs_(std::make_unique<brivel::qt::QtDialogs>(this)) {
  logic_ = std::make_unique<brivel::Brivel>(*pump_, *dialogs_,
                                            std::make_unique<brivel::qt::QtSerialPort>());
  view_ = std::make_unique<brivel::qt::SurfaceView>(
      *logic_, this,
      [this](const char* what, const std::function<void()>& call) { at_boundary(what, call); });
  resize(sizeHint());
}

Brivel::~Brivel() {
  view_.reset();   // stops mirroring before the logic goes
  logic_.reset();  // closes the port (CloseCom)
}

// ---- the boundary between Qt and the logic ------------------------------------------

void Brivel::report(const QString& message) {
  last_error_ = message;
  emit failed(message);
}

void Brivel::at_boundary(const char* what, const std::function<void()>& call) {
  try {
    call();
  } catch (const std::exception& failure) {
    report(QStringLiteral("%1: %2").arg(QString::fromUtf8(what), QString::fromStdString(failure.what())));
  } catch (...) {
    report(QStringLiteral("%1: unknown failure").arg(QString::fromUtf8(what)));
  }
}

void Brivel::host_call(const char* what, const std::function<void()>& call) {
  last_error_.clear();
  at_boundary(what, call);
}

// ---- properties -----------------------------------------------------------------------

int Brivel::IntUseCom() const { return logic_->IntUseCom(); }
bool Brivel::BlnBusy() const { return logic_->BlnBusy() != brivel::kFalse; }
bool Brivel::BlnMonConnectFlag() const { return logic_->BlnMonConnectFlag() != brivel::kFalse; }
double Brivel::DblMonoWaveLen() const { return logic_->DblMonoWaveLen(); }
double Brivel::DblOpenPos() const { return logic_->DblOpenPos(); }
int Brivel::LngInstrumentNo() const { return logic_->LngInstrumentNo(); }
int Brivel::IntGratingLines() const { return logic_->IntGratingLines(); }
int Brivel::LngZeroPos() const { return logic_->LngZeroPos(); }
int Brivel::IntSpeed() const { return logic_->IntSpeed(); }
double Brivel::DblMonoStep() const { return logic_->DblMonoStep(); }
int Brivel::IntLanguage() const { return logic_->IntLanguage(); }

QString Brivel::StrYear() const {
  try {
    return QString::fromStdString(logic_->StrYear());
  } catch (const std::exception&) {
    return QString();  // a getter cannot fail
  }
}

void Brivel::setIntUseCom(int value) {
  host_call("IntUseCom", [&] {
    if (!fits_16(value))
      throw brivel::RuntimeFailure(brivel::FailureReason::Overflow, "IntUseCom " + std::to_string(value));
    auto number = static_cast<std::int16_t>(value);
    logic_->setIntUseCom(number);
  });
}

void Brivel::setIntSpeed(int value) {
  host_call("IntSpeed", [&] {
    if (!fits_16(value))
      throw brivel::RuntimeFailure(brivel::FailureReason::Overflow, "IntSpeed " + std::to_string(value));
    auto speed = static_cast<std::int16_t>(value);
    logic_->setIntSpeed(speed);
  });
}

void Brivel::setDblOpenPos(double value) {
  host_call("DblOpenPos", [&] { logic_->setDblOpenPos(value); });
}

void Brivel::setIntLanguage(int value) {
  host_call("IntLanguage", [&] {
    if (!fits_16(value))
      throw brivel::RuntimeFailure(brivel::FailureReason::Overflow,
                                   "IntLanguage " + std::to_string(value));
    auto language = static_cast<std::int16_t>(value);
    logic_->setIntLanguage(language);
  });
}

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

brivel::Brivel& Brivel::logic() { return *logic_; }

void Brivel::setPortDevice(int number, const QString& device) {
  brivel::qt::set_port_device(number, device);
}

QSize Brivel::sizeHint() const { return view_ ? view_->panel_size() : QSize(569, 345); }
QSize Brivel::minimumSizeHint() const { return sizeHint(); }
