// gateway_fixture.h - a gateway running in the test's own process on
// 127.0.0.1 with ephemeral ports, and driver nets pointed at it.
//
// The gateway serves its nets 0 and 1 from driver nets 16 and 17 of this
// process; the test's driver nets 0 and 1 reach them over TCP through the
// driver's gateway medium, so a frame sent on net 0 travels test -> TCP ->
// gateway -> driver net 16 -> gateway -> TCP -> test.
#ifndef GATEWAY_FIXTURE_H
#define GATEWAY_FIXTURE_H

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "gateway.h"
#include "gateway_wire.h"
#include "ntcan.h"
#include "ntcan_ctl.h"

namespace gw_test {

constexpr int kBase = 16;  // gateway net k is driver net kBase + k

inline CMSG frame(int32_t id, std::vector<uint8_t> data = {}) {
  CMSG m;
  std::memset(&m, 0, sizeof m);
  m.id = id;
  m.len = static_cast<uint8_t>(data.size());
  for (size_t k = 0; k < data.size() && k < 8; ++k) m.data[k] = data[k];
  return m;
}

// Polls `pred` in real time until it holds or `ms` have passed: for the
// gateway's background work (a restart coming back), never for timing.
inline bool eventually(const std::function<bool()>& pred, int ms = 10000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

class GatewayTest : public ::testing::Test {
 protected:
  void SetUp() override { ntcan_ctl::reset(); }
  void TearDown() override {
    for (NTCAN_HANDLE h : handles_) canClose(h);
    handles_.clear();
    gw_.reset();
    ntcan_ctl::reset();
  }

  static zgw::Options options() {
    zgw::Options o;
    o.listen = "127.0.0.1";
    o.can_port = 0;
    o.http_port = 0;
    o.nets = {0, 1};
    o.local_net_base = kBase;
    o.restart_pause_ms = 50;
    return o;
  }

  // The gateway's clock for tests of its time-outs: it moves only when the
  // test advances it.
  std::function<int64_t()> manual_clock() {
    return [this] { return clock_ns_.load(); };
  }
  void advance_ms(int64_t ms) {
    clock_ns_ += ms * 1000000;
    gw_->time_moved();
  }

  void start(const zgw::Options& o = options()) {
    gw_ = std::make_unique<zgw::Gateway>(o);
    std::string error;
    ASSERT_EQ(0, gw_->start(&error)) << error;
    point(0, 0);
    point(1, 1);
  }

  // Driver net `net` of the test reaches gateway net `remote`.
  void point(int net, int remote, int port = -1, const std::string& host = "127.0.0.1") {
    ntcan_ctl::NetConfig c;
    c.kind = ntcan_ctl::NetConfig::Kind::Gateway;
    c.host = host;
    c.port = port < 0 ? gw_->can_port() : port;
    c.remote_net = remote;
    ntcan_ctl::configure_net(net, c);
  }

  NTCAN_HANDLE open(int net, std::vector<int32_t> ids = {}, int32_t rxqueue = 4096) {
    NTCAN_HANDLE h = -1;
    EXPECT_EQ(NTCAN_SUCCESS, canOpen(net, 0, 10, rxqueue, 1000, 2000, &h));
    if (h > 0) handles_.push_back(h);
    for (int32_t id : ids) EXPECT_EQ(NTCAN_SUCCESS, canIdAdd(h, id));
    return h;
  }

  static NTCAN_RESULT send(NTCAN_HANDLE h, std::vector<CMSG> frames) {
    int32_t n = static_cast<int32_t>(frames.size());
    return canSend(h, frames.data(), &n);
  }

  // Reads until `n` frames came or a read times out.
  static std::vector<CMSG> read_n(NTCAN_HANDLE h, size_t n) {
    std::vector<CMSG> out;
    std::vector<CMSG> buf(256);
    while (out.size() < n) {
      int32_t k = static_cast<int32_t>(buf.size());
      if (canRead(h, buf.data(), &k, nullptr) != NTCAN_SUCCESS) break;
      out.insert(out.end(), buf.begin(), buf.begin() + k);
    }
    return out;
  }

  // Everything `rx` receives from `tx` up to a marker frame (identifier
  // kMarker, which `rx` must have enabled) sent on `tx` after the frames of
  // interest. Frames from one sender keep their order all the way, so once
  // the marker is in, every earlier frame that was going to come has come.
  // Each marker carries a number of its own; other markers are skipped.
  static constexpr int32_t kMarker = 0x7FF;
  static std::vector<CMSG> until_marker(NTCAN_HANDLE rx, NTCAN_HANDLE tx) {
    static std::atomic<uint32_t> counter{0};
    const uint32_t mine = ++counter;
    EXPECT_EQ(NTCAN_SUCCESS,
              send(tx, {frame(kMarker, {uint8_t(mine), uint8_t(mine >> 8), uint8_t(mine >> 16),
                                        uint8_t(mine >> 24)})}));
    std::vector<CMSG> out;
    std::vector<CMSG> buf(256);
    for (;;) {
      int32_t k = static_cast<int32_t>(buf.size());
      if (canRead(rx, buf.data(), &k, nullptr) != NTCAN_SUCCESS) {
        ADD_FAILURE() << "the marker frame did not arrive";
        return out;
      }
      for (int32_t i = 0; i < k; ++i) {
        if (buf[i].id != kMarker) {
          out.push_back(buf[i]);
          continue;
        }
        const uint32_t n = uint32_t{buf[i].data[0]} | (uint32_t{buf[i].data[1]} << 8) |
                           (uint32_t{buf[i].data[2]} << 16) | (uint32_t{buf[i].data[3]} << 24);
        if (n == mine) return out;
      }
    }
  }

  std::unique_ptr<zgw::Gateway> gw_;
  std::vector<NTCAN_HANDLE> handles_;
  std::atomic<int64_t> clock_ns_{1000000000};
};

// A client that speaks the wire protocol byte by byte.
class RawClient {
 public:
  // rcvbuf: the socket's receive buffer in bytes (0: the system's), so that
  // a client that stops reading holds up its sender soon.
  explicit RawClient(int port, int rcvbuf = 0) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (rcvbuf > 0) ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    ok_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~RawClient() { ::close(fd_); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;
  bool connected() const { return ok_; }
  int fd() const { return fd_; }

  void put(const std::vector<uint8_t>& bytes) {
    ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
  }
  // Up to n bytes within wait_ms; fewer when the gateway closes the
  // connection.
  std::vector<uint8_t> get(size_t n, int wait_ms = 2000) {
    std::vector<uint8_t> out(n);
    size_t have = 0;
    while (have < n) {
      pollfd pf{fd_, POLLIN, 0};
      if (::poll(&pf, 1, wait_ms) != 1) break;
      ssize_t k = ::recv(fd_, out.data() + have, n - have, 0);
      if (k <= 0) break;
      have += static_cast<size_t>(k);
    }
    out.resize(have);
    return out;
  }
  // The status word of the gateway's hello answer, or -1.
  int64_t hello(uint32_t net, uint16_t version = gw_wire::kVersion) {
    send_hello(net, version);
    return hello_answer();
  }
  void send_hello(uint32_t net, uint16_t version = gw_wire::kVersion) {
    std::vector<uint8_t> h(gw_wire::kHelloSize);
    gw_wire::put_hello(h.data(), net);
    gw_wire::put16(h.data() + 4, version);
    put(h);
  }
  int64_t hello_answer(int wait_ms = 2000) {
    std::vector<uint8_t> a = get(gw_wire::kHelloSize, wait_ms);
    uint16_t v = 0;
    uint32_t st = 0;
    if (a.size() != gw_wire::kHelloSize || !gw_wire::get_hello(a.data(), &v, &st)) return -1;
    EXPECT_EQ(v, gw_wire::kVersion);
    return st;
  }
  static std::vector<uint8_t> message(gw_wire::Type type, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> m(gw_wire::kHeaderSize + payload.size());
    gw_wire::put_header(m.data(), static_cast<uint32_t>(payload.size()), type);
    if (!payload.empty())
      std::memcpy(m.data() + gw_wire::kHeaderSize, payload.data(), payload.size());
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
  // True when the gateway ends the connection within wait_ms; what it
  // sends before is read and dropped.
  bool ended_within(int wait_ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      pollfd pf{fd_, POLLIN, 0};
      if (::poll(&pf, 1, static_cast<int>(std::max<int64_t>(left.count(), 0))) != 1) return false;
      uint8_t b[256];
      if (::recv(fd_, b, sizeof b, 0) <= 0) return true;
    }
  }
  // True when the gateway has closed the connection (within wait_ms).
  bool closed_by_peer(int wait_ms = 2000) { return get(1, wait_ms).empty(); }

 private:
  int fd_ = -1;
  bool ok_ = false;
};

}  // namespace gw_test

#endif  // GATEWAY_FIXTURE_H
