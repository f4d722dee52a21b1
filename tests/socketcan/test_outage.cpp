// The example server's three nodes on vcan0 through SocketCAN outages: the
// link set down and up, the interface deleted and created again, and the
// controller off the bus and back. Each outage five times in a row; after
// each one every node is Operational again and the server holds as many
// driver handles as before the first.
//
// The devices are not the server's: a device host of the test's own sits on
// vcan0 with a plain CAN_RAW socket of its own (not the driver), like
// another node on the bus, and carries frames between the interface and the
// simulated devices on a simulated net. When vcan0 is deleted it binds
// again to the new one.
//
// Time: the server's cycles and the library's pauses run on the framework's
// manual clock, one cycle per 100 ms; frames cross the kernel in real time,
// so each cycle also leaves the device host a few real milliseconds. The
// figures printed are framework time from the medium back to every node
// Operational.
#include <gtest/gtest.h>
#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "guest.h"
#include "ntcan_ctl.h"
#include "server.h"
#include "sim_bus.h"
#include "tavro_test.h"
#include "zuntal_test.h"

namespace {

constexpr int kSimNet = 9;  // the devices' simulated net

// Sleeps shorter than half a second (around opening and closing handles)
// pass at once; the line supervision's pauses wait for the test.
class HybridClock : public tavro::ManualClock {
 public:
  void sleep_us(int64_t us) override {
    if (us < 500000) {
      advance_us(us);
      return;
    }
    ManualClock::sleep_us(us);
  }
};

// Simulated devices behind vcan0, reached through a CAN_RAW socket of the
// host's own.
class DeviceHost {
 public:
  DeviceHost() : bus_(kSimNet) {
    std::string error;
    for (auto d :
         {std::make_pair(5, "examples/zps48.eds"), std::make_pair(12, "examples/zmc200.eds"),
          std::make_pair(32, "examples/zio8.eds")})
      EXPECT_NE(nullptr, bus_.add(d.first, d.second, &error)) << error;
    EXPECT_EQ(NTCAN_SUCCESS, canOpen(kSimNet, 0, 10, 10000, 1000, 0, &sim_));
    for (int id = 0; id < 2048; ++id) EXPECT_EQ(NTCAN_SUCCESS, canIdAdd(sim_, id));
    th_ = std::thread([this] { run(); });
  }
  ~DeviceHost() {
    stop_ = true;
    th_.join();
    if (fd_ >= 0) ::close(fd_);
    canClose(sim_);
  }
  zsim::Bus& bus() { return bus_; }
  int rebinds() const { return rebinds_.load(); }

 private:
  bool bind_vcan0() {
    const unsigned index = if_nametoindex("vcan0");
    if (index == 0) return false;
    int fd = ::socket(PF_CAN, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, CAN_RAW);
    if (fd < 0) return false;
    sockaddr_can a;
    std::memset(&a, 0, sizeof a);
    a.can_family = AF_CAN;
    a.can_ifindex = static_cast<int>(index);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0) {
      ::close(fd);
      return false;
    }
    fd_ = fd;
    ++rebinds_;
    return true;
  }

  void run() {
    CMSG buf[64];
    while (!stop_) {
      if (fd_ < 0 && !bind_vcan0()) {
        // The interface is gone: the devices talk to nobody meanwhile.
        int32_t n = 64;
        canTake(sim_, buf, &n);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        continue;
      }
      pollfd p{fd_, POLLIN, 0};
      ::poll(&p, 1, 1);
      // From the interface to the devices.
      for (;;) {
        can_frame f;
        ssize_t k = ::recv(fd_, &f, sizeof f, MSG_DONTWAIT);
        if (k < 0 && (errno == ENODEV || errno == ENXIO)) {
          ::close(fd_);
          fd_ = -1;
          break;
        }
        if (k != static_cast<ssize_t>(sizeof f)) break;
        if (f.can_id & (CAN_EFF_FLAG | CAN_ERR_FLAG)) continue;
        CMSG m;
        std::memset(&m, 0, sizeof m);
        m.id = static_cast<int32_t>(f.can_id & CAN_SFF_MASK);
        m.len = static_cast<uint8_t>(std::min<int>(f.len, 8));
        if (f.can_id & CAN_RTR_FLAG)
          m.len |= NTCAN_RTR;
        else
          std::memcpy(m.data, f.data, 8);
        int32_t n = 1;
        canSend(sim_, &m, &n);
      }
      if (fd_ < 0) continue;
      // From the devices to the interface; while it is down they are lost,
      // as on a bus whose other end is away.
      int32_t n = 64;
      if (canTake(sim_, buf, &n) != NTCAN_SUCCESS) continue;
      for (int i = 0; i < n; ++i) {
        can_frame f;
        std::memset(&f, 0, sizeof f);
        f.can_id = static_cast<canid_t>(buf[i].id);
        f.len = buf[i].len & NTCAN_DLC;
        if (buf[i].len & NTCAN_RTR)
          f.can_id |= CAN_RTR_FLAG;
        else
          std::memcpy(f.data, buf[i].data, 8);
        if (::send(fd_, &f, sizeof f, MSG_DONTWAIT) < 0 && (errno == ENODEV || errno == ENXIO)) {
          ::close(fd_);
          fd_ = -1;
          break;
        }
      }
    }
  }

  zsim::Bus bus_;
  NTCAN_HANDLE sim_ = -1;
  int fd_ = -1;  // the host's thread's
  std::atomic<int> rebinds_{0};
  std::atomic<bool> stop_{false};
  std::thread th_;
};

class Outage : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!guest::has_interface("vcan0")) GTEST_SKIP() << "no vcan0: run through run_in_qemu.sh";
    ntcan_ctl::reset();
    zuntal_test::reset();
    ntcan_ctl::NetConfig cfg;
    cfg.kind = ntcan_ctl::NetConfig::Kind::SocketCan;
    cfg.ifname = "vcan0";
    ntcan_ctl::configure_net(0, cfg);  // line 1
    clock_ = std::make_unique<HybridClock>();
    host_ = std::make_unique<DeviceHost>();
    std::ofstream("/tmp/outage.conf") << "LOCATION CANOPEN.LINE1\n"
                                         "NODE5 \t1  5  0  0\nNODE5.BAUDRATE\t6\n"
                                         "NODE12 \t1  12  0  0\nNODE12.BAUDRATE\t6\n"
                                         "NODE32 \t1  32  0  0\nNODE32.BAUDRATE\t6\n";
    zserver::ServerOptions o;
    o.config_path = "/tmp/outage.conf";
    o.write_path = "/tmp/outage-written.conf";
    o.host_devices = false;
    server_ = std::make_unique<zserver::Server>(o);
    ASSERT_EQ(server_->load(), 0);
    server_->start();
  }
  void TearDown() override {
    server_.reset();
    host_.reset();
    EXPECT_TRUE(zuntal_test::reset());
    ntcan_ctl::reset();
    clock_.reset();
    if (!guest::has_interface("vcan0")) guest::ip("link add dev vcan0 type vcan");
    guest::ip("link set vcan0 up");
  }

  // One update cycle, 100 ms of framework time after the last, with a few
  // real milliseconds for frames to cross the kernel and the device host.
  void step() {
    clock_->advance_us(100000);
    clock_->wait_for_sleepers(zuntal_test::running_supervision_threads(), 2000);
    host_->bus().advance_to(clock_->now_us());
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
    server_->cycle();
  }
  // Cycles until `done` holds, for at most `seconds` of framework time.
  bool run_until(const std::function<bool()>& done, int seconds) {
    for (int k = 0; k < seconds * 10; ++k) {
      if (done()) return true;
      step();
    }
    return done();
  }
  std::string get(const std::string& name) { return server_->execute("get " + name); }
  bool all_operational() {
    for (const char* n : {"NODE5", "NODE12", "NODE32"})
      if (get(std::string(n) + ".CONDITION") != "Operational") return false;
    return true;
  }
  bool none_operational() {
    for (const char* n : {"NODE5", "NODE12", "NODE32"})
      if (get(std::string(n) + ".CONDITION") == "Operational") return false;
    return true;
  }
  std::string conditions() {
    std::string s;
    for (const char* n : {"NODE5", "NODE12", "NODE32"})
      s += std::string(n) + "=" + get(std::string(n) + ".CONDITION") + " ";
    return s;
  }

  // Brings the server up (past the supervision's first status query, 60 s
  // after the line opened), then runs `cut` and `restore` five times: after
  // `cut` the nodes must have left Operational; after `restore` all three
  // must be back. Prints the framework time from restore to all back.
  void five_times(const char* what, const std::function<void()>& cut,
                  const std::function<void()>& restore) {
    ASSERT_TRUE(run_until([&] { return all_operational(); }, 30)) << conditions();
    ASSERT_TRUE(run_until([] { return false; }, 61) || all_operational()) << conditions();
    ASSERT_TRUE(all_operational()) << conditions();
    const int handles = ntcan_ctl::open_handles(0);
    EXPECT_GT(handles, 0);
    std::vector<double> back_s;
    for (int round = 1; round <= 5; ++round) {
      SCOPED_TRACE(std::string(what) + ", outage " + std::to_string(round));
      cut();
      ASSERT_TRUE(run_until([&] { return none_operational(); }, 60)) << conditions();
      // Long enough for the line supervision to close the line.
      ASSERT_TRUE(run_until([] { return false; }, 3) || true);
      restore();
      const int64_t t0 = clock_->now_us();
      ASSERT_TRUE(run_until([&] { return all_operational(); }, 120)) << conditions();
      back_s.push_back(static_cast<double>(clock_->now_us() - t0) / 1e6);
      // And they stay up.
      ASSERT_TRUE(run_until([] { return false; }, 5) || all_operational()) << conditions();
      ASSERT_TRUE(all_operational()) << conditions();
      EXPECT_EQ(handles, ntcan_ctl::open_handles(0)) << "driver handles leaked or lost";
    }
    std::printf("OUTAGE-FIGURES %s: medium back to all nodes Operational (framework s):", what);
    for (double s : back_s) std::printf(" %.1f", s);
    std::printf("\n");
  }

  std::unique_ptr<HybridClock> clock_;
  std::unique_ptr<DeviceHost> host_;
  std::unique_ptr<zserver::Server> server_;
};

TEST_F(Outage, LinkDownAndUpFiveTimes) {
  five_times(
      "link down and up", [] { ASSERT_EQ(0, guest::ip("link set vcan0 down")); },
      [] { ASSERT_EQ(0, guest::ip("link set vcan0 up")); });
}

TEST_F(Outage, InterfaceDeletedAndCreatedFiveTimes) {
  five_times(
      "interface deleted and created", [] { ASSERT_EQ(0, guest::ip("link del vcan0")); },
      [] {
        ASSERT_EQ(0, guest::ip("link add dev vcan0 type vcan"));
        ASSERT_EQ(0, guest::ip("link set vcan0 up"));
      });
  EXPECT_GE(host_->rebinds(), 6) << "the device host bound to every new vcan0";
}

TEST_F(Outage, BusOffAndBackFiveTimes) {
  // Error frames as the controller's driver sends them: bus-off, and the
  // restart after it. Every handle of the server's net takes them.
  five_times(
      "bus-off and back",
      [] { ASSERT_EQ(0, guest::cansend("vcan0", "20000040#0000000000000000")); },
      [] { ASSERT_EQ(0, guest::cansend("vcan0", "20000100#0000000000000000")); });
}

}  // namespace
