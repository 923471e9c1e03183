#pragma once
// Reaches the control's receive handler, waits and receive fields from tests.

#include <string>

#include "control/control.h"

namespace brivel {

struct ControlProbe {
  Control& c;

  void open_port() { c.open_port(); }
  void on_comm(int event_code) { c.MSComm1_OnComm(event_code); }
  bool wait_reply() { return c.WaitReply(); }
  bool wait_ok() { return c.wait_for_ack(c.bounds_.ack); }
  bool wait_data() { return c.WaitForData(c.bounds_.data); }

  std::string& StrReceive() { return c.StrReceive_; }
  bool& BlnReplyFlag() { return c.BlnReplyFlag_; }
  bool& BlnMoveWatch() { return c.BlnMoveWatch_; }
  std::array<std::int32_t, 4>& LngWatchHead() { return c.LngWatchHead_; }
  std::array<std::int32_t, 4>& LngWatchPos() { return c.LngWatchPos_; }
  double& DblMonoStep() { return c.DblMonoStep_; }
};

}  // namespace brivel
