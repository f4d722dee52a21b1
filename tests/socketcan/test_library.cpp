// libzuntal on a line carried by SocketCAN (line 1 = net 0 = vcan0): what it
// puts on the wire as candump records it, the node answers cansend plays,
// simulated devices behind the interface, and the line supervision across an
// interface that goes down and comes up again.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "D_zuntal.h"
#include "guest.h"
#include "ntcan_ctl.h"
#include "sim_bus.h"
#include "tavro_test.h"
#include "zuntal_test.h"

namespace {

using guest::Dump;
using Texts = std::vector<std::string>;
constexpr int64_t kSec = 1000000;

void map(int net, const std::string& ifname) {
  ntcan_ctl::NetConfig cfg;
  cfg.kind = ntcan_ctl::NetConfig::Kind::SocketCan;
  cfg.ifname = ifname;
  ntcan_ctl::configure_net(net, cfg);
}

// A manual clock that remembers the last pause asked of it and counts the
// threads in pauses shorter than a second.
class TraceClock : public tavro::ManualClock {
 public:
  void sleep_us(int64_t us) override {
    last_.store(us);
    if (us < kSec) ++short_;
    ManualClock::sleep_us(us);
    if (us < kSec) --short_;
  }
  int64_t last() const { return last_.load(); }
  int short_sleepers() const { return short_.load(); }

 private:
  std::atomic<int64_t> last_{0};
  std::atomic<int> short_{0};
};

class Library : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!guest::has_interface("vcan0")) GTEST_SKIP() << "no vcan0: run through run_in_qemu.sh";
    ntcan_ctl::reset();
    map(0, "vcan0");
  }
  void TearDown() override {
    // A node property with a handle of its own pauses as it closes it.
    answered([&] {
      nodes_.clear();
      return 0;
    });
    EXPECT_TRUE(zuntal_test::reset());
    ntcan_ctl::reset();
    guest::ip("link set vcan0 up");
  }

  // A node property on line 1, registered in buffered mode with `ident`.
  D_can* node(const std::string& name, int node_id, int ident) {
    nodes_.push_back(std::make_unique<D_can>(name, &loc_));
    D_can* n = nodes_.back().get();
    IIII a;
    a.i1_data = 1;
    a.i2_data = node_id;
    n->set_value(&a);
    EXPECT_EQ(0, answered([&] { return n->init(ident); })) << name;
    return n;
  }

  // Runs a library call that waits for answers from the bus. The framework
  // clock moves only to end the call's own short pauses (the supervision
  // thread sleeps much longer), so the answer waits never run out while the
  // peer is slow; a call still running after 60 s of real time is failed by
  // moving the clock on.
  int answered(const std::function<int()>& f) {
    auto fut = std::async(std::launch::async, f);
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (fut.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready) {
      if (clock_.short_sleepers() > 0) clock_.advance_to_next_wakeup();
      if (std::chrono::steady_clock::now() > give_up) {
        ADD_FAILURE() << "no answer within 60 s";
        clock_.advance_s(10);
      }
    }
    return fut.get();
  }

  std::string shown(const std::string& prop) {
    EqData out;
    EXPECT_EQ(0, loc_.get(prop, nullptr, &out)) << prop;
    return out.get_string();
  }
  int shown_int(const std::string& prop) {
    EqData out;
    EXPECT_EQ(0, loc_.get(prop, nullptr, &out)) << prop;
    return out.get_int();
  }

  TraceClock clock_;
  tavro::MessageCapture msgs_;
  EqFct loc_{"SCAN"};
  std::vector<std::unique_ptr<D_can>> nodes_;
};

TEST_F(Library, WhatTheLibrarySendsIsOnTheWireByteForByte) {
  D_can* n = node("NODE2", 2, 0);
  Dump dump("vcan0");
  ASSERT_TRUE(dump.ready());
  ASSERT_EQ(0, n->start_node());
  ASSERT_EQ(0, n->stop_node());
  ASSERT_EQ(0, n->reset_node());
  ASSERT_EQ(0, n->can_SDO(0x1018, 1));
  int id = 0x182;
  ASSERT_EQ(0, n->rtr(&id, 4));
  ASSERT_EQ(0, n->rtr());
  unsigned char data[3] = {0xAA, 0xBB, 0xCC};
  ASSERT_EQ(0, n->can_write(0x305, 3, data));
  EXPECT_EQ(dump.wait_for(7), (Texts{"000#0102", "000#0202", "000#8102", "602#4018100100000000",
                                     "182#R4", "702#R", "305#AABBCC"}));
}

TEST_F(Library, NodeAnswersPlayedWithCansend) {
  D_can* n = node("NODE2", 2, 0x582);
  ASSERT_EQ(0, n->AddIdent(0x702));
  ASSERT_EQ(0, n->AddIdent(0x082));

  // Heartbeat and emergency reach the node's buffer in the update cycle.
  ASSERT_EQ(0, guest::cansend("vcan0", "702#05"));
  ASSERT_EQ(0, guest::cansend("vcan0", "082#1081000000000000"));
  ASSERT_EQ(0, guest::cansend("vcan0", "083#FF"));  // another node's: not enabled
  can_looping();
  CMSG rx[100];
  int l = 0;
  ASSERT_EQ(0, n->can_array(rx, &l));
  ASSERT_EQ(2, l);
  EXPECT_EQ(100, n->alive_->check_alive(2, rx, &l));
  EXPECT_EQ(5, shown_int("NODE2.ALIVE"));
  EXPECT_EQ("Operational", shown("NODE2.CONDITION"));
  EXPECT_EQ(100, n->can_emergency(2, rx, &l));
  EXPECT_EQ(1, msgs_.count("D_can::can_emergency", "0x10 0x81 0x0 0x0 0x0 0x0 0x0 0x0 "));

  // A segmented upload of 0x1008, each answer sent once its request is seen.
  Dump requests("vcan0", "602:7FF");
  ASSERT_TRUE(requests.ready());
  const std::pair<const char*, const char*> script[] = {
      {"602#4008100000000000", "582#410810000B000000"},   // 11 bytes follow
      {"602#6000000000000000", "582#005A554E54414C20"},   // "ZUNTAL "
      {"602#7000000000000000", "582#1750533438000000"}};  // "PS48", last
  auto peer = std::async(std::launch::async, [&] {
    Texts seen;
    for (size_t k = 0; k < 3; ++k) {
      seen = requests.wait_for(k + 1);
      if (seen.size() != k + 1 || seen[k] != script[k].first) break;
      guest::cansend("vcan0", script[k].second);
    }
    return seen;
  });
  EXPECT_EQ(0, answered([&] { return n->get_manufacture(); }));
  EXPECT_EQ(peer.get(), (Texts{script[0].first, script[1].first, script[2].first}));
  EXPECT_EQ("ZUNTAL PS48", shown("NODE2.MANU"));
}

// Moves frames both ways between a net of the driver mapped to vcan0 and a
// simulated net, so that the simulated devices of that net sit behind the
// interface like nodes on a real bus: what they receive and what they answer
// passes through the kernel's CAN stack.
class Bridge {
 public:
  Bridge(int can_net, int sim_net) {
    EXPECT_EQ(0, canOpen(can_net, 0, 10, 1000, 1000, 5, &can_));
    EXPECT_EQ(0, canOpen(sim_net, 0, 10, 1000, 1000, 0, &sim_));
    for (int id = 0; id < 2048; ++id) {
      EXPECT_EQ(0, canIdAdd(can_, id));
      EXPECT_EQ(0, canIdAdd(sim_, id));
    }
    th_ = std::thread([this] { run(); });
  }
  ~Bridge() {
    stop_ = true;
    th_.join();
    canClose(can_);
    canClose(sim_);
  }

 private:
  void run() {
    CMSG buf[64];
    while (!stop_) {
      int32_t n = 64;
      if (canRead(can_, buf, &n, nullptr) == NTCAN_SUCCESS && n > 0) canSend(sim_, buf, &n);
      n = 64;
      if (canTake(sim_, buf, &n) == NTCAN_SUCCESS && n > 0) canSend(can_, buf, &n);
    }
  }
  NTCAN_HANDLE can_ = -1, sim_ = -1;
  std::atomic<bool> stop_{false};
  std::thread th_;
};

TEST_F(Library, IdentityOfSimulatedDevicesBehindTheInterface) {
  map(8, "vcan0");
  zsim::Bus bus(9);
  std::string error;
  ASSERT_NE(nullptr, bus.add(5, "examples/zps48.eds", &error)) << error;
  ASSERT_NE(nullptr, bus.add(12, "examples/zmc200.eds", &error)) << error;
  Bridge bridge(8, 9);

  for (int id : {5, 12}) {
    const std::string name = "NODE" + std::to_string(id);
    D_can* n = node(name, id, 0x580 + id);
    EXPECT_EQ(0, answered([&] { return n->get_manufacture(); }));
    EXPECT_EQ(0, answered([&] { return n->get_hwversion(); }));
    EXPECT_EQ(0, answered([&] { return n->get_swversion(); }));
    zsim::Device* dev = bus.find(id);
    for (const auto& obj : {std::make_pair(".MANU", 0x1008), std::make_pair(".HWVER", 0x1009),
                            std::make_pair(".SWVER", 0x100A)}) {
      std::vector<uint8_t> bytes;
      ASSERT_TRUE(dev->read_object(static_cast<uint16_t>(obj.second), 0, &bytes));
      EXPECT_EQ(std::string(bytes.begin(), bytes.end()), shown(name + obj.first)) << name;
    }
    ASSERT_EQ(0, n->start_node());
    EXPECT_TRUE(guest::eventually([&] { return dev->state() == zsim::NmtState::Operational; }));
  }
}

// 4 KiB by SDO block transfer each way through the kernel's CAN stack,
// byte for byte, without falling back to segmented.
TEST_F(Library, BlockTransfersThroughTheInterface) {
  map(8, "vcan0");
  zsim::Bus bus(9);
  std::string error;
  zsim::Device* dev = bus.add(5, "examples/zps48.eds", &error);
  ASSERT_NE(nullptr, dev) << error;
  Bridge bridge(8, 9);
  D_can* n = node("NODE5", 5, 0x585);
  std::string data(4096, '\0');
  for (size_t k = 0; k < data.size(); ++k) data[k] = static_cast<char>(k * 13 + 1);
  EXPECT_EQ(0, answered([&] { return n->blockSdoWrite(5, 0x2004, 0, data.data(), 4096); }));
  std::vector<uint8_t> stored;
  ASSERT_TRUE(dev->read_object(0x2004, 0, &stored));
  EXPECT_EQ(std::string(stored.begin(), stored.end()), data);
  std::string back(4096, '\0');
  int len = 0;
  EXPECT_EQ(0, answered([&] { return n->blockSdoRead(5, 0x2004, 0, &back[0], 4096, &len); }));
  EXPECT_EQ(back, data);
}

TEST_F(Library, SupervisionClosesAndReopensTheLineAcrossInterfaceDownAndUp) {
  node("NODE2", 2, 0x582);
  canline* line = zuntal_test::find_line(1);
  ASSERT_NE(nullptr, line);
  const NTCAN_HANDLE first = line->handle();
  ASSERT_GT(first, 0);
  ASSERT_TRUE(clock_.wait_for_sleepers(1));

  // Ends the whole-second pause the supervision thread sleeps in and lets it
  // run, through its short pauses around opening and closing, until it sleeps
  // a whole-second pause again. Returns the pause ended, in seconds.
  auto next = [&] {
    const int64_t us = clock_.last();
    do {
      clock_.advance_to_next_wakeup();
      if (!clock_.wait_for_sleepers(1, 30000)) return -1;
    } while (clock_.last() < kSec);
    return static_cast<int>(us / kSec);
  };
  auto sleeping = [&] { return static_cast<int>(clock_.last() / kSec); };
  auto texts = [&](const std::string& label) {
    Texts v;
    for (const auto& m : msgs_.messages())
      if (m.first == label) v.push_back(m.second);
    return v;
  };
  const std::string down = "Line : 1mess: NTCAN_CONTR_OFF_BUS(0x00000105)";

  ASSERT_EQ(60, next());
  ASSERT_EQ(1, next());  // a good status query
  ASSERT_EQ(0, guest::ip("link set vcan0 down"));
  ASSERT_EQ(1, next());
  EXPECT_EQ(texts("1. canStatus returned: "), Texts{down});
  EXPECT_EQ(first, line->handle());
  ASSERT_EQ(1, next());
  EXPECT_EQ(texts("2. canStatus returned: "), Texts{down});
  EXPECT_EQ(-1, line->handle());
  EXPECT_EQ(15, sleeping());
  // Reopen attempts on the interface that is still down.
  ASSERT_EQ(15, next());
  ASSERT_EQ(1, next());
  EXPECT_EQ(texts("canOpen returned: "), Texts{down});
  ASSERT_EQ(2, next());
  EXPECT_EQ(-1, line->handle());
  EXPECT_EQ(3, sleeping());

  ASSERT_EQ(0, guest::ip("link set vcan0 up"));
  ASSERT_EQ(3, next());
  const NTCAN_HANDLE reopened = line->handle();
  EXPECT_GT(reopened, 0);
  EXPECT_NE(first, reopened);
  ASSERT_EQ(4, next());  // status query on the new handle: good
  ASSERT_EQ(1, sleeping());
  EXPECT_EQ(texts("1. canStatus returned: ").size(), 1u);
  EXPECT_EQ(texts("canOpen returned: ").size(), 1u);

  // The reopened line carries frames again.
  Dump dump("vcan0");
  ASSERT_TRUE(dump.ready());
  CMSG f = guest::frame("000#0102");
  int32_t n = 1;
  ASSERT_EQ(NTCAN_SUCCESS, canSend(line->handle(), &f, &n));
  EXPECT_EQ(dump.wait_for(1), Texts{"000#0102"});
}

}  // namespace
