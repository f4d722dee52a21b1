// socketcand_session.cpp - sessions of the socketcand protocol
// (socketcand_wire.h, docs/gateway.md), so that socketcand clients such as
// python-can's "socketcand" interface reach every net the gateway serves.
//
// The service greets a new connection with "< hi >"; the hello is
// "< open BUS >" with BUS the net's name (zuntalN for gateway net N, the
// interface's name for a bridged net), answered with "< ok >" or
// "< error ... >" and the end of the connection. A bridged net's bus is
// its interface's name; while the interface is down the client hears
// nothing, and once it is gone the session ends. In the session,
// "< rawmode >" makes the net's frames flow to the client as
// "< frame ... >" / "< rtr ... >" elements; "< send ... >" and
// "< sendrtr ... >" put frames on the net; "< echo >" is answered at once.
// Anything else, a malformed element included, is answered with
// "< error ... >" and puts nothing on the net. Text outside an element or
// an element longer than sc_wire::kMaxElement cannot be resynchronised: it
// is answered with an error and ends the session.
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "service.h"
#include "socketcand_wire.h"

namespace zgw {
namespace {

constexpr size_t kRxChunk = 64u * 1024u;
// Frames of one read put on the net with one call.
constexpr size_t kMaxBatch = 1024;

bool send_text(int fd, const std::string& s) {
  return send_all(fd, reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

class SocketcandSession : public Session {
 public:
  void serve(Core& core) override {
    std::vector<char> buf(kRxChunk);
    frames_.reserve(kMaxBatch);
    auto on = [&](std::string_view e) { return element(core, e); };
    bool go = feed(core, reinterpret_cast<const char*>(pending.data()), pending.size(), on);
    pending.clear();
    while (go && !stop.load()) {
      const ssize_t k = ::recv(fd, buf.data(), buf.size(), 0);
      if (k < 0 && errno == EINTR) continue;
      if (k <= 0) break;
      core.touch(*this);
      // A hung service leaves what arrives unanswered until it is cleared.
      if (core.hung && !core.wait_unhung(*this)) break;
      go = feed(core, buf.data(), static_cast<size_t>(k), on);
    }
  }

  bool deliver(const CMSG* frames, int n) override {
    // Before raw mode the client has asked for no frame.
    if (!raw_.load(std::memory_order_acquire)) return true;
    timeval tv;
    ::gettimeofday(&tv, nullptr);
    out_.clear();
    for (int i = 0; i < n; ++i) sc_wire::put_frame(&out_, frames[i], tv.tv_sec, tv.tv_usec);
    return send_text(fd, out_);
  }

 private:
  template <typename Fn>
  bool feed(Core& core, const char* p, size_t n, Fn& on) {
    const bool ok = splitter_.feed(p, n, on);
    flush(core);
    if (!ok) reply("< error malformed input, closing >");
    return ok && !closing_;
  }

  // One element of the client; false when the stream cannot go on.
  bool element(Core& core, std::string_view e) {
    sc_wire::Words w;
    if (!sc_wire::split(e, &w)) return reply_after(core, "< error too many words >");
    if (w.n == 0) return reply_after(core, "< error empty command >");
    const std::string_view cmd = w.w[0];
    if (cmd == "send" || cmd == "sendrtr") {
      CMSG f;
      if (const char* why = sc_wire::parse_send(w, &f))
        return reply_after(core, "< error " + std::string(why) + " >");
      frames_.push_back(f);
      if (frames_.size() == kMaxBatch) flush(core);
      return true;
    }
    if (cmd == "echo") return reply_after(core, "< echo >");
    if (cmd == "rawmode") {
      flush(core);
      if (raw_.load()) return reply("< ok >");
      // Raw mode delivers every frame of the net: the handle takes every
      // identifier. The "< ok >", which clients wait for, goes first and raw
      // mode is on before the first identifier is: a frame taken while the
      // identifiers are added is delivered, not dropped and counted as sent.
      {
        std::lock_guard<std::mutex> lk(wmx);
        if (!send_text(fd, "< ok >")) return !(closing_ = true);
        raw_.store(true, std::memory_order_release);
      }
      for (int32_t id = 0; id < 2048; ++id) canIdAdd(handle, id);
      ids.store(2048);
      return true;
    }
    if (cmd == "open") return reply_after(core, "< error a bus is open already >");
    return reply_after(core, "< error only rawmode, send, sendrtr and echo are served >");
  }

  // Frames taken so far go on the net first, so that an answer follows them.
  bool reply_after(Core& core, const std::string& text) {
    flush(core);
    return reply(text);
  }

  bool reply(const std::string& text) {
    std::lock_guard<std::mutex> lk(wmx);
    if (!send_text(fd, text)) closing_ = true;
    return !closing_;
  }

  void flush(Core& core) {
    if (frames_.empty()) return;
    core.to_net(*this, frames_.data(), static_cast<int>(frames_.size()));
    frames_.clear();
  }

  sc_wire::Splitter splitter_;
  std::vector<CMSG> frames_;
  std::atomic<bool> raw_{false};
  bool closing_ = false;
  std::string out_;  // the writer's
};

class SocketcandProtocol : public Protocol {
 public:
  explicit SocketcandProtocol(Core& core) : core_(core) {}

  const char* name() const override { return "socketcand"; }
  bool on_accept(int fd) override { return send_text(fd, "< hi >"); }
  // "< open BUS >" with blanks to spare.
  size_t max_hello() const override { return sc_wire::kMaxElement + 2; }

  Hello parse_hello(const std::vector<uint8_t>& got, int* net, NTCAN_RESULT* status,
                    size_t* used) override {
    const std::string_view s(reinterpret_cast<const char*>(got.data()), got.size());
    const size_t open = s.find_first_not_of(" \t\r\n");
    if (open == std::string_view::npos) return Hello::Wait;
    const size_t close = s.find('>', open);
    *status = NTCAN_INVALID_PARAMETER;
    if (s[open] != '<') return Hello::Refuse;
    if (close == std::string_view::npos)
      return got.size() >= max_hello() ? Hello::Refuse : Hello::Wait;
    *used = close + 1;
    sc_wire::Words w;
    if (!sc_wire::split(s.substr(open + 1, close - open - 1), &w) || w.n != 2 || w.w[0] != "open" ||
        w.w[1].size() > sc_wire::kMaxBusName)
      return Hello::Refuse;
    *net = -1;  // a bus the gateway does not serve: refused by the service
    for (const auto& ns : core_.nets)
      if (bus_name(*ns) == w.w[1]) *net = ns->net;
    return Hello::Open;
  }

  bool answer_hello(int fd, NTCAN_RESULT status) override {
    switch (status) {
      case NTCAN_SUCCESS:
        return send_text(fd, "< ok >");
      case NTCAN_NET_NOT_FOUND:
        return send_text(fd, "< error no such bus >");
      case NTCAN_INSUFFICIENT_RESOURCES:
        return send_text(fd, "< error too many clients >");
      case NTCAN_CONTR_OFF_BUS:
        return send_text(fd, "< error the bus is down >");
      default:
        return send_text(fd, "< error expected open BUS >");
    }
  }

  std::shared_ptr<Session> make_session() override { return std::make_shared<SocketcandSession>(); }

 private:
  Core& core_;
};

}  // namespace

std::string bus_name(const NetState& ns) {
  return ns.bridge ? ns.bridge->ifname() : "zuntal" + std::to_string(ns.net);
}

std::unique_ptr<Protocol> make_socketcand_protocol(Core& core) {
  return std::make_unique<SocketcandProtocol>(core);
}

}  // namespace zgw
