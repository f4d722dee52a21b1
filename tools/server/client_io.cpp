// client_io.cpp - standard input and a local socket as client channels.
#include "client_io.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <vector>

namespace zserver {

namespace {

constexpr size_t kMaxLine = 4096;
// Socket clients served at once; one more is told so and closed, so that
// clients that never leave cannot take all of the process's descriptors.
constexpr size_t kMaxClients = 64;
// After accept failed for lack of descriptors or memory the socket is left
// alone this long: the connection stays queued, and polling it again at
// once would only spin.
constexpr int kAcceptPauseMs = 250;

bool send_line(int fd, const std::string& text) {
  std::string s = text + "\n";
  const char* p = s.data();
  size_t left = s.size();
  while (left > 0) {
    ssize_t n = ::send(fd, p, left, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

ClientIo::ClientIo(Exec exec, Answer input_answer)
    : exec_(std::move(exec)), input_answer_(std::move(input_answer)) {}

ClientIo::~ClientIo() {
  stop();
  if (listen_fd_ >= 0) {
    ::close(listen_fd_);
    ::unlink(path_.c_str());
  }
}

int ClientIo::listen(const std::string& path, std::string* error) {
  sockaddr_un addr;
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof addr.sun_path) {
    *error =
        "socket path must have 1 to " + std::to_string(sizeof addr.sun_path - 1) + " characters";
    return -1;
  }
  std::memcpy(addr.sun_path, path.c_str(), path.size());
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      *error = path + " exists and is not a socket";
      return -1;
    }
    ::unlink(path.c_str());  // left behind by a server that did not stop cleanly
  }
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = std::string("socket: ") + std::strerror(errno);
    return -1;
  }
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 8) != 0) {
    *error = path + ": " + std::strerror(errno);
    ::close(fd);
    return -1;
  }
  listen_fd_ = fd;
  path_ = path;
  return 0;
}

void ClientIo::start() {
  stop_ = false;
  thread_ = std::thread([this] { loop(); });
}

void ClientIo::stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

void ClientIo::loop() {
  // What a channel has received of its unfinished line, and whether it is
  // dropping the rest of a line that was too long.
  struct Pending {
    std::string buf;
    bool skipping = false;
  };
  std::map<int, Pending> clients;  // by connection
  Pending input;
  int in_fd = in_fd_;

  // Runs the complete lines received so far, each with one reply.
  const std::string too_long =
      "error: line longer than " + std::to_string(kMaxLine) + " characters";
  auto lines = [this, &too_long](
                   Pending& p,
                   const std::function<void(const std::string&, const std::string&)>& reply) {
    size_t nl;
    while ((nl = p.buf.find('\n')) != std::string::npos) {
      std::string line = p.buf.substr(0, nl);
      p.buf.erase(0, nl + 1);
      if (p.skipping) {  // the end of a line that was too long
        p.skipping = false;
        continue;
      }
      // The CR of a CR LF ending is no character of the line.
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.size() > kMaxLine) {
        reply("", too_long);
        continue;
      }
      std::string ans = exec_(line);
      if (!ans.empty() || !line.empty()) reply(line, ans);
    }
    if (p.buf.size() > kMaxLine + 1) {  // + 1: the CR of a line that is not too long
      p.buf.clear();
      if (!p.skipping) reply("", too_long);
      p.skipping = true;
    }
  };

  auto accept_resume = std::chrono::steady_clock::time_point::min();
  while (!stop_) {
    std::vector<pollfd> fds;
    if (in_fd >= 0) fds.push_back({in_fd, POLLIN, 0});
    if (listen_fd_ >= 0 && std::chrono::steady_clock::now() >= accept_resume)
      fds.push_back({listen_fd_, POLLIN, 0});
    for (auto& c : clients) fds.push_back({c.first, POLLIN, 0});
    if (fds.empty()) {
      ::usleep(100000);
      continue;
    }
    int r = ::poll(fds.data(), fds.size(), 100);
    if (r <= 0) continue;
    for (const pollfd& p : fds) {
      if (p.revents == 0) continue;
      if (p.fd == listen_fd_) {
        int c = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) {
          if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
            accept_resume =
                std::chrono::steady_clock::now() + std::chrono::milliseconds(kAcceptPauseMs);
          continue;
        }
        timeval tv{1, 0};  // a client that does not read its answers cannot stall the rest
        ::setsockopt(c, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        if (clients.size() >= kMaxClients) {
          send_line(c, "error: too many clients (" + std::to_string(kMaxClients) + ")");
          ::close(c);
          continue;
        }
        clients[c];
        continue;
      }
      if (p.fd == in_fd && reader_) {
        bool eof = false;
        for (const std::string& line : reader_(&eof)) {
          std::string ans = exec_(line);
          if (!ans.empty() || !line.empty()) input_answer_(line, ans);
        }
        if (eof) in_fd = -1;
        continue;
      }
      char buf[1024];
      ssize_t n = ::read(p.fd, buf, sizeof buf);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (p.fd == in_fd) {
        if (n <= 0) {
          in_fd = -1;  // end of input: the server goes on with its other clients
          if (!input.buf.empty()) {
            input.buf += '\n';
            lines(input, input_answer_);
          }
          continue;
        }
        input.buf.append(buf, static_cast<size_t>(n));
        lines(input, input_answer_);
        continue;
      }
      if (n <= 0) {
        ::close(p.fd);
        clients.erase(p.fd);
        continue;
      }
      Pending& pending = clients[p.fd];
      pending.buf.append(buf, static_cast<size_t>(n));
      bool ok = true;
      lines(pending,
            [&](const std::string&, const std::string& ans) { ok = ok && send_line(p.fd, ans); });
      if (!ok) {
        ::close(p.fd);
        clients.erase(p.fd);
      }
    }
  }
  for (auto& c : clients) ::close(c.first);
}

}  // namespace zserver
