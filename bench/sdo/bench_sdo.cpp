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
// The real framework clock is used: the answer waits are never exhausted.
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

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

}  // namespace

BENCHMARK_MAIN();
