// session.cpp - sessions of the gateway's own wire protocol (gateway_wire.h,
// docs/gateway.md): a 16-byte hello naming the net, then frames both ways
// and the commands of a driver handle (identifiers, baud rate, status), each
// answered with the client's sequence number.
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "gateway_wire.h"
#include "service.h"

namespace zgw {
namespace {

constexpr size_t kRxBuffer = 256u * 1024u;

class WireSession : public Session {
 public:
  void serve(Core& core) override {
    std::vector<uint8_t> buf(kRxBuffer);
    frames_.reserve(gw_wire::kMaxFramesPerMsg);
    size_t have = std::min(pending.size(), buf.size());
    if (have > 0) std::memcpy(buf.data(), pending.data(), have);
    pending.clear();
    bool parse_first = have > 0;  // what came with the hello
    bool go = true;
    while (go && !stop.load()) {
      if (!parse_first) {
        ssize_t k = ::recv(fd, buf.data() + have, buf.size() - have, 0);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) break;
        core.touch(*this);
        // A hung service leaves what arrives unanswered until it is cleared.
        if (core.hung && !core.wait_unhung(*this)) break;
        have += static_cast<size_t>(k);
      }
      parse_first = false;
      size_t pos = 0;
      while (have - pos >= gw_wire::kHeaderSize) {
        const uint8_t* h = buf.data() + pos;
        const uint32_t len = gw_wire::get32(h);
        if (len > gw_wire::kMaxPayload) {
          go = false;
          break;
        }
        if (have - pos < gw_wire::kHeaderSize + len) break;
        if (!message(core, h[4], h + gw_wire::kHeaderSize, len)) {
          go = false;
          break;
        }
        pos += gw_wire::kHeaderSize + len;
      }
      if (pos > 0) {
        std::memmove(buf.data(), buf.data() + pos, have - pos);
        have -= pos;
      }
    }
  }

  bool deliver(const CMSG* frames, int n) override {
    if (msg_.empty()) msg_.resize(gw_wire::kHeaderSize + gw_wire::kMaxPayload);
    const uint32_t payload = static_cast<uint32_t>(n) * gw_wire::kFrameSize;
    gw_wire::put_header(msg_.data(), payload, gw_wire::kFrames);
    for (int i = 0; i < n; ++i)
      gw_wire::put_frame(msg_.data() + gw_wire::kHeaderSize + i * gw_wire::kFrameSize, frames[i]);
    return send_all(fd, msg_.data(), gw_wire::kHeaderSize + payload);
  }

  bool link_changed(NTCAN_RESULT status) override {
    uint8_t msg[gw_wire::kHeaderSize + 4];
    gw_wire::put_header(msg, 4, gw_wire::kLink);
    gw_wire::put32(msg + gw_wire::kHeaderSize, static_cast<uint32_t>(status));
    return send_all(fd, msg, sizeof msg);
  }

 private:
  void answer(uint32_t seq, NTCAN_RESULT st, const CAN_IF_STATUS* rec) {
    uint8_t msg[gw_wire::kHeaderSize + 8 + gw_wire::kStatusSize];
    const uint32_t len = rec ? 8 + gw_wire::kStatusSize : 8;
    gw_wire::put_header(msg, len, gw_wire::kAnswer);
    gw_wire::put32(msg + gw_wire::kHeaderSize, seq);
    gw_wire::put32(msg + gw_wire::kHeaderSize + 4, static_cast<uint32_t>(st));
    if (rec) gw_wire::put_status(msg + gw_wire::kHeaderSize + 8, *rec);
    std::lock_guard<std::mutex> lk(wmx);
    if (!send_all(fd, msg, gw_wire::kHeaderSize + len)) ::shutdown(fd, SHUT_RDWR);
  }

  // One client message; false ends the session.
  bool message(Core& core, uint8_t type, const uint8_t* p, uint32_t len) {
    switch (type) {
      case gw_wire::kFrames: {
        if (len == 0 || len % gw_wire::kFrameSize != 0) return false;
        const uint32_t n = len / gw_wire::kFrameSize;
        frames_.resize(n);
        for (uint32_t i = 0; i < n; ++i)
          gw_wire::get_frame(p + i * gw_wire::kFrameSize, &frames_[i]);
        core.to_net(*this, frames_.data(), static_cast<int>(n));
        return true;
      }
      case gw_wire::kIdAdd:
      case gw_wire::kIdDelete:
      case gw_wire::kBaud: {
        if (len < 8) return false;
        const uint32_t seq = gw_wire::get32(p);
        const uint32_t arg = gw_wire::get32(p + 4);
        NTCAN_RESULT st;
        // Enabling and disabling mean "make it so": the client's own filter
        // decides what is a repeat, and a command that timed out at the
        // client may arrive late here, so a repeat is no failure.
        if (type == gw_wire::kIdAdd) {
          st = canIdAdd(handle, static_cast<int32_t>(arg));
          if (st == NTCAN_SUCCESS) ids.fetch_add(1);
          if (st == NTCAN_ID_ALREADY_ENABLED) st = NTCAN_SUCCESS;
        } else if (type == gw_wire::kIdDelete) {
          st = canIdDelete(handle, static_cast<int32_t>(arg));
          if (st == NTCAN_SUCCESS) ids.fetch_sub(1);
          if (st == NTCAN_ID_NOT_ENABLED) st = NTCAN_SUCCESS;
        } else {
          st = canSetBaudrate(handle, arg);
        }
        answer(seq, st, nullptr);
        return true;
      }
      case gw_wire::kStatus: {
        if (len < 4) return false;
        CAN_IF_STATUS rec;
        std::memset(&rec, 0, sizeof rec);
        NTCAN_RESULT st = canStatus(handle, &rec);
        // A bridged net answers for its interface.
        if (st == NTCAN_SUCCESS) st = net.load()->link();
        static const char kBoard[] = "ZUNTAL GW";
        static_assert(sizeof kBoard <= sizeof rec.boardid, "board id fits");
        std::memset(rec.boardid, 0, sizeof rec.boardid);
        std::memcpy(rec.boardid, kBoard, sizeof kBoard);
        answer(gw_wire::get32(p), st, &rec);
        return true;
      }
      case gw_wire::kClose:
        return false;
      default:
        return true;  // a newer client's message: skipped
    }
  }

  std::vector<CMSG> frames_;
  std::vector<uint8_t> msg_;
};

class WireProtocol : public Protocol {
 public:
  const char* name() const override { return "zuntal"; }
  size_t max_hello() const override { return gw_wire::kHelloSize; }

  Hello parse_hello(const std::vector<uint8_t>& got, int* net, NTCAN_RESULT* status,
                    size_t* used) override {
    if (got.size() < gw_wire::kHelloSize) return Hello::Wait;
    uint16_t version = 0;
    uint32_t word = 0;
    if (!gw_wire::get_hello(got.data(), &version, &word)) return Hello::Drop;
    *used = gw_wire::kHelloSize;
    if (version != gw_wire::kVersion) {
      *status = NTCAN_INVALID_DRIVER;
      return Hello::Refuse;
    }
    // A net beyond the gateway's range is one it does not serve.
    *net = word > 0xFFFF ? -1 : static_cast<int>(word);
    return Hello::Open;
  }

  // The hello answer: its 16 bytes fit a fresh connection's send buffer.
  bool answer_hello(int fd, NTCAN_RESULT status) override {
    uint8_t reply[gw_wire::kHelloSize];
    gw_wire::put_hello(reply, static_cast<uint32_t>(status));
    return send_all(fd, reply, sizeof reply);
  }

  std::shared_ptr<Session> make_session() override { return std::make_shared<WireSession>(); }
};

}  // namespace

std::unique_ptr<Protocol> make_wire_protocol() {
  return std::make_unique<WireProtocol>();
}

}  // namespace zgw
