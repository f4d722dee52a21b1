// zuntal_gateway --bridge 0:vcan0 as a user runs it: a device it hosts
// answers cansend; the example server (in this process, on a clock that
// follows real time and skips the line supervision's pauses) reaches devices
// on vcan0 hosted by a second gateway process, through the reset form and
// vcan0 down, deleted and back, with the statuses SocketCAN gives.
#include <gtest/gtest.h>
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
using Texts = std::vector<std::string>;
const std::vector<std::string> kBridge{"--bridge", "0:vcan0"};
const char kMonitor[] = "/data/zuntal_monitor";  // run_in_qemu.sh --copy puts it there
constexpr int kProbeNet = 31;                    // not a line of the server

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
    if (::access(ZUNTAL_GATEWAY_EXE, X_OK) != 0) GTEST_SKIP() << "no gateway in the guest";
    ntcan_ctl::reset();
    zuntal_test::reset();
  }
  void TearDown() override {
    server_.reset();
    zuntal_test::reset();
    ntcan_ctl::reset();
    clock_.reset();
    if (!guest::has_interface("vcan0")) guest::ip("link add dev vcan0 type vcan");
    guest::ip("link set vcan0 up");
  }
  // Update cycles every 100 ms of the framework clock until `done`, for at
  // most wall_ms of real time; with `skip` past the supervision's pauses.
  bool run_until(const std::function<bool()>& done, int wall_ms, bool skip) {
    const Steady::time_point end = Steady::now() + std::chrono::milliseconds(wall_ms);
    for (int64_t next = 0; !done(); std::this_thread::sleep_for(std::chrono::milliseconds(2))) {
      if (Steady::now() > end) return false;
      if (skip && clock_->sleepers() > 0) clock_->skip();
      if (clock_->now_us() >= next) {
        server_->cycle();
        next = clock_->now_us() + 100000;
      }
    }
    return true;
  }
  // Every node Operational, its identity read and started.
  bool all_back() {
    for (const zserver::NodeRow& r : server_->rows())
      if (r.condition != "Operational" || r.note.find("waiting") != std::string::npos ||
          r.note.find("identity") != std::string::npos)
        return false;
    return true;
  }
  // After `fault` a client of the net answers `status` to every call and the
  // status page shows the interface's `state`; every node is seen in
  // "Error". After `restore` every node is back. Prints the time from
  // `restore` to then; the supervision's pauses are skipped only once the
  // gateway takes clients again.
  void outage(const char* what, NTCAN_RESULT status, const char* state,
              const std::function<void()>& fault, const std::function<void()>& restore) {
    ntcan_ctl::NetConfig c;  // a net of this process to gateway net 0
    c.kind = ntcan_ctl::NetConfig::Kind::Gateway;
    c.host = "127.0.0.1";
    c.port = gw_.can_port();
    ntcan_ctl::configure_net(kProbeNet, c);
    NTCAN_HANDLE probe = -1;
    ASSERT_EQ(NTCAN_SUCCESS, canOpen(kProbeNet, 0, 1, 10, 0, 0, &probe));
    fault();
    EXPECT_TRUE(guest::eventually([&] {
      CMSG f[10];
      int32_t n = 10;
      return canTake(probe, f, &n) == status;
    }));
    canClose(probe);
    const std::string shown = std::string("\"state\":\"") + state + "\"";
    EXPECT_TRUE(
        guest::eventually([&] { return gw_.status_json().find(shown) != std::string::npos; }));
    std::set<std::string> in_error;
    ASSERT_TRUE(run_until(
        [&] {
          for (const zserver::NodeRow& r : server_->rows())
            if (r.condition == "Error") in_error.insert(r.name);
          return in_error.size() == 3;
        },
        30000, true))
        << gw_.status_json();
    restore();
    const int64_t t0 = clock_->now_us();
    const Steady::time_point wall0 = Steady::now();
    ASSERT_TRUE(run_until(
        [&] { return canOpen(kProbeNet, 0, 1, 1, 0, 0, &probe) == NTCAN_SUCCESS; }, 20000, false));
    canClose(probe);
    canline* line = zuntal_test::find_line(1);
    ASSERT_TRUE(run_until([&] { return line->handle() > 0; }, 60000, true)) << gw_.status_json();
    ASSERT_TRUE(run_until([&] { return all_back(); }, 60000, false)) << gw_.status_json();
    std::printf(
        "BRIDGE-FIGURES %s: medium back -> every node Operational %.1f s framework, "
        "%.1f s real\n",
        what, static_cast<double>(clock_->now_us() - t0) / 1e6,
        std::chrono::duration<double>(Steady::now() - wall0).count());
  }

  outage::GatewayProgram gw_;    // bridged to vcan0
  outage::GatewayProgram host_;  // a second gateway on vcan0, hosting the devices
  std::unique_ptr<outage::PacedClock> clock_;
  std::unique_ptr<zserver::Server> server_;
};

// The device's boot-up and answer go out, the request comes in: the
// interface's counters show them.
TEST_F(Bridge, AHostedDeviceAnswersCansend) {
  guest::Dump dump("vcan0");
  ASSERT_TRUE(dump.ready());
  std::string err;
  ASSERT_TRUE(gw_.start({"0:32:/data/examples/zio8.eds"}, 0, 0, &err, kBridge)) << err;
  ASSERT_EQ(dump.wait_for(1), Texts{"720#00"});
  ASSERT_EQ(0, guest::cansend("vcan0", "620#4008100000000000"));
  EXPECT_EQ(dump.wait_for(3), (Texts{"720#00", "620#4008100000000000", "5A0#430810005A494F38"}));
  EXPECT_TRUE(guest::eventually([&] {
    return gw_.status_json().find(R"("frames_in":1,"frames_out":2,"dropped":0)") !=
           std::string::npos;
  })) << gw_.status_json();
}

TEST_F(Bridge, TheServerReachesDevicesOnVcan0ThroughTheGateway) {
  if (::access(kMonitor, X_OK) != 0) GTEST_SKIP() << kMonitor << " was not copied in";
  std::string err;
  ASSERT_TRUE(host_.start({"0:5:/data/examples/zps48.eds", "0:12:/data/examples/zmc200.eds",
                           "0:32:/data/examples/zio8.eds"},
                          0, 0, &err, kBridge))
      << err;
  ASSERT_TRUE(gw_.start({}, 0, 0, &err, kBridge)) << err;
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
  ASSERT_TRUE(run_until([&] { return all_back(); }, 60000, true)) << gw_.status_json();

  // A client of the gateway is heard by candump and hears cansend.
  guest::Dump dump("vcan0", "124:7FF");
  ASSERT_TRUE(dump.ready());
  const std::string log = "/tmp/bridge-monitor.log";
  pid_t mon = guest::spawn({kMonitor, "--gateway", "127.0.0.1:" + std::to_string(gw_.can_port()),
                            "--net", "0", "--log", "--send", "124#BEEF"},
                           log);
  ASSERT_GT(mon, 0);
  ASSERT_TRUE(run_until([&] { return file_has(log, "124#BEEF"); }, 30000, false));
  EXPECT_EQ(dump.wait_for(1), Texts{"124#BEEF"}) << gw_.status_json();
  ASSERT_EQ(0, guest::cansend("vcan0", "123#C0FFEE"));
  EXPECT_TRUE(run_until([&] { return file_has(log, "123#C0FFEE"); }, 10000, false));
  guest::end_child(mon);

  outage(
      "reset form", NTCAN_SOCK_CONN_TIMEOUT, "up",
      [&] {
        ASSERT_EQ(200, outage::http_post(gw_.http_port(), "/Forms/Firmware", "FWUpdReset=1",
                                         "tavroadm:kix7parlo"));
      },
      [] {});
  outage(
      "vcan0 down and up", NTCAN_CONTR_OFF_BUS, "down",
      [] { ASSERT_EQ(0, guest::ip("link set vcan0 down")); },
      [] { ASSERT_EQ(0, guest::ip("link set vcan0 up")); });
  outage(
      "vcan0 deleted and created", NTCAN_NET_NOT_FOUND, "gone",
      [] { ASSERT_EQ(0, guest::ip("link del vcan0")); },
      [] {
        ASSERT_EQ(0, guest::ip("link add dev vcan0 type vcan"));
        ASSERT_EQ(0, guest::ip("link set vcan0 up"));
      });
  EXPECT_TRUE(gw_.running() && host_.running()) << "no gateway restarted";
}

// The bridged net's socketcand bus is named after the interface: a driver
// handle on it hears cansend and candump hears it.
TEST_F(Bridge, ASocketcandClientOfTheBridgedNetIsOnVcan0) {
  std::string err;
  ASSERT_TRUE(gw_.start({}, 0, 0, &err, kBridge)) << err;
  ntcan_ctl::NetConfig c;
  c.kind = ntcan_ctl::NetConfig::Kind::Socketcand;
  c.host = "127.0.0.1";
  c.port = gw_.socketcand_port();
  c.bus = "vcan0";
  ntcan_ctl::configure_net(kProbeNet, c);
  NTCAN_HANDLE h = -1;
  ASSERT_EQ(NTCAN_SUCCESS, canOpen(kProbeNet, 0, 10, 10, 1000, 5000, &h));
  ASSERT_EQ(NTCAN_SUCCESS, canIdAdd(h, 0x123));
  guest::Dump dump("vcan0", "124:7FF");
  ASSERT_TRUE(dump.ready());
  ASSERT_EQ(0, guest::cansend("vcan0", "123#C0FFEE"));
  CMSG f[1];
  int32_t n = 1;
  EXPECT_EQ(NTCAN_SUCCESS, canRead(h, f, &n, nullptr));
  EXPECT_EQ(n == 1 ? guest::text(f[0]) : "", "123#C0FFEE");
  f[0] = guest::frame("124#BEEF");
  n = 1;
  EXPECT_EQ(NTCAN_SUCCESS, canSend(h, f, &n));
  EXPECT_EQ(dump.wait_for(1), Texts{"124#BEEF"}) << gw_.status_json();
  canClose(h);
}

}  // namespace
