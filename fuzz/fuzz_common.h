// fuzz_common.h - what the fuzz targets share: a check that aborts with the
// broken invariant (libFuzzer then saves the input), a message sink that
// drops the library's messages, and a framework clock for single-threaded
// runs.
#ifndef ZUNTAL_FUZZ_COMMON_H
#define ZUNTAL_FUZZ_COMMON_H

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "tavro.h"

#define FUZZ_CHECK(cond)                                                                      \
  do {                                                                                        \
    if (!(cond)) {                                                                            \
      std::fprintf(stderr, "fuzz invariant broken: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
      std::abort();                                                                           \
    }                                                                                         \
  } while (0)

namespace fuzz {

// Library messages go nowhere: printing them would be most of the time spent.
inline void quiet_messages() {
  tavro::set_message_sink([](const std::string&, const std::string&) {});
}

// The framework clock of a target that runs the library in its own thread.
// On that thread (the first one to use the clock) every look at the time
// moves it on by `step_us` and every pause passes at once, so a wait for an
// answer that never comes ends after a few polls. The clock belongs to the
// thread that makes it; any other thread (a line's supervision) sleeps for
// good on it, so it never takes part in a run.
class SteppingClock : public tavro::Clock {
 public:
  explicit SteppingClock(int64_t step_us) : owner_(std::this_thread::get_id()), step_us_(step_us) {}
  int64_t now_us() override {
    std::lock_guard<std::mutex> lk(mx_);
    if (mine()) now_ += step_us_;
    return now_;
  }
  void sleep_us(int64_t us) override {
    std::unique_lock<std::mutex> lk(mx_);
    if (mine()) {
      if (us > 0) now_ += us;
      return;
    }
    cv_.wait(lk, [] { return false; });
  }
  int64_t now() {
    std::lock_guard<std::mutex> lk(mx_);
    return now_;
  }

 private:
  bool mine() const { return owner_ == std::this_thread::get_id(); }
  std::mutex mx_;
  std::condition_variable cv_;
  const std::thread::id owner_;
  int64_t now_ = 1000000000LL * 1000000LL;
  const int64_t step_us_;
};

}  // namespace fuzz

#endif  // ZUNTAL_FUZZ_COMMON_H
