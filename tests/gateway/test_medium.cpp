// The driver's gateway medium against a gateway in this process: delivery,
// filters, hosted devices, status, failing opens and connections that die.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "gateway_fixture.h"

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

TEST_F(Medium, CallsOnADeadConnectionFailWithAStatus) {
  start();
  NTCAN_HANDLE a = open(0, {0x100});
  NTCAN_HANDLE b = open(0);
  CAN_IF_STATUS st;
  ASSERT_EQ(NTCAN_SUCCESS, canStatus(a, &st));

  // The restart drops every connection.
  gw_->restart();
  EXPECT_TRUE(eventually([&] { return canStatus(a, &st) == NTCAN_SOCK_CMD_TIMEOUT; }));
  EXPECT_TRUE(eventually([&] { return send(b, {frame(0x100)}) == NTCAN_SOCK_CMD_TIMEOUT; }));
  CMSG f = frame(0x100);
  int32_t n = 1;
  EXPECT_EQ(NTCAN_SOCK_CMD_TIMEOUT, canSend(b, &f, &n));
  EXPECT_EQ(n, 0);
  EXPECT_EQ(NTCAN_SOCK_CMD_TIMEOUT, canIdAdd(a, 0x200));
  EXPECT_EQ(NTCAN_SOCK_CMD_TIMEOUT, canIdDelete(a, 0x100));
  EXPECT_EQ(NTCAN_SOCK_CMD_TIMEOUT, canSetBaudrate(a, 6));
  n = 1;
  EXPECT_EQ(NTCAN_SUCCESS, canTake(a, &f, &n));
  EXPECT_EQ(n, 0);

  // The service comes back; new handles work, the dead ones close cleanly.
  ASSERT_TRUE(eventually([&] { return gw_->service_up() && gw_->restarts() == 1; }));
  NTCAN_HANDLE c = open(0, {0x300, kMarker});
  NTCAN_HANDLE d = open(0);
  ASSERT_EQ(NTCAN_SUCCESS, send(d, {frame(0x300)}));
  EXPECT_EQ(ids_of(until_marker(c, d)), std::vector<int32_t>{0x300});
  EXPECT_EQ(NTCAN_SUCCESS, canClose(a));
  EXPECT_EQ(NTCAN_SUCCESS, canClose(b));
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
