// Throughput and cost of the SocketCAN medium on vcan0. Needs a kernel with
// CAN support: run it inside the qemu guest,
//   tests/socketcan/run_in_qemu.sh -- build-rel/bench/socketcan/bench_socketcan
// Elsewhere every benchmark reports that vcan0 is missing.
//
//   SendToTake/N   frames per second from one CAN_RAW handle to another, sent
//                  N per canSend (one sendmmsg per 64 frames) and taken by
//                  canTake (one recvmmsg per 64 frames);
//   Take100        one canTake of 100 queued frames (the receive side alone);
//   Fill100/medium the update cycle's fill of one node with 100 queued frames
//                  (can_looping), on vcan0 and, for comparison, on the
//                  in-process simulated bus.
#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <cstring>
#include <memory>
#include <vector>

#include "D_zuntal.h"
#include "ntcan_ctl.h"
#include "tavro_test.h"
#include "zuntal_test.h"

namespace {

constexpr int kNet = 0;
constexpr int kId = 0x185;

bool have_vcan0() {
  struct stat st;
  return ::stat("/sys/class/net/vcan0", &st) == 0;
}

void use_vcan0() {
  ntcan_ctl::reset();
  ntcan_ctl::NetConfig cfg;
  cfg.kind = ntcan_ctl::NetConfig::Kind::SocketCan;
  cfg.ifname = "vcan0";
  ntcan_ctl::configure_net(kNet, cfg);
}

NTCAN_HANDLE open_handle(int rxqueue) {
  NTCAN_HANDLE h = -1;
  if (canOpen(kNet, 0, 10, rxqueue, 1000, 1000, &h) != NTCAN_SUCCESS) return -1;
  return h;
}

std::vector<CMSG> frames(int n) {
  std::vector<CMSG> v(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    std::memset(&v[i], 0, sizeof v[i]);
    v[i].id = kId;
    v[i].len = 8;
    std::memcpy(v[i].data, &i, sizeof i);
  }
  return v;
}

void SendToTake(benchmark::State& state) {
  if (!have_vcan0()) return state.SkipWithError("no vcan0");
  use_vcan0();
  const int n = static_cast<int>(state.range(0));
  NTCAN_HANDLE a = open_handle(100), b = open_handle(4096);
  if (a < 0 || b < 0 || canIdAdd(b, kId) != NTCAN_SUCCESS)
    return state.SkipWithError("cannot open handles on vcan0");
  std::vector<CMSG> out = frames(n), in(static_cast<size_t>(n));
  for (auto _ : state) {
    int32_t k = n;
    if (canSend(a, out.data(), &k) != NTCAN_SUCCESS || k != n)
      return state.SkipWithError("canSend failed");
    for (int got = 0; got < n;) {
      k = n - got;
      if (canTake(b, in.data() + got, &k) != NTCAN_SUCCESS)
        return state.SkipWithError("canTake failed");
      got += k;
    }
  }
  state.SetItemsProcessed(state.iterations() * n);
  canClose(a);
  canClose(b);
  ntcan_ctl::reset();
}
BENCHMARK(SendToTake)->Arg(1)->Arg(10)->Arg(64)->Arg(100);

void Take100(benchmark::State& state) {
  if (!have_vcan0()) return state.SkipWithError("no vcan0");
  use_vcan0();
  NTCAN_HANDLE a = open_handle(100), b = open_handle(100);
  if (a < 0 || b < 0 || canIdAdd(b, kId) != NTCAN_SUCCESS)
    return state.SkipWithError("cannot open handles on vcan0");
  std::vector<CMSG> out = frames(100), in(100);
  for (auto _ : state) {
    state.PauseTiming();
    int32_t k = 100;
    canSend(a, out.data(), &k);
    state.ResumeTiming();
    k = 100;
    canTake(b, in.data(), &k);
    if (k != 100) return state.SkipWithError("frames missing");
  }
  state.SetItemsProcessed(state.iterations() * 100);
  ntcan_ctl::reset();
}
BENCHMARK(Take100);

// The library's short pauses pass at once; the supervision thread's long
// ones wait until the benchmark ends.
class QuickClock : public tavro::ManualClock {
 public:
  void sleep_us(int64_t us) override {
    if (us > 100000) return tavro::ManualClock::sleep_us(us);
    advance_us(us);
  }
};

void Fill100(benchmark::State& state) {
  const bool socketcan = state.range(0) != 0;
  if (socketcan && !have_vcan0()) return state.SkipWithError("no vcan0");
  state.SetLabel(socketcan ? "vcan0" : "simulated bus");
  if (socketcan)
    use_vcan0();
  else
    ntcan_ctl::reset();
  QuickClock clock;
  tavro::MessageCapture quiet;  // registration and supervision messages
  {
    EqFct loc("BENCH");
    D_can node("NODE5", &loc);
    *node.value() = IIII{kNet + 1, 5, 0, 0};
    NTCAN_HANDLE a = open_handle(100);
    if (node.init(kId) != 0 || a < 0) return state.SkipWithError("cannot register the node");
    std::vector<CMSG> out = frames(100), in(100);
    for (auto _ : state) {
      state.PauseTiming();
      int32_t k = 100;
      canSend(a, out.data(), &k);
      state.ResumeTiming();
      can_looping();
    }
    int l = 0;
    node.can_array(in.data(), &l);
    if (l != 100) state.SkipWithError("the fill did not take 100 frames");
    state.SetItemsProcessed(state.iterations() * 100);
    canClose(a);
  }
  zuntal_test::reset();
  ntcan_ctl::reset();
}
BENCHMARK(Fill100)->Arg(1)->Arg(0);

}  // namespace

BENCHMARK_MAIN();
