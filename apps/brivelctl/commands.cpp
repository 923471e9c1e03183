#include "commands.h"

#include <algorithm>
#include <iomanip>
#include <sstream>

#include "brivel_version.h"
#include "control/interface.h"
#include "man_page.h"
#include "options.h"
#include "session.h"

namespace brivel::ctl {

const char* const kUsage =
    "usage: brivelctl [OPTION]... STEP...\n"
    "       brivelctl ports           which device each port number 1 to 16 opens\n"
    "       brivelctl help [STEP]     every step and option, or one step in full\n"
    "       brivelctl --help | --version";

namespace {

// "A, B and C": names of the interface's tables in prose.
std::string listed(const std::vector<std::string>& names, const char* last_joint) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i)
    text += (i == 0 ? "" : i + 1 == names.size() ? std::string(" ") + last_joint + ' ' : std::string(", ")) + names[i];
  return text;
}

std::vector<std::string> properties(bool readings) {
  std::vector<std::string> names;
  for (const interface::Property& p : interface::kProperties)
    if (p.reading == readings) names.emplace_back(p.name);
  return names;
}

std::vector<std::string> press_only() {
  std::vector<std::string> names;
  for (const std::string& name : Session::names("click"))
    if (!interface::takes(name, interface::EventKind::Click)) names.push_back(name);
  return names;
}

// The texts that name properties and controls, from the interface's tables.
const std::string kInfoDetail =
    "Prints " + listed(Session::names("get"), "and") +
    ", one Name=value line each. Needs a connection: before `open` it fails with \"not connected: open "
    "first\" (status 1).";
std::string reading_list() {
  std::string all;
  for (const std::string& name : properties(true)) all += (all.empty() ? "" : ", ") + name;
  return all;
}
const std::string kGetDetail =
    listed(properties(false), "and") + " can always be read; the instrument's values (" + reading_list() +
    ") need a connection and fail with \"not connected: open first\" (status 1) without one.";
const std::string kSetSummary = "assign " + listed(Session::names("set"), "or");
const std::string kClickDetail =
    listed(Session::names("click"), "or") +
    ". A check box toggles its value first, as a real click does; " + listed(press_only(), "and") +
    " takes a left press. Questions are answered with --yes; a question answered Cancel ends the click as "
    "the operator chose (status 0).";
const std::string kKeySummary = "send a key to " + listed(Session::names("key"), "or") + " (13 Enter, 27 Esc)";
const std::string kMouseDetail =
    listed(Session::names("mouse"), "or") +
    "; BUTTON: 1 left, 2 right (a right press on the lamp asks for the port number).";
const std::string kHoldSummary = "hold " + listed(Session::names("hold"), "or") + " down for SECONDS";

const std::vector<Command> kCommands = {
    // ---- verbs ----------------------------------------------------------------------
    {"open", "", 0, 0, Group::Verb, "connect to the instrument and identify it",
     "Opens the port of the port number in force (--com, --port, --sim), asks the controller for the "
     "instrument's data and reads the filter wheel back. When the instrument is not connected afterwards "
     "the run ends with status 3; the line before the operator's message says why."},
    {"close", "", 0, 0, Group::Verb, "close the port", "Closes the port; the control shows not connected."},
    {"info", "", 0, 0, Group::Verb, "print the twelve properties as Name=value lines", kInfoDetail.c_str()},
    {"move", "NM", 1, 1, Group::Verb, "move the grating to NM nanometres",
     "Moves to NM and returns when the grating is there; a terminal shows the progress. A target below 0 "
     "is refused (status 4). Without a connection it fails with \"not connected: open first\" (status 1)."},
    {"step", "+NM|-NM", 1, 1, Group::Verb, "move by NM nanometres, up (+) or down (-)",
     "Moves by the distance given, as the increment buttons do (a bare number moves up). The distance "
     "is a whole number of motor steps: one that rounds to 0 steps moves nothing."},
    {"jog", "up|down SECONDS", 2, 2, Group::Verb, "turn the grating up or down for SECONDS",
     "As holding a jog button for SECONDS: the motor turns, stops when the time is up and the position "
     "is read once more."},
    {"stop", "", 0, 0, Group::Verb, "stop the motor, as the stop button does",
     "Stops a motion that runs (in a script: one started by a `later` step meanwhile); while nothing "
     "runs it sends nothing. `later SECONDS stop` stops the next step after SECONDS."},
    {"speed", "N", 1, 1, Group::Verb, "set the motor speed, 1 to 250, and read it back",
     "Sends the speed and reads back the one the controller reports, which IntSpeed then holds."},
    {"power-on", "NM", 1, 1, Group::Verb, "set the wavelength it goes to when switched on",
     "0 to 6553.5 nm. Asks first (\"Will the initial wavelength be changed to ...\"): without --yes the "
     "answer is no, nothing is sent and the step counts as not done (status 4)."},
    {"reposition", "", 0, 0, Group::Verb, "send the grating back to its reference position",
     "The reposition button: asks first (\"Do you really want to reposition?\"); with --yes the grating "
     "returns to its reference, the controller resets and the instrument's data is read again. "
     "Without --yes the answer is no and the step counts as not done (status 4)."},
    {"refresh", "", 0, 0, Group::Verb, "read the instrument's data again", "The refresh button."},
    {"wheel", "on|off", 1, 1, Group::Verb, "switch the filter wheel on or off",
     "Does nothing when the wheel already is so; otherwise asks first (\"Enable the filter wheel?\" or "
     "\"Disable ...\") and, with --yes, switches it and reads the wheel back. Without --yes the step "
     "counts as not done (status 4). Refused when the wheel is not set up."},
    {"filters", "NM...", 1, 6, Group::Verb, "write the filter table: each filter's start wavelength",
     "One to six start wavelengths in nm (0 to 50000), in the wheel's order; the count is the number "
     "given. Asks first (\"Are you sure to change the parameters?\"): without --yes nothing is written "
     "and the step counts as not done (status 4)."},
    {"save", "FILE", 1, 1, Group::Verb, "save the instrument's parameters to FILE",
     "Writes the two-line parameter file (a failed save leaves an existing FILE as it was)."},
    {"load", "FILE", 1, 1, Group::Verb, "check FILE, then download it into the instrument",
     "FILE must be a parameter file as `save` writes it: two lines of tab-separated numbers, 7 fields on "
     "line 1, the filter wheel on line 2. Anything else is refused before anything is sent, naming the "
     "line and field (status 4). The download then writes every value, the instrument resets and is "
     "connected again."},
    {"scan", "START STOP STEP", 3, 3, Group::Verb, "move from START to STOP by STEP, one line per point",
     "Moves to START, START + STEP, ... up to STOP and prints each wavelength reached on a line of its "
     "own (a negative STEP scans downwards). A point that cannot be reached ends the scan."},
    {"watch", "", 0, 0, Group::Verb, "print the wavelength and state as they change",
     "Prints one line at the start and one whenever the wavelength or the state changes (busy, connected, "
     "speed, filter wheel). Ctrl-C ends the watch and the steps after it run; SIGTERM and a port that goes "
     "away end the run as they always do."},
    // ---- properties ------------------------------------------------------------------
    {"get", "NAME", 1, 1, Group::Property, "print one property", kGetDetail.c_str()},
    {"set", "NAME VALUE", 2, 2, Group::Property, kSetSummary.c_str(),
     "As a host assigns the property: the control's own rules apply (an IntUseCom outside 1 to 16 is "
     "ignored, IntSpeed is limited to 1 to 250 and ignored without a connection)."},
    // ---- the panels' controls -------------------------------------------------------------
    {"click", "NAME", 1, 1, Group::Panel, "click a button, combo box, check box or the lamp",
     kClickDetail.c_str()},
    {"type", "NAME TEXT", 2, 2, Group::Panel, "set the text of a text or combo box",
     "An indexed control is named with its index: 'TxtFilterStartWavelen(2)'."},
    {"key", "NAME CODE", 2, 2, Group::Panel, kKeySummary.c_str(), ""},
    {"mouse", "NAME BUTTON", 2, 2, Group::Panel, "press and release a mouse button on a control",
     kMouseDetail.c_str()},
    {"hold", "NAME SECONDS", 2, 2, Group::Panel, kHoldSummary.c_str(), ""},
    {"later", "SECONDS NAME", 2, 2, Group::Panel, "click NAME, or stop, after SECONDS, in what runs then",
     "Goes on with the next step at once; the click comes from the event loop while that step runs "
     "(`later 0.5 CmdStop move 5000`). Clicks still due after the last step run before brivelctl exits."},
    {"show", "NAME", 1, 1, Group::Panel, "print the text or caption of a control", ""},
    {"value", "NAME", 1, 1, Group::Panel, "print the check box's value or the lamp's picture",
     "ChkUseFilter: 0 clear, 1 checked, 2 not set up; Image1: 1 red, 2 green."},
    {"para", "", 0, 0, Group::Panel, "show the parameter panel", ""},
    {"run", "", 0, 0, Group::Panel, "show the run panel", ""},
    // ---- other -------------------------------------------------------------------------
    {"wait", "SECONDS", 1, 1, Group::Other, "let the event loop run for SECONDS", ""},
    {"ports", "", 0, 0, Group::Other, "list the serial devices and each port number's device",
     "See PORTS in the manual: BRIVEL_COM<n>, --port, ~/.config/brivel/ports.conf, the adapters in "
     "/dev/serial/by-id, then /dev/ttyS<n-1>."},
};

const char* group_title(Group g) {
  switch (g) {
    case Group::Verb: return "Verbs: the instrument's operations";
    case Group::Property: return "Properties";
    case Group::Panel: return "Panel steps: the operator's controls by name";
    case Group::Other: return "Other steps";
  }
  return "";
}

std::string synopsis(const Command& c) {
  return *c.words ? std::string(c.name) + ' ' + c.words : std::string(c.name);
}

// The words a step's arguments are completed from, as a bash word list ("" for files).
struct Completion {
  const char* step;
  int word;           // 1 for the first word after the step
  std::string values; // "@file": file names
};

std::string joined(const std::vector<std::string>& names) {
  std::string all;
  for (const std::string& n : names) all += (all.empty() ? "" : " ") + n;
  return all;
}

const char* const kExitStatus[][2] = {
    {"0", "every step ran; nothing was refused or failed"},
    {"1", "a run-time failure reached brivelctl from a method, or a reading or verb found no connection "
          "(\"not connected: open first\"); the run ends"},
    {"2", "a command line it cannot use: nothing runs"},
    {"3", "an `open` step ended not connected; the run ends"},
    {"4", "an operation was refused or failed (with a message, or a note such as a lost connection), a file "
          "was refused by `load`, or a verb's question was answered no; the run goes on (with "
          "--stop-on-refusal it ends)"},
    {"130, 143", "SIGINT (Ctrl-C) or SIGTERM stopped the run (the motor is stopped first)"},
};

}  // namespace

const std::vector<Command>& commands() { return kCommands; }

const Command* command(const std::string& name) {
  for (const Command& c : kCommands)
    if (name == c.name) return &c;
  return nullptr;
}

void print_help(std::ostream& out) {
  out << kUsage << "\n\nRuns the Brivel control on the command line: the steps in order, on one control.\n";
  for (Group g : {Group::Verb, Group::Property, Group::Panel, Group::Other}) {
    out << '\n' << group_title(g) << ":\n";
    for (const Command& c : kCommands) {
      if (c.group != g) continue;
      const std::string left = synopsis(c);
      out << "  " << std::left << std::setw(24) << left;
      if (left.size() >= 24) out << "\n  " << std::string(24, ' ');
      out << c.summary << '\n';
    }
  }
  out << "\nOptions (anywhere between the steps):\n";
  for (const OptionDoc& o : option_docs()) {
    const std::string left = std::string(o.flag) + (*o.value ? std::string(" ") + o.value : "");
    out << "  " << std::left << std::setw(24) << left;
    if (left.size() >= 24) out << "\n  " << std::string(24, ' ');
    out << o.summary << '\n';
  }
  out << "\nExit status: 0 ok, 4 refused, failed or not done, 3 open ended not connected,\n"
         "1 failure or not connected, 2 bad command line, 130/143 SIGINT/SIGTERM.\n"
         "`brivelctl help STEP` tells more of one step; `man brivelctl` tells all.\n";
}

bool print_step_help(std::ostream& out, const std::string& name) {
  const Command* c = command(name);
  if (!c) return false;
  out << "brivelctl " << synopsis(*c) << "\n  " << c->summary << '\n';
  if (*c->detail) {
    // The paragraph, wrapped at 78 columns under an indent of two.
    std::istringstream words(c->detail);
    std::string word, line = " ";
    while (words >> word) {
      if (line.size() + 1 + word.size() > 78) {
        out << line << '\n';
        line = " ";
      }
      line += ' ' + word;
    }
    if (line.size() > 1) out << line << '\n';
  }
  return true;
}

void print_man(std::ostream& out) {
  man::Page page(out, "brivelctl", BRIVEL_VERSION, "the Brivel monochromator control on the command line");
  page.section("SYNOPSIS");
  page.synopsis("brivelctl [OPTION]... STEP...");
  page.synopsis("brivelctl ports");
  page.synopsis("brivelctl help [STEP]");
  page.synopsis("brivelctl --help | --version");
  page.section("DESCRIPTION");
  page.paragraph("brivelctl runs the Brivel control on the command line: one control on a real serial port "
                 "(or the simulated controller, with `--sim`), no display. The steps run in order. Message "
                 "boxes print one line each to standard error, `[TITLE] TEXT`; a question is answered OK "
                 "with `--yes` and Cancel without it. What the steps print goes to standard output. What the "
                 "control tells its host besides the boxes prints as `brivelctl: OPERATION: TEXT`.");
  page.paragraph("The verbs are the instrument's operations (move, jog, speed, filter wheel, parameter files). "
                 "The panel steps operate the control's own buttons and fields by their names, as an operator "
                 "would; they are kept for scripts written for them.");
  for (Group g : {Group::Verb, Group::Property, Group::Panel, Group::Other}) {
    page.section(g == Group::Verb ? "VERBS" : g == Group::Property ? "PROPERTIES"
                 : g == Group::Panel ? "PANEL STEPS" : "OTHER STEPS");
    for (const Command& c : kCommands) {
      if (c.group != g) continue;
      std::string text = c.summary;
      text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
      text += '.';
      if (*c.detail) text += std::string(" ") + c.detail;
      page.item(synopsis(c), text);
    }
  }
  page.section("OPTIONS");
  for (const OptionDoc& o : option_docs())
    page.item(std::string(o.flag) + (*o.value ? std::string(" ") + o.value : ""), o.summary);
  page.section("PORTS");
  page.paragraph("Port numbers 1 to 16 map to devices, the first of these that names one: the environment "
                 "variable BRIVEL_COM<n>; `--port`; the line `n = DEVICE` of ~/.config/brivel/ports.conf (or "
                 "/etc/xdg/brivel/ports.conf); the USB serial adapters in /dev/serial/by-id order; "
                 "/dev/ttyS<n-1>. `brivelctl ports` shows which device each number has and why.");
  page.section("EXIT STATUS");
  page.paragraph("The worst outcome of the run: from worst to best 130 and 143, 1, 3, 4, 0.");
  for (const auto& row : kExitStatus) page.item(row[0], row[1]);
  page.section("ENVIRONMENT");
  page.item("BRIVEL_COM1 ... BRIVEL_COM16", "the device of a port number");
  page.item("QT_LOGGING_RULES=brivel.serial.debug=true", "the traffic log, as --trace gives it");
  page.section("FILES");
  page.item("~/.config/brivel/ports.conf", "port numbers and their devices, one `n = DEVICE` a line");
  page.section("EXAMPLES");
  page.example({"brivelctl --sim open info move 546.07 get DblMonoWaveLen",
                "brivelctl --com 2 open scan 400 700 10",
                "brivelctl --yes open wheel on filters 350 650 800",
                "brivelctl open save params.txt",
                "brivelctl --com 2 --yes --stop-on-refusal open load params.txt info"});
  page.section("SEE ALSO");
  page.paragraph("brivel-sim(1)");
}

void print_bash_completion(std::ostream& out) {
  std::vector<std::string> steps, variadic;
  std::ostringstream arity;
  for (const Command& c : kCommands) {
    steps.push_back(c.name);
    arity << " [" << c.name << "]=" << c.min_words;
    if (c.max_words > c.min_words) variadic.push_back(c.name);
  }
  arity << " [help]=1";
  std::vector<std::string> valued, switches;
  for (const OptionDoc& o : option_docs()) (*o.value ? valued : switches).push_back(o.flag);

  const std::string clickable = joined(Session::names("click"));
  const Completion completions[] = {
      {"click", 1, clickable},
      {"later", 2, clickable + " stop"},
      {"get", 1, joined(Session::names("get"))},
      {"set", 1, joined(Session::names("set"))},
      {"hold", 1, joined(Session::names("hold"))},
      {"mouse", 1, joined(Session::names("mouse"))},
      {"key", 1, joined(Session::names("key"))},
      {"jog", 1, "up down"},
      {"wheel", 1, "on off"},
      {"save", 1, "@file"},
      {"load", 1, "@file"},
      {"help", 1, joined(steps)},
  };

  out << "# bash completion for brivelctl, written by `brivelctl --completion` from its step table.\n"
         "_brivelctl() {\n"
         "  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n"
         "  local -A words=(" << arity.str() << " )\n"
         "  local valued=' " << joined(valued) << " '\n"
         "  local variadic=' " << joined(variadic) << " '\n"
         "  case $prev in\n"
         "    --port) COMPREPLY=($(compgen -f -- \"${cur:-/dev/tty}\")); return ;;\n"
         "    --trace-file) COMPREPLY=($(compgen -f -- \"$cur\")); return ;;\n"
         "    --lang) COMPREPLY=($(compgen -W 'en zh' -- \"$cur\")); return ;;\n"
         "    --com) COMPREPLY=($(compgen -W '1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16' -- \"$cur\")); return ;;\n"
         "    --sim-fault) COMPREPLY=($(compgen -W 'silent silent-after= wrong-letter wrong-letter= garble= "
         "drop= split= duplicate= reorder= slow= jitter= stall stall-after= stall-in= creep no-ack vanish "
         "vanish-after= garble-host= unsolicited= flood seed=' -- \"$cur\")); return ;;\n"
         "  esac\n"
         "  [[ $valued == *\" $prev \"* ]] && return\n"
         "  # The step whose words are being typed, and which of its words this is.\n"
         "  local i=1 step='' word=0 w\n"
         "  while (( i < COMP_CWORD )); do\n"
         "    w=${COMP_WORDS[i]}\n"
         "    if [[ $valued == *\" $w \"* ]]; then (( i += 2 )); continue; fi\n"
         "    if [[ $w == -* || -z ${words[$w]+x} ]]; then (( i += 1 )); continue; fi\n"
         "    if (( i + ${words[$w]} >= COMP_CWORD )); then step=$w; word=$(( COMP_CWORD - i )); break; fi\n"
         "    (( i += ${words[$w]} + 1 ))\n"
         "    if [[ $variadic == *\" $w \"* ]]; then\n"
         "      while (( i < COMP_CWORD )) && [[ ${COMP_WORDS[i]} =~ ^[-+]?[0-9.] ]]; do (( i += 1 )); done\n"
         "    fi\n"
         "  done\n"
         "  if [[ -n $step ]]; then\n"
         "    case \"$step $word\" in\n";
  for (const Completion& c : completions) {
    out << "      '" << c.step << ' ' << c.word << "') ";
    if (c.values == "@file") out << "COMPREPLY=($(compgen -f -- \"$cur\"))";
    else out << "COMPREPLY=($(compgen -W '" << c.values << "' -- \"$cur\"))";
    out << " ;;\n";
  }
  out << "    esac\n"
         "    return\n"
         "  fi\n"
         "  COMPREPLY=($(compgen -W '" << joined(steps) << " help " << joined(valued) << ' ' << joined(switches)
      << "' -- \"$cur\"))\n"
         "}\n"
         "complete -F _brivelctl brivelctl\n";
}

}  // namespace brivel::ctl
