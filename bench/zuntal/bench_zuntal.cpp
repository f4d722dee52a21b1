// The update cycle's cost: can_looping over 1, 100 and 2540 nodes (20 lines
// of 127 nodes) with 0 and with 100 queued frames per node, beside a plain
// copy of the same bytes (100 frames of 16 bytes per node).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "D_zuntal.h"
#include "ntcan_ctl.h"
#include "tavro_test.h"
#include "zuntal_test.h"

namespace {

// The library's short pauses (5 ms around opening a handle) pass at once;
// the supervision threads' long ones wait until the set-up is torn down.
class QuickClock : public tavro::ManualClock {
 public:
  void sleep_us(int64_t us) override {
    if (us > 100000) {
      tavro::ManualClock::sleep_us(us);
      return;
    }
    advance_us(us);
  }
};

constexpr int kNodesPerLine = 127;
constexpr int kFrames = 100;

// N buffered node properties, each the master of its node, spread over lines
// of 127 nodes.
class Nodes {
 public:
  explicit Nodes(int n) : loc_("BENCH") {
    ntcan_ctl::reset();
    TAVRO_debug = 0;
    for (int k = 0; k < n; ++k) {
      int line = 1 + k / kNodesPerLine, id = 1 + k % kNodesPerLine;
      nodes_.emplace_back(new D_can("N" + std::to_string(k), &loc_));
      *nodes_.back()->value() = IIII{line, id, 0, 0};
      if (nodes_.back()->init(0x180 + id) != 0) ok_ = false;
    }
  }
  ~Nodes() {
    nodes_.clear();
    zuntal_test::reset();
    ntcan_ctl::reset();
  }
  bool ok() const { return ok_; }
  size_t size() const { return nodes_.size(); }
  NTCAN_HANDLE handle(size_t k) { return zuntal_test::view(nodes_[k].get()).canhandle; }

  // Queues 100 frames for every node.
  void queue_frames() {
    CMSG f[kFrames];
    for (size_t k = 0; k < nodes_.size(); ++k) {
      int line = 1 + int(k) / kNodesPerLine, id = 1 + int(k) % kNodesPerLine;
      for (int j = 0; j < kFrames; ++j) {
        std::memset(&f[j], 0, sizeof f[j]);
        f[j].id = 0x180 + id;
        f[j].len = 8;
        f[j].data[0] = uint8_t(j);
      }
      ntcan_ctl::inject(line - 1, f, kFrames);
    }
  }

 private:
  QuickClock clock_;
  EqFct loc_;
  std::vector<std::unique_ptr<D_can>> nodes_;
  bool ok_ = true;
};

// The plain copy's frames: 100 for each of n nodes, numbered.
std::vector<CMSG> numbered_frames(int n) {
  std::vector<CMSG> f(size_t(n) * kFrames);
  for (size_t k = 0; k < f.size(); ++k) f[k].id = int(k);
  return f;
}

// The plain copy: the same bytes a cycle takes, node by node.
void copy_nodes(const std::vector<CMSG>& src, std::vector<CMSG>& dst, int n) {
  for (int k = 0; k < n; ++k)
    std::memcpy(&dst[size_t(k) * kFrames], &src[size_t(k) * kFrames], kFrames * sizeof(CMSG));
  benchmark::DoNotOptimize(dst.data());
  benchmark::ClobberMemory();
}

// The seconds f takes, for benchmarks timed by hand.
template <typename F>
double seconds_of(F&& f) {
  auto t0 = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void per_node(benchmark::State& state, int n) {
  state.counters["per_node"] = benchmark::Counter(
      n, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_LoopingIdle(benchmark::State& state) {
  const int n = int(state.range(0));
  Nodes nodes(n);
  if (!nodes.ok()) state.SkipWithError("registration failed");
  for (auto _ : state) can_looping();
  per_node(state, n);
}

// Timed by hand around the cycle alone: queueing the frames is not part of it.
void BM_LoopingFull(benchmark::State& state) {
  const int n = int(state.range(0));
  Nodes nodes(n);
  if (!nodes.ok()) state.SkipWithError("registration failed");
  for (auto _ : state) {
    nodes.queue_frames();
    state.SetIterationTime(seconds_of([] { can_looping(); }));
  }
  per_node(state, n);
  state.SetBytesProcessed(int64_t(state.iterations()) * n * kFrames * int64_t(sizeof(CMSG)));
}

// The driver's share: canTake of 100 frames on the same handles, called
// directly, without the library.
void BM_DriverTakeFull(benchmark::State& state) {
  const int n = int(state.range(0));
  Nodes nodes(n);
  if (!nodes.ok()) state.SkipWithError("registration failed");
  std::vector<NTCAN_HANDLE> handles;
  for (size_t k = 0; k < nodes.size(); ++k) handles.push_back(nodes.handle(k));
  std::vector<CMSG> out(kFrames);
  for (auto _ : state) {
    nodes.queue_frames();
    state.SetIterationTime(seconds_of([&] {
      for (NTCAN_HANDLE h : handles) {
        int32_t len = kFrames;
        canTake(h, out.data(), &len);
      }
      benchmark::ClobberMemory();
    }));
  }
  per_node(state, n);
}

void BM_DriverTakeIdle(benchmark::State& state) {
  const int n = int(state.range(0));
  Nodes nodes(n);
  if (!nodes.ok()) state.SkipWithError("registration failed");
  std::vector<NTCAN_HANDLE> handles;
  for (size_t k = 0; k < nodes.size(); ++k) handles.push_back(nodes.handle(k));
  std::vector<CMSG> out(kFrames);
  for (auto _ : state) {
    for (NTCAN_HANDLE h : handles) {
      int32_t len = kFrames;
      canTake(h, out.data(), &len);
    }
    benchmark::ClobberMemory();
  }
  per_node(state, n);
}

// The same bytes copied from one node-sized block to another, node by node.
void BM_PlainCopy(benchmark::State& state) {
  const int n = int(state.range(0));
  std::vector<CMSG> src = numbered_frames(n), dst(src.size());
  for (auto _ : state) {
    copy_nodes(src, dst, n);
  }
  per_node(state, n);
  state.SetBytesProcessed(int64_t(state.iterations()) * n * kFrames * int64_t(sizeof(CMSG)));
}

// The plain copy under the cycle's conditions: the same frames are queued
// first (untimed), so the caches are in the same state as before a cycle.
void BM_PlainCopyQueued(benchmark::State& state) {
  const int n = int(state.range(0));
  Nodes nodes(n);
  std::vector<CMSG> src = numbered_frames(n), dst(src.size());
  for (auto _ : state) {
    nodes.queue_frames();
    state.SetIterationTime(seconds_of([&] { copy_nodes(src, dst, n); }));
  }
  per_node(state, n);
}

// The cycle and the plain copy timed in the same iterations, so that both
// see the same state of a shared machine: the frames are queued (untimed),
// then both run, in alternating order so that neither always finds the
// caches as the other left them. Reports both costs per node and their
// ratio; the iteration time is the cycle's.
void BM_LoopingFullVsCopy(benchmark::State& state) {
  const int n = int(state.range(0));
  Nodes nodes(n);
  if (!nodes.ok()) state.SkipWithError("registration failed");
  std::vector<CMSG> src = numbered_frames(n), dst(src.size());
  double loop_s = 0, copy_s = 0;
  bool copy_first = true;
  for (auto _ : state) {
    nodes.queue_frames();
    auto copy = [&] { copy_nodes(src, dst, n); };
    auto loop = [] { can_looping(); };
    double t_copy, t_loop;
    if (copy_first) {
      t_copy = seconds_of(copy);
      t_loop = seconds_of(loop);
    } else {
      t_loop = seconds_of(loop);
      t_copy = seconds_of(copy);
    }
    copy_first = !copy_first;
    loop_s += t_loop;
    copy_s += t_copy;
    state.SetIterationTime(t_loop);
  }
  const double per = double(state.iterations()) * n;
  state.counters["loop_ns"] = loop_s * 1e9 / per;
  state.counters["copy_ns"] = copy_s * 1e9 / per;
  state.counters["ratio"] = copy_s > 0 ? loop_s / copy_s : 0;
}

}  // namespace

BENCHMARK(BM_PlainCopy)->Arg(1)->Arg(100)->Arg(2540);
BENCHMARK(BM_PlainCopyQueued)->Arg(1)->Arg(100)->Arg(2540)->UseManualTime();
BENCHMARK(BM_LoopingIdle)->Arg(1)->Arg(100)->Arg(2540);
BENCHMARK(BM_LoopingFull)->Arg(1)->Arg(100)->Arg(2540)->UseManualTime();
BENCHMARK(BM_LoopingFullVsCopy)->Arg(1)->Arg(100)->Arg(2540)->UseManualTime();
BENCHMARK(BM_DriverTakeIdle)->Arg(1)->Arg(100)->Arg(2540);
BENCHMARK(BM_DriverTakeFull)->Arg(1)->Arg(100)->Arg(2540)->UseManualTime();

BENCHMARK_MAIN();
