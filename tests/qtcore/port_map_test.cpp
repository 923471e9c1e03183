// Port numbers 1 to 16 and their devices: the settings' order, adapters in free numbers, broken settings.

#include <gtest/gtest.h>

#include "qt/core/port_map.h"

namespace brivel::qt {
namespace {

// The device and the source of every port, for compact expectations.
struct Seen {
  QString device;
  PortSource source;
};

PortSources with_file(const QString& text) {
  PortSources s;
  s.file_path = "/home/ana/.config/brivel/ports.conf";
  s.file_text = text;
  return s;
}

std::vector<QString> problem_texts(const PortMap& map) {
  std::vector<QString> texts;
  for (const PortMapProblem& p : map.problems()) texts.push_back(p.text());
  return texts;
}

TEST(PortMap, EnvironmentThenProgramThenFileThenAdaptersThenPlatform) {
  PortSources s = with_file("1 = /dev/file1\n2 = /dev/file2\n3 = /dev/file3\n");
  s.environment = {{"BRIVEL_COM1", "/dev/env1"}};
  s.program = {{1, "/dev/prog1"}, {2, "/dev/prog2"}};
  s.adapters = {"/dev/serial/by-id/usb-B", "/dev/serial/by-id/usb-A"};
  const PortMap map(s);
  EXPECT_EQ(map.port(1).device, "/dev/env1");
  EXPECT_EQ(map.port(1).origin, "BRIVEL_COM1");
  EXPECT_EQ(map.port(2).device, "/dev/prog2");
  EXPECT_EQ(map.port(2).source, PortSource::Program);
  EXPECT_EQ(map.port(3).device, "/dev/file3");
  EXPECT_EQ(map.port(3).origin, "/home/ana/.config/brivel/ports.conf line 3");
  // The adapters take the free numbers in the order of their names.
  EXPECT_EQ(map.port(4).device, "/dev/serial/by-id/usb-A");
  EXPECT_EQ(map.port(5).device, "/dev/serial/by-id/usb-B");
  EXPECT_EQ(map.port(5).source, PortSource::Adapter);
  EXPECT_EQ(map.port(6).device, "/dev/ttyS5");
}

TEST(PortMap, AnAdapterNamedBySettingKeepsThatNumberOnly) {
  // Port 3 is the FTDI adapter's kernel name: its by-id link gets no second number; the other takes 1.
  PortSources s;
  s.environment = {{"BRIVEL_COM3", "ttyUSB0"}};
  s.adapters = {"/dev/serial/by-id/usb-FTDI", "/dev/serial/by-id/usb-Prolific"};
  s.resolve = [](const QString& path) {
    if (path == "/dev/serial/by-id/usb-FTDI") return QString("/dev/ttyUSB0");
    if (path == "/dev/serial/by-id/usb-Prolific") return QString("/dev/ttyUSB1");
    return path;
  };
  const PortMap map(s);
  EXPECT_EQ(map.port(3).device, "/dev/ttyUSB0");  // a bare name lies under /dev
  EXPECT_EQ(map.port(1).device, "/dev/serial/by-id/usb-Prolific");
  EXPECT_EQ(map.port(2).device, "/dev/ttyS1");
}

TEST(PortMap, WithoutSettingsPlatformDevicesAndAdaptersFillTheNumbersUpTo16) {
  const PortMap plain{PortSources{}};
  ASSERT_EQ(plain.ports().size(), 16u);
  EXPECT_EQ(plain.port(1).device, "/dev/ttyS0");
  EXPECT_EQ(plain.port(16).device, "/dev/ttyS15");
  EXPECT_EQ(plain.port(16).source, PortSource::Platform);
  EXPECT_TRUE(plain.problems().empty());
  PortSources s;
  for (int i = 0; i < 20; ++i) s.adapters << QString("/dev/serial/by-id/usb-%1").arg(i + 10);
  const PortMap many(s);
  EXPECT_EQ(many.port(1).device, "/dev/serial/by-id/usb-10");
  EXPECT_EQ(many.port(16).device, "/dev/serial/by-id/usb-25");
  EXPECT_EQ(many.port(16).source, PortSource::Adapter);
}

TEST(PortMap, MappingFileTakesCommentsBlankLinesAndBareNames) {
  const PortMap map(with_file("# the lab's monochromator\n\n  2 =ttyUSB0   # FTDI cable\n"
                              "7= /dev/serial/by-id/usb-X\r\n"));
  EXPECT_TRUE(map.problems().empty()) << problem_texts(map).front().toStdString();
  EXPECT_EQ(map.port(2).device, "/dev/ttyUSB0");
  EXPECT_EQ(map.port(2).origin, "/home/ana/.config/brivel/ports.conf line 3");
  EXPECT_EQ(map.port(7).device, "/dev/serial/by-id/usb-X");
  EXPECT_EQ(map.port(1).source, PortSource::Platform);
}

TEST(PortMap, BadLinesAreNamedAndLeaveTheNumbersTheFileDoesNotGiveUnusable) {
  const PortMap map(with_file("2 = /dev/ttyUSB0\n"
                              "3 - /dev/ttyUSB1\n"          // no "="
                              "COM4 = /dev/ttyUSB2\n"       // no number
                              "17 = /dev/ttyUSB3\n"         // out of range
                              "0 = /dev/ttyUSB4\n"
                              "5 =\n"));                    // no device
  const std::vector<QString> expected = {
      "/home/ana/.config/brivel/ports.conf line 2: \"3 - /dev/ttyUSB1\" is not of the form \"n = DEVICE\"",
      "/home/ana/.config/brivel/ports.conf line 3: \"COM4\" is not a port number",
      "/home/ana/.config/brivel/ports.conf line 4: port 17: port numbers run from 1 to 16",
      "/home/ana/.config/brivel/ports.conf line 5: port 0: port numbers run from 1 to 16",
      "/home/ana/.config/brivel/ports.conf line 6: port 5 has no device",
  };
  EXPECT_EQ(problem_texts(map), expected);
  // The good line works; every other number has nothing to open, and says why.
  EXPECT_EQ(map.port(2).device, "/dev/ttyUSB0");
  for (int n : {1, 3, 5, 16}) {
    SCOPED_TRACE(n);
    EXPECT_EQ(map.port(n).source, PortSource::Unusable);
    EXPECT_TRUE(map.port(n).device.isEmpty());
    EXPECT_TRUE(map.port(n).problem.contains("line 2")) << map.port(n).problem.toStdString();
  }
}

TEST(PortMap, EnvironmentAndProgramStillWinOverABrokenFile) {
  PortSources s = with_file("junk\n");
  s.environment = {{"BRIVEL_COM1", "/dev/pts/4"}};
  s.program = {{2, "/dev/ttyACM0"}};
  s.adapters = {"/dev/serial/by-id/usb-A"};
  const PortMap map(s);
  EXPECT_EQ(map.port(1).device, "/dev/pts/4");
  EXPECT_EQ(map.port(2).device, "/dev/ttyACM0");
  EXPECT_EQ(map.port(3).source, PortSource::Unusable);  // not the adapter: the file may have meant it
}

TEST(PortMap, ANumberGivenTwiceIsUnusableWithBothLines) {
  const PortMap map(with_file("1 = /dev/ttyUSB0\n2 = /dev/ttyUSB1\n1 = /dev/ttyUSB2\n"));
  EXPECT_EQ(map.port(1).source, PortSource::Unusable);
  EXPECT_TRUE(map.port(1).problem.contains("lines 1, 3")) << map.port(1).problem.toStdString();
  EXPECT_EQ(map.port(2).device, "/dev/ttyUSB1");
  ASSERT_EQ(map.problems().size(), 1u);
  EXPECT_EQ(map.problems()[0].where, "/home/ana/.config/brivel/ports.conf line 3");
}

TEST(PortMap, AnUnreadableFileLeavesEveryNumberItMightGiveUnusable) {
  PortSources s = with_file("");
  s.file_error = "Permission denied";
  s.environment = {{"BRIVEL_COM9", "/dev/ttyUSB9"}};
  const PortMap map(s);
  EXPECT_EQ(map.port(9).device, "/dev/ttyUSB9");
  EXPECT_EQ(map.port(1).source, PortSource::Unusable);
  EXPECT_TRUE(map.port(1).problem.contains("cannot be read: Permission denied"));
}

TEST(PortMap, PortVariablesOutsideTheRangeAreProblemsAndOthersAreNotLookedAt) {
  PortSources s;
  s.environment = {{"BRIVEL_COM0", "/dev/a"},     {"BRIVEL_COM17", "/dev/b"},
                   {"BRIVEL_COM01", "/dev/c"},    {"BRIVEL_COMMENT", "hello"},
                   {"BRIVEL_COM2", ""}};          // empty: unset
  const PortMap map(s);
  const std::vector<QString> expected = {
      "BRIVEL_COM0: port numbers run from 1 to 16; the variable is not used",
      "BRIVEL_COM01: write BRIVEL_COM1; the variable is not used",
      "BRIVEL_COM17: port numbers run from 1 to 16; the variable is not used",
  };
  EXPECT_EQ(problem_texts(map), expected);
  EXPECT_EQ(map.port(1).device, "/dev/ttyS0");
  EXPECT_EQ(map.port(2).device, "/dev/ttyS1");
}

}  // namespace
}  // namespace brivel::qt
