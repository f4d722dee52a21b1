// status.cpp - the gateway's status snapshot, behind the status page and
// /status.json (rendered in web.cpp and status_json.cpp).
#include "service.h"
#include "sim_bus.h"
#include "web.h"

namespace zgw {
namespace {

const char* state_name(zsim::NmtState s) {
  switch (s) {
    case zsim::NmtState::BootUp:
      return "boot-up";
    case zsim::NmtState::Stopped:
      return "stopped";
    case zsim::NmtState::Operational:
      return "operational";
    case zsim::NmtState::PreOperational:
      return "pre-operational";
  }
  return "?";
}

}  // namespace

Status Core::status() const {
  Status st;
  st.listen = opt.listen;
  st.can_port = listeners[0]->port;
  st.socketcand_port = listeners.size() > 1 ? listeners[1]->port.load() : -1;
  st.http_port = web ? web->port() : -1;
  st.unauthorized = unauthorized.load();
  st.max_clients = opt.max_clients;
  st.refused = refused.load();
  st.idle_dropped = idle_dropped.load();
  st.accept_failures = accept_failures.load();
  std::vector<std::shared_ptr<Session>> live;
  {
    std::lock_guard<std::mutex> lk(mx);
    st.service_up = up;
    st.hung = hung;
    st.restarts = restarts;
    st.connections = connections;
    live = sessions;
  }
  const int64_t t = now();
  for (const auto& ns : nets) {
    NetInfo ni;
    ni.net = ns->net;
    ni.local_net = ns->local_net;
    ni.frames_on_bus = ns->on_bus.load();
    ni.frames_from_clients = ns->from_clients.load();
    ni.frames_to_clients = ns->to_clients.load();
    if (const Bridge* b = ns->bridge.get()) {
      ni.medium = "socketcan";
      ni.iface = b->ifname();
      const NTCAN_RESULT link = b->link();
      ni.iface_state = link == NTCAN_SUCCESS ? "up" : link == NTCAN_CONTR_OFF_BUS ? "down" : "gone";
      ni.iface_in = b->frames_in();
      ni.iface_out = b->frames_out();
      ni.iface_dropped = b->frames_dropped();
    }
    for (const auto& s : live) {
      if (s->finished.load() || s->net.load() != ns.get()) continue;
      ClientInfo ci;
      ci.id = s->id;
      ci.peer = s->peer;
      ci.protocol = s->proto->name();
      ci.frames_in = s->in.load();
      ci.frames_out = s->out.load();
      ci.frames_lost = s->lost.load();
      ci.ids = s->ids.load();
      ci.seconds = static_cast<double>(t - s->since) / 1e9;
      ni.clients.push_back(ci);
    }
    if (ns->bus) {
      for (zsim::Device* d : ns->bus->devices()) {
        DeviceInfo di;
        di.node = d->node_id();
        di.name = d->name();
        di.state = d->powered() ? state_name(d->state()) : "off";
        di.frames_sent = d->frames_sent();
        ni.devices.push_back(di);
      }
    }
    st.nets.push_back(std::move(ni));
  }
  return st;
}

}  // namespace zgw
