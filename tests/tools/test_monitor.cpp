// The bus monitor as a program: what it prints of the simulated bus in which
// order, and the command lines it refuses; and every tool's start with a bad
// driver configuration.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct Output {
  int status = -1;
  std::vector<std::string> lines;  // standard output and error, merged
};

// Runs a shell command line to its end.
Output run(const std::string& command) {
  Output r;
  const std::string cmd = command + " </dev/null 2>&1";
  FILE* p = ::popen(cmd.c_str(), "r");
  if (!p) return r;
  char buf[512];
  while (std::fgets(buf, sizeof buf, p)) {
    std::string l(buf);
    if (!l.empty() && l.back() == '\n') l.pop_back();
    r.lines.push_back(l);
  }
  const int st = ::pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

// Runs the monitor with `args` (shell words) to its end.
Output monitor(const std::string& args) {
  return run(std::string(ZUNTAL_MONITOR) + " " + args);
}

std::string eds(const char* name) {
  return std::string(ZUNTAL_EXAMPLES_DIR) + "/" + name;
}

// Two requests sent one after the other: each answer follows its request,
// because the monitor prints what it hears on the net, its own frames included.
TEST(Monitor, PrintsRequestsAndAnswersInBusOrder) {
  Output r = monitor("--device 5:" + eds("zps48.eds") + " --device 12:" + eds("zmc200.eds") +
                     " --send 605#4008100000000000 --send 60C#4008100000000000 --send 000#0100"
                     " --count 7");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.lines, (std::vector<std::string>{
                         "705#00",
                         "70C#00",
                         "605#4008100000000000",
                         "585#4108100013000000",
                         "60C#4008100000000000",
                         "58C#4108100018000000",
                         "000#0100",
                     }));

  // The log format: time stamp, interface, frame; nothing else on the line.
  r = monitor("--device 5:" + eds("zps48.eds") + " --log --log-iface vcan7 --count 1");
  EXPECT_EQ(r.status, 0);
  ASSERT_EQ(r.lines.size(), 1u);
  EXPECT_EQ(r.lines[0].substr(r.lines[0].find(')')), ") vcan7 705#00") << r.lines[0];
  EXPECT_EQ(r.lines[0][0], '(');
}

// --eds NODE:FILE names the values of the node's PDOs in the decoded lines;
// a PDO of another node keeps the plain decoding.
TEST(Monitor, DecodeNamesPdoValuesByTheEds) {
  Output r = monitor("--device 12:" + eds("zmc200.eds") + " --eds 12:" + eds("zmc200.eds") +
                     " --send 000#0100 --send 20C#70110100 --send 080# --send 205#01 --decode"
                     " --count 6");
  EXPECT_EQ(r.status, 0);
  ASSERT_EQ(r.lines.size(), 6u);
  EXPECT_EQ(r.lines[2], "20C#70110100          RPDO1 node 12: Target position=70000");
  EXPECT_EQ(r.lines[4],
            "18C#24FAFFFF5002      TPDO1 node 12: Position actual value=-1500 Statusword=592");
  EXPECT_EQ(r.lines[5], "205#01                RPDO1 node 5") << "a node without --eds";
}

TEST(Monitor, RefusesBadCommandLinesWithStatus2) {
  for (const char* args : {"--gateway 127.0.0.1:2209abc",
                           "--gateway 127.0.0.1:0",
                           "--gateway 127.0.0.1:70000",
                           "--gateway 127.0.0.1:",
                           "--gateway :2209",
                           "--gateway 127.0.0.1",
                           "--bogus",
                           "--net 99",
                           "--log --decode",
                           "--send 18FF1234#00",
                           "--eds 5",
                           "--eds 5:/nonexistent --decode",
                           "--eds 5:" ZUNTAL_EXAMPLES_DIR "/zps48.eds",
                           "--send 5#1",
                           "--count -1",
                           "--count x",
                           "--gateway 127.0.0.1:65536",
                           "--net 32",
                           "--net -1",
                           "--remote-net 256",
                           "--remote-net -1"}) {
    SCOPED_TRACE(args);
    Output r = monitor(args);
    EXPECT_EQ(r.status, 2);
    ASSERT_FALSE(r.lines.empty());
  }
  Output r = monitor("--count -1");
  EXPECT_EQ(r.lines[0], "--count: Value -1 is not 0 or more");
  r = monitor("--gateway 127.0.0.1:2209abc");
  EXPECT_EQ(r.lines[0],
            "zuntal_monitor: --gateway: expected HOST:PORT with a port of 1 to 65535, not "
            "127.0.0.1:2209abc");

  // A driver failure is named, not numbered (nothing listens on ports 1 and
  // 65535, the ends of the range).
  for (const char* args : {"--gateway 127.0.0.1:1 --count 1",
                           "--gateway 127.0.0.1:65535 --net 31 --remote-net 255 --count 1"}) {
    r = monitor(args);
    EXPECT_EQ(r.status, 1) << args;
    ASSERT_EQ(r.lines.size(), 1u) << args;
    EXPECT_NE(r.lines[0].find("failed: NTCAN_"), std::string::npos) << r.lines[0];
  }

  // A gateway's net hosts no device of the monitor's: it would be deaf.
  const std::string conf = ::testing::TempDir() + "monitor_gateway.conf";
  std::ofstream(conf) << "net 0 gateway 127.0.0.1 1 2\n";
  ::setenv("NTCAN_CONFIG", conf.c_str(), 1);
  r = monitor("--device 5:" + eds("zps48.eds"));
  ::unsetenv("NTCAN_CONFIG");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.lines.at(0).rfind("zuntal_monitor: --device: net 0 is net 2 of the gateway", 0), 0u);
}

// Each tool started with a driver configuration that cannot be used says
// why and stops before it opens anything: one line, no title, no node.
TEST(Tools, ABadDriverConfigurationStopsEveryToolBeforeItOpensAnything) {
  const std::string conf = ::testing::TempDir() + "bad_ntcan_" + std::to_string(::getpid());
  std::ofstream(conf) << "net 0 socketcna can0\n";
  for (const char* tool : {ZUNTAL_SERVER " --no-input --run-for 5", ZUNTAL_MONITOR " --count 1",
                           ZUNTAL_GATEWAY " --can-port 0"}) {
    SCOPED_TRACE(tool);
    Output r = run("NTCAN_CONFIG=" + conf + " " + tool);
    EXPECT_EQ(r.status, 1);
    ASSERT_EQ(r.lines.size(), 1u);
    EXPECT_NE(r.lines[0].find(": NTCAN_CONFIG cannot be used: " + conf + ":1: unknown medium"),
              std::string::npos)
        << r.lines[0];
  }
  std::remove(conf.c_str());
}

}  // namespace
