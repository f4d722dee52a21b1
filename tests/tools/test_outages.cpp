// The example server through gateway outages, end to end: the server runs in
// this process against the zuntal_gateway program (a child process hosting
// the three example devices), and every outage is repeated five times in a
// row. After each one every node must be back to "Operational" without a
// restart, and after the fifth the driver must hold as many handles as before
// the first: the server closes what died with the medium and leaks nothing.
//
// The framework clock follows real time, as the gateway's devices do; while
// the medium is away and until the line supervision has reopened the line,
// the test moves the clock on to the supervision's next wake-up, so no case
// waits through the supervision's pauses (15 s after a close, 20 s after a
// reset attempt, growing reopen pauses) in real time. Each outage prints the
// time from "medium back" to "line open" and to "every node Operational", on
// the framework clock and in real time.
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
#include <thread>
#include <vector>

#include "ntcan_ctl.h"
#include "outage_harness.h"
#include "server.h"
#include "tavro_test.h"
#include "zuntal_test.h"

namespace {

using Steady = std::chrono::steady_clock;

const std::string kExamples = ZUNTAL_EXAMPLES_DIR;
constexpr int kRepeats = 5;
constexpr int64_t kSecond = 1000000;
constexpr int kProbeNet = 31;  // not a line of the server

// Line open -> every node Operational, on the framework clock: one cycle,
// the server's one-second spacing of registrations, the node's answer to the
// guarding request or its heartbeat (at most 1 s for these devices), the
// identity reads, and the heartbeat that shows the started node (1 s). A few
// seconds more for a loaded machine: the clock follows real time there.
constexpr int64_t kNodesBackUs = (100000 + kSecond + 3 * kSecond) + 4 * kSecond;
// Medium back -> line open: the supervision's longest pause (60 s between
// reopen attempts, 20 s after a reset attempt) and the reopen.
constexpr int64_t kLineBackUs = (60 + 20 + 2) * kSecond;

double seconds(int64_t us) {
  return static_cast<double>(us) / 1e6;
}

std::string node_lines(const std::vector<int>& ids) {
  std::string text = "LOCATION CANOPEN.LINE1\n";
  for (int id : ids) {
    const std::string n = "NODE" + std::to_string(id);
    text += n + " \t1  " + std::to_string(id) + "  0  0\n" + n + ".BAUDRATE\t6\n";
  }
  return text;
}

const char* const kEds[] = {"zps48.eds", "zmc200.eds", "zio8.eds"};

class GatewayOutages : public ::testing::Test {
 protected:
  void SetUp() override {
    ::signal(SIGPIPE, SIG_IGN);
    ntcan_ctl::reset();
    zuntal_test::reset();
    char tmpl[] = "/tmp/zuntal_outage_test.XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    char cwd[4096];
    ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
    old_cwd_ = cwd;
    // No gateway reset of the supervision ever leaves this test: the
    // marker forbids them, and the gateway table has no entry.
    ASSERT_EQ(::chdir(dir_.c_str()), 0);
    std::ofstream(dir_ + "/DENY-wget-reset") << "";
    std::ofstream(dir_ + "/esd-plugin") << "# no gateway of the test is reset\n";
    ::setenv("ZUNTAL_ESD_PLUGIN", (dir_ + "/esd-plugin").c_str(), 1);
    // A hung gateway's silence is noticed after 300 ms of real time.
    ::setenv("NTCAN_GATEWAY_TIMEOUT_MS", "300", 1);
    clock_ = std::make_unique<outage::PacedClock>();
  }

  void TearDown() override {
    server_.reset();
    EXPECT_TRUE(zuntal_test::reset());
    ntcan_ctl::reset();
    relay_.reset();
    if (gw_.running()) gw_.stop();
    clock_.reset();
    ::unsetenv("ZUNTAL_ESD_PLUGIN");
    ::unsetenv("NTCAN_GATEWAY_TIMEOUT_MS");
    EXPECT_EQ(::chdir(old_cwd_.c_str()), 0);
    const std::string cmd = "rm -rf '" + dir_ + "'";
    EXPECT_EQ(::system(cmd.c_str()), 0);
  }

  std::vector<std::string> devices(const std::vector<int>& ids) {
    std::vector<std::string> out;
    for (size_t k = 0; k < ids.size(); ++k)
      out.push_back("0:" + std::to_string(ids[k]) + ":" + kExamples + "/" + kEds[k % 3]);
    return out;
  }

  void start_gateway(const std::vector<int>& ids, int can_port = 0, int http_port = 0) {
    std::string err;
    ASSERT_TRUE(gw_.start(devices(ids), can_port, http_port, &err)) << err;
  }

  // The server with one node per id on line 1, reaching the gateway at
  // `port` (its socketcand service with `socketcand`); returns when every
  // node is Operational.
  void start_server(const std::vector<int>& ids, int port, int wall_ms = 60000,
                    bool socketcand = false) {
    ids_ = ids;
    const std::string conf = dir_ + "/server.conf";
    std::ofstream(conf) << node_lines(ids);
    zserver::ServerOptions o;
    o.config_path = conf;
    if (!socketcand) o.gateway = "127.0.0.1:" + std::to_string(port);
    o.host_devices = false;
    // A net of its own on the same gateway, to ask whether it answers.
    ntcan_ctl::NetConfig probe;
    probe.kind =
        socketcand ? ntcan_ctl::NetConfig::Kind::Socketcand : ntcan_ctl::NetConfig::Kind::Gateway;
    probe.host = "127.0.0.1";
    probe.port = port;
    probe.bus = "zuntal0";
    ntcan_ctl::configure_net(kProbeNet, probe);
    if (socketcand) ntcan_ctl::configure_net(0, probe);
    server_ = std::make_unique<zserver::Server>(o);
    ASSERT_EQ(server_->load(), 0);
    server_->start();
    // Past the supervision's start pause to its first status query.
    ASSERT_TRUE(run_until([] { return ntcan_ctl::calls_on_net(0, ntcan_ctl::Op::Status) > 0; },
                          20000, true));
    ASSERT_TRUE(run_until([&] { return all_back(); }, wall_ms, false)) << table();
    baseline_ = ntcan_ctl::open_handles();
  }

  // Update cycles every 100 ms of the framework clock until `done` holds,
  // for at most wall_ms of real time. With `skip` the clock jumps to each
  // wake-up of the sleeping line supervision.
  bool run_until(const std::function<bool()>& done, int wall_ms, bool skip) {
    const Steady::time_point end = Steady::now() + std::chrono::milliseconds(wall_ms);
    while (!done()) {
      if (Steady::now() > end) return false;
      if (skip && clock_->sleepers() > 0) clock_->skip();
      const int64_t now = clock_->now_us();
      if (now >= next_cycle_us_) {
        server_->cycle();
        next_cycle_us_ = now + 100000;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
  }

  // Every node Operational, and the server done with it: probed, its
  // identity read and the node started (a node of a gateway whose service
  // restarted may still send "operational" heartbeats before that).
  bool all_back() {
    for (const zserver::NodeRow& r : server_->rows())
      if (r.condition != "Operational" || r.note.find("waiting") != std::string::npos ||
          r.note.find("identity") != std::string::npos)
        return false;
    return true;
  }
  bool all(const std::string& condition) {
    for (const zserver::NodeRow& r : server_->rows())
      if (r.condition != condition) return false;
    return true;
  }
  std::string table() {
    std::string t;
    for (const zserver::NodeRow& r : server_->rows())
      t += r.name + " " + std::to_string(r.state) + " " + r.condition + " (" + r.note + ")\n";
    // The latest messages, for the cause.
    const auto m = msgs_.messages();
    for (size_t k = m.size() > 20 ? m.size() - 20 : 0; k < m.size(); ++k)
      t += "  " + m[k].first + m[k].second + "\n";
    if (gw_.running()) t += "gateway: " + gw_.status_json() + "\n";
    t += "line handle " + std::to_string(line_handle()) + "\n";
    return t;
  }
  static NTCAN_HANDLE line_handle() {
    canline* l = zuntal_test::find_line(1);
    return l == nullptr ? -1 : l->handle();
  }
  static bool line_open() { return line_handle() > 0; }

  // The medium is back when the gateway takes a connection and answers its
  // hello: a program just started, or a service just restarted, may take a
  // moment more than its first line says (under the sanitizers).
  static bool gateway_answers() {
    NTCAN_HANDLE h = -1;
    if (canOpen(kProbeNet, 0, 1, 1, 0, 0, &h) != NTCAN_SUCCESS) return false;
    canClose(h);
    return true;
  }

  // How the medium comes back after the fault.
  enum class Back {
    AtOnce,    // right after the fault (connections cut: nothing else is away)
    ByItself,  // in real time, without the test (the gateway's own restart);
               // `restore` waits for it in step with real time
    AfterHold  // `restore` brings it back once the supervision has closed the
               // line and `hold_us` more have passed on the framework clock
  };

  // One outage: `fault` takes the medium away. The supervision must close
  // the line with every node in "Error", then reopen it, and every node must
  // be Operational again.
  void outage(const std::string& name, int round, const std::function<void()>& fault, Back how,
              const std::function<void()>& restore = nullptr, int64_t hold_us = 0,
              int64_t nodes_bound_us = kNodesBackUs, int nodes_wall_ms = 30000) {
    SCOPED_TRACE(name + " #" + std::to_string(round));
    const NTCAN_HANDLE before = line_handle();
    fault();
    if (how == Back::ByItself) {
      restore();
      ASSERT_TRUE(run_until(gateway_answers, 20000, false));
    }
    int64_t back = clock_->now_us();
    Steady::time_point wall_back = Steady::now();
    // The supervision closes the line, and every node shows the outage. A
    // cycle may take seconds (an SDO transfer waiting on a handle that died),
    // so the line may be closed and reopened within one: a new line handle
    // counts as a close, and each node's "Error" counts when it was seen.
    std::set<std::string> in_error;
    ASSERT_TRUE(run_until(
        [&] {
          for (const zserver::NodeRow& r : server_->rows())
            if (r.condition == "Error") in_error.insert(r.name);
          return line_handle() != before && in_error.size() == ids_.size();
        },
        30000, true))
        << "the line was not closed with every node in error\n"
        << table();
    if (how == Back::AfterHold) {
      const int64_t closed = clock_->now_us();
      ASSERT_TRUE(run_until([&] { return clock_->now_us() >= closed + hold_us; }, 30000, true));
      restore();
      ASSERT_TRUE(run_until(gateway_answers, 20000, false));
      back = clock_->now_us();
      wall_back = Steady::now();
    }
    ASSERT_TRUE(run_until([] { return line_open(); }, 30000, true)) << "the line stayed closed";
    const int64_t opened = clock_->now_us();
    ASSERT_TRUE(run_until([&] { return all_back(); }, nodes_wall_ms, false))
        << "not every node came back\n"
        << table();
    const int64_t done = clock_->now_us();
    const double wall = std::chrono::duration<double>(Steady::now() - wall_back).count();
    std::printf(
        "[outage] %s #%d: medium back -> line open %.1f s, -> every node Operational %.1f s "
        "(framework clock), %.2f s real; %d open handles\n",
        name.c_str(), round, seconds(opened - back), seconds(done - back), wall,
        ntcan_ctl::open_handles());
    std::fflush(stdout);
    EXPECT_LE(opened - back, kLineBackUs);
    EXPECT_LE(done - opened, nodes_bound_us);
  }

  // Waits, in step with real time, until the gateway's CAN service listens
  // again after its `restarts`-th restart.
  void service_back(int restarts) {
    const std::string done = "\"restarts\":" + std::to_string(restarts);
    ASSERT_TRUE(run_until(
        [&] {
          const std::string j = gw_.status_json();
          return j.find(done) != std::string::npos &&
                 j.find("\"service\":\"running\"") != std::string::npos;
        },
        10000, false))
        << gw_.status_json();
  }

  // Five resets through the web form: every node back after each.
  void reset_form_outages(const std::string& name) {
    for (int k = 1; k <= kRepeats; ++k) {
      ASSERT_NO_FATAL_FAILURE(outage(
          name, k,
          [&] {
            ASSERT_EQ(outage::http_post(gw_.http_port(), "/Forms/Firmware", "FWUpdReset=1",
                                        "tavroadm:kix7parlo"),
                      200);
          },
          Back::ByItself, [&] { ASSERT_NO_FATAL_FAILURE(service_back(k)); }));
    }
    expect_no_handle_left();
  }

  void expect_no_handle_left() {
    EXPECT_EQ(ntcan_ctl::open_handles(), baseline_)
        << "handles after the outages against before the first";
  }

  std::string dir_, old_cwd_;
  std::unique_ptr<outage::PacedClock> clock_;
  outage::GatewayProgram gw_;
  std::unique_ptr<outage::Relay> relay_;
  std::unique_ptr<zserver::Server> server_;
  std::vector<int> ids_;
  int baseline_ = 0;
  int64_t next_cycle_us_ = 0;
  tavro::MessageCapture msgs_;
};

const std::vector<int> kThree = {5, 12, 32};

TEST_F(GatewayOutages, HangThenUnhang) {
  start_gateway(kThree);
  ASSERT_NO_FATAL_FAILURE(start_server(kThree, gw_.can_port()));
  for (int k = 1; k <= kRepeats; ++k) {
    ASSERT_NO_FATAL_FAILURE(outage(
        "gateway hang, unhang", k,
        [&] { ASSERT_EQ(outage::http_post(gw_.http_port(), "/admin/hang", ""), 303); },
        Back::AfterHold,
        [&] { ASSERT_EQ(outage::http_post(gw_.http_port(), "/admin/unhang", ""), 303); },
        20 * kSecond));
  }
  expect_no_handle_left();
}

TEST_F(GatewayOutages, ResetFormDropsTheConnectionsAndTheServiceComesBack) {
  start_gateway(kThree);
  ASSERT_NO_FATAL_FAILURE(start_server(kThree, gw_.can_port()));
  reset_form_outages("gateway reset form");
}

// The same through the driver's socketcand medium and the gateway's
// socketcand service.
TEST_F(GatewayOutages, OverSocketcandTheResetFormDropsTheConnectionsAndEveryNodeComesBack) {
  start_gateway(kThree);
  ASSERT_NO_FATAL_FAILURE(start_server(kThree, gw_.socketcand_port(), 60000, true));
  reset_form_outages("socketcand, gateway reset form");
}

TEST_F(GatewayOutages, GatewayKilledAndStartedAgainOnTheSamePort) {
  start_gateway(kThree);
  ASSERT_NO_FATAL_FAILURE(start_server(kThree, gw_.can_port()));
  const int can_port = gw_.can_port(), http_port = gw_.http_port();
  for (int k = 1; k <= kRepeats; ++k) {
    ASSERT_NO_FATAL_FAILURE(outage(
        "gateway killed, started again", k, [&] { gw_.kill(); }, Back::AfterHold,
        [&] { ASSERT_NO_FATAL_FAILURE(start_gateway(kThree, can_port, http_port)); },
        20 * kSecond));
  }
  expect_no_handle_left();
}

TEST_F(GatewayOutages, OnlyTheClientConnectionsCut) {
  start_gateway(kThree);
  relay_ = std::make_unique<outage::Relay>(gw_.can_port());
  ASSERT_GT(relay_->port(), 0);
  ASSERT_NO_FATAL_FAILURE(start_server(kThree, relay_->port()));
  EXPECT_EQ(relay_->connections(), baseline_) << "one connection per driver handle";
  for (int k = 1; k <= kRepeats; ++k) {
    ASSERT_NO_FATAL_FAILURE(outage(
        "client connections cut", k, [&] { relay_->cut(); }, Back::AtOnce));
  }
  expect_no_handle_left();
  EXPECT_EQ(relay_->connections(), baseline_) << "no connection left behind at the gateway";
}

// 127 nodes on one line through the gateway: every one back after a reset.
TEST_F(GatewayOutages, AllOf127NodesComeBackAfterAReset) {
  std::vector<int> ids;
  for (int id = 1; id <= 127; ++id) ids.push_back(id);
  start_gateway(ids);
  ASSERT_NO_FATAL_FAILURE(start_server(ids, gw_.can_port(), 120000));
  EXPECT_EQ(baseline_, 1 + 2 * 127) << "the line's handle and two per node";
  ASSERT_NO_FATAL_FAILURE(outage(
      "127 nodes, gateway reset form", 1,
      [&] {
        ASSERT_EQ(outage::http_post(gw_.http_port(), "/Forms/Firmware", "FWUpdReset=1",
                                    "tavroadm:kix7parlo"),
                  200);
      },
      Back::ByItself, [&] { ASSERT_NO_FATAL_FAILURE(service_back(1)); }, 0,
      // Every node's identity is read again, one after the other: a pause of
      // 0.1 s and three SDO transfers each.
      kNodesBackUs + 127 * 300000, 120000));
  expect_no_handle_left();
}

// The bus monitor beside them: after a reset, a hang and a restart of the
// gateway it joins the net again on its own and goes on printing frames.
TEST_F(GatewayOutages, TheMonitorJoinsAgainAfterEachOutage) {
  start_gateway(kThree);
  peertest::Child monitor;
  std::string err;
  ASSERT_TRUE(monitor.start({ZUNTAL_MONITOR_EXE, "--gateway",
                             "127.0.0.1:" + std::to_string(gw_.can_port()), "--net", "0"},
                            &err))
      << err;
  auto heartbeat = [](const std::string& l) { return l.rfind("705#", 0) == 0; };
  ASSERT_GE(monitor.wait_for(heartbeat, 10000), 0);
  const int can_port = gw_.can_port(), http_port = gw_.http_port();
  const std::vector<std::pair<std::string, std::function<void()>>> outages = {
      {"reset form",
       [&] {
         ASSERT_EQ(
             outage::http_post(http_port, "/Forms/Firmware", "FWUpdReset=1", "tavroadm:kix7parlo"),
             200);
       }},
      {"hang",
       [&] {
         ASSERT_EQ(outage::http_post(http_port, "/admin/hang", ""), 303);
         // Silence, then a status query that times out.
         ASSERT_GE(monitor.wait_for(
                       [](const std::string& l) { return l.find(" lost") != std::string::npos; },
                       10000, monitor.line_count()),
                   0);
         ASSERT_EQ(outage::http_post(http_port, "/admin/unhang", ""), 303);
       }},
      {"kill and restart",
       [&] {
         gw_.kill();
         std::this_thread::sleep_for(std::chrono::milliseconds(300));
         ASSERT_NO_FATAL_FAILURE(start_gateway(kThree, can_port, http_port));
       }},
  };
  for (const auto& o : outages) {
    SCOPED_TRACE(o.first);
    const size_t from = monitor.line_count();
    ASSERT_NO_FATAL_FAILURE(o.second());
    const int joined = monitor.wait_for_line("# joined net 0 again", 15000, from);
    ASSERT_GE(joined, 0);
    EXPECT_GE(monitor.wait_for(heartbeat, 10000, static_cast<size_t>(joined)), 0)
        << "frames after the monitor joined again";
  }
  EXPECT_EQ(monitor.stop(2000, false), 0) << "a clean stop on SIGTERM";
}

}  // namespace
