// The three tools started with a driver configuration that cannot be used:
// each says why and stops before it opens anything.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

TEST(BadDriverConfig, EveryToolSaysWhyAndStopsBeforeOpeningAnything) {
  const std::string conf =
      ::testing::TempDir() + "bad_ntcan_" + std::to_string(::getpid()) + ".conf";
  std::ofstream(conf) << "net 0 socketcna can0\n";
  for (const char* tool : {ZUNTAL_SERVER " --no-input --run-for 5", ZUNTAL_MONITOR " --count 1",
                           ZUNTAL_GATEWAY " --can-port 0"}) {
    SCOPED_TRACE(tool);
    const std::string cmd = "NTCAN_CONFIG=" + conf + " " + tool + " </dev/null 2>&1";
    FILE* p = ::popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::vector<std::string> lines;
    char buf[512];
    while (std::fgets(buf, sizeof buf, p)) lines.emplace_back(buf);
    const int st = ::pclose(p);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 1) << st;
    // One line: the reason. No title, no node, no listening port.
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(
        lines[0].find(": NTCAN_CONFIG cannot be used: " + conf + ":1: unknown medium 'socketcna'"),
        std::string::npos)
        << lines[0];
  }
  std::remove(conf.c_str());
}

}  // namespace
