// zuntal_gateway - a network CAN gateway on loopback: serves simulated nets,
// or nets bridged to SocketCAN interfaces, over TCP to the driver's gateway medium (and any program
// that speaks the protocol of docs/gateway.md), hosts simulated CANopen devices from EDS files, and
// has a web interface with a status page and the reset form.
#include <signal.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>
#include <vector>

#include "../common/cli_checks.h"
#include "gateway.h"
#include "zuntal_version.h"

int main(int argc, char** argv) {
  zgw::Options opt;
  int nets = 1;
  std::string net_list;
  std::vector<std::string> devices;
  std::vector<std::string> bridges;
  bool no_admin = false;

  CLI::App app{
      "ZUNTAL network CAN gateway: serves simulated CAN nets, or nets bridged to "
      "SocketCAN interfaces, over TCP"};
  app.set_version_flag("--version", "zuntal_gateway " ZUNTAL_VERSION_STRING);
  app.add_option("--listen", opt.listen, "address of the CAN service and the web interface")
      ->capture_default_str();
  app.add_option("--can-port", opt.can_port, "TCP port of the CAN service (0: any free port)")
      ->capture_default_str()
      ->check(CLI::Range(0, 65535));
  opt.socketcand_port = 29536;  // socketcand's own port
  app.add_option("--socketcand-port", opt.socketcand_port,
                 "TCP port of the socketcand service (0: any free port, -1: none)")
      ->capture_default_str()
      ->check(CLI::Range(-1, 65535));
  app.add_option("--http-port", opt.http_port,
                 "TCP port of the web interface (0: any free port, -1: none)")
      ->capture_default_str()
      ->check(CLI::Range(-1, 65535));
  auto* nets_opt = app.add_option("--nets", nets, "serve nets 0 to N-1")
                       ->capture_default_str()
                       ->check(CLI::Range(1, 32));
  app.add_option("--net", net_list, "serve these nets, e.g. 0,2,5")->excludes(nets_opt);
  app.add_option("--device", devices,
                 "host a simulated device NET:NODE:EDS (node 0: the EDS file's own); repeatable");
  app.add_option("--bridge", bridges,
                 "serve gateway net NET as a bridge to SocketCAN interface IFACE, NET:IFACE; "
                 "repeatable");
  app.add_flag("--hung", opt.hung, "start with the CAN service hung (until the next reset)");
  app.add_option("--restart-pause", opt.restart_pause_ms,
                 "milliseconds the CAN service is away on a reset")
      ->capture_default_str()
      ->check(CLI::Range(0, 600000));
  app.add_flag("--no-admin", no_admin, "refuse the /admin/hang and /admin/unhang requests");
  app.add_option("--max-clients", opt.max_clients,
                 "CAN sessions at once; further clients are refused")
      ->capture_default_str()
      ->check(CLI::Range(1, 4096));
  int idle_s = opt.idle_timeout_ms / 1000;
  app.add_option("--idle-timeout", idle_s,
                 "seconds without traffic after which a CAN session is dropped (0: never)")
      ->capture_default_str()
      ->check(CLI::Range(0, 86400));
  CLI11_PARSE(app, argc, argv);

  if (!ztools::driver_config_usable("zuntal_gateway")) return 1;

  opt.admin = !no_admin;
  opt.idle_timeout_ms = idle_s * 1000;
  std::string error;
  if (!net_list.empty()) {
    if (!zgw::parse_net_list(net_list, &opt.nets, &error)) {
      std::fprintf(stderr, "zuntal_gateway: %s\n", error.c_str());
      return 2;
    }
  } else {
    opt.nets.clear();
    for (int n = 0; n < nets; ++n) opt.nets.push_back(n);
  }
  for (const std::string& d : devices) {
    zgw::DeviceEntry entry;
    if (!zgw::parse_device(d, &entry, &error)) {
      std::fprintf(stderr, "zuntal_gateway: --device: %s\n", error.c_str());
      return 2;
    }
    opt.devices.push_back(entry);
  }

  for (const std::string& b : bridges) {
    zgw::BridgeEntry entry;
    if (!zgw::parse_bridge(b, &entry, &error)) {
      std::fprintf(stderr, "zuntal_gateway: --bridge: %s\n", error.c_str());
      return 2;
    }
    opt.bridges.push_back(entry);
  }

  // SIGINT and SIGTERM are taken by this thread alone, so every thread the
  // gateway starts inherits the blocked set.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  zgw::Gateway gw(opt);
  if (gw.start(&error) != 0) {
    std::fprintf(stderr, "zuntal_gateway: %s\n", error.c_str());
    return 1;
  }
  std::printf("zuntal_gateway: CAN service on %s:%d", opt.listen.c_str(), gw.can_port());
  if (gw.http_port() >= 0)
    std::printf(", web interface on http://%s:%d/", opt.listen.c_str(), gw.http_port());
  if (gw.socketcand_port() >= 0)
    std::printf(", socketcand service on %s:%d", opt.listen.c_str(), gw.socketcand_port());
  std::printf("%s\n", opt.hung ? " (hung)" : "");
  std::fflush(stdout);

  int sig = 0;
  sigwait(&stop_signals, &sig);
  std::printf("zuntal_gateway: stopping (signal %d)\n", sig);
  gw.stop();
  return 0;
}
