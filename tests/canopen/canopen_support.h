// canopen_support.h - helpers of the CANopen test suites: frames written as
// hex text, a scripted SDO responder on the driver's device hook, a fixture
// with a manual framework clock and registered node properties, and a runner
// that takes a transfer through its answer wait on the manual clock.
#ifndef ZUNTAL_TESTS_CANOPEN_SUPPORT_H
#define ZUNTAL_TESTS_CANOPEN_SUPPORT_H

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "D_zuntal.h"
#include "ntcan_ctl.h"
#include "tavro_test.h"
#include "zuntal_test.h"

namespace cotest {

// A frame from "40 08 10 00 00 00 00 00"; the number of bytes is its length.
inline CMSG frame(int id, const std::string& hex) {
  CMSG f;
  std::memset(&f, 0, sizeof f);
  f.id = id;
  std::istringstream in(hex);
  unsigned b;
  int n = 0;
  while (n < 8 && in >> std::hex >> b) f.data[n++] = static_cast<uint8_t>(b);
  f.len = static_cast<uint8_t>(n);
  return f;
}

// "602#40 08 10 00 00 00 00 00": identifier, then the data bytes of the length.
inline std::string text(const CMSG& f) {
  char buf[64];
  int used = std::snprintf(buf, sizeof buf, "%X#", static_cast<unsigned>(f.id));
  const int n = (f.len & NTCAN_RTR) ? 0 : std::min<int>(f.len & NTCAN_DLC, 8);
  for (int k = 0; k < n; ++k)
    used += std::snprintf(buf + used, sizeof buf - used, k ? " %02X" : "%02X", f.data[k]);
  return buf;
}

inline std::string text(int id, const std::string& hex) {
  return text(frame(id, hex));
}

// Waits in real time (at most `ms`) until `pred` holds.
inline bool eventually(const std::function<bool()>& pred, int ms = 5000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

// A scripted SDO peer of one node on one net. Each SDO request it sees
// (identifier 0x600 + node) is recorded and answered with the frames of the
// next step of the script; a step without frames leaves the request
// unanswered, and requests beyond the script are only recorded.
// serve() instead answers every upload of any object with the given bytes,
// expedited up to 4 bytes and segmented beyond, as a CANopen server would.
class Responder {
 public:
  Responder(int net, int node) : net_(net), node_(node) {
    id_ = ntcan_ctl::attach_device(net, [this](const CMSG& f) { on_frame(f); });
  }
  ~Responder() { ntcan_ctl::detach_device(id_); }
  Responder(const Responder&) = delete;
  Responder& operator=(const Responder&) = delete;

  // Answers the next request with `rx` (hex, from 0x580 + node); "" stays silent.
  void then(const std::string& rx) {
    std::vector<CMSG> v;
    if (!rx.empty()) v.push_back(frame(0x580 + node_, rx));
    then_frames(v);
  }
  void then_frames(const std::vector<CMSG>& frames) {
    std::lock_guard<std::mutex> g(mx_);
    script_.push_back(frames);
  }
  void serve(const std::vector<uint8_t>& object) {
    std::lock_guard<std::mutex> g(mx_);
    serving_ = true;
    object_ = object;
  }
  // A node that never sends its last segment: the initiate request gets a
  // segmented answer, every segment request a segment with the right toggle
  // bit and `bytes` data bytes (0 to 7), never marked as the last.
  void serve_endless(int bytes) {
    std::lock_guard<std::mutex> g(mx_);
    serving_ = true;
    endless_ = bytes;
    object_.assign(8, 'x');
  }

  std::vector<std::string> requests() {
    std::lock_guard<std::mutex> g(mx_);
    return requests_;
  }
  size_t request_count() {
    std::lock_guard<std::mutex> g(mx_);
    return requests_.size();
  }
  // Segment requests answered by serve(), and whether its last went out.
  int segments_served() {
    std::lock_guard<std::mutex> g(mx_);
    return segments_;
  }
  bool transfer_finished() {
    std::lock_guard<std::mutex> g(mx_);
    return finished_;
  }
  // Abort requests seen while serving, and the code of the last one.
  int aborts() {
    std::lock_guard<std::mutex> g(mx_);
    return aborts_;
  }
  uint32_t abort_code() {
    std::lock_guard<std::mutex> g(mx_);
    return abort_code_;
  }

 private:
  void on_frame(const CMSG& f) {
    if (f.id != 0x600 + node_) return;
    std::vector<CMSG> answer;
    {
      std::lock_guard<std::mutex> g(mx_);
      requests_.push_back(text(f));
      if (serving_ && (f.data[0] & 0xE0) == 0x80) {
        // An abort request ends the transfer; it is not answered.
        ++aborts_;
        abort_code_ = static_cast<uint32_t>(f.data[4] | f.data[5] << 8 | f.data[6] << 16 |
                                            static_cast<uint32_t>(f.data[7]) << 24);
        finished_ = true;
      } else if (serving_) {
        answer.push_back(serve_one(f));
      } else if (next_ < script_.size()) {
        answer = script_[next_++];
      }
    }
    if (!answer.empty())
      ntcan_ctl::inject(net_, answer.data(), static_cast<int>(answer.size()), id_);
  }

  CMSG serve_one(const CMSG& req) {
    CMSG a;
    std::memset(&a, 0, sizeof a);
    a.id = 0x580 + node_;
    a.len = 8;
    const uint8_t c = req.data[0];
    if (c == 0x40) {
      std::memcpy(a.data + 1, req.data + 1, 3);
      pos_ = 0;
      finished_ = false;
      if (object_.size() <= 4) {
        a.data[0] = static_cast<uint8_t>(0x43 | (4 - object_.size()) << 2);
        std::memcpy(a.data + 4, object_.data(), object_.size());
        finished_ = true;
      } else {
        a.data[0] = 0x41;
        const uint32_t n = static_cast<uint32_t>(object_.size());
        for (int k = 0; k < 4; ++k) a.data[4 + k] = static_cast<uint8_t>(n >> (8 * k));
      }
    } else if ((c & 0xEF) == 0x60 && endless_ >= 0) {
      std::memset(a.data + 1, 'z', 7);
      a.data[0] = static_cast<uint8_t>((c & 0x10) | (7 - endless_) << 1);
      ++segments_;
    } else if ((c & 0xEF) == 0x60) {
      const size_t n = std::min<size_t>(7, object_.size() - pos_);
      std::memcpy(a.data + 1, object_.data() + pos_, n);
      pos_ += n;
      const bool last = pos_ >= object_.size();
      a.data[0] = static_cast<uint8_t>((c & 0x10) | (7 - n) << 1 | (last ? 1 : 0));
      ++segments_;
      finished_ = last;
    }
    return a;
  }

  const int net_, node_;
  int id_ = 0;
  std::mutex mx_;
  std::vector<std::vector<CMSG>> script_;
  size_t next_ = 0;
  std::vector<std::string> requests_;
  bool serving_ = false;
  std::vector<uint8_t> object_;
  size_t pos_ = 0;
  int segments_ = 0;
  bool finished_ = false;
  int endless_ = -1;
  int aborts_ = 0;
  uint32_t abort_code_ = 0;
};

// Manual framework clock, captured messages, one location, a clean driver
// and library state around each test.
class CanopenFixture : public ::testing::Test {
 protected:
  void SetUp() override { ntcan_ctl::reset(); }
  void TearDown() override {
    // Closing a handle pauses on the framework clock.
    with_clock_running([&] {
      nodes_.clear();
      return 0;
    });
    EXPECT_TRUE(zuntal_test::reset());
    ntcan_ctl::reset();
  }

  // A node property for `line`/`node`, registered in buffered mode with
  // `ident` enabled (none for ident 0).
  D_can* node(const std::string& name, int line, int node, int ident) {
    nodes_.push_back(std::make_unique<D_can>(name, &loc_));
    D_can* n = nodes_.back().get();
    IIII a;
    a.i1_data = line;
    a.i2_data = node;
    n->set_value(&a);
    // Opening a line pauses on the framework clock.
    EXPECT_EQ(0, with_clock_running([&] { return n->init(ident); })) << name;
    return n;
  }

  // The text a child property shows, read as a client would.
  std::string shown(const std::string& prop) {
    EqData out;
    EXPECT_EQ(0, loc_.get(prop, nullptr, &out)) << prop;
    return out.get_string();
  }
  int shown_int(const std::string& prop) {
    EqData out;
    EXPECT_EQ(0, loc_.get(prop, nullptr, &out)) << prop;
    return out.get_int();
  }

  // Runs `f` on a worker thread while the framework clock moves on by 100 ms
  // for each millisecond of real time, so that the library's pauses pass;
  // returns f's result.
  int with_clock_running(const std::function<int()>& f) {
    auto fut = std::async(std::launch::async, f);
    for (int k = 0; k < 100000; ++k) {
      if (fut.wait_for(std::chrono::milliseconds(1)) == std::future_status::ready) break;
      clock_.advance_us(100000);
    }
    return fut.get();
  }

  // Takes a transfer whose node stops answering through its answer wait and
  // returns its result. `waiting` holds once the request whose answer never
  // comes has gone out. Checks that the transfer is still waiting after 2 s
  // of framework clock and has given up after 3 s.
  int until_given_up(NTCAN_HANDLE h, const std::function<bool()>& waiting,
                     const std::function<int()>& f) {
    using ntcan_ctl::Op;
    auto fut = std::async(std::launch::async, f);
    auto done = [&] { return fut.wait_for(std::chrono::seconds(0)) == std::future_status::ready; };
    // A take after the request means the wait has noted its start time.
    EXPECT_TRUE(eventually(waiting));
    uint64_t c = ntcan_ctl::calls(Op::Take, h);
    EXPECT_TRUE(eventually([&] { return ntcan_ctl::calls(Op::Take, h) > c; }));
    clock_.advance_s(2);
    // Two more takes: the time was looked at after the advance.
    c = ntcan_ctl::calls(Op::Take, h);
    EXPECT_TRUE(eventually([&] { return done() || ntcan_ctl::calls(Op::Take, h) > c + 1; }));
    EXPECT_FALSE(done()) << "gave up within 2 s of framework clock";
    clock_.advance_s(1);
    if (!eventually(done, 10000)) {
      ADD_FAILURE() << "still waiting after 3 s of framework clock";
      while (!done()) clock_.advance_s(1);
    }
    return fut.get();
  }

  int sdo_errors() { return msgs_.count("segSdoRead"); }

  tavro::ManualClock clock_;
  tavro::MessageCapture msgs_;
  EqFct loc_{"CANOPEN"};
  std::vector<std::unique_ptr<D_can>> nodes_;
};

// Node 2 on line 1 (net 0), registered for its SDO answers: requests go to
// 0x602, answers come from 0x582.
constexpr int kSdoNet = 0;
constexpr int kSdoNode = 2;

// The frames to 0x602 with the given data, as text() shows them.
inline std::vector<std::string> frames602(const std::vector<std::string>& hex) {
  std::vector<std::string> v;
  for (const auto& h : hex) v.push_back(text(0x602, h));
  return v;
}

class SdoNodeFixture : public CanopenFixture {
 protected:
  void SetUp() override {
    CanopenFixture::SetUp();
    can = node("NODE2", 1, kSdoNode, 0x582);
  }
  D_can* can = nullptr;
};

}  // namespace cotest

#endif  // ZUNTAL_TESTS_CANOPEN_SUPPORT_H
