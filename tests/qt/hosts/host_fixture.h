#pragma once
// Hosts of the installed interface: only <Brivel.h> and the shared library, as a host application;
// brivel-sim runs as its own program on a pty.

#include <gtest/gtest.h>

#include <Brivel.h>

#include <QProcess>
#include <QString>
#include <QStringList>

inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

namespace host_tests {

// brivel-sim, started for one test and stopped at its end.
class SimulatedInstrument {
 public:
  SimulatedInstrument() {
    // Ten times the default motor rate: moves take a fraction of a second.
    process_.start(QStringLiteral(BRIVEL_SIM_PROGRAM), {"--rate", "400"});
    if (!process_.waitForStarted(10000) || !process_.waitForReadyRead(10000)) return;
    device_ = QString::fromLocal8Bit(process_.readLine()).trimmed();
  }
  ~SimulatedInstrument() {
    process_.terminate();
    if (!process_.waitForFinished(5000)) process_.kill();
    process_.waitForFinished(5000);
  }
  // The pseudo-terminal's path; empty when the simulator did not start.
  const QString& device() const { return device_; }

 private:
  QProcess process_;
  QString device_;
};

// Runs `program` offscreen, port 1 at `device` if given: the exit code (-1: over two minutes), stdout.
struct ProgramRun {
  int exit_code = -1;
  QString out, err;
};
inline ProgramRun run_program(const QString& program, const QStringList& arguments,
                       const QString& device = QString()) {
  QProcess p;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("QT_QPA_PLATFORM", "offscreen");
  if (!device.isEmpty()) env.insert("BRIVEL_COM1", device);
  p.setProcessEnvironment(env);
  p.start(program, arguments);
  ProgramRun run;
  if (!p.waitForFinished(120000)) {
    p.kill();
    p.waitForFinished(5000);
    return run;
  }
  run.exit_code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
  run.out = QString::fromLocal8Bit(p.readAllStandardOutput());
  run.err = QString::fromLocal8Bit(p.readAllStandardError());
  return run;
}

}  // namespace host_tests
