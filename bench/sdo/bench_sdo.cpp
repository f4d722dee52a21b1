// segSdoRead of a 63-byte object (one initiate exchange and 9 segments, 20
// frames of 8 data bytes) from a simulated device made from an example EDS:
//   - on an untimed net, where the device answers at once: the library's own
//     cost per transfer (wall and CPU time);
//   - on a timed net at 125 kbit/s, where each frame occupies the bus for
//     47 + 8 * 8 = 111 bits: the transfer against the bus limit of
//     20 * 111 bits = 17.76 ms ("ratio" in the output).
// And the identity read (get_manufacture) of a 70,000-byte manufacturer
// device name on the timed net: the child shows 63 characters, so the
// transfer stops after the 9 segments that fill them and aborts the rest
// (one initiate exchange, 9 segment exchanges and the abort request: 21
// frames, 18.6 ms of bus time), instead of taking the 10,000 segments of
// the whole object.
// segSdoWrite of 63 bytes is timed the same two ways (the same 20 frames).
// Block against segmented: a 4,096-byte upload and download by SDO block
// transfer and by segmented transfer, timed in the same iterations in
// alternating order, on a timed net at 125 kbit/s and at 1 Mbit/s. The
// block transfer is put against the bus limit of the frames it needs
// (upload: initiate pair, start, 586 segments, one acknowledgement per
// sub-block of 64, end pair = 601 frames; download: initiate pair, 586
// segments, one acknowledgement per sub-block of 127, end pair = 595), and
// against the segmented transfer of the same object (1,174 frames).
// The real framework clock is used: the answer waits are never exhausted.
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "D_zuntal.h"
#include "ntcan_ctl.h"
#include "sim_device.h"

namespace {

constexpr int kNode = 5;
constexpr int kObjectBytes = 63;
constexpr int kFrames = 20;
constexpr int kBitsPerFrame = 47 + 8 * 8;
constexpr uint16_t kWriteIndex = 0x2100;

// One device and one registered node property on one line.
struct Setup {
  Setup(int line, bool timed) : loc("BENCH" + std::to_string(line)) {
    const int net = line - 1;
    if (timed) ntcan_ctl::set_timed(net, true, 6);  // 125 kbit/s
    std::string err;
    device =
        zsim::Device::from_file(net, kNode, std::string(ZUNTAL_EXAMPLES_DIR) + "/zps48.eds", &err);
    if (!device || device->power_on() != 0) {
      error = "device: " + err;
      return;
    }
    std::string text;
    for (int k = 0; k < kObjectBytes; ++k) text += static_cast<char>('A' + k % 26);
    device->write_text(0x1008, 0, text);
    device->write_object(kWriteIndex, 0, {});  // a read-write DOMAIN for the downloads
    node.reset(new D_can("NODE", &loc));
    *node->value() = IIII{line, kNode, 0, 0};
    if (node->init(0x580 + kNode) != 0) error = "registration failed";
  }
  EqFct loc;
  std::unique_ptr<zsim::Device> device;
  std::unique_ptr<D_can> node;
  std::string error;
};

// Built once and kept until the process ends: the lines' supervision
// threads live as long as the process.
Setup& setup(bool timed) {
  static Setup* untimed = new Setup(1, false);
  static Setup* timed_net = new Setup(2, true);
  return timed ? *timed_net : *untimed;
}

// Runs `transfer` once per iteration on the node of an untimed or a timed
// net; on the timed one the wall time per transfer is put against the bus
// limit of its 20 frames.
template <typename Transfer>
void run_transfers(benchmark::State& state, bool timed, Transfer transfer) {
  Setup& s = setup(timed);
  if (!s.error.empty()) {
    state.SkipWithError(s.error.c_str());
    return;
  }
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    if (!transfer(s)) {
      state.SkipWithError("transfer failed");
      return;
    }
  }
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kObjectBytes);
  if (timed) {
    const double limit = kFrames * kBitsPerFrame / 125000.0;
    state.counters["bus_limit_ms"] = limit * 1e3;
    state.counters["ratio"] = wall / static_cast<double>(state.iterations()) / limit;
  }
}

void read_object(benchmark::State& state, bool timed) {
  char buf[64];
  run_transfers(state, timed, [&buf](Setup& s) {
    int len = 0;
    const int r = s.node->segSdoRead(kNode, 0x1008, 0, buf, kObjectBytes, &len);
    benchmark::DoNotOptimize(buf);
    return r == 0 && len == kObjectBytes;
  });
}

// get_manufacture of a 70,000-byte object on a timed net at 125 kbit/s.
void BM_IdentityRead70000_Timed125k(benchmark::State& state) {
  constexpr int kLine = 4;  // net 3
  constexpr int kLongBytes = 70000;
  static Setup* s = new Setup(kLine, true);
  if (!s->error.empty()) {
    state.SkipWithError(s->error.c_str());
    return;
  }
  std::string text;
  for (int k = 0; k < kLongBytes; ++k) text += static_cast<char>('A' + k % 26);
  s->device->write_text(0x1008, 0, text);
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    if (s->node->get_manufacture() != 0) {
      state.SkipWithError("identity read failed");
      return;
    }
  }
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double limit = (kFrames + 1) * kBitsPerFrame / 125000.0;
  state.counters["bus_limit_ms"] = limit * 1e3;
  state.counters["ratio"] = wall / static_cast<double>(state.iterations()) / limit;
}

// The same 20 frames as 10 request/answer pairs through plain driver calls
// (a busy-polled canTake, a device that answers each request at once): what
// the timed bus itself adds to the bus limit, without the library.
void BM_DriverPingPong20_Timed125k(benchmark::State& state) {
  constexpr int kNet = 2;  // line 3
  ntcan_ctl::set_timed(kNet, true, 6);
  int dev = 0;
  dev = ntcan_ctl::attach_device(kNet, [&dev](const CMSG& f) {
    CMSG a = f;
    a.id = 0x580 + kNode;
    ntcan_ctl::inject(kNet, &a, 1, dev);
  });
  NTCAN_HANDLE h = -1;
  if (canOpen(kNet, 0, 10, 100, 1000, 1000, &h) != 0 || canIdAdd(h, 0x580 + kNode) != 0) {
    state.SkipWithError("driver set-up failed");
    return;
  }
  CMSG req{};
  req.id = 0x600 + kNode;
  req.len = 8;
  CMSG rx[100];
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    for (int k = 0; k < kFrames / 2; ++k) {
      int32_t one = 1;
      canSend(h, &req, &one);
      int32_t n = 0;
      do {
        n = 100;
        canTake(h, rx, &n);
        if (n == 0) std::this_thread::yield();  // as the library's answer wait does
      } while (n == 0);
    }
  }
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double limit = kFrames * kBitsPerFrame / 125000.0;
  state.counters["ratio"] = wall / static_cast<double>(state.iterations()) / limit;
  canClose(h);
  ntcan_ctl::detach_device(dev);
}

// segSdoWrite of 63 bytes: the initiate exchange and 9 segment exchanges,
// the same 20 frames as the upload.
void write_object(benchmark::State& state, bool timed) {
  char data[kObjectBytes];
  for (int k = 0; k < kObjectBytes; ++k) data[k] = static_cast<char>('a' + k % 26);
  run_transfers(state, timed, [&data](Setup& s) {
    return s.node->segSdoWrite(kNode, kWriteIndex, 0, data, kObjectBytes) == 0;
  });
}

void BM_SegSdoWrite63_Immediate(benchmark::State& state) {
  write_object(state, false);
}
void BM_SegSdoWrite63_Timed125k(benchmark::State& state) {
  write_object(state, true);
}

void BM_SegSdoRead63_Immediate(benchmark::State& state) {
  read_object(state, false);
}
void BM_SegSdoRead63_Timed125k(benchmark::State& state) {
  read_object(state, true);
}

BENCHMARK(BM_SegSdoRead63_Immediate)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SegSdoRead63_Timed125k)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SegSdoWrite63_Immediate)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SegSdoWrite63_Timed125k)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_IdentityRead70000_Timed125k)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DriverPingPong20_Timed125k)->Unit(benchmark::kMillisecond)->UseRealTime();

// ---- block against segmented ----------------------------------------------

constexpr int kBlockObject = 4096;
constexpr int kBlockSegments = (kBlockObject + 6) / 7;  // 586

// One device and node per line, shared by the upload and download
// benchmarks of that line; the net is timed at `baud_index`.
Setup* timed_setup(int line, int baud_index) {
  static Setup* setups[8] = {};
  Setup*& s = setups[line];
  if (!s) {
    s = new Setup(line, false);
    ntcan_ctl::set_timed(line - 1, true, baud_index);
  }
  return s;
}

// Runs `block` and `segmented` once per iteration, in alternating order, on
// a node of a timed net at `baud_index`; the iteration time is the block
// transfer's. `block_frames` is what the block protocol needs.
template <typename Block, typename Segmented>
void block_vs_segmented(benchmark::State& state, int line, int baud_index, int block_frames,
                        Block block, Segmented segmented) {
  Setup* s = timed_setup(line, baud_index);
  if (!s->error.empty()) {
    state.SkipWithError(s->error.c_str());
    return;
  }
  std::vector<uint8_t> obj(kBlockObject);
  for (int k = 0; k < kBlockObject; ++k) obj[static_cast<size_t>(k)] = static_cast<uint8_t>(k * 7);
  s->device->write_object(kWriteIndex, 0, obj);
  auto seconds_of = [](auto f) {
    const auto t0 = std::chrono::steady_clock::now();
    const bool ok = f();
    const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return ok ? t : -1.0;
  };
  double block_s = 0, seg_s = 0;
  bool block_first = true;
  for (auto _ : state) {
    double tb, ts;
    if (block_first) {
      tb = seconds_of([&] { return block(*s); });
      ts = seconds_of([&] { return segmented(*s); });
    } else {
      ts = seconds_of([&] { return segmented(*s); });
      tb = seconds_of([&] { return block(*s); });
    }
    if (tb < 0 || ts < 0) {
      state.SkipWithError("transfer failed");
      return;
    }
    block_first = !block_first;
    block_s += tb;
    seg_s += ts;
    state.SetIterationTime(tb);
  }
  const double rate = ntcan_ctl::baud_index_rate(baud_index);
  const double limit = block_frames * kBitsPerFrame / rate;
  const double n = static_cast<double>(state.iterations());
  state.counters["block_ms"] = block_s / n * 1e3;
  state.counters["seg_ms"] = seg_s / n * 1e3;
  state.counters["bus_limit_ms"] = limit * 1e3;
  state.counters["vs_bus_limit"] = block_s / n / limit;
  state.counters["vs_segmented"] = seg_s > 0 ? block_s / seg_s : 0;
}

void block_upload(benchmark::State& state, int line, int baud_index) {
  static std::vector<char> buf(kBlockObject);
  const int acks = (kBlockSegments + 63) / 64;
  auto read = [](bool block) {
    return [block](Setup& s) {
      int len = 0;
      const int r =
          block ? s.node->blockSdoRead(kNode, kWriteIndex, 0, buf.data(), kBlockObject, &len)
                : s.node->segSdoRead(kNode, kWriteIndex, 0, buf.data(), kBlockObject, &len);
      return r == 0 && len == kBlockObject;
    };
  };
  block_vs_segmented(state, line, baud_index, 5 + kBlockSegments + acks, read(true), read(false));
}

void block_download(benchmark::State& state, int line, int baud_index) {
  static std::vector<char> data(kBlockObject, 'd');
  const int acks = (kBlockSegments + 126) / 127;
  auto write = [](bool block) {
    return [block](Setup& s) {
      return (block ? s.node->blockSdoWrite(kNode, kWriteIndex, 0, data.data(), kBlockObject)
                    : s.node->segSdoWrite(kNode, kWriteIndex, 0, data.data(), kBlockObject)) == 0;
    };
  };
  block_vs_segmented(state, line, baud_index, 4 + kBlockSegments + acks, write(true), write(false));
}

// The bus alone: `frames` 8-byte frames sent at once from one handle and
// taken on another, on a timed net at `baud_index` (net 6, line 7): how
// close the timed bus itself comes to its bus limit when it streams.
void BM_DriverStream_Timed(benchmark::State& state) {
  constexpr int kNet = 6;
  const int frames = static_cast<int>(state.range(0));
  const int baud_index = static_cast<int>(state.range(1));
  ntcan_ctl::set_timed(kNet, true, baud_index);
  NTCAN_HANDLE tx = -1, rx = -1;
  if (canOpen(kNet, 0, 10, 100, 1000, 1000, &tx) != 0 ||
      canOpen(kNet, 0, 10, 2000, 1000, 1000, &rx) != 0 || canIdAdd(rx, 0x585) != 0) {
    state.SkipWithError("driver set-up failed");
    return;
  }
  std::vector<CMSG> out(static_cast<size_t>(frames));
  for (CMSG& f : out) {
    f = CMSG{};
    f.id = 0x585;
    f.len = 8;
  }
  CMSG in[100];
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    int32_t n = frames;
    canSend(tx, out.data(), &n);
    for (int got = 0; got < frames;) {
      int32_t k = 100;
      canTake(rx, in, &k);
      got += k;
      if (k == 0) std::this_thread::yield();
    }
  }
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double limit = frames * kBitsPerFrame / double(ntcan_ctl::baud_index_rate(baud_index));
  state.counters["ratio"] = wall / static_cast<double>(state.iterations()) / limit;
  canClose(tx);
  canClose(rx);
}
BENCHMARK(BM_DriverStream_Timed)
    ->Args({601, 6})
    ->Args({601, 0})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Lines 5 and 6 (nets 4 and 5): 125 kbit/s (index 6) and 1 Mbit/s (index 0).
void BM_BlockVsSegmentedRead4096_Timed125k(benchmark::State& state) {
  block_upload(state, 5, 6);
}
void BM_BlockVsSegmentedRead4096_Timed1M(benchmark::State& state) {
  block_upload(state, 6, 0);
}
void BM_BlockVsSegmentedWrite4096_Timed125k(benchmark::State& state) {
  block_download(state, 5, 6);
}
void BM_BlockVsSegmentedWrite4096_Timed1M(benchmark::State& state) {
  block_download(state, 6, 0);
}

BENCHMARK(BM_BlockVsSegmentedRead4096_Timed125k)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK(BM_BlockVsSegmentedRead4096_Timed1M)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK(BM_BlockVsSegmentedWrite4096_Timed125k)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK(BM_BlockVsSegmentedWrite4096_Timed1M)->Unit(benchmark::kMillisecond)->UseManualTime();

}  // namespace

BENCHMARK_MAIN();
