#include "simulator.h"

#include "pty_server.h"

DemoSimulator::DemoSimulator(double steps_per_speed, double reposition_rate)
    : server_(std::make_unique<brivel::sim::PtyServer>()) {
  server_->with_controller([&](brivel::sim::Controller& controller) {
    controller.motor().steps_per_speed = steps_per_speed;
    controller.motor().reposition_rate = reposition_rate;
  });
}

DemoSimulator::~DemoSimulator() {
  server_->stop();
  server_->join();
}

bool DemoSimulator::start(std::string& error) { return server_->start_background(error); }

QString DemoSimulator::device() const { return QString::fromStdString(server_->device()); }
