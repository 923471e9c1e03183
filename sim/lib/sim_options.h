#pragma once
// Text options for the simulated controller's faults and memory, shared by brivel-sim
// and by the programs that run the simulator in-process.

#include <string>

#include "sim_controller.h"

namespace brivel::sim {

// One fault by name: silent, silent-after=N, wrong-letter, wrong-letter=LETTERS,
// garble=P, drop=P, split=SECONDS, duplicate=P, reorder=P, slow=SECONDS,
// jitter=SECONDS, stall, stall-after=N, stall-in=SECONDS, creep, no-ack, vanish,
// vanish-after=N, garble-host=P, unsolicited=SECONDS, flood, seed=N.
// False (and `error` set) for an unknown name or a bad value.
bool apply_fault(Faults& faults, const std::string& fault_text, std::string& error);

// One memory value by option name (without dashes): year, instrument-no, grating,
// zero, blaze, power-on (steps), power-on-nm, type, speed, filter-state, filter-a,
// filter-b, filters (start wavelengths in nm, comma-separated, at the memory's grating).
// False (and `error` set) for an unknown name or a value out of range.
bool apply_memory(Memory& memory, const std::string& name, const std::string& value, std::string& error);

// True if `name` is a memory option that apply_memory knows.
bool is_memory_option(const std::string& name);

// Usage lines for both kinds of options.
const char* options_usage();

}  // namespace brivel::sim
