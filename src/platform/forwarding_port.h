#pragma once
// A serial port that passes every call on to the port it wraps, and raises the wrapped
// port's receive events again as its own, so the control sees one port. Decorators
// (brivelctl's, the Tango server's) derive from it and override only what they change.

#include <memory>
#include <string>

#include "platform/serial_port.h"

namespace brivel {

class ForwardingPort : public SerialPort {
 public:
  explicit ForwardingPort(std::unique_ptr<SerialPort> inner) : inner_(std::move(inner)) {
    inner_->set_receive_handler([this](int event_code) { raise_event(event_code); });
  }

  void set_port_number(int number) override { inner_->set_port_number(number); }
  int port_number() const override { return inner_->port_number(); }
  std::string device_name() const override { return inner_->device_name(); }
  void set_line(const LineSettings& line) override { inner_->set_line(line); }
  LineSettings line() const override { return inner_->line(); }
  void clear_input() override { inner_->clear_input(); }
  void clear_output() override { inner_->clear_output(); }
  void open() override { inner_->open(); }
  void close() override { inner_->close(); }
  bool is_open() const override { return inner_->is_open(); }
  void write(const Bytes& data) override { inner_->write(data); }
  void set_threshold(int bytes) override { inner_->set_threshold(bytes); }
  int threshold() const override { return inner_->threshold(); }
  int bytes_waiting() const override { return inner_->bytes_waiting(); }
  Bytes read_all() override { return inner_->read_all(); }
  std::string take_open_note() override { return inner_->take_open_note(); }

 protected:
  SerialPort& inner() { return *inner_; }

 private:
  std::unique_ptr<SerialPort> inner_;
};

}  // namespace brivel
