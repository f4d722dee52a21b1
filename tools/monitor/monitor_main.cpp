// monitor_main.cpp - zuntal_monitor: every frame of one net in candump
// notation, optionally with its CANopen meaning.
//
//   zuntal_monitor --gateway 127.0.0.1:29200 --net 0 --decode
//   zuntal_monitor --device 5:examples/zps48.eds --send 000#0100 --decode
//
// With --gateway the net is reached through a zuntal_gateway; without it the
// net is the in-process simulated bus, which only carries what --device
// devices and --send frames put on it.
#include <signal.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <chrono>
#include <iostream>
#include <memory>

#include "candump.h"
#include "ntcan.h"
#include "ntcan_ctl.h"
#include "sim_bus.h"
#include "zuntal_version.h"

namespace {

std::atomic<bool> g_stop{false};

extern "C" void on_signal(int) {
  g_stop = true;
}

int64_t wall_us() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

int main(int argc, char** argv) {
  std::string gateway;
  int net = 0;
  int remote_net = -1;
  std::vector<std::string> devices, sends;
  bool decode = false, timestamp = false;
  long long count = 0;

  CLI::App app{
      "zuntal_monitor: prints every frame of a CAN net in candump notation (705#05,\n"
      "605#4008100000000000, 705#R for remote requests)."};
  app.set_version_flag("--version", "zuntal_monitor " ZUNTAL_VERSION_STRING);
  app.add_option("--gateway", gateway, "HOST:PORT of a zuntal_gateway serving the net");
  app.add_option("--net", net, "driver net to join (line - 1)")
      ->capture_default_str()
      ->check(CLI::Range(0, ntcan_ctl::kMaxNets - 1));
  app.add_option("--remote-net", remote_net, "net number on the gateway (default: --net)")
      ->check(CLI::Range(0, 255));
  app.add_option("--device", devices,
                 "host a simulated device on the in-process net: NODE:EDS or EDS (repeatable)");
  app.add_option("--send", sends,
                 "put a frame on the net after joining, e.g. 000#0100 "
                 "(repeatable)");
  app.add_flag("--decode", decode, "name what each frame means in CANopen");
  app.add_flag("--timestamp", timestamp, "prefix each frame with its time of arrival");
  app.add_option("--count", count, "stop after this many frames (0: until Ctrl-C)")
      ->check(CLI::NonNegativeNumber);
  CLI11_PARSE(app, argc, argv);

  std::vector<CMSG> to_send;
  for (const std::string& s : sends) {
    CMSG f;
    if (!candump::parse_frame(s, &f)) {
      std::cerr << "zuntal_monitor: --send: not a frame in candump notation: " << s << "\n";
      return 2;
    }
    to_send.push_back(f);
  }

  if (!gateway.empty()) {
    if (!devices.empty()) {
      std::cerr << "zuntal_monitor: --device hosts devices on the in-process net; the gateway "
                   "hosts its own\n";
      return 2;
    }
    size_t colon = gateway.rfind(':');
    int port = colon == std::string::npos ? 0 : std::atoi(gateway.c_str() + colon + 1);
    if (colon == std::string::npos || colon == 0 || port < 1 || port > 65535) {
      std::cerr << "zuntal_monitor: --gateway: expected HOST:PORT, not " << gateway << "\n";
      return 2;
    }
    ntcan_ctl::NetConfig c;
    c.kind = ntcan_ctl::NetConfig::Kind::Gateway;
    c.host = gateway.substr(0, colon);
    c.port = port;
    c.remote_net = remote_net >= 0 ? remote_net : net;
    ntcan_ctl::configure_net(net, c);
  }

  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  NTCAN_HANDLE h = -1;
  NTCAN_RESULT st = canOpen(net, 0, 10, 10000, 1000, 200, &h);
  if (st != NTCAN_SUCCESS) {
    std::cerr << "zuntal_monitor: canOpen of net " << net << " failed with status " << st << "\n";
    return 1;
  }
  for (int id = 0; id < 2048; ++id) {
    st = canIdAdd(h, id);
    if (st != NTCAN_SUCCESS && st != NTCAN_ID_ALREADY_ENABLED) {
      std::cerr << "zuntal_monitor: canIdAdd(" << id << ") failed with status " << st << "\n";
      canClose(h);
      return 1;
    }
  }

  // Devices come after the monitor has joined, so that their boot-up frames
  // are seen.
  std::unique_ptr<zsim::Bus> bus;
  if (!devices.empty()) {
    bus = std::make_unique<zsim::Bus>(net);
    std::string err;
    if (bus->add_entries(devices, &err) != 0) {
      std::cerr << "zuntal_monitor: --device: " << err << "\n";
      canClose(h);
      return 2;
    }
    bus->start_runner(1000);
  }
  long long seen = 0;
  auto print = [&](const CMSG& f, int64_t t) {
    if (f.msg_lost)
      std::cout << "# " << static_cast<int>(f.msg_lost)
                << " frame(s) lost before this one (receive queue full)\n";
    std::cout << candump::monitor_line(f, decode, t) << "\n";
    ++seen;
  };
  auto more = [&] { return count == 0 || seen < count; };
  CMSG frames[100];

  // What the devices said before the first frame of our own goes out first,
  // so that the lines keep the bus order.
  if (!to_send.empty()) {
    int32_t n = 100;
    if (canTake(h, frames, &n) == NTCAN_SUCCESS)
      for (int k = 0; k < n && more(); ++k) print(frames[k], timestamp ? wall_us() : -1);
  }
  for (CMSG& f : to_send) {
    int32_t n = 1;
    // A handle does not receive what it sends itself: the frame is printed as sent.
    st = canSend(h, &f, &n);
    if (st != NTCAN_SUCCESS)
      std::cerr << "zuntal_monitor: canSend failed with status " << st << "\n";
    else if (more())
      print(f, timestamp ? wall_us() : -1);
  }
  std::cout.flush();

  int result = 0;
  while (!g_stop && more()) {
    int32_t n = 100;
    st = canRead(h, frames, &n, nullptr);
    if (st == NTCAN_RX_TIMEOUT) continue;
    if (st != NTCAN_SUCCESS) {
      std::cerr << "zuntal_monitor: canRead failed with status " << st << "\n";
      result = 1;
      break;
    }
    const int64_t t = timestamp ? wall_us() : -1;
    for (int k = 0; k < n && more(); ++k) print(frames[k], t);
    std::cout.flush();
  }
  if (bus) bus->stop_runner();
  bus.reset();
  canClose(h);
  return result;
}
