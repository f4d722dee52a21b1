// child.cpp - child processes of the peer tests.
#include "child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>

namespace peertest {

namespace {

using Clock = std::chrono::steady_clock;

int ms_until(Clock::time_point t) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(t - Clock::now());
  return left.count() <= 0 ? 0 : static_cast<int>(left.count());
}

}  // namespace

Child::~Child() {
  stop(1000, false);
}

bool Child::start(const std::vector<std::string>& argv, std::string* error) {
  if (argv.empty()) {
    *error = "no program";
    return false;
  }
  int in[2], out[2], status[2];
  if (::pipe2(in, O_CLOEXEC) != 0) {
    *error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(status, O_CLOEXEC) != 0) {
    *error = std::string("pipe: ") + std::strerror(errno);
    ::close(in[0]);
    ::close(in[1]);
    return false;
  }
  // Everything the child needs is prepared before fork: after it, only
  // async-signal-safe calls.
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t parent = ::getpid();

  const pid_t pid = ::fork();
  if (pid < 0) {
    *error = std::string("fork: ") + std::strerror(errno);
    for (int fd : {in[0], in[1], out[0], out[1], status[0], status[1]}) ::close(fd);
    return false;
  }
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    ::dup2(in[0], STDIN_FILENO);
    ::dup2(out[1], STDOUT_FILENO);
    ::execv(args[0], args.data());
    const int e = errno;
    (void)!::write(status[1], &e, sizeof e);
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(status[1]);
  // The status pipe closes at exec; an errno on it means exec failed.
  int e = 0;
  ssize_t k;
  do {
    k = ::read(status[0], &e, sizeof e);
  } while (k < 0 && errno == EINTR);
  ::close(status[0]);
  if (k == static_cast<ssize_t>(sizeof e)) {
    *error = "cannot run " + argv[0] + ": " + std::strerror(e);
    ::close(in[1]);
    ::close(out[0]);
    ::waitpid(pid, nullptr, 0);
    return false;
  }
  pid_ = pid;
  in_fd_ = in[1];
  out_fd_ = out[0];
  ::fcntl(out_fd_, F_SETFL, ::fcntl(out_fd_, F_GETFL) | O_NONBLOCK);
  return true;
}

bool Child::send(const std::string& line) {
  if (in_fd_ < 0) return false;
  const std::string s = line + "\n";
  size_t done = 0;
  while (done < s.size()) {
    // MSG_NOSIGNAL does not apply to pipes; the tests ignore SIGPIPE.
    ssize_t k = ::write(in_fd_, s.data() + done, s.size() - done);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return false;
    done += static_cast<size_t>(k);
  }
  return true;
}

bool Child::pump(int timeout_ms) {
  if (out_fd_ < 0) return false;
  pollfd pf{out_fd_, POLLIN, 0};
  int r = ::poll(&pf, 1, timeout_ms);
  if (r < 0 && errno == EINTR) return true;
  if (r <= 0) return true;
  char buf[4096];
  for (;;) {
    ssize_t k = ::read(out_fd_, buf, sizeof buf);
    if (k < 0 && errno == EINTR) continue;
    if (k < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    if (k == 0) {
      if (!partial_.empty()) lines_.push_back(partial_);
      partial_.clear();
      ::close(out_fd_);
      out_fd_ = -1;
      return false;
    }
    if (k < 0) return false;
    partial_.append(buf, static_cast<size_t>(k));
    size_t nl;
    while ((nl = partial_.find('\n')) != std::string::npos) {
      lines_.push_back(partial_.substr(0, nl));
      partial_.erase(0, nl + 1);
    }
  }
}

int Child::wait_for(const std::function<bool(const std::string&)>& match, int timeout_ms,
                    size_t from) {
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    for (size_t i = from; i < lines_.size(); ++i)
      if (match(lines_[i])) return static_cast<int>(i);
    if (lines_.size() > from) from = lines_.size();
    const int left = ms_until(end);
    if (left == 0) return -1;
    if (!pump(left) && out_fd_ < 0) {
      for (size_t i = from; i < lines_.size(); ++i)
        if (match(lines_[i])) return static_cast<int>(i);
      return -1;
    }
  }
}

int Child::wait_for_line(const std::string& line, int timeout_ms, size_t from) {
  return wait_for([&](const std::string& l) { return l == line; }, timeout_ms, from);
}

int Child::stop(int grace_ms, bool input_first) {
  if (pid_ <= 0) return -1;
  if (in_fd_ >= 0) {
    ::close(in_fd_);
    in_fd_ = -1;
  }
  int status = 0;
  // Each step gives the child grace_ms to end before the next.
  const int steps[] = {0, SIGTERM, SIGKILL};
  for (size_t k = input_first ? 0 : 1; k < 3; ++k) {
    if (steps[k] != 0) ::kill(pid_, steps[k]);
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(grace_ms);
    for (;;) {
      const pid_t r = ::waitpid(pid_, &status, WNOHANG);
      if (r == pid_ || (r < 0 && errno != EINTR)) {
        pump(0);  // what it printed last
        if (out_fd_ >= 0) ::close(out_fd_);
        out_fd_ = -1;
        const bool reaped = r == pid_;
        pid_ = -1;
        return reaped ? status : -1;
      }
      if (ms_until(end) == 0) break;
      // Keep its output flowing, so a child that prints on its way out
      // never blocks on a full pipe.
      if (!pump(5)) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  // SIGKILL always ends it; only a stuck kernel gets here.
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
  return status;
}

std::string find_in_path(const std::string& name) {
  const char* path = std::getenv("PATH");
  if (path == nullptr) return "";
  std::stringstream dirs(path);
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    if (dir.empty()) dir = ".";
    const std::string p = dir + "/" + name;
    struct stat st;
    if (::stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(p.c_str(), X_OK) == 0)
      return p;
  }
  return "";
}

}  // namespace peertest
