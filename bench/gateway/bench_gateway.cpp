// Frames per second through the gateway on loopback: sent on one handle of a
// net served by a gateway, taken on another handle of the same net. The
// gateway runs in this process (its own threads, its own driver nets), so
// the path is handle -> TCP -> gateway -> gateway net -> gateway -> TCP ->
// handle, with every thread sharing the machine's cores.
//
// One thread sends and takes, keeping at most kWindow frames under way so
// that no queue overflows: the figure is what arrives, not what was sent.
// Args: frames per canSend call. Counters: frames/s (items_per_second) and
// frames lost on the way (should be 0).
//
// BM_SocketcandVsWire: the same path over the gateway's socketcand service
// (the driver's socketcand medium) and over its own protocol, on the same
// gateway net, timed in the same iterations in alternating order.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "gateway.h"
#include "ntcan.h"
#include "ntcan_ctl.h"

namespace {

constexpr int kWindow = 8192;
constexpr int32_t kQueue = 65536;

class Path {
 public:
  // With `socketcand`, net 1 too (its raw-mode connection carries every
  // frame of the gateway net).
  explicit Path(bool socketcand = false) {
    ntcan_ctl::reset();
    zgw::Options o;
    o.listen = "127.0.0.1";
    o.can_port = 0;
    o.http_port = -1;
    o.nets = {0};
    o.local_net_base = 16;
    o.socketcand_port = 0;
    gw_ = std::make_unique<zgw::Gateway>(o);
    std::string error;
    if (gw_->start(&error) != 0) {
      error_ = error;
      return;
    }
    ntcan_ctl::NetConfig c;
    c.kind = ntcan_ctl::NetConfig::Kind::Gateway;
    c.host = "127.0.0.1";
    c.port = gw_->can_port();
    ntcan_ctl::configure_net(0, c);
    // Net 1 reaches the same gateway net through the socketcand service.
    c.kind = ntcan_ctl::NetConfig::Kind::Socketcand;
    c.port = gw_->socketcand_port();
    c.bus = "zuntal0";
    ntcan_ctl::configure_net(1, c);
    for (int net = 0; net < (socketcand ? 2 : 1); ++net)
      if (canOpen(net, 0, 10, kQueue, 1000, 1000, &tx_[net]) != NTCAN_SUCCESS ||
          canOpen(net, 0, 10, kQueue, 1000, 1000, &rx_[net]) != NTCAN_SUCCESS ||
          canIdAdd(rx_[net], 0x181 + net) != NTCAN_SUCCESS)
        error_ = "cannot open the handles";
  }
  ~Path() {
    for (int net = 0; net < 2; ++net) {
      if (tx_[net] < 0) continue;
      canClose(tx_[net]);
      canClose(rx_[net]);
    }
    gw_.reset();
    ntcan_ctl::reset();
  }
  const std::string& error() const { return error_; }
  // Net 0: the gateway's own protocol (identifier 0x181); net 1: socketcand
  // (0x182).
  NTCAN_HANDLE tx(int net = 0) const { return tx_[net]; }
  NTCAN_HANDLE rx(int net = 0) const { return rx_[net]; }

 private:
  std::unique_ptr<zgw::Gateway> gw_;
  NTCAN_HANDLE tx_[2] = {-1, -1};
  NTCAN_HANDLE rx_[2] = {-1, -1};
  std::string error_;
};

void BM_GatewayFrames(benchmark::State& state) {
  Path path;
  if (!path.error().empty()) {
    state.SkipWithError(path.error().c_str());
    return;
  }
  const int batch = static_cast<int>(state.range(0));
  std::vector<CMSG> out(static_cast<size_t>(batch));
  for (int i = 0; i < batch; ++i) {
    std::memset(&out[i], 0, sizeof(CMSG));
    out[i].id = 0x181;
    out[i].len = 8;
  }
  std::vector<CMSG> in(1024);
  int64_t sent = 0;
  int64_t received = 0;
  int64_t lost = 0;
  auto take = [&](bool wait) {
    int32_t n = static_cast<int32_t>(in.size());
    NTCAN_RESULT st =
        wait ? canRead(path.rx(), in.data(), &n, nullptr) : canTake(path.rx(), in.data(), &n);
    if (st != NTCAN_SUCCESS) return false;
    for (int32_t i = 0; i < n; ++i) lost += in[i].msg_lost;
    received += n;
    return true;
  };
  for (auto _ : state) {
    while (sent - received + batch > kWindow) {
      if (!take(true)) {
        state.SkipWithError("frames stopped arriving");
        return;
      }
    }
    int32_t n = batch;
    if (canSend(path.tx(), out.data(), &n) != NTCAN_SUCCESS || n != batch) {
      state.SkipWithError("canSend failed");
      return;
    }
    sent += batch;
    take(false);
  }
  // What is still under way arrives before the clock stops.
  while (received + lost < sent)
    if (!take(true)) break;
  state.SetItemsProcessed(received);
  state.counters["lost"] = static_cast<double>(sent - received);
}
BENCHMARK(BM_GatewayFrames)->Arg(1)->Arg(16)->Arg(100)->UseRealTime()->MinTime(2.0);

// Sends `count` frames of identifier 0x181 + net on net `net` in calls of
// `batch` and takes them on the net's receiver; the seconds it took, or a
// negative value when frames stopped arriving.
double move_frames(const Path& path, int net, int count, int batch) {
  std::vector<CMSG> out(static_cast<size_t>(batch)), in(1024);
  for (CMSG& f : out) {
    std::memset(&f, 0, sizeof f);
    f.id = 0x181 + net;
    f.len = 8;
  }
  const auto t0 = std::chrono::steady_clock::now();
  int sent = 0, arrived = 0;
  while (arrived < count) {
    int32_t n = static_cast<int32_t>(in.size());
    const bool room = sent < count && sent - arrived + batch <= kWindow;
    if (room) {
      int32_t k = batch;
      if (canSend(path.tx(net), out.data(), &k) != NTCAN_SUCCESS) return -1;
      sent += batch;
      if (canTake(path.rx(net), in.data(), &n) != NTCAN_SUCCESS) return -1;
    } else if (canRead(path.rx(net), in.data(), &n, nullptr) != NTCAN_SUCCESS) {
      return -1;
    }
    for (int32_t i = 0; i < n; ++i) arrived += 1 + in[i].msg_lost;
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void BM_SocketcandVsWire(benchmark::State& state) {
  Path path(true);
  if (!path.error().empty()) {
    state.SkipWithError(path.error().c_str());
    return;
  }
  constexpr int kChunk = 4000;
  const int batch = static_cast<int>(state.range(0));
  double wire_s = 0, sc_s = 0;
  bool wire_first = true;
  for (auto _ : state) {
    double t[2];
    for (int k = 0; k < 2; ++k) {
      const int net = (k == 0) == wire_first ? 0 : 1;
      t[net] = move_frames(path, net, kChunk, batch);
      if (t[net] < 0) {
        state.SkipWithError("frames stopped arriving");
        return;
      }
    }
    wire_first = !wire_first;
    wire_s += t[0];
    sc_s += t[1];
    state.SetIterationTime(t[0] + t[1]);
  }
  const double frames = static_cast<double>(state.iterations()) * kChunk;
  state.counters["wire_fps"] = frames / wire_s;
  state.counters["socketcand_fps"] = frames / sc_s;
  state.counters["ratio"] = wire_s / sc_s;  // socketcand's rate against the wire protocol's
}
BENCHMARK(BM_SocketcandVsWire)->Arg(1)->Arg(16)->UseManualTime()->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
