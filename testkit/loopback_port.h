#pragma once
// A serial port whose far end is in the same process: a scripted peer or the
// simulated controller. Bytes to the control are paced at the line's 9600 baud
// (10 bits a byte: about 1.04 ms each) in virtual time; the receive event follows the
// threshold exactly as the SerialPort contract says.

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

class LoopbackPort : public SerialPort, private VirtualPump::Source {
 public:
  explicit LoopbackPort(VirtualPump& pump);
  ~LoopbackPort() override;

  // ---- SerialPort ----
  void set_port_number(int number) override;
  int port_number() const override;
  void set_settings(const std::string& settings) override;
  std::string settings() const override;
  void set_in_buffer_size(int bytes) override;
  void set_out_buffer_size(int bytes) override;
  void set_binary_mode(bool bytes) override;
  void set_input_len(int bytes) override;
  void clear_input() override;
  void clear_output() override;
  void open() override;    // fails when the port number is in unavailable_ports()
  void close() override;
  bool is_open() const override;
  void write(const Bytes& data) override;
  void set_threshold(int bytes) override;
  int threshold() const override;
  int bytes_waiting() const override;
  Bytes read_all() override;

  // ---- the far end ----
  // Attach the simulated controller (it is not owned). Replaces any script.
  void attach(sim::Controller& controller);
  // Scripted peer: when a write equal to `request` arrives, send `reply`
  // (after `delay` seconds). Later rules for the same request replace earlier ones.
  void when(const Bytes& request, const Bytes& reply, double delay = 0.0);
  // Scripted peer: a function of each write; gives the reply bytes (maybe none).
  void on_write(std::function<Bytes(const Bytes&)> responder);
  // Push bytes towards the control now (unsolicited), paced as usual.
  void inject(const Bytes& bytes);

  // ---- what happened ----
  const std::vector<Written>& written() const { return written_; }
  void clear_written() { written_.clear(); }
  std::vector<int>& unavailable_ports() { return unavailable_; }
  int opens() const { return opens_; }
  // Settings applied, in order, e.g. "port=1", "settings=9600,N,8,1", "inbuffer=2048",
  // "outbuffer=1024", "binary=1", "inputlen=0", "clear-input", "clear-output", "open".
  const std::vector<std::string>& setup_log() const { return setup_log_; }

 private:
  double next_due() const override;
  void run_due(double now) override;
  void queue_reply(const Bytes& reply, double ready);
  void check_event();

  struct Impl;
  std::unique_ptr<Impl> impl_;
  VirtualPump& pump_;
  std::vector<Written> written_;
  std::vector<int> unavailable_;
  std::vector<std::string> setup_log_;
  int opens_ = 0;
};

}  // namespace brivel::testkit
