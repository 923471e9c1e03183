// The pseudo-terminal server on a thread of its own, talked to through the slave side
// of a real pty, as the Qt port or brivelctl would.

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "pty_server.h"
#include "sim_test_util.h"

namespace brivel::sim {
namespace {

using test::be32;
using test::bytes_of;
using test::cat;

double seconds_now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The client end: opens the device raw and exchanges bytes with bounded waits.
struct Client {
  explicit Client(const std::string& path) {
    fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0) {
      termios tio{};
      ::tcgetattr(fd, &tio);
      ::cfmakeraw(&tio);
      ::tcsetattr(fd, TCSANOW, &tio);
    }
  }
  ~Client() {
    if (fd >= 0) ::close(fd);
  }
  // Reads until `count` bytes came or `timeout` seconds passed; `hung_up` on EOF/EIO.
  Bytes read(std::size_t count, double timeout) {
    Bytes got;
    const double end = seconds_now() + timeout;
    while (got.size() < count && seconds_now() < end) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      std::uint8_t buf[64];
      const ssize_t n = ::read(fd, buf, sizeof buf);
      if (n <= 0) {
        hung_up = true;
        break;
      }
      got.insert(got.end(), buf, buf + n);
    }
    return got;
  }
  Bytes ask(const Bytes& command, std::size_t count, double timeout = 2.0) {
    EXPECT_EQ(::write(fd, command.data(), command.size()), static_cast<ssize_t>(command.size()));
    return read(count, timeout);
  }
  int fd = -1;
  bool hung_up = false;
};

std::string temp_link() { return ::testing::TempDir() + "brivel-sim-test-" + std::to_string(::getpid()); }

TEST(PtyServer, ServesTheControllerOnARawPseudoTerminal) {
  PtyOptions options;
  options.link = temp_link();
  options.trace = true;
  options.trace_to = std::tmpfile();
  auto server = std::make_unique<PtyServer>(factory_memory(), Faults{}, options);
  std::string error;
  ASSERT_TRUE(server->start_background(error)) << error;
  ASSERT_FALSE(server->device().empty());
  char target[256] = {};
  ASSERT_GT(::readlink(options.link.c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(server->device(), target);

  {
    Client c(options.link);
    ASSERT_GE(c.fd, 0);
    EXPECT_EQ(c.ask(bytes_of("y"), 2), (Bytes{'y', 21}));
    // CR goes through untranslated, and the 28 bytes come at the line's pace.
    const double t0 = seconds_now();
    const Bytes record = c.ask(bytes_of("f\r"), 28);
    EXPECT_EQ(record.size(), 28u);
    EXPECT_GE(seconds_now() - t0, 27 * 10.0 / 9600.0);
    EXPECT_EQ(c.ask(Bytes{'N', 0x10, 0x00}, 3), bytes_of("OK\r"));
  }
  // Closed and opened again: still serving, memory kept.
  {
    Client c(server->device());
    ASSERT_GE(c.fd, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(120));  // past a hang-up look
    EXPECT_EQ(c.ask(bytes_of("n"), 3), (Bytes{'n', 0x10, 0x00}));
  }
  std::uint16_t number = 0;
  server->with_controller([&](Controller& sim) { number = sim.memory().instrument_no; });
  EXPECT_EQ(number, 0x1000);

  server->stop();
  server->join();
  EXPECT_EQ(server->end(), PtyServer::End::Stopped);
  struct stat st {};
  EXPECT_NE(::lstat(options.link.c_str(), &st), 0);  // the link is gone

  // The trace shows both directions and the framed commands.
  std::rewind(options.trace_to);
  std::string trace;
  char line[256];
  while (std::fgets(line, sizeof line, options.trace_to)) trace += line;
  std::fclose(options.trace_to);
  EXPECT_NE(trace.find("> 66 0D"), std::string::npos);
  EXPECT_NE(trace.find("= N 10 00"), std::string::npos);
  EXPECT_NE(trace.find("< 79"), std::string::npos);
}

TEST(PtyServer, VanishingDeviceHangsUpItsClient) {
  Faults faults;
  faults.vanish_mid_move = true;
  PtyServer server(factory_memory(), faults);
  std::string error;
  ASSERT_TRUE(server.start_background(error)) << error;
  Client c(server.device());
  ASSERT_GE(c.fd, 0);
  EXPECT_EQ(c.ask(cat({'W'}, be32(200000)), 5), cat(be32(201000), {0x0D}));
  c.read(1, 2.0);
  EXPECT_TRUE(c.hung_up);
  server.join();
  EXPECT_EQ(server.end(), PtyServer::End::Vanished);
}

}  // namespace
}  // namespace brivel::sim
