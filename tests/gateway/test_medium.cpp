// The driver's gateway medium against a gateway in this process: delivery,
// filters, hosted devices, status, failing opens and connections that die.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "gateway_fixture.h"
#include "gateway_wire.h"

namespace {

using gw_test::eventually;
using gw_test::frame;
using gw_test::kBase;

// Commands to a gateway that does not answer give up after this long.
const bool kTimeoutSet = [] {
  ::setenv("NTCAN_GATEWAY_TIMEOUT_MS", "1000", 1);
  return true;
}();

class Medium : public gw_test::GatewayTest {};

std::vector<int32_t> ids_of(const std::vector<CMSG>& v) {
  std::vector<int32_t> out;
  for (const CMSG& f : v) out.push_back(f.id);
  return out;
}

// A port on 127.0.0.1 that nothing listens on.
int closed_port() {
  int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(s);
  return ntohs(a.sin_port);
}

TEST_F(Medium, FramesReachTheOtherHandlesOfTheirNetThroughTheGateway) {
  start();
  ASSERT_TRUE(kTimeoutSet);
  const int32_t M = kMarker;
  NTCAN_HANDLE a = open(0, {M});
  NTCAN_HANDLE b = open(0, {0x100, M});
  NTCAN_HANDLE other_net = open(1, {0x100, 0x200, M});
  // A handle of the gateway's own process on the served net: a peer that
  // is not a TCP client.
  NTCAN_HANDLE local = -1;
  ASSERT_EQ(NTCAN_SUCCESS, canOpen(kBase, 0, 10, 100, 1000, 2000, &local));
  handles_.push_back(local);
  ASSERT_EQ(NTCAN_SUCCESS, canIdAdd(local, 0x100));
  ASSERT_EQ(NTCAN_SUCCESS, canIdAdd(local, 0x200));
  ASSERT_EQ(NTCAN_SUCCESS, canIdAdd(local, M));

  ASSERT_EQ(NTCAN_SUCCESS, send(a, {frame(0x100, {1, 2}), frame(0x200, {3})}));
  std::vector<CMSG> at_b = until_marker(b, a);
  ASSERT_EQ(ids_of(at_b), std::vector<int32_t>{0x100});
  EXPECT_EQ(at_b[0].len, 2);
  EXPECT_EQ(at_b[0].data[0], 1);
  EXPECT_EQ(at_b[0].data[1], 2);
  EXPECT_EQ(ids_of(until_marker(local, a)), (std::vector<int32_t>{0x100, 0x200}));

  // From the gateway's side to the clients; the sender never hears itself.
  ASSERT_EQ(NTCAN_SUCCESS, send(local, {frame(0x100, {9})}));
  std::vector<CMSG> from_local = until_marker(b, local);
  ASSERT_EQ(ids_of(from_local), std::vector<int32_t>{0x100});
  EXPECT_EQ(from_local[0].data[0], 9);
  EXPECT_TRUE(until_marker(a, local).empty());

  // A burst larger than one wire message keeps every frame and its order.
  std::vector<CMSG> burst;
  for (int i = 0; i < 2500; ++i)
    burst.push_back(frame(0x100, {uint8_t(i), uint8_t(i >> 8), 0, 0, 0, 0, 0, 0xAA}));
  ASSERT_EQ(NTCAN_SUCCESS, send(a, burst));
  std::vector<CMSG> got = until_marker(b, a);
  ASSERT_EQ(got.size(), burst.size());
  for (int i = 0; i < 2500; ++i) {
    ASSERT_EQ(got[i].data[0] | (got[i].data[1] << 8), i);
    ASSERT_EQ(got[i].len, 8);
    ASSERT_EQ(got[i].data[7], 0xAA);
    ASSERT_EQ(got[i].msg_lost, 0);
  }

  // Nothing crossed to the other gateway net, and the gateway forwarded only
  // what the clients' filters hold: to b two frames of 0x100, the burst and
  // five markers, to a two markers.
  EXPECT_TRUE(until_marker(other_net, open(1)).empty());
  EXPECT_TRUE(eventually([&] {
    return gw_->status().nets[0].frames_to_clients == 2 + 2500 + 5 + 2;
  })) << gw_->status().nets[0].frames_to_clients;
}

TEST_F(Medium, ADeviceOfThisProcessReachesEveryHandleOnce) {
  start();
  NTCAN_HANDLE a = open(0, {0x181, kMarker});
  NTCAN_HANDLE b = open(0, {0x181, kMarker});
  NTCAN_HANDLE tx = open(0);
  CMSG f = frame(0x181, {7});
  ASSERT_EQ(NTCAN_SUCCESS, ntcan_ctl::inject(0, &f, 1));
  // The device speaks through a's connection (the first one opened): a has
  // the frame at once, b through the gateway. b's marker takes the same
  // connection, as the gateway keeps the order of one connection only.
  EXPECT_EQ(ids_of(until_marker(a, tx)), std::vector<int32_t>{0x181});
  EXPECT_EQ(ids_of(until_marker(b, a)), std::vector<int32_t>{0x181});
}

TEST_F(Medium, HostedDevicesAnswerAndStatusComesFromTheGateway) {
  zgw::Options o = options();
  o.devices.push_back({0, 5, std::string(ZUNTAL_EXAMPLES_DIR) + "/zio8.eds"});
  start(o);
  NTCAN_HANDLE a = open(0, {0x585});
  // SDO upload of 0x1008 (device name) from node 5.
  ASSERT_EQ(NTCAN_SUCCESS, send(a, {frame(0x605, {0x40, 0x08, 0x10, 0, 0, 0, 0, 0})}));
  std::vector<CMSG> answer = read_n(a, 1);
  ASSERT_EQ(answer.size(), 1u);
  EXPECT_EQ(answer[0].id, 0x585);
  EXPECT_EQ(answer[0].data[0] & 0xE0, 0x40);  // upload answer, not an abort
  EXPECT_EQ(answer[0].data[1], 0x08);
  EXPECT_EQ(answer[0].data[2], 0x10);

  CAN_IF_STATUS st;
  ASSERT_EQ(NTCAN_SUCCESS, canStatus(a, &st));
  EXPECT_STREQ(reinterpret_cast<const char*>(st.boardid), "ZUNTAL GW");
  EXPECT_EQ(st.boardstatus, 0u);
  // The gateway's net reports its own board status and faults.
  ntcan_ctl::set_board_status(kBase, 0x42);
  ASSERT_EQ(NTCAN_SUCCESS, canStatus(a, &st));
  EXPECT_EQ(st.boardstatus, 0x42u);
  ntcan_ctl::fail_status(kBase, NTCAN_CONTR_BUSY);
  EXPECT_EQ(NTCAN_CONTR_BUSY, canStatus(a, &st));
  ntcan_ctl::fail_status(kBase, 0);
  EXPECT_EQ(NTCAN_SUCCESS, canSetBaudrate(a, 2));
  // The gateway's own refusals come back as they are.
  ntcan_ctl::force_status(kBase, ntcan_ctl::Op::IdAdd, NTCAN_INSUFFICIENT_RESOURCES, 1);
  EXPECT_EQ(NTCAN_INSUFFICIENT_RESOURCES, canIdAdd(a, 0x185));
}

TEST_F(Medium, OpenFailsWithTheDriverStatusOfTheCause) {
  start();
  NTCAN_HANDLE h = 12345;
  point(2, 0, closed_port());
  EXPECT_EQ(NTCAN_SOCK_CONN_TIMEOUT, canOpen(2, 0, 10, 100, 1000, 100, &h));
  point(3, 7);  // the gateway serves nets 0 and 1 only
  EXPECT_EQ(NTCAN_NET_NOT_FOUND, canOpen(3, 0, 10, 100, 1000, 100, &h));
  point(4, 0, -1, "no such host");
  EXPECT_EQ(NTCAN_SOCK_HOST_NOT_FOUND, canOpen(4, 0, 10, 100, 1000, 100, &h));

  // A peer that answers, but not as a gateway does.
  int srv = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ASSERT_EQ(0, ::bind(srv, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
  ASSERT_EQ(0, ::listen(srv, 4));
  ::getsockname(srv, reinterpret_cast<sockaddr*>(&addr), &len);
  std::thread web([srv] {
    int c = ::accept(srv, nullptr, nullptr);
    const char reply[] = "HTTP/1.0 400 Bad\r\n\r\n";
    ssize_t k = ::send(c, reply, sizeof reply - 1, MSG_NOSIGNAL);
    (void)k;
    ::close(c);
  });
  point(5, 0, ntohs(addr.sin_port));
  EXPECT_EQ(NTCAN_INVALID_DRIVER, canOpen(5, 0, 10, 100, 1000, 100, &h));
  web.join();
  ::close(srv);

  // A hung gateway takes the connection but never answers the hello.
  gw_->set_hung(true);
  EXPECT_EQ(NTCAN_SOCK_CONN_TIMEOUT, canOpen(0, 0, 10, 100, 1000, 100, &h));
  EXPECT_EQ(h, 12345);
  gw_->set_hung(false);
  open(0);
}

// Every call of a handle whose connection is gone answers
// NTCAN_SOCK_CONN_TIMEOUT, also canTake and canRead; a reader that waits
// wakes at once; frames received before are still taken first.
void expect_gone(NTCAN_HANDLE h, const char* what) {
  SCOPED_TRACE(what);
  const NTCAN_RESULT kGone = NTCAN_SOCK_CONN_TIMEOUT;
  CAN_IF_STATUS st;
  EXPECT_EQ(kGone, canStatus(h, &st));
  CMSG f = frame(0x100);
  int32_t n = 1;
  EXPECT_EQ(kGone, canSend(h, &f, &n));
  EXPECT_EQ(n, 0);
  EXPECT_EQ(kGone, canIdAdd(h, 0x200));
  EXPECT_EQ(kGone, canIdDelete(h, 0x100));
  EXPECT_EQ(kGone, canSetBaudrate(h, 6));
  n = 1;
  EXPECT_EQ(kGone, canTake(h, &f, &n));
  EXPECT_EQ(n, 0);
  n = 1;
  EXPECT_EQ(kGone, canRead(h, &f, &n, nullptr));
  EXPECT_EQ(n, 0);
}

TEST_F(Medium, EveryCallOfAHandleWhoseConnectionIsGoneFailsAndAReaderWakes) {
  start();
  NTCAN_HANDLE a = open(0, {0x100});
  NTCAN_HANDLE b = open(0);
  NTCAN_HANDLE waiting = -1;
  ASSERT_EQ(NTCAN_SUCCESS, canOpen(0, 0, 10, 100, 1000, 600000, &waiting));
  handles_.push_back(waiting);
  ASSERT_EQ(NTCAN_SUCCESS, canIdAdd(waiting, 0x7F0));
  CAN_IF_STATUS st;
  ASSERT_EQ(NTCAN_SUCCESS, canStatus(a, &st));
  // A frame the gateway has written to a's connection before the restart:
  // the connection's end comes after it, so it is queued before a fails.
  ASSERT_EQ(NTCAN_SUCCESS, send(b, {frame(0x100, {9})}));
  ASSERT_TRUE(eventually([&] { return gw_->status().nets.at(0).frames_to_clients == 1; }));

  // A reader waits with a 10-minute time-out; the restart must wake it.
  NTCAN_RESULT woke = -1;
  std::thread reader([&] {
    CMSG f;
    int32_t n = 1;
    woke = canRead(waiting, &f, &n, nullptr);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  gw_->restart();  // drops every connection
  reader.join();
  EXPECT_EQ(woke, NTCAN_SOCK_CONN_TIMEOUT);

  // The frame received before the connection died is still there.
  ASSERT_TRUE(eventually([&] {
    CAN_IF_STATUS s;
    return canStatus(a, &s) == NTCAN_SOCK_CONN_TIMEOUT;
  }));
  CMSG f;
  int32_t n = 1;
  EXPECT_EQ(NTCAN_SUCCESS, canTake(a, &f, &n));
  EXPECT_EQ(n, 1);
  EXPECT_EQ(f.data[0], 9);
  expect_gone(a, "closed by the gateway, after its last frame");
  expect_gone(b, "closed by the gateway");

  // The service comes back; new handles work, the dead ones stay dead and
  // close cleanly.
  ASSERT_TRUE(eventually([&] { return gw_->service_up() && gw_->restarts() == 1; }));
  NTCAN_HANDLE c = open(0, {0x300, kMarker});
  NTCAN_HANDLE d = open(0);
  ASSERT_EQ(NTCAN_SUCCESS, send(d, {frame(0x300)}));
  EXPECT_EQ(ids_of(until_marker(c, d)), std::vector<int32_t>{0x300});
  expect_gone(a, "after the service came back");
  const int open_before = ntcan_ctl::open_handles(0);
  EXPECT_EQ(NTCAN_SUCCESS, canClose(a));
  EXPECT_EQ(NTCAN_SUCCESS, canClose(b));
  EXPECT_EQ(ntcan_ctl::open_handles(0), open_before - 2);
}

// A peer that takes the connection, answers the hello and then does `end`
// to it, at the test's signal.
class FakeGateway {
 public:
  explicit FakeGateway(std::function<void(int)> end) : end_(std::move(end)) {
    srv_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(srv_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(srv_, 4);
    ::getsockname(srv_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    th_ = std::thread([this] {
      int c = ::accept(srv_, nullptr, nullptr);
      uint8_t hello[gw_wire::kHelloSize];
      size_t got = 0;
      while (got < sizeof hello) {
        ssize_t k = ::recv(c, hello + got, sizeof hello - got, 0);
        if (k <= 0) break;
        got += static_cast<size_t>(k);
      }
      gw_wire::put_hello(hello, 0);
      ssize_t k = ::send(c, hello, sizeof hello, MSG_NOSIGNAL);
      (void)k;
      std::unique_lock<std::mutex> lk(m_);
      cv_.wait(lk, [&] { return go_; });
      end_(c);
      ended_ = true;
      cv_.notify_all();
    });
  }
  ~FakeGateway() {
    ::shutdown(srv_, SHUT_RDWR);  // a connection that never came ends the wait in accept
    go();
    th_.join();
    ::close(srv_);
  }
  int port() const { return port_; }
  // Lets the peer end the connection and waits until it has.
  void go() {
    std::unique_lock<std::mutex> lk(m_);
    go_ = true;
    cv_.notify_all();
    cv_.wait(lk, [&] { return ended_; });
  }

 private:
  std::function<void(int)> end_;
  int srv_ = -1;
  int port_ = 0;
  std::mutex m_;
  std::condition_variable cv_;
  bool go_ = false;
  bool ended_ = false;
  std::thread th_;
};

TEST_F(Medium, AConnectionResetOrClosedByThePeerFailsTheHandleAtOnce) {
  start();
  // Reset: the peer closes with SO_LINGER 0, so the kernel sends RST.
  FakeGateway rst([](int c) {
    linger l{1, 0};
    ::setsockopt(c, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(c);
  });
  point(2, 0, rst.port());
  NTCAN_HANDLE h = open(2);
  rst.go();
  // The very first call after the reset fails, whichever of the reader and
  // the write finds the broken connection first.
  EXPECT_EQ(NTCAN_SOCK_CONN_TIMEOUT, send(h, {frame(0x100)}));
  expect_gone(h, "reset by the peer");

  // Closed: the peer's end of the stream; a waiting reader wakes.
  FakeGateway fin([](int c) { ::close(c); });
  point(3, 0, fin.port());
  NTCAN_HANDLE g = -1;
  ASSERT_EQ(NTCAN_SUCCESS, canOpen(3, 0, 10, 100, 1000, 600000, &g));
  handles_.push_back(g);
  NTCAN_RESULT woke = -1;
  std::thread reader([&] {
    CMSG f;
    int32_t n = 1;
    woke = canRead(g, &f, &n, nullptr);
  });
  fin.go();
  reader.join();
  EXPECT_EQ(woke, NTCAN_SOCK_CONN_TIMEOUT);
  expect_gone(g, "closed by the peer");
}

TEST_F(Medium, FramesTheGatewayDroppedForASlowClientCountInMsgLost) {
  zgw::Options o = options();
  o.session_queue = 8;
  start(o);
  NTCAN_HANDLE a = open(0, {0x100, 0x101}, 4);
  // 20 frames at once on the gateway's net: its handle for the client keeps
  // 8 and drops 12; they cross the wire as the first frame's msg_lost.
  std::vector<CMSG> burst;
  for (int i = 0; i < 20; ++i) burst.push_back(frame(0x100, {uint8_t(i)}));
  ASSERT_EQ(NTCAN_SUCCESS, ntcan_ctl::inject(kBase, burst.data(), 20));
  // The client's own queue of 4 then drops 4 more of the 8 that came.
  ASSERT_TRUE(eventually([&] { return gw_->status().nets.at(0).frames_to_clients == 8; }));
  std::vector<CMSG> got = read_n(a, 4);
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0].msg_lost, 16) << "12 at the gateway, 4 in the client's queue";
  for (int i = 0; i < 4; ++i) EXPECT_EQ(got[i].data[0], i);
  for (int i = 1; i < 4; ++i) EXPECT_EQ(got[i].msg_lost, 0);

  // The count goes with the next frame taken and then starts from 0; a loss
  // at the gateway comes ahead of the frame it was reported with.
  std::vector<CMSG> more;
  for (int i = 0; i < 10; ++i) more.push_back(frame(0x101, {uint8_t(i)}));
  ASSERT_EQ(NTCAN_SUCCESS, ntcan_ctl::inject(kBase, more.data(), 10));
  got = read_n(a, 4);
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0].msg_lost, 2 + 4);
  EXPECT_EQ(got[0].data[0], 0);
}

TEST_F(Medium, AHungGatewayAnswersNothingUntilTheFaultIsCleared) {
  start();
  NTCAN_HANDLE a = open(0, {kMarker});
  NTCAN_HANDLE b = open(0, {0x100, kMarker});
  gw_->set_hung(true);
  CAN_IF_STATUS st;
  EXPECT_EQ(NTCAN_SOCK_CMD_TIMEOUT, canStatus(a, &st));
  EXPECT_EQ(NTCAN_SOCK_CMD_TIMEOUT, canIdAdd(b, 0x101));
  ASSERT_EQ(NTCAN_SUCCESS, send(a, {frame(0x100, {1})}));
  gw_->set_hung(false);
  // The connection survived; the late answers to the commands that timed
  // out are not taken for answers to new ones.
  ASSERT_EQ(NTCAN_SUCCESS, canStatus(a, &st));
  EXPECT_EQ(ids_of(until_marker(b, a)), std::vector<int32_t>{0x100});
  // The identifier whose enabling timed out can be enabled again, although
  // the gateway carried out the late command.
  ASSERT_EQ(NTCAN_SUCCESS, canIdAdd(b, 0x101));
  ASSERT_EQ(NTCAN_SUCCESS, send(a, {frame(0x101, {2})}));
  EXPECT_EQ(ids_of(until_marker(b, a)), std::vector<int32_t>{0x101});
}

TEST_F(Medium, ConcurrentCallsOnOneHandleKeepEachSendersOrder) {
  start();
  constexpr int kThreads = 4;
  constexpr int kFrames = 2000;
  NTCAN_HANDLE a = open(0, {kMarker});
  NTCAN_HANDLE b = open(0, {0x100, 0x101, 0x102, 0x103}, 16384);
  std::atomic<int> failures{0};
  std::vector<std::thread> senders;
  for (int t = 0; t < kThreads; ++t) {
    senders.emplace_back([&, t] {
      for (int i = 0; i < kFrames; ++i) {
        if (send(a, {frame(0x100 + t, {uint8_t(i), uint8_t(i >> 8)})}) != NTCAN_SUCCESS) ++failures;
        if (i % 500 == 0) {
          CAN_IF_STATUS st;
          if (canStatus(a, &st) != NTCAN_SUCCESS) ++failures;
        }
      }
    });
  }
  for (auto& s : senders) s.join();
  EXPECT_EQ(failures.load(), 0);
  std::vector<CMSG> got = read_n(b, kThreads * kFrames);
  ASSERT_EQ(got.size(), size_t{kThreads * kFrames});
  int next[kThreads] = {};
  for (const CMSG& f : got) {
    const int t = f.id - 0x100;
    ASSERT_EQ(f.data[0] | (f.data[1] << 8), next[t]) << "sender " << t;
    ++next[t];
  }
}

}  // namespace

namespace {

// A handle that only listens on a quiet net keeps its connection through the
// gateway's idle time-out by its keep-alive; one whose keep-alive comes too
// late for that time-out loses it and then fails every call.
TEST_F(Medium, AListenerOnAQuietNetIsKeptAliveThroughTheIdleTimeOut) {
  zgw::Options o = options();
  o.idle_timeout_ms = 1000;
  start(o);
  ::setenv("NTCAN_GATEWAY_KEEPALIVE_MS", "200", 1);
  NTCAN_HANDLE kept = open(0, {0x123});
  ::unsetenv("NTCAN_GATEWAY_KEEPALIVE_MS");
  NTCAN_HANDLE dropped = open(0, {0x124});
  ASSERT_TRUE(eventually([&] { return gw_->status().idle_dropped >= 1; }));
  CMSG f[4];
  int32_t n = 4;
  // The gateway counts the drop before the client's reader sees the socket
  // close, so the failure shows a moment later, but it must show.
  int32_t took = NTCAN_SUCCESS;
  EXPECT_TRUE(eventually([&] {
    n = 4;
    took = canTake(dropped, f, &n);
    return took != NTCAN_SUCCESS;
  }));
  EXPECT_EQ(NTCAN_SOCK_CONN_TIMEOUT, took);
  // Twice the idle time-out more for the kept one: still served.
  std::this_thread::sleep_for(std::chrono::milliseconds(2000));
  n = 4;
  EXPECT_EQ(NTCAN_SUCCESS, canTake(kept, f, &n));
  CAN_IF_STATUS st{};
  EXPECT_EQ(NTCAN_SUCCESS, canStatus(kept, &st));
  EXPECT_EQ(gw_->status().idle_dropped, 1u);
}

}  // namespace
