// The simulated controller as the loopback port's far end. Kept apart from the port
// so that programs using only a scripted peer need not link the model.

#include "sim_controller.h"
#include "testkit/loopback_port.h"

namespace brivel::testkit {

namespace {

class SimFarEnd : public FarEnd {
 public:
  explicit SimFarEnd(sim::Controller& controller) : sim_(controller) {}
  void receive(const Bytes& bytes, double now) override { sim_.receive(bytes, now); }
  Bytes take_output(double now) override { return sim_.take_output(now); }
  double next_due() const override { return sim_.next_due(); }
  void advance(double now) override { sim_.advance(now); }
  bool vanished() const override { return sim_.vanished(); }
  void port_reopened() override { sim_.port_reopened(); }

 private:
  sim::Controller& sim_;
};

}  // namespace

void LoopbackPort::attach(sim::Controller& controller) {
  attach(std::make_unique<SimFarEnd>(controller));
}

}  // namespace brivel::testkit
