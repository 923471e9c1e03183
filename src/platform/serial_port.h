#pragma once
// The serial-port service the control talks through.
//
// Contract every implementation keeps (the Qt port and the testkit's loopback):
//  * open() applies the port number and the line settings given before it; it throws
//    RuntimeFailure(PortFailure) when the port does not exist or is in use.
//  * write() sends the bytes unchanged; it throws RuntimeFailure(PortFailure) when
//    the port is not open or the write fails. Bytes leave without the caller having
//    to flush.
//  * Received bytes collect in the receive queue. The receive event (event code
//    kComEvReceive) is raised only when at least threshold() bytes wait and the
//    threshold is above 0; a threshold of 0 raises none. It is raised from the
//    event pump (inside a yield or wait), never from inside write() or
//    set_threshold(). The handler is expected to take everything waiting with
//    read_all(), which gives bytes exactly as they came.
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

// How the line runs: baud, parity, data bits and stop bits.
struct LineSettings {
  enum class Parity { None, Even, Odd, Mark, Space };
  enum class StopBits { One, OneAndHalf, Two };
  int baud = 9600;
  Parity parity = Parity::None;
  int data_bits = 8;   // 5 to 8
  StopBits stop_bits = StopBits::One;
  bool operator==(const LineSettings& o) const {
    return baud == o.baud && parity == o.parity && data_bits == o.data_bits && stop_bits == o.stop_bits;
  }
  // "9600,N,8,1", for reports and logs.
  std::string text() const {
    static const char kParity[] = {'N', 'E', 'O', 'M', 'S'};
    static const char* const kStop[] = {"1", "1.5", "2"};
    return std::to_string(baud) + ',' + kParity[static_cast<int>(parity)] + ',' + std::to_string(data_bits) + ',' +
           kStop[static_cast<int>(stop_bits)];
  }
};

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
  // Takes effect at the next open(); RuntimeFailure(InvalidArgument) for settings the
  // port cannot apply (a baud of 0, data bits outside 5 to 8).
  virtual void set_line(const LineSettings& line) = 0;
  virtual LineSettings line() const = 0;
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
