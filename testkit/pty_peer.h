#pragma once
// The far end of a pseudo-terminal, played by a test: what it sends arrives at the
// port that opened device(), what that port writes it takes. Raw and non-blocking.

#include <chrono>
#include <string>
#include <thread>

namespace brivel::testkit {

class PtyPeer {
 public:
  PtyPeer();   // device() is empty when no pseudo-terminal could be had
  ~PtyPeer();
  PtyPeer(const PtyPeer&) = delete;
  PtyPeer& operator=(const PtyPeer&) = delete;

  const std::string& device() const { return device_; }
  int master() const { return master_; }
  // Sends `bytes` now; false when the pseudo-terminal did not take them all.
  bool send(const std::string& bytes);
  // Sends `bytes` one by one from another thread, `gap` apart, after `delay`: a reply
  // trickling in at 9600 baud while the test's thread sleeps in a wait.
  std::thread send_later(std::string bytes, std::chrono::milliseconds delay,
                         std::chrono::microseconds gap = std::chrono::microseconds(1040));
  // Everything the port has written so far, without waiting.
  std::string take();
  // The far end goes away: the port's device reports the line hung up.
  void hang_up();

 private:
  int master_ = -1;
  std::string device_;
};

}  // namespace brivel::testkit
