#include "pty_server.h"

#include <fcntl.h>
#include <poll.h>
#ifdef __linux__
#include <sys/inotify.h>
#endif
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <thread>

namespace brivel::sim {

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr double kLongestSleep = 1.0;  // s: poll at least this often even when idle
constexpr double kFullBackoff = 0.01;  // s: wait before writing again to a full pty

double steady_seconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::string hex(const std::uint8_t* data, std::size_t size) {
  std::string text;
  char byte[4];
  for (std::size_t i = 0; i < size; ++i) {
    std::snprintf(byte, sizeof byte, i ? " %02X" : "%02X", data[i]);
    text += byte;
  }
  return text;
}

bool set_nonblocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 &&
         fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

int poll_timeout_ms(double seconds) {
  if (seconds <= 0.0) return 0;
  return static_cast<int>(std::ceil(std::min(seconds, kLongestSleep) * 1000.0));
}

}  // namespace

// The state of one run(): the replies on their way and the line's pace.
struct PtyServer::Loop {
  explicit Loop(PtyServer& s) : server(s) {}

  PtyServer& server;
  std::deque<std::uint8_t> outgoing;
  double next_slot = 0.0;  // s: earliest time the next reply byte may leave
  std::uint8_t last_written = 0;
  bool hung_up = false;    // no client holds the device
  std::size_t log_seen = 0;

  // Runs the model to `now`; false once the controller has vanished.
  bool step_model(double now) {
    std::lock_guard<std::mutex> lock(server.mutex_);
    Controller& c = server.controller_;
    c.advance(now);
    if (c.vanished()) return false;
    const Bytes ready = c.take_output(now);
    if (!ready.empty() && outgoing.empty()) next_slot = std::max(next_slot, now);
    if (!hung_up) outgoing.insert(outgoing.end(), ready.begin(), ready.end());
    return true;
  }

  double next_due() {
    std::lock_guard<std::mutex> lock(server.mutex_);
    return server.controller_.next_due();
  }

  // Writes the bytes whose slot has come: one byte time apart, as at 9600 baud. An
  // acknowledgement's "OK" never leaves without its CR (they go in one write, the CR a
  // byte time early): a thread held up between the two would let the client's tick take
  // "OK" alone, and the CR left behind would shift the read-back after it, which
  // depends on the machine's load rather than on the client's code.
  void write_paced(double now) {
    if (hung_up || outgoing.empty() || next_slot > now) return;
    const double slots = std::floor((now - next_slot) / server.options_.byte_time) + 1.0;
    std::size_t count = std::min(outgoing.size(), static_cast<std::size_t>(std::min(slots, 4096.0)));
    const std::uint8_t before_last = count >= 2 ? outgoing[count - 2] : last_written;
    if (count < outgoing.size() && before_last == 'O' && outgoing[count - 1] == 'K' && outgoing[count] == '\r')
      ++count;
    std::uint8_t chunk[4096 + 1];   // the slots, and an acknowledgement's CR
    std::copy_n(outgoing.begin(), count, chunk);
    const ssize_t written = ::write(server.master_, chunk, count);
    if (written < 0 && errno == EIO) hang_up(now);
    if (written <= 0) {
      // The client does not read and the pty is full: try again a little later.
      next_slot = now + kFullBackoff;
      return;
    }
    server.trace(now, "<", hex(chunk, static_cast<std::size_t>(written)));
    last_written = chunk[written - 1];
    outgoing.erase(outgoing.begin(), outgoing.begin() + written);
    next_slot += static_cast<double>(written) * server.options_.byte_time;
  }

  void read_host(double now) {
    std::uint8_t buffer[512];
    for (;;) {
      const ssize_t got = ::read(server.master_, buffer, sizeof buffer);
      if (got <= 0) {
        if (got < 0 && errno == EIO) hang_up(now);
        return;
      }
      server.trace(now, ">", hex(buffer, static_cast<std::size_t>(got)));
      std::lock_guard<std::mutex> lock(server.mutex_);
      server.controller_.receive(Bytes(buffer, buffer + got), now);
      trace_commands(now);
    }
  }

  void trace_commands(double now) {
    const auto& log = server.controller_.log();
    if (log.size() < log_seen) log_seen = 0;
    for (; log_seen < log.size(); ++log_seen) server.trace(now, "=", log[log_seen]);
  }

  // The last client closed the device: drop what was on its way.
  void hang_up(double now) {
    if (hung_up) return;
    // A client may have closed and opened the device again between the poll that saw
    // the hang-up and this moment (this thread held up on a busy machine): its open is
    // in the watch, and what it has already written must not be flushed away.
    if (drain_open_watch() && client_holds()) {
      outgoing.clear();   // the replies were for the client that left
      reopened(now);
      return;
    }
    hung_up = true;
    outgoing.clear();
    tcflush(server.master_, TCIOFLUSH);
    server.trace(now, "-", "hang-up: no client holds the device");
    // Opened again while the line was flushed: served at once rather than at the next
    // look, so that its first command is not kept waiting.
    if (client_holds()) look_for_client(now);
  }

  bool client_holds() const {
    pollfd look{server.master_, POLLIN, 0};
    return ::poll(&look, 1, 0) >= 0 && !(look.revents & POLLHUP);
  }

  // Looks whether a client holds the device again.
  void look_for_client(double now) {
    if (!client_holds()) return;
    hung_up = false;
    reopened(now);
  }

  void reopened(double now) {
    tcflush(server.master_, TCOFLUSH);  // nothing stale for the new client
    {
      std::lock_guard<std::mutex> lock(server.mutex_);
      server.controller_.port_reopened();
    }
    server.trace(now, "-", "reopened");
  }

  double timeout(double now) {
    double wait = next_due() - now;
    if (!outgoing.empty()) wait = std::min(wait, next_slot - now);
    // Without a watch on the device's opens, the hang-up is looked at again and again.
    if (hung_up && server.open_watch_ < 0) wait = std::min(wait, server.options_.hangup_poll);
    return wait;
  }

  // Empties the queue of the watch on the device's opens; true when something was in it.
  bool drain_open_watch() {
    bool opened = false;
    if (server.open_watch_ < 0) return opened;
    char events[1024];
    while (::read(server.open_watch_, events, sizeof events) > 0) opened = true;
    return opened;
  }

  End serve() {
    while (!server.stop_.load()) {
      double now = server.elapsed();
      if (!step_model(now)) {
        server.trace(now, "-", "vanished: the device is unplugged");
        return End::Vanished;
      }
      write_paced(now);

      // While no client holds the device, the master reports a hang-up at every poll;
      // the watch on the device's opens (inotify) says when a client opens it again.
      pollfd fds[2] = {{server.wake_read_, POLLIN, 0},
                       {hung_up ? server.open_watch_ : server.master_, POLLIN, 0}};
      const nfds_t count = hung_up && server.open_watch_ < 0 ? 1 : 2;
      if (::poll(fds, count, poll_timeout_ms(timeout(now))) < 0 && errno != EINTR) return End::Failed;
      now = server.elapsed();
      if (fds[0].revents & POLLIN) {
        std::uint8_t drain[64];
        while (::read(server.wake_read_, drain, sizeof drain) > 0) {
        }
      }
      if (hung_up) {
        drain_open_watch();
        look_for_client(now);
      } else if (count == 2 && (fds[1].revents & (POLLHUP | POLLERR)) && !(fds[1].revents & POLLIN)) {
        if (server.options_.hold_up > 0.0) {
          std::this_thread::sleep_for(std::chrono::duration<double>(server.options_.hold_up));
          now = server.elapsed();
        }
        hang_up(now);
      } else if (count == 2 && (fds[1].revents & POLLIN)) {
        read_host(now);
      }
    }
    return End::Stopped;
  }
};

PtyServer::PtyServer(Memory memory, Faults faults, PtyOptions options)
    : controller_(memory), options_(std::move(options)) {
  controller_.faults() = faults;
}

PtyServer::~PtyServer() {
  stop();
  join();
  close_device();
  if (open_watch_ >= 0) ::close(open_watch_);
  if (wake_read_ >= 0) ::close(wake_read_);
  if (wake_write_ >= 0) ::close(wake_write_);
}

double PtyServer::elapsed() const { return steady_seconds() - origin_; }

void PtyServer::trace(double t, const char* tag, const std::string& text) const {
  if (!options_.trace || !options_.trace_to) return;
  std::fprintf(options_.trace_to, "%11.6f %s %s\n", t, tag, text.c_str());
  std::fflush(options_.trace_to);
}

bool PtyServer::start(std::string& error) {
  auto fail = [&](const char* what) {
    error = std::string(what) + ": " + std::strerror(errno);
    close_device();
    return false;
  };
  origin_ = steady_seconds();
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) return fail("pipe");
  wake_read_ = pipe_fds[0];
  wake_write_ = pipe_fds[1];
  if (!set_nonblocking(wake_read_) || !set_nonblocking(wake_write_)) return fail("pipe");

  master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
  if (master_ < 0) return fail("posix_openpt");
  if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return fail("grantpt/unlockpt");
  const char* name = ::ptsname(master_);
  if (!name) return fail("ptsname");
  device_ = name;
  if (!set_nonblocking(master_)) return fail("fcntl");
#ifdef __linux__
  // Optional: without it, a client's reopen is noticed within hangup_poll.
  open_watch_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (open_watch_ >= 0 && ::inotify_add_watch(open_watch_, device_.c_str(), IN_OPEN) < 0) {
    ::close(open_watch_);
    open_watch_ = -1;
  }
#endif

  // Raw: no echo, no CR/NL translation, no signals; 9600 8N1 for clients that look.
  termios tio{};
  if (::tcgetattr(master_, &tio) != 0) return fail("tcgetattr");
  ::cfmakeraw(&tio);
  ::cfsetispeed(&tio, B9600);
  ::cfsetospeed(&tio, B9600);
  if (::tcsetattr(master_, TCSANOW, &tio) != 0) return fail("tcsetattr");

  if (!options_.link.empty()) {
    struct stat st {};
    if (::lstat(options_.link.c_str(), &st) == 0) {
      if (!S_ISLNK(st.st_mode)) {
        errno = EEXIST;
        return fail(options_.link.c_str());
      }
      ::unlink(options_.link.c_str());
    }
    if (::symlink(device_.c_str(), options_.link.c_str()) != 0) return fail(options_.link.c_str());
    linked_ = true;
  }
  return true;
}

PtyServer::End PtyServer::run() {
  End end = End::Failed;
  if (master_ >= 0) {
    Loop loop(*this);
    end = loop.serve();
  }
  close_device();
  end_.store(end);
  return end;
}

bool PtyServer::start_background(std::string& error) {
  if (!start(error)) return false;
  thread_ = std::thread([this] { run(); });
  return true;
}

void PtyServer::stop() {
  stop_.store(true);
  if (wake_write_ >= 0) {
    const char wake = 'x';
    (void)!::write(wake_write_, &wake, 1);
  }
}

void PtyServer::join() {
  if (thread_.joinable()) thread_.join();
}

void PtyServer::with_controller(const std::function<void(Controller&)>& use) {
  std::lock_guard<std::mutex> lock(mutex_);
  use(controller_);
}

void PtyServer::close_device() {
  if (linked_) {
    ::unlink(options_.link.c_str());
    linked_ = false;
  }
  if (master_ >= 0) {
    ::close(master_);
    master_ = -1;
  }
}

}  // namespace brivel::sim
