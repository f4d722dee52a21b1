// fuzz_gateway_server: the network gateway's CAN service fed arbitrary bytes
// by a client, over a real TCP connection on loopback.
//
// A model of the wire protocol (gateway_wire.h) reads the same bytes and says
// what the gateway must do with them: answer the hello (or close at once on
// a wrong magic), put the frames of every well-formed Frames message whose
// frames are all valid on its net and nothing else, answer every command
// with its sequence number, in order, and stop reading at the first message
// that is malformed, too long or Close. The gateway must then close the
// connection, and keep serving: a second client's hello and status round
// trip works after every run, and every session ends once its client has
// gone.
//
// Input: the first byte chooses how the rest is sent. Bit 0: a valid hello
// for net 0 goes first (else the input carries its own). Bit 1: the rest is
// a list of messages [type, payload length, payload] that get their 8-byte
// headers here (else it is sent as it is).
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "fuzz_common.h"
#include "gateway.h"
#include "gateway_wire.h"
#include "ntcan_ctl.h"

namespace {

constexpr int kLocalBase = 4;  // gateway net k is driver net 4 + k
constexpr int kStallMs = 8000;

// A gateway that leaves a client or a session hanging for kStallMs.
//
// The harness's own waits go on through EINTR with what is left of their
// time: libFuzzer's -timeout is a SIGALRM every few seconds, and a poll it
// interrupts is no silence of the gateway.
void stalled(const char* what) {
  std::fprintf(stderr, "fuzz_gateway_server: %s for %d ms\n", what, kStallMs);
  FUZZ_CHECK(!"the gateway stalled");
}

using SteadyClock = std::chrono::steady_clock;

// Whether fd becomes ready for `events` by `deadline`.
bool ready_by(int fd, short events, SteadyClock::time_point deadline) {
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
    pollfd pf{fd, events, 0};
    const int r = ::poll(&pf, 1, static_cast<int>(std::max<int64_t>(left.count(), 0)));
    if (r > 0) return true;
    if (r == 0 || errno != EINTR) return false;
  }
}

SteadyClock::time_point stall_deadline() {
  return SteadyClock::now() + std::chrono::milliseconds(kStallMs);
}

zgw::Gateway* gateway = nullptr;

bool valid_frame(const CMSG& f) {
  return f.id >= 0 && f.id < 2048 && (f.len & ~(NTCAN_RTR | NTCAN_DLC)) == 0 &&
         (f.len & NTCAN_DLC) <= 8;
}

struct Expect {
  bool closes_at_hello = false;  // no session: closed after the hello (or without an answer)
  bool hello_answered = false;
  uint32_t hello_status = 0;
  std::vector<uint32_t> seqs;  // command answers, in order
  std::vector<bool> status;    // the answer carries a CAN_IF_STATUS
  std::vector<CMSG> frames;    // put on the net, in order
  bool stops_early = false;    // the gateway stops reading before the end
  uint32_t net = 0;            // the gateway net of the session
};

Expect model(const std::vector<uint8_t>& s) {
  Expect e;
  if (s.size() < gw_wire::kHelloSize) {
    e.closes_at_hello = true;
    return e;
  }
  uint16_t version = 0;
  uint32_t net = 0;
  if (!gw_wire::get_hello(s.data(), &version, &net)) {
    e.closes_at_hello = true;
    return e;
  }
  e.hello_answered = true;
  if (version != gw_wire::kVersion)
    e.hello_status = NTCAN_INVALID_DRIVER;
  else if (net != 0 && net != 1)
    e.hello_status = NTCAN_NET_NOT_FOUND;
  e.net = net;
  if (e.hello_status != 0) {
    e.closes_at_hello = true;
    return e;
  }
  size_t pos = gw_wire::kHelloSize;
  while (s.size() - pos >= gw_wire::kHeaderSize) {
    const uint8_t* h = s.data() + pos;
    const uint32_t len = gw_wire::get32(h);
    if (len > gw_wire::kMaxPayload) {
      e.stops_early = true;
      return e;
    }
    if (s.size() - pos - gw_wire::kHeaderSize < len) break;
    const uint8_t* p = h + gw_wire::kHeaderSize;
    bool stop = false;
    switch (h[4]) {
      case gw_wire::kFrames: {
        if (len == 0 || len % gw_wire::kFrameSize != 0) {
          stop = true;
          break;
        }
        std::vector<CMSG> batch(len / gw_wire::kFrameSize);
        bool ok = true;
        for (size_t i = 0; i < batch.size(); ++i) {
          gw_wire::get_frame(p + i * gw_wire::kFrameSize, &batch[i]);
          ok = ok && valid_frame(batch[i]);
        }
        if (ok) e.frames.insert(e.frames.end(), batch.begin(), batch.end());
        break;
      }
      case gw_wire::kIdAdd:
      case gw_wire::kIdDelete:
      case gw_wire::kBaud:
        if (len < 8) {
          stop = true;
          break;
        }
        e.seqs.push_back(gw_wire::get32(p));
        e.status.push_back(false);
        break;
      case gw_wire::kStatus:
        if (len < 4) {
          stop = true;
          break;
        }
        e.seqs.push_back(gw_wire::get32(p));
        e.status.push_back(true);
        break;
      case gw_wire::kClose:
        stop = true;
        break;
      default:
        break;
    }
    if (stop) {
      e.stops_early = true;
      return e;
    }
    pos += gw_wire::kHeaderSize + len;
  }
  return e;
}

int connect_gateway() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  FUZZ_CHECK(fd >= 0);
  sockaddr_in a;
  std::memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(gateway->can_port()));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    // An interrupted connect goes on in the background.
    int err = errno;
    socklen_t el = sizeof err;
    if (err == EINTR && ready_by(fd, POLLOUT, stall_deadline()))
      ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &el);
    if (err != 0) {
      ::close(fd);
      return -1;  // a gateway that no longer takes connections
    }
  }
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

// Everything the gateway sends until it closes; false when it neither
// closes nor sends anything for kStallMs.
bool read_all(int fd, std::vector<uint8_t>* out, bool* reset) {
  *reset = false;
  uint8_t buf[65536];
  for (;;) {
    if (!ready_by(fd, POLLIN, stall_deadline())) return false;
    ssize_t k = ::recv(fd, buf, sizeof buf, 0);
    if (k == 0) return true;
    if (k < 0) {
      if (errno == EINTR) continue;
      *reset = true;  // a reset may take unread answers with it
      return true;
    }
    out->insert(out->end(), buf, buf + k);
  }
}

void send_all(int fd, const std::vector<uint8_t>& s) {
  size_t at = 0;
  while (at < s.size()) {
    ssize_t k = ::send(fd, s.data() + at, s.size() - at, MSG_NOSIGNAL);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return;  // the gateway has closed: the rest is not read
    at += static_cast<size_t>(k);
  }
}

// A well-behaved client: hello, a status request, its answer.
void victim() {
  int fd = connect_gateway();
  if (fd < 0) {
    stalled("takes no new client");
    return;
  }
  std::vector<uint8_t> s(gw_wire::kHelloSize + gw_wire::kHeaderSize + 4);
  gw_wire::put_hello(s.data(), 1);
  gw_wire::put_header(s.data() + gw_wire::kHelloSize, 4, gw_wire::kStatus);
  gw_wire::put32(s.data() + gw_wire::kHelloSize + gw_wire::kHeaderSize, 77);
  send_all(fd, s);
  const size_t want = gw_wire::kHelloSize + gw_wire::kHeaderSize + 8 + gw_wire::kStatusSize;
  std::vector<uint8_t> got(want);
  size_t have = 0;
  const auto deadline = stall_deadline();
  while (have < want) {
    if (!ready_by(fd, POLLIN, deadline)) {
      stalled("does not answer a new client");
      ::close(fd);
      return;
    }
    ssize_t k = ::recv(fd, got.data() + have, want - have, 0);
    if (k < 0 && errno == EINTR) continue;
    FUZZ_CHECK(k > 0);
    have += static_cast<size_t>(k);
  }
  uint16_t version = 0;
  uint32_t st = 1;
  FUZZ_CHECK(gw_wire::get_hello(got.data(), &version, &st) && st == 0);
  const uint8_t* a = got.data() + gw_wire::kHelloSize;
  FUZZ_CHECK(a[4] == gw_wire::kAnswer && gw_wire::get32(a) == 8 + gw_wire::kStatusSize);
  FUZZ_CHECK(gw_wire::get32(a + gw_wire::kHeaderSize) == 77);
  ::close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quiet_messages();
  zgw::Options o;
  o.can_port = 0;
  o.http_port = -1;
  o.nets = {0, 1};
  o.local_net_base = kLocalBase;
  o.restart_pause_ms = 0;
  o.session_queue = 1024;
  gateway = new zgw::Gateway(o);
  std::string error;
  if (gateway->start(&error) != 0) {
    std::fprintf(stderr, "gateway: %s\n", error.c_str());
    std::abort();
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t mode = data[0];
  std::vector<uint8_t> stream;
  if (mode & 1) {
    stream.resize(gw_wire::kHelloSize);
    gw_wire::put_hello(stream.data(), 0);
  }
  if (mode & 2) {
    size_t at = 1;
    while (at + 2 <= size) {
      const uint8_t type = data[at];
      const size_t len = std::min<size_t>(data[at + 1], size - at - 2);
      const size_t base = stream.size();
      stream.resize(base + gw_wire::kHeaderSize);
      gw_wire::put_header(stream.data() + base, static_cast<uint32_t>(len),
                          static_cast<gw_wire::Type>(type));
      stream.insert(stream.end(), data + at + 2, data + at + 2 + len);
      at += 2 + len;
    }
  } else {
    stream.insert(stream.end(), data + 1, data + size);
  }
  const Expect e = model(stream);

  ntcan_ctl::clear_sent_frames(kLocalBase);
  ntcan_ctl::clear_sent_frames(kLocalBase + 1);
  int fd = connect_gateway();
  if (fd < 0) {
    stalled("takes no connection");
    return 0;
  }
  send_all(fd, stream);
  ::shutdown(fd, SHUT_WR);
  std::vector<uint8_t> got;
  bool reset = false;
  if (!read_all(fd, &got, &reset)) {
    // The gateway neither closed nor answered (inputs of past reports in
    // the seeds: stall-*).
    stalled("neither answers nor closes a finished client");
    ::close(fd);
    return 0;
  }
  ::close(fd);

  // What arrived must be what the model says, in order; a connection the
  // gateway reset may have lost the tail.
  size_t pos = 0;
  if (e.hello_answered) {
    if (got.size() >= gw_wire::kHelloSize) {
      uint16_t version = 0;
      uint32_t st = 0;
      FUZZ_CHECK(gw_wire::get_hello(got.data(), &version, &st));
      FUZZ_CHECK(version == gw_wire::kVersion && st == e.hello_status);
      pos = gw_wire::kHelloSize;
    } else {
      FUZZ_CHECK(reset);
    }
  } else {
    FUZZ_CHECK(got.empty());
  }
  size_t answers = 0;
  while (got.size() - pos >= gw_wire::kHeaderSize) {
    const uint8_t* h = got.data() + pos;
    const uint32_t len = gw_wire::get32(h);
    FUZZ_CHECK(h[4] == gw_wire::kAnswer);  // nothing else is on the net
    FUZZ_CHECK(answers < e.seqs.size());
    FUZZ_CHECK(len == (e.status[answers] ? 8 + gw_wire::kStatusSize : 8));
    if (got.size() - pos - gw_wire::kHeaderSize < len) break;
    FUZZ_CHECK(gw_wire::get32(h + gw_wire::kHeaderSize) == e.seqs[answers]);
    ++answers;
    pos += gw_wire::kHeaderSize + len;
  }
  if (!reset) {
    FUZZ_CHECK(pos == got.size());
    if (!e.closes_at_hello) FUZZ_CHECK(answers == e.seqs.size());
  }

  // The frames on the session's net: exactly the valid ones the client
  // sent; nothing on the other net.
  const uint32_t net = e.closes_at_hello ? 0 : e.net;
  const std::vector<CMSG> sent = ntcan_ctl::sent_frames(kLocalBase + static_cast<int>(net));
  FUZZ_CHECK(ntcan_ctl::sent_frames(kLocalBase + 1 - static_cast<int>(net)).empty());
  if (!e.closes_at_hello) {
    FUZZ_CHECK(sent.size() == e.frames.size());
    for (size_t k = 0; k < sent.size(); ++k) {
      FUZZ_CHECK(sent[k].id == e.frames[k].id && sent[k].len == e.frames[k].len);
      FUZZ_CHECK(std::memcmp(sent[k].data, e.frames[k].data, 8) == 0);
    }
  } else {
    FUZZ_CHECK(sent.empty());
  }
  victim();
  // Every session ends once its client has gone; the next run starts on a
  // gateway without sessions (and the leak check sees no thread at work).
  for (int k = 0;; ++k) {
    bool idle = true;
    for (const zgw::NetInfo& n : gateway->status().nets) idle = idle && n.clients.empty();
    if (idle) break;
    if (k >= kStallMs) {
      stalled("keeps the session of a client that has gone");
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return 0;
}
