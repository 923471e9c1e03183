#include "options.h"

#include <functional>
#include <map>

#include "session.h"
#include "sim_options.h"

namespace brivel::ctl {

const char* const kUsage =
    "usage: brivelctl [--com N] [--port DEVICE] [--sim] [--lang en|zh] [--yes] "
    "[--answer TEXT] [--stop-on-refusal] [--trace] [--trace-file PATH] STEP...\n"
    "       (with --sim also [--sim-fault FAULT] [--sim-memory NAME=VALUE] [--sim-rate STEPS])\n"
    "       brivelctl ports    lists the serial ports and the devices of port numbers 1 to 16\n"
    "       brivelctl --help | --version";

namespace {

using Words = std::vector<std::string>;

struct Flag {
  bool takes_value;
  // Gives an error text, empty when the value is usable.
  std::function<std::string(Options&, const std::string&)> apply;
};

std::string set_com(Options& o, const std::string& value) {
  try {
    std::size_t used = 0;
    const int n = std::stoi(value, &used);
    if (used == value.size() && n >= 1 && n <= 16) {
      o.com = n;
      return {};
    }
  } catch (const std::exception&) {
  }
  return "--com takes a port number from 1 to 16, not \"" + value + "\"";
}

std::string set_language(Options& o, const std::string& value) {
  static const std::map<std::string, int> kLanguages{{"en", 1}, {"zh", 0}};
  const auto found = kLanguages.find(value);
  if (found == kLanguages.end()) return "--lang takes en or zh, not \"" + value + "\"";
  o.language = found->second;
  return {};
}

std::string add_sim_fault(Options& o, const std::string& fault) {
  sim::Faults scratch;
  std::string why;
  if (!sim::apply_fault(scratch, fault, why)) return "--sim-fault " + fault + ": " + why;
  o.sim_faults.push_back(fault);
  return {};
}

std::string add_sim_memory(Options& o, const std::string& setting) {
  const std::size_t equals = setting.find('=');
  if (equals == std::string::npos) return "--sim-memory takes NAME=VALUE, not \"" + setting + "\"";
  const std::string name = setting.substr(0, equals);
  const std::string value = setting.substr(equals + 1);
  sim::Memory scratch = sim::factory_memory();
  std::string why;
  if (!sim::apply_memory(scratch, name, value, why)) return "--sim-memory " + setting + ": " + why;
  o.sim_memory.emplace_back(name, value);
  return {};
}

std::string set_sim_rate(Options& o, const std::string& value) {
  try {
    std::size_t used = 0;
    const double rate = std::stod(value, &used);
    if (used == value.size() && rate > 0 && rate <= 1e6) {
      o.sim_rate = rate;
      return {};
    }
  } catch (const std::exception&) {
  }
  return "--sim-rate takes a positive number of steps, not \"" + value + "\"";
}

const std::map<std::string, Flag>& flags() {
  static const std::map<std::string, Flag> kFlags{
      {"--com", {true, set_com}},
      {"--port", {true, [](Options& o, const std::string& v) {
                    o.port = v;
                    return v.empty() ? std::string("--port takes a device") : std::string();
                  }}},
      {"--sim", {false, [](Options& o, const std::string&) { o.sim = true; return std::string(); }}},
      {"--lang", {true, set_language}},
      {"--yes", {false, [](Options& o, const std::string&) { o.yes = true; return std::string(); }}},
      {"--answer", {true, [](Options& o, const std::string& v) {
                      o.answers.push_back(v);
                      return std::string();
                    }}},
      {"--trace", {false, [](Options& o, const std::string&) { o.trace = true; return std::string(); }}},
      {"--trace-file", {true, [](Options& o, const std::string& v) {
                          o.trace_file = v;
                          return v.empty() ? std::string("--trace-file takes a file") : std::string();
                        }}},
      {"--stop-on-refusal",
       {false, [](Options& o, const std::string&) { o.stop_on_refusal = true; return std::string(); }}},
      {"--version", {false, [](Options& o, const std::string&) { o.version = true; return std::string(); }}},
      {"--sim-fault", {true, add_sim_fault}},
      {"--sim-memory", {true, add_sim_memory}},
      {"--sim-rate", {true, set_sim_rate}},
      {"--help", {false, [](Options& o, const std::string&) { o.help = true; return std::string(); }}},
      {"-h", {false, [](Options& o, const std::string&) { o.help = true; return std::string(); }}},
  };
  return kFlags;
}

}  // namespace

ParsedCommandLine parse_command_line(const std::vector<std::string>& args) {
  ParsedCommandLine parsed;
  Options& o = parsed.options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& word = args[i];
    const auto flag = flags().find(word);
    if (flag != flags().end()) {
      std::string value;
      if (flag->second.takes_value) {
        if (i + 1 >= args.size()) {
          parsed.error = word + " needs a value";
          return parsed;
        }
        value = args[++i];
      }
      parsed.error = flag->second.apply(o, value);
      if (!parsed.error.empty()) return parsed;
      continue;
    }
    if (word.size() > 1 && word[0] == '-' && word[1] == '-') {
      parsed.error = "unknown option " + word;
      return parsed;
    }
    const int arity = Session::arity(word);
    if (arity < 0) {
      parsed.error = "unknown step \"" + word + "\"";
      return parsed;
    }
    if (i + static_cast<std::size_t>(arity) >= args.size()) {
      parsed.error = "step " + word + " needs " + std::to_string(arity) +
                     (arity == 1 ? " word" : " words");
      return parsed;
    }
    Step step{word, Words(args.begin() + static_cast<long>(i) + 1,
                          args.begin() + static_cast<long>(i) + 1 + arity)};
    o.steps.push_back(std::move(step));
    i += static_cast<std::size_t>(arity);
  }
  if (o.help || o.version) return parsed;
  const bool sim_settings = !o.sim_faults.empty() || !o.sim_memory.empty() || o.sim_rate > 0;
  if (o.sim && !o.port.empty()) parsed.error = "--sim and --port cannot be used together";
  else if (sim_settings && !o.sim) parsed.error = "--sim-fault, --sim-memory and --sim-rate need --sim";
  else if (o.steps.empty()) parsed.error = "no step given";
  return parsed;
}

}  // namespace brivel::ctl
