// brivel-sim: the simulated controller on a pseudo-terminal.
//
//   brivel-sim [--link PATH] [--trace] [--fault NAME]... [memory options]
//   brivel-sim --version
//
// The first line on stdout is the device path (flushed at once), so a script can read
// it and point a program at it (e.g. BRIVEL_COM1=/dev/pts/4). SIGINT and SIGTERM end
// the program cleanly and remove the link. Exit status: 0 stopped or vanished,
// 1 could not start, 2 bad options.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "brivel_version.h"
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
