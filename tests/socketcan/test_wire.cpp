// End to end in the guest, as a user runs it: the example server on vcan0 in
// one process, the three example devices hosted by zuntal_monitor --device in
// another. The devices hear the server (every node Operational with its
// identity read) and other programs (an SDO upload sent with cansend is
// answered); after vcan0 is deleted and created again every node is
// Operational again and the device host joined again by itself.
//
// Both programs run on the steady clock, so this waits in real time: the
// server's supervision pauses up to about 20 s after the outage. The figure
// printed is real time from "interface back" to "every node Operational".
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "guest.h"

namespace {

const char kServer[] = "/data/zuntal_server";  // run_in_qemu.sh --copy puts them there
const char kMonitor[] = "/data/zuntal_monitor";
const char* const kNodes[] = {"NODE5", "NODE12", "NODE32"};

std::vector<std::string> lines_of(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> out;
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

// The condition of `node`'s last state line from line `from` on, "" if none:
// "NODE5 (line 1, node 5): state 5 Operational - registered again 1x".
std::string condition(const std::vector<std::string>& out, const std::string& node, size_t from) {
  std::string c;
  for (size_t k = from; k < out.size(); ++k) {
    const std::string& l = out[k];
    const size_t s = l.find("): state ");
    if (l.rfind(node + " (", 0) != 0 || s == std::string::npos) continue;
    const size_t word = l.find(' ', s + 9) + 1;
    c = l.substr(word, l.find(" - ", word) - word);
  }
  return c;
}

bool all_operational(const std::vector<std::string>& out, size_t from) {
  for (const char* n : kNodes)
    if (condition(out, n, from) != "Operational") return false;
  return true;
}

struct Child {
  pid_t pid;
  ~Child() {
    if (pid > 0) guest::end_child(pid);
  }
  bool running() const { return pid > 0 && ::waitpid(pid, nullptr, WNOHANG) == 0; }
};

TEST(Wire, ServerAndDeviceHostInTwoProcessesSurviveTheInterfaceDeleted) {
  if (!guest::has_interface("vcan0")) GTEST_SKIP() << "no vcan0: run through run_in_qemu.sh";
  for (const char* p : {kServer, kMonitor})
    if (::access(p, X_OK) != 0) GTEST_SKIP() << p << " was not copied into the guest";
  std::ofstream("/tmp/wire-ntcan.conf") << "net 0 socketcan vcan0\n";
  ::setenv("NTCAN_CONFIG", "/tmp/wire-ntcan.conf", 1);
  const std::string host_out = "/tmp/wire-host.out", server_out = "/tmp/wire-server.out";
  Child host{
      guest::spawn({kMonitor, "--device", "5:/data/examples/zps48.eds", "--device",
                    "12:/data/examples/zmc200.eds", "--device", "32:/data/examples/zio8.eds"},
                   host_out)};
  Child server{guest::spawn({kServer, "--config", "/data/examples/server.conf", "--write-config",
                             "/tmp/wire-server.conf", "--plain", "--no-input"},
                            server_out)};
  ::unsetenv("NTCAN_CONFIG");
  ASSERT_TRUE(host.running());
  ASSERT_TRUE(server.running());

  // Every node Operational, its identity read in this run (no "error", no
  // texts of the stored configuration).
  ASSERT_TRUE(guest::eventually([&] { return all_operational(lines_of(server_out), 0); }, 60000))
      << ::testing::PrintToString(lines_of(server_out));
  std::vector<std::string> out = lines_of(server_out);
  for (
      const char* identity :
      {R"(NODE5: identity "ZPS-48 Power Supply", hardware "B2", software "V1.04.2")",
       R"(NODE12: identity "ZMC-200 Motor Controller", hardware "C", software "2.3.11 build 4711")",
       R"(NODE32: identity "ZIO8", hardware "1.0", software "FW 3.2.0-r17")"})
    EXPECT_NE(std::find(out.begin(), out.end(), identity), out.end()) << identity;
  for (const std::string& l : out) EXPECT_EQ(l.find("error"), std::string::npos) << l;

  // Another program's SDO upload request is answered by the device.
  {
    guest::Dump dump("vcan0", "585:7FF");
    ASSERT_TRUE(dump.ready());
    ASSERT_EQ(0, guest::cansend("vcan0", "605#4008100000000000"));
    EXPECT_EQ(dump.wait_for(1), (std::vector<std::string>{"585#4108100013000000"}));
  }

  // The interface deleted; once the server has noticed, created again.
  const size_t before = lines_of(server_out).size();
  ASSERT_EQ(0, guest::ip("link del vcan0"));
  ASSERT_TRUE(guest::eventually([&] { return lines_of(server_out).size() > before; }, 30000));
  ASSERT_EQ(0, guest::ip("link add dev vcan0 type vcan"));
  ASSERT_EQ(0, guest::ip("link set vcan0 up"));
  const auto back = std::chrono::steady_clock::now();
  ASSERT_TRUE(
      guest::eventually([&] { return all_operational(lines_of(server_out), before); }, 90000))
      << ::testing::PrintToString(lines_of(server_out));
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - back).count();
  std::printf("interface back -> every node Operational: %.1f s (real time)\n", s);
  EXPECT_TRUE(host.running()) << "the device host outlived the interface";
  const std::vector<std::string> host_lines = lines_of(host_out);
  EXPECT_NE(std::find(host_lines.begin(), host_lines.end(), "# joined vcan0 again"),
            host_lines.end());
}

}  // namespace
