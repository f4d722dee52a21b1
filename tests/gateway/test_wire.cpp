// The gateway's side of the wire protocol, spoken byte by byte by a raw
// client: what a program other than the project's driver meets.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "gateway_fixture.h"
#include "gateway_wire.h"

namespace {

using gw_test::frame;
using gw_test::kBase;

class RawClient {
 public:
  explicit RawClient(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    ok_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~RawClient() { ::close(fd_); }
  bool connected() const { return ok_; }

  void put(const std::vector<uint8_t>& bytes) {
    ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
  }
  // Up to n bytes within 2 s; fewer when the gateway closes the connection.
  std::vector<uint8_t> get(size_t n) {
    std::vector<uint8_t> out(n);
    size_t have = 0;
    while (have < n) {
      pollfd pf{fd_, POLLIN, 0};
      if (::poll(&pf, 1, 2000) != 1) break;
      ssize_t k = ::recv(fd_, out.data() + have, n - have, 0);
      if (k <= 0) break;
      have += static_cast<size_t>(k);
    }
    out.resize(have);
    return out;
  }
  // The status word of the gateway's hello answer, or -1.
  int64_t hello(uint32_t net, uint16_t version = gw_wire::kVersion) {
    std::vector<uint8_t> h(gw_wire::kHelloSize);
    gw_wire::put_hello(h.data(), net);
    gw_wire::put16(h.data() + 4, version);
    put(h);
    std::vector<uint8_t> a = get(gw_wire::kHelloSize);
    uint16_t v = 0;
    uint32_t st = 0;
    if (a.size() != gw_wire::kHelloSize || !gw_wire::get_hello(a.data(), &v, &st)) return -1;
    EXPECT_EQ(v, gw_wire::kVersion);
    return st;
  }
  static std::vector<uint8_t> message(gw_wire::Type type, const std::vector<uint8_t>& payload) {
    // Sized once and filled: GCC 12 at -O3 reports the reallocating path of
    // insert() behind this 8-byte vector as an out-of-bounds copy
    // (-Warray-bounds, a false positive that stopped the Release build).
    std::vector<uint8_t> m(gw_wire::kHeaderSize + payload.size());
    gw_wire::put_header(m.data(), static_cast<uint32_t>(payload.size()), type);
    std::copy(payload.begin(), payload.end(), m.begin() + gw_wire::kHeaderSize);
    return m;
  }
  static std::vector<uint8_t> command(gw_wire::Type type, uint32_t seq, uint32_t arg) {
    std::vector<uint8_t> p(8);
    gw_wire::put32(p.data(), seq);
    gw_wire::put32(p.data() + 4, arg);
    return message(type, p);
  }
  // Reads one Answer: (seq, status).
  std::pair<uint32_t, int32_t> answer() {
    std::vector<uint8_t> h = get(gw_wire::kHeaderSize);
    if (h.size() != gw_wire::kHeaderSize || h[4] != gw_wire::kAnswer) return {0, -1};
    std::vector<uint8_t> p = get(gw_wire::get32(h.data()));
    if (p.size() < 8) return {0, -1};
    return {gw_wire::get32(p.data()), static_cast<int32_t>(gw_wire::get32(p.data() + 4))};
  }
  // True when the gateway has closed the connection.
  bool closed_by_peer() { return get(1).empty(); }

 private:
  int fd_ = -1;
  bool ok_ = false;
};

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

}  // namespace
