// tavro_test.cpp - the manual clock and the message capture of tests.
#include "tavro_test.h"

#include <algorithm>
#include <chrono>

#include "internal.h"

namespace tavro {

// ---- ManualClock -------------------------------------------------------------

ManualClock::ManualClock(int64_t start_us) : now_(start_us) {
  set_clock(this);
}

ManualClock::~ManualClock() {
  release_all();
  // Waits until every thread that entered TAVROsleep/TAVROtime on this clock
  // has left it; the members are destroyed only after that.
  internal::retire_clock(this);
}

int64_t ManualClock::now_us() {
  std::lock_guard<std::mutex> lk(mx_);
  return now_;
}

void ManualClock::sleep_us(int64_t us) {
  std::unique_lock<std::mutex> lk(mx_);
  if (us <= 0 || released_) return;
  const int64_t wake = now_ + us;
  wakeups_.push_back(wake);
  cv_.notify_all();  // for wait_for_sleepers
  // advance_us() removes the entry of every sleeper whose time has come, so
  // sleepers() drops as soon as the clock passes a wake-up time.
  cv_.wait(lk, [&] { return now_ >= wake || released_; });
}

void ManualClock::advance_us(int64_t us) {
  std::lock_guard<std::mutex> lk(mx_);
  if (us > 0) now_ += us;
  const int64_t now = now_;
  wakeups_.erase(
      std::remove_if(wakeups_.begin(), wakeups_.end(), [now](int64_t w) { return w <= now; }),
      wakeups_.end());
  cv_.notify_all();
}

int ManualClock::sleepers() {
  std::lock_guard<std::mutex> lk(mx_);
  return static_cast<int>(wakeups_.size());
}

bool ManualClock::wait_for_sleepers(int n, int timeout_ms) {
  std::unique_lock<std::mutex> lk(mx_);
  return cv_.wait_for(lk, std::chrono::milliseconds(timeout_ms),
                      [&] { return static_cast<int>(wakeups_.size()) >= n; });
}

int64_t ManualClock::advance_to_next_wakeup() {
  int64_t step;
  {
    std::lock_guard<std::mutex> lk(mx_);
    if (wakeups_.empty()) return 0;
    step = *std::min_element(wakeups_.begin(), wakeups_.end()) - now_;
  }
  advance_us(step);
  return step;
}

void ManualClock::release_all() {
  std::lock_guard<std::mutex> lk(mx_);
  released_ = true;
  wakeups_.clear();
  cv_.notify_all();
}

// ---- MessageCapture ------------------------------------------------------------

MessageCapture::MessageCapture() {
  set_message_sink([this](const std::string& label, const std::string& text) {
    std::lock_guard<std::mutex> lk(mx_);
    msgs_.emplace_back(label, text);
  });
}

// set_message_sink waits for calls of the capturing sink still in flight.
MessageCapture::~MessageCapture() {
  set_message_sink(nullptr);
}

std::vector<std::pair<std::string, std::string>> MessageCapture::messages() {
  std::lock_guard<std::mutex> lk(mx_);
  return msgs_;
}

int MessageCapture::count(const std::string& label, const std::string& text_part) {
  std::lock_guard<std::mutex> lk(mx_);
  int n = 0;
  for (const auto& m : msgs_)
    if (m.first == label && (text_part.empty() || m.second.find(text_part) != std::string::npos))
      ++n;
  return n;
}

void MessageCapture::clear() {
  std::lock_guard<std::mutex> lk(mx_);
  msgs_.clear();
}

}  // namespace tavro
