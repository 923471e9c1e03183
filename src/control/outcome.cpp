#include "control/outcome.h"

namespace brivel {

const char* to_string(Outcome outcome) {
  switch (outcome) {
    case Outcome::Pending: return "pending";
    case Outcome::Done: return "done";
    case Outcome::Refused: return "refused";
    case Outcome::NotConnected: return "not connected";
    case Outcome::Busy: return "busy";
    case Outcome::OutOfRange: return "out of range";
    case Outcome::Failed: return "failed";
    case Outcome::Stopped: return "stopped";
    case Outcome::ConnectionLost: return "connection lost";
  }
  return "?";
}

std::vector<std::string> Result::warnings() const {
  std::vector<std::string> out;
  for (const HostNote& n : notes)
    if (n.kind == HostNote::Kind::Warning) out.push_back(n.text_en);
  return out;
}

Result refusal(const std::string& operation, Outcome outcome, std::string en, std::string zh) {
  Result r;
  r.operation = operation;
  r.outcome = outcome;
  r.text_en = std::move(en);
  r.text_zh = std::move(zh);
  return r;
}

Result judge(const CallRecord& record, Judge how, const std::string& refused_en,
             const std::string& refused_zh) {
  Result r;
  r.operation = record.operation;
  r.messages = record.messages;
  r.notes = record.notes;

  const Message* first = nullptr;  // the first refusal or failure the operator was told
  for (const Message& m : record.messages) {
    if (m.kind == MessageKind::Refusal || m.kind == MessageKind::Failure) {
      first = &m;
      break;
    }
  }
  const HostNote* failure_note = nullptr;
  bool interrupted = record.failure && record.failure->reason() == FailureReason::Interrupted;
  for (const HostNote& n : record.notes) {
    if (n.kind == HostNote::Kind::Interrupted) interrupted = true;
    if (n.kind == HostNote::Kind::Failure && !failure_note) failure_note = &n;
  }
  if (failure_note) {
    r.detail_en = failure_note->text_en;
    r.detail_zh = failure_note->text_zh;
  }
  const auto text_from = [&](const Message* m, const std::string& en, const std::string& zh) {
    r.text_en = m ? m->text_en : en;
    r.text_zh = m ? m->text_zh : zh;
  };
  const auto ended = [&](Outcome outcome) {
    r.outcome = outcome;
    return r;
  };

  // A stop requested from outside wins: the call has ended cleanly, the motor stopped.
  if (interrupted) {
    text_from(nullptr, "The call was stopped on request; the motor was stopped.",
              "已按要求停止，电机已停止。");
    return ended(Outcome::Stopped);
  }

  if (how == Judge::Connection) {
    // Connected: what went wrong on the way (the filter wheel could not be read) stays
    // in the messages; the connection itself was made.
    if (record.connected_after) return ended(Outcome::Done);
    text_from(first, "Monochromator connection failed.", "单色仪连接失败!");
    if (r.detail_en.empty() && record.failure) r.detail_en = r.detail_zh = record.failure->what();
    return ended(Outcome::ConnectionLost);
  }

  if (record.failure) {
    const bool lost = record.failure->reason() == FailureReason::PortLost;
    const std::string why = record.failure->what();
    text_from(first, "The operation could not be completed: " + why + ".", "操作未能完成：" + why + "。");
    if (r.detail_en.empty()) r.detail_en = r.detail_zh = why;
    return ended(lost ? Outcome::ConnectionLost : Outcome::Failed);
  }
  if (!record.other_failure.empty()) {
    text_from(first, "The operation could not be completed: " + record.other_failure + ".",
              "操作未能完成：" + record.other_failure + "。");
    return ended(Outcome::Failed);
  }

  const bool lost_connection = record.connected_before && !record.connected_after;
  if (first) {
    text_from(first, "", "");
    if (first->kind == MessageKind::Refusal) return ended(Outcome::Refused);
    return ended(lost_connection ? Outcome::ConnectionLost : Outcome::Failed);
  }
  if (failure_note) {
    // A failure the control reported only to the host (a download that stopped).
    r.text_en = failure_note->text_en;
    r.text_zh = failure_note->text_zh;
    r.detail_en.clear();
    r.detail_zh.clear();
    return ended(lost_connection ? Outcome::ConnectionLost : Outcome::Failed);
  }
  if (how == Judge::RangeChecked && record.range_refused) {
    text_from(nullptr, refused_en, refused_zh);
    return ended(Outcome::OutOfRange);
  }
  return ended(Outcome::Done);
}

}  // namespace brivel
