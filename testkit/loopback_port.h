#pragma once
// A serial port whose far end is in the same process: a scripted peer or the
// simulated controller. Bytes to the control are paced at the line's 9600 baud
// (10 bits a byte: about 1.04 ms each) in virtual time; the receive event follows the
// threshold exactly as the SerialPort contract says.
//
// Both directions are paced. Towards the control, a reply's first byte arrives one
// byte time after the reply is ready and each further byte one byte time later;
// bytes queue behind those still on the line. Towards the far end, byte i of a
// write arrives (i + 1) byte times after the write (or after the bytes before it):
// the simulated controller gets each byte as it arrives, a scripted peer gets the
// whole write when its last byte has arrived.
//
// The receive event is raised from the pump, never from inside write() or
// set_threshold(): whenever a byte arrives or the threshold changes, and at least
// threshold() (> 0) bytes wait, and their number differs from that of the last event
// (a handler that leaves bytes waiting is not called again until more come, as with
// the Qt port). A handler that runs the pump is not re-entered; the event is raised
// again after it returns if the condition still holds.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/serial_port.h"
#include "testkit/virtual_pump.h"

namespace brivel::sim {
class Controller;
}

namespace brivel::testkit {

constexpr double kByteTime = 10.0 / 9600.0;  // seconds per byte at 9600 baud, 8N1

struct Written {
  double time;   // virtual time of the write
  Bytes bytes;
};

// The far end as the port sees it. attach(sim::Controller&) wraps the simulated
// controller in one; tests may give their own.
class FarEnd {
 public:
  virtual ~FarEnd() = default;
  virtual void receive(const Bytes& bytes, double now) = 0;  // bytes from the control
  virtual Bytes take_output(double now) = 0;                  // reply bytes ready by now
  virtual double next_due() const = 0;                        // +infinity when idle
  virtual void advance(double now) = 0;
  virtual bool vanished() const = 0;     // the device is gone: the port closes itself
  virtual void port_reopened() = 0;      // the port was closed and opened again
};

class LoopbackPort : public SerialPort, private VirtualPump::Source {
 public:
  explicit LoopbackPort(VirtualPump& pump);  // the pump must outlive the port
  ~LoopbackPort() override;
  LoopbackPort(const LoopbackPort&) = delete;
  LoopbackPort& operator=(const LoopbackPort&) = delete;

  // ---- SerialPort ----
  void set_port_number(int number) override;
  int port_number() const override;
  void set_line(const LineSettings& line) override;
  LineSettings line() const override;
  void clear_input() override;
  void clear_output() override;
  // Fails with RuntimeFailure(PortFailure) when the port number is below 1 or in
  // unavailable_ports(), or when the attached far end has vanished. Opening an open
  // port closes it first.
  void open() override;
  void close() override;   // drops the queues and every byte still on the line
  bool is_open() const override;
  void write(const Bytes& data) override;
  void set_threshold(int bytes) override;
  int threshold() const override;
  int bytes_waiting() const override;
  Bytes read_all() override;

  // ---- the far end ----
  // Attach the simulated controller (it is not owned). Replaces any script.
  void attach(sim::Controller& controller);
  // Attach any far end (owned). Replaces any script.
  void attach(std::unique_ptr<FarEnd> far_end);
  // Scripted peer: when a write equal to `request` arrives, send `reply`
  // (after `delay` seconds). Later rules for the same request replace earlier ones.
  // Scripting detaches the simulated controller.
  void when(const Bytes& request, const Bytes& reply, double delay = 0.0);
  // Scripted peer: a function of each write that no rule answers; gives the reply
  // bytes (maybe none). Scripting detaches the simulated controller.
  void on_write(std::function<Bytes(const Bytes&)> responder);
  // Push bytes towards the control now (unsolicited), paced as usual.
  void inject(const Bytes& bytes);
  // The adapter is pulled out during the n-th write from now (1: the next one): that
  // write fails with RuntimeFailure(PortFailure) and the port is gone (is_open()
  // false, nothing more arrives, open() fails) until replug(). 0 switches it off.
  void unplug_at_write(int n);
  // The adapter is pulled out now. Either way an open port closes itself and raises
  // the lost event (kComEvLost) at the next pump pass.
  void unplug_now();
  void replug();
  bool unplugged() const { return unplugged_; }

  // ---- what happened ----
  const std::vector<Written>& written() const { return written_; }
  void clear_written() { written_.clear(); }
  std::vector<int>& unavailable_ports() { return unavailable_; }
  int opens() const { return opens_; }
  // Settings applied, in order, e.g. "port=1", "settings=9600,N,8,1", "inbuffer=2048",
  // "outbuffer=1024", "binary=1", "inputlen=0", "clear-input", "clear-output", "open",
  // "close". Failed opens are recorded too.
  const std::vector<std::string>& setup_log() const { return setup_log_; }
  // Virtual times of the receive events raised so far.
  const std::vector<double>& events() const { return events_; }

 private:
  double next_due() const override;
  void run_due(double now) override;
  void queue_reply(const Bytes& reply, double ready);
  void answer_as_peer(const Bytes& request, double arrived);
  void check_event();

  struct Impl;
  std::unique_ptr<Impl> impl_;
  VirtualPump& pump_;
  std::vector<Written> written_;
  std::vector<int> unavailable_;
  std::vector<std::string> setup_log_;
  std::vector<double> events_;
  int opens_ = 0;
  int unplug_countdown_ = 0;   // writes until the adapter is pulled out; 0: never
  bool unplugged_ = false;
};

}  // namespace brivel::testkit
