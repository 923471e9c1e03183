#include "device_state.h"

#include <array>

namespace brivel::tango {

const char* to_string(DeviceState state) {
  switch (state) {
    case DeviceState::On: return "ON";
    case DeviceState::Moving: return "MOVING";
    case DeviceState::Running: return "RUNNING";
    case DeviceState::Fault: return "FAULT";
    case DeviceState::Off: return "OFF";
    case DeviceState::Init: return "INIT";
  }
  return "UNKNOWN";
}

bool is_motion(const std::string& operation) {
  static const std::array<const char*, 5> motions{"move_to", "move_by", "jog", "reposition",
                                                  "load_parameters"};
  for (const char* name : motions)
    if (operation == name) return true;
  return false;
}

DeviceState device_state(const Situation& s) {
  const State& c = s.control;
  if (c.busy && !c.operation.empty()) {
    if (is_motion(c.operation)) return DeviceState::Moving;
    if (c.operation == "open") return DeviceState::Init;
    if (c.operation == "close") return DeviceState::Running;
    // A refresh lowers the connected flag while it reads the instrument again; it and
    // every other exchange that turns no motor run on the connection asked for.
    if (c.connected || s.wanted) return DeviceState::Running;
  }
  if (c.connected) return DeviceState::On;
  return s.wanted ? DeviceState::Fault : DeviceState::Off;
}

namespace {

std::string device_of(const Situation& s) {
  if (!s.device.empty()) return s.device;
  if (!s.control.device.empty()) return s.control.device;
  return "port " + std::to_string(s.control.port_number);
}

}  // namespace

std::string status_text(const Situation& s, DeviceState state, int language) {
  const bool en = language != 0;
  const std::string device = device_of(s);
  const State& c = s.control;
  std::string line;
  switch (state) {
    case DeviceState::On:
      line = en ? "Connected to " + device + ", instrument " + std::to_string(c.instrument_no) + "."
                : "已连接 " + device + "，仪器编号 " + std::to_string(c.instrument_no) + "。";
      break;
    case DeviceState::Running:
      line = en ? "Busy (" + c.operation + ") on " + device + "." : "忙（" + c.operation + "）：" + device + "。";
      break;
    case DeviceState::Moving:
      line = en ? "Moving (" + c.operation + ") on " + device + "."
                : "运动中（" + c.operation + "）：" + device + "。";
      break;
    case DeviceState::Init:
      line = en ? "Connecting to " + device + "." : "正在连接 " + device + "。";
      break;
    case DeviceState::Off:
      line = en ? "Closed: " + device + "." : "已关闭：" + device + "。";
      break;
    case DeviceState::Fault: {
      std::string why = en ? s.fault_en : s.fault_zh;
      if (why.empty()) why = en ? c.last_message_en : c.last_message_zh;
      if (why.empty())
        why = c.port_lost ? (en ? "the port went away" : "串口已断开")
                          : (en ? "not connected" : "未连接");
      line = (en ? "Fault on " : "故障：") + device + (en ? ": " : "：") + why;
      break;
    }
  }
  const std::string& message = en ? c.last_message_en : c.last_message_zh;
  if (!message.empty()) line += (en ? "\nLast message: " : "\n最后的消息：") + message;
  return line;
}

}  // namespace brivel::tango
