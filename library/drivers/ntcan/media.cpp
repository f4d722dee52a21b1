// media.cpp - which medium serves a net of a given configuration.
//
// One line per kind. A kind without a medium in this build answers nullptr, so
// canOpen on such a net answers NTCAN_NET_NOT_FOUND.
#include "medium.h"

namespace ntcan_drv {

// medium_gateway.cpp: a net served by a network CAN gateway over TCP.
std::shared_ptr<Medium> make_gateway_medium(int net, const ntcan_ctl::NetConfig& cfg);
// medium_socketcan.cpp: a net carried by a Linux SocketCAN interface.
std::shared_ptr<Medium> make_socketcan_medium(int net, const ntcan_ctl::NetConfig& cfg);
// medium_socketcand.cpp: a net served by a socketcand server over TCP.
std::shared_ptr<Medium> make_socketcand_medium(int net, const ntcan_ctl::NetConfig& cfg);

std::shared_ptr<Medium> make_medium(int net, const ntcan_ctl::NetConfig& cfg) {
  using Kind = ntcan_ctl::NetConfig::Kind;
  switch (cfg.kind) {
    case Kind::Sim:
      return make_sim_bus(net, cfg);
    case Kind::SocketCan:
      return make_socketcan_medium(net, cfg);
    case Kind::Gateway:
      return make_gateway_medium(net, cfg);
    case Kind::Socketcand:
      return make_socketcand_medium(net, cfg);
    case Kind::Absent:
      return nullptr;
  }
  return nullptr;
}

}  // namespace ntcan_drv
