// A save that cannot write, and files a download must refuse without blocking, without reading more
// than a parameter file can hold, and without sending what it cannot use.

#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>

#include "parameters/parameter_file.h"
#include "platform/files.h"
#include "parameters/fixture.h"

namespace brivel {
namespace {

constexpr std::size_t kTextFileLimit = parameters::kLargestParameterFile;
TextFile read_text_file(const std::string& path) { return standard_files().read_text(path, kTextFileLimit); }

// The operating system's files, except that the step named fails.
struct FailingFiles : StandardFiles {
  enum class Step { None, Write, Rename } failing = Step::None;
  bool write_new(const std::string& path, const std::string& text) override {
    return failing != Step::Write && StandardFiles::write_new(path, text);
  }
  bool rename(const std::string& from, const std::string& to) override {
    return failing != Step::Rename && StandardFiles::rename(from, to);
  }
};

TEST_F(ParameterFileTest, SaveThatCannotWriteTellsTheOperatorAndKeepsTheOldFileByteForByte) {
  FailingFiles files;
  Bench b(instrument(), files);
  ASSERT_TRUE(connect(b));
  const std::string old = "old content \x01\xff\r\n";
  const auto expect_refused = [&](const std::string& why, const std::string& path,
                                  const std::string& kept) {
    b.dialogs.clear();
    b.control.SaveParameter(path);
    ASSERT_EQ(said(b), Strings{"Failed to save parameters."}) << why;
    EXPECT_EQ(b.dialogs.last().kind, MessageKind::Failure) << why;
    EXPECT_EQ(b.control.BlnBusy(), kFalse) << why;
    EXPECT_EQ(slurp(kept), old) << why;
  };
  // A folder the operator write-protected: refused even for a process that could write there.
  const fs::path locked = dir / "locked";
  fs::create_directory(locked);
  const std::string inside = (locked / "parameters.txt").string();
  std::ofstream(inside, std::ios::binary) << old;
  fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec);
  expect_refused("write-protected folder", inside, inside);
  fs::permissions(locked, fs::perms::owner_all);
  EXPECT_EQ(std::distance(fs::directory_iterator(locked), {}), 1) << "no temporary file left";
  put(old);
  for (const auto step : {FailingFiles::Step::Write, FailingFiles::Step::Rename}) {   // a full disk, a lost rename
    files.failing = step;
    expect_refused("a failed write or rename", file, file);
    EXPECT_EQ(entries(), 2u) << "the temporary file is removed";   // parameters.txt, locked
  }
  files.failing = FailingFiles::Step::None;
  // A device is never written, whether named or reached through a link.
  expect_refused("/dev/full", "/dev/full", file);
  fs::create_symlink("/dev/full", dir / "full");
  expect_refused("link to /dev/full", (dir / "full").string(), file);
  EXPECT_TRUE(fs::is_symlink(dir / "full"));
  EXPECT_EQ(saved(b), kLine1 + kLine2) << "and saves again once it can";
}

TEST_F(ParameterFileTest, EveryNameTheFileSystemTakesCanBeSavedTo) {
  // Names up to 255 bytes (the temporary file beside must fit too), also of three-byte characters
  // that a cut must never split; an old file of the same name is replaced.
  Bench b(instrument());
  ASSERT_TRUE(connect(b));
  const std::string ming = "\xE6\x98\x8E";   // one character, three bytes
  for (std::size_t bytes : {248u, 249u, 250u, 254u, 255u}) {
    for (const bool wide : {false, true}) {
      std::string name = wide ? "" : std::string(bytes - 4, 'p') + ".txt";
      while (wide && name.size() + ming.size() <= bytes - 4) name += ming;
      if (wide) name += std::string(bytes - 4 - name.size(), 'q') + ".txt";
      ASSERT_EQ(name.size(), bytes);
      const fs::path target = dir / name;
      std::ofstream(target, std::ios::binary) << "old";
      b.dialogs.clear();
      b.control.SaveParameter(target.string());
      EXPECT_EQ(said(b), Strings{"Parameters saved successfully."}) << bytes << (wide ? " wide" : "");
      EXPECT_EQ(slurp(target.string()), kLine1 + kLine2) << bytes;
      EXPECT_EQ(entries(), 1u) << "no temporary file left beside it";
      fs::remove(target);
    }
  }
}

TEST(StandardFiles, ReadOnlyRegularFilesUpToTheLimitWithoutBlocking) {
  const fs::path dir = fs::temp_directory_path() / ("brivel-text-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  const auto write = [&](const std::string& name, const std::string& content) {
    std::ofstream(dir / name, std::ios::binary) << content;
    return (dir / name).string();
  };
  std::string every_byte;
  for (int c = 0; c < 256; ++c) every_byte += static_cast<char>(c);
  EXPECT_EQ(read_text_file(write("bytes", every_byte)).text, every_byte) << "byte for byte";
  EXPECT_EQ(read_text_file(write("limit", std::string(kTextFileLimit, '7'))).text.size(), kTextFileLimit);
  const fs::path fifo = dir / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // A sparse 50 MB file, /dev/zero and a folder: through the download, below.
  const struct {
    std::string path;
    FileTrouble trouble;
  } refused[] = {
      {write("over", std::string(kTextFileLimit + 1, '7')), FileTrouble::TooLarge},
      {fifo.string(), FileTrouble::NotRegular}, // would block until a writer comes
      {(dir / "absent").string(), FileTrouble::Unreadable},
      {"", FileTrouble::Unreadable},
      {write("named", "x") + std::string(1, '\0') + "tail", FileTrouble::Unreadable},
  };
  for (const auto& r : refused) {
    const TextFile got = read_text_file(r.path);
    EXPECT_EQ(std::make_pair(got.text, got.trouble), std::make_pair(std::string(), r.trouble)) << r.path;
  }
  // Writing: only a new file; an existing one, a FIFO and a device are refused at once.
  const std::string target = write("written", "3");
  for (const std::string& path : {target, fifo.string(), std::string("/dev/full")})
    EXPECT_FALSE(standard_files().write_new(path, "x")) << path;
  EXPECT_EQ(slurp(target), "3") << "and stays as it was";
  fs::remove_all(dir);
}

// Commands before the first unusable field go out, nothing after; the host gets one note, the operator no box.
TEST_F(ParameterFileTest, MalformedFilesStopAtTheFirstBadFieldAndTellTheHost) {
  const std::string nothing = "; nothing was sent to the monochromator.";
  const std::string line1_sent =
      "the file is incomplete or malformed; already sent to the monochromator: instrument number "
      "258, grating code 4, blaze wavelength 500 nm, zero offset 1000 steps, year 9, power-on "
      "position 8717 steps, instrument type 6. Check the instrument's settings before use.";
  std::string lf_only = kLine1 + kLine2;
  lf_only.erase(std::remove(lf_only.begin(), lf_only.end(), '\r'), lf_only.end());
  const fs::path fifo = dir / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const fs::path huge = dir / "huge.txt";
  std::ofstream(huge).close();
  fs::resize_file(huge, 50u << 20);
  const struct {
    const char* name;
    std::string path;   // empty: the fixture's file with `content`
    std::string content;
    std::size_t writes;   // of kDownload
    std::string note;
  } cases[] = {
      {"binary junk", "", std::string("\x7f" "ELF\x02\x01\x01\0\0\0\0", 12) + "\x03\x00\x3e", 0,
       "the file is not a text file" + nothing},
      {"non-UTF-8 byte", "", "00258\t430\t5\xe9" "00\t1000\t09\t435.85\t6\t\r\n" + kLine2, 0,
       "the file is not a text file" + nothing},
      {"NUL in a field", "", kLine1.substr(0, 8) + std::string(1, '\0') + kLine1.substr(8) + kLine2, 0,
       "the file is not a text file" + nothing},
      {"50 MB", huge.string(), "", 0,
       "the file is larger than 64 KiB, far more than any parameter file" + nothing},
      {"FIFO", fifo.string(), "", 0, "the path names no regular file" + nothing},
      {"device", "/dev/zero", "", 0, "the path names no regular file" + nothing},
      {"folder", dir.string(), "", 0, "the path names no regular file" + nothing},
      {"lines without tabs", "", "00258 430 500 1000 09 435.85 6\r\n1 -5 700 3 349.6\r\n", 1,
       "the file is incomplete or malformed; already sent to the monochromator: instrument number "
       "258. Check the instrument's settings before use."},
      {"LF only: one line", "", lf_only, 7, line1_sent},
      {"empty", "", "", 0, "the file is incomplete or malformed" + nothing},
  };
  for (const auto& c : cases) {
    Bench b(with_grating(4));
    ASSERT_TRUE(connect(b));
    put(c.content);
    b.control.LoadParameter(c.path.empty() ? file : c.path);
    EXPECT_EQ(b.write_hex(), Strings(kDownload.begin(), kDownload.begin() + c.writes)) << c.name;
    expect_idle(b);
    EXPECT_TRUE(b.dialogs.shown().empty()) << c.name;
    ASSERT_EQ(b.dialogs.notes().size(), 1u) << c.name;
    EXPECT_EQ(b.dialogs.notes()[0].text_en, "The parameter download stopped: " + c.note) << c.name;
    EXPECT_FALSE(b.dialogs.notes()[0].text_zh.empty()) << c.name;
  }
}

TEST_F(ParameterFileTest, CarriageReturnsAloneAByteOrderMarkAndAFullSizeFileDownload) {
  std::string cr_only = kLine1 + kLine2;
  cr_only.erase(std::remove(cr_only.begin(), cr_only.end(), '\n'), cr_only.end());
  std::string full_size = kLine1 + kLine2;
  full_size.resize(kTextFileLimit, '\n');   // later lines are never read
  const std::pair<const char*, std::string> files[] = {
      {"CR only", cr_only},
      {"byte-order mark", "\xEF\xBB\xBF" + kLine1 + kLine2},
      {"64 KiB", full_size},
  };
  for (const auto& [name, content] : files) {
    Bench b(with_grating(4));
    load(b, content);
    EXPECT_EQ(download_writes(b), kDownload) << name;
    EXPECT_TRUE(b.dialogs.notes().empty()) << name;
    EXPECT_TRUE(b.control.BlnMonConnectFlag()) << name << ": reconnected";
    expect_idle(b);
  }
  Bench b(with_grating(4));
  load(b, full_size + "\n");
  EXPECT_TRUE(b.write_hex().empty()) << "one byte over the limit";
  ASSERT_EQ(b.dialogs.notes().size(), 1u);
}

}  // namespace
}  // namespace brivel
