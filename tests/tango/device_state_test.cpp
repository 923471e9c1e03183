// The Tango device's state and status rules, and the reading of its Port property.

#include <gtest/gtest.h>

#include "bridge.h"
#include "device_state.h"

namespace brivel::tango {
namespace {

Situation connected_idle() {
  Situation s;
  s.wanted = true;
  s.control.connected = true;
  s.control.device = "/dev/pts/7";
  s.control.instrument_no = 12345;
  return s;
}

TEST(DeviceState, OperationsThatTurnTheMotorAreMovingOthersRunEvenWhileARefreshLowersTheConnection) {
  const DeviceState moving = DeviceState::Moving, running = DeviceState::Running;
  const std::pair<const char*, DeviceState> cases[] = {
      {"move_to", moving}, {"move_by", moving}, {"jog", moving},     {"reposition", moving}, {"load_parameters", moving},
      {"speed", running},  {"refresh", running}, {"filters", running}, {"save_parameters", running}};
  for (const auto& [operation, state] : cases) {
    Situation s = connected_idle();
    s.control.busy = true;
    s.control.operation = operation;
    s.control.connected = std::string(operation) != "refresh";
    EXPECT_EQ(device_state(s), state) << operation;
  }
  EXPECT_EQ(device_state(connected_idle()), DeviceState::On);
}

TEST(DeviceState, NotConnectedIsAFaultOnlyWhenAConnectionWasAskedFor) {
  Situation s;
  s.wanted = true;
  EXPECT_EQ(device_state(s), DeviceState::Fault);
  s.wanted = false;
  EXPECT_EQ(device_state(s), DeviceState::Off);
  s.wanted = true;
  s.control.busy = true;
  s.control.operation = "open";
  EXPECT_EQ(device_state(s), DeviceState::Init);
}

TEST(DeviceStatus, AFaultNamesTheDeviceAndTheReasonAndKeepsTheLastMessage) {
  Situation s;
  s.wanted = true;
  s.device = "/tmp/mono.link";
  s.fault_en = "/tmp/mono.link: no such device";
  s.control.last_message_en = "Monochromator connection failed.";
  s.control.last_message_zh = "单色仪连接失败!";
  const std::string en = status_text(s, DeviceState::Fault, 1);
  EXPECT_NE(en.find("Fault on /tmp/mono.link: /tmp/mono.link: no such device"), std::string::npos) << en;
  EXPECT_NE(en.find("Last message: Monochromator connection failed."), std::string::npos) << en;
  const std::string zh = status_text(s, DeviceState::Fault, 0);
  EXPECT_NE(zh.find("单色仪连接失败!"), std::string::npos) << zh;
  // A lost port without a note of its own: the operator's message is the reason.
  s.fault_en.clear();
  s.control.port_lost = true;
  s.control.last_message_en = "The connection to the monochromator was lost.";
  EXPECT_NE(status_text(s, DeviceState::Fault, 1).find("/tmp/mono.link: The connection"), std::string::npos);
}

TEST(PortProperty, APathIsPinnedAndANumberFollowsThePortRule) {
  const PortChoice path = parse_port(" /dev/serial/by-id/usb-x ");
  EXPECT_EQ(path.device, "/dev/serial/by-id/usb-x");
  EXPECT_TRUE(path.error_en.empty());
  const PortChoice number = parse_port("3");
  EXPECT_EQ(number.number, 3);
  EXPECT_TRUE(number.device.empty());
  for (const char* bad : {"", "  ", "0", "17", "99999999999999999999"}) {
    const PortChoice choice = parse_port(bad);
    EXPECT_FALSE(choice.error_en.empty()) << bad;
    EXPECT_FALSE(choice.error_zh.empty()) << bad;
  }
}

}  // namespace
}  // namespace brivel::tango
