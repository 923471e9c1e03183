// brivelctl: the control on the command line. One control, a real serial port (or the
// simulated controller on a pseudo-terminal), message boxes on the console, and steps
// run in order. See docs/brivelctl.md.

#include <QCoreApplication>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "console_dialogs.h"
#include "control/brivel.h"
#include "options.h"
#include "ports.h"
#include "qt/core/qt_platform.h"
#include "session.h"
#include "sim_host.h"

using namespace brivel;
using namespace brivel::ctl;

namespace {

int usage_error(const std::string& why) {
  std::cerr << "brivelctl: " << why << '\n' << kUsage << std::endl;
  return static_cast<int>(Exit::Usage);
}

// The real port, pinned to a device when one was given, traced when asked for.
std::unique_ptr<SerialPort> make_port(const Options& o, const std::string& device) {
  std::unique_ptr<SerialPort> port = std::make_unique<qt::QtSerialPort>();
  if (!device.empty())
    port = std::make_unique<PinnedDevicePort>(std::move(port), QString::fromStdString(device));
  if (o.trace) port = std::make_unique<TracingPort>(std::move(port), std::cerr);
  return port;
}

int run(const Options& o) {
  SimHost sim;  // outlives the control, so that the port closes before the pty does
  std::string device = o.port;
  if (o.sim) {
    try {
      device = sim.start(o);
    } catch (const std::exception& failure) {
      std::cerr << "brivelctl: --sim: " << failure.what() << std::endl;
      return static_cast<int>(Exit::Failure);
    }
  }

  qt::QtEventPump pump;
  ConsoleDialogs dialogs(std::cerr, o.yes, o.answers);
  Brivel control(pump, dialogs, make_port(o, device));
  Session session(control, std::cout, std::cerr);

  for (const Step& step : o.steps) {
    const std::string why = session.check(step);
    if (!why.empty()) return usage_error(why);
  }
  if (o.com) {
    std::int16_t com = static_cast<std::int16_t>(o.com);
    control.setIntUseCom(com);
  }
  if (o.language >= 0) {
    std::int16_t language = static_cast<std::int16_t>(o.language);
    control.setIntLanguage(language);
  }
  return static_cast<int>(session.run(o.steps));
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const std::vector<std::string> args(argv + 1, argv + argc);
  const ParsedCommandLine parsed = parse_command_line(args);
  if (parsed.options.help) {
    std::cout << kUsage << std::endl;
    return 0;
  }
  if (!parsed.error.empty()) return usage_error(parsed.error);
  try {
    return run(parsed.options);
  } catch (const std::exception& failure) {
    // Creating the control or setting a property failed: nothing of it may escape.
    std::cerr << "brivelctl: " << failure.what() << std::endl;
    return static_cast<int>(Exit::Failure);
  }
}
