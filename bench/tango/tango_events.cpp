// tango_events: what serving the control through Tango costs, beside the same control
// hosted directly in a process. A benchmark that prints figures, not a test.
//
// Each round starts brivel-sim (its own speed: 62.5 nm/s) and runs a 5 s move twice:
//  * direct: the control on its own thread in this process (the Bridge the server uses,
//    without Tango), its position reports delivered to an in-process subscriber;
//  * Tango: brivel-tango with a file database on 127.0.0.1, one subscribed client here,
//    then again with 10 subscribed client processes.
// Figures: change events per second / position reports per second during the move;
// latency from a report's arrival in the control to the subscriber's callback (median,
// p99); server CPU / wall during the move. Goals: >= 0.9, p99 <= 10 ms, <= 0.05.
//
//   tango_events [--rounds N]          (default 1)
//   tango_events --client URL          (one subscribed client; used by the benchmark)

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <netinet/in.h>
#include <unistd.h>

#include <QCoreApplication>
#include <tango.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bridge.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kMoveSeconds = 5.0;
constexpr double kStart = 500.0;
constexpr double kTarget = kStart + 62.5 * kMoveSeconds;  // 62.5 nm/s at speed 250

double wall_now() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  return static_cast<double>(tv.tv_sec) + tv.tv_usec * 1e-6;
}

double seconds(const timeval& tv) { return static_cast<double>(tv.tv_sec) + tv.tv_usec * 1e-6; }

// CPU seconds (user + system) a process has used so far.
double process_cpu(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const auto close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  double utime = 0, stime = 0;
  for (int i = 3; fields >> field; ++i) {
    if (i == 14) utime = std::stod(field);
    if (i == 15) {
      stime = std::stod(field);
      break;
    }
  }
  return (utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

int free_port() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
  close(s);
  return ntohs(address.sin_port);
}

struct Child {
  pid_t pid = -1;
  FILE* out = nullptr;  // its stdout
};

Child spawn(const std::vector<std::string>& argv, bool capture) {
  Child child;
  int pipe_fds[2] = {-1, -1};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (capture) {
    if (pipe(pipe_fds) != 0) return child;
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipe_fds[0]);
  }
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  if (posix_spawn(&child.pid, args[0], &actions, nullptr, args.data(), environ) != 0) child.pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  if (capture) {
    close(pipe_fds[1]);
    child.out = fdopen(pipe_fds[0], "r");
  }
  return child;
}

std::string read_line(Child& child) {
  char line[512] = {0};
  if (!child.out || !std::fgets(line, sizeof line, child.out)) return {};
  std::string text(line);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

void end(Child& child) {
  if (child.pid > 0) {
    kill(child.pid, SIGTERM);
    int status = 0;
    for (int i = 0; i < 200 && waitpid(child.pid, &status, WNOHANG) == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (waitpid(child.pid, &status, WNOHANG) == 0) {
      kill(child.pid, SIGKILL);
      waitpid(child.pid, &status, 0);
    }
  }
  if (child.out) std::fclose(child.out);
  child = Child{};
}

struct Latencies {
  std::mutex mutex;
  std::vector<double> values;  // seconds
  void add(double v) {
    std::lock_guard<std::mutex> lock(mutex);
    values.push_back(v);
  }
  double quantile(double q) {
    std::lock_guard<std::mutex> lock(mutex);
    if (values.empty()) return 0;
    std::vector<double> sorted = values;
    std::sort(sorted.begin(), sorted.end());
    return sorted[std::min(sorted.size() - 1, static_cast<std::size_t>(q * (sorted.size() - 1) + 0.5))];
  }
  std::size_t size() {
    std::lock_guard<std::mutex> lock(mutex);
    return values.size();
  }
};

struct Figures {
  double ratio = 0, median_ms = 0, p99_ms = 0, cpu = 0, cpu10 = 0;
  std::uint64_t events = 0, reports = 0;
};

// ---- direct ----------------------------------------------------------------------

Figures direct(const std::string& device) {
  using namespace brivel;
  std::atomic<std::uint64_t> events{0};
  Latencies latencies;
  std::atomic<bool> counting{false};
  tango::BridgeSettings settings;
  settings.port = device;
  tango::Bridge::Sink sink;
  sink.position = [&](double, const timeval& arrived) {
    if (!counting.load()) return;
    events.fetch_add(1);
    latencies.add(wall_now() - seconds(arrived));
  };
  tango::Bridge bridge(settings, sink);
  bridge.open();
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (!bridge.situation().control.connected && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (!bridge.situation().control.connected) throw std::runtime_error("direct: no connection");
  bridge.start([](Controller& c) { return c.move_to(kStart); });
  while (bridge.situation().control.busy) std::this_thread::sleep_for(std::chrono::milliseconds(10));

  const std::uint64_t reports_before = bridge.reports();
  const double cpu_before = process_cpu(getpid());
  const double wall_before = wall_now();
  counting = true;
  bridge.start([](Controller& c) { return c.move_to(kTarget); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  while (bridge.situation().control.busy) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  counting = false;
  const double wall = wall_now() - wall_before;
  Figures f;
  f.cpu = (process_cpu(getpid()) - cpu_before) / wall;
  f.reports = bridge.reports() - reports_before;
  f.events = events.load();
  f.ratio = f.reports ? static_cast<double>(f.events) / static_cast<double>(f.reports) : 0;
  f.median_ms = latencies.quantile(0.5) * 1e3;
  f.p99_ms = latencies.quantile(0.99) * 1e3;
  return f;
}

// ---- through Tango -----------------------------------------------------------------

class Counter : public Tango::CallBack {
 public:
  explicit Counter(Latencies* latencies) : latencies_(latencies) {}
  void push_event(Tango::EventData* event) override {
    if (event->err || !event->attr_value) return;
    const double now = wall_now();
    if (!counting.load()) return;
    events.fetch_add(1);
    if (latencies_) {
      const Tango::TimeVal& t = event->attr_value->get_date();
      latencies_->add(now - (t.tv_sec + t.tv_usec * 1e-6));
    }
  }
  std::atomic<bool> counting{false};
  std::atomic<std::uint64_t> events{0};

 private:
  Latencies* latencies_;
};

int client_main(const std::string& url) {
  Counter counter(nullptr);
  counter.counting = true;
  std::string name = url;
  Tango::DeviceProxy device(name);
  device.subscribe_event("Wavelength", Tango::CHANGE_EVENT, &counter);
  std::cout << "subscribed" << std::endl;
  // Until the benchmark ends it (SIGTERM).
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigprocmask(SIG_BLOCK, &set, nullptr);
  int sig = 0;
  sigwait(&set, &sig);
  std::cout << counter.events.load() << std::endl;
  return 0;
}

Tango::DevState state_of(Tango::DeviceProxy& device) { return device.state(); }

void wait_state(Tango::DeviceProxy& device, Tango::DevState wanted, double bound) {
  const auto deadline = Clock::now() + std::chrono::duration<double>(bound);
  while (state_of(device) != wanted) {
    if (Clock::now() > deadline) throw std::runtime_error("the device did not reach the state in time");
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::uint64_t reports_of(Tango::DeviceProxy& device) {
  Tango::DeviceAttribute value = device.read_attribute("PositionReports");
  Tango::DevULong64 n = 0;
  value >> n;
  return n;
}

// One 5 s move from kStart to kTarget and back; gives the server's CPU / wall and
// counts events and reports of the forward move.
double timed_move(Tango::DeviceProxy& device, pid_t server, Counter& counter, std::uint64_t& reports) {
  Tango::DeviceAttribute start("Wavelength", kStart);
  device.write_attribute(start);
  wait_state(device, Tango::ON, 30);
  const std::uint64_t before = reports_of(device);
  const double cpu_before = process_cpu(server);
  const double wall_before = wall_now();
  counter.counting = true;
  Tango::DeviceAttribute target("Wavelength", kTarget);
  device.write_attribute(target);
  wait_state(device, Tango::ON, 30);
  const double wall = wall_now() - wall_before;
  const double cpu = (process_cpu(server) - cpu_before) / wall;
  // The last events of the move may still be on their way.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  counter.counting = false;
  reports = reports_of(device) - before;
  return cpu;
}

Figures through_tango(const std::string& self, const std::string& server_program, const std::string& device_path) {
  char folder_template[] = "/tmp/tango-events-XXXXXX";
  const std::string folder = mkdtemp(folder_template);
  const std::string database = folder + "/tango.db";
  {
    std::ofstream db(database);
    db << "brivel-tango/bench/DEVICE/BrivelMonochromator: \"lab/mono/1\"\n"
       << "lab/mono/1->Port: \"" << device_path << "\"\n";
  }
  const int port = free_port();
  Child server = spawn({server_program, "bench", "-file=" + database, "-ORBendPoint",
                        "giop:tcp:127.0.0.1:" + std::to_string(port)},
                       true);
  Figures f;
  std::vector<Child> clients;
  try {
    for (std::string line; (line = read_line(server)) != "Ready to accept request";)
      if (line.empty() && std::feof(server.out)) throw std::runtime_error("brivel-tango did not start");
    const std::string url = "tango://127.0.0.1:" + std::to_string(port) + "/lab/mono/1#dbase=no";
    std::string name = url;
  Tango::DeviceProxy device(name);
    device.set_timeout_millis(5000);
    wait_state(device, Tango::ON, 30);

    Latencies latencies;
    Counter counter(&latencies);
    const int id = device.subscribe_event("Wavelength", Tango::CHANGE_EVENT, &counter);
    counter.counting = false;
    std::uint64_t reports = 0;
    timed_move(device, server.pid, counter, reports);  // warm-up: the ORB's first calls
    counter.events = 0;
    {
      std::lock_guard<std::mutex> lock(latencies.mutex);
      latencies.values.clear();
    }
    f.cpu = timed_move(device, server.pid, counter, reports);
    f.events = counter.events.load();
    f.reports = reports;
    f.ratio = reports ? static_cast<double>(f.events) / static_cast<double>(reports) : 0;
    f.median_ms = latencies.quantile(0.5) * 1e3;
    f.p99_ms = latencies.quantile(0.99) * 1e3;
    device.unsubscribe_event(id);

    for (int i = 0; i < 10; ++i) {
      clients.push_back(spawn({self, "--client", url}, true));
      if (read_line(clients.back()) != "subscribed") throw std::runtime_error("a client did not subscribe");
    }
    Counter quiet(nullptr);
    f.cpu10 = timed_move(device, server.pid, quiet, reports);
  } catch (...) {
    for (Child& c : clients) end(c);
    end(server);
    std::remove(database.c_str());
    rmdir(folder.c_str());
    throw;
  }
  for (Child& c : clients) end(c);
  end(server);
  std::remove(database.c_str());
  rmdir(folder.c_str());
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--client") return client_main(argv[2]);
  int rounds = 1;
  if (argc == 3 && std::string(argv[1]) == "--rounds") rounds = std::max(1, std::atoi(argv[2]));
  int qt_argc = 1;
  QCoreApplication app(qt_argc, argv);
  char self[4096] = {0};
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) return 1;

  bool met = true;
  for (int round = 1; round <= rounds; ++round) {
    Child sim = spawn({BRIVEL_SIM_PROGRAM}, true);
    const std::string device = read_line(sim);
    if (device.rfind("/dev/", 0) != 0) {
      std::cerr << "tango_events: brivel-sim did not start" << std::endl;
      end(sim);
      return 1;
    }
    Figures d, t;
    try {
      d = direct(device);
      t = through_tango(self, BRIVEL_TANGO_PROGRAM, device);
    } catch (const Tango::DevFailed& failure) {
      Tango::Except::print_exception(failure);
      end(sim);
      return 1;
    } catch (const std::exception& failure) {
      std::cerr << "tango_events: " << failure.what() << std::endl;
      end(sim);
      return 1;
    }
    end(sim);
    std::printf("round %d: 5 s move at 62.5 nm/s, %llu position reports (Tango), %llu (direct)\n", round,
                static_cast<unsigned long long>(t.reports), static_cast<unsigned long long>(d.reports));
    std::printf("  %-52s %10s %10s %s\n", "figure", "Tango", "direct", "goal");
    std::printf("  %-52s %10.3f %10.3f %s\n", "change events / position reports", t.ratio, d.ratio, ">= 0.9");
    std::printf("  %-52s %10.2f %10.3f\n", "report to callback, median (ms)", t.median_ms, d.median_ms);
    std::printf("  %-52s %10.2f %10.3f %s\n", "report to callback, p99 (ms)", t.p99_ms, d.p99_ms, "<= 10");
    std::printf("  %-52s %10.4f %10.4f\n", "server CPU / wall, 1 client (direct: the process)", t.cpu, d.cpu);
    std::printf("  %-52s %10.4f %10s %s\n", "server CPU / wall, 10 clients", t.cpu10, "", "<= 0.05");
    met = met && t.ratio >= 0.9 && t.p99_ms <= 10.0 && t.cpu10 <= 0.05;
  }
  std::printf("%s\n", met ? "every goal met" : "a goal was missed");
  return met ? 0 : 1;
}
