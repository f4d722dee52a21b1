// medium_gateway.cpp - a net served by a network CAN gateway over TCP.
//
// Every handle gets its own TCP connection to the gateway (protocol in
// gateway_wire.h and docs/gateway.md). Sending appends the frames to the
// connection's output buffer; the thread that finds no write in progress
// writes the buffer, and whatever other threads add meanwhile, in as few
// system calls as possible. A reader thread per connection takes what the
// gateway sends: frames go into the handle's queue in one batch per read,
// answers wake the caller waiting for them.
//
// Time-outs: connecting and the hello exchange together, a command's round
// trip (identifier, baud rate, status) and a write that makes no progress
// are each bounded by NTCAN_GATEWAY_TIMEOUT_MS (environment, read when the
// net is configured; default 2000 ms).
//
// Answers:
//   canOpen: no address for the host            NTCAN_SOCK_HOST_NOT_FOUND
//            refused, or no answer in time       NTCAN_SOCK_CONN_TIMEOUT
//            peer is not a gateway of ours       NTCAN_INVALID_DRIVER
//            the gateway's own refusal           its status (e.g. NET_NOT_FOUND)
//   a command the gateway did not answer in time, a write that made no
//   progress in time: that call                 NTCAN_SOCK_CMD_TIMEOUT
//   a connection that is gone (closed or reset by the peer, broken on write,
//   a malformed message, abandoned after a stuck write): every call of the
//   handle but canClose, canTake and canRead included once the frames
//   received before are taken, for good    NTCAN_SOCK_CONN_TIMEOUT
//   a net the gateway bridges to a SocketCAN interface: what the gateway
//   reports of the interface (a Link message), as a SocketCAN handle answers:
//   while it is down                       NTCAN_CONTR_OFF_BUS
//   once it is gone, for good              NTCAN_NET_NOT_FOUND
//
// Frames the gateway dropped for this client because it read too slowly
// arrive as the msg_lost count of the next frame record it sends; they are
// added to the handle's own losses.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "gateway_wire.h"
#include "medium.h"
#include "tcp_client.h"

namespace ntcan_drv {
namespace {

using SteadyClock = tcp::SteadyClock;
using tcp::write_all;
using tcp::WriteResult;

constexpr int kDefaultTimeoutMs = 2000;
constexpr size_t kRxBuffer = 256u * 1024u;
// The keep-alive of a quiet connection is a status query whose answer nobody
// waits for; this is its sequence number, which requests never use.
constexpr uint32_t kKeepAliveSeq = 0;

int timeout_from_env() {
  return tcp::ms_from_env("NTCAN_GATEWAY_TIMEOUT_MS", kDefaultTimeoutMs);
}

// Connects to the gateway and exchanges the hellos. On success *fd is a
// blocking socket with TCP_NODELAY.
NTCAN_RESULT connect_gateway(const std::string& host, int port, int remote_net, int timeout_ms,
                             int* fd_out) {
  const SteadyClock::time_point deadline =
      SteadyClock::now() + std::chrono::milliseconds(timeout_ms);
  int fd = -1;
  NTCAN_RESULT st = tcp::connect(host, port, deadline, &fd);
  if (st != NTCAN_SUCCESS) return st;

  uint8_t hello[gw_wire::kHelloSize];
  gw_wire::put_hello(hello, static_cast<uint32_t>(remote_net));
  uint8_t answer[gw_wire::kHelloSize];
  if (write_all(fd, hello, sizeof hello, tcp::ms_left(deadline)) != WriteResult::Done ||
      !tcp::read_exact(fd, answer, sizeof answer, deadline)) {
    ::close(fd);
    return NTCAN_SOCK_CONN_TIMEOUT;
  }
  uint16_t version = 0;
  uint32_t status = 0;
  if (!gw_wire::get_hello(answer, &version, &status) || version != gw_wire::kVersion) {
    ::close(fd);
    return NTCAN_INVALID_DRIVER;
  }
  if (status != NTCAN_SUCCESS) {
    ::close(fd);
    return static_cast<NTCAN_RESULT>(status);
  }
  // From here on the reader blocks in recv and writes pass MSG_DONTWAIT.
  tcp::set_blocking(fd);
  *fd_out = fd;
  return NTCAN_SUCCESS;
}

// Room for n more bytes at the end of the output buffer.
uint8_t* grow(std::string* buf, size_t n) {
  const size_t at = buf->size();
  buf->resize(at + n);
  return reinterpret_cast<uint8_t*>(&(*buf)[at]);
}

void append_frames(std::string* buf, const CMSG* frames, int count) {
  while (count > 0) {
    const uint32_t n = std::min<uint32_t>(static_cast<uint32_t>(count), gw_wire::kMaxFramesPerMsg);
    uint8_t* p = grow(buf, gw_wire::kHeaderSize + n * gw_wire::kFrameSize);
    gw_wire::put_header(p, static_cast<uint32_t>(n * gw_wire::kFrameSize), gw_wire::kFrames);
    p += gw_wire::kHeaderSize;
    for (uint32_t i = 0; i < n; ++i, p += gw_wire::kFrameSize) gw_wire::put_frame(p, frames[i]);
    frames += n;
    count -= static_cast<int>(n);
  }
}

class GatewayPort final : public tcp::TcpPort {
 public:
  GatewayPort(tcp::TcpMedium* medium, Endpoint& ep, int fd, int timeout_ms)
      : TcpPort(medium, ep, fd, timeout_ms) {
    rx_frames_.reserve(gw_wire::kMaxFramesPerMsg);
  }
  ~GatewayPort() override { stop_reader(); }

  void start() { start_reader(); }

  NTCAN_RESULT send(const CMSG* frames, int count) override {
    return enqueue([&](std::string* b) { append_frames(b, frames, count); });
  }
  NTCAN_RESULT id_add(int32_t id) override {
    return request(gw_wire::kIdAdd, static_cast<uint32_t>(id), true, nullptr);
  }
  NTCAN_RESULT id_delete(int32_t id) override {
    return request(gw_wire::kIdDelete, static_cast<uint32_t>(id), true, nullptr);
  }
  NTCAN_RESULT set_baudrate(uint32_t index, uint32_t bitrate) override {
    (void)bitrate;
    return request(gw_wire::kBaud, index, true, nullptr);
  }
  NTCAN_RESULT status(CAN_IF_STATUS* st) override {
    return request(gw_wire::kStatus, 0, false, st);
  }

 private:
  struct Pending {
    uint32_t seq = 0;
    bool done = false;
    NTCAN_RESULT status = NTCAN_SUCCESS;
    bool has_record = false;
    CAN_IF_STATUS record{};
  };

  // One command and its answer, within the time-out.
  NTCAN_RESULT request(gw_wire::Type type, uint32_t arg, bool has_arg, CAN_IF_STATUS* st) {
    Pending p;
    {
      std::lock_guard<std::mutex> lk(rq_mx_);
      if (!alive()) return kGone;
      if (next_seq_ == kKeepAliveSeq) ++next_seq_;
      p.seq = next_seq_++;
      pending_.push_back(&p);
    }
    NTCAN_RESULT r = enqueue([&](std::string* b) {
      const uint32_t len = has_arg ? 8 : 4;
      uint8_t* q = grow(b, gw_wire::kHeaderSize + len);
      gw_wire::put_header(q, len, type);
      gw_wire::put32(q + gw_wire::kHeaderSize, p.seq);
      if (has_arg) gw_wire::put32(q + gw_wire::kHeaderSize + 4, arg);
    });
    std::unique_lock<std::mutex> lk(rq_mx_);
    if (r == NTCAN_SUCCESS) {
      const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeout_ms_);
      rq_cv_.wait_until(lk, deadline, [&] { return p.done || !alive(); });
      r = p.done ? p.status : alive() ? NTCAN_SOCK_CMD_TIMEOUT : kGone;
    }
    pending_.erase(std::remove(pending_.begin(), pending_.end(), &p), pending_.end());
    if (p.done && st != nullptr && p.has_record) {
      st->hardware = p.record.hardware;
      st->firmware = p.record.firmware;
      st->driver = p.record.driver;
      st->dll = p.record.dll;
      st->boardstatus = p.record.boardstatus;
      std::memcpy(st->boardid, p.record.boardid, sizeof st->boardid);
      st->features = p.record.features;
    }
    return r;
  }

  void answer(const uint8_t* p, uint32_t len) {
    uint32_t seq = gw_wire::get32(p);
    std::lock_guard<std::mutex> lk(rq_mx_);
    for (Pending* q : pending_) {
      // The first answer to a command counts; a repeat from a faulty
      // gateway would otherwise replace it before the caller wakes.
      if (q->seq != seq || q->done) continue;
      q->status = static_cast<NTCAN_RESULT>(gw_wire::get32(p + 4));
      if (len >= 8 + gw_wire::kStatusSize) {
        gw_wire::get_status(p + 8, &q->record);
        q->has_record = true;
      }
      q->done = true;
      rq_cv_.notify_all();
      return;
    }
  }

  void flush_frames() {
    if (rx_frames_.empty()) return;
    ep_.receive(rx_frames_.data(), static_cast<int>(rx_frames_.size()));
    rx_frames_.clear();
  }

  // Handles one message; false for a malformed one.
  bool handle(uint8_t type, const uint8_t* p, uint32_t len) {
    switch (type) {
      case gw_wire::kFrames: {
        if (len == 0 || len % gw_wire::kFrameSize != 0) return false;
        for (uint32_t off = 0; off < len; off += gw_wire::kFrameSize) {
          if (rx_frames_.size() == gw_wire::kMaxFramesPerMsg) flush_frames();
          CMSG f;
          gw_wire::get_frame(p + off, &f);
          if (f.msg_lost != 0) {
            // Lost at the gateway before this frame: after the frames
            // before it, ahead of this one.
            flush_frames();
            ep_.lost(f.msg_lost);
          }
          rx_frames_.push_back(f);
        }
        return true;
      }
      case gw_wire::kAnswer:
        if (len < 8) return false;
        flush_frames();
        answer(p, len);
        return true;
      case gw_wire::kLink: {
        if (len < 4) return false;
        flush_frames();
        const auto st = static_cast<NTCAN_RESULT>(gw_wire::get32(p));
        // A gone interface stays the handle's answer when the gateway then
        // closes the connection.
        std::lock_guard<std::mutex> lk(fail_mx_);
        if (st == NTCAN_NET_NOT_FOUND) gone_status_ = st;
        if (alive()) ep_.fail(st);
        return true;
      }
      default:
        return true;  // a newer gateway's message: skipped
    }
  }

  void read_loop() override {
    std::vector<uint8_t> buf(kRxBuffer);
    size_t have = 0;
    for (;;) {
      const size_t k = receive(buf.data() + have, buf.size() - have);
      if (k == 0) return;
      have += k;
      size_t pos = 0;
      bool bad = false;
      while (have - pos >= gw_wire::kHeaderSize) {
        const uint8_t* h = buf.data() + pos;
        const uint32_t len = gw_wire::get32(h);
        if (len > gw_wire::kMaxPayload) {
          bad = true;
          break;
        }
        if (have - pos < gw_wire::kHeaderSize + len) break;
        if (!handle(h[4], h + gw_wire::kHeaderSize, len)) {
          bad = true;
          break;
        }
        pos += gw_wire::kHeaderSize + len;
      }
      flush_frames();
      if (bad) return;
      if (pos > 0) {
        std::memmove(buf.data(), buf.data() + pos, have - pos);
        have -= pos;
      }
    }
  }

  void keep_alive() override {
    enqueue([](std::string* b) {
      uint8_t* q = grow(b, gw_wire::kHeaderSize + 4);
      gw_wire::put_header(q, 4, gw_wire::kStatus);
      gw_wire::put32(q + gw_wire::kHeaderSize, kKeepAliveSeq);
    });
  }

  void wake_waiters() override {
    { std::lock_guard<std::mutex> lk(rq_mx_); }
    rq_cv_.notify_all();
  }

  // Goodbye, if the stream is between messages; the gateway takes the end of
  // the connection the same way.
  void say_goodbye() override {
    uint8_t bye[gw_wire::kHeaderSize];
    gw_wire::put_header(bye, 0, gw_wire::kClose);
    (void)::send(fd_, bye, sizeof bye, MSG_NOSIGNAL | MSG_DONTWAIT);
  }

  std::mutex rq_mx_;
  std::condition_variable rq_cv_;
  uint32_t next_seq_ = 1;
  std::vector<Pending*> pending_;

  std::vector<CMSG> rx_frames_;  // the reader's
};

class GatewayMedium final : public tcp::TcpMedium {
 public:
  GatewayMedium(const ntcan_ctl::NetConfig& cfg, int timeout_ms)
      : host_(cfg.host), port_(cfg.port), remote_net_(cfg.remote_net), timeout_ms_(timeout_ms) {}

  NTCAN_RESULT open(Endpoint& ep, std::unique_ptr<Port>* port) override {
    int fd = -1;
    NTCAN_RESULT st = connect_gateway(host_, port_, remote_net_, timeout_ms_, &fd);
    if (st != NTCAN_SUCCESS) return st;
    auto p = std::make_unique<GatewayPort>(this, ep, fd, timeout_ms_);
    p->start();
    add(p.get());
    *port = std::move(p);
    return NTCAN_SUCCESS;
  }

  // The gateway's other clients reach this process only through the
  // handles' connections, each with its own filter: a device here would
  // hear part of the net at most. Devices of a gateway's net live in the
  // gateway.
  std::string device_refusal() const override {
    return "is net " + std::to_string(remote_net_) + " of the gateway " + host_ + ":" +
           std::to_string(port_) +
           ", whose devices belong to the gateway (zuntal_gateway --device); a device here "
           "would not hear the gateway's other clients";
  }

 private:
  const std::string host_;
  const int port_;
  const int remote_net_;
  const int timeout_ms_;
};

}  // namespace

std::shared_ptr<Medium> make_gateway_medium(int net, const ntcan_ctl::NetConfig& cfg) {
  (void)net;
  if (cfg.host.empty() || cfg.port <= 0 || cfg.port > 65535) return nullptr;
  return std::make_shared<GatewayMedium>(cfg, timeout_from_env());
}

}  // namespace ntcan_drv
