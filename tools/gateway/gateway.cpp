// gateway.cpp - the gateway's CAN service: the listening socket, one session
// per TCP client (a driver handle on the client's net, a reader thread for
// the client's messages and a writer thread for the net's frames), restarts
// and the hung fault.
//
// The service thread accepts connections and takes their hellos itself
// (poll, no thread per connection), so connections that never say hello
// cost a descriptor and nothing more, and at most kMaxGreetings of them are
// kept. A session and its two threads exist only after a good hello, at most
// Options::max_clients at once; a hello beyond that, or one whose threads
// cannot be started, is answered NTCAN_INSUFFICIENT_RESOURCES. Sessions
// without traffic for Options::idle_timeout_ms are dropped.
#include "gateway.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include "gateway_wire.h"
#include "listen_socket.h"
#include "ntcan.h"
#include "ntcan_ctl.h"
#include "sim_bus.h"
#include "web.h"

namespace zgw {
namespace {

using SteadyClock = std::chrono::steady_clock;

// A write to a client that takes no data for this long ends the session.
constexpr int kSendTimeoutMs = 5000;
// Connections waiting to say hello; a new one beyond this closes the oldest.
constexpr size_t kMaxGreetings = 64;
// canRead's time-out on a session's handle: how often the writer looks at
// the hung fault and the end of the session while the net is quiet.
constexpr int kWriterPollMs = 100;
constexpr size_t kRxBuffer = 256u * 1024u;

bool send_all(int fd, const uint8_t* p, size_t n) {
  while (n > 0) {
    ssize_t k = ::send(fd, p, n, MSG_NOSIGNAL);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return false;
    p += k;
    n -= static_cast<size_t>(k);
  }
  return true;
}

int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(SteadyClock::now().time_since_epoch())
      .count();
}

void set_blocking(int fd, bool blocking) {
  const int fl = ::fcntl(fd, F_GETFL);
  if (fl >= 0) ::fcntl(fd, F_SETFL, blocking ? (fl & ~O_NONBLOCK) : (fl | O_NONBLOCK));
}

// The hello answer: its 16 bytes fit a fresh connection's send buffer.
bool send_hello_answer(int fd, NTCAN_RESULT status) {
  uint8_t reply[gw_wire::kHelloSize];
  gw_wire::put_hello(reply, static_cast<uint32_t>(status));
  return send_all(fd, reply, sizeof reply);
}

std::string peer_name(const sockaddr_storage& ss) {
  int port = 0;
  std::string host = peer_host(ss, &port);
  return (host.empty() ? "?" : host) + ":" + std::to_string(port);
}

const char* state_name(zsim::NmtState s) {
  switch (s) {
    case zsim::NmtState::BootUp:
      return "boot-up";
    case zsim::NmtState::Stopped:
      return "stopped";
    case zsim::NmtState::Operational:
      return "operational";
    case zsim::NmtState::PreOperational:
      return "pre-operational";
  }
  return "?";
}

struct NetState {
  int net = 0;
  int local_net = 0;
  std::atomic<uint64_t> on_bus{0};
  std::atomic<uint64_t> from_clients{0};
  std::atomic<uint64_t> to_clients{0};
  int observer = -1;
  std::unique_ptr<zsim::Bus> bus;
};

struct Session {
  uint64_t id = 0;
  int fd = -1;
  std::string peer;
  SteadyClock::time_point since;
  std::atomic<NetState*> net{nullptr};  // set once the hello is taken
  NTCAN_HANDLE handle = -1;
  std::atomic<bool> stop{false};
  std::atomic<bool> finished{false};
  std::atomic<uint64_t> in{0};
  std::atomic<uint64_t> out{0};
  std::atomic<int> ids{0};
  std::atomic<int64_t> last_active{0};  // steady clock, ns: last bytes in or frames out
  std::mutex wmx;  // whole messages to the client; held from the hello answer on
  std::thread reader;
  std::thread writer;
};

// A connection that has not said hello yet: the service thread's alone.
struct Greeting {
  int fd = -1;
  std::string peer;
  SteadyClock::time_point since;
  uint8_t hello[gw_wire::kHelloSize];
  size_t got = 0;
};

}  // namespace

struct Gateway::Impl {
  explicit Impl(Options o) : opt(std::move(o)) {}

  Options opt;
  std::vector<std::unique_ptr<NetState>> nets;
  std::unique_ptr<Web> web;

  mutable std::mutex mx;
  std::condition_variable cv;     // hung fault cleared, session stopping, restart pause
  std::atomic<bool> hung{false};  // written under mx
  bool stopping = false;
  bool restart_wanted = false;
  bool up = false;
  bool started = false;
  uint64_t restarts = 0;
  uint64_t connections = 0;
  uint64_t next_session = 1;
  std::atomic<uint64_t> unauthorized{0};
  std::atomic<uint64_t> refused{0};
  std::atomic<uint64_t> idle_dropped{0};
  std::atomic<uint64_t> accept_failures{0};
  std::vector<std::shared_ptr<Session>> sessions;
  int64_t unhung_at = 0;  // steady ns; idle time counts from here at the most

  // The service thread's:
  int listen_fd = -1;
  std::vector<Greeting> greetings;
  SteadyClock::time_point accept_resume;  // no accept before, after a failure
  int wake_fd = -1;
  std::atomic<int> can_port{0};
  std::thread service;

  // The devices go first, then the nets' frame counters.
  void drop_nets() {
    for (auto& ns : nets) {
      ns->bus.reset();
      if (ns->observer > 0) ntcan_ctl::detach_device(ns->observer);
    }
    nets.clear();
  }

  NetState* find_net(int net) {
    for (auto& n : nets)
      if (n->net == net) return n.get();
    return nullptr;
  }

  void wake() {
    uint64_t one = 1;
    ssize_t r = ::write(wake_fd, &one, sizeof one);
    (void)r;
  }

  int open_listener(std::string* error) {
    int bound = 0;
    int fd = listen_socket(opt.listen, can_port.load(), &bound, error);
    if (fd < 0) {
      if (error) *error = "CAN service on " + *error;
      return -1;
    }
    can_port = bound;
    return fd;
  }

  // Blocks while the service hangs; false when the session is to end.
  bool wait_unhung(Session& s) {
    std::unique_lock<std::mutex> lk(mx);
    cv.wait(lk, [&] { return !hung || s.stop.load(); });
    return !s.stop.load();
  }

  // ---- Sessions -------------------------------------------------------------

  void answer(Session& s, uint32_t seq, NTCAN_RESULT st, const CAN_IF_STATUS* rec) {
    uint8_t msg[gw_wire::kHeaderSize + 8 + gw_wire::kStatusSize];
    const uint32_t len = rec ? 8 + gw_wire::kStatusSize : 8;
    gw_wire::put_header(msg, len, gw_wire::kAnswer);
    gw_wire::put32(msg + gw_wire::kHeaderSize, seq);
    gw_wire::put32(msg + gw_wire::kHeaderSize + 4, static_cast<uint32_t>(st));
    if (rec) gw_wire::put_status(msg + gw_wire::kHeaderSize + 8, *rec);
    std::lock_guard<std::mutex> lk(s.wmx);
    if (!send_all(s.fd, msg, gw_wire::kHeaderSize + len)) ::shutdown(s.fd, SHUT_RDWR);
  }

  // One client message; false ends the session.
  bool handle_message(Session& s, uint8_t type, const uint8_t* p, uint32_t len,
                      std::vector<CMSG>* frames) {
    switch (type) {
      case gw_wire::kFrames: {
        if (len == 0 || len % gw_wire::kFrameSize != 0) return false;
        const uint32_t n = len / gw_wire::kFrameSize;
        frames->resize(n);
        for (uint32_t i = 0; i < n; ++i)
          gw_wire::get_frame(p + i * gw_wire::kFrameSize, &(*frames)[i]);
        int32_t count = static_cast<int32_t>(n);
        // Malformed frames are refused by the driver as a whole, as canSend
        // refuses them on the client's side.
        if (canSend(s.handle, frames->data(), &count) == NTCAN_SUCCESS && count > 0) {
          s.in.fetch_add(static_cast<uint64_t>(count), std::memory_order_relaxed);
          s.net.load()->from_clients.fetch_add(static_cast<uint64_t>(count),
                                               std::memory_order_relaxed);
        }
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
          st = canIdAdd(s.handle, static_cast<int32_t>(arg));
          if (st == NTCAN_SUCCESS) s.ids.fetch_add(1);
          if (st == NTCAN_ID_ALREADY_ENABLED) st = NTCAN_SUCCESS;
        } else if (type == gw_wire::kIdDelete) {
          st = canIdDelete(s.handle, static_cast<int32_t>(arg));
          if (st == NTCAN_SUCCESS) s.ids.fetch_sub(1);
          if (st == NTCAN_ID_NOT_ENABLED) st = NTCAN_SUCCESS;
        } else {
          st = canSetBaudrate(s.handle, arg);
        }
        answer(s, seq, st, nullptr);
        return true;
      }
      case gw_wire::kStatus: {
        if (len < 4) return false;
        CAN_IF_STATUS rec;
        std::memset(&rec, 0, sizeof rec);
        NTCAN_RESULT st = canStatus(s.handle, &rec);
        static const char kBoard[] = "ZUNTAL GW";
        static_assert(sizeof kBoard <= sizeof rec.boardid, "board id fits");
        std::memset(rec.boardid, 0, sizeof rec.boardid);
        std::memcpy(rec.boardid, kBoard, sizeof kBoard);
        answer(s, gw_wire::get32(p), st, &rec);
        return true;
      }
      case gw_wire::kClose:
        return false;
      default:
        return true;  // a newer client's message: skipped
    }
  }

  void write_loop(Session& s) {
    std::vector<CMSG> frames(gw_wire::kMaxFramesPerMsg);
    std::vector<uint8_t> msg(gw_wire::kHeaderSize + gw_wire::kMaxPayload);
    while (!s.stop.load()) {
      if (hung && !wait_unhung(s)) break;
      int32_t n = static_cast<int32_t>(frames.size());
      NTCAN_RESULT st = canRead(s.handle, frames.data(), &n, nullptr);
      if (st == NTCAN_INVALID_HANDLE) break;
      if (st != NTCAN_SUCCESS || n <= 0) continue;
      if (hung && !wait_unhung(s)) break;
      const uint32_t payload = static_cast<uint32_t>(n) * gw_wire::kFrameSize;
      gw_wire::put_header(msg.data(), payload, gw_wire::kFrames);
      for (int32_t i = 0; i < n; ++i)
        gw_wire::put_frame(msg.data() + gw_wire::kHeaderSize + i * gw_wire::kFrameSize, frames[i]);
      bool ok;
      {
        std::lock_guard<std::mutex> lk(s.wmx);
        ok = send_all(s.fd, msg.data(), gw_wire::kHeaderSize + payload);
      }
      if (!ok) break;
      s.last_active.store(now_ns(), std::memory_order_relaxed);
      s.out.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
      s.net.load()->to_clients.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
    }
    ::shutdown(s.fd, SHUT_RDWR);
  }

  void read_loop(Session& s) {
    std::vector<uint8_t> buf(kRxBuffer);
    std::vector<CMSG> frames;
    frames.reserve(gw_wire::kMaxFramesPerMsg);
    size_t have = 0;
    bool go = true;
    while (go && !s.stop.load()) {
      ssize_t k = ::recv(s.fd, buf.data() + have, buf.size() - have, 0);
      if (k < 0 && errno == EINTR) continue;
      if (k <= 0) break;
      s.last_active.store(now_ns(), std::memory_order_relaxed);
      // A hung service leaves what arrives unanswered until it is cleared.
      if (hung && !wait_unhung(s)) break;
      have += static_cast<size_t>(k);
      size_t pos = 0;
      while (have - pos >= gw_wire::kHeaderSize) {
        const uint8_t* h = buf.data() + pos;
        const uint32_t len = gw_wire::get32(h);
        if (len > gw_wire::kMaxPayload) {
          go = false;
          break;
        }
        if (have - pos < gw_wire::kHeaderSize + len) break;
        if (!handle_message(s, h[4], h + gw_wire::kHeaderSize, len, &frames)) {
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

  // Starts a thread for a session, or answers false where the system (or
  // the test hook) refuses one.
  template <typename Fn>
  bool start_thread(std::thread* th, Fn fn) {
    try {
      if (opt.before_thread_start) opt.before_thread_start();
      *th = std::thread(std::move(fn));
      return true;
    } catch (const std::system_error&) {
      return false;
    }
  }

  // The session's reader thread: starts the writer, answers the hello, then
  // serves the client's messages until the session ends.
  void run_session(const std::shared_ptr<Session>& sp) {
    Session& s = *sp;
    bool ok;
    {
      // The writer sends nothing before the hello answer: it needs wmx.
      std::lock_guard<std::mutex> lk(s.wmx);
      ok = start_thread(&s.writer, [this, sp] { write_loop(*sp); });
      if (!ok) refused.fetch_add(1);
      ok = send_hello_answer(s.fd, ok ? NTCAN_SUCCESS : NTCAN_INSUFFICIENT_RESOURCES) && ok;
    }
    if (ok) read_loop(s);
    s.stop.store(true);
    { std::lock_guard<std::mutex> lk(mx); }
    cv.notify_all();
    ::shutdown(s.fd, SHUT_RDWR);
    // Closing the handle wakes the writer out of canRead.
    if (s.handle > 0) canClose(s.handle);
    if (s.writer.joinable()) s.writer.join();
    s.finished.store(true);
    wake();
  }

  size_t live_sessions() {
    std::lock_guard<std::mutex> lk(mx);
    size_t n = 0;
    for (const auto& s : sessions)
      if (!s->finished.load()) ++n;
    return n;
  }

  // A complete hello: answered with a refusal, or the session starts. The
  // connection leaves the greetings either way.
  void take_hello(Greeting& g) {
    uint16_t version = 0;
    uint32_t net = 0;
    if (!gw_wire::get_hello(g.hello, &version, &net)) {
      ::close(g.fd);  // not a client of ours: no answer
      return;
    }
    NTCAN_RESULT st = NTCAN_SUCCESS;
    NetState* ns = nullptr;
    NTCAN_HANDLE handle = -1;
    if (version != gw_wire::kVersion) {
      st = NTCAN_INVALID_DRIVER;
    } else if ((ns = find_net(static_cast<int>(net))) == nullptr) {
      st = NTCAN_NET_NOT_FOUND;
    } else if (live_sessions() >= static_cast<size_t>(std::max(opt.max_clients, 0))) {
      st = NTCAN_INSUFFICIENT_RESOURCES;
      refused.fetch_add(1);
    } else {
      st = canOpen(ns->local_net, 0, 10, opt.session_queue, 1000, kWriterPollMs, &handle);
    }
    if (st != NTCAN_SUCCESS) {
      send_hello_answer(g.fd, st);
      ::close(g.fd);
      return;
    }
    set_blocking(g.fd, true);
    auto s = std::make_shared<Session>();
    s->fd = g.fd;
    s->peer = g.peer;
    s->since = g.since;
    s->handle = handle;
    s->net = ns;
    s->last_active = now_ns();
    {
      std::lock_guard<std::mutex> lk(mx);
      s->id = next_session++;
      sessions.push_back(s);
    }
    if (!start_thread(&s->reader, [this, s] { run_session(s); })) {
      refused.fetch_add(1);
      send_hello_answer(g.fd, NTCAN_INSUFFICIENT_RESOURCES);
      canClose(handle);
      std::lock_guard<std::mutex> lk(mx);
      sessions.erase(std::find(sessions.begin(), sessions.end(), s));
      ::close(g.fd);
    }
  }

  // Reads what a greeting connection sent; false when it is done with
  // (answered, refused or closed).
  bool read_hello(Greeting& g) {
    for (;;) {
      ssize_t k = ::recv(g.fd, g.hello + g.got, sizeof g.hello - g.got, MSG_DONTWAIT);
      if (k < 0 && errno == EINTR) continue;
      if (k < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
      if (k <= 0) {
        ::close(g.fd);
        return false;
      }
      g.got += static_cast<size_t>(k);
      if (g.got == sizeof g.hello) {
        take_hello(g);
        return false;
      }
    }
  }

  void accept_some() {
    // After a failure for lack of room the connection stays queued; it is
    // taken when something has ended (a session's end wakes this thread) or
    // after the pause.
    if (accept_burst(listen_fd, &accept_resume,
                     [this](int fd, const sockaddr_storage& ss) { take_connection(fd, ss); }))
      accept_failures.fetch_add(1);
  }

  // A new connection: it waits among the greetings for its hello.
  void take_connection(int fd, const sockaddr_storage& ss) {
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    timeval tv{kSendTimeoutMs / 1000, (kSendTimeoutMs % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    {
      std::lock_guard<std::mutex> lk(mx);
      ++connections;
    }
    if (greetings.size() >= kMaxGreetings) {
      ::close(greetings.front().fd);
      greetings.erase(greetings.begin());
    }
    Greeting g;
    g.fd = fd;
    g.peer = peer_name(ss);
    g.since = SteadyClock::now();
    greetings.push_back(g);
  }

  void close_greetings() {
    for (Greeting& g : greetings) ::close(g.fd);
    greetings.clear();
  }

  // Drops sessions without traffic for the idle time-out; the next time one
  // may fall due, or max() without sessions to watch.
  SteadyClock::time_point drop_idle() {
    const int64_t limit = int64_t{opt.idle_timeout_ms} * 1000000;
    if (opt.idle_timeout_ms <= 0) return SteadyClock::time_point::max();
    const int64_t now = now_ns();
    int64_t next = INT64_MAX;
    std::lock_guard<std::mutex> lk(mx);
    for (const auto& s : sessions) {
      if (s->finished.load() || s->stop.load()) continue;
      const int64_t since = std::max(s->last_active.load(std::memory_order_relaxed), unhung_at);
      if (now - since >= limit) {
        s->stop.store(true);
        ::shutdown(s->fd, SHUT_RDWR);  // the reader sees the end and ends the session
        idle_dropped.fetch_add(1);
      } else {
        next = std::min(next, since + limit);
      }
    }
    if (next == INT64_MAX) return SteadyClock::time_point::max();
    return SteadyClock::time_point(std::chrono::nanoseconds(next));
  }

  void finish(const std::shared_ptr<Session>& s) {
    if (s->reader.joinable()) s->reader.join();
    ::close(s->fd);
  }

  // Joins the sessions that have ended; true when there were any.
  bool reap() {
    std::vector<std::shared_ptr<Session>> done;
    {
      std::lock_guard<std::mutex> lk(mx);
      auto it =
          std::stable_partition(sessions.begin(), sessions.end(),
                                [](const std::shared_ptr<Session>& s) { return !s->finished; });
      done.assign(it, sessions.end());
      sessions.erase(it, sessions.end());
    }
    for (auto& s : done) finish(s);
    return !done.empty();
  }

  void drop_all() {
    close_greetings();
    std::vector<std::shared_ptr<Session>> all;
    {
      std::lock_guard<std::mutex> lk(mx);
      all.swap(sessions);
      for (auto& s : all) s->stop.store(true);
    }
    cv.notify_all();
    for (auto& s : all) ::shutdown(s->fd, SHUT_RDWR);
    for (auto& s : all) finish(s);
  }

  // ---- The service thread ------------------------------------------------------

  void restart_service() {
    {
      std::lock_guard<std::mutex> lk(mx);
      up = false;
    }
    if (listen_fd >= 0) {
      ::close(listen_fd);
      listen_fd = -1;
    }
    drop_all();
    std::unique_lock<std::mutex> lk(mx);
    cv.wait_for(lk, std::chrono::milliseconds(opt.restart_pause_ms), [&] { return stopping; });
    while (!stopping) {
      lk.unlock();
      int fd = open_listener(nullptr);
      lk.lock();
      if (fd >= 0) {
        listen_fd = fd;
        break;
      }
      // The port may still be held for a moment; try again shortly.
      cv.wait_for(lk, std::chrono::milliseconds(100), [&] { return stopping; });
    }
    if (stopping) return;
    hung = false;
    unhung_at = now_ns();
    up = true;
    ++restarts;
    lk.unlock();
    cv.notify_all();
  }

  static int ms_until(SteadyClock::time_point t, SteadyClock::time_point now) {
    if (t == SteadyClock::time_point::max()) return -1;
    if (t <= now) return 0;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t - now).count() + 1;
    return static_cast<int>(std::min<int64_t>(ms, 60000));
  }

  void service_loop() {
    std::vector<pollfd> pfs;
    for (;;) {
      bool accepting;
      bool is_hung;
      SteadyClock::time_point unhung;
      {
        std::unique_lock<std::mutex> lk(mx);
        if (stopping) break;
        if (restart_wanted) {
          restart_wanted = false;
          lk.unlock();
          restart_service();
          continue;
        }
        is_hung = hung;
        unhung = SteadyClock::time_point(std::chrono::nanoseconds(unhung_at));
        accepting = !hung && listen_fd >= 0;
      }
      auto now = SteadyClock::now();
      // A hung service answers nothing, not even a hello: greetings wait,
      // and their time to say hello counts from the end of the hang at the
      // earliest, as the idle time of sessions does; idle sessions stay.
      auto due = SteadyClock::time_point::max();
      if (!is_hung) {
        due = drop_idle();
        const auto hello_limit = std::chrono::milliseconds(opt.hello_timeout_ms);
        auto hello_due = [&](const Greeting& g) { return std::max(g.since, unhung) + hello_limit; };
        auto kept = std::remove_if(greetings.begin(), greetings.end(), [&](Greeting& g) {
          if (now < hello_due(g)) return false;
          ::close(g.fd);
          return true;
        });
        greetings.erase(kept, greetings.end());
        for (const Greeting& g : greetings) due = std::min(due, hello_due(g));
      }
      if (accepting && now < accept_resume) {
        accepting = false;
        due = std::min(due, accept_resume);
      }
      pfs.assign(2, pollfd{-1, POLLIN, 0});
      pfs[0].fd = wake_fd;
      if (accepting) pfs[1].fd = listen_fd;
      for (const Greeting& g : greetings) pfs.push_back(pollfd{is_hung ? -1 : g.fd, POLLIN, 0});
      int r = ::poll(pfs.data(), pfs.size(), ms_until(due, now));
      if (r < 0 && errno != EINTR) break;
      if (pfs[0].revents & POLLIN) {
        uint64_t v;
        ssize_t k = ::read(wake_fd, &v, sizeof v);
        (void)k;
      }
      // A session that ended gave back its descriptor: accept again at once.
      if (reap()) accept_resume = SteadyClock::time_point();
      if (r > 0 && !hung) {
        // Greetings are answered in the order they came; a greeting that is
        // answered or closed leaves the list.
        std::vector<Greeting> still;
        still.reserve(greetings.size());
        for (size_t i = 0; i < greetings.size(); ++i) {
          const short ev = pfs[2 + i].revents;
          if (ev == 0 || read_hello(greetings[i])) still.push_back(greetings[i]);
        }
        greetings.swap(still);
      }
      if (accepting && (pfs[1].revents & POLLIN)) {
        std::unique_lock<std::mutex> lk(mx);
        bool still = !hung && !stopping;
        lk.unlock();
        if (still) accept_some();
      }
    }
    if (listen_fd >= 0) {
      ::close(listen_fd);
      listen_fd = -1;
    }
    drop_all();
  }
};

Gateway::Gateway(Options options) : impl_(new Impl(std::move(options))) {}

Gateway::~Gateway() {
  stop();
}

int Gateway::start(std::string* error) {
  Impl& m = *impl_;
  if (m.started) {
    if (error) *error = "already started";
    return -1;
  }
  std::vector<int> nets = m.opt.nets;
  std::sort(nets.begin(), nets.end());
  nets.erase(std::unique(nets.begin(), nets.end()), nets.end());
  if (nets.empty()) {
    if (error) *error = "no net to serve";
    return -1;
  }
  for (int n : nets) {
    const int local = m.opt.local_net_base + n;
    if (n < 0 || n > 255 || local < 0 || local >= ntcan_ctl::kMaxNets) {
      if (error) *error = "net " + std::to_string(n) + " cannot be served by this driver";
      return -1;
    }
    auto ns = std::make_unique<NetState>();
    ns->net = n;
    ns->local_net = local;
    // The nets a gateway serves are simulated nets of its own process,
    // whatever a driver configuration file may have said about them.
    ntcan_ctl::configure_net(local, ntcan_ctl::NetConfig{});
    // Counting starts before the devices are added: their boot-up frames
    // are on the net too.
    NetState* p = ns.get();
    p->observer = ntcan_ctl::attach_device(
        local, [p](const CMSG&) { p->on_bus.fetch_add(1, std::memory_order_relaxed); });
    m.nets.push_back(std::move(ns));
  }
  for (const DeviceEntry& d : m.opt.devices) {
    NetState* ns = m.find_net(d.net);
    if (!ns) {
      if (error) *error = "device on net " + std::to_string(d.net) + ", which is not served";
      m.drop_nets();
      return -1;
    }
    if (!ns->bus) ns->bus = std::make_unique<zsim::Bus>(ns->local_net);
    std::string why;
    if (!ns->bus->add(d.node, d.eds, &why)) {
      if (error)
        *error =
            "device " + std::to_string(d.node) + " on net " + std::to_string(d.net) + ": " + why;
      m.drop_nets();
      return -1;
    }
  }
  m.can_port = m.opt.can_port;
  m.listen_fd = m.open_listener(error);
  if (m.listen_fd < 0) {
    m.drop_nets();
    return -1;
  }
  if (m.opt.http_port >= 0) {
    m.web = std::make_unique<Web>(*this);
    if (m.web->start(m.opt.listen, m.opt.http_port, error) != 0) {
      m.web.reset();
      ::close(m.listen_fd);
      m.listen_fd = -1;
      m.drop_nets();
      return -1;
    }
  }
  for (auto& ns : m.nets)
    if (ns->bus) ns->bus->start_runner();
  m.wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  {
    std::lock_guard<std::mutex> lk(m.mx);
    m.hung = m.opt.hung;
    m.up = true;
    m.started = true;
  }
  m.service = std::thread([&m] { m.service_loop(); });
  return 0;
}

void Gateway::stop() {
  Impl& m = *impl_;
  {
    std::lock_guard<std::mutex> lk(m.mx);
    if (!m.started) return;
    m.started = false;
    m.stopping = true;
    m.up = false;
  }
  m.cv.notify_all();
  if (m.web) m.web->stop();
  m.wake();
  if (m.service.joinable()) m.service.join();
  ::close(m.wake_fd);
  m.wake_fd = -1;
  m.web.reset();
  m.drop_nets();
}

int Gateway::can_port() const {
  return impl_->can_port;
}

int Gateway::http_port() const {
  return impl_->web ? impl_->web->port() : -1;
}

void Gateway::set_hung(bool h) {
  {
    std::lock_guard<std::mutex> lk(impl_->mx);
    // Time spent hung counts towards no session's idle time-out.
    if (impl_->hung && !h) impl_->unhung_at = now_ns();
    impl_->hung = h;
  }
  impl_->cv.notify_all();
  if (impl_->wake_fd >= 0) impl_->wake();
}

bool Gateway::hung() const {
  std::lock_guard<std::mutex> lk(impl_->mx);
  return impl_->hung;
}

void Gateway::restart() {
  {
    std::lock_guard<std::mutex> lk(impl_->mx);
    if (!impl_->started) return;
    impl_->restart_wanted = true;
    impl_->up = false;
  }
  impl_->wake();
}

bool Gateway::service_up() const {
  std::lock_guard<std::mutex> lk(impl_->mx);
  return impl_->up;
}

uint64_t Gateway::restarts() const {
  std::lock_guard<std::mutex> lk(impl_->mx);
  return impl_->restarts;
}

void Gateway::note_unauthorized() {
  impl_->unauthorized.fetch_add(1);
}

void Gateway::note_accept_failure() {
  impl_->accept_failures.fetch_add(1);
}

const Options& Gateway::options() const {
  return impl_->opt;
}

Status Gateway::status() const {
  const Impl& m = *impl_;
  Status st;
  st.listen = m.opt.listen;
  st.can_port = m.can_port;
  st.http_port = http_port();
  st.unauthorized = m.unauthorized.load();
  st.max_clients = m.opt.max_clients;
  st.refused = m.refused.load();
  st.idle_dropped = m.idle_dropped.load();
  st.accept_failures = m.accept_failures.load();
  std::vector<std::shared_ptr<Session>> sessions;
  {
    std::lock_guard<std::mutex> lk(m.mx);
    st.service_up = m.up;
    st.hung = m.hung;
    st.restarts = m.restarts;
    st.connections = m.connections;
    sessions = m.sessions;
  }
  const auto now = SteadyClock::now();
  for (const auto& ns : m.nets) {
    NetInfo ni;
    ni.net = ns->net;
    ni.local_net = ns->local_net;
    ni.frames_on_bus = ns->on_bus.load();
    ni.frames_from_clients = ns->from_clients.load();
    ni.frames_to_clients = ns->to_clients.load();
    for (const auto& s : sessions) {
      if (s->finished.load() || s->net.load() != ns.get()) continue;
      ClientInfo ci;
      ci.id = s->id;
      ci.peer = s->peer;
      ci.frames_in = s->in.load();
      ci.frames_out = s->out.load();
      ci.ids = s->ids.load();
      ci.seconds = std::chrono::duration<double>(now - s->since).count();
      ni.clients.push_back(ci);
    }
    if (ns->bus) {
      for (zsim::Device* d : ns->bus->devices()) {
        DeviceInfo di;
        di.node = d->node_id();
        di.name = d->name();
        di.state = d->powered() ? state_name(d->state()) : "off";
        di.frames_sent = d->frames_sent();
        ni.devices.push_back(di);
      }
    }
    st.nets.push_back(std::move(ni));
  }
  return st;
}

}  // namespace zgw

namespace zgw {
namespace {

// Decimal or 0x hexadecimal, as the other tools read numbers: a leading zero
// does not make a number octal, and no blank comes before it.
bool parse_number(const std::string& s, long lo, long hi, int* out) {
  if (s.empty() || std::isspace(static_cast<unsigned char>(s[0]))) return false;
  errno = 0;
  char* end = nullptr;
  const bool hex = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
  long v = std::strtol(s.c_str(), &end, hex ? 16 : 10);
  if (errno != 0 || end == nullptr || *end != '\0' || v < lo || v > hi) return false;
  *out = static_cast<int>(v);
  return true;
}

}  // namespace

bool parse_device(const std::string& entry, DeviceEntry* out, std::string* error) {
  const size_t a = entry.find(':');
  const size_t b = a == std::string::npos ? a : entry.find(':', a + 1);
  if (b == std::string::npos || b + 1 >= entry.size()) {
    if (error) *error = "expected NET:NODE:EDS, got '" + entry + "'";
    return false;
  }
  DeviceEntry d;
  if (!parse_number(entry.substr(0, a), 0, 255, &d.net)) {
    if (error) *error = "bad net in '" + entry + "'";
    return false;
  }
  if (!parse_number(entry.substr(a + 1, b - a - 1), 0, 127, &d.node)) {
    if (error) *error = "bad node id (0 to 127) in '" + entry + "'";
    return false;
  }
  d.eds = entry.substr(b + 1);
  *out = d;
  return true;
}

bool parse_net_list(const std::string& list, std::vector<int>* out, std::string* error) {
  std::vector<int> nets;
  size_t start = 0;
  while (start <= list.size()) {
    size_t comma = list.find(',', start);
    if (comma == std::string::npos) comma = list.size();
    int n = 0;
    if (!parse_number(list.substr(start, comma - start), 0, 255, &n)) {
      if (error) *error = "bad net list '" + list + "' (expected e.g. 0,2,5)";
      return false;
    }
    nets.push_back(n);
    start = comma + 1;
  }
  *out = nets;
  return true;
}

}  // namespace zgw
