// tavro_test.h - seams of the framework layer for tests and tools: a manual
// clock that tests advance, and a capture of printed messages.
#ifndef TAVRO_TEST_H
#define TAVRO_TEST_H

#include <condition_variable>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "tavro.h"

namespace tavro {

// A clock that moves only when the test advances it. A thread blocked in
// TAVROsleep(60, 0) wakes when the test has advanced the clock by 60 s.
// Installs itself on construction and restores the real clock on destruction.
class ManualClock : public Clock {
 public:
  explicit ManualClock(int64_t start_us = 1000000000LL * 1000000LL);
  ~ManualClock() override;
  int64_t now_us() override;
  void sleep_us(int64_t us) override;

  // Moves the clock forward and wakes every sleeper whose time has come.
  void advance_us(int64_t us);
  void advance_s(int64_t s) { advance_us(s * 1000000); }
  // Threads asleep on this clock now.
  int sleepers();
  // Waits (in real time, up to timeout_ms) until at least n threads are asleep
  // on this clock. Returns false on time-out.
  bool wait_for_sleepers(int n, int timeout_ms = 5000);
  // Advances to the earliest wake-up time of a sleeper, if any; returns the
  // amount advanced in microseconds (0 when nobody sleeps).
  int64_t advance_to_next_wakeup();
  // Every current and future sleeper on this clock returns at once (the
  // destructor calls it), so no thread stays blocked on a clock that goes.
  void release_all();

 private:
  std::mutex mx_;
  std::condition_variable cv_;
  int64_t now_;
  std::vector<int64_t> wakeups_;  // wake-up times of the threads asleep now
  bool released_ = false;
};

// Captures (label, text) pairs of printed messages while it lives.
class MessageCapture {
 public:
  MessageCapture();
  ~MessageCapture();
  std::vector<std::pair<std::string, std::string>> messages();
  // Number of messages whose label equals `label` (and, if given, whose text
  // contains `text_part`).
  int count(const std::string& label, const std::string& text_part = "");
  void clear();

 private:
  std::mutex mx_;
  std::vector<std::pair<std::string, std::string>> msgs_;
};

}  // namespace tavro

#endif  // TAVRO_TEST_H
