#pragma once
// What a call of the control came to, judged from what it told the operator and the
// host while it ran. Every host that needs a result (a script's exception, a server's
// error, brivelctl's exit status, an operation handle) judges calls here, so that a
// refusal, a failure or a stop means the same thing everywhere.

#include <optional>
#include <string>
#include <vector>

#include "platform/dialogs.h"
#include "platform/failure.h"

namespace brivel {

enum class Outcome {
  Pending,         // not ended yet
  Done,            // ended as asked
  Refused,         // did not start: the control refused it (its message says why)
  NotConnected,    // did not start: the instrument is not connected
  Busy,            // did not start: another operation is in flight
  OutOfRange,      // the range check refused an entry (nothing was sent)
  Failed,          // started and did not end as asked
  Stopped,         // ended by a stop request (cancel, the stop button from outside)
  ConnectionLost,  // the port went away, or a connection could not be made
};

const char* to_string(Outcome outcome);

// How a call's record is judged.
enum class Judge {
  Messages,      // a refusal or failure message, or a failure note, fails the call
  Connection,    // connecting: the control is connected afterwards, or the call failed
  RangeChecked,  // as Messages; an entry the range check refused fails the call too
};

// What one call left behind, collected while it ran.
struct CallRecord {
  std::string operation;   // the member or verb, for messages ("move_to", "OpenCom")
  bool connected_before = false;
  bool connected_after = false;
  bool range_refused = false;              // the range check refused an entry
  std::vector<Message> messages;           // every operator message, in order
  std::vector<HostNote> notes;             // every host note, in order
  std::optional<RuntimeFailure> failure;   // a run-time failure the call passed on
  std::string other_failure;               // any other exception's text
};

struct Result {
  Outcome outcome = Outcome::Pending;
  std::string operation;
  std::string text_en, text_zh;      // what went wrong, as the operator was told it
  std::string detail_en, detail_zh;  // what the host was told besides (a note), if anything
  double wavelength = 0;             // nm, the control's wavelength when the call ended
  std::vector<Message> messages;
  std::vector<HostNote> notes;

  bool ok() const { return outcome == Outcome::Done; }
  bool ended() const { return outcome != Outcome::Pending; }
  // The warnings the control noted for the host during the call.
  std::vector<std::string> warnings() const;
};

// Judges a call. `refused_en`/`refused_zh` word an entry the range check refused.
Result judge(const CallRecord& record, Judge how, const std::string& refused_en = {},
             const std::string& refused_zh = {});

// A result that ended without running anything (busy, not connected, stopped while
// queued): `outcome` with the given texts.
Result refusal(const std::string& operation, Outcome outcome, std::string en, std::string zh);

}  // namespace brivel
