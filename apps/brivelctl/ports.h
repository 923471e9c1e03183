#pragma once
// Serial-port decorators of brivelctl. Each wraps the real port and passes every call
// on; a decorator overrides only what it changes. The receive event of the wrapped
// port is raised again by the decorator, so the control sees one port. (The traffic
// of --trace is logged by the real port itself, see qt/core/serial_log.h.)

#include <QString>
#include <memory>

#include "platform/serial_port.h"

namespace brivel::ctl {

class ForwardingPort : public SerialPort {
 public:
  explicit ForwardingPort(std::unique_ptr<SerialPort> inner);

  void set_port_number(int number) override { inner_->set_port_number(number); }
  int port_number() const override { return inner_->port_number(); }
  std::string device_name() const override { return inner_->device_name(); }
  void set_settings(const std::string& settings) override { inner_->set_settings(settings); }
  std::string settings() const override { return inner_->settings(); }
  void set_in_buffer_size(int bytes) override { inner_->set_in_buffer_size(bytes); }
  void set_out_buffer_size(int bytes) override { inner_->set_out_buffer_size(bytes); }
  void set_binary_mode(bool bytes) override { inner_->set_binary_mode(bytes); }
  void set_input_len(int bytes) override { inner_->set_input_len(bytes); }
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

 protected:
  SerialPort& inner() { return *inner_; }

 private:
  std::unique_ptr<SerialPort> inner_;
};

// Opens `device` for whatever port number is in force when the port opens (--port,
// --sim). The explicit device wins over a BRIVEL_COM<n> variable of the environment.
class PinnedDevicePort : public ForwardingPort {
 public:
  PinnedDevicePort(std::unique_ptr<SerialPort> inner, QString device);
  void open() override;
  std::string device_name() const override;

 private:
  QString device_;
};

}  // namespace brivel::ctl
