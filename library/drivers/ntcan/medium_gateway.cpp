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
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gateway_wire.h"
#include "medium.h"

namespace ntcan_drv {
namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr int kDefaultTimeoutMs = 2000;
// Output bytes a connection buffers while a write is in progress before
// senders wait for room.
constexpr size_t kTxLimit = 1u << 20;
constexpr size_t kRxBuffer = 256u * 1024u;
// The answer of every call on a connection that is gone.
constexpr NTCAN_RESULT kGone = NTCAN_SOCK_CONN_TIMEOUT;
// A connection that has heard nothing for this long (environment
// NTCAN_GATEWAY_KEEPALIVE_MS) sends a status query whose answer nobody waits
// for, so that a gateway's idle time-out never drops a handle that only
// listens on a quiet net.
constexpr int kDefaultKeepAliveMs = 30000;
// Sequence number of the keep-alive's query; requests never use it.
constexpr uint32_t kKeepAliveSeq = 0;

// Milliseconds from the environment variable `name`, 1 to 600000, else `dflt`.
int ms_from_env(const char* name, int dflt) {
  const char* v = std::getenv(name);
  if (v == nullptr || *v == '\0') return dflt;
  char* end = nullptr;
  long ms = std::strtol(v, &end, 10);
  if (end == nullptr || *end != '\0' || ms < 1 || ms > 600000) return dflt;
  return static_cast<int>(ms);
}

int timeout_from_env() {
  return ms_from_env("NTCAN_GATEWAY_TIMEOUT_MS", kDefaultTimeoutMs);
}

int ms_left(SteadyClock::time_point deadline) {
  auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 600000));
}

// Host names of letters, digits, '-', '.' and ':' (IPv6) only; anything else
// is never looked up.
bool plausible_host(const std::string& h) {
  if (h.empty() || h.size() > 253) return false;
  for (char c : h)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
          c == '.' || c == ':'))
      return false;
  return true;
}

enum class WriteResult { Done, Stuck, Broken };

// Writes all of [p, p+n) to a socket, waiting for room at most timeout_ms at a
// time without progress.
WriteResult write_all(int fd, const uint8_t* p, size_t n, int timeout_ms) {
  while (n > 0) {
    ssize_t k = ::send(fd, p, n, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (k > 0) {
      p += k;
      n -= static_cast<size_t>(k);
      continue;
    }
    if (k < 0 && errno == EINTR) continue;
    if (k < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd pf{fd, POLLOUT, 0};
      int r = ::poll(&pf, 1, timeout_ms);
      if (r < 0 && errno == EINTR) continue;
      if (r == 0) return WriteResult::Stuck;
      if (r < 0 || (pf.revents & (POLLERR | POLLHUP | POLLNVAL))) return WriteResult::Broken;
      continue;
    }
    return WriteResult::Broken;
  }
  return WriteResult::Done;
}

// Reads exactly n bytes before the deadline.
bool read_exact(int fd, uint8_t* p, size_t n, SteadyClock::time_point deadline) {
  while (n > 0) {
    pollfd pf{fd, POLLIN, 0};
    int r = ::poll(&pf, 1, ms_left(deadline));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    ssize_t k = ::recv(fd, p, n, MSG_DONTWAIT);
    if (k < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (k <= 0) return false;
    p += k;
    n -= static_cast<size_t>(k);
  }
  return true;
}

// Connects to the gateway and exchanges the hellos. On success *fd is a
// blocking socket with TCP_NODELAY.
NTCAN_RESULT connect_gateway(const std::string& host, int port, int remote_net, int timeout_ms,
                             int* fd_out) {
  if (!plausible_host(host)) return NTCAN_SOCK_HOST_NOT_FOUND;
  const std::string service = std::to_string(port);
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  addrinfo* res = nullptr;
  // A numeric address needs no resolver; only a name is looked up.
  int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &res);
  if (rc != 0) {
    hints.ai_flags = AI_NUMERICSERV;
    rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &res);
  }
  if (rc != 0 || res == nullptr) return NTCAN_SOCK_HOST_NOT_FOUND;

  const SteadyClock::time_point deadline =
      SteadyClock::now() + std::chrono::milliseconds(timeout_ms);
  int fd = -1;
  for (addrinfo* ai = res; ai != nullptr && fd < 0; ai = ai->ai_next) {
    int s =
        ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
    if (s < 0) continue;
    int r = ::connect(s, ai->ai_addr, ai->ai_addrlen);
    if (r < 0 && errno == EINPROGRESS) {
      pollfd pf{s, POLLOUT, 0};
      do {
        r = ::poll(&pf, 1, ms_left(deadline));
      } while (r < 0 && errno == EINTR);
      int err = 0;
      socklen_t len = sizeof err;
      if (r == 1 && ::getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0)
        r = 0;
      else
        r = -1;
    }
    if (r == 0) {
      fd = s;
    } else {
      ::close(s);
    }
  }
  ::freeaddrinfo(res);
  if (fd < 0) return NTCAN_SOCK_CONN_TIMEOUT;

  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

  uint8_t hello[gw_wire::kHelloSize];
  gw_wire::put_hello(hello, static_cast<uint32_t>(remote_net));
  uint8_t answer[gw_wire::kHelloSize];
  if (write_all(fd, hello, sizeof hello, ms_left(deadline)) != WriteResult::Done ||
      !read_exact(fd, answer, sizeof answer, deadline)) {
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
  int fl = ::fcntl(fd, F_GETFL);
  ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
  *fd_out = fd;
  return NTCAN_SUCCESS;
}

void append_frames(std::vector<uint8_t>* buf, const CMSG* frames, int count) {
  while (count > 0) {
    const uint32_t n = std::min<uint32_t>(static_cast<uint32_t>(count), gw_wire::kMaxFramesPerMsg);
    const size_t at = buf->size();
    buf->resize(at + gw_wire::kHeaderSize + n * gw_wire::kFrameSize);
    uint8_t* p = buf->data() + at;
    gw_wire::put_header(p, static_cast<uint32_t>(n * gw_wire::kFrameSize), gw_wire::kFrames);
    p += gw_wire::kHeaderSize;
    for (uint32_t i = 0; i < n; ++i, p += gw_wire::kFrameSize) gw_wire::put_frame(p, frames[i]);
    frames += n;
    count -= static_cast<int>(n);
  }
}

class GatewayMedium;

class GatewayPort final : public Port {
 public:
  GatewayPort(GatewayMedium* medium, Endpoint& ep, int fd, int timeout_ms)
      : medium_(medium), ep_(ep), fd_(fd), timeout_ms_(timeout_ms) {
    txbuf_.reserve(4096);
    spare_.reserve(4096);
    rx_frames_.reserve(gw_wire::kMaxFramesPerMsg);
  }
  ~GatewayPort() override {
    shutdown_connection();
    if (reader_.joinable()) reader_.join();
    ::close(fd_);
  }

  void start() {
    reader_ = std::thread([this] { read_loop(); });
  }

  NTCAN_RESULT send(const CMSG* frames, int count) override {
    return enqueue([&](std::vector<uint8_t>* b) { append_frames(b, frames, count); });
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
  void close() override;

  Endpoint& endpoint() { return ep_; }
  bool alive() const { return !dead_.load(std::memory_order_acquire); }

 private:
  struct Pending {
    uint32_t seq = 0;
    bool done = false;
    NTCAN_RESULT status = NTCAN_SUCCESS;
    bool has_record = false;
    CAN_IF_STATUS record{};
  };

  // Appends a message to the output buffer and, unless another thread is
  // writing already, writes the buffer until it is empty.
  template <typename Encode>
  NTCAN_RESULT enqueue(Encode encode) {
    std::unique_lock<std::mutex> lk(tx_mx_);
    if (closed_) return NTCAN_INVALID_HANDLE;
    if (!alive()) return kGone;
    if (txbuf_.size() >= kTxLimit) {
      const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeout_ms_);
      if (!tx_cv_.wait_until(lk, deadline,
                             [&] { return closed_ || !alive() || txbuf_.size() < kTxLimit; }))
        return NTCAN_SOCK_CMD_TIMEOUT;
      if (closed_) return NTCAN_INVALID_HANDLE;
      if (!alive()) return kGone;
    }
    encode(&txbuf_);
    if (writing_) return NTCAN_SUCCESS;
    writing_ = true;
    WriteResult w = WriteResult::Done;
    while (!txbuf_.empty()) {
      spare_.swap(txbuf_);
      lk.unlock();
      w = write_all(fd_, spare_.data(), spare_.size(), timeout_ms_);
      spare_.clear();
      lk.lock();
      tx_cv_.notify_all();
      if (w != WriteResult::Done) break;
    }
    writing_ = false;
    if (w != WriteResult::Done) {
      // Part of a message may be on the wire: the stream cannot go on.
      txbuf_.clear();
      lk.unlock();
      fail();
      return w == WriteResult::Stuck ? NTCAN_SOCK_CMD_TIMEOUT : kGone;
    }
    return NTCAN_SUCCESS;
  }

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
    NTCAN_RESULT r = enqueue([&](std::vector<uint8_t>* b) {
      const uint32_t len = has_arg ? 8 : 4;
      const size_t at = b->size();
      b->resize(at + gw_wire::kHeaderSize + len);
      uint8_t* q = b->data() + at;
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

  void read_loop() {
    std::vector<uint8_t> buf(kRxBuffer);
    size_t have = 0;
    for (;;) {
      pollfd pf{fd_, POLLIN, 0};
      const int r = ::poll(&pf, 1, keepalive_ms_);
      if (r < 0 && errno == EINTR) continue;
      if (r == 0) {
        keep_alive();
        continue;
      }
      ssize_t k = ::recv(fd_, buf.data() + have, buf.size() - have, 0);
      if (k < 0 && errno == EINTR) continue;
      if (k <= 0) break;
      have += static_cast<size_t>(k);
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
      if (bad) break;
      if (pos > 0) {
        std::memmove(buf.data(), buf.data() + pos, have - pos);
        have -= pos;
      }
    }
    fail();
  }

  void keep_alive() {
    enqueue([](std::vector<uint8_t>* b) {
      const size_t at = b->size();
      b->resize(at + gw_wire::kHeaderSize + 4);
      gw_wire::put_header(b->data() + at, 4, gw_wire::kStatus);
      gw_wire::put32(b->data() + at + gw_wire::kHeaderSize, kKeepAliveSeq);
    });
  }

  // The connection is gone: every waiting and later call answers at once.
  void fail() {
    {
      // Ordered with a Link message, so that a late "working" cannot undo
      // the end of the connection.
      std::lock_guard<std::mutex> lk(fail_mx_);
      dead_.store(true, std::memory_order_release);
      ep_.fail(gone_status_);
    }
    { std::lock_guard<std::mutex> lk(rq_mx_); }
    rq_cv_.notify_all();
    { std::lock_guard<std::mutex> lk(tx_mx_); }
    tx_cv_.notify_all();
    shutdown_connection();
  }
  void shutdown_connection() { ::shutdown(fd_, SHUT_RDWR); }

  GatewayMedium* const medium_;
  Endpoint& ep_;
  const int fd_;
  const int timeout_ms_;
  const int keepalive_ms_ = ms_from_env("NTCAN_GATEWAY_KEEPALIVE_MS", kDefaultKeepAliveMs);
  std::atomic<bool> dead_{false};
  std::mutex fail_mx_;
  NTCAN_RESULT gone_status_ = kGone;  // what the handle answers once dead; under fail_mx_

  std::mutex tx_mx_;
  std::condition_variable tx_cv_;
  std::vector<uint8_t> txbuf_;  // under tx_mx_
  std::vector<uint8_t> spare_;  // the writing thread's
  bool writing_ = false;        // under tx_mx_
  bool closed_ = false;         // under tx_mx_

  std::mutex rq_mx_;
  std::condition_variable rq_cv_;
  uint32_t next_seq_ = 1;
  std::vector<Pending*> pending_;

  std::vector<CMSG> rx_frames_;  // the reader's
  std::thread reader_;
};

class GatewayMedium final : public Medium {
 public:
  GatewayMedium(const ntcan_ctl::NetConfig& cfg, int timeout_ms)
      : host_(cfg.host), port_(cfg.port), remote_net_(cfg.remote_net), timeout_ms_(timeout_ms) {}

  NTCAN_RESULT open(Endpoint& ep, std::unique_ptr<Port>* port) override {
    int fd = -1;
    NTCAN_RESULT st = connect_gateway(host_, port_, remote_net_, timeout_ms_, &fd);
    if (st != NTCAN_SUCCESS) return st;
    auto p = std::make_unique<GatewayPort>(this, ep, fd, timeout_ms_);
    p->start();
    {
      std::lock_guard<std::mutex> lk(ports_mx_);
      ports_.push_back(p.get());
    }
    *port = std::move(p);
    return NTCAN_SUCCESS;
  }

  // A device of this process speaks through one of the net's connections:
  // that connection's handle gets the frames here, every other client of the
  // gateway (this process's other handles too) through the gateway.
  NTCAN_RESULT inject(const CMSG* frames, int count) override {
    std::lock_guard<std::mutex> lk(ports_mx_);
    for (GatewayPort* p : ports_) {
      if (!p->alive()) continue;
      p->endpoint().receive(frames, count);
      return p->send(frames, count);
    }
    return NTCAN_SOCK_CMD_TIMEOUT;
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

  void forget(GatewayPort* p) {
    std::lock_guard<std::mutex> lk(ports_mx_);
    ports_.erase(std::remove(ports_.begin(), ports_.end(), p), ports_.end());
  }

 private:
  const std::string host_;
  const int port_;
  const int remote_net_;
  const int timeout_ms_;
  std::mutex ports_mx_;
  std::vector<GatewayPort*> ports_;
};

void GatewayPort::close() {
  medium_->forget(this);
  {
    std::lock_guard<std::mutex> lk(tx_mx_);
    if (closed_) return;
    closed_ = true;
    // Goodbye, if the stream is between messages; the gateway takes the end
    // of the connection the same way.
    if (!writing_ && txbuf_.empty() && alive()) {
      uint8_t bye[gw_wire::kHeaderSize];
      gw_wire::put_header(bye, 0, gw_wire::kClose);
      (void)::send(fd_, bye, sizeof bye, MSG_NOSIGNAL | MSG_DONTWAIT);
    }
  }
  fail();
  if (reader_.joinable()) reader_.join();
}

}  // namespace

std::shared_ptr<Medium> make_gateway_medium(int net, const ntcan_ctl::NetConfig& cfg) {
  (void)net;
  if (cfg.host.empty() || cfg.port <= 0 || cfg.port > 65535) return nullptr;
  return std::make_shared<GatewayMedium>(cfg, timeout_from_env());
}

}  // namespace ntcan_drv
