// As a user runs it: the example server on vcan0, its three devices hosted by
// zuntal_monitor --device in another process, before and after vcan0 is
// deleted and created. The programs run in real time, so this waits (bounded).
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

using Lines = std::vector<std::string>;
const char kServer[] = "/data/zuntal_server";  // run_in_qemu.sh --copy puts them there
const char kMonitor[] = "/data/zuntal_monitor";

Lines lines_of(const std::string& path) {
  std::ifstream in(path);
  Lines out;
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

// Whether each node's last state line from line `from` on says Operational:
// "NODE5 (line 1, node 5): state 5 Operational - registered again 1x".
bool all_operational(const Lines& out, size_t from) {
  for (const char* node : {"NODE5 (", "NODE12 (", "NODE32 ("}) {
    std::string last;
    for (size_t k = from; k < out.size(); ++k)
      if (out[k].rfind(node, 0) == 0 && out[k].find("): state ") != std::string::npos)
        last = out[k];
    if (last.find(" Operational") == std::string::npos) return false;
  }
  return true;
}

struct Child {
  pid_t pid;
  ~Child() { guest::end_child(pid); }
};

TEST(Wire, ServerAndDeviceHostInTwoProcessesSurviveTheInterfaceDeleted) {
  if (!guest::has_interface("vcan0")) GTEST_SKIP() << "no vcan0: run through run_in_qemu.sh";
  if (::access(kServer, X_OK) != 0 || ::access(kMonitor, X_OK) != 0)
    GTEST_SKIP() << "the programs were not copied into the guest";
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

  // Every node Operational, its identity read in this run (the lines without
  // the mark of stored texts), no "error" anywhere.
  ASSERT_TRUE(guest::eventually([&] { return all_operational(lines_of(server_out), 0); }, 60000))
      << ::testing::PrintToString(lines_of(server_out));
  const Lines out = lines_of(server_out);
  for (
      const char* identity :
      {R"(NODE5: identity "ZPS-48 Power Supply", hardware "B2", software "V1.04.2")",
       R"(NODE12: identity "ZMC-200 Motor Controller", hardware "C", software "2.3.11 build 4711")",
       R"(NODE32: identity "ZIO8", hardware "1.0", software "FW 3.2.0-r17")"})
    EXPECT_NE(std::find(out.begin(), out.end(), identity), out.end()) << identity;
  for (const std::string& l : out) EXPECT_EQ(l.find("error"), std::string::npos) << l;

  // Another program's SDO upload request is answered by the device.
  guest::Dump dump("vcan0", "585:7FF");
  ASSERT_TRUE(dump.ready());
  ASSERT_EQ(0, guest::cansend("vcan0", "605#4008100000000000"));
  EXPECT_EQ(dump.wait_for(1), (Lines{"585#4108100013000000"}));

  // The interface deleted; once the server has noticed, created again.
  const size_t before = out.size();
  ASSERT_EQ(0, guest::ip("link del vcan0"));
  ASSERT_TRUE(guest::eventually([&] { return lines_of(server_out).size() > before; }, 30000));
  ASSERT_EQ(0, guest::ip("link add dev vcan0 type vcan"));
  ASSERT_EQ(0, guest::ip("link set vcan0 up"));
  const auto back = std::chrono::steady_clock::now();
  ASSERT_TRUE(
      guest::eventually([&] { return all_operational(lines_of(server_out), before); }, 90000))
      << ::testing::PrintToString(lines_of(server_out));
  std::printf("interface back -> every node Operational: %.1f s (real time)\n",
              std::chrono::duration<double>(std::chrono::steady_clock::now() - back).count());
  EXPECT_EQ(::waitpid(host.pid, nullptr, WNOHANG), 0) << "the device host outlived the outage";
  const Lines notes = lines_of(host_out);
  EXPECT_NE(std::find(notes.begin(), notes.end(), "# joined vcan0 again"), notes.end());
}

}  // namespace
