// Hosting devices from EDS files on one net, the real-time runner, and
// devices used from several threads at once.
#include <atomic>
#include <thread>

#include "sim_bus.h"
#include "sim_fixture.h"

namespace {

using simtest::answer;
using simtest::example;
using simtest::F;
using simtest::kNet;
using simtest::SimTest;

using Bus = SimTest;

TEST_F(Bus, HostsDevicesFromEntries) {
  listen({0x705, 0x70C, 0x720, 0x707});
  zsim::Bus bus(kNet);
  bus.advance_to(100000);
  std::string err;
  ASSERT_EQ(bus.add_entries(
                {"5:" + example("zps48.eds"), example("zmc200.eds"), "0x20:" + example("zio8.eds")},
                &err),
            0)
      << err;
  EXPECT_EQ(take(), (std::vector<F>{{0x705, {0}}, {0x70C, {0}}, {0x720, {0}}}));
  ASSERT_EQ(bus.devices().size(), 3u);
  EXPECT_EQ(bus.find(12)->name(), "ZMC-200 Motor Controller");
  EXPECT_EQ(bus.find(5)->now_us(), 100000);

  // Every device moves with the bus: 1000 ms, 500 ms, and no heartbeat.
  bus.advance_to(1100000);
  EXPECT_EQ(take(), (std::vector<F>{{0x705, {0x7F}}, {0x70C, {0x7F}}, {0x70C, {0x7F}}}));

  struct Bad {
    std::string entry;
    const char* message;
  } bad[] = {
      {"12:" + example("zps48.eds"), "node 12 is already on net 3"},
      {"200:" + example("zps48.eds"), "node id must be 1 to 127"},
      {"x:" + example("zps48.eds"), "node id must be 1 to 127"},
      {"7:", "no EDS file given"},
      {"7:" + example("missing.eds"), "cannot open EDS file"},
  };
  for (const Bad& b : bad) {
    SCOPED_TRACE(b.entry);
    err.clear();
    EXPECT_EQ(bus.add_entry(b.entry, &err), nullptr);
    EXPECT_NE(err.find(b.message), std::string::npos) << err;
  }
  EXPECT_EQ(bus.devices().size(), 3u);

  EXPECT_TRUE(bus.remove(12));
  EXPECT_FALSE(bus.remove(12));
  ASSERT_NE(bus.add(7, example("zps48.eds"), &err), nullptr) << err;
  EXPECT_EQ(take(), (std::vector<F>{{0x707, {0}}}));
  bus.advance_to(2100000);
  // Node 7 started at the bus's time, 1.1 s: it beats with node 5.
  EXPECT_EQ(take(), (std::vector<F>{{0x705, {0x7F}}, {0x707, {0x7F}}}));
}

TEST_F(Bus, RunnerAdvancesFromTheSteadyClock) {
  listen({0x705});
  zsim::Bus bus(kNet);
  std::string err;
  zsim::Device* d = bus.add(5, example("zps48.eds"), &err);
  ASSERT_TRUE(d) << err;
  take();
  d->set_heartbeat_period(1);
  bus.start_runner(500);
  EXPECT_TRUE(bus.runner_running());
  CMSG m{};
  int32_t n = 1;
  // canRead waits up to the handle's 100 ms for the first beat.
  ASSERT_EQ(canRead(h_, &m, &n, nullptr), NTCAN_SUCCESS);
  EXPECT_EQ(m.id, 0x705);
  EXPECT_EQ(m.data[0], 0x7F);
  bus.stop_runner();
  EXPECT_FALSE(bus.runner_running());
  EXPECT_GT(bus.now_us(), 0);
}

// The runner sleeps while nothing is due and is woken when a device gets
// something to do: a delayed answer or a heartbeat switched on meanwhile.
TEST_F(Bus, RunnerSleepsUntilADeviceHasSomethingDue) {
  listen({0x5A0, 0x720});
  zsim::Bus bus(kNet);
  std::string err;
  zsim::Device* d = bus.add(32, example("zio8.eds"), &err);  // guarded: no heartbeat
  ASSERT_TRUE(d) << err;
  take();
  bus.start_runner();
  ASSERT_EQ(d->next_due_us(), INT64_MAX);

  // Idle: canRead's 100 ms pass with next to no wake-ups (a runner that
  // polled every millisecond would count about a hundred).
  CMSG m{};
  int32_t n = 1;
  const uint64_t before = bus.runner_wakeups();
  EXPECT_EQ(canRead(h_, &m, &n, nullptr), NTCAN_RX_TIMEOUT);
  EXPECT_LE(bus.runner_wakeups() - before, 5u);

  // A delayed answer: the request wakes the runner, which sends the answer
  // when its time comes.
  d->set_answer_delay(5000);
  send(0x620, {0x40, 0x00, 0x10, 0x00, 0, 0, 0, 0});
  n = 1;
  ASSERT_EQ(canRead(h_, &m, &n, nullptr), NTCAN_SUCCESS);
  EXPECT_EQ(m.id, 0x5A0);
  EXPECT_EQ(m.data[0], 0x43);
  // The request found the device at the runner's time, not at its last advance.
  EXPECT_GE(d->now_us(), 5000);

  // A heartbeat switched on while the runner sleeps without a deadline.
  d->set_heartbeat_period(2);
  n = 1;
  ASSERT_EQ(canRead(h_, &m, &n, nullptr), NTCAN_SUCCESS);
  EXPECT_EQ(m.id, 0x720);
  bus.stop_runner();

  // Back under the test's control: a frame no longer moves the device's time.
  d->set_heartbeat_period(0);
  d->set_answer_delay(0);
  const int64_t t = d->now_us();
  send(0x620, {0x40, 0x00, 0x10, 0x00, 0, 0, 0, 0});
  EXPECT_EQ(d->now_us(), t);
}

TEST_F(Bus, DevicesServeSeveralThreadsAtOnce) {
  zsim::Bus bus(kNet);
  std::string err;
  ASSERT_EQ(bus.add_entries({"5:" + example("zps48.eds"), "12:" + example("zmc200.eds")}, &err), 0)
      << err;
  bus.find(5)->set_heartbeat_period(1);
  bus.find(12)->set_heartbeat_period(1);

  std::atomic<bool> done{false};
  std::thread clock([&] {
    for (int64_t t = 0; !done; t += 100) bus.advance_to(t);
  });
  // Each client uploads its node's name many times on a handle of its own,
  // while the other client, the clock and guarding requests run.
  auto client = [&](int node, std::string expect, int* failures) {
    NTCAN_HANDLE h;
    ASSERT_EQ(canOpen(kNet, 0, 10, 100, 100, 100, &h), NTCAN_SUCCESS);
    ASSERT_EQ(canIdAdd(h, 0x580 + node), NTCAN_SUCCESS);
    auto request = [&](uint8_t cmd, uint16_t idx) {
      CMSG m{};
      m.id = 0x600 + node;
      m.len = 8;
      m.data[0] = cmd;
      m.data[1] = static_cast<uint8_t>(idx);
      m.data[2] = static_cast<uint8_t>(idx >> 8);
      int32_t n = 1;
      canSend(h, &m, &n);
      CMSG r{};
      n = 1;
      if (canTake(h, &r, &n) != NTCAN_SUCCESS || n != 1) return CMSG{};
      return r;
    };
    for (int round = 0; round < 200; ++round) {
      CMSG r = request(0x40, 0x1008);
      std::string got;
      for (uint8_t t = 0; r.data[0] != 0x80 && r.id != 0; t ^= 1) {
        r = request(static_cast<uint8_t>(0x60 | t << 4), 0);
        got.append(r.data + 1, r.data + 8 - ((r.data[0] >> 1) & 7));
        if (r.data[0] & 1) break;
      }
      if (got != expect) ++*failures;
      CMSG g{};
      g.id = 0x700 + node;
      g.len = NTCAN_RTR | 1;
      int32_t n = 1;
      canSend(h, &g, &n);
    }
    canClose(h);
  };
  int f5 = 0, f12 = 0;
  std::thread a(client, 5, "ZPS-48 Power Supply", &f5);
  std::thread b(client, 12, "ZMC-200 Motor Controller", &f12);
  a.join();
  b.join();
  done = true;
  clock.join();
  EXPECT_EQ(f5, 0);
  EXPECT_EQ(f12, 0);
}

}  // namespace
