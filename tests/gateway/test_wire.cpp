// The gateway's side of the wire protocol, spoken byte by byte by a raw
// client: what a program other than the project's driver meets.
#include <thread>

#include "gateway_fixture.h"
#include "gateway_wire.h"

namespace {

using gw_test::frame;
using gw_test::kBase;
using gw_test::RawClient;

std::vector<uint8_t> frames_payload(const std::vector<CMSG>& frames) {
  std::vector<uint8_t> p(frames.size() * gw_wire::kFrameSize);
  for (size_t i = 0; i < frames.size(); ++i)
    gw_wire::put_frame(&p[i * gw_wire::kFrameSize], frames[i]);
  return p;
}

class Wire : public gw_test::GatewayTest {};

TEST_F(Wire, HelloAnswersVersionAndNet) {
  start();
  {
    RawClient c(gw_->can_port());
    ASSERT_TRUE(c.connected());
    EXPECT_EQ(c.hello(0, 99), NTCAN_INVALID_DRIVER);
    EXPECT_TRUE(c.closed_by_peer());
  }
  {
    RawClient c(gw_->can_port());
    EXPECT_EQ(c.hello(5), NTCAN_NET_NOT_FOUND);
    EXPECT_TRUE(c.closed_by_peer());
  }
  {
    // Not a hello at all: the gateway ends the connection without a word.
    RawClient c(gw_->can_port());
    c.put(std::vector<uint8_t>(gw_wire::kHelloSize, 'x'));
    EXPECT_TRUE(c.closed_by_peer());
  }
}

TEST_F(Wire, MessagesAreAnsweredSkippedOrRefused) {
  start();
  NTCAN_HANDLE local = -1;
  ASSERT_EQ(NTCAN_SUCCESS, canOpen(kBase, 0, 10, 100, 1000, 2000, &local));
  handles_.push_back(local);
  ASSERT_EQ(NTCAN_SUCCESS, canIdAdd(local, 0x123));

  RawClient c(gw_->can_port());
  ASSERT_EQ(c.hello(0), NTCAN_SUCCESS);
  // A message type of a later protocol version is skipped, payload and all.
  c.put(RawClient::message(static_cast<gw_wire::Type>(200), {1, 2, 3, 4, 5}));
  c.put(RawClient::command(gw_wire::kIdAdd, 41, 0x123));
  EXPECT_EQ(c.answer(), std::make_pair(uint32_t{41}, int32_t{NTCAN_SUCCESS}));
  c.put(RawClient::command(gw_wire::kBaud, 42, 99));
  EXPECT_EQ(c.answer(), std::make_pair(uint32_t{42}, int32_t{NTCAN_INVALID_PARAMETER}));

  // A message with a malformed frame puts none of its frames on the net;
  // the next good one goes through.
  CMSG bad = frame(0x123, {1});
  bad.len = 9;
  c.put(RawClient::message(gw_wire::kFrames, frames_payload({frame(0x123, {1}), bad})));
  c.put(RawClient::message(gw_wire::kFrames, frames_payload({frame(0x123, {2})})));
  std::vector<CMSG> got = read_n(local, 1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].data[0], 2);

  // Frames coming from the net carry the client's identifiers only.
  ASSERT_EQ(NTCAN_SUCCESS, send(local, {frame(0x124), frame(0x123, {7})}));
  std::vector<uint8_t> h = c.get(gw_wire::kHeaderSize);
  ASSERT_EQ(h.size(), gw_wire::kHeaderSize);
  EXPECT_EQ(h[4], gw_wire::kFrames);
  ASSERT_EQ(gw_wire::get32(h.data()), gw_wire::kFrameSize);
  std::vector<uint8_t> p = c.get(gw_wire::kFrameSize);
  ASSERT_EQ(p.size(), gw_wire::kFrameSize);
  CMSG f;
  gw_wire::get_frame(p.data(), &f);
  EXPECT_EQ(f.id, 0x123);
  EXPECT_EQ(f.data[0], 7);

  // A length beyond the largest message ends the connection.
  std::vector<uint8_t> huge(gw_wire::kHeaderSize);
  gw_wire::put_header(huge.data(), gw_wire::kMaxPayload + 1, gw_wire::kFrames);
  c.put(huge);
  EXPECT_TRUE(c.closed_by_peer());
}

// Messages at their lengths' limits and one off: a good one is served and
// the connection goes on; a malformed one ends it. Frames messages carry
// frames of identifier 0x123; commands name identifier 0x7FF.
const struct WireCase {
  uint8_t type;
  size_t payload;
  bool kept;
  size_t frames;  // frames that reach the other end
} kWireCases[] = {
    // clang-format off
    {gw_wire::kFrames, 16, true, 1},  {gw_wire::kFrames, gw_wire::kMaxPayload, true, 1024},
    {gw_wire::kFrames, 0, false, 0},  {gw_wire::kFrames, 15, false, 0},
    {gw_wire::kFrames, 17, false, 0}, {gw_wire::kFrames, gw_wire::kMaxPayload + 16, false, 0},
    {200, gw_wire::kMaxPayload, true, 0}, {200, gw_wire::kMaxPayload + 1, false, 0},
    // to the gateway only
    {gw_wire::kIdAdd, 8, true, 0},     {gw_wire::kIdAdd, 9, true, 0},
    {gw_wire::kIdDelete, 7, false, 0}, {gw_wire::kBaud, 7, false, 0},
    {gw_wire::kStatus, 4, true, 0},    {gw_wire::kStatus, 3, false, 0},
    // to the driver only
    {gw_wire::kAnswer, 8, true, 0},    {gw_wire::kAnswer, 7, false, 0}};
// clang-format on

std::vector<uint8_t> wire_message(const WireCase& c) {
  std::vector<uint8_t> p(c.payload, 0);
  for (size_t at = 0; c.type == gw_wire::kFrames && at + 16 <= p.size(); at += 16)
    gw_wire::put_frame(&p[at], frame(0x123, {uint8_t(at / 16)}));
  if (c.type != gw_wire::kFrames && p.size() >= 8) gw_wire::put32(&p[4], 0x7FF);
  return RawClient::message(static_cast<gw_wire::Type>(c.type), p);
}

// The gateway's end: a command after the message is answered, or the
// connection has ended.
TEST_F(Wire, GatewayTakesMessagesUpToTheirLimitsAndEndsOnOneOff) {
  start();
  NTCAN_HANDLE local = open(kBase, {0x123});
  for (const WireCase& c : kWireCases) {
    if (c.type == gw_wire::kAnswer) continue;
    SCOPED_TRACE(std::to_string(c.type) + " of " + std::to_string(c.payload) + " bytes");
    RawClient r(gw_->can_port());
    ASSERT_EQ(r.hello(0), NTCAN_SUCCESS);
    r.put(wire_message(c));
    const auto cmd = RawClient::command(gw_wire::kIdDelete, 77, 0x7FF);
    ::send(r.fd(), cmd.data(), cmd.size(), MSG_NOSIGNAL);  // fails once the gateway has ended
    std::pair<uint32_t, int32_t> a = r.answer();
    if (a.first != 77) a = r.answer();  // after the message's own answer
    EXPECT_EQ(a.first == 77, c.kept);
    EXPECT_EQ(read_n(local, c.frames).size(), c.frames);
  }
}

// The driver's end, facing a gateway played by the test: the frames of a
// good message and a marker frame after it arrive; after a malformed one
// the handle fails.
TEST_F(Wire, DriverTakesMessagesUpToTheirLimitsAndFailsOnOneOff) {
  int net = 2;
  for (const WireCase& c : kWireCases) {
    if (c.type > gw_wire::kFrames && c.type < gw_wire::kAnswer) continue;
    SCOPED_TRACE(std::to_string(c.type) + " of " + std::to_string(c.payload) + " bytes");
    const int srv = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t alen = sizeof a;
    ASSERT_EQ(::bind(srv, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(srv, 1), 0);
    ::getsockname(srv, reinterpret_cast<sockaddr*>(&a), &alen);
    point(net, 0, ntohs(a.sin_port));
    // The test's threads end before an assertion can return.
    NTCAN_HANDLE h = -1;
    std::thread opener([&] { canOpen(net++, 0, 10, 2048, 1000, 5000, &h); });
    const int conn = ::accept(srv, nullptr, nullptr);
    uint8_t hello[gw_wire::kHelloSize];
    if (::recv(conn, hello, sizeof hello, MSG_WAITALL) == ssize_t(sizeof hello)) {
      gw_wire::put_hello(hello, NTCAN_SUCCESS);
      EXPECT_EQ(::send(conn, hello, sizeof hello, MSG_NOSIGNAL), ssize_t(sizeof hello));
    }
    opener.join();
    ASSERT_GT(h, 0);
    handles_.push_back(h);
    // The handle's filter, each command answered as the gateway would.
    for (int32_t id : {0x123, 0x7FF}) {
      NTCAN_RESULT added = -1;
      std::thread adder([&] { added = canIdAdd(h, id); });
      uint8_t cmd[gw_wire::kHeaderSize + 8];
      if (::recv(conn, cmd, sizeof cmd, MSG_WAITALL) == ssize_t(sizeof cmd)) {
        const auto ok = RawClient::command(gw_wire::kAnswer, gw_wire::get32(cmd + 8), 0);
        EXPECT_EQ(::send(conn, ok.data(), ok.size(), MSG_NOSIGNAL), ssize_t(ok.size()));
      }
      adder.join();
      ASSERT_EQ(added, NTCAN_SUCCESS);
    }
    std::vector<uint8_t> out = wire_message(c), marker(gw_wire::kFrameSize);
    gw_wire::put_frame(marker.data(), frame(0x7FF));
    const std::vector<uint8_t> mm = RawClient::message(gw_wire::kFrames, marker);
    out.insert(out.end(), mm.begin(), mm.end());
    ASSERT_EQ(::send(conn, out.data(), out.size(), MSG_NOSIGNAL), ssize_t(out.size()));
    size_t frames = 0;
    bool marked = false;
    NTCAN_RESULT st = NTCAN_SUCCESS;
    while (!marked && st == NTCAN_SUCCESS) {
      CMSG buf[256];
      int32_t n = 256;
      st = canRead(h, buf, &n, nullptr);
      for (int32_t k = 0; st == NTCAN_SUCCESS && k < n; ++k)
        buf[k].id == 0x7FF ? void(marked = true) : void(++frames);
    }
    EXPECT_EQ(st, c.kept ? NTCAN_SUCCESS : NTCAN_SOCK_CONN_TIMEOUT);
    EXPECT_EQ(frames, c.frames);
    ::close(conn);
    ::close(srv);
  }
}

}  // namespace
