// The filter wheel from the operator's side: switching it on and off (ChkUseFilter),
// choosing how many filters are in use (CboFilterCount) and writing the count and the
// start wavelengths (CmdFilterSet). The control never selects a filter; the controller
// does, from the table of start positions written here. Every change ends with a
// read-back, so that the panel shows what the controller holds.

#include <string>
#include <vector>

#include "control/control.h"
#include "platform/failure.h"
#include "protocol/commands.h"
#include "text/convert.h"

namespace brivel {

namespace {
constexpr Words kPrompt{"Prompt", "提示"};
constexpr Words kNotConnected{"Monochromator connection failed.", "单色仪未成功连接！"};
constexpr Words kNoTitle{"", ""};
constexpr Words kSettingCaption{"Setting, please wait...", "设置中请稍侯..."};
// The table has six rows and the controller keeps six start positions.
constexpr int kFilterRows = 6;
constexpr const char* kCounts[] = {"1", "2", "3", "4", "5", "6"};

std::string row_box(int i) { return indexed("TxtFilterStartWavelen", i); }

// Ascending, by exchanges: each position is compared with every later one and the two
// swap when the earlier is strictly greater (equal values keep their order).
void exchange_sort(std::vector<double>& values) {
  for (std::size_t i = 0; i < values.size(); ++i)
    for (std::size_t j = i + 1; j < values.size(); ++j)
      if (values[i] > values[j]) std::swap(values[i], values[j]);
}
}  // namespace

void Control::fill_filter_counts() {
  Widget& box = w("CboFilterCount");
  box.clear_items();
  for (const char* count : kCounts) box.add_item(count);
}

void Control::ChkUseFilter_Click() {
  trapped([&] {
    if (!BlnMonConnectFlag_) {
      say(MessageKind::Refusal, kNotConnected, kNoTitle);
      return;
    }
    if (BlnBusy_) return;
    StrReceive_.clear();
    if (!BlnFilterReady_) {
      say(MessageKind::Refusal, Words{"Please set the parameters for filter wheel first.", "滤光片轮未进行设置!重新设置参数"},
          kPrompt, Icon::Information);
      BlnBusy_ = false;
      return;
    }

    Widget& box = w("ChkUseFilter");
    const bool enable = box.value() == 1;
    // The two English titles differ, as the operator has always seen them.
    const Answer answer =
        enable ? say(MessageKind::Question, Words{"Enable the filter wheel?", "真的要启用滤色片吗？"},
                     Words{"spectrum control system", "单色仪控制系统"}, Icon::None, Buttons::OkCancel)
               : say(MessageKind::Question, Words{"Disable the filter wheel?", "真的要关闭滤色片吗？"},
                     Words{"tervia spectrum control system", "单色仪控制系统"}, Icon::None,
                     Buttons::OkCancel);
    if (answer == Answer::Cancel) {
      box.set_value(enable ? 0 : 1);   // set by the program: no second click
      return;
    }
    BlnBusy_ = true;
    send(protocol::set_filter_state(enable ? 1 : 0), protocol::kThresholdAck);
    if (!wait_for_ack(bounds_.ack)) {
      // Unknown whether the wheel switched: the box shows the state last read back.
      box.set_value(IntFilterState_);
      gave_up(Words{"switching the filter wheel", "切换滤光片轮"});
      return;
    }
    BlnBusy_ = false;
    ReadFilterSettings(true);
  });
}

void Control::CboFilterCount_Click() {
  trapped([&] {
    const std::string& count = w("CboFilterCount").text();
    if (count.empty()) return;
    show_filter_rows(static_cast<int>(text::round_half_even(text::leading_number(count))));
  });
}

void Control::CmdFilterSet_Click() {
  trapped([&] {
    // Every entry is checked before anything is sent.
    const std::string count_text = w("CboFilterCount").text();
    if (!entry_accepted("1", "8", count_text, 1, "CboFilterCount")) return;
    const int count = text::parse_byte(count_text);
    if (count > kFilterRows) {
      say(MessageKind::Refusal, Words{"At most 6 filters can be set.", "最多只能设置 6 个滤光片!"}, kPrompt, Icon::Information);
      surface_.set_focus("CboFilterCount");
      return;
    }
    // Only the rows in use are sent, so only they are checked: a hidden row can
    // neither be sent nor take the focus.
    for (int i = 0; i < count; ++i) {
      if (!entry_accepted("0", "50000", w(row_box(i)).text(), 4, row_box(i))) return;
    }
    if (!BlnMonConnectFlag_) {
      say(MessageKind::Refusal, kNotConnected, kNoTitle);
      return;
    }
    if (BlnBusy_) return;
    if (say(MessageKind::Question, Words{"Are you sure to change the parameters?", "您确认要更改参数吗？"}, kPrompt, Icon::None,
            Buttons::OkCancel) == Answer::Cancel)
      return;

    std::vector<double> starts;   // nm
    for (int i = 0; i < count; ++i) starts.push_back(text::parse_double(w(row_box(i)).text()));
    exchange_sort(starts);

    // Every packet is built before the first is sent (a step size of 0 fails here),
    // so a failure never leaves the controller's table half written. Before any
    // read-back value A is 0 and value B empty: both go out as 0.
    const std::vector<Bytes> packets = protocol::filter_table_packets(
        count, IntFilterParamA_, text::leading_number(StrFilterParamB_), starts, DblMonoStep_);

    show_splash(english() ? kSettingCaption.en : kSettingCaption.zh);
    BlnBusy_ = true;
    StrReceive_.clear();
    try {
      for (const Bytes& packet : packets) {
        send(packet, protocol::kThresholdAck);
        if (!wait_for_ack(bounds_.ack)) {
          hide_splash();
          gave_up(Words{"writing the filter settings", "写入滤光片参数"});
          return;
        }
        WaitReply();
      }
    } catch (const RuntimeFailure&) {
      hide_splash();   // the trap around the handler tells the operator
      throw;
    }
    BlnBusy_ = false;
    hide_splash();
    say(MessageKind::Success, Words{"The filter wheel parameters set successfully.", "滤光片参数设置成功!"}, kPrompt,
        Icon::Information);
    if (!ReadFilterSettings()) gave_up(Words{"reading the filter settings back", "读取滤光片参数"});
  });
}

}  // namespace brivel
