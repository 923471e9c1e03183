#include "platform/dialogs.h"

namespace brivel {

const char* to_string(MessageKind kind) {
  switch (kind) {
    case MessageKind::Information: return "information";
    case MessageKind::Success: return "success";
    case MessageKind::Question: return "question";
    case MessageKind::Refusal: return "refusal";
    case MessageKind::Failure: return "failure";
  }
  return "information";
}

}  // namespace brivel
