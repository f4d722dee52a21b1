// outage_harness.cpp - clock, gateway program, relay and HTTP helpers of the
// outage tests.
#include "outage_harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace outage {

namespace {

using Steady = std::chrono::steady_clock;

int connect_loopback(int port, int timeout_ms) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

std::string base64(const std::string& in) {
  static const char* t = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    const uint32_t v = (uint8_t(in[i]) << 16) | (uint8_t(in[i + 1]) << 8) | uint8_t(in[i + 2]);
    for (int k = 18; k >= 0; k -= 6) out += t[(v >> k) & 63];
  }
  if (i + 1 == in.size()) {
    const uint32_t v = uint8_t(in[i]) << 16;
    out += t[(v >> 18) & 63];
    out += t[(v >> 12) & 63];
    out += "==";
  } else if (i + 2 == in.size()) {
    const uint32_t v = (uint8_t(in[i]) << 16) | (uint8_t(in[i + 1]) << 8);
    out += t[(v >> 18) & 63];
    out += t[(v >> 12) & 63];
    out += t[(v >> 6) & 63];
    out += '=';
  }
  return out;
}

// One request, the whole answer (the server closes: "Connection: close").
std::string http(int port, const std::string& request) {
  int fd = connect_loopback(port, 3000);
  if (fd < 0) return "";
  std::string answer;
  if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
      static_cast<ssize_t>(request.size())) {
    char b[4096];
    ssize_t n;
    while ((n = ::recv(fd, b, sizeof b, 0)) > 0) answer.append(b, static_cast<size_t>(n));
  }
  ::close(fd);
  return answer;
}

}  // namespace

// ---- PacedClock ------------------------------------------------------------------

PacedClock::PacedClock() : ticker_([this] { run(); }) {}

PacedClock::~PacedClock() {
  stop_ = true;
  ticker_.join();
}

void PacedClock::run() {
  Steady::time_point last = Steady::now();
  while (!stop_) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const Steady::time_point now = Steady::now();
    advance_us(std::chrono::duration_cast<std::chrono::microseconds>(now - last).count());
    last = now;
  }
}

int64_t PacedClock::skip() {
  const int64_t s = advance_to_next_wakeup();
  skipped_ += s;
  return s;
}

// ---- GatewayProgram ----------------------------------------------------------------

bool GatewayProgram::start(const std::vector<std::string>& devices, int can_port, int http_port,
                           std::string* error, const std::vector<std::string>& extra) {
  std::vector<std::string> argv{ZUNTAL_GATEWAY_EXE,
                                "--listen",
                                "127.0.0.1",
                                "--can-port",
                                std::to_string(can_port),
                                "--http-port",
                                std::to_string(http_port),
                                "--nets",
                                "1",
                                "--restart-pause",
                                "300",
                                "--socketcand-port",
                                "0"};
  for (const std::string& d : devices) {
    argv.push_back("--device");
    argv.push_back(d);
  }
  argv.insert(argv.end(), extra.begin(), extra.end());
  if (!child_.start(argv, error)) return false;
  const std::string can_tag = "CAN service on 127.0.0.1:";
  const std::string web_tag = "web interface on http://127.0.0.1:";
  const int i = child_.wait_for(
      [&](const std::string& l) { return l.find(web_tag) != std::string::npos; }, 20000);
  if (i < 0) {
    *error = "the gateway did not come up";
    return false;
  }
  const std::string& l = child_.lines()[static_cast<size_t>(i)];
  can_port_ = std::atoi(l.c_str() + l.find(can_tag) + can_tag.size());
  http_port_ = std::atoi(l.c_str() + l.find(web_tag) + web_tag.size());
  const std::string sc_tag = "socketcand service on 127.0.0.1:";
  socketcand_port_ = std::atoi(l.c_str() + l.find(sc_tag) + sc_tag.size());
  return can_port_ > 0 && http_port_ > 0 && socketcand_port_ > 0;
}

void GatewayProgram::kill() {
  if (!child_.running()) return;
  ::kill(child_.pid(), SIGKILL);
  child_.stop(1000, false);
}

int GatewayProgram::stop() {
  return child_.stop(3000, false);
}

std::string GatewayProgram::status_json() const {
  return http_get(http_port_, "/status.json");
}

// ---- Relay --------------------------------------------------------------------------

Relay::Relay(int upstream) : upstream_(upstream) {
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (listen_fd_ < 0 || ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::listen(listen_fd_, 512) != 0 ||
      ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0 ||
      ::pipe2(wake_, O_CLOEXEC) != 0)
    return;
  port_ = ntohs(a.sin_port);
  th_ = std::thread([this] { run(); });
}

Relay::~Relay() {
  stop_ = true;
  if (th_.joinable()) {
    (void)!::write(wake_[1], "x", 1);
    th_.join();
  }
  for (auto& p : pairs_) {
    ::close(p.first);
    ::close(p.second);
  }
  for (int fd : {listen_fd_, wake_[0], wake_[1]})
    if (fd >= 0) ::close(fd);
}

void Relay::cut() {
  cut_ = true;
  (void)!::write(wake_[1], "x", 1);
  // Done when the relay's thread has closed them.
  for (int k = 0; k < 2000 && cut_; ++k) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

int Relay::connections() {
  std::lock_guard<std::mutex> g(mx_);
  return static_cast<int>(pairs_.size());
}

void Relay::run() {
  std::vector<char> buf(65536);
  while (!stop_) {
    std::vector<pollfd> fds{{listen_fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    {
      std::lock_guard<std::mutex> g(mx_);
      for (auto& p : pairs_) {
        fds.push_back({p.first, POLLIN, 0});
        fds.push_back({p.second, POLLIN, 0});
      }
    }
    if (::poll(fds.data(), fds.size(), 100) < 0) continue;
    if (fds[1].revents & POLLIN) {
      char c[64];
      (void)!::read(wake_[0], c, sizeof c);
    }
    std::lock_guard<std::mutex> g(mx_);
    if (cut_) {
      for (auto& p : pairs_) {
        // A reset, as a dropped connection of a real network gives.
        linger lg{1, 0};
        ::setsockopt(p.first, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        ::setsockopt(p.second, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        ::close(p.first);
        ::close(p.second);
      }
      pairs_.clear();
      cut_ = false;
      continue;
    }
    std::vector<int> dead;
    for (size_t k = 2; k < fds.size(); ++k) {
      if (!(fds[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      const std::pair<int, int>& p = pairs_[(k - 2) / 2];
      const int from = fds[k].fd, to = from == p.first ? p.second : p.first;
      const ssize_t n = ::recv(from, buf.data(), buf.size(), 0);
      bool ok = n > 0;
      for (ssize_t off = 0; ok && off < n;) {
        const ssize_t w = ::send(to, buf.data() + off, static_cast<size_t>(n - off), MSG_NOSIGNAL);
        ok = w > 0;
        off += w > 0 ? w : 0;
      }
      if (!ok) dead.push_back(static_cast<int>((k - 2) / 2));
    }
    for (auto it = dead.rbegin(); it != dead.rend(); ++it) {
      const size_t i = static_cast<size_t>(*it);
      if (i >= pairs_.size() || pairs_[i].first < 0) continue;
      ::close(pairs_[i].first);
      ::close(pairs_[i].second);
      pairs_[i].first = -1;
    }
    pairs_.erase(std::remove_if(pairs_.begin(), pairs_.end(),
                                [](const std::pair<int, int>& p) { return p.first < 0; }),
                 pairs_.end());
    if (fds[0].revents & POLLIN) {
      int c = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c >= 0) {
        int u = connect_loopback(upstream_, 2000);
        if (u < 0) {
          ::close(c);
        } else {
          timeval none{0, 0};
          ::setsockopt(u, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof none);
          ::setsockopt(u, SOL_SOCKET, SO_SNDTIMEO, &none, sizeof none);
          int one = 1;
          ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
          ::setsockopt(u, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
          pairs_.emplace_back(c, u);
        }
      }
    }
  }
}

// ---- HTTP ------------------------------------------------------------------------------

int http_post(int port, const std::string& path, const std::string& body,
              const std::string& login) {
  std::string req = "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" +
                    "Content-Type: application/x-www-form-urlencoded\r\n" +
                    "Content-Length: " + std::to_string(body.size()) + "\r\n";
  if (!login.empty()) req += "Authorization: Basic " + base64(login) + "\r\n";
  const std::string answer = http(port, req + "\r\n" + body);
  if (answer.compare(0, 9, "HTTP/1.1 ") != 0) return -1;
  return std::atoi(answer.c_str() + 9);
}

std::string http_get(int port, const std::string& path) {
  const std::string answer =
      http(port, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
  const size_t body = answer.find("\r\n\r\n");
  return body == std::string::npos ? "" : answer.substr(body + 4);
}

}  // namespace outage
