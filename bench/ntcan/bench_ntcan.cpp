// Driver throughput on the simulated bus, one thread: frames from canSend to
// canTake with one and with eight receiving handles, and the cost of canTake.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "ntcan.h"
#include "ntcan_ctl.h"

namespace {

constexpr int kBurst = 100;  // frames sent before the receivers take them

NTCAN_HANDLE open_rx(int32_t id, int32_t queue) {
  NTCAN_HANDLE h = -1;
  canOpen(0, 0, 10, queue, 1000, 1000, &h);
  canIdAdd(h, id);
  return h;
}

std::vector<CMSG> burst(int32_t id) {
  std::vector<CMSG> v(kBurst);
  for (int i = 0; i < kBurst; ++i) {
    std::memset(&v[i], 0, sizeof(CMSG));
    v[i].id = id;
    v[i].len = 8;
    v[i].data[0] = static_cast<uint8_t>(i);
  }
  return v;
}

// Frames/s from send to take. Arg 0: receivers; arg 1: frames per canSend
// call (1 as the library sends, or kBurst in one call).
void BM_SendToTake(benchmark::State& state) {
  ntcan_ctl::reset();
  const int receivers = static_cast<int>(state.range(0));
  const int per_call = static_cast<int>(state.range(1));
  NTCAN_HANDLE tx = -1;
  canOpen(0, 0, 10, 100, 1000, 1000, &tx);
  std::vector<NTCAN_HANDLE> rx;
  for (int i = 0; i < receivers; ++i) rx.push_back(open_rx(0x181, kBurst));
  std::vector<CMSG> frames = burst(0x181);
  CMSG buf[kBurst];
  int64_t taken = 0;
  for (auto _ : state) {
    for (int i = 0; i < kBurst; i += per_call) {
      int32_t n = per_call;
      canSend(tx, &frames[i], &n);
    }
    for (NTCAN_HANDLE h : rx) {
      int32_t n = kBurst;
      canTake(h, buf, &n);
      taken += n;
    }
    benchmark::DoNotOptimize(buf);
  }
  if (taken != static_cast<int64_t>(state.iterations()) * kBurst * receivers)
    state.SkipWithError("frames lost");
  state.SetItemsProcessed(state.iterations() * kBurst);  // frames sent
  state.counters["deliveries/s"] =
      benchmark::Counter(static_cast<double>(taken), benchmark::Counter::kIsRate);
  ntcan_ctl::reset();
}
BENCHMARK(BM_SendToTake)
    ->ArgNames({"rx", "per_call"})
    ->Args({1, 1})
    ->Args({1, kBurst})
    ->Args({8, 1})
    ->Args({8, kBurst});

// One canTake of 100 queued frames (only the take is timed).
void BM_Take100(benchmark::State& state) {
  ntcan_ctl::reset();
  NTCAN_HANDLE tx = -1;
  canOpen(0, 0, 10, 100, 1000, 1000, &tx);
  NTCAN_HANDLE rx = open_rx(0x181, kBurst);
  std::vector<CMSG> frames = burst(0x181);
  CMSG buf[kBurst];
  for (auto _ : state) {
    int32_t n = kBurst;
    canSend(tx, frames.data(), &n);
    auto t0 = std::chrono::steady_clock::now();
    n = kBurst;
    canTake(rx, buf, &n);
    auto t1 = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(buf);
    state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
  }
  state.SetItemsProcessed(state.iterations() * kBurst);
  ntcan_ctl::reset();
}
BENCHMARK(BM_Take100)->UseManualTime();

// canTake on an empty queue: most of the 2540 takes of an update cycle.
void BM_TakeEmpty(benchmark::State& state) {
  ntcan_ctl::reset();
  NTCAN_HANDLE rx = open_rx(0x181, kBurst);
  CMSG buf[kBurst];
  for (auto _ : state) {
    int32_t n = kBurst;
    canTake(rx, buf, &n);
    benchmark::DoNotOptimize(n);
  }
  ntcan_ctl::reset();
}
BENCHMARK(BM_TakeEmpty);

// One update cycle's takes: 2540 handles on 20 nets, each holding one frame.
void BM_UpdateCycleTakes(benchmark::State& state) {
  ntcan_ctl::reset();
  constexpr int kHandles = 2540;
  std::vector<NTCAN_HANDLE> rx;
  std::vector<NTCAN_HANDLE> tx(20);
  for (int net = 0; net < 20; ++net) canOpen(net, 0, 10, 100, 1000, 1000, &tx[net]);
  for (int i = 0; i < kHandles; ++i) {
    NTCAN_HANDLE h = -1;
    canOpen(i % 20, 0, 10, 100, 1000, 1000, &h);
    canIdAdd(h, 0x700 + i / 20);
    rx.push_back(h);
  }
  CMSG buf[kBurst];
  for (auto _ : state) {
    state.PauseTiming();
    for (int i = 0; i < kHandles; ++i) {
      CMSG m;
      std::memset(&m, 0, sizeof m);
      m.id = 0x700 + i / 20;
      m.len = 1;
      int32_t n = 1;
      canSend(tx[i % 20], &m, &n);
    }
    state.ResumeTiming();
    for (NTCAN_HANDLE h : rx) {
      int32_t n = kBurst;
      canTake(h, buf, &n);
    }
  }
  state.SetItemsProcessed(state.iterations() * kHandles);
  ntcan_ctl::reset();
}
BENCHMARK(BM_UpdateCycleTakes)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
