// zuntal_gateway --bridge 0:vcan0, end to end in the guest:
//   - a client of the bridged net sees the interface go down, away and come
//     back with the statuses a SocketCAN handle on vcan0 sees;
//   - a device the gateway hosts on the bridged net answers cansend;
//   - the example server (in this process) reaches the three example devices
//     on vcan0 through the gateway, the devices hosted by a second gateway
//     process bridged to vcan0 as well; zuntal_monitor --gateway hears
//     cansend and is heard by candump; every node comes back after the
//     reset form and after vcan0 is deleted and created again, without a
//     gateway restart.
// The server's clock follows real time as the gateways' devices do, and
// skips the line supervision's pauses (outage_harness.h).
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "D_zuntal.h"
#include "guest.h"
#include "ntcan_ctl.h"
#include "outage_harness.h"
#include "server.h"
#include "zuntal_test.h"

namespace {

using Steady = std::chrono::steady_clock;

const char kGateway[] = "/data/zuntal_gateway";  // run_in_qemu.sh --copy puts them there
const char kMonitor[] = "/data/zuntal_monitor";
const std::vector<std::string> kBridge{"--bridge", "0:vcan0"};
constexpr int kProbeNet = 31;  // not a line of the server

bool file_has(const std::string& path, const std::string& text) {
  std::ifstream in(path);
  for (std::string l; std::getline(in, l);)
    if (l.find(text) != std::string::npos) return true;
  return false;
}

class Bridge : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!guest::has_interface("vcan0")) GTEST_SKIP() << "no vcan0: run through run_in_qemu.sh";
    if (::access(kGateway, X_OK) != 0) GTEST_SKIP() << kGateway << " was not copied in";
    ::signal(SIGPIPE, SIG_IGN);
    ntcan_ctl::reset();
    zuntal_test::reset();
  }
  void TearDown() override {
    server_.reset();
    zuntal_test::reset();
    ntcan_ctl::reset();
    if (gw_.running()) gw_.stop();
    if (host_.running()) host_.stop();
    clock_.reset();
    if (!guest::has_interface("vcan0")) guest::ip("link add dev vcan0 type vcan");
    guest::ip("link set vcan0 up");
  }

  // Driver net `net` of this process reaches gateway net 0.
  void point(int net) {
    ntcan_ctl::NetConfig c;
    c.kind = ntcan_ctl::NetConfig::Kind::Gateway;
    c.host = "127.0.0.1";
    c.port = gw_.can_port();
    ntcan_ctl::configure_net(net, c);
  }

  // ---- The server through the gateway, on a clock that follows real time

  void start_server() {
    clock_ = std::make_unique<outage::PacedClock>();
    std::ofstream("/tmp/bridge.conf") << "LOCATION CANOPEN.LINE1\n"
                                         "NODE5 \t1  5  0  0\nNODE5.BAUDRATE\t6\n"
                                         "NODE12 \t1  12  0  0\nNODE12.BAUDRATE\t6\n"
                                         "NODE32 \t1  32  0  0\nNODE32.BAUDRATE\t6\n";
    zserver::ServerOptions o;
    o.config_path = "/tmp/bridge.conf";
    o.write_path = "/tmp/bridge-written.conf";
    o.gateway = "127.0.0.1:" + std::to_string(gw_.can_port());
    o.host_devices = false;
    server_ = std::make_unique<zserver::Server>(o);
    ASSERT_EQ(server_->load(), 0);
    server_->start();
    ASSERT_TRUE(run_until([&] { return all_back(); }, 60000, true)) << table();
  }
  // Update cycles every 100 ms of the framework clock until `done` holds,
  // for at most wall_ms of real time; with `skip` the clock jumps to the
  // line supervision's wake-ups.
  bool run_until(const std::function<bool()>& done, int wall_ms, bool skip) {
    const Steady::time_point end = Steady::now() + std::chrono::milliseconds(wall_ms);
    while (!done()) {
      if (Steady::now() > end) return false;
      if (skip && clock_->sleepers() > 0) clock_->skip();
      if (clock_->now_us() >= next_cycle_us_) {
        server_->cycle();
        next_cycle_us_ = clock_->now_us() + 100000;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
  }
  // Every node Operational, probed, its identity read and started.
  bool all_back() {
    for (const zserver::NodeRow& r : server_->rows())
      if (r.condition != "Operational" || r.note.find("waiting") != std::string::npos ||
          r.note.find("identity") != std::string::npos)
        return false;
    return true;
  }
  std::string table() {
    std::string t;
    for (const zserver::NodeRow& r : server_->rows())
      t += r.name + " " + r.condition + " (" + r.note + ")\n";
    return t + "gateway: " + gw_.status_json();
  }
  // An outage of the medium: every node is seen in "Error" (the line closed
  // under it), then `restore`; prints the time from then to every node back.
  void outage(const char* what, const std::function<void()>& fault,
              const std::function<void()>& restore) {
    fault();
    std::set<std::string> in_error;
    ASSERT_TRUE(run_until(
        [&] {
          for (const zserver::NodeRow& r : server_->rows())
            if (r.condition == "Error") in_error.insert(r.name);
          return in_error.size() == 3;
        },
        30000, true))
        << table();
    restore();
    const int64_t t0 = clock_->now_us();
    const Steady::time_point wall0 = Steady::now();
    // The gateway takes clients on the net again (in real time); then the
    // supervision's pauses are skipped until the line is open again, and
    // the nodes come back in step with real time.
    point(kProbeNet);
    ASSERT_TRUE(run_until(
        [] {
          NTCAN_HANDLE h = -1;
          if (canOpen(kProbeNet, 0, 1, 1, 0, 0, &h) != NTCAN_SUCCESS) return false;
          canClose(h);
          return true;
        },
        20000, false));
    ASSERT_TRUE(run_until(
        [] {
          canline* l = zuntal_test::find_line(1);
          return l != nullptr && l->handle() > 0;
        },
        60000, true))
        << table();
    ASSERT_TRUE(run_until([&] { return all_back(); }, 60000, false)) << table();
    std::printf(
        "BRIDGE-FIGURES %s: medium back -> every node Operational %.1f s framework, %.1f s "
        "real\n",
        what, static_cast<double>(clock_->now_us() - t0) / 1e6,
        std::chrono::duration<double>(Steady::now() - wall0).count());
  }

  outage::GatewayProgram gw_;    // the gateway under test, bridged to vcan0
  outage::GatewayProgram host_;  // the devices' host: a second gateway on vcan0
  std::unique_ptr<outage::PacedClock> clock_;
  std::unique_ptr<zserver::Server> server_;
  int64_t next_cycle_us_ = 0;
};

// Each step of the interface, and what a handle through the bridge and a
// handle on vcan0 itself answer after it: a take, and a new canOpen.
TEST_F(Bridge, ClientsSeeTheInterfaceAsSocketCanHandlesDo) {
  std::string err;
  ASSERT_TRUE(gw_.start({}, 0, 0, &err, kBridge)) << err;
  point(1);
  ntcan_ctl::NetConfig sc;
  sc.kind = ntcan_ctl::NetConfig::Kind::SocketCan;
  sc.ifname = "vcan0";
  ntcan_ctl::configure_net(2, sc);
  struct Step {
    const char* ip;
    NTCAN_RESULT take;  // on the handles opened before
    NTCAN_RESULT open;
    const char* state;  // the interface on the status page
  };
  const Step steps[] = {
      {"link set vcan0 down", NTCAN_CONTR_OFF_BUS, NTCAN_CONTR_OFF_BUS, "down"},
      {"link set vcan0 up", NTCAN_SUCCESS, NTCAN_SUCCESS, "up"},
      {"link del vcan0", NTCAN_NET_NOT_FOUND, NTCAN_NET_NOT_FOUND, "gone"},
      {"link add dev vcan0 type vcan", NTCAN_NET_NOT_FOUND, NTCAN_CONTR_OFF_BUS, "down"},
      {"link set vcan0 up", NTCAN_NET_NOT_FOUND, NTCAN_SUCCESS, "up"},
  };
  NTCAN_HANDLE h[2] = {-1, -1};
  for (int k = 0; k < 2; ++k) ASSERT_EQ(NTCAN_SUCCESS, canOpen(1 + k, 0, 10, 100, 100, 100, &h[k]));
  for (const Step& s : steps) {
    SCOPED_TRACE(s.ip);
    ASSERT_EQ(0, guest::ip(s.ip));
    EXPECT_TRUE(guest::eventually([&] {
      return gw_.status_json().find(std::string("\"state\":\"") + s.state + "\"") !=
             std::string::npos;
    })) << gw_.status_json();
    for (int k = 0; k < 2; ++k) {
      NTCAN_RESULT took = NTCAN_SUCCESS;
      EXPECT_TRUE(guest::eventually([&] {
        CMSG f[8];
        int32_t n = 8;
        took = canTake(h[k], f, &n);
        return took == s.take;
      })) << (k ? "SocketCAN" : "through the bridge")
          << " answers " << took;
      NTCAN_HANDLE o = -1;
      EXPECT_EQ(s.open, canOpen(1 + k, 0, 10, 100, 100, 100, &o)) << (k ? "SocketCAN" : "bridge");
      if (o > 0) canClose(o);
    }
  }
  // Frames both ways again, on handles opened on the new interface.
  for (int k = 0; k < 2; ++k) {
    canClose(h[k]);
    ASSERT_EQ(NTCAN_SUCCESS, canOpen(1 + k, 0, 10, 100, 1000, 1000, &h[k]));
    ASSERT_EQ(NTCAN_SUCCESS, canIdAdd(h[k], 0x123));
  }
  guest::Dump dump("vcan0");
  ASSERT_TRUE(dump.ready());
  ASSERT_EQ(0, guest::cansend("vcan0", "123#C0FFEE"));
  for (int k = 0; k < 2; ++k) {
    CMSG f;
    int32_t n = 1;
    ASSERT_EQ(NTCAN_SUCCESS, canRead(h[k], &f, &n, nullptr));
    EXPECT_EQ(guest::text(f), "123#C0FFEE");
  }
  CMSG out = guest::frame("124#BEEF");
  int32_t one = 1;
  ASSERT_EQ(NTCAN_SUCCESS, canSend(h[0], &out, &one));
  EXPECT_EQ(dump.wait_for(2), (std::vector<std::string>{"123#C0FFEE", "124#BEEF"}));
  const std::string js = gw_.status_json();
  EXPECT_NE(js.find("\"medium\":\"socketcan\",\"interface\":{\"name\":\"vcan0\",\"state\":"
                    "\"up\",\"frames_in\":1,\"frames_out\":1,\"dropped\":0}"),
            std::string::npos)
      << js;
  for (NTCAN_HANDLE x : h) canClose(x);
}

TEST_F(Bridge, AHostedDeviceAnswersCansend) {
  guest::Dump dump("vcan0");
  ASSERT_TRUE(dump.ready());
  std::string err;
  ASSERT_TRUE(gw_.start({"0:32:/data/examples/zio8.eds"}, 0, 0, &err, kBridge)) << err;
  ASSERT_EQ(dump.wait_for(1), std::vector<std::string>{"720#00"}) << "its boot-up";
  ASSERT_EQ(0, guest::cansend("vcan0", "620#4008100000000000"));
  EXPECT_EQ(dump.wait_for(3),
            (std::vector<std::string>{"720#00", "620#4008100000000000", "5A0#430810005A494F38"}));
}

TEST_F(Bridge, TheServerReachesDevicesOnVcan0ThroughTheGateway) {
  if (::access(kMonitor, X_OK) != 0) GTEST_SKIP() << kMonitor << " was not copied in";
  std::string err;
  ASSERT_TRUE(host_.start({"0:5:/data/examples/zps48.eds", "0:12:/data/examples/zmc200.eds",
                           "0:32:/data/examples/zio8.eds"},
                          0, 0, &err, kBridge))
      << err;
  ASSERT_TRUE(gw_.start({}, 0, 0, &err, kBridge)) << err;
  ASSERT_NO_FATAL_FAILURE(start_server());

  // A client of the gateway hears cansend, and candump hears the client.
  guest::Dump dump("vcan0", "124:7FF");
  ASSERT_TRUE(dump.ready());
  const std::string log = "/tmp/bridge-monitor.log";
  pid_t mon = guest::spawn({kMonitor, "--gateway", "127.0.0.1:" + std::to_string(gw_.can_port()),
                            "--net", "0", "--log", "--send", "124#BEEF"},
                           log);
  ASSERT_GT(mon, 0);
  ASSERT_TRUE(run_until([&] { return file_has(log, "124#BEEF"); }, 30000, false));
  EXPECT_EQ(dump.wait_for(1), std::vector<std::string>{"124#BEEF"}) << gw_.status_json();
  ASSERT_EQ(0, guest::cansend("vcan0", "123#C0FFEE"));
  EXPECT_TRUE(run_until([&] { return file_has(log, "123#C0FFEE"); }, 10000, false));
  guest::end_child(mon);

  // The reset form: the service drops every session and comes back.
  outage(
      "reset form",
      [&] {
        ASSERT_EQ(200, outage::http_post(gw_.http_port(), "/Forms/Firmware", "FWUpdReset=1",
                                         "tavroadm:kix7parlo"));
      },
      [] {});
  outage(
      "vcan0 deleted and created", [] { ASSERT_EQ(0, guest::ip("link del vcan0")); },
      [] {
        ASSERT_EQ(0, guest::ip("link add dev vcan0 type vcan"));
        ASSERT_EQ(0, guest::ip("link set vcan0 up"));
      });
  EXPECT_TRUE(gw_.running() && host_.running()) << "no gateway restarted";
}

}  // namespace
