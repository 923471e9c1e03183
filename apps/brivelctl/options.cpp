#include "options.h"

#include <cmath>
#include <functional>
#include <map>

#include "commands.h"
#include "platform/failure.h"
#include "sim_options.h"
#include "text/convert.h"

namespace brivel::ctl {

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

struct FlagRow {
  const char* name;
  Flag flag;
  const char* value;    // what the value is called in --help ("" for a switch)
  const char* summary;  // nullptr: hidden from --help and the manual
};

std::string switch_on(bool Options::*member, Options& o) {
  o.*member = true;
  return {};
}

const std::vector<FlagRow>& flags() {
  static const std::vector<FlagRow> kFlags{
      {"--com", {true, set_com}, "N", "the port number, 1 to 16, before the first step"},
      {"--port", {true, [](Options& o, const std::string& v) {
                    o.port = v;
                    return v.empty() ? std::string("--port takes a device") : std::string();
                  }},
       "DEVICE", "open DEVICE for the port number in force"},
      {"--sim", {false, [](Options& o, const std::string&) { return switch_on(&Options::sim, o); }}, "",
       "use the simulated controller, served inside brivelctl"},
      {"--lang", {true, set_language}, "en|zh", "the language of the messages"},
      {"--yes", {false, [](Options& o, const std::string&) { return switch_on(&Options::yes, o); }}, "",
       "answer questions OK; without it, Cancel"},
      {"--answer", {true, [](Options& o, const std::string& v) {
                      o.answers.push_back(v);
                      return std::string();
                    }},
       "TEXT", "the answer to the next input box; repeatable"},
      {"--stop-on-refusal",
       {false, [](Options& o, const std::string&) { return switch_on(&Options::stop_on_refusal, o); }}, "",
       "end the run at the first step refused or not done"},
      {"--trace", {false, [](Options& o, const std::string&) { return switch_on(&Options::trace, o); }}, "",
       "print the serial traffic on standard error"},
      {"--trace-file", {true, [](Options& o, const std::string& v) {
                          o.trace_file = v;
                          return v.empty() ? std::string("--trace-file takes a file") : std::string();
                        }},
       "PATH", "append the serial traffic to PATH"},
      {"--sim-fault", {true, add_sim_fault}, "FAULT", "with --sim: a fault of the simulator; repeatable"},
      {"--sim-memory", {true, add_sim_memory}, "NAME=VALUE", "with --sim: a value of its memory; repeatable"},
      {"--sim-rate", {true, set_sim_rate}, "STEPS", "with --sim: motor steps per second per unit of speed"},
      {"--help", {false, [](Options& o, const std::string&) { return switch_on(&Options::help, o); }}, "",
       "list every step and option"},
      {"-h", {false, [](Options& o, const std::string&) { return switch_on(&Options::help, o); }}, "", nullptr},
      {"--version", {false, [](Options& o, const std::string&) { return switch_on(&Options::version, o); }}, "",
       "print the version"},
      {"--man", {false, [](Options& o, const std::string&) { return switch_on(&Options::man, o); }}, "", nullptr},
      {"--completion",
       {false, [](Options& o, const std::string&) { return switch_on(&Options::completion, o); }}, "", nullptr},
  };
  return kFlags;
}

const FlagRow* flag_row(const std::string& name) {
  for (const FlagRow& row : flags())
    if (name == row.name) return &row;
  return nullptr;
}

bool is_number_word(const std::string& word) {
  try {
    return std::isfinite(text::parse_double(word));
  } catch (const RuntimeFailure&) {
    return false;
  }
}

}  // namespace

std::vector<OptionDoc> option_docs() {
  std::vector<OptionDoc> docs;
  for (const FlagRow& row : flags())
    if (row.summary) docs.push_back({row.name, row.value, row.summary});
  return docs;
}

ParsedCommandLine parse_command_line(const std::vector<std::string>& args) {
  ParsedCommandLine parsed;
  Options& o = parsed.options;
  bool help_step = false;  // `help` came as the first step: the next word is its topic
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& word = args[i];
    if (const FlagRow* row = flag_row(word)) {
      std::string value;
      if (row->flag.takes_value) {
        if (i + 1 >= args.size()) {
          parsed.error = word + " needs a value";
          return parsed;
        }
        value = args[++i];
      }
      parsed.error = row->flag.apply(o, value);
      if (!parsed.error.empty()) return parsed;
      continue;
    }
    if (word.size() > 1 && word[0] == '-' && word[1] == '-') {
      parsed.error = "unknown option " + word;
      return parsed;
    }
    if (help_step) {
      if (!o.help_topic.empty()) {
        parsed.error = "help takes one step";
        return parsed;
      }
      o.help_topic = word;
      continue;
    }
    if (word == "help" && o.steps.empty()) {
      help_step = true;
      o.help = true;
      continue;
    }
    const Command* c = command(word);
    if (!c) {
      parsed.error = "unknown step \"" + word + "\"";
      return parsed;
    }
    const auto min = static_cast<std::size_t>(c->min_words);
    if (i + min >= args.size()) {
      parsed.error = "step " + word + " needs " + std::to_string(min) + (min == 1 ? " word" : " words");
      return parsed;
    }
    // The words it must take, then further numbers up to its most.
    std::size_t taken = min;
    while (taken < static_cast<std::size_t>(c->max_words) && i + taken + 1 < args.size() &&
           is_number_word(args[i + taken + 1]))
      ++taken;
    Step step{word, Words(args.begin() + static_cast<long>(i) + 1,
                          args.begin() + static_cast<long>(i + taken) + 1)};
    o.steps.push_back(std::move(step));
    i += taken;
  }
  if (o.help || o.version || o.man || o.completion) return parsed;
  const bool sim_settings = !o.sim_faults.empty() || !o.sim_memory.empty() || o.sim_rate > 0;
  if (o.sim && !o.port.empty()) parsed.error = "--sim and --port cannot be used together";
  else if (sim_settings && !o.sim) parsed.error = "--sim-fault, --sim-memory and --sim-rate need --sim";
  else if (o.steps.empty()) parsed.error = "no step given";
  return parsed;
}

}  // namespace brivel::ctl
