// zuntal_fixture.h - common set-up of the libzuntal suites: a clock on which
// the library's short pauses pass at once, a message capture, a location
// with node properties, and a clean driver and library between cases.
#ifndef ZUNTAL_FIXTURE_H
#define ZUNTAL_FIXTURE_H

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "D_zuntal.h"
#include "ntcan_ctl.h"
#include "tavro_test.h"
#include "zuntal_test.h"

// A manual clock on which pauses of up to 100 ms pass at once (the clock
// moves by them), while longer ones wait for the test as usual. A hook sees
// every short pause before it passes, so a test can act "between attempts".
class QuickClock : public tavro::ManualClock {
 public:
  void sleep_us(int64_t us) override {
    if (us > 100000) {
      tavro::ManualClock::sleep_us(us);
      return;
    }
    int n = ++short_pauses;
    if (on_short_pause) on_short_pause(n, us);
    advance_us(us);
  }
  std::atomic<int> short_pauses{0};
  std::function<void(int n, int64_t us)> on_short_pause;
};

class ZuntalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ntcan_ctl::reset();
    TAVRO_debug = 0;
    loc_ = std::make_unique<EqFct>("LOC");
  }

  void TearDown() override {
    clock_.on_short_pause = nullptr;
    nodes_.clear();
    loc_.reset();
    EXPECT_TRUE(zuntal_test::reset());
    EXPECT_EQ(zuntal_test::running_supervision_threads(), 0);
    ntcan_ctl::reset();
    TAVRO_debug = 0;
  }

  // A node property in the test's location with the given address, set
  // directly (as a configuration read would, without a change message).
  D_can* node(const std::string& name, int line, int id, int i3 = 0, int i4 = 0) {
    nodes_.emplace_back(new D_can(name, loc_.get()));
    D_can* n = nodes_.back().get();
    *n->value() = IIII{line, id, i3, i4};
    return n;
  }

  // Destroys one of the node properties made by node().
  void destroy(D_can* n) {
    for (auto it = nodes_.begin(); it != nodes_.end(); ++it)
      if (it->get() == n) {
        nodes_.erase(it);
        return;
      }
  }

  static CMSG frame(int id, std::vector<uint8_t> data) {
    CMSG f{};
    f.id = id;
    f.len = static_cast<uint8_t>(data.size());
    for (size_t k = 0; k < data.size() && k < 8; ++k) f.data[k] = data[k];
    return f;
  }

  static void inject(int net, const std::vector<CMSG>& frames) {
    ASSERT_EQ(ntcan_ctl::inject(net, frames.data(), static_cast<int>(frames.size())),
              NTCAN_SUCCESS);
  }

  QuickClock clock_;
  tavro::MessageCapture msgs_;
  std::unique_ptr<EqFct> loc_;
  std::vector<std::unique_ptr<D_can>> nodes_;
};

#endif  // ZUNTAL_FIXTURE_H
