// The Tango class of the monochromator: its attributes with their units, formats and
// limits, its commands, its properties, and the creation of its devices.

#include "monochromator.h"

namespace brivel::tango {

namespace {

Monochromator* mono(Tango::DeviceImpl* device) { return static_cast<Monochromator*>(device); }

using Reader = void (Monochromator::*)(Tango::Attribute&);
using Writer = void (Monochromator::*)(Tango::WAttribute&);

// A scalar attribute read (and written) by members of the device.
class Scalar : public Tango::Attr {
 public:
  Scalar(const char* name, long type, Reader read, Writer write = nullptr)
      : Tango::Attr(name, type, write ? Tango::READ_WRITE : Tango::READ), read_(read), write_(write) {}
  void read(Tango::DeviceImpl* device, Tango::Attribute& att) override { (mono(device)->*read_)(att); }
  void write(Tango::DeviceImpl* device, Tango::WAttribute& att) override {
    if (write_) (mono(device)->*write_)(att);
  }

 private:
  Reader read_;
  Writer write_;
};

class Spectrum : public Tango::SpectrumAttr {
 public:
  Spectrum(const char* name, long type, long max_x, Reader read, Writer write)
      : Tango::SpectrumAttr(name, type, Tango::READ_WRITE, max_x), read_(read), write_(write) {}
  void read(Tango::DeviceImpl* device, Tango::Attribute& att) override { (mono(device)->*read_)(att); }
  void write(Tango::DeviceImpl* device, Tango::WAttribute& att) override { (mono(device)->*write_)(att); }

 private:
  Reader read_;
  Writer write_;
};

void describe(Tango::Attr* attr, const char* label, const char* unit, const char* format,
              const char* description, const char* min = nullptr, const char* max = nullptr) {
  Tango::UserDefaultAttrProp prop;
  prop.set_label(label);
  if (unit) prop.set_unit(unit);
  if (format) prop.set_format(format);
  prop.set_description(description);
  if (min) prop.set_min_value(min);
  if (max) prop.set_max_value(max);
  attr->set_default_properties(prop);
}

class VoidCommand : public Tango::Command {
 public:
  using Member = void (Monochromator::*)();
  VoidCommand(const char* name, Member member, const char* description)
      : Tango::Command(name, Tango::DEV_VOID, Tango::DEV_VOID, "", ""), member_(member) {
    (void)description;
  }
  CORBA::Any* execute(Tango::DeviceImpl* device, const CORBA::Any&) override {
    (mono(device)->*member_)();
    return new CORBA::Any();
  }

 private:
  Member member_;
};

class MoveByCommand : public Tango::Command {
 public:
  MoveByCommand()
      : Tango::Command("MoveBy", Tango::DEV_DOUBLE, Tango::DEV_VOID,
                       "nm to move by: positive up, negative down", "") {}
  CORBA::Any* execute(Tango::DeviceImpl* device, const CORBA::Any& in) override {
    Tango::DevDouble nm = 0;
    extract(in, nm);
    mono(device)->MoveBy(nm);
    return new CORBA::Any();
  }
};

class PathCommand : public Tango::Command {
 public:
  using Member = void (Monochromator::*)(Tango::DevString);
  PathCommand(const char* name, Member member, const char* description)
      : Tango::Command(name, Tango::DEV_STRING, Tango::DEV_VOID, description, ""), member_(member) {}
  CORBA::Any* execute(Tango::DeviceImpl* device, const CORBA::Any& in) override {
    Tango::DevString path = nullptr;
    extract(in, path);
    (mono(device)->*member_)(path);
    return new CORBA::Any();
  }

 private:
  Member member_;
};

}  // namespace

MonochromatorClass* MonochromatorClass::instance_ = nullptr;

MonochromatorClass::MonochromatorClass(std::string& name) : Tango::DeviceClass(name) {}

MonochromatorClass* MonochromatorClass::init(const char* name) {
  if (!instance_) {
    std::string s(name);
    instance_ = new MonochromatorClass(s);
  }
  return instance_;
}

MonochromatorClass* MonochromatorClass::instance() { return instance_; }

void MonochromatorClass::command_factory() {
  command_list.push_back(new VoidCommand("Open", &Monochromator::Open, "connect and identify"));
  command_list.push_back(new VoidCommand("Close", &Monochromator::Close, "disconnect"));
  command_list.push_back(new VoidCommand("Stop", &Monochromator::Stop, "stop the motor"));
  command_list.push_back(new MoveByCommand());
  command_list.push_back(new VoidCommand("Reposition", &Monochromator::Reposition, "return to reference"));
  command_list.push_back(new VoidCommand("Refresh", &Monochromator::Refresh, "read the instrument again"));
  command_list.push_back(new PathCommand("SaveParameters", &Monochromator::SaveParameters,
                                         "file to write the parameter set to"));
  command_list.push_back(new PathCommand("LoadParameters", &Monochromator::LoadParameters,
                                         "parameter file to download into the controller"));
}

void MonochromatorClass::attribute_factory(std::vector<Tango::Attr*>& list) {
  auto* wavelength = new Scalar("Wavelength", Tango::DEV_DOUBLE, &Monochromator::read_Wavelength,
                                &Monochromator::write_Wavelength);
  describe(wavelength, "Wavelength", "nm", "%.2f",
           "The grating's wavelength as last reported. A write starts a move to it and returns at once.");
  list.push_back(wavelength);

  auto* speed = new Scalar("Speed", Tango::DEV_SHORT, &Monochromator::read_Speed, &Monochromator::write_Speed);
  describe(speed, "Motor speed", nullptr, "%d", "Motor speed 1 to 250 as the controller reports it.", "1",
           "250");
  list.push_back(speed);

  auto* power_on = new Scalar("PowerOnWavelength", Tango::DEV_DOUBLE, &Monochromator::read_PowerOnWavelength,
                              &Monochromator::write_PowerOnWavelength);
  describe(power_on, "Power-on wavelength", "nm", "%.2f",
           "The wavelength the instrument goes to when it is switched on.", "0", "6553.5");
  list.push_back(power_on);

  auto* wheel = new Scalar("FilterWheel", Tango::DEV_BOOLEAN, &Monochromator::read_FilterWheel,
                           &Monochromator::write_FilterWheel);
  describe(wheel, "Filter wheel in use", nullptr, nullptr,
           "Whether the filter wheel is in use (invalid while the wheel is not set up).");
  list.push_back(wheel);

  auto* filters = new Spectrum("Filters", Tango::DEV_DOUBLE, 6, &Monochromator::read_Filters,
                               &Monochromator::write_Filters);
  describe(filters, "Filter start wavelengths", "nm", "%.1f",
           "Start wavelength of each filter (1 to 6); a write programs the filter table.", "0", "50000");
  list.push_back(filters);

  auto* lines = new Scalar("GratingLines", Tango::DEV_SHORT, &Monochromator::read_GratingLines);
  describe(lines, "Grating", "lines/mm", "%d", "Line density of the grating.");
  list.push_back(lines);

  auto* step = new Scalar("StepSize", Tango::DEV_DOUBLE, &Monochromator::read_StepSize);
  describe(step, "Wavelength per step", "nm", "%.8f", "Wavelength per motor step.");
  list.push_back(step);

  auto* number = new Scalar("InstrumentNo", Tango::DEV_LONG, &Monochromator::read_InstrumentNo);
  describe(number, "Instrument number", nullptr, "%d", "Instrument number.");
  list.push_back(number);

  auto* zero = new Scalar("ZeroOffset", Tango::DEV_LONG, &Monochromator::read_ZeroOffset);
  describe(zero, "Zero offset", "steps", "%d", "Zero offset in motor steps.");
  list.push_back(zero);

  auto* year = new Scalar("Year", Tango::DEV_STRING, &Monochromator::read_Year);
  describe(year, "Manufacture year", nullptr, nullptr, "Manufacture year as the instrument reports it.");
  list.push_back(year);

  auto* connected = new Scalar("Connected", Tango::DEV_BOOLEAN, &Monochromator::read_Connected);
  describe(connected, "Connected", nullptr, nullptr, "The instrument is connected and identified.");
  list.push_back(connected);

  auto* reports = new Scalar("PositionReports", Tango::DEV_ULONG64, &Monochromator::read_PositionReports);
  describe(reports, "Position reports", nullptr, "%d", "Position reports received since the server started.");
  reports->set_disp_level(Tango::EXPERT);
  list.push_back(reports);
}

void MonochromatorClass::device_factory(const Tango::DevVarStringArray* devlist) {
  for (unsigned long i = 0; i < devlist->length(); ++i) {
    std::string name((*devlist)[i].in());
    auto* device = new Monochromator(this, name);
    device_list.push_back(device);
    if (Tango::Util::_UseDb && !Tango::Util::_FileDb)
      export_device(device);
    else
      export_device(device, device->get_name().c_str());
  }
}

}  // namespace brivel::tango

// The classes this server serves.
void Tango::DServer::class_factory() {
  add_class(brivel::tango::MonochromatorClass::init("BrivelMonochromator"));
}
