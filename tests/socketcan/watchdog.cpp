// watchdog.cpp - a test of the guest suites that has run for two minutes is
// stuck: the watchdog names it, prints where the test process's threads and
// its child processes wait in the kernel, and ends the run. Without it a
// hang shows only as the guest's time-out, long after, with no clue.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

namespace {

constexpr int kLimitSeconds = 120;

std::string file_text(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Where each thread of process `pid` waits: its name, the kernel function
// and, as root, the kernel stack.
void print_tasks(const std::string& pid) {
  const std::string base = "/proc/" + pid + "/task";
  DIR* d = ::opendir(base.c_str());
  if (d == nullptr) return;
  while (dirent* e = ::readdir(d)) {
    if (e->d_name[0] == '.') continue;
    const std::string t = base + "/" + e->d_name;
    std::string comm = file_text(t + "/comm");
    if (!comm.empty() && comm.back() == '\n') comm.pop_back();
    std::fprintf(stderr, "  task %s (%s) waits in %s\n%s", e->d_name, comm.c_str(),
                 file_text(t + "/wchan").c_str(), file_text(t + "/stack").c_str());
  }
  ::closedir(d);
}

void print_children() {
  const std::string self = std::to_string(::getpid());
  DIR* d = ::opendir("/proc");
  if (d == nullptr) return;
  while (dirent* e = ::readdir(d)) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    // The parent's pid is the fourth field of stat, after "(comm)".
    const std::string stat = file_text(std::string("/proc/") + e->d_name + "/stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream w(stat.substr(close + 1));
    std::string state, ppid;
    if (!(w >> state >> ppid) || ppid != self) continue;
    std::string cmd = file_text(std::string("/proc/") + e->d_name + "/cmdline");
    for (char& c : cmd)
      if (c == '\0') c = ' ';
    std::fprintf(stderr, " child %s: %s\n", e->d_name, cmd.c_str());
    print_tasks(e->d_name);
  }
  ::closedir(d);
}

// What the watchdog thread looks at; never freed, so that the thread may
// outlive the test program's listeners at its exit.
struct Current {
  std::mutex mx;
  std::string name;
  std::chrono::steady_clock::time_point started;
  bool running = false;
};

Current* current() {
  static Current* const c = new Current;
  return c;
}

[[noreturn]] void watch(Current* c) {
  for (;;) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    std::lock_guard<std::mutex> lk(c->mx);
    if (!c->running ||
        std::chrono::steady_clock::now() - c->started < std::chrono::seconds(kLimitSeconds))
      continue;
    std::fprintf(stderr, "watchdog: %s has run for %d s; where the process waits:\n",
                 c->name.c_str(), kLimitSeconds);
    print_tasks("self");
    print_children();
    std::fflush(stderr);
    std::_Exit(3);
  }
}

class Watchdog : public ::testing::EmptyTestEventListener {
 public:
  Watchdog() : c_(current()) { std::thread(watch, c_).detach(); }
  void OnTestStart(const ::testing::TestInfo& info) override {
    std::lock_guard<std::mutex> lk(c_->mx);
    c_->name = std::string(info.test_suite_name()) + "." + info.name();
    c_->started = std::chrono::steady_clock::now();
    c_->running = true;
  }
  void OnTestEnd(const ::testing::TestInfo&) override {
    std::lock_guard<std::mutex> lk(c_->mx);
    c_->running = false;
  }

 private:
  Current* c_;
};

class WatchdogEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { ::testing::UnitTest::GetInstance()->listeners().Append(new Watchdog); }
};

const auto* const kRegistered = ::testing::AddGlobalTestEnvironment(new WatchdogEnvironment);

}  // namespace
