// Frames per second through a gateway net bridged to vcan0, beside the same
// through a simulated net of the same gateway, timed in the same iterations
// (the order alternating) so that both see the same state of a shared
// machine. Needs vcan0: it runs in the guest of tests/socketcan
// (docs/gateway.md says how).
//
// The gateway runs in this process, serving net 0 (simulated) and net 1
// (bridged to vcan0). Each iteration sends a burst of kBurst frames in one
// canSend and takes them at the other end:
//   Arg 0, to a session:   simulated: a handle on the gateway's own net ->
//                          session -> TCP -> client handle;
//                          bridged: a SocketCAN handle on vcan0 -> kernel ->
//                          bridge -> session -> TCP -> client handle
//   Arg 1, from a session: the same paths the other way.
// Counters: frames/s of each path, "ratio" (bridged / simulated frames per
// second) and frames lost (should be 0). The iteration time is the bridged
// burst's.
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

constexpr int kBurst = 100;
constexpr int kBase = 16;  // gateway net k is driver net kBase + k
constexpr int32_t kQueue = 65536;

struct Leg {
  NTCAN_HANDLE tx = -1;
  NTCAN_HANDLE rx = -1;
};

class Rig {
 public:
  Rig() {
    ntcan_ctl::reset();
    zgw::Options o;
    o.listen = "127.0.0.1";
    o.can_port = 0;
    o.http_port = -1;
    o.nets = {0};
    o.bridges = {{1, "vcan0"}};
    o.local_net_base = kBase;
    gw_ = std::make_unique<zgw::Gateway>(o);
    if (gw_->start(&error_) != 0) return;
    for (int net = 0; net < 2; ++net) {
      ntcan_ctl::NetConfig c;
      c.kind = ntcan_ctl::NetConfig::Kind::Gateway;
      c.host = "127.0.0.1";
      c.port = gw_->can_port();
      c.remote_net = net;
      ntcan_ctl::configure_net(net, c);
    }
    ntcan_ctl::NetConfig sc;
    sc.kind = ntcan_ctl::NetConfig::Kind::SocketCan;
    sc.ifname = "vcan0";
    ntcan_ctl::configure_net(2, sc);
    // Clients of nets 0 and 1, a handle on the gateway's simulated net, one
    // on vcan0.
    const int nets[4] = {0, 1, kBase, 2};
    for (int k = 0; k < 4; ++k) {
      if (canOpen(nets[k], 0, 200, kQueue, 1000, 1000, &h_[k]) != NTCAN_SUCCESS ||
          canIdAdd(h_[k], 0x181) != NTCAN_SUCCESS) {
        error_ = "cannot open the handles (is there a vcan0?)";
        return;
      }
    }
  }
  ~Rig() {
    for (NTCAN_HANDLE h : h_)
      if (h > 0) canClose(h);
    gw_.reset();
    ntcan_ctl::reset();
  }
  const std::string& error() const { return error_; }
  // [0] simulated, [1] bridged, for frames to (to_session) or from a session.
  Leg leg(bool to_session, bool bridged) const {
    const NTCAN_HANDLE client = h_[bridged ? 1 : 0];
    const NTCAN_HANDLE other = h_[bridged ? 3 : 2];
    return to_session ? Leg{other, client} : Leg{client, other};
  }

 private:
  std::unique_ptr<zgw::Gateway> gw_;
  NTCAN_HANDLE h_[4] = {-1, -1, -1, -1};
  std::string error_;
};

// Sends the burst on leg.tx and takes it on leg.rx; seconds, and the frames
// that did not come (within the handle's 1 s read time-out) in *lost.
double burst(const Leg& leg, std::vector<CMSG>& out, std::vector<CMSG>& in, int64_t* lost) {
  const auto t0 = std::chrono::steady_clock::now();
  int32_t n = static_cast<int32_t>(out.size());
  if (canSend(leg.tx, out.data(), &n) != NTCAN_SUCCESS) n = 0;
  int32_t got = 0;
  while (got < n) {
    int32_t k = static_cast<int32_t>(in.size());
    if (canRead(leg.rx, in.data(), &k, nullptr) != NTCAN_SUCCESS) break;
    for (int32_t i = 0; i < k; ++i) *lost += in[i].msg_lost;
    got += k;
  }
  *lost += static_cast<int64_t>(out.size()) - got;
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void BM_BridgedVsSimulated(benchmark::State& state) {
  Rig rig;
  if (!rig.error().empty()) {
    state.SkipWithError(rig.error().c_str());
    return;
  }
  const bool to_session = state.range(0) == 0;
  const Leg sim = rig.leg(to_session, false);
  const Leg bridged = rig.leg(to_session, true);
  std::vector<CMSG> out(kBurst), in(kBurst);
  for (int i = 0; i < kBurst; ++i) {
    std::memset(&out[i], 0, sizeof(CMSG));
    out[i].id = 0x181;
    out[i].len = 8;
    out[i].data[0] = static_cast<uint8_t>(i);
  }
  double sim_s = 0, bridged_s = 0;
  int64_t lost = 0;
  bool sim_first = true;
  for (auto _ : state) {
    double t_sim, t_bridged;
    if (sim_first) {
      t_sim = burst(sim, out, in, &lost);
      t_bridged = burst(bridged, out, in, &lost);
    } else {
      t_bridged = burst(bridged, out, in, &lost);
      t_sim = burst(sim, out, in, &lost);
    }
    sim_first = !sim_first;
    sim_s += t_sim;
    bridged_s += t_bridged;
    state.SetIterationTime(t_bridged);
  }
  const double frames = static_cast<double>(state.iterations()) * kBurst;
  state.counters["simulated_fps"] = sim_s > 0 ? frames / sim_s : 0;
  state.counters["bridged_fps"] = bridged_s > 0 ? frames / bridged_s : 0;
  state.counters["ratio"] = bridged_s > 0 ? sim_s / bridged_s : 0;
  state.counters["lost"] = static_cast<double>(lost);
}
BENCHMARK(BM_BridgedVsSimulated)->ArgName("from_session")->Arg(0)->Arg(1)->UseManualTime();

}  // namespace

BENCHMARK_MAIN();
