// The bus monitor on vcan0: its log lines are candump's log format, so
// canplayer replays them and log2long reads them; it shows the 29-bit frames
// the driver does not carry, and its own requests with the answers of a
// simulated device in the order they were on the bus.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "guest.h"

namespace {

using Texts = std::vector<std::string>;

const char kMonitor[] = "/data/zuntal_monitor";  // run_in_qemu.sh --copy puts it there

Texts read_lines(const std::string& path) {
  std::ifstream in(path);
  Texts out;
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

// The frame field of candump -L lines.
Texts frames_of(const Texts& lines) {
  Texts out;
  for (const std::string& l : lines) out.push_back(l.substr(l.rfind(' ') + 1));
  return out;
}

TEST(Monitor, LogLinesReplayThroughCanplayerAndReadByLog2long) {
  if (!guest::has_interface("vcan0")) GTEST_SKIP() << "no vcan0: run through run_in_qemu.sh";
  if (::access(kMonitor, X_OK) != 0) GTEST_SKIP() << kMonitor << " was not copied into the guest";
  for (const char* tool : {"/usr/bin/canplayer", "/usr/bin/log2long"})
    if (::access(tool, X_OK) != 0) GTEST_SKIP() << tool << " is not in the guest (can-utils)";
  {
    std::ofstream conf("/tmp/monitor-ntcan.conf");
    conf << "net 0 socketcan vcan0\n";
  }
  ::setenv("NTCAN_CONFIG", "/tmp/monitor-ntcan.conf", 1);
  const std::string log = "/tmp/monitor.log";
  const size_t receivers = guest::receiver_count("vcan0");
  pid_t pid = guest::spawn({kMonitor, "--log", "--count", "7", "--device",
                            "32:/data/examples/zio8.eds", "--send", "620#4008100000000000"},
                           log);
  ASSERT_GT(pid, 0);
  ::unsetenv("NTCAN_CONFIG");
  // The device's boot-up, the request and its answer come first, in bus order.
  ASSERT_TRUE(guest::eventually([&] { return read_lines(log).size() >= 3; }));
  EXPECT_GT(guest::receiver_count("vcan0"), receivers);
  ASSERT_EQ(guest::cansend("vcan0", "12345678#DEADBEEF"), 0);  // 29 bits
  ASSERT_EQ(guest::cansend("vcan0", "123#R"), 0);
  ASSERT_EQ(guest::cansend("vcan0", "7FF#R8"), 0);
  ASSERT_EQ(guest::cansend("vcan0", "080#"), 0);
  int st = 0;
  ASSERT_EQ(::waitpid(pid, &st, 0), pid);
  ASSERT_TRUE(WIFEXITED(st));
  EXPECT_EQ(WEXITSTATUS(st), 0);

  const Texts lines = read_lines(log);
  // The ZIO8 has no heartbeat that could come in between.
  const Texts expected{"720#00",
                       "620#4008100000000000",
                       "5A0#430810005A494F38",
                       "12345678#DEADBEEF",
                       "123#R",
                       "7FF#R8",
                       "080#"};
  EXPECT_EQ(frames_of(lines), expected);
  // "(seconds.micros) vcan0 ID#DATA", nothing else.
  for (const std::string& l : lines) {
    unsigned long sec = 0, usec = 0;
    char iface[16] = {}, frame[40] = {}, rest[8] = {};
    int fields = std::sscanf(l.c_str(), "(%lu.%lu) %15s %39s %7s", &sec, &usec, iface, frame, rest);
    EXPECT_EQ(fields, 4) << l;
    EXPECT_EQ(l.find(") "), l.find('.') + 7) << "six digits of microseconds: " << l;
    EXPECT_STREQ(iface, "vcan0") << l;
  }

  // log2long reads every line.
  ASSERT_EQ(guest::run({"sh", "-c", "log2long < " + log + " > /tmp/monitor.long"}), 0);
  const Texts longer = read_lines("/tmp/monitor.long");
  ASSERT_EQ(longer.size(), expected.size());
  EXPECT_NE(longer[3].find("12345678   [4]  DE AD BE EF"), std::string::npos) << longer[3];
  EXPECT_NE(longer[4].find("remote request"), std::string::npos) << longer[4];

  // canplayer replays the file onto vcan0 as it was recorded.
  guest::Dump dump("vcan0");
  ASSERT_TRUE(dump.ready());
  ASSERT_EQ(guest::run({"canplayer", "-I", log}), 0);
  EXPECT_EQ(dump.wait_for(expected.size()), expected);
}

}  // namespace
