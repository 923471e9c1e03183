#include "testkit/pty_peer.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>

namespace brivel::testkit {

PtyPeer::PtyPeer() {
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
  if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return;
  termios tio{};
  ::tcgetattr(master_, &tio);
  ::cfmakeraw(&tio);
  ::tcsetattr(master_, TCSANOW, &tio);
  ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
  device_ = ::ptsname(master_);
}

PtyPeer::~PtyPeer() { hang_up(); }

bool PtyPeer::send(const std::string& bytes) {
  return ::write(master_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

std::thread PtyPeer::send_later(std::string bytes, std::chrono::milliseconds delay,
                                std::chrono::microseconds gap) {
  const int fd = master_;
  return std::thread([fd, bytes, delay, gap] {
    std::this_thread::sleep_for(delay);
    for (char byte : bytes) {
      (void)!::write(fd, &byte, 1);
      std::this_thread::sleep_for(gap);
    }
  });
}

std::string PtyPeer::take() {
  std::string got;
  char buffer[4096];
  for (ssize_t n; master_ >= 0 && (n = ::read(master_, buffer, sizeof buffer)) > 0;)
    got.append(buffer, static_cast<std::size_t>(n));
  return got;
}

void PtyPeer::hang_up() {
  if (master_ >= 0) ::close(master_);
  master_ = -1;
}

}  // namespace brivel::testkit
