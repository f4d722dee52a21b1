// The control interface: faults, counters, frame records, devices, the timed
// bus and the configuration file.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ntcan_test_util.h"

namespace {

using namespace ntcan_test;
using ntcan_ctl::Op;
using Ctl = ntcan_test::Driver;

TEST_F(Ctl, ForcedStatusAnswersTheNextCallsAndDoesNothing) {
  NTCAN_HANDLE tx = open_handle();
  NTCAN_HANDLE rx = open_with_ids({1});
  ntcan_ctl::force_status(0, Op::Send, NTCAN_TX_ERROR, 2);
  EXPECT_EQ(NTCAN_TX_ERROR, send1(tx, frame(1)));
  EXPECT_EQ(NTCAN_TX_ERROR, send1(tx, frame(1)));
  EXPECT_TRUE(take_all(rx).empty()) << "a forced call does nothing";
  EXPECT_EQ(NTCAN_SUCCESS, send1(tx, frame(1)));
  EXPECT_EQ(1u, take_all(rx).size());

  // Until cleared; other nets and other operations are not touched.
  ntcan_ctl::force_status(0, Op::IdAdd, NTCAN_CONTR_BUSY, -1);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(NTCAN_CONTR_BUSY, canIdAdd(rx, 2));
  NTCAN_HANDLE net1 = open_handle(1);
  EXPECT_EQ(NTCAN_SUCCESS, canIdAdd(net1, 2));
  EXPECT_EQ(NTCAN_SUCCESS, canIdDelete(rx, 1));
  ntcan_ctl::force_status(0, Op::IdAdd, 0, 0);
  EXPECT_EQ(NTCAN_SUCCESS, canIdAdd(rx, 2));

  // A forced close leaves the handle open; a forced open on the net opens nothing.
  ntcan_ctl::force_status(0, Op::Close, NTCAN_WRONG_DEVICE_STATE, 1);
  EXPECT_EQ(NTCAN_WRONG_DEVICE_STATE, canClose(rx));
  EXPECT_EQ(0, ntcan_ctl::handle_net(rx));
  ntcan_ctl::force_status(0, Op::Open, NTCAN_INSUFFICIENT_RESOURCES, 1);
  NTCAN_HANDLE h = -1;
  EXPECT_EQ(NTCAN_INSUFFICIENT_RESOURCES, canOpen(0, 0, 10, 100, 1000, 1000, &h));
  EXPECT_EQ(-1, h);

  ntcan_ctl::refuse_open(0, NTCAN_SOCK_HOST_NOT_FOUND);
  EXPECT_EQ(NTCAN_SOCK_HOST_NOT_FOUND, canOpen(0, 0, 10, 100, 1000, 1000, &h));
  ntcan_ctl::refuse_open(0, 0);
  EXPECT_EQ(NTCAN_SUCCESS, canOpen(0, 0, 10, 100, 1000, 1000, &h));

  CAN_IF_STATUS st;
  ntcan_ctl::fail_status(0, NTCAN_CONTR_OFF_BUS);
  EXPECT_EQ(NTCAN_CONTR_OFF_BUS, canStatus(h, &st));
  EXPECT_EQ(NTCAN_SUCCESS, canStatus(net1, &st));
  ntcan_ctl::fail_status(0, 0);
  EXPECT_EQ(NTCAN_SUCCESS, canStatus(h, &st));
}

TEST_F(Ctl, StalledMediumSwallowsFramesAndTimesOutStatus) {
  NTCAN_HANDLE a = open_with_ids({1});
  NTCAN_HANDLE b = open_with_ids({1});
  int device_seen = 0;
  ntcan_ctl::attach_device(0, [&](const CMSG&) { ++device_seen; });

  ntcan_ctl::set_stalled(0, true);
  EXPECT_EQ(NTCAN_SUCCESS, send1(a, frame(1))) << "sending still looks fine";
  CMSG f = frame(1);
  ntcan_ctl::inject(0, &f, 1);
  EXPECT_TRUE(take_all(b).empty());
  // The stall cuts the handles off the bus; devices on it still hear each other.
  EXPECT_EQ(1, device_seen);
  EXPECT_TRUE(ntcan_ctl::sent_frames(0).empty()) << "nothing was put on the net";
  CAN_IF_STATUS st;
  EXPECT_EQ(NTCAN_SOCK_CMD_TIMEOUT, canStatus(a, &st));

  ntcan_ctl::set_stalled(0, false);
  EXPECT_EQ(NTCAN_SUCCESS, send1(a, frame(1)));
  EXPECT_EQ(1u, take_all(b).size());
  EXPECT_EQ(2, device_seen);
  EXPECT_EQ(NTCAN_SUCCESS, canStatus(a, &st));
}

TEST_F(Ctl, HandlesWhoseMediumFailedAnswerEveryCallWithItsStatus) {
  const NTCAN_RESULT kGone = NTCAN_SOCK_CONN_TIMEOUT;
  NTCAN_HANDLE a = open_with_ids({1, 2});
  NTCAN_HANDLE b = open_with_ids({1});
  NTCAN_HANDLE other = open_with_ids({1}, 1);
  NTCAN_HANDLE waiting = open_with_ids({3}, 0, 100, 600000);
  ASSERT_EQ(NTCAN_SUCCESS, send1(b, frame(1, {7})));

  // A reader with a 10-minute time-out wakes at once.
  NTCAN_RESULT woke = -1;
  int32_t woke_len = -1;
  std::thread reader([&] {
    CMSG m;
    int32_t n = 1;
    woke = canRead(waiting, &m, &n, nullptr);
    woke_len = n;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ntcan_ctl::fail_handles(0, kGone);
  reader.join();
  EXPECT_EQ(kGone, woke);
  EXPECT_EQ(0, woke_len);

  // Frames queued before the failure are taken first; nothing new arrives.
  ASSERT_EQ(NTCAN_SUCCESS, send1(other, frame(1)));
  CMSG buf[4];
  int32_t n = 4;
  EXPECT_EQ(NTCAN_SUCCESS, canTake(a, buf, &n));
  ASSERT_EQ(1, n);
  EXPECT_EQ(7, buf[0].data[0]);
  CMSG f = frame(2);
  CAN_IF_STATUS st;
  for (NTCAN_HANDLE h : {a, b}) {
    n = 4;
    EXPECT_EQ(kGone, canTake(h, buf, &n));
    EXPECT_EQ(0, n);
    n = 4;
    EXPECT_EQ(kGone, canRead(h, buf, &n, nullptr));
    EXPECT_EQ(0, n);
    n = 1;
    EXPECT_EQ(kGone, canSend(h, &f, &n));
    EXPECT_EQ(0, n);
    EXPECT_EQ(kGone, canIdAdd(h, 5));
    EXPECT_EQ(kGone, canIdDelete(h, 1));
    EXPECT_EQ(kGone, canSetBaudrate(h, 6));
    EXPECT_EQ(kGone, canStatus(h, &st));
  }
  EXPECT_EQ(1u, ntcan_ctl::sent_frames(0).size()) << "a failed handle puts nothing on the net";
  // Parameter errors and forced faults still come first; other nets and
  // handles opened afterwards are not touched.
  EXPECT_EQ(NTCAN_INVALID_PARAMETER, canIdAdd(a, 4000));
  ntcan_ctl::force_status(0, Op::Status, NTCAN_CONTR_BUSY, 1);
  EXPECT_EQ(NTCAN_CONTR_BUSY, canStatus(a, &st));
  EXPECT_EQ(NTCAN_SUCCESS, canStatus(other, &st));
  NTCAN_HANDLE fresh = open_with_ids({1});
  EXPECT_EQ(NTCAN_SUCCESS, send1(fresh, frame(1)));
  EXPECT_TRUE(take_all(a).empty());

  // Closing works as always; 0 makes the others work again.
  EXPECT_EQ(4, ntcan_ctl::open_handles(0));
  EXPECT_EQ(NTCAN_SUCCESS, canClose(a));
  EXPECT_EQ(NTCAN_INVALID_HANDLE, canStatus(a, &st));
  EXPECT_EQ(3, ntcan_ctl::open_handles(0));
  ntcan_ctl::fail_handles(0, 0);
  EXPECT_EQ(NTCAN_SUCCESS, send1(fresh, frame(1)));
  EXPECT_EQ(1u, take_all(b).size());
  EXPECT_EQ(NTCAN_SUCCESS, canStatus(b, &st));
}

TEST_F(Ctl, CountersCountEveryCallPerHandleAndNet) {
  NTCAN_HANDLE a = open_handle();
  NTCAN_HANDLE b = open_handle(2);
  CMSG m = frame(1);
  int32_t n = 1;
  canSend(a, &m, &n);
  n = 0;
  canSend(a, &m, &n);  // failing calls count too
  n = 1;
  canTake(b, &m, &n);
  canIdAdd(a, 5000);
  canOpen(2, 0, 10, 0, 0, 0, &b);
  canOpen(99, 0, 10, 100, 0, 0, &b);

  EXPECT_EQ(1u, ntcan_ctl::calls(Op::Open, a));
  EXPECT_EQ(2u, ntcan_ctl::calls(Op::Send, a));
  EXPECT_EQ(1u, ntcan_ctl::calls(Op::IdAdd, a));
  EXPECT_EQ(0u, ntcan_ctl::calls(Op::Take, a));
  EXPECT_EQ(1u, ntcan_ctl::calls(Op::Take, b));
  EXPECT_EQ(2u, ntcan_ctl::calls_on_net(0, Op::Send));
  EXPECT_EQ(2u, ntcan_ctl::calls_on_net(2, Op::Open));
  EXPECT_EQ(0u, ntcan_ctl::calls_on_net(1, Op::Send));
  EXPECT_EQ(8u, ntcan_ctl::total_calls());

  // A closed handle keeps its counts; calls after the close count too.
  canClose(a);
  canClose(a);
  EXPECT_EQ(2u, ntcan_ctl::calls(Op::Close, a));
  EXPECT_EQ(2u, ntcan_ctl::calls(Op::Send, a));
  EXPECT_EQ(1u, ntcan_ctl::calls_on_net(0, Op::Close)) << "a dead handle has no net";
  EXPECT_EQ(10u, ntcan_ctl::total_calls());

  ntcan_ctl::clear_counters();
  EXPECT_EQ(0u, ntcan_ctl::total_calls());
  EXPECT_EQ(0u, ntcan_ctl::calls(Op::Send, a));
  EXPECT_EQ(0u, ntcan_ctl::calls(Op::Take, b));
  EXPECT_EQ(0u, ntcan_ctl::calls_on_net(0, Op::Send));
  EXPECT_STREQ("canSend", ntcan_ctl::op_name(Op::Send));
  EXPECT_STREQ("canStatus", ntcan_ctl::op_name(Op::Status));
}

TEST_F(Ctl, OpenHandlesCountsWhatIsOpenPerNetAndInAll) {
  EXPECT_EQ(0, ntcan_ctl::open_handles());
  NTCAN_HANDLE a = open_handle();
  NTCAN_HANDLE b = open_handle(3);
  open_handle(3);
  EXPECT_EQ(3, ntcan_ctl::open_handles());
  EXPECT_EQ(1, ntcan_ctl::open_handles(0));
  EXPECT_EQ(2, ntcan_ctl::open_handles(3));
  EXPECT_EQ(0, ntcan_ctl::open_handles(-1));
  EXPECT_EQ(0, ntcan_ctl::open_handles(ntcan_ctl::kMaxNets));

  // Refused opens and forced closes change nothing; a handle closes once.
  NTCAN_HANDLE h = -1;
  ntcan_ctl::refuse_open(0, NTCAN_SOCK_HOST_NOT_FOUND);
  EXPECT_NE(NTCAN_SUCCESS, canOpen(0, 0, 10, 100, 1000, 1000, &h));
  EXPECT_NE(NTCAN_SUCCESS, canOpen(0, 0, 10, 0, 1000, 1000, &h));
  ntcan_ctl::force_status(3, Op::Close, NTCAN_WRONG_DEVICE_STATE, 1);
  EXPECT_NE(NTCAN_SUCCESS, canClose(b));
  EXPECT_EQ(3, ntcan_ctl::open_handles());

  // Two threads closing the same handles count each close once.
  std::vector<NTCAN_HANDLE> many;
  for (int i = 0; i < 50; ++i) many.push_back(open_handle(1));
  EXPECT_EQ(50, ntcan_ctl::open_handles(1));
  auto close_all = [&] {
    for (NTCAN_HANDLE x : many) canClose(x);
  };
  std::thread t(close_all);
  close_all();
  t.join();
  EXPECT_EQ(0, ntcan_ctl::open_handles(1));

  EXPECT_EQ(NTCAN_SUCCESS, canClose(a));
  EXPECT_EQ(NTCAN_INVALID_HANDLE, canClose(a));
  EXPECT_EQ(0, ntcan_ctl::open_handles(0));
  ntcan_ctl::reset();
  EXPECT_EQ(0, ntcan_ctl::open_handles());
}

TEST_F(Ctl, SentFramesRecordCanSendInOrderAndStayBounded) {
  NTCAN_HANDLE a = open_handle();
  NTCAN_HANDLE b = open_handle(1);
  for (uint8_t i = 0; i < 3; ++i) send1(a, frame(0x600 + i, {i}));
  send1(b, frame(0x100));
  CMSG f = frame(0x80);
  ntcan_ctl::inject(0, &f, 1);  // a device's frame is not in the record

  std::vector<CMSG> rec = ntcan_ctl::sent_frames(0);
  ASSERT_EQ(3u, rec.size());
  for (int i = 0; i < 3; ++i) EXPECT_EQ(0x600 + i, rec[i].id);
  EXPECT_EQ(1u, ntcan_ctl::sent_frames(1).size());
  ntcan_ctl::clear_sent_frames(0);
  EXPECT_TRUE(ntcan_ctl::sent_frames(0).empty());
  EXPECT_EQ(1u, ntcan_ctl::sent_frames(1).size());

  // Only the newest frames are kept.
  const size_t total = ntcan_ctl::kSentFramesKept + 7;
  std::vector<CMSG> batch(1000);
  size_t sent = 0;
  while (sent < total) {
    int32_t n = static_cast<int32_t>(std::min(batch.size(), total - sent));
    for (int32_t i = 0; i < n; ++i) {
      batch[i] = frame(1, {static_cast<uint8_t>(sent + i), static_cast<uint8_t>((sent + i) >> 8),
                           static_cast<uint8_t>((sent + i) >> 16)});
    }
    ASSERT_EQ(NTCAN_SUCCESS, canSend(a, batch.data(), &n));
    sent += n;
  }
  rec = ntcan_ctl::sent_frames(0);
  ASSERT_EQ(ntcan_ctl::kSentFramesKept, rec.size());
  auto seq = [](const CMSG& m) { return m.data[0] | m.data[1] << 8 | m.data[2] << 16; };
  EXPECT_EQ(7, seq(rec.front()));
  EXPECT_EQ(static_cast<int>(total - 1), seq(rec.back()));
}

TEST_F(Ctl, DevicesSeeTheBusAndAnswerFromTheirCallback) {
  NTCAN_HANDLE master = open_with_ids({0x581});
  std::vector<CMSG> seen_by_monitor;
  int server = 0;
  // A device that answers every SDO request at once, from its callback.
  server = ntcan_ctl::attach_device(0, [&](const CMSG& f) {
    if (f.id != 0x601) return;
    CMSG answer = frame(0x581, {0x43, f.data[1], f.data[2]});
    EXPECT_EQ(NTCAN_SUCCESS, ntcan_ctl::inject(0, &answer, 1, server));
  });
  int monitor = ntcan_ctl::attach_device(0, [&](const CMSG& f) { seen_by_monitor.push_back(f); });
  ASSERT_GT(server, 0);
  ASSERT_GT(monitor, server);
  EXPECT_EQ(-1, ntcan_ctl::attach_device(ntcan_ctl::kMaxNets, [](const CMSG&) {}));

  ASSERT_EQ(NTCAN_SUCCESS, send1(master, frame(0x601, {0x40, 0x08, 0x10})));
  std::vector<CMSG> got = take_all(master);
  ASSERT_EQ(1u, got.size()) << "the answer is there when canSend returns";
  EXPECT_EQ(0x43, got[0].data[0]);
  EXPECT_EQ(0x08, got[0].data[1]);
  // The other device sees request and answer in bus order; the answering
  // device does not get its own frame back (it would answer itself otherwise).
  ASSERT_EQ(2u, seen_by_monitor.size());
  EXPECT_EQ(0x601, seen_by_monitor[0].id);
  EXPECT_EQ(0x581, seen_by_monitor[1].id);

  // An injected frame from the monitor reaches handles and the server, not
  // the monitor itself.
  CMSG f = frame(0x581, {1});
  ASSERT_EQ(NTCAN_SUCCESS, ntcan_ctl::inject(0, &f, 1, monitor));
  EXPECT_EQ(1u, take_all(master).size());
  EXPECT_EQ(2u, seen_by_monitor.size());

  ntcan_ctl::detach_device(server);
  ntcan_ctl::detach_device(server);  // twice is harmless
  ASSERT_EQ(NTCAN_SUCCESS, send1(master, frame(0x601, {0x40, 0x08, 0x10})));
  EXPECT_TRUE(take_all(master).empty());
  EXPECT_EQ(3u, seen_by_monitor.size());

  // A device may detach itself from its own callback.
  int self = 0;
  int self_calls = 0;
  self = ntcan_ctl::attach_device(0, [&](const CMSG&) {
    ++self_calls;
    ntcan_ctl::detach_device(self);
  });
  send1(master, frame(1));
  send1(master, frame(1));
  EXPECT_EQ(1, self_calls);
}

TEST_F(Ctl, DetachWaitsForACallbackRunningOnAnotherThread) {
  NTCAN_HANDLE h = open_handle();
  std::mutex mx;
  std::condition_variable cv;
  bool in_callback = false;
  bool release = false;
  std::atomic<int> calls{0};
  int dev = ntcan_ctl::attach_device(0, [&](const CMSG&) {
    ++calls;
    std::unique_lock<std::mutex> lk(mx);
    in_callback = true;
    cv.notify_all();
    cv.wait(lk, [&] { return release; });
  });
  std::thread sender([&] { send1(h, frame(1)); });
  {
    std::unique_lock<std::mutex> lk(mx);
    cv.wait(lk, [&] { return in_callback; });
  }
  std::atomic<bool> detached{false};
  std::thread detacher([&] {
    ntcan_ctl::detach_device(dev);
    detached = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_FALSE(detached.load()) << "detach returned while the callback still runs";
  {
    std::lock_guard<std::mutex> lk(mx);
    release = true;
  }
  cv.notify_all();
  detacher.join();
  sender.join();
  send1(h, frame(1));
  EXPECT_EQ(1, calls.load()) << "no call after detach returned";
}

TEST_F(Ctl, TimedBusDeliversInOrderAfterEachFrameHasBeenTransmitted) {
  // 10 kbit/s: a frame with 8 data bytes takes 111 bits = 11.1 ms.
  constexpr int kIndex10k = 13;
  ntcan_ctl::set_timed(0, true, kIndex10k);
  NTCAN_HANDLE tx = open_handle();
  NTCAN_HANDLE rx = open_with_ids({0x200, 0x201}, 0, 100, 5000);
  std::vector<CMSG> device_seen;
  std::mutex dmx;
  std::condition_variable dcv;
  // On a timed net the callbacks run on the net's delivery thread.
  int dev = ntcan_ctl::attach_device(0, [&](const CMSG& f) {
    std::lock_guard<std::mutex> lk(dmx);
    device_seen.push_back(f);
    dcv.notify_all();
  });
  // Detaches before the vector the callback fills goes, also on an early return.
  struct Detach {
    int id;
    ~Detach() { ntcan_ctl::detach_device(id); }
  } detach{dev};

  auto t0 = std::chrono::steady_clock::now();
  std::vector<CMSG> frames;
  for (uint8_t i = 0; i < 3; ++i) frames.push_back(frame(0x200, {i, 0, 0, 0, 0, 0, 0, 0}));
  int32_t n = 3;
  ASSERT_EQ(NTCAN_SUCCESS, canSend(tx, frames.data(), &n));
  EXPECT_EQ(3, n);
  CMSG rtr = frame(0x201, {}, true);  // 47 bits = 4.7 ms
  ASSERT_EQ(NTCAN_SUCCESS, send1(tx, rtr));
  EXPECT_EQ(4u, ntcan_ctl::sent_frames(0).size()) << "recorded when sent";

  std::vector<CMSG> got;
  std::vector<double> at_ms;
  while (got.size() < 4) {
    CMSG buf[4];
    int32_t k = 4;
    ASSERT_EQ(NTCAN_SUCCESS, canRead(rx, buf, &k, nullptr));
    double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    for (int i = 0; i < k; ++i) {
      got.push_back(buf[i]);
      at_ms.push_back(ms);
    }
  }
  for (uint8_t i = 0; i < 3; ++i) {
    EXPECT_EQ(i, got[i].data[0]);
    EXPECT_GE(at_ms[i], 11.1 * (i + 1)) << "frame " << int(i) << " arrived before its end";
  }
  EXPECT_EQ(0x201, got[3].id);
  EXPECT_GE(at_ms[3], 3 * 11.1 + 4.7);
  {
    std::unique_lock<std::mutex> lk(dmx);
    dcv.wait_for(lk, std::chrono::seconds(5), [&] { return device_seen.size() == 4; });
    ASSERT_EQ(4u, device_seen.size());
    EXPECT_EQ(2, device_seen[2].data[0]);
    EXPECT_EQ(0x201, device_seen[3].id);
  }

  // Switched off, the bus delivers at once again.
  ntcan_ctl::set_timed(0, false);
  ASSERT_EQ(NTCAN_SUCCESS, send1(tx, frame(0x200)));
  EXPECT_EQ(1u, take_all(rx).size());
}

class ConfigFile : public Ctl {
 protected:
  std::string write(const std::string& text) {
    path_ = ::testing::TempDir() + "ntcan_cfg_" + std::to_string(::getpid()) + ".conf";
    std::ofstream(path_) << text;
    return path_;
  }
  void TearDown() override {
    std::remove(path_.c_str());
    Ctl::TearDown();
  }
  std::string path_;
};

TEST_F(ConfigFile, ChoosesTheMediumOfEachNet) {
  using Kind = ntcan_ctl::NetConfig::Kind;
  std::string error;
  ASSERT_EQ(0, ntcan_ctl::load_config(write("# driver nets\n"
                                            "\n"
                                            "net 1 gateway 127.0.0.1 2209 3  # remote net 3\n"
                                            "net 2   socketcan  vcan0\n"
                                            "net 3 absent\n"
                                            "net 4 gateway gw.local 2209\n"
                                            "net 1 gateway 127.0.0.1 2210 4\n"
                                            "net 31 gateway h 65535 255\n"
                                            "net 30 gateway h 1 0\n"
                                            "net 29 socketcan fifteen_chars15\n"
                                            "net 05 absent\n"
                                            "net 6 socketcand 127.0.0.1 29536 can0\n"),
                                      &error))
      << error;
  ntcan_ctl::NetConfig c = ntcan_ctl::net_config(1);
  EXPECT_EQ(Kind::Gateway, c.kind);
  EXPECT_EQ("127.0.0.1", c.host);
  EXPECT_EQ(2210, c.port) << "a later line wins";
  EXPECT_EQ(4, c.remote_net);
  EXPECT_EQ(0, ntcan_ctl::net_config(4).remote_net);
  EXPECT_EQ(Kind::SocketCan, ntcan_ctl::net_config(2).kind);
  EXPECT_EQ("vcan0", ntcan_ctl::net_config(2).ifname);
  EXPECT_EQ(Kind::Absent, ntcan_ctl::net_config(3).kind);
  EXPECT_EQ(Kind::Sim, ntcan_ctl::net_config(0).kind);
  // The last value of each range, and a decimal number with a leading zero.
  EXPECT_EQ(65535, ntcan_ctl::net_config(31).port);
  EXPECT_EQ(255, ntcan_ctl::net_config(31).remote_net);
  EXPECT_EQ(1, ntcan_ctl::net_config(30).port);
  EXPECT_EQ("fifteen_chars15", ntcan_ctl::net_config(29).ifname);
  EXPECT_EQ(Kind::Absent, ntcan_ctl::net_config(5).kind);

  NTCAN_HANDLE h = -1;
  EXPECT_EQ(NTCAN_NET_NOT_FOUND, canOpen(3, 0, 10, 100, 0, 0, &h));
  EXPECT_EQ(-1, ntcan_ctl::attach_device(3, [](const CMSG&) {}));
  // A gateway's or a socketcand server's devices live on its side: one here
  // would be deaf.
  for (const auto& [net, reason] :
       {std::pair<int, const char*>{1, "net 1 is net 4 of the gateway 127.0.0.1:2210"},
        {6, "net 6 is the bus can0 of the socketcand server 127.0.0.1:29536"}}) {
    std::string why;
    EXPECT_EQ(-1, ntcan_ctl::attach_device(
                      net, [](const CMSG&) {}, &why));
    EXPECT_NE(std::string::npos, why.find(reason)) << why;
  }
  CMSG f = frame(1);
  EXPECT_EQ(NTCAN_NET_NOT_FOUND, ntcan_ctl::inject(3, &f, 1));

  // A handle keeps the medium it was opened on.
  NTCAN_HANDLE a = open_handle(0);
  NTCAN_HANDLE b = open_with_ids({1}, 0);
  ntcan_ctl::NetConfig absent;
  absent.kind = Kind::Absent;
  ntcan_ctl::configure_net(0, absent);
  EXPECT_EQ(NTCAN_NET_NOT_FOUND, canOpen(0, 0, 10, 100, 0, 0, &h));
  ASSERT_EQ(NTCAN_SUCCESS, send1(a, frame(1)));
  EXPECT_EQ(1u, take_all(b).size());

  ntcan_ctl::reset();
  EXPECT_EQ(Kind::Sim, ntcan_ctl::net_config(1).kind);
}

TEST_F(ConfigFile, BadLinesAreNamedAndChangeNothing) {
  const char* bad[] = {
      "nett 1 sim",
      "net 32 sim",
      "net -1 sim",
      "net x sim",
      "net 1",
      "net 1 can",
      "net 1 sim extra",
      "net 1 gateway host",
      "net 1 gateway host 0",
      "net 1 gateway h 70000",
      "net 1 gateway h 65536",
      "net 1 gateway h 22 256",
      "net 1 gateway h 22 -1",
      "net 0x1 sim",
      "net 1 socketcan sixteen_chars_16",
      "net 1 gateway h 22 x",
      "net 1 socketcan",
      "net 1 socketcan averyveryverylongname",
      "net 1 absent now",
  };
  for (const char* line : bad) {
    std::string error;
    ASSERT_EQ(-1, ntcan_ctl::load_config(
                      write(std::string("net 0 absent\n# ok so far\n") + line + "\n"), &error))
        << line;
    EXPECT_NE(std::string::npos, error.find(":3:")) << error;
    EXPECT_NE(std::string::npos, error.find(line)) << error;
    EXPECT_EQ(ntcan_ctl::NetConfig::Kind::Sim, ntcan_ctl::net_config(0).kind)
        << "the good first line was not applied either";
  }
  std::string error;
  EXPECT_EQ(-1, ntcan_ctl::load_config("/nonexistent/ntcan.conf", &error));
  EXPECT_NE(std::string::npos, error.find("/nonexistent/ntcan.conf"));
  EXPECT_EQ(-1, ntcan_ctl::load_config("/nonexistent/ntcan.conf"));  // no error text wanted
}

}  // namespace
