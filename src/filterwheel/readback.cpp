// Reading the filter-wheel settings back from the controller ("f", a 28-byte record)
// and showing them on the parameter panel.

#include <algorithm>
#include <string>

#include "filterwheel/filter_wheel.h"
#include "protocol/commands.h"
#include "text/convert.h"

namespace brivel {

namespace {
constexpr double kStartUnit = 16;   // a start position counts units of 16 motor steps
constexpr int kIndeterminate = 2;   // the check box's third state: the wheel is not set up
}  // namespace

bool FilterWheel::read_settings(bool quick) {
  InstrumentState& st = s_.state;
  st.busy = true;
  s_.link.send(protocol::read_filters(), protocol::kThresholdFilters);
  if (quick) {
    // After a switch: the result is not looked at; the newest packet is read.
    s_.link.wait_reply();
  } else if (!s_.link.wait_for_data(s_.bounds.data)) {
    // No record in time: the wheel may not be switched until a read-back succeeds.
    // What the panel shows and the stored state stay as they were.
    st.filter_ready = false;
    st.busy = false;
    return false;
  }

  const protocol::FilterRecord record = protocol::decode_filter_record(s_.link.last_packet());
  if (record.state != 0 && record.state != 1) {
    st.filter_state = 2;
    s_.w("ChkUseFilter").set_value(kIndeterminate);
    st.filter_ready = false;
    st.busy = false;
    return true;
  }

  st.filter_ready = true;
  st.filter_state = record.state;
  s_.w("ChkUseFilter").set_value(record.state);
  Widget& count = s_.w("CboFilterCount");
  count.set_text(std::to_string(record.count));
  st.filter_a = record.value_a;
  st.filter_b = std::to_string(record.value_b);

  // The rows follow the count as the box now shows it; a count above six shows all six.
  const double shown = text::leading_number(count.text());
  const int rows = static_cast<int>(std::clamp(shown, 0.0, static_cast<double>(kRows)));
  show_rows(rows);
  st.filter_starts.clear();
  for (int i = 0; i < rows; ++i) {
    const std::string shown = text::format(record.start[static_cast<std::size_t>(i)] * kStartUnit * st.step, "0.0");
    s_.w(indexed("TxtFilterStartWavelen", i)).set_text(shown);
    st.filter_starts.push_back(text::leading_number(shown));
  }
  st.busy = false;
  return true;
}

void FilterWheel::show_rows(int count) {
  // Rows below the count are shown, the rest hidden; hidden rows keep their text.
  for (int i = 0; i < kRows; ++i) {
    const bool shown = i < count;
    s_.w(indexed("TxtFilterStartWavelen", i)).set_visible(shown);
    s_.w(indexed("Label21", i)).set_visible(shown);
  }
}

}  // namespace brivel
