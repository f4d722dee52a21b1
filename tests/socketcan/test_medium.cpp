// The driver's SocketCAN medium on a real kernel CAN stack: vcan0, and the two
// emulated SJA1000 controllers can0 and can1 on one emulated bus, with
// can-utils and iproute2 as the independent side.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "guest.h"
#include "ntcan.h"
#include "ntcan_ctl.h"

namespace {

using guest::Dump;
using guest::frame;
using guest::text;
using Texts = std::vector<std::string>;

constexpr int kNet = 0;  // vcan0

class Medium : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!guest::has_interface("vcan0")) GTEST_SKIP() << "no vcan0: run through run_in_qemu.sh";
    ntcan_ctl::reset();
    map(kNet, "vcan0");
  }
  void TearDown() override {
    ntcan_ctl::reset();
    if (!guest::has_interface("vcan0")) guest::ip("link add dev vcan0 type vcan");
    guest::ip("link set vcan0 up");
  }

  static void map(int net, const std::string& ifname) {
    ntcan_ctl::NetConfig cfg;
    cfg.kind = ntcan_ctl::NetConfig::Kind::SocketCan;
    cfg.ifname = ifname;
    ntcan_ctl::configure_net(net, cfg);
  }
  static NTCAN_HANDLE open(int net = kNet, int rxqueue = 100, int rxtimeout = 2000) {
    NTCAN_HANDLE h = -1;
    EXPECT_EQ(NTCAN_SUCCESS, canOpen(net, 0, 10, rxqueue, 1000, rxtimeout, &h));
    return h;
  }
  static NTCAN_RESULT send(NTCAN_HANDLE h, const Texts& frames, int32_t* accepted = nullptr) {
    std::vector<CMSG> v;
    for (const auto& t : frames) v.push_back(frame(t));
    int32_t n = static_cast<int32_t>(v.size());
    NTCAN_RESULT r = canSend(h, v.data(), &n);
    if (accepted) *accepted = n;
    return r;
  }
  // Reads until `n` frames have come (canRead waits up to the handle's
  // receive time-out for each batch), then takes whatever else is queued.
  static std::vector<CMSG> receive(NTCAN_HANDLE h, size_t n) {
    std::vector<CMSG> got;
    CMSG buf[200];
    while (got.size() < n) {
      int32_t k = 200;
      if (canRead(h, buf, &k, nullptr) != NTCAN_SUCCESS) break;
      got.insert(got.end(), buf, buf + k);
    }
    int32_t k = 200;
    if (canTake(h, buf, &k) == NTCAN_SUCCESS) got.insert(got.end(), buf, buf + k);
    return got;
  }
  static Texts texts(const std::vector<CMSG>& v) {
    Texts t;
    for (const auto& f : v) t.push_back(text(f));
    return t;
  }
  static Texts sorted(Texts v) {
    std::sort(v.begin(), v.end());
    return v;
  }
  static size_t queued(NTCAN_HANDLE h) {
    CMSG buf[200];
    int32_t k = 200;
    EXPECT_EQ(NTCAN_SUCCESS, canTake(h, buf, &k));
    return static_cast<size_t>(k);
  }
  static CAN_IF_STATUS status(NTCAN_HANDLE h, NTCAN_RESULT expect) {
    CAN_IF_STATUS st;
    std::memset(&st, 0xEE, sizeof st);
    EXPECT_EQ(expect, canStatus(h, &st));
    return st;
  }
};

TEST_F(Medium, FramesReachOtherSocketsThroughTheKernelFilter) {
  NTCAN_HANDLE a = open(), b = open();
  for (int id : {0x000, 0x100, 0x7FF}) ASSERT_EQ(NTCAN_SUCCESS, canIdAdd(b, id));
  // b's identifiers are filtered in the kernel: data frames through the
  // per-identifier table, remote requests through the mask list.
  EXPECT_EQ(sorted(guest::receivers("sff", "vcan0")),
            (Texts{"000/c00007ff", "100/c00007ff", "7ff/c00007ff"}));
  EXPECT_EQ(guest::receivers("fil", "vcan0").size(), 3u);
  Dump dump("vcan0");
  ASSERT_TRUE(dump.ready());

  // Batch of four, one of them not enabled on b: a never hears itself.
  ASSERT_EQ(NTCAN_SUCCESS, send(a, {"100#1122334455667788", "123#01", "7FF#R3", "000#"}));
  EXPECT_EQ(texts(receive(b, 3)), (Texts{"100#1122334455667788", "7FF#R3", "000#"}));
  EXPECT_EQ(dump.wait_for(4), (Texts{"100#1122334455667788", "123#01", "7FF#R3", "000#"}));

  // Frames of another program on the interface.
  ASSERT_EQ(NTCAN_SUCCESS, canIdAdd(a, 0x555));
  for (const char* f : {"100#DEADBEEF", "555#01", "7FF#R"})
    ASSERT_EQ(0, guest::cansend("vcan0", f));
  EXPECT_EQ(texts(receive(b, 2)), (Texts{"100#DEADBEEF", "7FF#R"}));
  EXPECT_EQ(texts(receive(a, 1)), (Texts{"555#01"}));

  // A device attached to the net is heard by the interface and the handles.
  int dev = ntcan_ctl::attach_device(kNet, [](const CMSG&) {});
  CMSG boot = frame("000#8107");
  ASSERT_EQ(NTCAN_SUCCESS, ntcan_ctl::inject(kNet, &boot, 1, dev));
  EXPECT_EQ(texts(receive(b, 1)), (Texts{"000#8107"}));
  EXPECT_EQ(dump.wait_for(8).back(), "000#8107");
  ntcan_ctl::detach_device(dev);

  // A deleted identifier leaves the kernel's table and stops arriving.
  ASSERT_EQ(NTCAN_SUCCESS, canIdDelete(b, 0x100));
  EXPECT_EQ(sorted(guest::receivers("sff", "vcan0")),
            (Texts{"000/c00007ff", "555/c00007ff", "7ff/c00007ff"}));  // 555 is a's
  ASSERT_EQ(0, guest::cansend("vcan0", "100#01"));
  ASSERT_EQ(0, guest::cansend("vcan0", "000#02"));
  EXPECT_EQ(texts(receive(b, 1)), (Texts{"000#02"}));

  // Many identifiers are covered by blocks of identifiers in the kernel; the
  // handle still gets exactly its own.
  for (int id = 0x200; id < 0x400; ++id) ASSERT_EQ(NTCAN_SUCCESS, canIdAdd(a, id));
  EXPECT_GT(guest::receivers("fil", "vcan0").size(), 0u);
  ASSERT_EQ(NTCAN_SUCCESS, send(b, {"1FF#01", "200#02", "3FF#03", "400#04", "555#05"}));
  EXPECT_EQ(texts(receive(a, 3)), (Texts{"200#02", "3FF#03", "555#05"}));

  ASSERT_EQ(NTCAN_SUCCESS, canClose(a));
  ASSERT_EQ(NTCAN_SUCCESS, canClose(b));
  EXPECT_EQ(guest::receivers("sff", "vcan0"), Texts{});
  EXPECT_EQ(guest::receivers("fil", "vcan0"), Texts{});
}

// Devices hear every frame on the interface once, whoever sent it, never
// their own, and are heard once (after an outage too: test_wire.cpp).
TEST_F(Medium, DevicesHearTheWireOnce) {
  std::mutex mx;
  Texts heard;
  auto heard_now = [&] {
    std::lock_guard<std::mutex> lk(mx);
    return heard;
  };
  const int ear = ntcan_ctl::attach_device(kNet, [&](const CMSG& f) {
    std::lock_guard<std::mutex> lk(mx);
    heard.push_back(text(f));
  });
  const int other = ntcan_ctl::attach_device(kNet, [](const CMSG&) {});
  NTCAN_HANDLE h = open();
  for (int id : {0x181, 0x182}) ASSERT_EQ(NTCAN_SUCCESS, canIdAdd(h, id));
  Dump dump("vcan0");
  ASSERT_TRUE(dump.ready());
  CMSG f[2] = {frame("181#01"), frame("182#02")};
  ASSERT_EQ(NTCAN_SUCCESS, send(h, {"601#40"}));
  ASSERT_EQ(0, guest::cansend("vcan0", "602#40"));
  ASSERT_EQ(NTCAN_SUCCESS, ntcan_ctl::inject(kNet, &f[0], 1, other));
  ASSERT_EQ(NTCAN_SUCCESS, ntcan_ctl::inject(kNet, &f[1], 1, ear));
  // Last: once it is heard, a second copy of any frame before it would be too.
  ASSERT_EQ(0, guest::cansend("vcan0", "7FF#"));
  ASSERT_TRUE(guest::eventually([&] { return heard_now().size() >= 4; }));
  EXPECT_EQ(sorted(heard_now()), (Texts{"181#01", "601#40", "602#40", "7FF#"}));
  EXPECT_EQ(dump.wait_for(5), (Texts{"601#40", "602#40", "181#01", "182#02", "7FF#"}));
  EXPECT_EQ(texts(receive(h, 2)), (Texts{"181#01", "182#02"}));
}

TEST_F(Medium, FullQueueCountsLostFramesAndReadTimesOut) {
  NTCAN_HANDLE a = open(), b = open(kNet, 100, 30);
  ASSERT_EQ(NTCAN_SUCCESS, canIdAdd(b, 0x200));
  CMSG nothing;
  int32_t k = 1;
  EXPECT_EQ(NTCAN_RX_TIMEOUT, canRead(b, &nothing, &k, nullptr));
  EXPECT_EQ(0, k);

  // 150 frames in one call: more than one recvmmsg batch and more than the
  // queue holds. The oldest 100 stay; the first taken counts the other 50.
  std::vector<CMSG> burst(150);
  for (int i = 0; i < 150; ++i) {
    burst[i] = frame("200#0000");
    burst[i].data[0] = static_cast<uint8_t>(i);
  }
  int32_t n = 150;
  ASSERT_EQ(NTCAN_SUCCESS, canSend(a, burst.data(), &n));
  ASSERT_EQ(150, n);
  // All delivered to b's socket once the kernel's receiver has matched them.
  ASSERT_TRUE(guest::eventually([] { return guest::matches("sff", "vcan0", "200") >= 150; }));
  CMSG got[200];
  k = 200;
  ASSERT_EQ(NTCAN_SUCCESS, canTake(b, got, &k));
  ASSERT_EQ(100, k);
  EXPECT_EQ(50, got[0].msg_lost);
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(i, got[i].data[0]);
    if (i > 0) {
      EXPECT_EQ(0, got[i].msg_lost);
    }
  }
  EXPECT_EQ(0u, queued(b));
  ASSERT_EQ(0, guest::cansend("vcan0", "200#FF"));
  std::vector<CMSG> after = receive(b, 1);
  ASSERT_EQ(1u, after.size());
  EXPECT_EQ(0, after[0].msg_lost);
}

// Every call but canClose answers `expect`, canTake and canRead included.
void expect_failing(NTCAN_HANDLE h, NTCAN_RESULT expect, const char* what) {
  SCOPED_TRACE(what);
  CMSG buf[4];
  int32_t n = 4;
  EXPECT_EQ(expect, canTake(h, buf, &n));
  EXPECT_EQ(0, n);
  n = 4;
  EXPECT_EQ(expect, canRead(h, buf, &n, nullptr));
  EXPECT_EQ(0, n);
  CMSG f = frame("010#01");
  n = 1;
  EXPECT_EQ(expect, canSend(h, &f, &n));
  EXPECT_EQ(0, n);
  EXPECT_EQ(expect, canIdAdd(h, 0x11));
  EXPECT_EQ(expect, canIdDelete(h, 0x10));
  EXPECT_EQ(expect, canSetBaudrate(h, 6));
  CAN_IF_STATUS st;
  EXPECT_EQ(expect, canStatus(h, &st));
}

// canRead on h in a thread, with the handle's (long) time-out; the
// answer once it has returned.
class Reader {
 public:
  explicit Reader(NTCAN_HANDLE h)
      : th_([this, h] {
          CMSG f;
          int32_t n = 1;
          st_ = canRead(h, &f, &n, nullptr);
        }) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  NTCAN_RESULT result() {
    th_.join();
    return st_;
  }

 private:
  NTCAN_RESULT st_ = -1;
  std::thread th_;
};

TEST_F(Medium, InterfaceDownOrGoneFailsEveryCallAndWakesAReader) {
  NTCAN_HANDLE h = open();
  ASSERT_EQ(NTCAN_SUCCESS, canIdAdd(h, 0x10));
  NTCAN_HANDLE waiting = open(kNet, 100, 600000);
  ASSERT_EQ(NTCAN_SUCCESS, canIdAdd(waiting, 0x10));
  CAN_IF_STATUS st = status(h, NTCAN_SUCCESS);
  EXPECT_EQ(0u, st.boardstatus);
  EXPECT_STREQ("vcan0", reinterpret_cast<const char*>(st.boardid));

  // Down: a reader with a 10-minute time-out wakes with the status.
  Reader reader(waiting);
  ASSERT_EQ(0, guest::ip("link set vcan0 down"));
  EXPECT_EQ(NTCAN_CONTR_OFF_BUS, reader.result());
  EXPECT_EQ(0x10u, status(h, NTCAN_CONTR_OFF_BUS).boardstatus);
  expect_failing(h, NTCAN_CONTR_OFF_BUS, "interface down");
  NTCAN_HANDLE other = -1;
  EXPECT_EQ(NTCAN_CONTR_OFF_BUS, canOpen(kNet, 0, 10, 100, 1000, 0, &other));
  EXPECT_EQ(-1, other);

  // Up again, the handles carry on: the first call after it works.
  ASSERT_EQ(0, guest::ip("link set vcan0 up"));
  EXPECT_EQ(NTCAN_SUCCESS, send(h, {"011#01"}));
  status(h, NTCAN_SUCCESS);
  ASSERT_EQ(0, guest::cansend("vcan0", "010#02"));
  EXPECT_EQ(texts(receive(h, 1)), (Texts{"010#02"}));
  EXPECT_EQ(texts(receive(waiting, 1)), (Texts{"010#02"}));

  // Down and up between two calls: the first call that learns of it answers
  // the down once, then the handle works.
  ASSERT_EQ(0, guest::ip("link set vcan0 down"));
  ASSERT_EQ(0, guest::ip("link set vcan0 up"));
  CMSG buf[4];
  int32_t n = 4;
  EXPECT_EQ(NTCAN_CONTR_OFF_BUS, canTake(h, buf, &n));
  n = 4;
  EXPECT_EQ(NTCAN_SUCCESS, canTake(h, buf, &n));
  ASSERT_EQ(0, guest::cansend("vcan0", "010#03"));
  EXPECT_EQ(texts(receive(h, 1)), (Texts{"010#03"}));

  // An interface that goes away fails its handles for good, also when one
  // of the same name comes back; a waiting reader wakes.
  ASSERT_EQ(0, guest::ip("link add dev vcan9 type vcan"));
  ASSERT_EQ(0, guest::ip("link set vcan9 up"));
  map(1, "vcan9");
  NTCAN_HANDLE g = open(1);
  ASSERT_EQ(NTCAN_SUCCESS, canIdAdd(g, 0x10));
  NTCAN_HANDLE gw = open(1, 100, 600000);
  ASSERT_EQ(NTCAN_SUCCESS, send(g, {"020#01"}));
  Reader gone_reader(gw);
  ASSERT_EQ(0, guest::ip("link del vcan9"));
  // The kernel takes an interface down before it deletes it: the reader
  // may wake with either.
  const NTCAN_RESULT woke = gone_reader.result();
  EXPECT_TRUE(woke == NTCAN_NET_NOT_FOUND || woke == NTCAN_CONTR_OFF_BUS) << woke;
  EXPECT_EQ(0x20u, status(g, NTCAN_NET_NOT_FOUND).boardstatus);
  expect_failing(g, NTCAN_NET_NOT_FOUND, "interface deleted");
  EXPECT_EQ(NTCAN_NET_NOT_FOUND, canOpen(1, 0, 10, 100, 1000, 0, &other));
  ASSERT_EQ(0, guest::ip("link add dev vcan9 type vcan"));
  ASSERT_EQ(0, guest::ip("link set vcan9 up"));
  expect_failing(g, NTCAN_NET_NOT_FOUND, "bound to the interface that went");
  NTCAN_HANDLE g2 = open(1);
  status(g2, NTCAN_SUCCESS);
  const int before = ntcan_ctl::open_handles();
  EXPECT_EQ(NTCAN_SUCCESS, canClose(g));
  EXPECT_EQ(NTCAN_SUCCESS, canClose(gw));
  EXPECT_EQ(before - 2, ntcan_ctl::open_handles());
  guest::ip("link del vcan9");

  // A handle that only takes learns of a deletion from its own socket.
  ASSERT_EQ(0, guest::ip("link add dev vcan9 type vcan"));
  ASSERT_EQ(0, guest::ip("link set vcan9 up"));
  NTCAN_HANDLE t = open(1);
  ASSERT_EQ(0, guest::ip("link del vcan9"));
  n = 4;
  EXPECT_EQ(NTCAN_NET_NOT_FOUND, canTake(t, buf, &n));

  // Names that are no CAN interface.
  map(2, "nosuch0");
  EXPECT_EQ(NTCAN_NET_NOT_FOUND, canOpen(2, 0, 10, 100, 1000, 0, &other));
  map(2, "lo");
  EXPECT_EQ(NTCAN_NET_NOT_FOUND, canOpen(2, 0, 10, 100, 1000, 0, &other));
}

TEST_F(Medium, FramesTheKernelDroppedCountInMsgLost) {
  NTCAN_HANDLE a = open(), b = open(kNet, 100000, 200);
  ASSERT_EQ(NTCAN_SUCCESS, canIdAdd(b, 0x200));
  // Sends n frames of 0x200 on a while nobody takes on b, letting the
  // kernel hand each chunk to the sockets (its backlog of received frames
  // is small, and drops there are no socket's).
  auto flood = [&](int n) {
    const unsigned long matched = guest::matches("sff", "vcan0", "200");
    std::vector<CMSG> chunk(32, frame("200#00"));
    for (int sent = 0; sent < n;) {
      int32_t k = std::min(32, n - sent);
      ASSERT_EQ(NTCAN_SUCCESS, canSend(a, chunk.data(), &k));
      sent += k;
      ASSERT_TRUE(guest::eventually(
          [&] { return guest::matches("sff", "vcan0", "200") >= matched + sent; }));
    }
  };
  // Everything b has, and the sum of msg_lost over it.
  auto take_all = [&](unsigned* lost) {
    std::vector<CMSG> got;
    CMSG buf[200];
    *lost = 0;
    for (;;) {
      int32_t k = 200;
      EXPECT_EQ(NTCAN_SUCCESS, canTake(b, buf, &k));
      if (k <= 0) return got;
      for (int i = 0; i < k; ++i) *lost += buf[i].msg_lost;
      got.insert(got.end(), buf, buf + k);
    }
  };

  // Far more than the socket's buffer holds: what it held is taken, and the
  // kernel's count of the rest comes with the next frame that gets in
  // (saturated: more than 255 were lost).
  flood(12000);
  unsigned lost = 0;
  const size_t held = take_all(&lost).size();
  ASSERT_LT(held, 12000u) << "the socket buffer held them all";
  EXPECT_EQ(0u, lost) << "no frame after the drops yet";
  flood(1);
  std::vector<CMSG> next = take_all(&lost);
  ASSERT_EQ(1u, next.size());
  EXPECT_EQ(255, next[0].msg_lost);

  // 100 more than the buffer holds: every frame is taken or counted lost,
  // and the count stops at the frames the kernel dropped.
  flood(static_cast<int>(held) + 100);
  size_t got = take_all(&lost).size();
  flood(1);
  unsigned lost_after = 0;
  got += take_all(&lost_after).size();
  EXPECT_GT(lost + lost_after, 0u);
  EXPECT_EQ(held + 100 + 1, got + lost + lost_after);
}

TEST_F(Medium, ErrorFramesSetTheControllerState) {
  NTCAN_HANDLE h = open();
  Dump dump("vcan0");
  ASSERT_TRUE(dump.ready());
  // Error frames as a controller driver sends them (CAN_ERR_FLAG with the
  // error class in the identifier), played by cansend on the virtual bus.
  struct Step {
    const char* frame;
    uint32_t board;
  };
  const Step steps[] = {{"20000004#0008000000000000", 1},   // controller: tx warning
                        {"20000004#0020000000000000", 2},   // controller: tx passive
                        {"20000004#0040000000000000", 0},   // back to error-active
                        {"20000040#0000000000000000", 3}};  // bus-off
  for (const Step& s : steps) {
    ASSERT_EQ(0, guest::cansend("vcan0", s.frame));
    EXPECT_EQ(s.board, status(h, NTCAN_SUCCESS).boardstatus) << s.frame;
  }
  // Bus-off: frames are refused, not handed to a kernel that drops them.
  int32_t n = 0;
  EXPECT_EQ(NTCAN_CONTR_OFF_BUS, send(h, {"030#01"}, &n));
  EXPECT_EQ(0, n);
  // A controller off the bus hears nothing: frames on the virtual bus are
  // not taken, and takes still answer success.
  ASSERT_EQ(NTCAN_SUCCESS, canIdAdd(h, 0x31));
  ASSERT_EQ(0, guest::cansend("vcan0", "031#01"));
  ASSERT_TRUE(guest::eventually([] { return guest::matches("sff", "vcan0", "031") >= 1; }));
  EXPECT_EQ(0u, queued(h));
  // A handle opened now is on the same controller: off the bus as well.
  NTCAN_HANDLE late = open();
  EXPECT_EQ(3u, status(late, NTCAN_SUCCESS).boardstatus);
  EXPECT_EQ(NTCAN_CONTR_OFF_BUS, send(late, {"030#03"}));
  ASSERT_EQ(0, guest::cansend("vcan0", "20000100#0000000000000000"));  // restarted
  EXPECT_EQ(0u, status(h, NTCAN_SUCCESS).boardstatus);
  EXPECT_EQ(0u, status(late, NTCAN_SUCCESS).boardstatus);
  ASSERT_EQ(0, guest::cansend("vcan0", "031#02"));
  EXPECT_EQ(texts(receive(h, 1)), (Texts{"031#02"}));
  EXPECT_EQ(NTCAN_SUCCESS, send(h, {"030#02"}));
  EXPECT_EQ(dump.wait_for(3), (Texts{"031#01", "031#02", "030#02"}));
}

TEST_F(Medium, FullTransmitQueueIsADriverStatus) {
  NTCAN_HANDLE h = open();
  Dump dump("vcan0");
  ASSERT_TRUE(dump.ready());
  // A queueing discipline that holds nothing: every frame finds the queue full.
  ASSERT_EQ(0,
            guest::run({"tc", "qdisc", "replace", "dev", "vcan0", "root", "pfifo", "limit", "0"}));
  int32_t n = 0;
  EXPECT_EQ(NTCAN_CONTR_BUSY, send(h, {"040#01"}, &n));
  EXPECT_EQ(0, n);
  ASSERT_EQ(0, guest::run({"tc", "qdisc", "del", "dev", "vcan0", "root"}));
  EXPECT_EQ(NTCAN_SUCCESS, send(h, {"040#02"}, &n));
  EXPECT_EQ(1, n);
  EXPECT_EQ(dump.wait_for(1), (Texts{"040#02"}));
}

TEST_F(Medium, BitRateOfVirtualAndRealControllers) {
  NTCAN_HANDLE v = open();
  for (uint32_t i = 0; i < 14; ++i) EXPECT_EQ(NTCAN_SUCCESS, canSetBaudrate(v, i)) << i;
  EXPECT_EQ(NTCAN_INVALID_PARAMETER, canSetBaudrate(v, 14));

  if (!guest::has_interface("can0") || !guest::has_interface("can1"))
    GTEST_SKIP() << "no emulated controllers can0 and can1";
  for (const char* c : {"can0", "can1"}) {
    guest::ip(std::string("link set ") + c + " down");
    ASSERT_EQ(0, guest::ip(std::string("link set ") + c + " type can bitrate 125000"));
    ASSERT_EQ(0, guest::ip(std::string("link set ") + c + " up"));
  }
  map(3, "can0");
  map(4, "can1");
  NTCAN_HANDLE c0 = open(3), c1 = open(4);
  EXPECT_EQ(NTCAN_SUCCESS, canSetBaudrate(c0, 6));             // 125 kbit/s: as configured
  EXPECT_EQ(NTCAN_WRONG_DEVICE_STATE, canSetBaudrate(c0, 2));  // 500 kbit/s: not
  CAN_IF_STATUS st = status(c0, NTCAN_SUCCESS);
  EXPECT_EQ(0u, st.boardstatus);  // the controller reports error-active

  // A frame from one controller to the other over the emulated bus.
  ASSERT_EQ(NTCAN_SUCCESS, canIdAdd(c1, 0x123));
  ASSERT_EQ(NTCAN_SUCCESS, send(c0, {"123#C0FFEE", "7FF#R2"}));
  EXPECT_EQ(texts(receive(c1, 1)), (Texts{"123#C0FFEE"}));

  ASSERT_EQ(0, guest::ip("link set can0 down"));
  EXPECT_EQ(0x14u, status(c0, NTCAN_CONTR_OFF_BUS).boardstatus);  // stopped, down
  ASSERT_EQ(0, guest::ip("link set can0 type can bitrate 500000"));
  ASSERT_EQ(0, guest::ip("link set can0 up"));
  EXPECT_EQ(NTCAN_SUCCESS, canSetBaudrate(c0, 2));
  EXPECT_EQ(NTCAN_WRONG_DEVICE_STATE, canSetBaudrate(c0, 6));
  for (const char* c : {"can0", "can1"}) guest::ip(std::string("link set ") + c + " down");
}

}  // namespace
