#pragma once
// The Tango class BrivelMonochromator: the monochromator (and its filter wheel) as a
// Tango device. Attributes and commands start the control's operations on its own
// thread (Bridge) and return at once; position reports and changes come back as change
// events from the bridge's delivery thread.

#include <tango.h>

#include <memory>
#include <string>
#include <vector>

#include "bridge.h"

namespace brivel::tango {

class Monochromator : public Tango::Device_5Impl {
 public:
  Monochromator(Tango::DeviceClass* cl, std::string& name);
  ~Monochromator() override;

  void init_device() override;
  void delete_device() override;
  Tango::DevState dev_state() override;
  Tango::ConstDevString dev_status() override;
  void read_attr_hardware(std::vector<long>& attr_list) override;
  void signal_handler(long signo) override;

  // Attributes.
  void read_Wavelength(Tango::Attribute& att);
  void write_Wavelength(Tango::WAttribute& att);
  void read_Speed(Tango::Attribute& att);
  void write_Speed(Tango::WAttribute& att);
  void read_PowerOnWavelength(Tango::Attribute& att);
  void write_PowerOnWavelength(Tango::WAttribute& att);
  void read_FilterWheel(Tango::Attribute& att);
  void write_FilterWheel(Tango::WAttribute& att);
  void read_Filters(Tango::Attribute& att);
  void write_Filters(Tango::WAttribute& att);
  void read_GratingLines(Tango::Attribute& att);
  void read_StepSize(Tango::Attribute& att);
  void read_InstrumentNo(Tango::Attribute& att);
  void read_ZeroOffset(Tango::Attribute& att);
  void read_Year(Tango::Attribute& att);
  void read_Connected(Tango::Attribute& att);
  void read_PositionReports(Tango::Attribute& att);

  // Commands.
  void Open();
  void Close();
  void Stop();
  void MoveBy(Tango::DevDouble nm);
  void Reposition();
  void Refresh();
  void SaveParameters(Tango::DevString path);
  void LoadParameters(Tango::DevString path);

 private:
  // The values served by reads and events, taken from one snapshot of the control.
  struct Values {
    Tango::DevDouble wavelength = 0;
    Tango::DevShort speed = 0;
    Tango::DevDouble power_on = 0;
    Tango::DevBoolean filter_wheel = false;
    int filter_state = 2;
    std::vector<Tango::DevDouble> filters;
    Tango::DevShort grating_lines = 0;
    Tango::DevDouble step = 0;
    Tango::DevLong instrument_no = 0;
    Tango::DevLong zero_offset = 0;
    std::string year;
    Tango::DevBoolean connected = false;
    Tango::DevULong64 reports = 0;
    Tango::DevState state = Tango::UNKNOWN;
    std::string status;
  };
  Values values_of(const Situation& s) const;
  Bridge& bridge();  // throws DevFailed while the device has no control
  // Raises the DevFailed of a result that did not end as asked (nothing when it did).
  void raise_if_failed(const std::optional<Result>& result, const char* origin) const;
  // On the delivery thread.
  void deliver_position(double nm, const timeval& arrived);
  void deliver_change();
  void report_delivery_failure(const Tango::DevFailed& failure);

  std::unique_ptr<Bridge> bridge_;
  int language_ = 1;
  Values read_;      // the snapshot of the current read request
  Values pushed_;    // what the last events carried
  bool pushed_once_ = false;
  Tango::DevDouble pushed_wavelength_ = 0;
  Tango::DevString year_text_ = nullptr;
  Tango::DevString pushed_year_ = nullptr;
  std::string status_;
  std::string last_delivery_failure_;
};

class MonochromatorClass : public Tango::DeviceClass {
 public:
  static MonochromatorClass* init(const char* name);
  static MonochromatorClass* instance();
  ~MonochromatorClass() override { instance_ = nullptr; }

 protected:
  explicit MonochromatorClass(std::string& name);
  void command_factory() override;
  void attribute_factory(std::vector<Tango::Attr*>& attributes) override;
  void device_factory(const Tango::DevVarStringArray* devlist) override;

 private:
  static MonochromatorClass* instance_;
};

}  // namespace brivel::tango
