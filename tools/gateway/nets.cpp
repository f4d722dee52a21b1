// nets.cpp - the nets a gateway serves: driver nets of its own process,
// each with an observer that counts every frame on it, the bridges of nets
// bridged to SocketCAN interfaces, and the simulated devices hosted on them.
#include <algorithm>

#include "ntcan_ctl.h"
#include "service.h"
#include "sim_bus.h"

namespace zgw {

NetState* Core::find_net(int net) {
  for (auto& n : nets)
    if (n->net == net) return n.get();
  return nullptr;
}

int Core::setup_nets(std::string* error) {
  std::vector<int> wanted = opt.nets;
  for (const BridgeEntry& b : opt.bridges) wanted.push_back(b.net);
  std::sort(wanted.begin(), wanted.end());
  wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
  if (wanted.empty()) {
    if (error) *error = "no net to serve";
    return -1;
  }
  for (int n : wanted) {
    const int local = opt.local_net_base + n;
    if (n < 0 || n > 255 || local < 0 || local >= ntcan_ctl::kMaxNets) {
      if (error) *error = "net " + std::to_string(n) + " cannot be served by this driver";
      drop_nets();
      return -1;
    }
    auto ns = std::make_unique<NetState>();
    ns->net = n;
    ns->local_net = local;
    // The nets a gateway serves are simulated nets of its own process,
    // whatever a driver configuration file may have said about them.
    ntcan_ctl::configure_net(local, ntcan_ctl::NetConfig{});
    // Counting starts before the devices are added: their boot-up frames
    // are on the net too.
    NetState* p = ns.get();
    p->observer = ntcan_ctl::attach_device(
        local, [p](const CMSG&) { p->on_bus.fetch_add(1, std::memory_order_relaxed); });
    nets.push_back(std::move(ns));
  }
  // The bridges come before the devices, so that the devices' boot-up
  // frames reach the interface.
  std::vector<bool> used(ntcan_ctl::kMaxNets, false);
  for (const auto& ns : nets) used[static_cast<size_t>(ns->local_net)] = true;
  for (const BridgeEntry& b : opt.bridges) {
    NetState* ns = find_net(b.net);
    if (ns->bridge) {
      if (error) *error = "net " + std::to_string(b.net) + " is bridged twice";
      drop_nets();
      return -1;
    }
    int can_net = ntcan_ctl::kMaxNets - 1;
    while (can_net >= 0 && used[static_cast<size_t>(can_net)]) --can_net;
    if (can_net < 0) {
      if (error) *error = "no driver net left to bridge net " + std::to_string(b.net);
      drop_nets();
      return -1;
    }
    used[static_cast<size_t>(can_net)] = true;
    ns->bridge = std::make_unique<Bridge>(ns->local_net, can_net, b.ifname);
    std::string why;
    if (ns->bridge->start(&why) != 0) {
      if (error) *error = "bridge of net " + std::to_string(b.net) + ": " + why;
      drop_nets();
      return -1;
    }
  }
  for (const DeviceEntry& d : opt.devices) {
    NetState* ns = find_net(d.net);
    if (!ns) {
      if (error) *error = "device on net " + std::to_string(d.net) + ", which is not served";
      drop_nets();
      return -1;
    }
    if (!ns->bus) ns->bus = std::make_unique<zsim::Bus>(ns->local_net);
    std::string why;
    if (!ns->bus->add(d.node, d.eds, &why)) {
      if (error)
        *error =
            "device " + std::to_string(d.node) + " on net " + std::to_string(d.net) + ": " + why;
      drop_nets();
      return -1;
    }
  }
  return 0;
}

void Core::start_devices() {
  for (auto& ns : nets)
    if (ns->bus) ns->bus->start_runner();
}

// The bridges go first, then the devices, then the nets' frame counters.
void Core::drop_nets() {
  for (auto& ns : nets) {
    ns->bridge.reset();
    ns->bus.reset();
    if (ns->observer > 0) ntcan_ctl::detach_device(ns->observer);
  }
  nets.clear();
}

}  // namespace zgw
