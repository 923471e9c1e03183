// Connecting and identifying the instrument (OpenCom), and refreshing its data over an
// open connection (the Refresh button).
//
// Both ask the controller a fixed series of one-letter questions. Each answer echoes
// the letter and carries a fixed number of data bytes; the receive threshold is set to
// that length so the receive handler sees the whole answer in one packet. The two
// read-outs differ only in their guards, their series and what a missing or wrong
// answer does, so the series are tables.

#include "identify/identification.h"

#include <exception>
#include <iterator>
#include <string>

#include "filterwheel/filter_wheel.h"
#include "platform/failure.h"
#include "protocol/commands.h"
#include "text/convert.h"

namespace brivel {

namespace {
constexpr double kRefreshStep = 0.00625;  // nm per step: the refresh's starting value
}  // namespace

// One question of a read-out, with what a missing or a wrong answer does.
struct Identification::Step {
  enum Silence { FailOnSilence, LookAnyway };  // LookAnyway: the wait's result is not tested
  enum Wrong { FailOnWrong, Skip };            // Skip: the fields keep their values
  char letter;
  int threshold;  // bytes: the length of the answer
  Silence silence;
  Wrong wrong;
};

bool Identification::ask_series(const Step* series, std::size_t count, const char* operation) {
  for (std::size_t i = 0; i < count; ++i) {
    const Step& step = series[i];
    Query outcome = query(step.letter, step.threshold);
    if (outcome == Query::NoReply) {
      if (step.silence == Step::FailOnSilence) return false;
      // Untested wait: the newest packet is examined, normally the previous answer,
      // whose letter differs.
      outcome = protocol::is_answer(s_.link.last_packet(), step.letter, static_cast<std::size_t>(step.threshold))
                    ? Query::Ok
                    : Query::WrongLetter;
    }
    if (outcome == Query::WrongLetter) {
      if (step.wrong == Step::FailOnWrong) return false;
      continue;
    }
    decode_answer(step.letter, operation);
  }
  return true;
}

Identification::Query Identification::query(char letter, int threshold) {
  s_.link.send(protocol::question(letter), threshold);
  if (!s_.link.wait_reply()) return Query::NoReply;
  // An answer shorter than its threshold carries no data: it counts as a wrong one.
  return protocol::is_answer(s_.link.last_packet(), letter, static_cast<std::size_t>(threshold))
             ? Query::Ok
             : Query::WrongLetter;
}

void Identification::decode_answer(char letter, const char* operation) {
  using protocol::byte_at;
  using protocol::word_at;
  const Bytes& p = s_.link.last_packet();
  switch (letter) {
    case 'y':  // manufacture year, one byte
      s_.w("TxtYear").set_text(text::format(byte_at(p, 1), "00"));
      break;
    case 'n': {  // instrument number, 16-bit
      Widget& field = s_.w("TxtSpecNO");
      field.set_text(text::format(word_at(p, 1), "00000"));
      s_.state.instrument_no = text::to_int32(text::leading_number(field.text()));
      break;
    }
    case 'g':  // grating code; a code outside the table changes nothing
      if (const protocol::Grating* grating = protocol::grating_for_code(byte_at(p, 1))) {
        s_.w("TxtGratingLines").set_text(grating->text);
        s_.state.grating_lines = grating->lines;
        s_.state.step = grating->step;
      } else {
        // As designed, and nothing the operator sees changes; a script that reads
        // DblMonoStep learns here why every wavelength follows the old step size.
        const std::string code = std::to_string(byte_at(p, 1));
        const std::string step = text::plain(s_.state.step);
        s_.note(HostNote::Kind::Warning, operation,
             Wording{"the instrument reported grating code " + code +
                         ", which has no step size; DblMonoStep stays " + step + " nm per step",
                     "仪器报告的光栅代码 " + code + " 无对应步长；DblMonoStep 保持 " + step + " nm/步"});
      }
      break;
    case 'z': {  // zero offset, motor steps, 16-bit unsigned
      Widget& field = s_.w("TxtZeroOffset");
      field.set_text(text::plain(word_at(p, 1)));
      s_.state.zero_offset = text::to_int32(text::leading_number(field.text()));
      break;
    }
    case 'p':  // blaze wavelength, nm, 16-bit
      s_.w("TxtBlazeWaveLen").set_text(text::format(word_at(p, 1), "000") + " nm");
      break;
    case 'm': {  // power-on position, absolute steps: no zero offset subtracted
      const double steps = protocol::assemble32(byte_at(p, 1), byte_at(p, 2), byte_at(p, 3), byte_at(p, 4));
      Widget& field = s_.w("TxtOpenPos");
      field.set_text(text::format(s_.state.step * steps, "0.00") + " nm");
      s_.state.power_on = text::leading_number(field.text());
      break;
    }
    case 'v':  // motor speed in byte 2; byte 1 is not used
      s_.state.reported_speed = byte_at(p, 2);
      s_.w("CboSpeed").set_text(std::to_string(s_.state.reported_speed));
      break;
    case 't': {  // instrument type: an index into the type list, from 0
      Widget& types = s_.w("CboComType");
      const std::size_t index = byte_at(p, 1);
      if (index < types.items().size()) types.set_text(types.items()[index]);
      break;
    }
    default:
      break;
  }
}

void Identification::connect() {
  using protocol::kThresholdBlaze, protocol::kThresholdGrating, protocol::kThresholdNumber,
      protocol::kThresholdPowerOn, protocol::kThresholdSpeed, protocol::kThresholdType,
      protocol::kThresholdYear, protocol::kThresholdZero;
  // An instrument is present when it answers "y", "n", "g", "z", "m" and "v" in time
  // and its answers to "z" and "v" carry their letters.
  static constexpr Step kIdentify[] = {
      {'y', kThresholdYear, Step::FailOnSilence, Step::Skip},
      {'n', kThresholdNumber, Step::FailOnSilence, Step::Skip},
      {'g', kThresholdGrating, Step::FailOnSilence, Step::Skip},
      {'z', kThresholdZero, Step::FailOnSilence, Step::FailOnWrong},
      {'p', kThresholdBlaze, Step::LookAnyway, Step::Skip},
      {'m', kThresholdPowerOn, Step::FailOnSilence, Step::Skip},
      {'v', kThresholdSpeed, Step::FailOnSilence, Step::FailOnWrong},
      {'t', kThresholdType, Step::LookAnyway, Step::Skip},
  };

  // Every failure, from opening the port to the filter read-back, ends in the failure
  // path; nothing reaches the host.
  try {
    InstrumentState& st = s_.state;
    if (st.port_number < 1 || st.port_number > 16) st.port_number = 1;
    const std::string remark = s_.link.open(st.port_number);
    if (!remark.empty()) s_.note(HostNote::Kind::Warning, "OpenCom", Wording{remark, remark});
    st.busy = true;
    if (!ask_series(kIdentify, std::size(kIdentify), "OpenCom")) {
      open_failed("no instrument answered on " + s_.link.device_name());
      return;
    }
    s_.link.request_position();
    st.busy = false;
    s_.w("Image1").set_picture(2);
    st.connected = true;
    // The instrument is identified even if its filter settings cannot be read: it stays
    // connected, with the filter wheel marked not ready.
    if (!wheel_.read_settings())
      s_.gave_up(Words{"the filter wheel settings could not be read", "无法读取滤光片设置"});
  } catch (const RuntimeFailure& failure) {
    if (failure.reason() != FailureReason::Interrupted) {
      open_failed(failure.what());
      return;
    }
    // Stopped on request: not connected, and no box for what the host asked for.
    s_.link.close();
    show_not_connected();
    s_.report_failure(failure, "OpenCom");
  } catch (const std::exception& failure) {
    open_failed(failure.what());
  }
}

void Identification::show_not_connected() {
  s_.state.connected = false;
  s_.state.busy = false;
  if (Widget* lamp = s_.surface.find("Image1")) lamp->set_picture(1);
}

void Identification::close() {
  // Closing never reports a failure; the flags and the lamp follow in any case, so
  // that the operator sees the control as not connected.
  s_.link.close();
  s_.link.forget_loss();
  show_not_connected();
}

void Identification::open_failed(const std::string& why) {
  // Must not throw: OpenCom returns normally to the host whatever happened.
  s_.link.close();
  s_.state.connected = false;
  s_.state.busy = false;
  try {
    if (Widget* lamp = s_.surface.find("Image1")) lamp->set_picture(1);
    if (!why.empty()) s_.note(HostNote::Kind::Failure, "OpenCom", Wording{why, why});
    s_.say(MessageKind::Failure, Words{"Monochromator connection failed.", "单色仪连接失败!"}, kPrompt);
  } catch (...) {
  }
}

void Identification::refresh() {
  using protocol::kThresholdGrating, protocol::kThresholdNumber, protocol::kThresholdPowerOn,
      protocol::kThresholdSpeed, protocol::kThresholdType, protocol::kThresholdYear,
      protocol::kThresholdZero;
  // No blaze wavelength, the type before the speed, and no wrong letter fails.
  static constexpr Step kRefresh[] = {
      {'y', kThresholdYear, Step::FailOnSilence, Step::Skip},
      {'n', kThresholdNumber, Step::FailOnSilence, Step::Skip},
      {'g', kThresholdGrating, Step::FailOnSilence, Step::Skip},
      {'z', kThresholdZero, Step::FailOnSilence, Step::Skip},
      {'m', kThresholdPowerOn, Step::FailOnSilence, Step::Skip},
      {'t', kThresholdType, Step::LookAnyway, Step::Skip},
      {'v', kThresholdSpeed, Step::FailOnSilence, Step::Skip},
  };

  InstrumentState& st = s_.state;
  s_.trapped([&] {
    if (st.busy) return;
    if (!st.connected) {
      s_.say(MessageKind::Refusal, Words{"Please reconnect the monochromator.", "请在检查连接后重新连接仪器"},
             Words{"Prompt", "单色仪未连接"});
      return;
    }
    st.busy = true;
    st.step = kRefreshStep;
    st.connected = false;
    try {
      if (ask_series(kRefresh, std::size(kRefresh), "CmdMonoRefresh")) {
        s_.link.request_position();
        st.busy = false;
        st.connected = true;  // the lamp and the filter fields are not touched
        return;
      }
    } catch (const RuntimeFailure& failure) {
      // A port that fails mid-way is a failed refresh, as a silent controller is. A
      // stop from outside ends it the same way, but with the host's note, not a box.
      if (failure.reason() == FailureReason::Interrupted) {
        s_.link.close();
        st.busy = false;
        throw;
      }
    }
    // Not connected any more; the lamp keeps showing connected until the next click.
    s_.say(MessageKind::Failure, Words{"Unable to connect to the monochromator.", "无法连接单色仪!"}, kPrompt,
           Icon::Information);
    s_.link.close();
    st.busy = false;
  });
}

}  // namespace brivel
