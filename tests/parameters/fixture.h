#pragma once
// The instrument whose file is kLine1 + kLine2, its download's wire sequence, a fresh folder per test.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include <unistd.h>

#include "testkit/bench.h"

namespace brivel {

namespace fs = std::filesystem;
using testkit::Bench;
using Strings = std::vector<std::string>;

inline const std::string kLine1 = "00258\t430\t500\t1000\t09\t435.85\t6\t\r\n";
inline const std::string kLine2 = "1\t-5\t700\t3\t349.6\t649.6\t800.0\t\r\n";
// kLine1 + kLine2 downloaded at 0.05 nm per step, up to the reset "K" 8.
inline const Strings kDownload{"4E 01 02", "47 04", "50 01 F4", "5A 03 E8", "59 00 09",
                               "4D 00 00 22 0D",  // 435.85 nm = 8717 steps
                               "54 06", "46 03 0D",
                               "80 05 0D",  // value A -5 as 32773
                               "02 BC 0D", "01 B5 0D", "03 2C 0D", "03 E8 0D", "4B 08"};

using testkit::with_grating;
using testkit::connect;

// The instrument whose saved file is kLine1 + kLine2.
inline sim::Memory instrument() {
  sim::Memory m = with_grating(4);   // 0.05 nm per step
  m.instrument_no = 258, m.blaze = 500, m.zero_offset = 1000, m.year = 9, m.power_on = 8717;
  m.type = 6, m.filter_state = 1, m.filter_count = 3, m.filter_a = 0x8005, m.filter_b = 700;
  m.filter_start = {437, 812, 1000, 0, 0, 0};
  return m;
}

// What a download carries: all but the wheel's on/off state and the speed.
inline auto carried(const sim::Memory& m) {
  return std::make_tuple(m.instrument_no, m.grating, m.blaze, m.zero_offset, m.year, m.power_on,
                         m.type, m.filter_count, m.filter_a, m.filter_b, m.filter_start);
}

inline Strings said(const Bench& b) { return b.dialogs.texts(); }

inline std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

struct ParameterFileTest : ::testing::Test {
  fs::path dir = fs::temp_directory_path() /
                 ("brivel-params-" + std::to_string(::getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
  std::string file = (dir / "parameters.txt").string();
  ParameterFileTest() {
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  ~ParameterFileTest() override { std::error_code ec; fs::remove_all(dir, ec); }
  std::size_t entries() const { return std::distance(fs::directory_iterator(dir), {}); }
  void put(const std::string& content) { std::ofstream(file, std::ios::binary) << content; }
  std::string saved(Bench& b) {
    b.dialogs.clear();
    b.control.SaveParameter(file);
    return slurp(file);
  }
  void load(Bench& b, const std::string& content) {
    put(content);
    if (!b.control.BlnMonConnectFlag()) connect(b);
    b.clear();
    b.control.LoadParameter(file);
  }
  // The writes before the reconnect's first question ("y").
  static Strings download_writes(const Bench& b) {
    Strings all = b.write_hex();
    all.erase(std::find(all.begin(), all.end(), "79"), all.end());
    return all;
  }
  static void expect_idle(Bench& b) {
    EXPECT_EQ(b.control.BlnBusy(), kFalse);
    EXPECT_FALSE(b.control.surface().at("FrmSplash").visible());
  }
};

}  // namespace brivel
