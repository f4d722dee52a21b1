// service.cpp - the gateway's CAN service: its listening sockets, the
// connections waiting to say hello, the sessions' threads, the limits, idle
// drop, restarts and the hung fault.
//
// The service thread accepts connections and takes their hellos itself
// (poll, no thread per connection), so connections that never say hello
// cost a descriptor and nothing more, and at most kMaxGreetings of them are
// kept. A session and its two threads exist only after a good hello, at most
// Options::max_clients at once; a hello beyond that, or one whose threads
// cannot be started, is refused with NTCAN_INSUFFICIENT_RESOURCES. Sessions
// without traffic for Options::idle_timeout_ms are dropped. Idle and hello
// time-outs run on the gateway's clock (Options::clock).
#include "service.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <system_error>

#include "listen_socket.h"

namespace zgw {
namespace {

// A write to a client that takes no data for this long ends the session.
constexpr int kSendTimeoutMs = 5000;
// Connections waiting to say hello; a new one beyond this closes the oldest.
constexpr size_t kMaxGreetings = 64;
// canRead's time-out on a session's handle: how often the writer looks at
// the hung fault and the end of the session while the net is quiet.
constexpr int kWriterPollMs = 100;

void set_blocking(int fd, bool blocking) {
  const int fl = ::fcntl(fd, F_GETFL);
  if (fl >= 0) ::fcntl(fd, F_SETFL, blocking ? (fl & ~O_NONBLOCK) : (fl | O_NONBLOCK));
}

std::string peer_name(const sockaddr_storage& ss) {
  int port = 0;
  std::string host = peer_host(ss, &port);
  return (host.empty() ? "?" : host) + ":" + std::to_string(port);
}

// Milliseconds of poll from now to due (both on the gateway's clock); -1
// for never. A manual clock wakes the service when it moves.
int ms_until(int64_t due, int64_t now) {
  if (due == INT64_MAX) return -1;
  if (due <= now) return 0;
  return static_cast<int>(std::min<int64_t>((due - now) / 1000000 + 1, 60000));
}

}  // namespace

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

Core::Core(Gateway& g, Options o) : gw(g), opt(std::move(o)) {
  listeners.push_back(std::make_unique<Listener>());
  listeners.back()->proto = make_wire_protocol();
  if (opt.socketcand_port >= 0) {
    listeners.push_back(std::make_unique<Listener>());
    listeners.back()->proto = make_socketcand_protocol(*this);
    listeners.back()->port = opt.socketcand_port;
  }
}

int64_t Core::now() const {
  if (opt.clock) return opt.clock();
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void Core::wake() {
  uint64_t one = 1;
  ssize_t r = ::write(wake_fd, &one, sizeof one);
  (void)r;
}

int Core::open_listeners(std::string* error) {
  for (auto& lp : listeners) {
    Listener& l = *lp;
    int bound = 0;
    l.fd = listen_socket(opt.listen, l.port, &bound, error);
    if (l.fd < 0) {
      if (error) *error = std::string(l.proto->name()) + " service on " + *error;
      close_listeners();
      return -1;
    }
    l.port = bound;
  }
  return 0;
}

void Core::close_listeners() {
  for (auto& lp : listeners) {
    Listener& l = *lp;
    if (l.fd >= 0) ::close(l.fd);
    l.fd = -1;
  }
}

bool Core::wait_unhung(Session& s) {
  std::unique_lock<std::mutex> lk(mx);
  cv.wait(lk, [&] { return !hung || s.stop.load(); });
  return !s.stop.load();
}

int Core::to_net(Session& s, CMSG* frames, int n) {
  // A client of a net whose interface is down or gone sends nothing, as a
  // handle on the interface could not.
  if (s.net.load()->link() != NTCAN_SUCCESS) return 0;
  int32_t count = n;
  if (canSend(s.handle, frames, &count) != NTCAN_SUCCESS || count <= 0) return 0;
  s.in.fetch_add(static_cast<uint64_t>(count), std::memory_order_relaxed);
  s.net.load()->from_clients.fetch_add(static_cast<uint64_t>(count), std::memory_order_relaxed);
  return count;
}

// ---- Sessions -------------------------------------------------------------

void Core::write_loop(Session& s) {
  std::vector<CMSG> frames(256);
  NTCAN_RESULT told = NTCAN_SUCCESS;  // the medium's state as the client knows it
  while (!s.stop.load()) {
    if (hung && !wait_unhung(s)) break;
    // A bridged interface that went down, away or came back: the client
    // learns it within a read's time-out. Once it is gone the session ends,
    // as a handle on the interface fails for good.
    const NTCAN_RESULT link = s.net.load()->link();
    if (link != told) {
      bool ok;
      {
        std::lock_guard<std::mutex> lk(s.wmx);
        ok = s.link_changed(link);
      }
      told = link;
      if (!ok || link == NTCAN_NET_NOT_FOUND) break;
    }
    int32_t n = static_cast<int32_t>(frames.size());
    NTCAN_RESULT st = canRead(s.handle, frames.data(), &n, nullptr);
    if (st == NTCAN_INVALID_HANDLE) break;
    if (st != NTCAN_SUCCESS || n <= 0) continue;
    // Off the bus nothing is heard: what the net carried meanwhile (the
    // hosted devices' frames) is not for the client.
    if (told != NTCAN_SUCCESS) continue;
    if (hung && !wait_unhung(s)) break;
    bool ok;
    {
      std::lock_guard<std::mutex> lk(s.wmx);
      ok = s.deliver(frames.data(), n);
    }
    if (!ok) break;
    // The queue's drops come with the first frame of a take.
    if (frames[0].msg_lost != 0) s.lost.fetch_add(frames[0].msg_lost, std::memory_order_relaxed);
    s.last_active.store(now(), std::memory_order_relaxed);
    s.out.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
    s.net.load()->to_clients.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
  }
  ::shutdown(s.fd, SHUT_RDWR);
}

// Starts a thread for a session, or answers false where the system (or the
// test hook) refuses one.
template <typename Fn>
bool Core::start_thread(std::thread* th, Fn fn) {
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
void Core::run_session(const std::shared_ptr<Session>& sp) {
  Session& s = *sp;
  bool ok;
  {
    // The writer sends nothing before the hello answer: it needs wmx.
    std::lock_guard<std::mutex> lk(s.wmx);
    ok = start_thread(&s.writer, [this, sp] { write_loop(*sp); });
    if (!ok) refused.fetch_add(1);
    ok = s.proto->answer_hello(s.fd, ok ? NTCAN_SUCCESS : NTCAN_INSUFFICIENT_RESOURCES) && ok;
  }
  if (ok) s.serve(*this);
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

size_t Core::live_sessions() {
  std::lock_guard<std::mutex> lk(mx);
  size_t n = 0;
  for (const auto& s : sessions)
    if (!s->finished.load()) ++n;
  return n;
}

// A hello naming gateway net `net`: refused, or the session starts. The
// connection leaves the greetings either way.
void Core::take_hello(Greeting& g, int net, size_t used) {
  NTCAN_RESULT st = NTCAN_SUCCESS;
  NetState* ns = nullptr;
  NTCAN_HANDLE handle = -1;
  if ((ns = find_net(net)) == nullptr) {
    st = NTCAN_NET_NOT_FOUND;
  } else if ((st = ns->link()) != NTCAN_SUCCESS) {
    // As opening a handle on the interface answers.
  } else if (live_sessions() >= static_cast<size_t>(std::max(opt.max_clients, 0))) {
    st = NTCAN_INSUFFICIENT_RESOURCES;
    refused.fetch_add(1);
  } else {
    st = canOpen(ns->local_net, 0, 10, opt.session_queue, 1000, kWriterPollMs, &handle);
  }
  if (st != NTCAN_SUCCESS) {
    g.proto->answer_hello(g.fd, st);
    ::close(g.fd);
    return;
  }
  set_blocking(g.fd, true);
  std::shared_ptr<Session> s = g.proto->make_session();
  s->proto = g.proto;
  s->fd = g.fd;
  s->peer = g.peer;
  s->since = g.since;
  s->handle = handle;
  s->net = ns;
  s->pending.assign(g.got.begin() + static_cast<std::ptrdiff_t>(used), g.got.end());
  s->last_active = now();
  {
    std::lock_guard<std::mutex> lk(mx);
    s->id = next_session++;
    sessions.push_back(s);
  }
  if (!start_thread(&s->reader, [this, s] { run_session(s); })) {
    refused.fetch_add(1);
    g.proto->answer_hello(g.fd, NTCAN_INSUFFICIENT_RESOURCES);
    canClose(handle);
    std::lock_guard<std::mutex> lk(mx);
    sessions.erase(std::find(sessions.begin(), sessions.end(), s));
    ::close(g.fd);
  }
}

// Reads what a greeting connection sent; false when it is done with
// (answered, refused or closed).
bool Core::read_hello(Greeting& g) {
  const size_t room = g.proto->max_hello();
  for (;;) {
    if (g.got.size() >= room) {
      ::close(g.fd);  // a hello longer than any: not a client of ours
      return false;
    }
    uint8_t buf[512];
    ssize_t k = ::recv(g.fd, buf, std::min(sizeof buf, room - g.got.size()), MSG_DONTWAIT);
    if (k < 0 && errno == EINTR) continue;
    if (k < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    if (k <= 0) {
      ::close(g.fd);
      return false;
    }
    g.got.insert(g.got.end(), buf, buf + k);
    int net = -1;
    NTCAN_RESULT st = NTCAN_SUCCESS;
    size_t used = 0;
    switch (g.proto->parse_hello(g.got, &net, &st, &used)) {
      case Protocol::Hello::Wait:
        continue;
      case Protocol::Hello::Drop:
        ::close(g.fd);  // not a client of ours: no answer
        return false;
      case Protocol::Hello::Refuse:
        g.proto->answer_hello(g.fd, st);
        ::close(g.fd);
        return false;
      case Protocol::Hello::Open:
        take_hello(g, net, used);
        return false;
    }
  }
}

// A new connection: it waits among the greetings for its hello.
void Core::take_connection(Protocol* proto, int fd, const sockaddr_storage& ss) {
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  timeval tv{kSendTimeoutMs / 1000, (kSendTimeoutMs % 1000) * 1000};
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  {
    std::lock_guard<std::mutex> lk(mx);
    ++connections;
  }
  if (!proto->on_accept(fd)) {
    ::close(fd);
    return;
  }
  if (greetings.size() >= kMaxGreetings) {
    ::close(greetings.front().fd);
    greetings.erase(greetings.begin());
  }
  Greeting g;
  g.proto = proto;
  g.fd = fd;
  g.peer = peer_name(ss);
  g.since = now();
  greetings.push_back(std::move(g));
}

void Core::close_greetings() {
  for (Greeting& g : greetings) ::close(g.fd);
  greetings.clear();
}

// Drops sessions without traffic for the idle time-out; the next time one
// may fall due, or INT64_MAX without sessions to watch.
int64_t Core::drop_idle() {
  if (opt.idle_timeout_ms <= 0) return INT64_MAX;
  const int64_t limit = int64_t{opt.idle_timeout_ms} * 1000000;
  const int64_t t = now();
  int64_t next = INT64_MAX;
  std::lock_guard<std::mutex> lk(mx);
  for (const auto& s : sessions) {
    if (s->finished.load() || s->stop.load()) continue;
    const int64_t since = std::max(s->last_active.load(std::memory_order_relaxed), unhung_at);
    if (t - since >= limit) {
      // Counted before the client can see the end of its connection.
      idle_dropped.fetch_add(1);
      s->stop.store(true);
      ::shutdown(s->fd, SHUT_RDWR);  // the reader sees the end and ends the session
    } else {
      next = std::min(next, since + limit);
    }
  }
  return next;
}

void Core::finish(const std::shared_ptr<Session>& s) {
  if (s->reader.joinable()) s->reader.join();
  ::close(s->fd);
}

// Joins the sessions that have ended; true when there were any.
bool Core::reap() {
  std::vector<std::shared_ptr<Session>> done;
  {
    std::lock_guard<std::mutex> lk(mx);
    auto it = std::stable_partition(sessions.begin(), sessions.end(),
                                    [](const std::shared_ptr<Session>& s) { return !s->finished; });
    done.assign(it, sessions.end());
    sessions.erase(it, sessions.end());
  }
  for (auto& s : done) finish(s);
  return !done.empty();
}

void Core::drop_all() {
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

void Core::restart_service() {
  {
    std::lock_guard<std::mutex> lk(mx);
    up = false;
  }
  close_listeners();
  drop_all();
  std::unique_lock<std::mutex> lk(mx);
  cv.wait_for(lk, std::chrono::milliseconds(opt.restart_pause_ms), [&] { return stopping; });
  while (!stopping) {
    lk.unlock();
    int r = open_listeners(nullptr);
    lk.lock();
    if (r == 0) break;
    // A port may still be held for a moment; try again shortly.
    cv.wait_for(lk, std::chrono::milliseconds(100), [&] { return stopping; });
  }
  if (stopping) return;
  hung = false;
  unhung_at = now();
  up = true;
  ++restarts;
  lk.unlock();
  cv.notify_all();
}

void Core::service_loop() {
  std::vector<pollfd> pfs;
  const size_t nl = listeners.size();
  for (;;) {
    bool accepting;
    bool is_hung;
    int64_t unhung;
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
      unhung = unhung_at;
      accepting = !hung && listeners[0]->fd >= 0;
    }
    const int64_t t = now();
    // A hung service answers nothing, not even a hello: greetings wait,
    // and their time to say hello counts from the end of the hang at the
    // earliest, as the idle time of sessions does; idle sessions stay.
    int64_t due = INT64_MAX;
    if (!is_hung) {
      due = drop_idle();
      const int64_t hello_limit = int64_t{opt.hello_timeout_ms} * 1000000;
      auto hello_due = [&](const Greeting& g) { return std::max(g.since, unhung) + hello_limit; };
      auto kept = std::remove_if(greetings.begin(), greetings.end(), [&](Greeting& g) {
        if (t < hello_due(g)) return false;
        ::close(g.fd);
        return true;
      });
      greetings.erase(kept, greetings.end());
      for (const Greeting& g : greetings) due = std::min(due, hello_due(g));
    }
    int timeout = ms_until(due, t);
    const auto real_now = std::chrono::steady_clock::now();
    if (accepting && real_now < accept_resume) {
      accepting = false;
      const auto ms =
          std::chrono::duration_cast<std::chrono::milliseconds>(accept_resume - real_now).count() +
          1;
      timeout = timeout < 0 ? static_cast<int>(ms) : std::min(timeout, static_cast<int>(ms));
    }
    pfs.assign(1 + nl, pollfd{-1, POLLIN, 0});
    pfs[0].fd = wake_fd;
    for (size_t i = 0; i < nl; ++i)
      if (accepting) pfs[1 + i].fd = listeners[i]->fd;
    for (const Greeting& g : greetings) pfs.push_back(pollfd{is_hung ? -1 : g.fd, POLLIN, 0});
    int r = ::poll(pfs.data(), pfs.size(), timeout);
    if (r < 0 && errno != EINTR) break;
    if (pfs[0].revents & POLLIN) {
      uint64_t v;
      ssize_t k = ::read(wake_fd, &v, sizeof v);
      (void)k;
    }
    // A session that ended gave back its descriptor: accept again at once.
    if (reap()) accept_resume = std::chrono::steady_clock::time_point();
    if (r > 0 && !hung) {
      // Greetings are answered in the order they came; a greeting that is
      // answered or closed leaves the list.
      std::vector<Greeting> still;
      still.reserve(greetings.size());
      for (size_t i = 0; i < greetings.size(); ++i) {
        const short ev = pfs[1 + nl + i].revents;
        if (ev == 0 || read_hello(greetings[i])) still.push_back(std::move(greetings[i]));
      }
      greetings.swap(still);
    }
    for (size_t i = 0; i < nl && accepting; ++i) {
      if (!(pfs[1 + i].revents & POLLIN)) continue;
      std::unique_lock<std::mutex> lk(mx);
      bool still = !hung && !stopping;
      lk.unlock();
      // After a failure for lack of room the connection stays queued; it is
      // taken when something has ended (a session's end wakes this thread)
      // or after the pause.
      Protocol* proto = listeners[i]->proto.get();
      if (still && accept_burst(listeners[i]->fd, &accept_resume,
                                [this, proto](int fd, const sockaddr_storage& ss) {
                                  take_connection(proto, fd, ss);
                                }))
        accept_failures.fetch_add(1);
    }
  }
  close_listeners();
  drop_all();
}

}  // namespace zgw
