// The pseudo-terminal server on its own thread, talked to through a real pty as the Qt port would.

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "pty_server.h"

namespace brivel::sim {
namespace {

double seconds_now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The client end; it leaves the line raw as the server set it (echo and CR translation spoil replies).
struct Client {
  explicit Client(const std::string& path) : fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {}
  ~Client() {
    if (fd >= 0) ::close(fd);
  }
  // Sends `command`, reads until `count` bytes or `timeout` s; `hung_up` on EOF or EIO.
  Bytes ask(const Bytes& command, std::size_t count, double timeout = 2.0) {
    EXPECT_TRUE(command.empty() || ::write(fd, command.data(), command.size()) == ssize_t(command.size()));
    Bytes got;
    for (const double end = seconds_now() + timeout; got.size() < count && seconds_now() < end;) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      std::uint8_t buf[64];
      const ssize_t n = ::read(fd, buf, sizeof buf);
      if ((hung_up = n <= 0)) break;
      got.insert(got.end(), buf, buf + n);
      reads.emplace_back(buf, buf + n);
    }
    return got;
  }
  int fd;
  bool hung_up = false;
  std::vector<Bytes> reads;   // what each read() gave
};

TEST(PtyServer, ServesTheControllerOnARawPseudoTerminal) {
  PtyOptions options;
  options.link = ::testing::TempDir() + "brivel-sim-test-" + std::to_string(::getpid());
  options.trace = true;
  options.trace_to = std::tmpfile();
  PtyServer server(factory_memory(), Faults{}, options);
  std::string error;
  ASSERT_TRUE(server.start_background(error)) << error;
  char target[256] = {};
  ASSERT_GT(::readlink(options.link.c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(server.device(), target);
  {
    Client c(options.link);
    ASSERT_GE(c.fd, 0);
    EXPECT_EQ(c.ask({'y'}, 2), (Bytes{'y', 21}));
    // CR goes through untranslated, and the 28 bytes come at the line's pace.
    const double t0 = seconds_now();
    EXPECT_EQ(c.ask({'f', 0x0D}, 28).size(), 28u);
    EXPECT_GE(seconds_now() - t0, 27 * 10.0 / 9600.0);
    EXPECT_EQ(c.ask({'N', 0x10, 0x00}, 3), (Bytes{'O', 'K', 0x0D}));
  }
  {  // closed and opened again: still serving, memory kept
    Client c(server.device());
    ASSERT_GE(c.fd, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(120));  // past a hang-up look
    EXPECT_EQ(c.ask({'n'}, 3), (Bytes{'n', 0x10, 0x00}));
  }
  std::uint16_t number = 0;
  server.with_controller([&](Controller& sim) { number = sim.memory().instrument_no; });
  EXPECT_EQ(number, 0x1000);
  server.stop();
  server.join();
  EXPECT_EQ(server.end(), PtyServer::End::Stopped);
  struct stat st {};
  EXPECT_NE(::lstat(options.link.c_str(), &st), 0);  // the link is gone
  // The trace shows both directions and the framed commands.
  std::rewind(options.trace_to);
  std::string trace(1 << 16, '\0');
  trace.resize(std::fread(trace.data(), 1, trace.size(), options.trace_to));
  std::fclose(options.trace_to);
  for (const char* line : {"> 66 0D", "= N 10 00", "< 79"}) EXPECT_NE(trace.find(line), std::string::npos) << line;
}

// An acknowledgement is paced too, but its "OK" never comes without its CR: on a slow line
// (20 ms a byte) the client reads between any two writes.
TEST(PtyServer, AnAcknowledgementsOKComesWithItsCR) {
  PtyOptions options;
  options.byte_time = 0.02;
  PtyServer server(factory_memory(), Faults{}, options);
  std::string error;
  ASSERT_TRUE(server.start_background(error)) << error;
  {
    Client c(server.device());
    ASSERT_GE(c.fd, 0);
    EXPECT_EQ(c.ask({'N', 0x10, 0x00}, 3), (Bytes{'O', 'K', 0x0D}));
    for (const Bytes& read : c.reads) EXPECT_NE(read.back(), 'K');
  }
  server.stop();
  server.join();
}

// A reopened device is answered at once: with hang-ups looked at every 30 s only, and with the server's
// thread paused between seeing the hang-up and acting (the question is not flushed, nor kept waiting).
TEST(PtyServer, AClientThatOpensTheDeviceAgainIsAnsweredAtOnce) {
  for (const bool held_up : {false, true}) {
    PtyOptions options;
    (held_up ? options.hold_up : options.hangup_poll) = held_up ? 0.3 : 30.0;
    PtyServer server(factory_memory(), Faults{}, options);
    std::string error;
    ASSERT_TRUE(server.start_background(error)) << error;
    for (int round = 0; round < 3; ++round) {
      SCOPED_TRACE(std::to_string(held_up) + " " + std::to_string(round));
      {
        Client first(server.device());
        ASSERT_GE(first.fd, 0);
        EXPECT_EQ(first.ask({'y'}, 2), (Bytes{'y', 21}));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the server sees the hang-up
      Client again(server.device());
      ASSERT_GE(again.fd, 0);
      const double asked = seconds_now();
      EXPECT_EQ(again.ask({'y'}, 2, 1.5), (Bytes{'y', 21}));
      EXPECT_LT(seconds_now() - asked, 0.45) << "answered once the server moves again";
    }
    server.stop();
    server.join();
  }
}

}  // namespace
}  // namespace brivel::sim
