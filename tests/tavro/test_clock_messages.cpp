// The clock seam (manual clock with sleeping threads) and the message sink
// (standard error lines, capture) under several threads.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <memory>
#include <thread>

#include "tavro_test.h"

namespace {

using tavro::ManualClock;

// What woken threads report, waited for in real time (bounded).
class WakeLog {
 public:
  void add(int who) {
    std::lock_guard<std::mutex> lk(mx_);
    order_.push_back(who);
    cv_.notify_all();
  }
  bool wait_for(size_t n) {
    std::unique_lock<std::mutex> lk(mx_);
    return cv_.wait_for(lk, std::chrono::seconds(10), [&] { return order_.size() >= n; });
  }
  std::vector<int> order() {
    std::lock_guard<std::mutex> lk(mx_);
    return order_;
  }

 private:
  std::mutex mx_;
  std::condition_variable cv_;
  std::vector<int> order_;
};

TEST(ManualClock, SleepersFromSeveralThreadsWakeInTheOrderOfTheirTimes) {
  ManualClock clk(1000LL * 1000000);
  EXPECT_EQ(&tavro::clock(), &clk);
  EXPECT_EQ(TAVROtime(), 1000);

  WakeLog log;
  std::vector<std::thread> threads;
  for (int s : {30, 10, 20})
    threads.emplace_back([s, &log] {
      TAVROsleep(s, 0);
      log.add(s);
    });
  ASSERT_TRUE(clk.wait_for_sleepers(3));

  clk.advance_s(5);  // nobody is due yet
  EXPECT_EQ(clk.sleepers(), 3);
  EXPECT_EQ(clk.advance_to_next_wakeup(), 5 * 1000000);
  ASSERT_TRUE(log.wait_for(1));
  EXPECT_EQ(clk.sleepers(), 2);
  EXPECT_EQ(clk.advance_to_next_wakeup(), 10 * 1000000);
  ASSERT_TRUE(log.wait_for(2));
  EXPECT_EQ(clk.advance_to_next_wakeup(), 10 * 1000000);
  ASSERT_TRUE(log.wait_for(3));
  for (auto& t : threads) t.join();
  EXPECT_EQ(log.order(), (std::vector<int>{10, 20, 30}));
  EXPECT_EQ(TAVROtime(), 1030);
  EXPECT_EQ(clk.advance_to_next_wakeup(), 0);

  // Fractions are microseconds; two threads due at the same time both wake.
  std::thread a([&] {
    TAVROsleep(0, 5000);
    log.add(1);
  });
  std::thread b([&] {
    TAVROsleep(0, 5000);
    log.add(2);
  });
  ASSERT_TRUE(clk.wait_for_sleepers(2));
  clk.advance_us(4999);
  EXPECT_EQ(clk.sleepers(), 2);
  clk.advance_us(1);
  ASSERT_TRUE(log.wait_for(5));
  a.join();
  b.join();

  EXPECT_FALSE(clk.wait_for_sleepers(1, 1));  // time-out, nobody sleeps
}

TEST(ManualClock, ZeroSleepReturnsAndReleaseFreesEveryCurrentAndFutureSleeper) {
  auto clk = std::make_unique<ManualClock>();
  TAVROsleep(0, 0);  // would hang the test if it blocked
  TAVROsleep(-3, 0);
  EXPECT_EQ(clk->sleepers(), 0);

  WakeLog log;
  std::thread t([&] {
    TAVROsleep(3600, 0);
    log.add(1);
    TAVROsleep(3600, 0);  // after the release: returns at once
    log.add(2);
  });
  ASSERT_TRUE(clk->wait_for_sleepers(1));
  clk->release_all();
  ASSERT_TRUE(log.wait_for(2));
  t.join();

  // A thread asleep on a clock that goes is let go first; then the real
  // clock is back.
  std::unique_ptr<ManualClock> c2(new ManualClock(5LL * 1000000));
  std::thread u([&] {
    TAVROsleep(60, 0);
    log.add(3);
  });
  ASSERT_TRUE(c2->wait_for_sleepers(1));
  c2.reset();
  u.join();
  EXPECT_EQ(log.order().back(), 3);
  clk.reset();
  EXPECT_NEAR(static_cast<double>(TAVROtime()), static_cast<double>(time(nullptr)), 2.0);
}

// "T<k> message <n> x..." or "late until stopped": one whole message.
bool whole_line(const std::string& l) {
  if (l == "late until stopped") return true;
  const std::string head = "T0 message ";
  if (l.size() < head.size() + 3 || l[0] != 'T' || l[1] < '0' || l[1] > '3' ||
      l.compare(2, head.size() - 2, head, 2) != 0)
    return false;
  size_t k = head.size();
  const size_t digits = k;
  while (k < l.size() && l[k] >= '0' && l[k] <= '9') ++k;
  if (k == digits || k >= l.size() || l[k] != ' ') return false;
  const size_t pad = l.size() - k - 1;
  return pad == 100u + 37u * static_cast<unsigned>(l[1] - '0') &&
         l.find_first_not_of('x', k + 1) == std::string::npos;
}

// Redirects standard error into a file while it lives.
class StderrToFile {
 public:
  explicit StderrToFile(const std::string& path) : path_(path) {
    fflush(stderr);
    saved_ = dup(STDERR_FILENO);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, STDERR_FILENO);
    close(fd);
  }
  ~StderrToFile() {
    fflush(stderr);
    dup2(saved_, STDERR_FILENO);
    close(saved_);
    std::remove(path_.c_str());
  }
  std::vector<std::string> lines() {
    std::ifstream in(path_);
    std::vector<std::string> out;
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
  }

 private:
  std::string path_;
  int saved_;
};

TEST(Messages, LinesFromThreadsStayWholeWhileSinksComeAndGo) {
  const std::string path = "/tmp/tavro_stderr_" + std::to_string(getpid());
  StderrToFile redirect(path);
  constexpr int kThreads = 4, kEach = 300;
  std::atomic<bool> stop{false};
  std::atomic<int> printed{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t, &printed, &stop] {
      const std::string pad(100 + 37 * t, 'x');
      for (int n = 0; n < kEach; ++n) {
        tavro::printtostderr("T" + std::to_string(t), "message " + std::to_string(n) + " " + pad);
        ++printed;
      }
      while (!stop) tavro::printtostderr("late", "until stopped");
    });
  // Sinks installed and removed while the threads print. Each sink's state
  // is freed right after its removal, which must wait for calls in flight;
  // every numbered message goes to exactly one place.
  int captured = 0;
  for (int k = 0; k < 20; ++k) {
    auto count = std::make_unique<std::atomic<int>>(0);
    std::atomic<int>* c = count.get();
    tavro::set_message_sink([c](const std::string& label, const std::string&) {
      if (label[0] == 'T') ++*c;
    });
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    tavro::set_message_sink(nullptr);
    captured += count->load();
  }
  while (printed < kThreads * kEach) std::this_thread::yield();
  stop = true;
  for (auto& t : threads) t.join();
  tavro::printtostderr("EMBEDDED", "two\nlines");

  int numbered = 0;
  auto lines = redirect.lines();
  ASSERT_FALSE(lines.empty());
  for (size_t k = 0; k + 1 < lines.size(); ++k) {
    ASSERT_TRUE(whole_line(lines[k])) << lines[k];
    if (lines[k][0] == 'T') ++numbered;
  }
  EXPECT_EQ(lines.back(), "EMBEDDED two lines");
  EXPECT_EQ(numbered + captured, kThreads * kEach);
}

}  // namespace
