// tcp_client.cpp - connecting, writing and reading for the TCP media.
#include "tcp_client.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace ntcan_drv {
namespace tcp {
namespace {

bool plausible_host(const std::string& h) {
  if (h.empty() || h.size() > 253) return false;
  for (char c : h)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
          c == '.' || c == ':'))
      return false;
  return true;
}

}  // namespace

int ms_from_env(const char* name, int dflt) {
  const char* v = std::getenv(name);
  if (v == nullptr || *v == '\0') return dflt;
  char* end = nullptr;
  long ms = std::strtol(v, &end, 10);
  if (end == nullptr || *end != '\0' || ms < 1 || ms > 600000) return dflt;
  return static_cast<int>(ms);
}

int ms_left(SteadyClock::time_point deadline) {
  auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 600000));
}

NTCAN_RESULT connect(const std::string& host, int port, SteadyClock::time_point deadline,
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
  *fd_out = fd;
  return NTCAN_SUCCESS;
}

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

long read_some(int fd, uint8_t* p, size_t n, SteadyClock::time_point deadline) {
  for (;;) {
    pollfd pf{fd, POLLIN, 0};
    int r = ::poll(&pf, 1, ms_left(deadline));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return -1;
    ssize_t k = ::recv(fd, p, n, MSG_DONTWAIT);
    if (k < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    return k <= 0 ? -1 : static_cast<long>(k);
  }
}

bool read_exact(int fd, uint8_t* p, size_t n, SteadyClock::time_point deadline) {
  while (n > 0) {
    const long k = read_some(fd, p, n, deadline);
    if (k < 0) return false;
    p += k;
    n -= static_cast<size_t>(k);
  }
  return true;
}

void set_blocking(int fd) {
  int fl = ::fcntl(fd, F_GETFL);
  ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
}

TcpPort::TcpPort(TcpMedium* medium, Endpoint& ep, int fd, int timeout_ms)
    : ep_(ep),
      fd_(fd),
      timeout_ms_(timeout_ms),
      medium_(medium),
      keepalive_ms_(ms_from_env("NTCAN_GATEWAY_KEEPALIVE_MS", 30000)) {
  txbuf_.reserve(4096);
  spare_.reserve(4096);
}

TcpPort::~TcpPort() {
  stop_reader();
  ::close(fd_);
}

void TcpPort::start_reader() {
  reader_ = std::thread([this] {
    read_loop();
    fail();
  });
}

void TcpPort::stop_reader() {
  ::shutdown(fd_, SHUT_RDWR);
  if (reader_.joinable()) reader_.join();
}

size_t TcpPort::receive(void* p, size_t n) {
  for (;;) {
    pollfd pf{fd_, POLLIN, 0};
    const int r = ::poll(&pf, 1, keepalive_ms_);
    if (r < 0 && errno == EINTR) continue;
    if (r == 0) {
      keep_alive();
      continue;
    }
    const ssize_t k = ::recv(fd_, p, n, 0);
    if (k < 0 && errno == EINTR) continue;
    return k <= 0 ? 0 : static_cast<size_t>(k);
  }
}

void TcpPort::fail() {
  {
    // Ordered with a medium's own changes of gone_status_ and of the
    // endpoint's state, so that none of them undoes the end of the connection.
    std::lock_guard<std::mutex> lk(fail_mx_);
    dead_.store(true, std::memory_order_release);
    ep_.fail(gone_status_);
  }
  wake_waiters();
  { std::lock_guard<std::mutex> lk(tx_mx_); }
  tx_cv_.notify_all();
  ::shutdown(fd_, SHUT_RDWR);
}

void TcpPort::close() {
  medium_->forget(this);
  {
    std::lock_guard<std::mutex> lk(tx_mx_);
    if (closed_) return;
    closed_ = true;
    if (!writing_ && txbuf_.empty() && alive()) say_goodbye();
  }
  fail();
  if (reader_.joinable()) reader_.join();
}

NTCAN_RESULT TcpMedium::inject(const CMSG* frames, int count) {
  std::lock_guard<std::mutex> lk(ports_mx_);
  for (TcpPort* p : ports_) {
    if (!p->alive()) continue;
    p->endpoint().receive(frames, count);
    return p->send(frames, count);
  }
  return NTCAN_SOCK_CMD_TIMEOUT;
}

void TcpMedium::add(TcpPort* p) {
  std::lock_guard<std::mutex> lk(ports_mx_);
  ports_.push_back(p);
}

void TcpMedium::forget(TcpPort* p) {
  std::lock_guard<std::mutex> lk(ports_mx_);
  ports_.erase(std::remove(ports_.begin(), ports_.end(), p), ports_.end());
}

}  // namespace tcp
}  // namespace ntcan_drv
