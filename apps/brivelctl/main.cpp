// brivelctl: the control on the command line. One control, a real serial port (or the
// simulated controller on a pseudo-terminal), message boxes on the console, and steps
// run in order. See docs/brivelctl.md.

#include <QCoreApplication>
#include <sys/ioctl.h>
#include <unistd.h>

#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "brivel_version.h"
#include "commands.h"
#include "console_dialogs.h"
#include "control/controller.h"
#include "options.h"
#include "qt/core/device_port.h"
#include "qt/core/qt_platform.h"
#include "qt/core/serial_log.h"
#include "session.h"
#include "sim_host.h"
#include "stop_signals.h"

using namespace brivel;
using namespace brivel::ctl;

namespace {

int usage_error(const std::string& why) {
  std::cerr << "brivelctl: " << why << '\n' << kUsage << std::endl;
  return static_cast<int>(Exit::Usage);
}

// The real port, opening the device given (--port, --sim) whatever the port number,
// or the port number's own device when none was given.
std::unique_ptr<SerialPort> make_port(const std::string& device) {
  return std::make_unique<qt::DevicePort>(device);
}

int terminal_width() {
  winsize size{};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 0;
}

// --trace and --trace-file: the traffic log of the real port (category brivel.serial).
// Gives an error text when the file cannot be written.
std::string start_traffic_log(const Options& o, Progress*& progress, int& receiver) {
  if (!o.trace_file.empty()) {
    QString why;
    if (!qt::set_serial_log_file(QString::fromStdString(o.trace_file), &why))
      return "--trace-file " + o.trace_file + ": " + why.toStdString();
  }
  if (o.trace) {
    qt::set_serial_logging(true);
    receiver = qt::add_serial_log_receiver([&progress](const QString& line) {
      if (progress) progress->clear();
      std::cerr << line.toStdString() << std::endl;
    });
  }
  return {};
}

int run(const Options& o) {
  Progress* progress = nullptr;  // the session's, while it exists: the trace clears it
  int receiver = 0;
  const std::string log_error = start_traffic_log(o, progress, receiver);
  if (!log_error.empty()) return usage_error(log_error);
  struct StopLog {
    int& receiver;
    ~StopLog() {
      if (receiver) qt::remove_serial_log_receiver(receiver);
      qt::set_serial_log_file({});
    }
  } stop_log{receiver};

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
  // The control, hosted by a Controller on this thread: the verbs start its operations
  // and run the event loop until they end; the other steps call the control directly.
  Controller controller(pump, dialogs, make_port(device));
  Control& control = controller.control();
  SessionSettings settings;
  settings.stop_on_refusal = o.stop_on_refusal;
  settings.progress = isatty(STDERR_FILENO) == 1;
  settings.width = settings.progress ? terminal_width() : 0;
  ctl::Session session(controller, dialogs, std::cout, std::cerr, settings);
  progress = &session.progress();
  struct Forget {
    Progress*& progress;
    ~Forget() {
      catch_stop_signals(nullptr);
      progress = nullptr;
    }
  } forget{progress};

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
  catch_stop_signals(&control);
  return static_cast<int>(session.run(o.steps));
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const std::vector<std::string> args(argv + 1, argv + argc);
  const ParsedCommandLine parsed = parse_command_line(args);
  if (parsed.error.empty() && !parsed.options.help_topic.empty()) {
    if (print_step_help(std::cout, parsed.options.help_topic)) return 0;
    return usage_error("help: no step named \"" + parsed.options.help_topic + "\"");
  }
  if (parsed.options.help) {
    print_help(std::cout);
    return 0;
  }
  if (parsed.options.man) {
    print_man(std::cout);
    return 0;
  }
  if (parsed.options.completion) {
    print_bash_completion(std::cout);
    return 0;
  }
  if (parsed.options.version) {
    std::cout << "brivelctl " << BRIVEL_VERSION << std::endl;
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
