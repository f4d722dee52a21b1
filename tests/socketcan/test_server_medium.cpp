// The example server started on vcan0 with the shipped configuration: the
// configuration's simulated devices stay off the interface (they would
// answer beside real nodes of the same ids), and the title says which medium
// line 1 uses.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <fstream>
#include <sstream>
#include <string>

#include "guest.h"

namespace {

const char kServer[] = "/data/zuntal_server";  // run_in_qemu.sh --copy puts it there

TEST(ServerOnSocketCan, HostsNoSimulatedDeviceOnTheInterface) {
  if (!guest::has_interface("vcan0")) GTEST_SKIP() << "no vcan0: run through run_in_qemu.sh";
  if (::access(kServer, X_OK) != 0) GTEST_SKIP() << kServer << " was not copied into the guest";
  {
    std::ofstream conf("/tmp/server-ntcan.conf");
    conf << "net 0 socketcan vcan0\n";
  }
  guest::Dump dump("vcan0");
  ASSERT_TRUE(dump.ready());
  ::setenv("NTCAN_CONFIG", "/tmp/server-ntcan.conf", 1);
  const std::string out = "/tmp/server.out";
  pid_t pid = guest::spawn(
      {kServer, "--config", "/data/examples/server.conf", "--write-config",
       "/tmp/server-written.conf", "--plain", "--no-input", "--run-for", "3", "--guard-ms", "200"},
      out);
  ::unsetenv("NTCAN_CONFIG");
  ASSERT_GT(pid, 0);
  int st = 0;
  ASSERT_EQ(::waitpid(pid, &st, 0), pid);
  ASSERT_TRUE(WIFEXITED(st));
  EXPECT_EQ(WEXITSTATUS(st), 0);
  dump.stop();

  // The server's own frames are there (node-guarding requests), nothing a
  // node sends: no boot-up, heartbeat, guarding or SDO answer.
  bool guarded = false;
  for (const std::string& f : dump.frames()) {
    const CMSG m = guest::frame(f);
    if ((m.id & 0x780) == 0x700 && (m.len & NTCAN_RTR)) guarded = true;
    EXPECT_FALSE((m.id & 0x780) == 0x700 && !(m.len & NTCAN_RTR)) << "a node's frame: " << f;
    EXPECT_FALSE((m.id & 0x780) == 0x580) << "an SDO answer: " << f;
  }
  EXPECT_TRUE(guarded) << "the server did run on vcan0";

  std::ifstream in(out);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_NE(text.str().find("zuntal_server: 3 nodes; line 1 SocketCAN vcan0; cycle 100 ms"),
            std::string::npos)
      << text.str();
}

}  // namespace
