// Arbitrary parameter files through LoadParameter, against the simulated controller in
// virtual time: the file routine reads them, the download turns them into commands.
//
// Input:
//   byte 0   the grating of the instrument (its step size turns wavelengths into
//            positions), one of the known codes or an unknown one (step size 0)
//   rest     the file
//
// Whatever the file holds, the download sends only whole, well-formed commands in
// their order (N, G, P, Z, Y, M, T, the filter packets, the reset "K" 8), stops at the
// first field it cannot use, and then either reconnects (the download went through) or
// tells the host in one note what was already sent. It never shows the operator a box,
// and it leaves BlnBusy lowered and the wait window hidden. The check that hosts run
// before a download (parse_parameter_file) reads the same bytes and names a place, and
// what it takes is formatted back into the same fields.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "fuzz_input.h"
#include "parameters/parameter_file.h"
#include "platform/files.h"
#include "testkit/bench.h"

namespace {

using brivel::Bytes;

constexpr int kGratingCodes[] = {1, 2, 3, 4, 5, 17, 18, 19, 20, 6};
std::string folder;
std::string file;

void remove_folder() {
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
}

// The writes of a download, up to the reconnect, checked against its command order.
// Gives the number of writes that belong to the download; `reset` tells whether it
// got as far as the reset.
std::size_t check_download_writes(const std::vector<Bytes>& writes, bool& reset) {
  std::size_t i = 0;
  const auto letter_at = [&](std::size_t k) { return writes[k].empty() ? 0 : writes[k][0]; };
  const auto next_is = [&](char letter, std::size_t length) {
    if (i >= writes.size() || letter_at(i) != static_cast<std::uint8_t>(letter)) return false;
    FUZZ_CHECK(writes[i].size() == length, "a command has its length");
    ++i;
    return true;
  };
  reset = false;
  // Line 1: N, then G if the grating field names a known code, then P Z Y M T.
  if (next_is('N', 3)) {
    next_is('G', 2);
    if (next_is('P', 3) && next_is('Z', 3) && next_is('Y', 3) && next_is('M', 5) && next_is('T', 2)) {
      // Line 2: the filter packets, all or none, then the reset.
      if (next_is('F', 3)) {
        const std::size_t count = writes[i - 1][1];
        FUZZ_CHECK(writes[i - 1][2] == 0x0D, "the count packet ends in CR");
        FUZZ_CHECK(count <= 6, "at most six filters are written");
        for (std::size_t k = 0; k < count + 2; ++k, ++i) {
          FUZZ_CHECK(i < writes.size(), "the filter table is written whole");
          FUZZ_CHECK(writes[i].size() == 3 && writes[i][2] == 0x0D, "a filter packet is hi, lo, CR");
        }
      }
      if (i < writes.size() && writes[i] == Bytes{'K', 0x08}) {
        ++i;
        reset = true;
      }
    }
  }
  // After the download only the reconnect may follow, and only after a reset.
  if (i < writes.size()) {
    FUZZ_CHECK(reset, "nothing but the download's commands is written");
    FUZZ_CHECK(writes[i] == Bytes{'y'}, "the reconnect begins with its first question");
  }
  return i;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* base = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
  std::string pattern = std::string(base) + "/brivel-fuzz-parameters-XXXXXX";
  if (!::mkdtemp(pattern.data())) std::abort();
  folder = pattern;
  file = folder + "/parameters.txt";
  std::atexit(remove_folder);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace brivel;
  fuzz::Input in(data, size);
  sim::Memory memory = sim::factory_memory();
  memory.grating = static_cast<std::uint8_t>(kGratingCodes[in.byte() % std::size(kGratingCodes)]);
  const Bytes content = in.rest();
  {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
  }
  FUZZ_CHECK(standard_files().read_text(file, parameters::kLargestParameterFile).text ==
                 std::string(content.begin(), content.end()),
             "a small file reads back byte for byte");

  // The check hosts run before a download: it names a place inside the file, in both
  // languages, or finds nothing wrong.
  const std::string text(content.begin(), content.end());
  const parameters::ParsedParameterFile parsed = parameters::parse_parameter_file(text);
  const auto& problem = parsed.problem;
  if (parsed.fields) {
    // What passes is written back as the same fields.
    const std::string written = parameters::format_parameter_file(*parsed.fields);
    FUZZ_CHECK(parameters::parse_parameter_file(written).fields == parsed.fields, "a file reads back as it was written");
  }
  if (problem) {
    const int lines = static_cast<int>(std::count(text.begin(), text.end(), '\r')) + 1;
    FUZZ_CHECK(problem->line >= 0 && problem->line <= std::max(lines, 3) && problem->field >= 0,
               "the place is a line of the file and a field");
    FUZZ_CHECK(!problem->text_en.empty() && !problem->text_zh.empty(), "the problem is worded in both languages");
    FUZZ_CHECK(parameters::check_parameter_text(text) == problem->text_en,
               "both forms of the check agree");
  }

  testkit::Bench b(memory);
  b.sim.motor().reposition_rate = 1e7;   // the reset takes no time worth waiting for
  b.control.OpenCom();
  FUZZ_CHECK(b.control.BlnMonConnectFlag() == kTrue, "the simulated controller connects");
  b.clear();
  b.control.LoadParameter(file);

  FUZZ_CHECK(b.control.BlnBusy() == kFalse, "BlnBusy is lowered");
  FUZZ_CHECK(!b.control.surface().at("FrmSplash").visible(), "the wait window is hidden");
  FUZZ_CHECK(b.dialogs.shown().empty(), "the download shows the operator nothing");
  const std::vector<Bytes> writes = b.writes();
  // Warnings (a field read as 0, an unknown grating code on the reconnect) may come
  // with any download; a failure note only with one that stopped.
  std::size_t failures = 0;
  for (const HostNote& n : b.dialogs.notes()) failures += n.kind != HostNote::Kind::Warning;
  const bool stopped = failures > 0;
  FUZZ_CHECK(failures <= 1, "one failure note at most");
  bool reset = false;
  const std::size_t downloaded = check_download_writes(writes, reset);
  FUZZ_CHECK(stopped == (downloaded == writes.size()), "a finished download reconnects, a stopped one tells the host");
  if (!stopped) {
    FUZZ_CHECK(reset, "a finished download has reset the instrument");
    FUZZ_CHECK(b.control.BlnMonConnectFlag() == kTrue, "reconnected after the download");
  }
  return 0;
}
