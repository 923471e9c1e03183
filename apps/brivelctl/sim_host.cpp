#include "sim_host.h"

#include "platform/failure.h"
#include "pty_server.h"
#include "sim_options.h"

namespace brivel::ctl {

struct SimHost::Impl {
  std::unique_ptr<sim::PtyServer> server;
};

SimHost::SimHost() : impl_(std::make_unique<Impl>()) {}

SimHost::~SimHost() {
  if (impl_->server) {
    impl_->server->stop();
    impl_->server->join();
  }
}

std::string SimHost::start(const Options& options) {
  // The settings were checked when the command line was read.
  std::string unused;
  sim::Memory memory = sim::factory_memory();
  for (const auto& [name, value] : options.sim_memory) sim::apply_memory(memory, name, value, unused);
  sim::Faults faults;
  for (const std::string& fault : options.sim_faults) sim::apply_fault(faults, fault, unused);

  impl_->server = std::make_unique<sim::PtyServer>(memory, faults);
  if (options.sim_rate > 0)
    impl_->server->with_controller(
        [&](sim::Controller& c) {
          // Repositioning runs at full speed whatever the speed setting.
          c.motor().steps_per_speed = options.sim_rate;
          c.motor().reposition_rate = options.sim_rate * 250.0;
        });
  std::string error;
  if (!impl_->server->start_background(error))
    throw RuntimeFailure(FailureReason::PortFailure, "the simulator cannot start: " + error);
  return impl_->server->device();
}

}  // namespace brivel::ctl
