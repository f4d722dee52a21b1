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
#include <benchmark/benchmark.h>

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
  Path() {
    ntcan_ctl::reset();
    zgw::Options o;
    o.listen = "127.0.0.1";
    o.can_port = 0;
    o.http_port = -1;
    o.nets = {0};
    o.local_net_base = 16;
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
    if (canOpen(0, 0, 10, kQueue, 1000, 1000, &tx_) != NTCAN_SUCCESS ||
        canOpen(0, 0, 10, kQueue, 1000, 1000, &rx_) != NTCAN_SUCCESS ||
        canIdAdd(rx_, 0x181) != NTCAN_SUCCESS)
      error_ = "cannot open the handles";
  }
  ~Path() {
    canClose(tx_);
    canClose(rx_);
    gw_.reset();
    ntcan_ctl::reset();
  }
  const std::string& error() const { return error_; }
  NTCAN_HANDLE tx() const { return tx_; }
  NTCAN_HANDLE rx() const { return rx_; }

 private:
  std::unique_ptr<zgw::Gateway> gw_;
  NTCAN_HANDLE tx_ = -1;
  NTCAN_HANDLE rx_ = -1;
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

}  // namespace

BENCHMARK_MAIN();
