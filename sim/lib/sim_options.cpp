#include "sim_options.h"

#include <cmath>
#include <cstdlib>
#include <sstream>
#include <vector>

namespace brivel::sim {

namespace {

// A whole number in [low, high] from the entire text.
bool whole(const std::string& text, long long low, long long high, long long& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  value = std::strtoll(text.c_str(), &end, 10);
  return *end == '\0' && value >= low && value <= high;
}

bool real(const std::string& text, double low, double high, double& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  value = std::strtod(text.c_str(), &end);
  return *end == '\0' && std::isfinite(value) && value >= low && value <= high;
}

// Wavelength (nm) to a step count at the memory's grating, rounded half to even.
bool steps_of(const Memory& memory, double nm, double unit, long long& steps) {
  const double step = step_size(memory.grating);
  if (step <= 0.0 || nm < 0.0) return false;
  steps = std::llrint(nm / step / unit);
  return true;
}

bool set_filters(Memory& memory, const std::string& list) {
  std::vector<std::uint16_t> starts;
  std::stringstream items(list);
  std::string item;
  while (std::getline(items, item, ',')) {
    double nm = 0;
    long long units = 0;
    if (!real(item, 0.0, 1e6, nm) || !steps_of(memory, nm, 16.0, units) || units > 0xFFFF) return false;
    starts.push_back(static_cast<std::uint16_t>(units));
  }
  if (starts.size() > 6) return false;
  memory.filter_count = static_cast<std::uint8_t>(starts.size());
  memory.filter_start.fill(0);
  for (std::size_t i = 0; i < starts.size(); ++i) memory.filter_start[i] = starts[i];
  return true;
}

struct MemoryOption {
  const char* name;
  long long low, high;
  void (*set)(Memory&, long long);
};

const MemoryOption kMemoryOptions[] = {
    {"year", 0, 255, [](Memory& m, long long v) { m.year = static_cast<std::uint8_t>(v); }},
    {"instrument-no", 0, 65535, [](Memory& m, long long v) { m.instrument_no = static_cast<std::uint16_t>(v); }},
    {"grating", 0, 255, [](Memory& m, long long v) { m.grating = static_cast<std::uint8_t>(v); }},
    {"zero", 0, 65535, [](Memory& m, long long v) { m.zero_offset = static_cast<std::uint16_t>(v); }},
    {"blaze", 0, 65535, [](Memory& m, long long v) { m.blaze = static_cast<std::uint16_t>(v); }},
    {"power-on", 0, 0xFFFFFFFFLL, [](Memory& m, long long v) { m.power_on = static_cast<std::uint32_t>(v); }},
    {"type", 0, 255, [](Memory& m, long long v) { m.type = static_cast<std::uint8_t>(v); }},
    {"speed", 1, 250, [](Memory& m, long long v) { m.speed = static_cast<std::uint8_t>(v); }},
    {"filter-state", 0, 255, [](Memory& m, long long v) { m.filter_state = static_cast<std::uint8_t>(v); }},
    // Value A in sign and magnitude, as the wire carries it.
    {"filter-a", -32767, 32767,
     [](Memory& m, long long v) { m.filter_a = static_cast<std::uint16_t>(v < 0 ? 32768 - v : v); }},
    {"filter-b", 0, 65535, [](Memory& m, long long v) { m.filter_b = static_cast<std::uint16_t>(v); }},
};

}  // namespace

bool is_memory_option(const std::string& name) {
  if (name == "filters" || name == "power-on-nm") return true;
  for (const MemoryOption& option : kMemoryOptions)
    if (name == option.name) return true;
  return false;
}

bool apply_memory(Memory& memory, const std::string& name, const std::string& value, std::string& error) {
  error.clear();
  if (name == "filters") {
    if (!set_filters(memory, value)) error = "--filters wants up to six wavelengths in nm, e.g. 350,650,800";
  } else if (name == "power-on-nm") {
    double nm = 0;
    long long steps = 0;
    if (!real(value, 0.0, 1e6, nm) || !steps_of(memory, nm, 1.0, steps) || steps > 0xFFFFFFFFLL)
      error = "--power-on-nm wants a wavelength in nm (after --grating)";
    else
      memory.power_on = static_cast<std::uint32_t>(steps);
  } else {
    for (const MemoryOption& option : kMemoryOptions) {
      if (name != option.name) continue;
      long long v = 0;
      if (!whole(value, option.low, option.high, v)) {
        error = "--" + name + " wants a whole number from " + std::to_string(option.low) + " to " +
                std::to_string(option.high);
        return false;
      }
      option.set(memory, v);
      return true;
    }
    error = "unknown memory option --" + name;
  }
  return error.empty();
}

bool apply_fault(Faults& faults, const std::string& fault_text, std::string& error) {
  error.clear();
  const std::size_t equals = fault_text.find('=');
  const std::string name = fault_text.substr(0, equals);
  const bool has_value = equals != std::string::npos;
  const std::string value = has_value ? fault_text.substr(equals + 1) : std::string();
  long long n = 0;
  double x = 0;
  if (name == "silent" && !has_value) faults.silent = true;
  else if (name == "silent-after" && whole(value, 0, 1000000000, n)) faults.silent_after = static_cast<int>(n);
  else if (name == "wrong-letter" && !has_value) faults.wrong_letter = true;
  else if (name == "wrong-letter" && !value.empty()) faults.wrong_letter_only = value;
  else if (name == "garble" && real(value, 0.0, 1.0, x)) faults.garble_rate = x;
  else if (name == "drop" && real(value, 0.0, 1.0, x)) faults.drop_rate = x;
  else if (name == "stall" && !has_value) faults.stall = true;
  else if (name == "stall-after" && whole(value, 0, 1000000000, n)) faults.stall_after = static_cast<int>(n);
  else if (name == "stall-in" && real(value, 0.001, 3600.0, x)) faults.stall_in = x;
  else if (name == "creep" && !has_value) faults.creep = true;
  else if (name == "no-ack" && !has_value) faults.no_ack = true;
  else if (name == "vanish" && !has_value) faults.vanish_mid_move = true;
  else if (name == "vanish-after" && whole(value, 0, 1000000000, n)) faults.vanish_after = static_cast<int>(n);
  else if (name == "slow" && real(value, 0.0, 3600.0, x)) faults.reply_delay = x;
  else if (name == "jitter" && real(value, 0.0, 3600.0, x)) faults.jitter = x;
  else if (name == "split" && real(value, 0.0, 3600.0, x)) faults.split_gap = x;
  else if (name == "duplicate" && real(value, 0.0, 1.0, x)) faults.duplicate_rate = x;
  else if (name == "reorder" && real(value, 0.0, 1.0, x)) faults.reorder_rate = x;
  else if (name == "garble-host" && real(value, 0.0, 1.0, x)) faults.host_garble_rate = x;
  else if (name == "unsolicited" && real(value, 0.001, 3600.0, x)) faults.unsolicited_every = x;
  else if (name == "flood" && !has_value) faults.flood = true;
  else if (name == "seed" && whole(value, 0, 0xFFFFFFFFLL, n)) faults.seed = static_cast<unsigned>(n);
  else error = "unknown fault or bad value: " + fault_text;
  return error.empty();
}

const char* options_usage() {
  return "memory:  --year N --instrument-no N --grating CODE --zero STEPS --blaze NM\n"
         "         --power-on STEPS | --power-on-nm NM --type N --speed 1..250\n"
         "         --filter-state 0|1|2 --filter-a N --filter-b N --filters NM,NM,...\n"
         "faults:  --fault silent | silent-after=N | wrong-letter[=LETTERS] | garble=P\n"
         "         | drop=P | split=SECONDS | duplicate=P | reorder=P | slow=SECONDS\n"
         "         | jitter=SECONDS | stall | stall-after=N | stall-in=SECONDS | creep\n"
         "         | no-ack | vanish | vanish-after=N | garble-host=P | unsolicited=SECONDS\n"
         "         | flood | seed=N\n";
}

}  // namespace brivel::sim
