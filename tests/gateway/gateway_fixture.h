// gateway_fixture.h - a gateway running in the test's own process on
// 127.0.0.1 with ephemeral ports, and driver nets pointed at it.
//
// The gateway serves its nets 0 and 1 from driver nets 16 and 17 of this
// process; the test's driver nets 0 and 1 reach them over TCP through the
// driver's gateway medium, so a frame sent on net 0 travels test -> TCP ->
// gateway -> driver net 16 -> gateway -> TCP -> test.
#ifndef GATEWAY_FIXTURE_H
#define GATEWAY_FIXTURE_H

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "gateway.h"
#include "ntcan.h"
#include "ntcan_ctl.h"

namespace gw_test {

constexpr int kBase = 16;  // gateway net k is driver net kBase + k

inline CMSG frame(int32_t id, std::vector<uint8_t> data = {}) {
  CMSG m;
  std::memset(&m, 0, sizeof m);
  m.id = id;
  m.len = static_cast<uint8_t>(data.size());
  for (size_t k = 0; k < data.size() && k < 8; ++k) m.data[k] = data[k];
  return m;
}

// Polls `pred` in real time until it holds or `ms` have passed: for the
// gateway's background work (a restart coming back), never for timing.
inline bool eventually(const std::function<bool()>& pred, int ms = 10000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

class GatewayTest : public ::testing::Test {
 protected:
  void SetUp() override { ntcan_ctl::reset(); }
  void TearDown() override {
    for (NTCAN_HANDLE h : handles_) canClose(h);
    handles_.clear();
    gw_.reset();
    ntcan_ctl::reset();
  }

  static zgw::Options options() {
    zgw::Options o;
    o.listen = "127.0.0.1";
    o.can_port = 0;
    o.http_port = 0;
    o.nets = {0, 1};
    o.local_net_base = kBase;
    o.restart_pause_ms = 50;
    return o;
  }

  void start(const zgw::Options& o = options()) {
    gw_ = std::make_unique<zgw::Gateway>(o);
    std::string error;
    ASSERT_EQ(0, gw_->start(&error)) << error;
    point(0, 0);
    point(1, 1);
  }

  // Driver net `net` of the test reaches gateway net `remote`.
  void point(int net, int remote, int port = -1, const std::string& host = "127.0.0.1") {
    ntcan_ctl::NetConfig c;
    c.kind = ntcan_ctl::NetConfig::Kind::Gateway;
    c.host = host;
    c.port = port < 0 ? gw_->can_port() : port;
    c.remote_net = remote;
    ntcan_ctl::configure_net(net, c);
  }

  NTCAN_HANDLE open(int net, std::vector<int32_t> ids = {}, int32_t rxqueue = 4096) {
    NTCAN_HANDLE h = -1;
    EXPECT_EQ(NTCAN_SUCCESS, canOpen(net, 0, 10, rxqueue, 1000, 2000, &h));
    if (h > 0) handles_.push_back(h);
    for (int32_t id : ids) EXPECT_EQ(NTCAN_SUCCESS, canIdAdd(h, id));
    return h;
  }

  static NTCAN_RESULT send(NTCAN_HANDLE h, std::vector<CMSG> frames) {
    int32_t n = static_cast<int32_t>(frames.size());
    return canSend(h, frames.data(), &n);
  }

  // Reads until `n` frames came or a read times out.
  static std::vector<CMSG> read_n(NTCAN_HANDLE h, size_t n) {
    std::vector<CMSG> out;
    std::vector<CMSG> buf(256);
    while (out.size() < n) {
      int32_t k = static_cast<int32_t>(buf.size());
      if (canRead(h, buf.data(), &k, nullptr) != NTCAN_SUCCESS) break;
      out.insert(out.end(), buf.begin(), buf.begin() + k);
    }
    return out;
  }

  // Everything `rx` receives from `tx` up to a marker frame (identifier
  // kMarker, which `rx` must have enabled) sent on `tx` after the frames of
  // interest. Frames from one sender keep their order all the way, so once
  // the marker is in, every earlier frame that was going to come has come.
  // Each marker carries a number of its own; other markers are skipped.
  static constexpr int32_t kMarker = 0x7FF;
  static std::vector<CMSG> until_marker(NTCAN_HANDLE rx, NTCAN_HANDLE tx) {
    static std::atomic<uint32_t> counter{0};
    const uint32_t mine = ++counter;
    EXPECT_EQ(NTCAN_SUCCESS,
              send(tx, {frame(kMarker, {uint8_t(mine), uint8_t(mine >> 8), uint8_t(mine >> 16),
                                        uint8_t(mine >> 24)})}));
    std::vector<CMSG> out;
    std::vector<CMSG> buf(256);
    for (;;) {
      int32_t k = static_cast<int32_t>(buf.size());
      if (canRead(rx, buf.data(), &k, nullptr) != NTCAN_SUCCESS) {
        ADD_FAILURE() << "the marker frame did not arrive";
        return out;
      }
      for (int32_t i = 0; i < k; ++i) {
        if (buf[i].id != kMarker) {
          out.push_back(buf[i]);
          continue;
        }
        const uint32_t n = uint32_t{buf[i].data[0]} | (uint32_t{buf[i].data[1]} << 8) |
                           (uint32_t{buf[i].data[2]} << 16) | (uint32_t{buf[i].data[3]} << 24);
        if (n == mine) return out;
      }
    }
  }

  std::unique_ptr<zgw::Gateway> gw_;
  std::vector<NTCAN_HANDLE> handles_;
};

}  // namespace gw_test

#endif  // GATEWAY_FIXTURE_H
