// guest.h - what the SocketCAN suites use of the guest system: iproute2 and
// can-utils run as child processes (no shell in between), the kernel's lists
// of CAN receivers, and frames written as candump prints them.
//
// The suites run inside the qemu guest that run_in_qemu.sh boots; elsewhere
// every test skips because vcan0 does not exist.
#ifndef SOCKETCAN_GUEST_H
#define SOCKETCAN_GUEST_H

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ntcan.h"

extern char** environ;

namespace guest {

inline bool has_interface(const std::string& name) {
  struct stat st;
  return ::stat(("/sys/class/net/" + name).c_str(), &st) == 0;
}

// Starts argv[0] (searched on PATH) with stdout to `out` ("" keeps ours).
inline pid_t spawn(const std::vector<std::string>& argv, const std::string& out = "") {
  std::vector<char*> a;
  for (const auto& s : argv) a.push_back(const_cast<char*>(s.c_str()));
  a.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  if (!out.empty())
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = -1;
  if (posix_spawnp(&pid, a[0], &fa, nullptr, a.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&fa);
  return pid;
}

// Ends a child with SIGTERM, or with SIGKILL when it is still there after
// two seconds: candump can miss a SIGTERM that comes just before it waits
// for the next frame, and then waits on a quiet bus for good.
inline void end_child(pid_t pid) {
  ::kill(pid, SIGTERM);
  for (int k = 0; k < 200; ++k) {
    if (::waitpid(pid, nullptr, WNOHANG) != 0) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

// Runs a program to its end; its exit status, or -1.
inline int run(const std::vector<std::string>& argv) {
  pid_t pid = spawn(argv);
  if (pid < 0) return -1;
  int st = 0;
  if (::waitpid(pid, &st, 0) < 0 || !WIFEXITED(st)) return -1;
  return WEXITSTATUS(st);
}

inline int ip(const std::string& args) {
  std::vector<std::string> argv{"ip"};
  std::istringstream in(args);
  for (std::string w; in >> w;) argv.push_back(w);
  return run(argv);
}

inline int cansend(const std::string& ifname, const std::string& frame) {
  return run({"cansend", ifname, frame});
}

// Waits in real time (at most `ms`) until `pred` holds.
inline bool eventually(const std::function<bool()>& pred, int ms = 10000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// The kernel's receivers of one list (/proc/net/can/rcvlist_sff, _fil,
// _all, _err) on `ifname`, as "<can_id>/<can_mask>" texts.
inline std::vector<std::string> receivers(const std::string& list, const std::string& ifname) {
  std::ifstream in("/proc/net/can/rcvlist_" + list);
  std::vector<std::string> out;
  for (std::string line; std::getline(in, line);) {
    std::istringstream w(line);
    std::string dev, id, mask;
    if (w >> dev >> id >> mask && dev == ifname) out.push_back(id + "/" + mask);
  }
  return out;
}

// Frames the kernel's receivers with this identifier ("200") have matched.
inline unsigned long matches(const std::string& list, const std::string& ifname,
                             const std::string& id) {
  std::ifstream in("/proc/net/can/rcvlist_" + list);
  unsigned long n = 0;
  for (std::string line; std::getline(in, line);) {
    std::istringstream w(line);
    std::string dev, can_id, mask, fn, data;
    unsigned long m = 0;
    if (w >> dev >> can_id >> mask >> fn >> data >> m && dev == ifname && can_id == id) n += m;
  }
  return n;
}

inline size_t receiver_count(const std::string& ifname) {
  size_t n = 0;
  for (const char* l : {"sff", "fil", "all", "err", "inv", "eff"}) n += receivers(l, ifname).size();
  return n;
}

// A frame as candump -L prints it: "123#1122", "000#", "7FF#R", "100#R3".
inline std::string text(const CMSG& f) {
  char buf[40];
  int n = std::snprintf(buf, sizeof buf, "%03X#", static_cast<unsigned>(f.id));
  const int len = f.len & NTCAN_DLC;
  if (f.len & NTCAN_RTR) {
    if (len)
      std::snprintf(buf + n, sizeof buf - n, "R%d", len);
    else
      std::snprintf(buf + n, sizeof buf - n, "R");
  } else {
    for (int k = 0; k < len; ++k) n += std::snprintf(buf + n, sizeof buf - n, "%02X", f.data[k]);
  }
  return buf;
}

// A frame from candump's text (data frames and remote requests).
inline CMSG frame(const std::string& t) {
  CMSG f;
  std::memset(&f, 0, sizeof f);
  const size_t hash = t.find('#');
  f.id = static_cast<int32_t>(std::stoul(t.substr(0, hash), nullptr, 16));
  std::string d = t.substr(hash + 1);
  if (!d.empty() && d[0] == 'R') {
    f.len = static_cast<uint8_t>(NTCAN_RTR | (d.size() > 1 ? std::stoi(d.substr(1)) : 0));
    return f;
  }
  for (size_t k = 0; k + 1 < d.size() && k / 2 < 8; k += 2)
    f.data[k / 2] = static_cast<uint8_t>(std::stoul(d.substr(k, 2), nullptr, 16));
  f.len = static_cast<uint8_t>(std::min<size_t>(d.size() / 2, 8));
  return f;
}

// candump -L recording one interface (with optional candump filters) into a
// file; frames() gives what it has printed so far, without timestamps.
class Dump {
 public:
  explicit Dump(const std::string& ifname, const std::string& filters = "")
      : path_("/tmp/candump-" + std::to_string(++serial()) + ".log") {
    const size_t before = receiver_count(ifname);
    pid_ = spawn({"candump", "-L", filters.empty() ? ifname : ifname + "," + filters}, path_);
    // Ready once the kernel lists its socket.
    ready_ = pid_ > 0 && eventually([&] { return receiver_count(ifname) > before; });
  }
  ~Dump() { stop(); }
  bool ready() const { return ready_; }

  std::vector<std::string> frames() const {
    std::ifstream in(path_);
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);) {
      std::istringstream w(line);
      std::string ts, dev, f;
      if (w >> ts >> dev >> f) out.push_back(f);
    }
    return out;
  }
  // Waits until candump has printed at least n frames; all it printed.
  std::vector<std::string> wait_for(size_t n, int ms = 10000) const {
    std::vector<std::string> v;
    eventually(
        [&] {
          v = frames();
          return v.size() >= n;
        },
        ms);
    return v;
  }
  void stop() {
    if (pid_ <= 0) return;
    end_child(pid_);
    pid_ = -1;
  }

 private:
  static int& serial() {
    static int n = 0;
    return n;
  }
  std::string path_;
  pid_t pid_ = -1;
  bool ready_ = false;
};

}  // namespace guest

#endif  // SOCKETCAN_GUEST_H
