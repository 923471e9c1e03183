// The platform seam in virtual time: the contract over VirtualPump and LoopbackPort.

#include <gtest/gtest.h>

#include <limits>

#include "seam/seam_contract.h"
#include "testkit/loopback_port.h"
#include "testkit/virtual_pump.h"

namespace brivel::testkit {
namespace {

constexpr double kStart = 1000.0;

// A far end that keeps every byte and answers nothing.
struct RecordingFar : FarEnd {
  void receive(const Bytes& bytes, double) override { got.insert(got.end(), bytes.begin(), bytes.end()); }
  Bytes take_output(double) override { return {}; }
  double next_due() const override { return std::numeric_limits<double>::infinity(); }
  void advance(double) override {}
  bool vanished() const override { return false; }
  void port_reopened() override {}
  std::string got;
  std::size_t taken = 0;
};

struct VirtualPlatform {
  VirtualPlatform() {
    auto far = std::make_unique<RecordingFar>();
    far_ = far.get();
    port_.attach(std::move(far));
    port_.open();
  }
  EventPump& pump() { return pump_; }
  SerialPort& port() { return port_; }
  static std::unique_ptr<EventPump> make_pump() { return std::make_unique<VirtualPump>(kStart); }
  void send(const std::string& bytes) { port_.inject(Bytes(bytes.begin(), bytes.end())); }
  std::string received() {
    std::string got = far_->got.substr(far_->taken);
    far_->taken = far_->got.size();
    return got;
  }
  void vanish() { port_.unplug_now(); }
  VirtualPump pump_{kStart};
  LoopbackPort port_{pump_};
  RecordingFar* far_ = nullptr;
};

}  // namespace
}  // namespace brivel::testkit

namespace brivel::seam {
INSTANTIATE_TYPED_TEST_SUITE_P(Virtual, SeamContract, testkit::VirtualPlatform);
}

