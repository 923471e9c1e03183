#pragma once
// The serial-port service the control talks through.
//
// Contract every implementation keeps (the Qt port and the testkit's loopback):
//  * open() applies the port number and the settings given before it; it throws
//    RuntimeFailure(PortFailure) when the port does not exist or is in use.
//  * write() sends the bytes unchanged; it throws RuntimeFailure(PortFailure) when
//    the port is not open or the write fails. Bytes leave without the caller having
//    to flush.
//  * Received bytes collect in the receive queue. The receive event (event code
//    kComEvReceive) is raised only when at least threshold() bytes wait and the
//    threshold is above 0; a threshold of 0 raises none. It is raised from the
//    event pump (inside a yield or wait), never from inside write() or
//    set_threshold(). The handler is expected to take everything waiting with
//    read_all().
//  * Closing the port empties its queues; a port that vanishes (device unplugged,
//    far end closed) closes itself and raises no endless events: once it has closed,
//    it raises the lost event (kComEvLost) once, from the event pump. A port the
//    caller closes raises none.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace brivel {

using Bytes = std::vector<std::uint8_t>;

// Event codes of the receive event.
constexpr int kComEvSend = 1;
constexpr int kComEvReceive = 2;
// The port went away by itself (an adapter unplugged, the far end closed) and is closed.
constexpr int kComEvLost = 100;

class SerialPort {
 public:
  using ReceiveHandler = std::function<void(int event_code)>;

  virtual ~SerialPort() = default;

  virtual void set_port_number(int number) = 0;        // 1 to 16
  virtual int port_number() const = 0;
  // The device the port number maps to, for reports ("/dev/ttyUSB0", "COM3").
  virtual std::string device_name() const { return "port " + std::to_string(port_number()); }
  virtual void set_settings(const std::string& settings) = 0;  // "9600,N,8,1"
  virtual std::string settings() const = 0;
  virtual void set_in_buffer_size(int bytes) = 0;
  virtual void set_out_buffer_size(int bytes) = 0;
  virtual void set_binary_mode(bool bytes) = 0;        // true: reads give bytes, not text
  virtual void set_input_len(int bytes) = 0;           // 0: a read takes the whole queue
  virtual void clear_input() = 0;
  virtual void clear_output() = 0;

  virtual void open() = 0;
  virtual void close() = 0;
  virtual bool is_open() const = 0;

  virtual void write(const Bytes& data) = 0;
  virtual void set_threshold(int bytes) = 0;
  virtual int threshold() const = 0;
  virtual int bytes_waiting() const = 0;
  virtual Bytes read_all() = 0;
  // What the last open() did on the way that the host should hear of (a stale lock
  // file it removed), once; empty when nothing.
  virtual std::string take_open_note() { return {}; }

  void set_receive_handler(ReceiveHandler handler) { handler_ = std::move(handler); }

 protected:
  void raise_event(int event_code) {
    if (handler_) handler_(event_code);
  }

 private:
  ReceiveHandler handler_;
};

}  // namespace brivel
