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

#include "control/brivel.h"
#include "sim_controller.h"
#include "testkit/loopback_port.h"
#include "testkit/scripted_dialogs.h"
#include "testkit/virtual_pump.h"

namespace brivel::testkit {

struct Bench {
  explicit Bench(sim::Memory memory = sim::factory_memory());
  ~Bench();

  VirtualPump pump;
  ScriptedDialogs dialogs{&pump};
  sim::Controller sim;
  LoopbackPort* port;   // owned by the control
  Brivel control;

  // The bytes of every write, in order (without times).
  std::vector<Bytes> writes() const;
  // Hex of every write, e.g. {"57 00 00 27 10", "77", ...}.
  std::vector<std::string> write_hex() const;
  void clear() { port->clear_written(); dialogs.clear(); }
};

// "57 00 00 27 10" for {0x57, 0, 0, 0x27, 0x10}.
std::string hex(const Bytes& bytes);
// Bytes from text: bytes("w") is {0x77}; unhex("77 00 01") is {0x77, 0x00, 0x01}.
Bytes bytes(const std::string& text);
Bytes unhex(const std::string& hex);

}  // namespace brivel::testkit
