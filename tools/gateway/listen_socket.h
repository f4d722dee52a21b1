// listen_socket.h - the listening sockets of the gateway's two services.
#ifndef ZUNTAL_GATEWAY_LISTEN_SOCKET_H
#define ZUNTAL_GATEWAY_LISTEN_SOCKET_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

namespace zgw {

// How long a service stops accepting after accept failed for lack of
// descriptors or memory, rather than trying again at once.
constexpr int kAcceptBackoffMs = 250;
// Connections a service accepts at one wake-up.
constexpr int kAcceptBurst = 64;

// A non-blocking listening socket on the numeric address host, port (0: any
// free port; *bound receives the port). -1 with a message in *error.
inline int listen_socket(const std::string& host, int port, int* bound, std::string* error) {
  sockaddr_storage ss;
  std::memset(&ss, 0, sizeof ss);
  socklen_t len = 0;
  auto* a4 = reinterpret_cast<sockaddr_in*>(&ss);
  auto* a6 = reinterpret_cast<sockaddr_in6*>(&ss);
  if (::inet_pton(AF_INET, host.c_str(), &a4->sin_addr) == 1) {
    a4->sin_family = AF_INET;
    a4->sin_port = htons(static_cast<uint16_t>(port));
    len = sizeof *a4;
  } else if (::inet_pton(AF_INET6, host.c_str(), &a6->sin6_addr) == 1) {
    a6->sin6_family = AF_INET6;
    a6->sin6_port = htons(static_cast<uint16_t>(port));
    len = sizeof *a6;
  } else {
    if (error) *error = "listen address must be a numeric IPv4 or IPv6 address: " + host;
    return -1;
  }
  int fd = ::socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    if (error) *error = std::string("socket: ") + std::strerror(errno);
    return -1;
  }
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0 || ::listen(fd, 64) != 0) {
    if (error) *error = host + ":" + std::to_string(port) + ": " + std::strerror(errno);
    ::close(fd);
    return -1;
  }
  socklen_t sl = len;
  if (bound && ::getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &sl) == 0)
    *bound = ss.ss_family == AF_INET ? ntohs(a4->sin_port) : ntohs(a6->sin6_port);
  return fd;
}

// Whether accept failed for lack of descriptors or memory: the pending
// connection stays queued, so trying again at once would only spin.
inline bool accept_out_of_room(int err) {
  return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

// Takes one pending connection of listen_fd, non-blocking and close-on-exec,
// with the peer's address in *ss. -1 when there is none to take now;
// *out_of_room then tells whether accept failed for lack of descriptors or
// memory, when the caller should pause accepting for kAcceptBackoffMs.
inline int accept_one(int listen_fd, sockaddr_storage* ss, bool* out_of_room) {
  *out_of_room = false;
  for (;;) {
    socklen_t sl = sizeof *ss;
    int fd =
        ::accept4(listen_fd, reinterpret_cast<sockaddr*>(ss), &sl, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd >= 0) return fd;
    // An aborted connection is gone from the queue: look at the next one.
    if (errno == EINTR || errno == ECONNABORTED) continue;
    *out_of_room = accept_out_of_room(errno);
    return -1;
  }
}

// Takes up to kAcceptBurst pending connections of listen_fd, handing each
// to take(fd, peer address). True when accept failed for lack of
// descriptors or memory: *resume is then kAcceptBackoffMs ahead, and the
// service accepts nothing before it.
template <typename Take>
bool accept_burst(int listen_fd, std::chrono::steady_clock::time_point* resume, Take take) {
  for (int i = 0; i < kAcceptBurst; ++i) {
    sockaddr_storage ss;
    bool out_of_room = false;
    int fd = accept_one(listen_fd, &ss, &out_of_room);
    if (fd < 0) {
      if (out_of_room)
        *resume = std::chrono::steady_clock::now() + std::chrono::milliseconds(kAcceptBackoffMs);
      return out_of_room;
    }
    take(fd, ss);
  }
  return false;
}

// The numeric host of a peer address ("" for a family other than IPv4 and
// IPv6), and its port in *port when asked for.
inline std::string peer_host(const sockaddr_storage& ss, int* port = nullptr) {
  char host[INET6_ADDRSTRLEN] = "";
  int p = 0;
  if (ss.ss_family == AF_INET) {
    const auto* a = reinterpret_cast<const sockaddr_in*>(&ss);
    ::inet_ntop(AF_INET, &a->sin_addr, host, sizeof host);
    p = ntohs(a->sin_port);
  } else if (ss.ss_family == AF_INET6) {
    const auto* a = reinterpret_cast<const sockaddr_in6*>(&ss);
    ::inet_ntop(AF_INET6, &a->sin6_addr, host, sizeof host);
    p = ntohs(a->sin6_port);
  }
  if (port) *port = p;
  return host;
}

}  // namespace zgw

#endif  // ZUNTAL_GATEWAY_LISTEN_SOCKET_H
