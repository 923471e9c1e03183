#pragma once
// --sim: the simulated controller served on a pseudo-terminal by a thread of this
// process. The control reaches it through the real serial port, as it would reach an
// instrument.

#include <memory>
#include <string>

#include "options.h"

namespace brivel::ctl {

class SimHost {
 public:
  SimHost();
  ~SimHost();  // stops the server and closes the pseudo-terminal
  SimHost(const SimHost&) = delete;
  SimHost& operator=(const SimHost&) = delete;

  // Starts the simulator with the --sim-memory, --sim-fault and --sim-rate settings
  // of `options`; gives the device the control opens. Throws
  // RuntimeFailure(PortFailure) when no pseudo-terminal can be had.
  std::string start(const Options& options);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace brivel::ctl
