// Decoding a mapped TPDO (four entries: INTEGER32, UNSIGNED16, INTEGER8,
// UNSIGNED8) by its mapping beside a hand-written decode of the same frames,
// paired: the variants in the same iterations, their order rotating. The
// hand-written decode runs twice: into the same typed values the mapped one
// gives ("ratio"), and into a plain struct of four fields ("ratio_plain").
#include <benchmark/benchmark.h>

#include <cstdint>
#include <ctime>
#include <vector>

#include "D_zuntal.h"

namespace {

constexpr int kFrames = 1024;

// The thread's CPU seconds f takes: on a shared machine a batch that loses
// its core for a while would otherwise count the wait.
template <typename F>
double seconds_of(F&& f) {
  timespec a, b;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &a);
  f();
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &b);
  return double(b.tv_sec - a.tv_sec) + double(b.tv_nsec - a.tv_nsec) * 1e-9;
}

struct Hand {
  int32_t position;
  uint16_t status;
  int8_t torque;
  uint8_t mode;
};

void BM_DecodeMappedVsHand(benchmark::State& state) {
  pdo_map m;
  m.number = 1;
  m.entries = {{0x6064, 0, 32, PDO_INTEGER32, "position"},
               {0x6041, 0, 16, PDO_UNSIGNED16, "status"},
               {0x6077, 0, 8, PDO_INTEGER8, "torque"},
               {0x6061, 0, 8, PDO_UNSIGNED8, "mode"}};
  std::vector<CMSG> frames(kFrames);
  for (int i = 0; i < kFrames; ++i) {
    frames[i].len = 8;
    for (int b = 0; b < 8; ++b) frames[i].data[b] = uint8_t(i * 31 + b * 7);
  }
  std::vector<pdo_value> mapped(4 * kFrames);
  std::vector<Hand> hand(kFrames);
  const pdo_decoder decoder(m);  // what the update cycle keeps per TPDO
  auto by_map = [&] {
    for (int i = 0; i < kFrames; ++i)
      decoder.decode(frames[i].data, frames[i].len, &mapped[4 * size_t(i)]);
    benchmark::DoNotOptimize(mapped.data());
  };
  auto by_hand = [&] {
    for (int i = 0; i < kFrames; ++i) {
      const uint8_t* d = frames[i].data;
      Hand& h = hand[size_t(i)];
      h.position = int32_t(uint32_t(d[0]) | uint32_t(d[1]) << 8 | uint32_t(d[2]) << 16 |
                           uint32_t(d[3]) << 24);
      h.status = uint16_t(d[4] | d[5] << 8);
      h.torque = int8_t(d[6]);
      h.mode = d[7];
    }
    benchmark::DoNotOptimize(hand.data());
  };
  // The same hand-written decode into the values the mapped decode gives.
  auto by_hand_values = [&] {
    for (int i = 0; i < kFrames; ++i) {
      const uint8_t* d = frames[i].data;
      pdo_value* v = &mapped[4 * size_t(i)];
      v[0] = pdo_value::of_int(PDO_INTEGER32, int32_t(uint32_t(d[0]) | uint32_t(d[1]) << 8 |
                                                      uint32_t(d[2]) << 16 | uint32_t(d[3]) << 24));
      v[1] = pdo_value::of_uint(PDO_UNSIGNED16, uint16_t(d[4] | d[5] << 8));
      v[2] = pdo_value::of_int(PDO_INTEGER8, int8_t(d[6]));
      v[3] = pdo_value::of_uint(PDO_UNSIGNED8, d[7]);
    }
    benchmark::DoNotOptimize(mapped.data());
  };
  double map_s = 0, hand_s = 0, values_s = 0;
  int turn = 0;
  for (auto _ : state) {
    // Each of the three orders in turn.
    double tm = 0, th = 0, tv = 0;
    switch (turn) {
      case 0:
        tm = seconds_of(by_map), th = seconds_of(by_hand), tv = seconds_of(by_hand_values);
        break;
      case 1:
        th = seconds_of(by_hand), tv = seconds_of(by_hand_values), tm = seconds_of(by_map);
        break;
      default:
        tv = seconds_of(by_hand_values), tm = seconds_of(by_map), th = seconds_of(by_hand);
        break;
    }
    turn = (turn + 1) % 3;
    map_s += tm;
    hand_s += th;
    values_s += tv;
    state.SetIterationTime(tm);
  }
  const double per = double(state.iterations()) * kFrames;
  state.counters["mapped_ns"] = map_s * 1e9 / per;
  state.counters["hand_ns"] = hand_s * 1e9 / per;
  state.counters["hand_values_ns"] = values_s * 1e9 / per;
  state.counters["ratio"] = values_s > 0 ? map_s / values_s : 0;
  state.counters["ratio_plain"] = hand_s > 0 ? map_s / hand_s : 0;
}

}  // namespace

BENCHMARK(BM_DecodeMappedVsHand)->UseManualTime();

BENCHMARK_MAIN();
