#include "testkit/bench.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace brivel::testkit {

// The port is made inside the control's initialiser: the control owns it, the bench
// keeps a pointer and the simulated controller sits at its far end.
Bench::Bench(sim::Memory memory, Files& files)
    : sim(memory),
      port(nullptr),
      control(pump, dialogs, [this] {
        auto loopback = std::make_unique<LoopbackPort>(pump);
        loopback->attach(sim);
        port = loopback.get();
        return loopback;
      }(),
      files) {}

Bench::~Bench() = default;

std::vector<Bytes> Bench::writes() const {
  std::vector<Bytes> all;
  for (const Written& w : port->written()) all.push_back(w.bytes);
  return all;
}

std::vector<std::string> Bench::write_hex() const {
  std::vector<std::string> all;
  for (const Written& w : port->written()) all.push_back(hex(w.bytes));
  return all;
}

TempFile::TempFile(const std::string& content, const std::string& name)
    : path((std::filesystem::temp_directory_path() / ("brivel-" + std::to_string(::getpid()) + "-" + name)).string()) {
  std::ofstream(path, std::ios::binary) << content;
}

TempFile::~TempFile() { std::remove(path.c_str()); }

}  // namespace brivel::testkit
