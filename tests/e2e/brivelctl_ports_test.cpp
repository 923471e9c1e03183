// brivelctl finding the instrument's port over real pseudo-terminals: the list, the mapping file, and
// why a connection failed (the operator's message stays "Monochromator connection failed.").

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "ctl_helpers.h"
#include "live_program.h"

namespace {

using namespace e2e::brivelctl;

constexpr const char* kConnectionFailed = "[Prompt] Monochromator connection failed.";

// A configuration folder of its own (XDG_CONFIG_HOME, no system folders): the mapping file is the test's.
struct ConfigHome {
  ConfigHome() : root(temp_path("config")) {
    mkdir(root.c_str(), 0755);
    mkdir((root + "/brivel").c_str(), 0755);
    mkdir((root + "/none").c_str(), 0755);
  }
  ~ConfigHome() {
    std::remove(file().c_str());
    rmdir((root + "/brivel").c_str());
    rmdir((root + "/none").c_str());
    rmdir(root.c_str());
  }
  std::string file() const { return root + "/brivel/ports.conf"; }
  void write(const std::string& text) const { std::ofstream(file()) << text; }
  Words env(Words more = {}) const {
    more.push_back("XDG_CONFIG_HOME=" + root);
    more.push_back("XDG_CONFIG_DIRS=" + root + "/none");
    return more;
  }
  std::string root;
};

// The rows of the port-number table of "ports": number, device, state, where from.
struct PortRow {
  std::string number, device, state, from;
};
std::vector<PortRow> port_rows(const std::string& out) {
  std::vector<PortRow> rows;
  bool in_table = false;
  for (const std::string& line : lines(out)) {
    if (!in_table) {
      in_table = line.rfind("PORT ", 0) == 0;
      continue;
    }
    if (line.empty()) break;
    std::istringstream words(line);
    PortRow row;
    words >> row.number >> row.device >> row.state;
    std::getline(words >> std::ws, row.from);
    rows.push_back(row);
  }
  return rows;
}

TEST(BrivelctlPorts, ListsEveryPortNumberWithItsDeviceAndWhereItCameFrom) {
  ConfigHome config;
  config.write("# the lab's settings\n\n2 = /dev/ttyUSB7   # the monochromator\n");
  SilentPeer peer;
  ASSERT_FALSE(peer.device.empty());
  const Finished f = ctl({"ports"}, config.env({"BRIVEL_COM3=" + peer.device, "BRIVEL_COM17=/dev/ttyUSB0"}));
  ASSERT_EQ(f.status, 0) << describe(f);
  const std::vector<PortRow> rows = port_rows(f.out);
  ASSERT_EQ(rows.size(), 16u) << f.out;
  for (std::size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(rows[i].number, std::to_string(i + 1));
  EXPECT_EQ(rows[1].device + " " + rows[1].from, "/dev/ttyUSB7 " + config.file() + " line 3");
  EXPECT_EQ(rows[2].device + " " + rows[2].state + " " + rows[2].from, peer.device + " present BRIVEL_COM3");
  EXPECT_TRUE(has_line(f.out, "mapping file: " + config.file())) << f.out;
  // The variable that cannot be used is named on standard error, by open too (once).
  const std::string problem = "BRIVEL_COM17: port numbers run from 1 to 16; the variable is not used";
  EXPECT_TRUE(has_line(f.err, "brivelctl: ports: " + problem)) << f.err;
  const Finished open = ctl({"--com", "3", "open", "open"},
                            config.env({"BRIVEL_COM3=" + peer.device, "BRIVEL_COM17=/dev/ttyUSB0"}));
  EXPECT_EQ(open.status, 3) << describe(open);
  EXPECT_TRUE(has_line(open.err, "brivelctl: open: " + problem)) << open.err;
}

TEST(BrivelctlPorts, AMappingFileWithABadLineOpensNothingItMightHaveMeant) {
  ConfigHome config;
  LinkedSim instrument("good-line", {"--instrument-no", "4242"});
  ASSERT_TRUE(instrument.ready()) << "brivel-sim made no link";
  config.write("4 = " + instrument.link + "\nfive = /dev/ttyUSB5\n");
  const std::string problem = config.file() + " line 2: \"five\" is not a port number";
  // Port 5 is not opened (nor the platform's /dev/ttyS4): the line is the reason.
  const Finished five = ctl({"--com", "5", "open", "info"}, config.env());
  EXPECT_EQ(five.status, 3) << describe(five);
  EXPECT_TRUE(has_line(five.err, kConnectionFailed)) << five.err;
  EXPECT_TRUE(has_line(five.err, "brivelctl: OpenCom: port failure: cannot open port 5: the mapping "
                                 "file has a line it cannot use (" + problem + "); correct it first"))
      << five.err;
  EXPECT_TRUE(five.out.empty()) << five.out;
  // The good line still sends port 4 to the instrument; the list shows both.
  const Finished four = ctl({"--com", "4", "open", "get", "LngInstrumentNo"}, config.env());
  EXPECT_EQ(four.status, 0) << describe(four);
  EXPECT_EQ(lines(four.out), Words{"4242"});
  const Finished list = ctl({"ports"}, config.env());
  EXPECT_EQ(list.status, 0) << describe(list);
  EXPECT_TRUE(has_line(list.err, "brivelctl: ports: " + problem)) << list.err;
  const std::vector<PortRow> rows = port_rows(list.out);
  ASSERT_EQ(rows.size(), 16u) << list.out;
  EXPECT_EQ(rows[3].device, instrument.link);
  EXPECT_EQ(rows[4].device + " " + rows[4].state, "- unusable");
}

TEST(BrivelctlPorts, AFailedConnectionNamesTheDeviceAndTheReasonAndOpensNothing) {
  ConfigHome config;  // no mapping file
  const std::string folder = config.root;
  const std::string file = config.root + "/params.txt";
  std::ofstream(file) << "12345\t...\n";
  const struct {
    Words args;
    Words env;
    std::string device, port, reason;
  } cases[] = {
      {{"--port", folder, "open"}, {}, folder, "port 1", "is a directory, not a serial device"},
      {{"--port", file, "open"}, {}, file, "port 1", "is a regular file, not a serial device"},
      {{"--port", "/dev/null", "open"}, {}, "/dev/null", "port 1",
       "is a character device but not a serial device"},
      {{"--com", "2", "open"}, {"BRIVEL_COM2=/dev/ttyUSB-missing"}, "/dev/ttyUSB-missing", "port 2",
       "no such device"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.device);
    const Finished f = ctl(c.args, config.env(c.env));
    EXPECT_EQ(f.status, 3) << describe(f);
    EXPECT_TRUE(has_line(f.err, kConnectionFailed)) << f.err;
    EXPECT_TRUE(has_line(f.err, "brivelctl: OpenCom: port failure: cannot open " + c.device + " (" +
                                    c.port + "): " + c.reason))
        << f.err;
  }
  // The file was not touched as a port would be (nothing was written into it).
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(std::ifstream(file).rdbuf()), {}), "12345\t...\n");
  std::remove(file.c_str());
}

// brivelctl copied into a folder every user may enter (the build folder may lie in a closed home);
// the program alone suffices: it links the brivel libraries statically and Qt from the system.
struct ProgramForEveryone {
  explicit ProgramForEveryone(const std::string& program) {
    char pattern[] = "/tmp/brivelctl-for-everyone-XXXXXX";
    if (!mkdtemp(pattern)) return;
    folder = pattern;
    path = folder + "/brivelctl";
    std::error_code failed;
    std::filesystem::copy_file(program, path, failed);
    if (failed || chmod(folder.c_str(), 0755) != 0 || chmod(path.c_str(), 0755) != 0) path.clear();
  }
  ~ProgramForEveryone() {
    if (folder.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  }
  std::string folder, path;
};

TEST(BrivelctlPorts, PermissionDeniedSaysWhatToDo) {
  SilentPeer peer;
  ASSERT_FALSE(peer.device.empty());
  ConfigHome config;
  e2e::LiveSetup setup;
  setup.env = config.env();
  std::string program = BRIVELCTL_PROGRAM;
  std::string expected;
  std::unique_ptr<ProgramForEveryone> copy;
  if (geteuid() == 0) {
    // As root, run as nobody against a device of the dialout group, as an adapter is.
    const passwd* nobody = getpwnam("nobody");
    if (!nobody) GTEST_SKIP() << "running as root and there is no user nobody to be denied the device";
    copy = std::make_unique<ProgramForEveryone>(program);
    ASSERT_FALSE(copy->path.empty()) << "cannot copy " << program << " into a folder under /tmp";
    program = copy->path;
    setup.uid = static_cast<int>(nobody->pw_uid);
    setup.gid = static_cast<int>(nobody->pw_gid);
    e2e::LiveProgram probe(program, {"--version"}, setup);
    const Finished version = probe.finish(kLimit);
    if (version.status != 0)
      GTEST_SKIP() << "brivelctl does not run as nobody even from " << program << " (status " << version.status
                   << ", e.g. /tmp mounted noexec): " << version.err;
    ASSERT_EQ(chown(peer.device.c_str(), 0, 20), 0);
    ASSERT_EQ(chmod(peer.device.c_str(), 0660), 0);
    expected = "permission denied: add the user to the dialout group and log in again";
  } else {
    ASSERT_EQ(chmod(peer.device.c_str(), 0), 0);
    expected = "permission denied: ";
  }
  e2e::LiveProgram run(program, {"--port", peer.device, "open"}, setup);
  const Finished f = run.finish(kLimit);
  EXPECT_EQ(f.status, 3) << describe(f);
  EXPECT_TRUE(has_line(f.err, kConnectionFailed)) << f.err;
  const std::string note = "brivelctl: OpenCom: port failure: cannot open " + peer.device + " (port 1): ";
  EXPECT_NE(f.err.find(note + expected), std::string::npos) << f.err;
}

TEST(BrivelctlPorts, APortHeldByAnotherProgramSaysSoAndTheHolderStopsOnSigterm) {
  LinkedSim instrument("held");
  ASSERT_TRUE(instrument.ready()) << "brivel-sim made no link";
  e2e::LiveProgram holder(BRIVELCTL_PROGRAM,
                          {"--port", instrument.link, "open", "get", "BlnMonConnectFlag", "wait", "15"});
  ASSERT_TRUE(holder.read_until([](const std::string& out, const std::string&) { return has_line(out, "True"); },
                                kLimit))
      << holder.err();
  const Finished second = ctl({"--port", instrument.link, "open"});
  EXPECT_EQ(second.status, 3) << describe(second);
  EXPECT_TRUE(has_line(second.err, kConnectionFailed)) << second.err;
  // The holder's name and process, and the lock file it holds the port by.
  const std::string note = "brivelctl: OpenCom: port failure: cannot open " + instrument.link +
                           " (port 1): in use by another program (brivelctl, process " +
                           std::to_string(holder.pid()) + ", lock file /";
  const std::size_t at = second.err.find(note);
  ASSERT_NE(at, std::string::npos) << second.err;
  const std::string line = second.err.substr(at, second.err.find('\n', at) - at);
  EXPECT_NE(line.find("/LCK.."), std::string::npos) << line;
  EXPECT_EQ(line.back(), ')') << line;
  // SIGTERM ends the holder's wait: a status of its own, no step after it runs.
  holder.signal(SIGTERM);
  const Finished held = holder.finish(kLimit);
  EXPECT_EQ(held.status, 143) << describe(held);
  EXPECT_TRUE(has_line(held.err, "brivelctl: stopped by SIGTERM")) << held.err;
}

}  // namespace
