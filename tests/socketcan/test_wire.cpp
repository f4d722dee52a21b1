// As a user runs it: the example server on vcan0, its three devices hosted by
// zuntal_monitor --device in another process, before and after vcan0 is
// deleted and created. The programs run in real time, so this waits (bounded).
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
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

// One request to the server's command socket, its one line of answer (at
// most 10 s away).
std::string ask(const std::string& path, const std::string& request) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
  std::string in, out = request + "\n";
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::send(fd, out.data(), out.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(out.size())) {
    pollfd p{fd, POLLIN, 0};
    char b[512];
    ssize_t n = 0;
    while (in.find('\n') == std::string::npos && ::poll(&p, 1, 10000) > 0 &&
           (n = ::read(fd, b, sizeof b)) > 0)
      in.append(b, static_cast<size_t>(n));
  }
  ::close(fd);
  return in.substr(0, in.find('\n'));
}

// A program with a driver configuration that puts net 0 on vcan0.
pid_t spawn_on_vcan0(const std::vector<std::string>& argv, const std::string& out) {
  std::ofstream("/tmp/wire-ntcan.conf") << "net 0 socketcan vcan0\n";
  ::setenv("NTCAN_CONFIG", "/tmp/wire-ntcan.conf", 1);
  const pid_t pid = guest::spawn(argv, out);
  ::unsetenv("NTCAN_CONFIG");
  return pid;
}
const Lines kHost{kMonitor,
                  "--device",
                  "5:/data/examples/zps48.eds",
                  "--device",
                  "12:/data/examples/zmc200.eds",
                  "--device",
                  "32:/data/examples/zio8.eds"};
const Lines kServerArgs{
    kServer,   "--config",  "/data/examples/server.conf", "--write-config", "/tmp/wire-server.conf",
    "--plain", "--no-input"};

TEST(Wire, ServerAndDeviceHostInTwoProcessesSurviveTheInterfaceDeleted) {
  if (!guest::has_interface("vcan0")) GTEST_SKIP() << "no vcan0: run through run_in_qemu.sh";
  if (::access(kServer, X_OK) != 0 || ::access(kMonitor, X_OK) != 0)
    GTEST_SKIP() << "the programs were not copied into the guest";
  const std::string host_out = "/tmp/wire-host.out", server_out = "/tmp/wire-server.out";
  Child host{spawn_on_vcan0(kHost, host_out)};
  Child server{spawn_on_vcan0(kServerArgs, server_out)};

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

// Process data between the two programs: the server sends SYNC every
// 100 ms and decodes the TPDOs of the devices in the other process (the
// ZMC-200's at every SYNC, the ZPS-48's once a client gave it an event
// timer); set-points sent by RPDO reach the devices' dictionaries, the
// ZPS-48's at once, the ZMC-200's at the next SYNC.
TEST(Wire, ProcessDataAndSyncCrossTheInterface) {
  if (!guest::has_interface("vcan0")) GTEST_SKIP() << "no vcan0: run through run_in_qemu.sh";
  if (::access(kServer, X_OK) != 0 || ::access(kMonitor, X_OK) != 0)
    GTEST_SKIP() << "the programs were not copied into the guest";
  const std::string sock = "/tmp/wire-server.sock", server_out = "/tmp/wire-pdo-server.out";
  Lines args = kServerArgs;
  args.insert(args.end(), {"--sync-ms", "100", "--socket", sock});
  Child host{spawn_on_vcan0(kHost, "/tmp/wire-pdo-host.out")};
  Child server{spawn_on_vcan0(args, server_out)};
  ASSERT_TRUE(guest::eventually([&] { return all_operational(lines_of(server_out), 0); }, 60000))
      << ::testing::PrintToString(lines_of(server_out));

  guest::Dump syncs("vcan0", "080:7FF");
  ASSERT_TRUE(syncs.ready());
  EXPECT_GE(syncs.wait_for(3, 5000).size(), 3u) << "SYNC on the interface";
  // The ZPS-48 sends on a change only: no values until it has an event timer.
  std::string got;
  const char none[] = "TPDO1: Output voltage measured=- Output current measured=-";
  EXPECT_TRUE(guest::eventually([&] { return (got = ask(sock, "pdo NODE5")) == none; }, 30000))
      << got;
  EXPECT_EQ(ask(sock, "sdo NODE5 write 0x1800 5 64 00"), "ok");
  const std::pair<const char*, const char*> tpdos[] = {
      {"pdo NODE12", "TPDO1: Position actual value=-1500 Statusword=592"},
      {"pdo NODE5", "TPDO1: Output voltage measured=0 Output current measured=0"},
  };
  for (const auto& t : tpdos) {
    EXPECT_TRUE(guest::eventually([&] { return (got = ask(sock, t.first)) == t.second; }, 30000))
        << t.first << ": " << got;
  }
  const std::array<const char*, 3> rpdos[] = {
      {"pdo NODE5 1 36.5", "sdo NODE5 read 0x2000 0", "4 bytes: 00 00 12 42"},
      {"pdo NODE12 1 70000", "sdo NODE12 read 0x607A 0", "4 bytes: 70 11 01 00"},
  };
  for (const auto& r : rpdos) {
    EXPECT_EQ(ask(sock, r[0]), "ok") << r[0];
    EXPECT_TRUE(guest::eventually([&] { return (got = ask(sock, r[1])) == r[2]; }, 10000))
        << r[0] << ": " << got;
  }
  for (const std::string& l : lines_of(server_out))
    EXPECT_EQ(l.find("error"), std::string::npos) << l;
}

}  // namespace
