// brivel-sim: the simulated controller on a pseudo-terminal.
//
//   brivel-sim [--link PATH] [--trace] [--fault NAME]... [memory options]
//   brivel-sim --version
//   brivel-sim --man        (hidden: the manual page in roff, which the build installs)
//
// The first line on stdout is the device path (flushed at once), so a script can read
// it and point a program at it (e.g. BRIVEL_COM1=/dev/pts/4). SIGINT and SIGTERM end
// the program cleanly and remove the link. Exit status: 0 stopped or vanished,
// 1 could not start, 2 bad options.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "brivel_version.h"
#include "man_page.h"
#include "pty_server.h"
#include "sim_options.h"

namespace {

brivel::sim::PtyServer* g_server = nullptr;

extern "C" void on_signal(int) {
  if (g_server) g_server->stop();
}

void usage(std::FILE* to) {
  std::fprintf(to,
               "usage: brivel-sim [--link PATH] [--trace] [--fault NAME]... [--rate STEPS]\n"
               "                  [memory options]\n"
               "Serves the simulated monochromator controller on a pseudo-terminal and\n"
               "prints the device path on the first line of stdout.\n"
               "  --link PATH   make a symbolic link PATH to the device (removed on exit)\n"
               "  --trace       log every byte both ways, in hex with times, to stderr\n"
               "  --rate STEPS  motor steps per second per unit of speed (default 40)\n"
               "  --version     print the version and exit\n"
               "%s",
               brivel::sim::options_usage());
}

// The manual page: the options of usage() with what each does.
void man_page(std::ostream& out) {
  brivel::man::Page page(out, "brivel-sim", BRIVEL_VERSION, "the simulated monochromator controller on a pseudo-terminal");
  page.section("SYNOPSIS");
  page.synopsis("brivel-sim [--link PATH] [--trace] [--fault NAME]... [--rate STEPS] [memory options]");
  page.synopsis("brivel-sim --help | --version");
  page.section("DESCRIPTION");
  page.paragraph("brivel-sim serves a model of the monochromator's motion controller on a pseudo-terminal, in "
                 "real time, as an instrument on a serial line would answer: its memory, its motor, its replies "
                 "and, on request, its faults. The first line on standard output is the device path (for example "
                 "/dev/pts/4), written at once. Point the control at it with `BRIVEL_COM1=/dev/pts/4` (port 1) or "
                 "`brivelctl --port /dev/pts/4`. SIGINT and SIGTERM end the program cleanly.");
  page.section("OPTIONS");
  page.item("--link PATH", "make a symbolic link PATH to the device, removed on exit (an existing link there is "
                           "replaced; any other file is an error)");
  page.item("--trace", "log every byte both ways in hex, with the seconds since the start, to standard error: "
                       "`>` host to controller, `<` controller to host, `=` a command as the model reads it, "
                       "`-` hang-up, reopen, vanish");
  page.item("--rate STEPS", "motor steps per second per unit of speed (default 40: speed 250 turns 10000 steps a "
                            "second); a large rate makes moves quick");
  page.item("--fault NAME", "a fault of the controller (below); repeatable");
  page.item("--help", "print the usage and exit");
  page.item("--version", "print the version and exit");
  page.subsection("Memory");
  page.paragraph("What the controller holds at start; every setting command changes it, and it survives a close "
                 "and reopen of the port. The factory memory: year 21, instrument number 12345, grating code 1 "
                 "(0.00625 nm per step), zero offset 1000 steps, blaze 500 nm, power-on position 80000 steps "
                 "(500 nm), type 6, speed 250, filter wheel on with 3 filters at 350, 650 and 800 nm.");
  page.item("--year N", "manufacture year (two digits)");
  page.item("--instrument-no N", "instrument number, 0 to 65535");
  page.item("--grating CODE", "grating code (1 to 5, 17 to 20 are known to the control)");
  page.item("--zero STEPS", "zero offset in motor steps");
  page.item("--blaze NM", "blaze wavelength");
  page.item("--power-on STEPS", "power-on position in motor steps");
  page.item("--power-on-nm NM", "power-on position as a wavelength, at the grating given before it");
  page.item("--type N", "instrument type code");
  page.item("--speed N", "motor speed, 1 to 250");
  page.item("--filter-state N", "filter wheel: 0 off, 1 on, another value not set up");
  page.item("--filter-a N", "filter wheel value A (kept and written back by the control)");
  page.item("--filter-b N", "filter wheel value B");
  page.item("--filters NM,NM,...", "filter start wavelengths, at the grating given before them");
  page.subsection("Faults");
  page.paragraph("Every random choice comes from one generator seeded by `seed=N` (default 1), so a run repeats "
                 "exactly. Counts (after N) count every command since the start, each filter packet included.");
  page.item("silent", "nothing is ever sent; commands are still obeyed");
  page.item("silent-after=N", "the first N commands are answered, then nothing");
  page.item("wrong-letter[=LETTERS]", "answers to questions (or to those listed) begin with the letter in upper case");
  page.item("garble=P", "each reply byte is flipped with probability P");
  page.item("drop=P", "each reply byte is lost with probability P");
  page.item("split=SECONDS", "every reply of two bytes or more comes in two halves, SECONDS apart");
  page.item("duplicate=P", "each reply is sent twice with probability P");
  page.item("reorder=P", "a reply is held back and sent after the next one with probability P");
  page.item("slow=SECONDS", "every reply comes SECONDS later");
  page.item("jitter=SECONDS", "every reply comes a random 0 to SECONDS later, in order");
  page.item("stall", "motions do not turn the motor; a reposition never finishes");
  page.item("stall-after=N", "from command N + 1 on the motor stands still");
  page.item("stall-in=SECONDS", "every motion stops SECONDS after it began and stays under way");
  page.item("creep", "motions never arrive: the motor hunts a few steps short of its target");
  page.item("no-ack", "settings are stored but never acknowledged");
  page.item("vanish", "the first motion makes the device vanish halfway (as an unplugged adapter); brivel-sim "
                      "then exits");
  page.item("vanish-after=N", "the device vanishes when command N + 1 arrives");
  page.item("garble-host=P", "each byte from the host is flipped with probability P before the controller reads it");
  page.item("unsolicited=SECONDS", "a stray packet of random bytes every SECONDS");
  page.item("flood", "random bytes without pause at the line's full rate");
  page.item("seed=N", "the seed of the random choices");
  page.section("EXIT STATUS");
  page.paragraph("0 after SIGINT, SIGTERM or a vanish; 1 when no pseudo-terminal can be made; 2 for options it "
                 "cannot use.");
  page.section("EXAMPLES");
  page.example({"brivel-sim --link /tmp/mono --instrument-no 4711 --grating 4 --filters 400,700 &",
                "BRIVEL_COM1=/tmp/mono brivelctl open info"});
  page.section("SEE ALSO");
  page.paragraph("brivelctl(1)");
}

struct Settings {
  brivel::sim::Memory memory = brivel::sim::factory_memory();
  brivel::sim::Faults faults;
  brivel::sim::PtyOptions pty;
  double rate = 0.0;  // 0: the model's default
};

// Parses the command line; false (after a message) on a bad option.
bool parse(int argc, char** argv, Settings& settings) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      usage(stdout);
      std::exit(0);
    }
    if (arg == "--man") {
      man_page(std::cout);
      std::exit(0);
    }
    if (arg == "--version") {
      std::printf("brivel-sim %s\n", BRIVEL_VERSION);
      std::exit(0);
    }
    if (arg == "--trace") {
      settings.pty.trace = true;
      continue;
    }
    if (arg.rfind("--", 0) != 0 || i + 1 >= argc) {
      std::fprintf(stderr, "brivel-sim: %s: unknown option or missing value\n", arg.c_str());
      return false;
    }
    const std::string name = arg.substr(2);
    const std::string value = argv[++i];
    std::string error;
    if (name == "link") {
      settings.pty.link = value;
    } else if (name == "fault") {
      brivel::sim::apply_fault(settings.faults, value, error);
    } else if (name == "rate") {
      char* end = nullptr;
      settings.rate = std::strtod(value.c_str(), &end);
      if (*end != '\0' || !(settings.rate > 0.0)) error = "--rate wants a positive number";
    } else if (brivel::sim::is_memory_option(name)) {
      brivel::sim::apply_memory(settings.memory, name, value, error);
    } else {
      error = "unknown option " + arg;
    }
    if (!error.empty()) {
      std::fprintf(stderr, "brivel-sim: %s\n", error.c_str());
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  if (!parse(argc, argv, settings)) {
    usage(stderr);
    return 2;
  }
  brivel::sim::PtyServer server(settings.memory, settings.faults, settings.pty);
  if (settings.rate > 0.0)
    server.with_controller([&](brivel::sim::Controller& c) { c.motor().steps_per_speed = settings.rate; });

  std::string error;
  if (!server.start(error)) {
    std::fprintf(stderr, "brivel-sim: %s\n", error.c_str());
    return 1;
  }
  g_server = &server;
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  std::printf("%s\n", server.device().c_str());
  std::fflush(stdout);

  const auto end = server.run();
  g_server = nullptr;
  if (end == brivel::sim::PtyServer::End::Vanished) std::fprintf(stderr, "brivel-sim: the device vanished\n");
  return end == brivel::sim::PtyServer::End::Failed ? 1 : 0;
}
