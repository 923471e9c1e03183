// Reading the filter-wheel settings back from the controller ("f", a 28-byte record)
// and showing them on the parameter panel.

#include <algorithm>
#include <string>

#include "control/control.h"
#include "protocol/commands.h"
#include "text/convert.h"

namespace brivel {

namespace {
constexpr int kFilterRows = 6;      // rows 0 to 5 of the filter table
constexpr double kStartUnit = 16;   // a start position counts units of 16 motor steps
constexpr int kIndeterminate = 2;   // the check box's third state: the wheel is not set up
}  // namespace

bool Control::ReadFilterSettings(bool quick) {
  BlnBusy_ = true;
  send(protocol::read_filters(), protocol::kThresholdFilters);
  if (quick) {
    // The check box's variant: the result is not looked at; the newest packet is read.
    WaitReply();
  } else if (!WaitForData(bounds_.data)) {
    // No record in time: the wheel may not be switched until a read-back succeeds.
    // What the panel shows and the stored state stay as they were.
    BlnFilterReady_ = false;
    BlnBusy_ = false;
    return false;
  }

  const protocol::FilterRecord record = protocol::decode_filter_record(VarLastPacket_);
  if (record.state != 0 && record.state != 1) {
    IntFilterState_ = 2;
    w("ChkUseFilter").set_value(kIndeterminate);
    BlnFilterReady_ = false;
    BlnBusy_ = false;
    return true;
  }

  BlnFilterReady_ = true;
  IntFilterState_ = record.state;
  w("ChkUseFilter").set_value(record.state);
  Widget& count = w("CboFilterCount");
  count.set_text(std::to_string(record.count));
  IntFilterParamA_ = record.value_a;
  StrFilterParamB_ = std::to_string(record.value_b);

  // The rows follow the count as the box now shows it; a count above six shows all six.
  const double shown = text::leading_number(count.text());
  const int rows = static_cast<int>(std::clamp(shown, 0.0, static_cast<double>(kFilterRows)));
  show_filter_rows(rows);
  for (int i = 0; i < rows; ++i) {
    const double nm = record.start[static_cast<std::size_t>(i)] * kStartUnit * DblMonoStep_;
    w(indexed("TxtFilterStartWavelen", i)).set_text(text::format(nm, "0.0"));
  }
  BlnBusy_ = false;
  return true;
}

void Control::show_filter_rows(int count) {
  // Rows below the count are shown, the rest hidden; hidden rows keep their text.
  for (int i = 0; i < kFilterRows; ++i) {
    const bool shown = i < count;
    w(indexed("TxtFilterStartWavelen", i)).set_visible(shown);
    w(indexed("Label21", i)).set_visible(shown);
  }
}

}  // namespace brivel
