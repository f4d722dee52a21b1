// medium_socketcand.cpp - a net served by a socketcand daemon (or any server
// of the socketcand protocol, such as zuntal_gateway's socketcand service).
//
// Every handle is one TCP connection that opened the configured bus in raw
// mode (protocol in socketcand_wire.h and docs/driver.md): the server sends
// every frame of the bus, and the handle's identifier filter is applied here.
// Sending appends "< send ... >" elements to the connection's output buffer;
// the thread that finds no write in progress writes it, as the gateway
// medium does. A reader thread per connection cuts what arrives into
// elements and queues the frames for the handle, one batch per read.
//
// Time-outs (NTCAN_GATEWAY_TIMEOUT_MS, default 2000 ms, as for the gateway
// medium): connecting and the greeting, open and raw mode together; the
// echo round trip of canStatus; a write that makes no progress. A quiet
// connection sends "< echo >" every NTCAN_GATEWAY_KEEPALIVE_MS (default
// 30000 ms), so a server's idle time-out never drops a listening handle.
//
// Answers:
//   canOpen: no address for the host            NTCAN_SOCK_HOST_NOT_FOUND
//            refused, or no answer in time       NTCAN_SOCK_CONN_TIMEOUT
//            peer does not greet with < hi >     NTCAN_INVALID_DRIVER
//            or refuses raw mode
//            the server refuses to open the bus  NTCAN_NET_NOT_FOUND
//   canStatus without its echo in time, a write that made no progress in
//   time: that call                             NTCAN_SOCK_CMD_TIMEOUT
//   a connection that is gone (closed or reset by the peer, broken on write,
//   malformed input, abandoned after a stuck write): every call of the
//   handle but canClose, canTake and canRead included once the frames
//   received before are taken, for good         NTCAN_SOCK_CONN_TIMEOUT
//
// The protocol has no word for frames the server dropped, so the handle's
// msg_lost counts only its own queue's drops on this medium. canSetBaudrate
// changes nothing: the bus's bit rate is the server's.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "medium.h"
#include "socketcand_wire.h"
#include "tcp_client.h"

namespace ntcan_drv {
namespace {

using SteadyClock = tcp::SteadyClock;
using tcp::WriteResult;

constexpr int kDefaultTimeoutMs = 2000;
constexpr size_t kRxChunk = 64u * 1024u;
constexpr size_t kRxBatch = 1024;

class SocketcandPort final : public tcp::TcpPort {
 public:
  SocketcandPort(tcp::TcpMedium* medium, Endpoint& ep, int fd, int timeout_ms)
      : TcpPort(medium, ep, fd, timeout_ms) {
    rx_frames_.reserve(kRxBatch);
  }
  ~SocketcandPort() override { stop_reader(); }

  // Greeting, open and raw mode before the deadline; then the reader runs.
  NTCAN_RESULT start(const std::string& bus, SteadyClock::time_point deadline) {
    std::vector<char> buf(kRxChunk);
    while (stage_ != Stage::Live) {
      const long k =
          tcp::read_some(fd_, reinterpret_cast<uint8_t*>(buf.data()), buf.size(), deadline);
      if (k < 0) return kGone;
      if (!splitter_.feed(buf.data(), static_cast<size_t>(k),
                          [&](std::string_view e) { return on_element(e, bus, deadline); })) {
        return refusal_ != NTCAN_SUCCESS ? refusal_ : NTCAN_INVALID_DRIVER;
      }
      flush_frames();
    }
    tcp::set_blocking(fd_);
    start_reader();
    return NTCAN_SUCCESS;
  }

  NTCAN_RESULT send(const CMSG* frames, int count) override {
    return enqueue([&](std::string* b) {
      for (int i = 0; i < count; ++i) sc_wire::put_send(b, frames[i]);
    });
  }

  // An echo round trip: the server is there and answers.
  NTCAN_RESULT status(CAN_IF_STATUS* st) override {
    (void)st;
    uint64_t ticket = 0;
    NTCAN_RESULT r = enqueue([&](std::string* b) {
      b->append("< echo >");
      ticket = ++echo_sent_;
    });
    if (r != NTCAN_SUCCESS) return r;
    std::unique_lock<std::mutex> lk(echo_mx_);
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeout_ms_);
    if (echo_cv_.wait_until(lk, deadline, [&] { return echo_got_ >= ticket || !alive(); }))
      return alive() ? NTCAN_SUCCESS : kGone;
    return NTCAN_SOCK_CMD_TIMEOUT;
  }

 private:
  enum class Stage { Hello, Open, Raw, Live };

  bool write_now(const char* text, SteadyClock::time_point deadline) {
    return tcp::write_all(fd_, reinterpret_cast<const uint8_t*>(text), std::strlen(text),
                          tcp::ms_left(deadline)) == WriteResult::Done;
  }

  // One element; false when the stream cannot go on (refusal_ says why
  // during the opening).
  bool on_element(std::string_view e, const std::string& bus, SteadyClock::time_point deadline) {
    sc_wire::Words w;
    if (!sc_wire::split(e, &w) || w.n == 0) return stage_ == Stage::Live;
    switch (stage_) {
      case Stage::Hello:
        if (w.w[0] != "hi") return false;
        stage_ = Stage::Open;
        return write_now(("< open " + bus + " >").c_str(), deadline) || fail_open(kGone);
      case Stage::Open:
        if (w.w[0] == "error") return fail_open(NTCAN_NET_NOT_FOUND);
        if (w.w[0] != "ok") return false;
        stage_ = Stage::Raw;
        // Whether or not the server confirms raw mode, its echo ends the
        // opening; frames may come before it.
        return write_now("< rawmode >< echo >", deadline) || fail_open(kGone);
      case Stage::Raw:
        if (w.w[0] == "error") return false;
        if (w.w[0] == "echo") stage_ = Stage::Live;
        return w.w[0] == "echo" || w.w[0] == "ok" || live_element(w);
      case Stage::Live:
        return live_element(w);
    }
    return false;
  }

  bool fail_open(NTCAN_RESULT st) {
    refusal_ = st;
    return false;
  }

  // An element of a connection in raw mode; false for a malformed frame.
  bool live_element(const sc_wire::Words& w) {
    if (w.w[0] == "frame" || w.w[0] == "rtr") {
      CMSG f;
      bool extended = false;
      if (!sc_wire::parse_frame(w, &f, &extended)) return false;
      if (extended) return true;  // 29-bit frames never reach an 11-bit handle
      if (rx_frames_.size() == kRxBatch) flush_frames();
      rx_frames_.push_back(f);
    } else if (w.w[0] == "echo") {
      flush_frames();
      {
        std::lock_guard<std::mutex> lk(echo_mx_);
        ++echo_got_;
      }
      echo_cv_.notify_all();
    }
    // ok, error (a send the server refused, an error frame) and elements of
    // other modes change nothing here.
    return true;
  }

  void flush_frames() {
    if (rx_frames_.empty()) return;
    ep_.receive(rx_frames_.data(), static_cast<int>(rx_frames_.size()));
    rx_frames_.clear();
  }

  void read_loop() override {
    std::vector<char> buf(kRxChunk);
    const std::string none;
    for (;;) {
      const size_t k = receive(buf.data(), buf.size());
      if (k == 0) return;
      const bool ok = splitter_.feed(buf.data(), k, [&](std::string_view e) {
        return on_element(e, none, SteadyClock::now());
      });
      flush_frames();
      if (!ok) return;
    }
  }

  void keep_alive() override {
    enqueue([&](std::string* b) {
      b->append("< echo >");
      ++echo_sent_;
    });
  }

  void wake_waiters() override {
    { std::lock_guard<std::mutex> lk(echo_mx_); }
    echo_cv_.notify_all();
  }

  uint64_t echo_sent_ = 0;  // under tx_mx_: echoes written, in stream order

  std::mutex echo_mx_;
  std::condition_variable echo_cv_;
  uint64_t echo_got_ = 0;  // under echo_mx_

  // The opening's and then the reader's.
  sc_wire::Splitter splitter_;
  Stage stage_ = Stage::Hello;
  NTCAN_RESULT refusal_ = NTCAN_SUCCESS;
  std::vector<CMSG> rx_frames_;
};

class SocketcandMedium final : public tcp::TcpMedium {
 public:
  SocketcandMedium(const ntcan_ctl::NetConfig& cfg, int timeout_ms)
      : host_(cfg.host), port_(cfg.port), bus_(cfg.bus), timeout_ms_(timeout_ms) {}

  NTCAN_RESULT open(Endpoint& ep, std::unique_ptr<Port>* port) override {
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeout_ms_);
    int fd = -1;
    NTCAN_RESULT st = tcp::connect(host_, port_, deadline, &fd);
    if (st != NTCAN_SUCCESS) return st;
    auto p = std::make_unique<SocketcandPort>(this, ep, fd, timeout_ms_);
    st = p->start(bus_, deadline);
    if (st != NTCAN_SUCCESS) return st;
    add(p.get());
    *port = std::move(p);
    return NTCAN_SUCCESS;
  }

  // Like a gateway's net: the server's other clients reach this process only
  // through the handles' connections, so a device here would hear the frames
  // of this process at most. Devices of such a bus live beside the server.
  std::string device_refusal() const override {
    return "is the bus " + bus_ + " of the socketcand server " + host_ + ":" +
           std::to_string(port_) +
           ", whose devices belong to the server's side (zuntal_gateway --device); a device "
           "here would not hear the server's other clients";
  }

 private:
  const std::string host_;
  const int port_;
  const std::string bus_;
  const int timeout_ms_;
};

}  // namespace

std::shared_ptr<Medium> make_socketcand_medium(int net, const ntcan_ctl::NetConfig& cfg) {
  (void)net;
  if (cfg.host.empty() || cfg.port <= 0 || cfg.port > 65535 || cfg.bus.empty() ||
      cfg.bus.size() > sc_wire::kMaxBusName)
    return nullptr;
  return std::make_shared<SocketcandMedium>(
      cfg, tcp::ms_from_env("NTCAN_GATEWAY_TIMEOUT_MS", kDefaultTimeoutMs));
}

}  // namespace ntcan_drv
