// The receive handler and the waits under arbitrary replies: the control runs one
// operation (identify; move absolute, relative or to the target box; refresh; jog;
// download; filter wheel; speed; reposition; power-on position), possibly stopped from
// outside, while the far end of the line answers with bytes from the input, cut into
// packets at times the input chooses. Whatever arrives, the operation must end in
// bounded virtual time with BlnBusy lowered and the wait window hidden, and nothing
// but the documented run-time failure may leave a public member.
//
// Input:
//   byte 0      the operation (modulo kOperations)
//   bytes 1-2   its argument (a wavelength in 0.1 nm, a jog's hold time in ms, a speed ...)
//   byte 3      a stop requested from outside after 10 x n ms (0: none)
//   then chunks, each [timing][length][bytes]:
//     timing bit 7    the chunk answers the control's next command (the delay counts
//                     from its last byte), else the delay counts from the chunk before
//     timing bits 0-6 delay in ms (0 to 119), or (n - 119) x 250 ms from 120 on
//     length          0 to 39 bytes (modulo 40); 255 makes the device vanish instead

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "fuzz_input.h"
#include "platform/failure.h"
#include "testkit/bench.h"

namespace {

using brivel::Bytes;
using brivel::fuzz::Input;
constexpr double kNever = std::numeric_limits<double>::infinity();

class ChunkedFarEnd : public brivel::testkit::FarEnd {
 public:
  ChunkedFarEnd(Input& in, double now) : released_at_(now) {
    while (!in.empty()) {
      Chunk c;
      const std::uint8_t timing = in.byte();
      c.after_host = (timing & 0x80) != 0;
      const int delay = timing & 0x7F;
      c.delay = delay < 120 ? delay / 1000.0 : (delay - 119) * 0.25;
      const std::uint8_t length = in.byte();
      c.vanish = length == 255;
      if (!c.vanish) c.bytes = in.bytes(length % 40);
      chunks_.push_back(std::move(c));
    }
  }

  void receive(const Bytes& bytes, double now) override {
    if (bytes.empty()) return;
    host_since_release_ = true;
    last_host_byte_ = now;
  }
  Bytes take_output(double now) override {
    Bytes out;
    while (next_ < chunks_.size() && !gone_) {
      const double due = due_time();
      if (due > now) break;
      const Chunk& c = chunks_[next_++];
      released_at_ = due;
      host_since_release_ = false;
      if (c.vanish) {
        gone_ = true;
        break;
      }
      out.insert(out.end(), c.bytes.begin(), c.bytes.end());
    }
    return out;
  }
  double next_due() const override { return gone_ || next_ >= chunks_.size() ? kNever : due_time(); }
  void advance(double) override {}
  bool vanished() const override { return gone_; }
  void port_reopened() override {}

 private:
  struct Chunk {
    bool after_host = false;
    bool vanish = false;
    double delay = 0;
    Bytes bytes;
  };
  double due_time() const {
    const Chunk& c = chunks_[next_];
    if (!c.after_host) return released_at_ + c.delay;
    // After the control's next command: `delay` after its last byte so far (a byte
    // that comes later moves the reply on, so a reply follows the whole command).
    return host_since_release_ ? last_host_byte_ + c.delay : kNever;
  }

  std::vector<Chunk> chunks_;
  std::size_t next_ = 0;
  double released_at_;
  bool host_since_release_ = false;   // the control wrote since the last release
  double last_host_byte_ = 0;         // when its latest byte arrived
  bool gone_ = false;
};

std::string folder;           // removed at exit
std::string parameter_file;   // a sound file for the download

void remove_folder() {
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
}

enum Operation {
  Identify, Move, Refresh, JogUp, JogDown, StepUp, Run, Download, FilterSet, FilterSwitch,
  Speed, Reanchor, SetPowerOn, kOperations
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char dir[] = "/tmp/brivel-fuzz-receive-XXXXXX";
  if (!::mkdtemp(dir)) std::abort();
  folder = dir;
  std::atexit(remove_folder);
  parameter_file = folder + "/parameters.txt";
  std::ofstream(parameter_file, std::ios::binary)
      << "00258\t430\t500\t1000\t09\t435.85\t6\t\r\n1\t-5\t700\t3\t349.6\t649.6\t800.0\t\r\n";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace brivel;
  Input in(data, size);
  const int operation = in.byte() % kOperations;
  const std::uint16_t argument = in.word();
  const std::uint8_t stop_after = in.byte();

  sim::Memory memory = sim::factory_memory();
  memory.grating = 4;   // 0.05 nm per step: moves of a few hundred steps
  testkit::Bench b(memory);
  b.sim.motor().reposition_rate = 1e7;
  // Short bounds: the same paths in fewer virtual seconds, so more inputs per second.
  WaitBounds& bounds = b.control.bounds();
  bounds.ack = 1.0;
  bounds.data = 1.0;
  bounds.final_position = 1.0;
  bounds.motion_margin = 2.0;   // a return to the reference: a few seconds besides its travel
  // Every operation but identification starts connected, through the simulated
  // controller; then the input takes over the far end.
  if (operation != Identify) {
    b.control.OpenCom();
    FUZZ_CHECK(b.control.BlnMonConnectFlag() == kTrue, "the simulated controller connects");
  }
  const double start = b.pump.now();
  b.port->attach(std::make_unique<ChunkedFarEnd>(in, start));
  if (stop_after != 0) b.pump.after(stop_after * 0.01, [&] { b.control.RequestStop(); });

  switch (operation) {
    case Identify: b.control.OpenCom(); break;
    case Move:
    case SetPowerOn: {
      double value = argument / 10.0;
      try {
        if (operation == Move)
          b.control.MonochromatorMoveTo(value);
        else
          b.control.setDblOpenPos(value);
      } catch (const RuntimeFailure&) {
        // These two members pass a run-time failure to the host, as documented.
      }
      break;
    }
    case Refresh: b.control.CmdMonoRefresh_Click(); break;
    case JogUp:
    case JogDown: {
      const std::int16_t left = 1;
      b.pump.after((argument % 1500) / 1000.0, [&] {
        if (operation == JogUp) b.control.CmdHandUp_MouseUp(left);
        else b.control.CmdHandDown_MouseUp(left);
      });
      if (operation == JogUp) b.control.CmdHandUp_MouseDown(left);
      else b.control.CmdHandDown_MouseDown(left);
      break;
    }
    case StepUp:
      // A relative move follows until an end sign or the stop button: an operator who
      // sees nothing happen presses it.
      b.pump.after(3.0, [&] { b.control.CmdStop_Click(); });
      b.control.surface().at("CboDistance").set_text(std::to_string(argument % 1000));
      b.control.CmdUp_Click();
      break;
    case Run:
      b.control.surface().at("CboTarget").set_text(std::to_string(argument / 10.0));
      b.control.CmdRun_Click();
      break;
    case Download: b.control.LoadParameter(parameter_file); break;
    case FilterSet:
      b.control.surface().at("CboFilterCount").set_text(std::to_string(argument % 7));
      b.control.CmdFilterSet_Click();
      break;
    case FilterSwitch: b.control.ChkUseFilter_Click(); break;
    case Speed: {
      std::int16_t speed = static_cast<std::int16_t>(argument % 300);
      b.control.setIntSpeed(speed);
      break;
    }
    case Reanchor: b.control.CmdReAnchor_Click(); break;
    default: break;
  }
  const double elapsed = b.pump.now() - start;
  // Let whatever the far end still sends arrive with no operation running.
  b.control.clear_stop_request();
  b.pump.run_for(3.0);

  FUZZ_CHECK(b.control.BlnBusy() == kFalse, "BlnBusy is lowered when the operation ends");
  FUZZ_CHECK(!b.control.surface().at("FrmSplash").visible(), "the wait window is hidden");
  FUZZ_CHECK(std::isfinite(b.control.DblMonoWaveLen()), "the wavelength is a number");
  // Every wait is bounded; the input can stretch a run only chunk by chunk.
  FUZZ_CHECK(elapsed < 600.0 + 2.0 * static_cast<double>(size), "the operation ends in bounded time");
  return 0;
}
