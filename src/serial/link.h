#pragma once
// The serial link to the instrument's motion controller: the port's life, the receive
// handler and its fields, and the waits. Every wait returns whether what it waited for
// came; none has a failure of its own, but each looks once a tick at the world outside
// (a port that went away, a stop requested from another thread), and those end the
// running operation with a RuntimeFailure.
//
// Every reply arrives through the port's receive event, raised once the receive
// threshold's number of bytes wait (each sender sets the threshold to the length of the
// reply it expects). The handler keeps the newest packet, grows the text buffer, raises
// the reply flag and passes whole position reports to the link's owner.

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/event_pump.h"
#include "platform/failure.h"
#include "platform/serial_port.h"

namespace brivel::serial {

// What the link tells the one it serves; everything runs on the control's thread.
class LinkOwner {
 public:
  virtual ~LinkOwner() = default;
  // A whole position report ("w" and four bytes) arrived.
  virtual void position_report(const Bytes& packet) = 0;
  // The open port went away: the owner shows not connected. The link then ends the
  // running operation with RuntimeFailure(PortLost).
  virtual void port_lost() = 0;
  // The port went away while nothing of the control ran: the owner tells people.
  virtual void lost_while_idle(const RuntimeFailure& failure) = 0;
  // A stop requested from outside found a motion running: the owner stops the motor,
  // its exchanges ending within `window` seconds.
  virtual void stop_motion(double window) = 0;
};

class Link {
 public:
  // Thresholds: a negative one keeps whatever the previous command set.
  static constexpr int kKeepThreshold = -1;
  static constexpr double kReplyWindow = 0.5;   // seconds: wait_reply's window
  static constexpr double kStopWindow = 0.9;    // seconds: a stop from outside's exchanges

  Link(EventPump& pump, std::unique_ptr<SerialPort> port);
  ~Link();
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  void set_owner(LinkOwner* owner) { owner_ = owner; }
  SerialPort& port() { return *port_; }
  EventPump& pump() { return pump_; }
  double now() const { return pump_.now(); }

  // ---- the port's life --------------------------------------------------------
  // Applies the line settings (9600 baud, 8N1) to port `number` (1 to 16) and opens it; gives what
  // the port had to say of the opening (a stale lock file removed), or nothing.
  std::string open(int number);
  void close() noexcept;               // closes the port if open; never throws
  void forget_loss() { gone_ = false; }   // the host closed the control on purpose
  bool is_open() const { return port_->is_open(); }
  std::string device_name() const { return port_->device_name(); }
  // Ends the running operation because the port went away: the owner is told first.
  [[noreturn]] void lose();

  // ---- sending ------------------------------------------------------------------
  // Writes `command`, setting the receive threshold first (unless kKeepThreshold).
  void send(const Bytes& command, int threshold);
  // Lowers the reply flag, so that the next wait sees only a fresh reply.
  void expect_reply() { reply_flag_ = false; }
  // "w": the position request, and wait_reply.
  bool request_position();

  // ---- waits --------------------------------------------------------------------
  bool wait_reply() { return reply_within(kReplyWindow); }   // any data within 0.5 s
  bool reply_within(double window);
  // Until the text buffer ends in an acknowledgement ("OK", "OK" CR or "OKKK" CR); false
  // when `bound` seconds pass first. Empties the buffer when it came.
  bool wait_for_ack(double bound);
  bool wait_for_data(double bound);    // until any data; false when the bound passes
  void pause();                        // the follow loops' pause (at least 10 ms)
  void yield();                        // lets the host's events run once
  // Once a tick in every wait: the hooks, a port that went away, a stop from outside.
  void check_outside();

  // ---- what arrived -------------------------------------------------------------
  const Bytes& last_packet() const { return last_packet_; }
  const std::string& received() const { return received_; }
  void clear_received() { received_.clear(); }
  void clear_input() { port_->clear_input(); }
  // Absolute steps of the newest whole position report since the port opened; -1: none.
  double last_position() const { return last_position_; }
  // The move watch: from now until end_watch(), the head of each packet becomes the
  // target record; every position report fills the position record. Both start with
  // values no reply can produce.
  void watch_move();
  void end_watch() { watching_ = false; }
  bool target_reached() const { return target_record_ == position_record_; }

  // ---- motion and stops ---------------------------------------------------------
  // A motion command went out; no end of it and no "k" since.
  void motion_started() { motion_running_ = true; }
  void motion_ended() { motion_running_ = false; }
  void request_stop() noexcept { stop_requested_.store(true); }   // any thread
  bool stop_pending() const noexcept { return stop_requested_.load(); }
  void clear_stop_request() noexcept { stop_requested_.store(false); }
  bool stop_stopped_motor() const noexcept { return stop_stopped_motor_; }

  // ---- hooks and nesting --------------------------------------------------------
  void set_wait_hook(std::function<void()> hook) { wait_hook_ = std::move(hook); }
  void set_tick_hook(std::function<void()> hook) { tick_hook_ = std::move(hook); }
  // Counts a wait or a message box as running for as long as it lives: the host's
  // event loop runs inside it, and a port loss seen there belongs to the operation.
  class Inside {
   public:
    explicit Inside(int& depth) : depth_(depth) { ++depth_; }
    ~Inside() { --depth_; }
    Inside(const Inside&) = delete;
    Inside& operator=(const Inside&) = delete;

   private:
    int& depth_;
  };
  Inside inside() { return Inside(nesting_); }
  // Whether the operator was told of the latest port loss (one message per loss).
  bool loss_told() const { return loss_told_; }
  void set_loss_told() { loss_told_ = true; }

  // The receive handler (public for tests).
  void on_comm(int event_code);

 private:
  void tick(int milliseconds);         // one tick of the timer
  void wait_events(double deadline);
  [[noreturn]] void stop_from_outside();

  EventPump& pump_;
  std::unique_ptr<SerialPort> port_;
  std::unique_ptr<Timer> timer_;
  LinkOwner* owner_ = nullptr;
  std::function<void()> wait_hook_;
  std::function<void()> tick_hook_;

  Bytes last_packet_;
  std::string received_;
  bool reply_flag_ = false;
  bool watching_ = false;
  std::array<std::int32_t, 4> target_record_{};
  std::array<std::int32_t, 4> position_record_{};
  double last_position_ = -1;

  std::atomic<bool> stop_requested_{false};
  bool stopping_ = false;              // a stop from outside is sending "k" and "w"
  bool motion_running_ = false;
  bool stop_stopped_motor_ = false;    // the last stop from outside sent "k"
  bool expected_open_ = false;         // opened by open() and not closed since
  bool loss_told_ = false;
  bool gone_ = false;                  // the port was lost since it was last opened
  int nesting_ = 0;
};

}  // namespace brivel::serial
