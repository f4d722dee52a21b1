// fuzz_gateway_medium: the driver's gateway medium fed arbitrary replies by a
// gateway stand-in on loopback.
//
// The stand-in takes the driver's hello and answers it (or, when the input
// says so, answers with 16 bytes of the input), answers the two identifier
// commands of the handle, reads its status request, then sends the rest of
// the input and closes. A model of the wire protocol reads the same bytes
// and says what the handle must show:
//   - canOpen: success, or the protocol's answer to a foreign or refusing
//     hello (NTCAN_INVALID_DRIVER, the gateway's status);
//   - canStatus: the answer with its sequence number, with the record the
//     answer carries, or a failure when the stream ends or turns malformed
//     before it;
//   - canTake: exactly the valid frames of the enabled identifiers from the
//     well-formed Frames messages before the first malformed message, in
//     order, none lost, nothing made up, also when the connection has ended
//     meanwhile; after the end of the connection every command fails.
//
// Input: the first byte's bit 0 makes the stand-in answer the hello with the
// next 16 bytes of the input; bit 1 makes the rest a list of messages [type,
// payload length, payload] that get their 8-byte headers here.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "fuzz_common.h"
#include "gateway_wire.h"
#include "ntcan_ctl.h"

namespace {

constexpr int kNet = 0;
constexpr int32_t kIds[] = {0x000, 0x185};
int listen_fd = -1;

bool valid_frame(const CMSG& f) {
  return f.id >= 0 && f.id < 2048 && (f.len & ~(NTCAN_RTR | NTCAN_DLC)) == 0 &&
         (f.len & NTCAN_DLC) <= 8;
}
bool enabled(int32_t id) {
  return id == kIds[0] || id == kIds[1];
}

struct Expect {
  bool status_answered = false;
  NTCAN_RESULT status = NTCAN_SOCK_CMD_TIMEOUT;
  bool record = false;
  CAN_IF_STATUS rec{};
  std::vector<CMSG> frames;
  std::vector<uint32_t> answered;  // every sequence number answered before the end
  uint32_t lost = 0;               // frames the gateway says it dropped (msg_lost of its records)
  // Link messages naming a changed medium: each non-zero status fails the
  // handle from the moment it is read, which may come before or after a call.
  std::vector<NTCAN_RESULT> links;
};

// The driver's status request is the third command: sequence number 3.
Expect model(const std::vector<uint8_t>& s) {
  Expect e;
  size_t pos = 0;
  while (s.size() - pos >= gw_wire::kHeaderSize) {
    const uint8_t* h = s.data() + pos;
    const uint32_t len = gw_wire::get32(h);
    if (len > gw_wire::kMaxPayload) break;
    if (s.size() - pos - gw_wire::kHeaderSize < len) break;
    const uint8_t* p = h + gw_wire::kHeaderSize;
    if (h[4] == gw_wire::kFrames) {
      if (len == 0 || len % gw_wire::kFrameSize != 0) break;
      for (uint32_t off = 0; off < len; off += gw_wire::kFrameSize) {
        CMSG f;
        gw_wire::get_frame(p + off, &f);
        e.lost += f.msg_lost;
        if (valid_frame(f) && enabled(f.id)) e.frames.push_back(f);
      }
    } else if (h[4] == gw_wire::kLink) {
      if (len < 4) break;  // malformed: the driver ends the connection here
      const auto st = static_cast<NTCAN_RESULT>(gw_wire::get32(p));
      if (st != NTCAN_SUCCESS) e.links.push_back(st);
    } else if (h[4] == gw_wire::kAnswer) {
      if (len < 8) break;
      e.answered.push_back(gw_wire::get32(p));
      if (!e.status_answered && gw_wire::get32(p) == 3) {
        e.status_answered = true;
        e.status = static_cast<NTCAN_RESULT>(gw_wire::get32(p + 4));
        if (len >= 8 + gw_wire::kStatusSize) {
          e.record = true;
          gw_wire::get_status(p + 8, &e.rec);
        }
      }
    }
    pos += gw_wire::kHeaderSize + len;
  }
  return e;
}

// Whether fd becomes readable within ms. The stand-in's waits go on through
// EINTR: libFuzzer's -timeout is a SIGALRM every few seconds, and any thread
// may take it.
bool readable(int fd, int ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    pollfd pf{fd, POLLIN, 0};
    const int r = ::poll(&pf, 1, static_cast<int>(std::max<int64_t>(left.count(), 0)));
    if (r > 0) return true;
    if (r == 0 || errno != EINTR) return false;
  }
}

bool read_exact(int fd, uint8_t* p, size_t n) {
  while (n > 0) {
    if (!readable(fd, 5000)) return false;
    ssize_t k = ::recv(fd, p, n, 0);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return false;
    p += k;
    n -= static_cast<size_t>(k);
  }
  return true;
}

void send_all(int fd, const uint8_t* p, size_t n) {
  while (n > 0) {
    ssize_t k = ::send(fd, p, n, MSG_NOSIGNAL);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return;
    p += k;
    n -= static_cast<size_t>(k);
  }
}

// The gateway stand-in for one connection.
void stand_in(const std::vector<uint8_t>& hello, const std::vector<uint8_t>& replies,
              std::atomic<bool>* sent_replies) {
  if (!readable(listen_fd, 5000)) return;
  int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return;
  uint8_t in[gw_wire::kHelloSize];
  if (read_exact(fd, in, sizeof in)) {
    send_all(fd, hello.data(), hello.size());
    // Two identifier commands (answered), then the status request.
    bool ok = true;
    for (uint32_t seq = 1; seq <= 2 && ok; ++seq) {
      uint8_t cmd[gw_wire::kHeaderSize + 8];
      ok = read_exact(fd, cmd, sizeof cmd) && cmd[4] == gw_wire::kIdAdd &&
           gw_wire::get32(cmd + gw_wire::kHeaderSize) == seq;
      if (!ok) break;
      uint8_t answer[gw_wire::kHeaderSize + 8];
      gw_wire::put_header(answer, 8, gw_wire::kAnswer);
      gw_wire::put32(answer + gw_wire::kHeaderSize, seq);
      gw_wire::put32(answer + gw_wire::kHeaderSize + 4, NTCAN_SUCCESS);
      send_all(fd, answer, sizeof answer);
    }
    uint8_t st[gw_wire::kHeaderSize + 4];
    if (ok && read_exact(fd, st, sizeof st) && st[4] == gw_wire::kStatus &&
        gw_wire::get32(st + gw_wire::kHeaderSize) == 3) {
      sent_replies->store(true);
      send_all(fd, replies.data(), replies.size());
    }
  }
  // The end of the stream, but the connection stays readable until the
  // driver closes it: a write of the driver never meets a reset, so the
  // driver learns of the end only from the stream itself, after reading all
  // that came before it.
  ::shutdown(fd, SHUT_WR);
  uint8_t junk[256];
  for (;;) {
    if (!readable(fd, 10000)) break;
    const ssize_t k = ::recv(fd, junk, sizeof junk, 0);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) break;
  }
  ::close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // A round trip nobody answers would wait this long; none should.
  ::setenv("NTCAN_GATEWAY_TIMEOUT_MS", "5000", 1);
  listen_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a;
  std::memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t al = sizeof a;
  if (listen_fd < 0 || ::bind(listen_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::listen(listen_fd, 8) != 0 ||
      ::getsockname(listen_fd, reinterpret_cast<sockaddr*>(&a), &al) != 0)
    std::abort();
  ntcan_ctl::NetConfig cfg;
  cfg.kind = ntcan_ctl::NetConfig::Kind::Gateway;
  cfg.host = "127.0.0.1";
  cfg.port = ntohs(a.sin_port);
  ntcan_ctl::configure_net(kNet, cfg);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t mode = data[0];
  size_t at = 1;
  std::vector<uint8_t> hello(gw_wire::kHelloSize);
  gw_wire::put_hello(hello.data(), NTCAN_SUCCESS);
  if ((mode & 1) && size >= at + gw_wire::kHelloSize) {
    std::memcpy(hello.data(), data + at, gw_wire::kHelloSize);
    at += gw_wire::kHelloSize;
  }
  std::vector<uint8_t> replies;
  if (mode & 2) {
    while (at + 2 <= size) {
      const size_t len = std::min<size_t>(data[at + 1], size - at - 2);
      const size_t base = replies.size();
      replies.resize(base + gw_wire::kHeaderSize);
      gw_wire::put_header(replies.data() + base, static_cast<uint32_t>(len),
                          static_cast<gw_wire::Type>(data[at]));
      replies.insert(replies.end(), data + at + 2, data + at + 2 + len);
      at += 2 + len;
    }
  } else {
    replies.assign(data + at, data + size);
  }

  std::atomic<bool> sent_replies{false};
  std::thread gw(stand_in, std::cref(hello), std::cref(replies), &sent_replies);
  NTCAN_HANDLE h = -1;
  const NTCAN_RESULT open = canOpen(kNet, 0, 10, 8192, 1000, 1000, &h);
  uint16_t version = 0;
  uint32_t word = 0;
  if (!gw_wire::get_hello(hello.data(), &version, &word) || version != gw_wire::kVersion) {
    FUZZ_CHECK(open == NTCAN_INVALID_DRIVER);
  } else {
    FUZZ_CHECK(open == static_cast<NTCAN_RESULT>(word));
  }
  if (open != NTCAN_SUCCESS) {
    gw.join();
    return 0;
  }
  for (int32_t id : kIds) FUZZ_CHECK(canIdAdd(h, id) == NTCAN_SUCCESS);

  const Expect e = model(replies);
  CAN_IF_STATUS st;
  std::memset(&st, 0, sizeof st);
  const NTCAN_RESULT status = canStatus(h, &st);
  FUZZ_CHECK(sent_replies.load());
  // Without its answer the call fails; which status a dead connection gives
  // is the driver's choice. The stand-in ends its stream right after the
  // answer, so the call may also learn of the end first and report the dead
  // connection instead.
  const bool linked = std::find(e.links.begin(), e.links.end(), status) != e.links.end();
  if (e.status_answered)
    FUZZ_CHECK(status == e.status || status == NTCAN_SOCK_CONN_TIMEOUT || linked);
  else
    FUZZ_CHECK(status != NTCAN_SUCCESS);
  if (!e.links.empty()) {
    // A handle failed by a Link message refuses calls without sending them,
    // so the sequence numbers below no longer line up with the stream; what
    // is left to check is that it ends cleanly.
    FUZZ_CHECK(canClose(h) == NTCAN_SUCCESS);
    gw.join();
    return 0;
  }
  if (e.status_answered && status == e.status) {
    if (e.record) {
      FUZZ_CHECK(st.hardware == e.rec.hardware && st.firmware == e.rec.firmware);
      FUZZ_CHECK(st.driver == e.rec.driver && st.dll == e.rec.dll);
      FUZZ_CHECK(st.boardstatus == e.rec.boardstatus && st.features == e.rec.features);
      FUZZ_CHECK(std::memcmp(st.boardid, e.rec.boardid, sizeof st.boardid) == 0);
    } else {
      FUZZ_CHECK(std::memcmp(st.boardid, "ZUNTAL NTCAN", 13) == 0);
    }
  }

  // The stand-in has ended its stream. A probe (sequence numbers 4, 5, ...)
  // that no answer in the stream names waits for the end of the stream,
  // which the driver has then read whole: it fails, as every later command
  // does.
  for (uint32_t seq = 4;; ++seq) {
    const NTCAN_RESULT r = canSetBaudrate(h, 6);
    if (std::find(e.answered.begin(), e.answered.end(), seq) == e.answered.end()) {
      FUZZ_CHECK(r != NTCAN_SUCCESS);
      break;
    }
    FUZZ_CHECK(seq < 10000);
  }
  FUZZ_CHECK(canIdAdd(h, 0x200) != NTCAN_SUCCESS);
  FUZZ_CHECK(canStatus(h, &st) != NTCAN_SUCCESS);

  std::vector<CMSG> got;
  CMSG buf[256];
  for (;;) {
    int32_t n = 256;
    const NTCAN_RESULT r = canTake(h, buf, &n);
    if (r != NTCAN_SUCCESS || n <= 0) break;
    // What the gateway dropped shows, saturated, in the first frame taken
    // after it (the whole stream has been read by now); no other frame has
    // losses.
    for (int32_t k = 0; k < n; ++k) {
      if (got.empty())
        FUZZ_CHECK(buf[k].msg_lost == std::min<uint32_t>(e.lost, 255));
      else
        FUZZ_CHECK(buf[k].msg_lost == 0);
      got.push_back(buf[k]);
    }
    FUZZ_CHECK(got.size() <= e.frames.size());
  }
  FUZZ_CHECK(got.size() == e.frames.size());
  for (size_t k = 0; k < got.size(); ++k) {
    FUZZ_CHECK(got[k].id == e.frames[k].id && got[k].len == e.frames[k].len);
    const int n = (got[k].len & NTCAN_RTR) ? 0 : (got[k].len & NTCAN_DLC);
    FUZZ_CHECK(std::memcmp(got[k].data, e.frames[k].data, static_cast<size_t>(n)) == 0);
  }
  FUZZ_CHECK(canClose(h) == NTCAN_SUCCESS);
  gw.join();
  return 0;
}
