// The parameter download: LoadParameter writes every value of a parameter file into
// the controller, one command at a time, makes the controller return to its reference
// position and reset, and reconnects so that the panels show what the instrument now
// holds.
//
// Wire order: "N" "G" "P" "Z" "Y" (each acknowledged with "OK"), "M" and "T" (replies
// not examined), the "F" packets of the filter wheel (each acknowledged, then a reply
// that is not examined), "K" 8 (acknowledged when the grating is back at its reference).
// Positions ("M", the filter starts) use the step size in force BEFORE the download: a
// file that changes the grating gives positions that suit the old grating.
//
// The file is refused before anything is sent when it is no regular file, larger than
// the text-file routines read (64 KiB; a parameter file is under 1 KiB) or not text.
// Otherwise each command goes out when its field is due, and the first field that is
// missing or does not fit its command ends the download: what went out before it stays
// in the controller, and the host is told in a note.

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "identify/identification.h"
#include "motion/motion.h"
#include "parameters/parameter_set.h"
#include "motion/motion_common.h"
#include "parameters/parameter_file.h"
#include "platform/failure.h"
#include "protocol/commands.h"
#include "text/convert.h"

namespace brivel {

namespace {

constexpr Words kSettingCaption{"Setting, please wait a moment... ", "设置中请稍侯... "};
constexpr Words kResetCaption{"Instrument reset, please wait a moment... ", "仪器复位....请等待. "};
constexpr Words kConnectingCaption{"Monochromator connection, please wait a moment... ",
                                   "单色仪连接中......请等待!!! "};
constexpr Words kNoAck{"the monochromator did not acknowledge a setting in time",
                       "单色仪未及时确认设置"};
constexpr Words kNoReset{"the monochromator did not finish its reset in time", "单色仪未及时完成复位"};
constexpr int kThresholdPowerOnSet = 3;  // "M": the reply is awaited, not examined

using Fields = std::vector<std::string>;

// Field `number` (counted from 1) of a line; a missing field ends the download by the
// failure path. An empty field exists and reads as 0.
const std::string& field_text(const Fields& fields, std::size_t number, const char* line) {
  if (number < 1 || number > fields.size())
    throw RuntimeFailure(FailureReason::InvalidArgument,
                         std::string(line) + " has no field " + std::to_string(number));
  return fields[number - 1];
}

double number(const Fields& fields, std::size_t number, const char* line) {
  return parameters::field_number(field_text(fields, number, line));
}

// The grating code the instrument has now, from the step size its identification set
// (every known code has its own step size); 0 when it is not known.
int current_grating_code(double step) {
  for (int code : {1, 2, 3, 4, 5, 17, 18, 19, 20}) {
    if (protocol::grating_for_code(code)->step == step) return code;
  }
  return 0;
}

// The grating code to send for the grating field, or nullopt for none.
//  * "d30" means code d, "d10" code d + 16; any other mark sends nothing.
//  * Only codes that identification knows (1 to 5, 17 to 20) are sent: "510", written
//    from a grating of code 5, reads as 21 and sends nothing.
//  * The file cannot tell code d from d + 16 (both are written "d30"). The coarse
//    codes 17 to 20 step ten times as far per motor step as 1 to 4, a property of the
//    instrument's drive rather than of its grating, so on an instrument that has a
//    code from 17 to 20 now, "d30" (d from 1 to 4) is read in that family as d + 16;
//    when that is the code it already has, nothing is sent.
std::optional<int> grating_to_send(const std::string& field, int current) {
  const std::optional<int> code = parameters::grating_code(field);   // 1 to 4 only from "d30"
  if (!code || !protocol::grating_for_code(*code)) return std::nullopt;
  int chosen = *code;
  if (current >= 17 && current <= 20 && chosen >= 1 && chosen <= 4) {
    chosen += 16;
    if (chosen == current) return std::nullopt;
  }
  return chosen;
}

// The filter packets of line 2, all built before the first is sent, so that a bad
// value or a missing field never leaves the wheel's table half written: "F" count,
// value A (sign and magnitude), value B, then one start position [16 steps] per filter.
std::vector<Bytes> filter_packets(const Fields& line2, double step) {
  namespace field = parameters::field;
  const double count = number(line2, field::kCount, "line 2");
  std::vector<double> starts;   // those the line holds; a missing one fails in the builder
  const double filters = text::round_half_even(count);
  for (std::size_t at = field::kFirstStart; at <= line2.size() && filters >= 0 && at < filters + field::kFirstStart; ++at)
    starts.push_back(number(line2, at, "line 2"));
  return protocol::filter_table_packets(count, number(line2, field::kValueA, "line 2"),
                                        number(line2, field::kValueB, "line 2"), starts, step);
}

// Why a file is no parameter file, found before anything is sent: the file routine's
// reasons, and bytes that are not text.
constexpr Words kUnreadable{"the file cannot be read", "无法读取文件"};
constexpr Words kNotRegular{"the path names no regular file", "路径不是普通文件"};
constexpr Words kTooLarge{parameters::kTooLargeEn, parameters::kTooLargeZh};
constexpr Words kNotText{"the file is not a text file", "文件不是文本文件"};

// Reads the parameter file at `path` into `text`. Gives why it is no parameter file,
// or nothing when it may be one.
std::optional<Words> parameter_text(Files& files, const std::string& path, std::string& text) {
  TextFile file = files.read_text(path, parameters::kLargestParameterFile);
  switch (file.trouble) {
    case FileTrouble::None: break;
    case FileTrouble::Unreadable: return kUnreadable;
    case FileTrouble::NotRegular: return kNotRegular;
    case FileTrouble::TooLarge: return kTooLarge;
  }
  std::optional<std::string> readable = parameters::download_text(file.text);
  if (!readable) return kNotText;
  text = std::move(*readable);
  return std::nullopt;
}

Words failure_words(FailureReason reason) {
  switch (reason) {
    case FailureReason::Overflow:
      return {"a value of the file does not fit its command", "文件中的数值超出范围"};
    case FailureReason::DivisionByZero:
      return {"the wavelength per step is not known", "未知每步波长"};
    case FailureReason::NotANumber: return {"a value of the file is not a number", "文件中的数值无效"};
    case FailureReason::PortFailure: return {"the serial port failed", "串口故障"};
    case FailureReason::InvalidArgument:
      return {"the file is incomplete or malformed", "文件不完整或格式错误"};
    case FailureReason::PortLost: return {"the connection was lost", "连接已断开"};
    case FailureReason::Interrupted: return {"it was stopped on request", "已按要求停止"};
  }
  return {"unknown failure", "未知错误"};
}

// One entry of the list of what already went to the instrument.
struct Sent {
  std::string en;
  std::string zh;
};

Sent value_sent(const char* en, const char* zh, double value, const char* unit_en = "",
                const char* unit_zh = "") {
  const std::string shown = text::plain(text::round_half_even(value));
  return {en + (" " + shown) + unit_en, zh + (" " + shown) + unit_zh};
}

std::string join(const std::vector<Sent>& sent, bool english) {
  std::string list;
  for (const Sent& s : sent) {
    if (!list.empty()) list += english ? ", " : "，";
    list += english ? s.en : s.zh;
  }
  return list;
}

}  // namespace

void ParameterSet::load(const std::string& path) {
  serial::Link& link = s_.link;
  InstrumentState& st = s_.state;
  s_.show_splash(kSettingCaption);
  // The file, read once; one that is no parameter file is refused before anything is sent.
  std::string content;
  const std::optional<Words> no_file = parameter_text(s_.files, path, content);

  std::vector<Sent> sent;
  double reset_out = motion_.shown_power_on_steps();   // absolute steps the reset drives out to
  // A setting acknowledged with "OK": N, G, P, Z, Y. False when the bound ran out.
  const auto setting = [&](const Bytes& command, Sent item) {
    st.busy = true;
    link.expect_reply();
    link.send(command, protocol::kThresholdAck);
    sent.push_back(std::move(item));
    return link.wait_for_ack(s_.bounds.ack);
  };
  // A setting whose reply is awaited for 0.5 s and not examined: M, T.
  const auto unexamined = [&](const Bytes& command, int threshold, Sent item) {
    st.busy = true;
    link.expect_reply();
    link.send(command, threshold);
    sent.push_back(std::move(item));
    link.wait_reply();
  };

  // Gives nothing when the download and reset are done, else why it stopped.
  const auto download = [&]() -> std::optional<Words> {
    if (no_file) return no_file;
    namespace field = parameters::field;
    const std::vector<Fields> lines = parameters::download_lines(content);
    if (lines.empty()) throw RuntimeFailure(FailureReason::InvalidArgument, "no line 1");
    const Fields& line1 = lines[0];
    const char* l1 = "line 1";

    const double instrument = number(line1, field::kInstrument, l1);
    if (!setting(protocol::set_word('N', instrument), value_sent("instrument number", "仪器编号", instrument)))
      return kNoAck;
    const std::string& grating = field_text(line1, field::kGrating, l1);
    if (const auto code = grating_to_send(grating, current_grating_code(st.step))) {
      if (!setting(protocol::set_grating(*code), value_sent("grating code", "光栅代码", *code)))
        return kNoAck;
    }
    const double blaze = number(line1, field::kBlaze, l1);
    if (!setting(protocol::set_word('P', blaze), value_sent("blaze wavelength", "闪耀波长", blaze, " nm", " nm")))
      return kNoAck;
    const double zero = number(line1, field::kZeroOffset, l1);
    if (!setting(protocol::set_word('Z', zero), value_sent("zero offset", "零点偏移", zero, " steps", " 步")))
      return kNoAck;
    const double year = number(line1, field::kYear, l1);
    if (!setting(protocol::set_word('Y', year), value_sent("year", "出厂年份", year))) return kNoAck;

    const std::int32_t power_on = protocol::step_count(number(line1, field::kPowerOn, l1), st.step);
    // The reset drives out to the power-on position the controller holds then: the
    // one sent here, or, should "M" not have been taken, the one it had.
    reset_out = std::max(motion_.shown_power_on_steps(), static_cast<double>(power_on) + std::max(0.0, zero));
    unexamined(protocol::set_power_on(power_on), kThresholdPowerOnSet,
               value_sent("power-on position", "开机位置", power_on, " steps", " 步"));
    const double type = number(line1, field::kType, l1);
    unexamined(protocol::set_type(type), protocol::kThresholdType,
               value_sent("instrument type", "仪器类型", type));

    if (lines.size() < 2) throw RuntimeFailure(FailureReason::InvalidArgument, "no line 2");
    const Fields& line2 = lines[1];
    if (number(line2, field::kState, "line 2") == parameters::kNoWheel) {
      // The file holds no wheel: nothing is written to it.
      s_.w("ChkUseFilter").set_value(st.filter_state);
      st.filter_ready = false;
    } else {
      // The wheel's state (field 1) is not sent; the threshold stays at the 2 of "T".
      const std::vector<Bytes> packets = filter_packets(line2, st.step);
      link.clear_received();
      for (std::size_t i = 0; i < packets.size(); ++i) {
        link.send(packets[i], -1);
        // One entry for the whole table: how many of its packets went out.
        const std::string progress = std::to_string(i + 1) + "/" + std::to_string(packets.size());
        if (i == 0) sent.emplace_back();
        sent.back() = {"filter settings (" + progress + " packets)", "滤光片参数（" + progress + " 包）"};
        if (!link.wait_for_ack(s_.bounds.ack)) return kNoAck;
        link.wait_reply();
      }
      st.busy = false;
    }

    s_.hide_splash();
    s_.show_splash(kResetCaption);
    const double bound = motion_.reposition_bound(reset_out);
    motion::MotionRuns runs(link);
    link.clear_received();
    // The CR that ends the last acknowledgement may still wait alone in the receive
    // queue (the "OK" before it already satisfied WaitForOK). Left there, it joins the
    // reset's "OKKK" + CR, the threshold of 5 fires one byte early, and the final CR
    // stays below the threshold: the reset would never be seen to finish.
    link.clear_input();
    st.busy = true;
    link.send(protocol::reposition(), protocol::kThresholdMove);
    runs.started();
    sent.push_back({"the reset command", "复位命令"});
    link.wait_reply();
    if (!link.wait_for_ack(bound)) {
      motion_.reposition_overran("LoadParameter", bound);   // the motor is stopped first
      return kNoReset;
    }
    runs.ended();
    st.busy = false;
    return std::nullopt;
  };

  // A field without a number goes to the instrument as 0, as designed; the host is told.
  const std::vector<std::string> unreadable = no_file ? std::vector<std::string>{} : parameters::fields_without_number(content);
  if (!unreadable.empty()) {
    std::string list;
    for (const std::string& item : unreadable) list += (list.empty() ? "" : ", ") + item;
    s_.note(HostNote::Kind::Warning, "LoadParameter",
         Wording{"The parameter file has fields without a number, read as 0: " + list + ".",
                 "参数文件中以下字段没有数字，按 0 处理：" + list + "。"});
  }

  std::optional<Words> stopped;
  HostNote::Kind kind = HostNote::Kind::Failure;
  try {
    stopped = download();
  } catch (const RuntimeFailure& failure) {
    stopped = failure_words(failure.reason());
    if (failure.reason() == FailureReason::Interrupted) kind = HostNote::Kind::Interrupted;
  } catch (const std::exception&) {
    stopped = failure_words(FailureReason::InvalidArgument);
  }

  if (!stopped) {
    // The wait window stays up, with the connecting caption, while the port is closed
    // and the instrument is identified again.
    s_.show_splash(kConnectingCaption);
    identification_.close();
    identification_.connect();
  }
  s_.hide_splash();
  st.busy = false;
  if (stopped) {
    // The download shows the operator nothing; the host learns why it stopped and what
    // the instrument already holds from this file.
    const std::string already_en = sent.empty() ? "nothing was sent to the monochromator"
                                                : "already sent to the monochromator: " + join(sent, true) +
                                                      ". Check the instrument's settings before use";
    const std::string already_zh = sent.empty() ? "未向单色仪发送任何参数"
                                                : "已发送到单色仪：" + join(sent, false) + "。使用前请检查仪器设置";
    s_.note(kind, "LoadParameter",
         Wording{"The parameter download stopped: " + std::string(stopped->en) + "; " + already_en + ".",
                 "参数下载中断：" + std::string(stopped->zh) + "；" + already_zh + "。"});
  }
}

}  // namespace brivel
