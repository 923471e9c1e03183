// Connecting and identifying the instrument (OpenCom), and refreshing its data over an
// open connection (the Refresh button).
//
// Both ask the controller a fixed series of one-letter questions. Each answer echoes
// the letter and carries a fixed number of data bytes; the receive threshold is set to
// that length so the receive handler sees the whole answer in one packet. The two
// read-outs differ only in their guards, their series and what a missing or wrong
// answer does, so the series are tables.

#include <exception>
#include <iterator>
#include <string>

#include "control/control.h"
#include "platform/failure.h"
#include "protocol/commands.h"
#include "text/convert.h"

namespace brivel {

namespace {
constexpr Words kPrompt{"Prompt", "提示"};
constexpr double kRefreshStep = 0.00625;  // nm per step: the refresh's starting value
}  // namespace

// One question of a read-out, with what a missing or a wrong answer does.
struct Control::QueryStep {
  enum Silence { FailOnSilence, LookAnyway };  // LookAnyway: the wait's result is not tested
  enum Wrong { FailOnWrong, Skip };            // Skip: the fields keep their values
  char letter;
  int threshold;  // bytes: the length of the answer
  Silence silence;
  Wrong wrong;
};

bool Control::ask_series(const QueryStep* series, std::size_t count, const char* operation) {
  for (std::size_t i = 0; i < count; ++i) {
    const QueryStep& step = series[i];
    Query outcome = query(step.letter, step.threshold);
    if (outcome == Query::NoReply) {
      if (step.silence == QueryStep::FailOnSilence) return false;
      // Untested wait: the newest packet is examined, normally the previous answer,
      // whose letter differs.
      outcome = protocol::is_answer(VarLastPacket_, step.letter, static_cast<std::size_t>(step.threshold))
                    ? Query::Ok
                    : Query::WrongLetter;
    }
    if (outcome == Query::WrongLetter) {
      if (step.wrong == QueryStep::FailOnWrong) return false;
      continue;
    }
    decode_answer(step.letter, operation);
  }
  return true;
}

Control::Query Control::query(char letter, int threshold) {
  send(protocol::question(letter), threshold);
  VBBool replied = kFalse;
  WaitReply(replied);
  if (!replied) return Query::NoReply;
  // An answer shorter than its threshold carries no data: it counts as a wrong one.
  return protocol::is_answer(VarLastPacket_, letter, static_cast<std::size_t>(threshold))
             ? Query::Ok
             : Query::WrongLetter;
}

void Control::decode_answer(char letter, const char* operation) {
  using protocol::byte_at;
  using protocol::word_at;
  const Bytes& p = VarLastPacket_;
  switch (letter) {
    case 'y':  // manufacture year, one byte
      w("TxtYear").set_text(text::format(byte_at(p, 1), "00"));
      break;
    case 'n': {  // instrument number, 16-bit
      Widget& field = w("TxtSpecNO");
      field.set_text(text::format(word_at(p, 1), "00000"));
      LngInstrumentNo_ = text::to_int32(text::leading_number(field.text()));
      break;
    }
    case 'g':  // grating code; a code outside the table changes nothing
      if (const protocol::Grating* grating = protocol::grating_for_code(byte_at(p, 1))) {
        w("TxtGratingLines").set_text(grating->text);
        IntGratingLines_ = grating->lines;
        DblMonoStep_ = grating->step;
      } else {
        // As described, and nothing the operator sees changes; a script that reads
        // DblMonoStep learns here why every wavelength follows the old step size.
        const std::string code = std::to_string(byte_at(p, 1));
        const std::string step = text::plain(DblMonoStep_);
        note(HostNote::Kind::Warning, operation,
             Wording{"the instrument reported grating code " + code +
                         ", which has no step size; DblMonoStep stays " + step + " nm per step",
                     "仪器报告的光栅代码 " + code + " 无对应步长；DblMonoStep 保持 " + step + " nm/步"});
      }
      break;
    case 'z': {  // zero offset, motor steps, 16-bit unsigned
      Widget& field = w("TxtZeroOffset");
      field.set_text(text::plain(word_at(p, 1)));
      LngZeroPos_ = text::to_int32(text::leading_number(field.text()));
      break;
    }
    case 'p':  // blaze wavelength, nm, 16-bit
      w("TxtBlazeWaveLen").set_text(text::format(word_at(p, 1), "000") + " nm");
      break;
    case 'm': {  // power-on position, absolute steps: no zero offset subtracted
      const double steps = protocol::assemble32(byte_at(p, 1), byte_at(p, 2), byte_at(p, 3), byte_at(p, 4));
      Widget& field = w("TxtOpenPos");
      field.set_text(text::format(DblMonoStep_ * steps, "0.00") + " nm");
      DblOpenPos_ = text::leading_number(field.text());
      break;
    }
    case 'v':  // motor speed in byte 2; byte 1 is not used
      reported_speed_ = byte_at(p, 2);
      w("CboSpeed").set_text(std::to_string(reported_speed_));
      break;
    case 't': {  // instrument type: an index into the type list, from 0
      Widget& types = w("CboComType");
      const std::size_t index = byte_at(p, 1);
      if (index < types.items().size()) types.set_text(types.items()[index]);
      break;
    }
    default:
      break;
  }
}

void Control::OpenCom() {
  using protocol::kThresholdBlaze, protocol::kThresholdGrating, protocol::kThresholdNumber,
      protocol::kThresholdPowerOn, protocol::kThresholdSpeed, protocol::kThresholdType,
      protocol::kThresholdYear, protocol::kThresholdZero;
  // An instrument is present when it answers "y", "n", "g", "z", "m" and "v" in time
  // and its answers to "z" and "v" carry their letters.
  static constexpr QueryStep kIdentify[] = {
      {'y', kThresholdYear, QueryStep::FailOnSilence, QueryStep::Skip},
      {'n', kThresholdNumber, QueryStep::FailOnSilence, QueryStep::Skip},
      {'g', kThresholdGrating, QueryStep::FailOnSilence, QueryStep::Skip},
      {'z', kThresholdZero, QueryStep::FailOnSilence, QueryStep::FailOnWrong},
      {'p', kThresholdBlaze, QueryStep::LookAnyway, QueryStep::Skip},
      {'m', kThresholdPowerOn, QueryStep::FailOnSilence, QueryStep::Skip},
      {'v', kThresholdSpeed, QueryStep::FailOnSilence, QueryStep::FailOnWrong},
      {'t', kThresholdType, QueryStep::LookAnyway, QueryStep::Skip},
  };

  // Every failure, from opening the port to the filter read-back, ends in the failure
  // path; nothing reaches the host.
  try {
    open_port();
    if (!ask_series(kIdentify, std::size(kIdentify), "OpenCom")) {
      open_failed("no instrument answered on " + port_->device_name());
      return;
    }
    RequestPosition();
    BlnBusy_ = kFalse;
    w("Image1").set_picture(2);
    BlnMonConnectFlag_ = kTrue;
    // The instrument is identified even if its filter settings cannot be read: it stays
    // connected, with the filter wheel marked not ready.
    if (!ReadFilterSettings())
      gave_up(Words{"the filter wheel settings could not be read", "无法读取滤光片设置"});
  } catch (const RuntimeFailure& failure) {
    if (failure.reason() != FailureReason::Interrupted) {
      open_failed(failure.what());
      return;
    }
    // Stopped on request: not connected, and no box for what the host asked for.
    close_port();
    BlnMonConnectFlag_ = kFalse;
    BlnBusy_ = kFalse;
    if (Widget* lamp = surface_.find("Image1")) lamp->set_picture(1);
    report_failure(failure, "OpenCom");
  } catch (const std::exception& failure) {
    open_failed(failure.what());
  }
}

void Control::open_failed(const std::string& why) {
  // Must not throw: OpenCom returns normally to the host whatever happened.
  close_port();
  BlnMonConnectFlag_ = kFalse;
  BlnBusy_ = kFalse;
  try {
    if (Widget* lamp = surface_.find("Image1")) lamp->set_picture(1);
    if (!why.empty()) note(HostNote::Kind::Failure, "OpenCom", Wording{why, why});
    say(MessageKind::Failure, Words{"Monochromator connection failed.", "单色仪连接失败!"}, kPrompt);
  } catch (...) {
  }
}

void Control::CmdMonoRefresh_Click() {
  using protocol::kThresholdGrating, protocol::kThresholdNumber, protocol::kThresholdPowerOn,
      protocol::kThresholdSpeed, protocol::kThresholdType, protocol::kThresholdYear,
      protocol::kThresholdZero;
  // No blaze wavelength, the type before the speed, and no wrong letter fails.
  static constexpr QueryStep kRefresh[] = {
      {'y', kThresholdYear, QueryStep::FailOnSilence, QueryStep::Skip},
      {'n', kThresholdNumber, QueryStep::FailOnSilence, QueryStep::Skip},
      {'g', kThresholdGrating, QueryStep::FailOnSilence, QueryStep::Skip},
      {'z', kThresholdZero, QueryStep::FailOnSilence, QueryStep::Skip},
      {'m', kThresholdPowerOn, QueryStep::FailOnSilence, QueryStep::Skip},
      {'t', kThresholdType, QueryStep::LookAnyway, QueryStep::Skip},
      {'v', kThresholdSpeed, QueryStep::FailOnSilence, QueryStep::Skip},
  };

  trapped([&] {
    if (BlnBusy_) return;
    if (!BlnMonConnectFlag_) {
      say(MessageKind::Refusal, Words{"Please reconnect the monochromator.", "请在检查连接后重新连接仪器"},
          Words{"Prompt", "单色仪未连接"});
      return;
    }
    BlnBusy_ = kTrue;
    DblMonoStep_ = kRefreshStep;
    BlnMonConnectFlag_ = kFalse;

    try {
      if (ask_series(kRefresh, std::size(kRefresh), "CmdMonoRefresh")) {
        RequestPosition();
        BlnBusy_ = kFalse;
        BlnMonConnectFlag_ = kTrue;  // the lamp and the filter fields are not touched
        return;
      }
    } catch (const RuntimeFailure& failure) {
      // A port that fails mid-way is a failed refresh, as a silent controller is. A
      // stop from outside ends it the same way, but with the host's note, not a box.
      if (failure.reason() == FailureReason::Interrupted) {
        close_port();
        BlnBusy_ = kFalse;
        throw;
      }
    }
    // Not connected any more; the lamp keeps showing connected until the next click.
    say(MessageKind::Failure, Words{"Unable to connect to the monochromator.", "无法连接单色仪!"}, kPrompt, Icon::Information);
    close_port();
    BlnBusy_ = kFalse;
  });
}

}  // namespace brivel
