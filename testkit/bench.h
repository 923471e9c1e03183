#pragma once
// A test bench: one control on a loopback port, the simulated controller at the far
// end, recorded dialogs, all in virtual time.
//
//   testkit::Bench b;            // factory instrument, not connected
//   b.control.OpenCom();          // identifies in a few ms of real time
//   b.writes()                    // every write since the last clear, in order

#include <memory>
#include <string>
#include <vector>

#include "control/control.h"
#include "sim_controller.h"
#include "testkit/hex.h"
#include "testkit/loopback_port.h"
#include "testkit/scripted_dialogs.h"
#include "testkit/virtual_pump.h"

namespace brivel::testkit {

struct Bench {
  explicit Bench(sim::Memory memory = sim::factory_memory(), Files& files = standard_files());
  ~Bench();
  Bench(const Bench&) = delete;
  Bench& operator=(const Bench&) = delete;

  VirtualPump pump;
  ScriptedDialogs dialogs{&pump};
  sim::Controller sim;
  LoopbackPort* port;   // owned by the control
  Control control;

  // The bytes of every write, in order (without times).
  std::vector<Bytes> writes() const;
  // Hex of every write, e.g. {"57 00 00 27 10", "77", ...}.
  std::vector<std::string> write_hex() const;
  void clear() { port->clear_written(); dialogs.clear(); }
};

// Identifies the instrument and clears the traffic and dialogs; true when connected.
inline bool connect(Bench& b) {
  b.control.OpenCom();
  b.clear();
  return b.control.BlnMonConnectFlag() != 0;
}

// A bench whose control is connected, its traffic and dialogs cleared.
struct Connected {
  explicit Connected(sim::Memory memory = sim::factory_memory()) : b(memory) { connect(b); }
  Bench b;
};

// The factory instrument with another grating code.
inline sim::Memory with_grating(int code) {
  sim::Memory m = sim::factory_memory();
  m.grating = static_cast<std::uint8_t>(code);
  return m;
}

// A file of the test's own in the temporary folder, removed at the end of its scope.
struct TempFile {
  explicit TempFile(const std::string& content, const std::string& name = "parameters.txt");
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  std::string path;
};

// hex(), bytes() and unhex() come from testkit/hex.h.

}  // namespace brivel::testkit
