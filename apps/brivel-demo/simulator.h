#pragma once
// The simulated controller on a pseudo-terminal, served from a thread of this process,
// so that the demo (and the benchmark) talk to it through a real serial device.

#include <QString>
#include <memory>
#include <string>

namespace brivel::sim {
class PtyServer;
}

class DemoSimulator {
 public:
  // `steps_per_speed`: motor steps per second per unit of speed (the instrument's 40
  // makes a 500 nm move take about 8 s at top speed; the demo is quicker).
  explicit DemoSimulator(double steps_per_speed = 200.0, double reposition_rate = 60000.0);
  ~DemoSimulator();
  // Opens the pseudo-terminal and serves it; false with `error` when it cannot.
  bool start(std::string& error);
  // The device path (e.g. /dev/pts/3), empty before start.
  QString device() const;

 private:
  std::unique_ptr<brivel::sim::PtyServer> server_;
};
