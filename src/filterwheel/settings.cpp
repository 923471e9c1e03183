// The filter wheel from the operator's side: switching it on and off, choosing how many
// filters are in use and writing the count and the start wavelengths. Every change ends
// with a read-back, so that the panel shows what the controller holds.

#include <string>
#include <vector>

#include "filterwheel/filter_wheel.h"
#include "platform/failure.h"
#include "protocol/commands.h"
#include "text/convert.h"

namespace brivel {

namespace {
constexpr Words kNotConnected{"Monochromator connection failed.", "单色仪未成功连接！"};
constexpr Words kNoTitle{"", ""};
constexpr Words kSettingCaption{"Setting, please wait...", "设置中请稍侯..."};
constexpr const char* kCounts[] = {"1", "2", "3", "4", "5", "6"};
constexpr double kHighestStart = 50000;   // nm

// Ascending, by exchanges: each position is compared with every later one and the two
// swap when the earlier is strictly greater (equal values keep their order).
void exchange_sort(std::vector<double>& values) {
  for (std::size_t i = 0; i < values.size(); ++i)
    for (std::size_t j = i + 1; j < values.size(); ++j)
      if (values[i] > values[j]) std::swap(values[i], values[j]);
}
}  // namespace

void FilterWheel::fill_counts() {
  Widget& box = s_.w("CboFilterCount");
  box.clear_items();
  for (const char* count : kCounts) box.add_item(count);
}

void FilterWheel::switch_wheel(bool enable) {
  InstrumentState& st = s_.state;
  if (!st.connected) {
    s_.say(MessageKind::Refusal, kNotConnected, kNoTitle);
    return;
  }
  if (st.busy) return;
  s_.link.clear_received();
  if (!st.filter_ready) {
    s_.say(MessageKind::Refusal,
           Words{"Please set the parameters for filter wheel first.", "滤光片轮未进行设置!重新设置参数"}, kPrompt,
           Icon::Information);
    st.busy = false;
    return;
  }

  Widget& box = s_.w("ChkUseFilter");
  // The two English titles differ, as the operator has always seen them.
  const Answer answer =
      enable ? s_.say(MessageKind::Question, Words{"Enable the filter wheel?", "真的要启用滤色片吗？"},
                      Words{"spectrum control system", "单色仪控制系统"}, Icon::None, Buttons::OkCancel)
             : s_.say(MessageKind::Question, Words{"Disable the filter wheel?", "真的要关闭滤色片吗？"},
                      Words{"tervia spectrum control system", "单色仪控制系统"}, Icon::None, Buttons::OkCancel);
  if (answer == Answer::Cancel) {
    box.set_value(enable ? 0 : 1);   // set by the program: no second click
    return;
  }
  st.busy = true;
  s_.link.send(protocol::set_filter_state(enable ? 1 : 0), protocol::kThresholdAck);
  if (!s_.link.wait_for_ack(s_.bounds.ack)) {
    // Unknown whether the wheel switched: the box shows the state last read back.
    box.set_value(st.filter_state);
    s_.gave_up(Words{"switching the filter wheel", "切换滤光片轮"});
    return;
  }
  st.busy = false;
  read_settings(true);
}

bool FilterWheel::acceptable(const std::vector<double>& starts) {
  if (starts.empty() || starts.size() > static_cast<std::size_t>(kRows)) return false;
  for (double nm : starts)
    if (!(static_cast<float>(nm) >= 0 && static_cast<float>(nm) <= static_cast<float>(kHighestStart))) return false;
  return true;
}

void FilterWheel::write_table(std::vector<double> starts) {
  InstrumentState& st = s_.state;
  if (!st.connected) {
    s_.say(MessageKind::Refusal, kNotConnected, kNoTitle);
    return;
  }
  if (st.busy) return;
  if (s_.say(MessageKind::Question, Words{"Are you sure to change the parameters?", "您确认要更改参数吗？"}, kPrompt,
             Icon::None, Buttons::OkCancel) == Answer::Cancel)
    return;
  exchange_sort(starts);

  // Every packet is built before the first is sent (a step size of 0 fails here),
  // so a failure never leaves the controller's table half written. Before any
  // read-back value A is 0 and value B empty: both go out as 0.
  const std::vector<Bytes> packets = protocol::filter_table_packets(
      static_cast<double>(starts.size()), st.filter_a, text::leading_number(st.filter_b), starts, st.step);

  s_.show_splash(kSettingCaption);
  st.busy = true;
  s_.link.clear_received();
  try {
    for (const Bytes& packet : packets) {
      s_.link.send(packet, protocol::kThresholdAck);
      if (!s_.link.wait_for_ack(s_.bounds.ack)) {
        s_.hide_splash();
        s_.gave_up(Words{"writing the filter settings", "写入滤光片参数"});
        return;
      }
      s_.link.wait_reply();
    }
  } catch (const RuntimeFailure&) {
    s_.hide_splash();   // the trap around the handler tells the operator
    throw;
  }
  st.busy = false;
  s_.hide_splash();
  s_.say(MessageKind::Success, Words{"The filter wheel parameters set successfully.", "滤光片参数设置成功!"}, kPrompt,
         Icon::Information);
  if (!read_settings()) s_.gave_up(Words{"reading the filter settings back", "读取滤光片参数"});
}

}  // namespace brivel
