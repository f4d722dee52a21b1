// sim_fixture.h - a plain driver client on a simulated net, for the device tests.
#ifndef ZUNTAL_TESTS_SIM_FIXTURE_H
#define ZUNTAL_TESTS_SIM_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "ntcan.h"
#include "ntcan_ctl.h"
#include "sim_device.h"

namespace simtest {

constexpr int kNet = 3;

inline std::string example(const std::string& name) {
  return std::string(ZUNTAL_EXAMPLES_DIR) + "/" + name;
}

// A frame reduced to what the tests compare: identifier and data bytes.
struct F {
  int id;
  std::vector<uint8_t> d;
  bool operator==(const F& o) const { return id == o.id && d == o.d; }
};

inline void PrintTo(const F& f, std::ostream* os) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%03X", f.id);
  *os << "{" << buf << ":";
  for (uint8_t b : f.d) {
    std::snprintf(buf, sizeof buf, " %02X", b);
    *os << buf;
  }
  *os << "}";
}

// One driver handle with its filter; the device under test sits on the same net.
class SimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ntcan_ctl::reset();
    ASSERT_EQ(canOpen(kNet, 0, 10, 400, 100, 100, &h_), NTCAN_SUCCESS);
  }

  void TearDown() override {
    devices_.clear();
    canClose(h_);
    ntcan_ctl::reset();
  }

  // A powered device from an example EDS, owned by the fixture.
  zsim::Device* make(int node, const std::string& eds_name, int64_t now_us = 0) {
    std::string err;
    auto d = zsim::Device::from_file(kNet, node, example(eds_name), &err);
    EXPECT_TRUE(d) << err;
    if (!d) return nullptr;
    EXPECT_EQ(d->power_on(now_us), 0);
    devices_.push_back(std::move(d));
    return devices_.back().get();
  }

  void listen(std::initializer_list<int> ids) {
    for (int id : ids) ASSERT_EQ(canIdAdd(h_, id), NTCAN_SUCCESS);
  }

  void send(int id, std::vector<uint8_t> data) {
    CMSG m{};
    m.id = id;
    m.len = static_cast<uint8_t>(data.size());
    for (size_t i = 0; i < data.size() && i < 8; ++i) m.data[i] = data[i];
    int32_t n = 1;
    ASSERT_EQ(canSend(h_, &m, &n), NTCAN_SUCCESS);
  }

  void send_rtr(int id, int dlc = 1) {
    CMSG m{};
    m.id = id;
    m.len = static_cast<uint8_t>(NTCAN_RTR | dlc);
    int32_t n = 1;
    ASSERT_EQ(canSend(h_, &m, &n), NTCAN_SUCCESS);
  }

  // SDO request of 8 bytes: command, index, subindex, data.
  void sdo(int node, uint8_t cmd, uint16_t index, uint8_t sub, uint32_t value = 0) {
    send(0x600 + node, {cmd, static_cast<uint8_t>(index), static_cast<uint8_t>(index >> 8), sub,
                        static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                        static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)});
  }

  std::vector<CMSG> take_raw() {
    std::vector<CMSG> out;
    while (true) {
      CMSG buf[50];
      int32_t n = 50;
      if (canTake(h_, buf, &n) != NTCAN_SUCCESS || n == 0) break;
      out.insert(out.end(), buf, buf + n);
    }
    return out;
  }

  std::vector<F> take() {
    std::vector<F> out;
    for (const CMSG& m : take_raw())
      out.push_back(F{m.id, std::vector<uint8_t>(m.data, m.data + (m.len & NTCAN_DLC))});
    return out;
  }

  NTCAN_HANDLE h_ = -1;
  std::vector<std::unique_ptr<zsim::Device>> devices_;
};

// Expected SDO answer of node `node`.
inline F answer(int node, std::vector<uint8_t> d) {
  return F{0x580 + node, std::move(d)};
}

inline F abort_frame(int node, uint16_t index, uint8_t sub, uint32_t code) {
  return answer(node, {0x80, static_cast<uint8_t>(index), static_cast<uint8_t>(index >> 8), sub,
                       static_cast<uint8_t>(code), static_cast<uint8_t>(code >> 8),
                       static_cast<uint8_t>(code >> 16), static_cast<uint8_t>(code >> 24)});
}

}  // namespace simtest

#endif  // ZUNTAL_TESTS_SIM_FIXTURE_H
