// monitor_main.cpp - zuntal_monitor: every frame of one net in candump
// notation, optionally with its CANopen meaning, or as candump's log.
//
//   zuntal_monitor --gateway 127.0.0.1:29200 --net 0 --decode
//   zuntal_monitor --device 5:examples/zps48.eds --send 000#0100 --decode
//   NTCAN_CONFIG=ntcan.conf zuntal_monitor --log > bus.log   # canplayer -I bus.log
//
// With --gateway the net is reached through a zuntal_gateway; without it the
// net is what the driver's configuration makes of it: the in-process
// simulated bus (which only carries what --device devices and --send frames
// put on it) or a SocketCAN interface, where --device devices hear every
// frame on the interface and answer other programs (a device server in
// another process). A gateway's net takes no --device: its devices live in
// the gateway.
//
// The monitor listens on a handle of its own and sends on another one, so
// its own frames reach the listener through the net like everybody else's
// and every line is printed in the order the net carried the frames. On a
// SocketCAN interface it listens with a CAN_RAW socket, as candump does, so
// that frames with 29-bit identifiers (which the driver does not carry) are
// shown too, with the kernel's time stamps.
#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

#include "../common/cli_checks.h"
#include "D_zuntal.h"
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

// A received frame, its time of arrival and how many frames were lost before it.
struct Rx {
  CMSG frame;
  int64_t time_us;
  unsigned lost;
};

class Listener {
 public:
  virtual ~Listener() = default;
  // Appends what arrived, waiting up to about 200 ms for a first frame.
  // Returns 0, or -1 with *error.
  virtual int read(std::vector<Rx>* out, std::string* error) = 0;
};

void pause_ms(int ms) {
  for (int k = 0; k < ms / 50 && !g_stop; ++k)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

// A driver handle with every 11-bit identifier enabled (simulated bus, gateway).
// A handle whose medium has gone (the gateway restarted or its connection
// dropped) is closed and the net joined again, once a second, until that
// works; the notes go to `notes`. A read that fails says so at once; a net
// that stays silent for a while is asked for its status, which fails on a
// connection that died quietly.
class DriverListener : public Listener {
 public:
  explicit DriverListener(std::ostream& notes) : notes_(notes) {}
  ~DriverListener() override {
    if (h_ > 0) canClose(h_);
  }
  int open(int net, std::string* error) {
    net_ = net;
    NTCAN_RESULT st = join(error);
    return st == NTCAN_SUCCESS ? 0 : -1;
  }
  int read(std::vector<Rx>* out, std::string* error) override {
    (void)error;
    CMSG frames[100];
    int32_t n = 100;
    NTCAN_RESULT st = canRead(h_, frames, &n, nullptr);
    if (st == NTCAN_RX_TIMEOUT) {
      if (++quiet_ < kQuietReads) return 0;
      quiet_ = 0;
      CAN_IF_STATUS status;
      st = canStatus(h_, &status);
      if (st != NTCAN_SUCCESS) rejoin(st);
      return 0;
    }
    if (st != NTCAN_SUCCESS) {
      rejoin(st);
      return 0;
    }
    quiet_ = 0;
    const int64_t t = wall_us();
    for (int k = 0; k < n; ++k) out->push_back({frames[k], t, frames[k].msg_lost});
    return 0;
  }

 private:
  static constexpr int kQuietReads = 10;  // reads of 200 ms without a frame

  NTCAN_RESULT join(std::string* error) {
    NTCAN_RESULT st = canOpen(net_, 0, 10, 10000, 1000, 200, &h_);
    if (st != NTCAN_SUCCESS) {
      h_ = -1;
      *error = "canOpen of net " + std::to_string(net_) + " failed: " + can_error_str(st);
      return st;
    }
    for (int id = 0; id < 2048; ++id) {
      st = canIdAdd(h_, id);
      if (st != NTCAN_SUCCESS && st != NTCAN_ID_ALREADY_ENABLED) {
        *error = "canIdAdd(" + std::to_string(id) + ") failed: " + can_error_str(st);
        canClose(h_);
        h_ = -1;
        return st;
      }
    }
    return NTCAN_SUCCESS;
  }

  void rejoin(NTCAN_RESULT why) {
    notes_ << "# net " << net_ << " lost (status " << why << ", " << can_error_str(why)
           << "); joining again\n";
    notes_.flush();
    canClose(h_);
    h_ = -1;
    std::string error;
    while (!g_stop && join(&error) != NTCAN_SUCCESS) pause_ms(1000);
    if (h_ > 0) notes_ << "# joined net " << net_ << " again\n";
    notes_.flush();
    quiet_ = 0;
  }

  std::ostream& notes_;
  int net_ = 0;
  NTCAN_HANDLE h_ = -1;
  int quiet_ = 0;
};

// A CAN_RAW socket on a SocketCAN interface: every frame, 11 and 29 bits,
// with the kernel's receive time and its count of frames dropped for a full
// socket buffer. An interface that goes down is waited for (the socket hears
// it again once it is up); one that is deleted is joined again, once a
// second, once it exists again. The notes go to `notes`.
class RawListener : public Listener {
 public:
  explicit RawListener(std::ostream& notes) : notes_(notes) {}
  ~RawListener() override {
    if (fd_ >= 0) ::close(fd_);
  }
  int open(const std::string& ifname, std::string* error) {
    ifname_ = ifname;
    return join(error);
  }
  int read(std::vector<Rx>* out, std::string* error) override {
    if (fd_ < 0) {
      pause_ms(1000);
      std::string why;
      if (join(&why) == 0) note("# joined " + ifname_ + " again");
      return 0;
    }
    pollfd p{fd_, POLLIN, 0};
    int r = ::poll(&p, 1, 200);
    if (r < 0 && errno != EINTR) {
      *error = std::string("poll: ") + std::strerror(errno);
      return -1;
    }
    if (r <= 0) return 0;
    for (int k = 0; k < 100; ++k) {
      can_frame cf;
      char ctrl[CMSG_SPACE(sizeof(timeval)) + CMSG_SPACE(sizeof(uint32_t))];
      iovec iov{&cf, sizeof cf};
      msghdr msg{};
      msg.msg_iov = &iov;
      msg.msg_iovlen = 1;
      msg.msg_control = ctrl;
      msg.msg_controllen = sizeof ctrl;
      ssize_t n = ::recvmsg(fd_, &msg, MSG_DONTWAIT);
      if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
        if (errno == ENETDOWN) {
          note("# " + ifname_ + " is down; its frames come again once it is up");
          return 0;
        }
        if (errno == ENODEV || errno == ENXIO) {
          note("# " + ifname_ + " is gone; joining again");
          ::close(fd_);
          fd_ = -1;
          return 0;
        }
        *error = std::string("recvmsg: ") + std::strerror(errno);
        return -1;
      }
      if (n != sizeof cf) continue;
      int64_t t = wall_us();
      uint32_t drops = dropped_;
      for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET) continue;
        if (c->cmsg_type == SO_TIMESTAMP) {
          timeval tv;
          std::memcpy(&tv, CMSG_DATA(c), sizeof tv);
          t = int64_t{tv.tv_sec} * 1000000 + tv.tv_usec;
        } else if (c->cmsg_type == SO_RXQ_OVFL) {
          std::memcpy(&drops, CMSG_DATA(c), sizeof drops);
        }
      }
      if (cf.can_id & CAN_ERR_FLAG) continue;  // error frames are not asked for
      Rx rx{};
      if (cf.can_id & CAN_EFF_FLAG)
        rx.frame.id = static_cast<int32_t>((cf.can_id & CAN_EFF_MASK) | candump::kExtendedId);
      else
        rx.frame.id = static_cast<int32_t>(cf.can_id & CAN_SFF_MASK);
      const int len = cf.can_dlc > 8 ? 8 : cf.can_dlc;
      rx.frame.len = static_cast<uint8_t>(len | ((cf.can_id & CAN_RTR_FLAG) ? NTCAN_RTR : 0));
      if (!(cf.can_id & CAN_RTR_FLAG))
        std::memcpy(rx.frame.data, cf.data, static_cast<size_t>(len));
      rx.time_us = t;
      rx.lost = drops - dropped_;
      dropped_ = drops;
      out->push_back(rx);
    }
    return 0;
  }

 private:
  int join(std::string* error) {
    const int fd = ::socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
    if (fd < 0) {
      *error = std::string("CAN_RAW socket: ") + std::strerror(errno);
      return -1;
    }
    auto fail = [&](const std::string& what) {
      *error = what + std::strerror(errno);
      ::close(fd);
      return -1;
    };
    const unsigned index = ::if_nametoindex(ifname_.c_str());
    if (index == 0) return fail("interface " + ifname_ + ": ");
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMP, &on, sizeof on);
    ::setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
    int rcvbuf = 1 << 20;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_can addr{};
    addr.can_family = AF_CAN;
    addr.can_ifindex = static_cast<int>(index);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
      return fail("bind to " + ifname_ + ": ");
    fd_ = fd;
    dropped_ = 0;
    return 0;
  }
  void note(const std::string& text) {
    notes_ << text << "\n";
    notes_.flush();
  }

  std::ostream& notes_;
  std::string ifname_;
  int fd_ = -1;
  uint32_t dropped_ = 0;
};

// "HOST:PORT" with a port of digits only, 1 to 65535.
bool parse_host_port(const std::string& s, std::string* host, int* port) {
  const size_t colon = s.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == s.size() || s.size() - colon > 6)
    return false;
  long p = 0;
  for (size_t k = colon + 1; k < s.size(); ++k) {
    if (s[k] < '0' || s[k] > '9') return false;
    p = p * 10 + (s[k] - '0');
  }
  if (p < 1 || p > 65535) return false;
  *host = s.substr(0, colon);
  *port = static_cast<int>(p);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string gateway, log_iface;
  int net = 0;
  int remote_net = -1;
  std::vector<std::string> devices, sends;
  bool decode = false, timestamp = false, log = false;
  long long count = 0;

  CLI::App app{
      "zuntal_monitor: prints every frame of a CAN net in candump notation (705#05,\n"
      "605#4008100000000000, 705#R for remote requests), or candump's log format."};
  app.set_version_flag("--version", "zuntal_monitor " ZUNTAL_VERSION_STRING);
  app.add_option("--gateway", gateway, "HOST:PORT of a zuntal_gateway serving the net");
  app.add_option("--net", net, "driver net to join (line - 1)")
      ->capture_default_str()
      ->check(CLI::Range(0, ntcan_ctl::kMaxNets - 1));
  app.add_option("--remote-net", remote_net, "net number on the gateway (default: --net)")
      ->check(CLI::Range(0, 255));
  app.add_option("--device", devices,
                 "host a simulated device on the net: NODE:EDS or EDS (repeatable)");
  app.add_option("--send", sends,
                 "put a frame on the net after joining, e.g. 000#0100 "
                 "(repeatable)");
  app.add_flag("--decode", decode, "name what each frame means in CANopen");
  app.add_flag("--timestamp", timestamp, "prefix each frame with its time of arrival");
  app.add_flag("--log", log,
               "candump's log format (candump -L): \"(seconds.micros) IFACE ID#DATA\", for "
               "canplayer and log2long");
  app.add_option("--log-iface", log_iface,
                 "interface name in the log lines (default: the SocketCAN interface, else "
                 "zuntalN for net N)");
  app.add_option("--count", count, "stop after this many frames (0: until Ctrl-C)")
      ->check(ztools::kZeroOrMore);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int rc = app.exit(e);
    return rc == 0 ? 0 : 2;  // --help is no error; a bad command line is 2, as elsewhere
  }
  if (log && decode) {
    std::cerr << "zuntal_monitor: --log writes candump's log format, which has no room for "
                 "--decode\n";
    return 2;
  }

  std::vector<CMSG> to_send;
  for (const std::string& s : sends) {
    CMSG f;
    if (!candump::parse_frame(s, &f)) {
      std::cerr << "zuntal_monitor: --send: not a frame in candump notation: " << s << "\n";
      return 2;
    }
    if (f.id & candump::kExtendedId) {
      std::cerr << "zuntal_monitor: --send: the driver sends 11-bit identifiers only: " << s
                << "\n";
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
    ntcan_ctl::NetConfig c;
    if (!parse_host_port(gateway, &c.host, &c.port)) {
      std::cerr << "zuntal_monitor: --gateway: expected HOST:PORT with a port of 1 to 65535, not "
                << gateway << "\n";
      return 2;
    }
    c.kind = ntcan_ctl::NetConfig::Kind::Gateway;
    c.remote_net = remote_net >= 0 ? remote_net : net;
    ntcan_ctl::configure_net(net, c);
  }
  const ntcan_ctl::NetConfig medium = ntcan_ctl::net_config(net);
  if (!devices.empty()) {
    // A device the net cannot carry would talk without hearing.
    const std::string why = ntcan_ctl::device_refusal(net);
    if (!why.empty()) {
      std::cerr << "zuntal_monitor: --device: " << why << "\n";
      return 2;
    }
  }
  if (log_iface.empty())
    log_iface = medium.kind == ntcan_ctl::NetConfig::Kind::SocketCan
                    ? medium.ifname
                    : "zuntal" + std::to_string(net);

  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::string err;
  std::unique_ptr<Listener> listener;
  if (medium.kind == ntcan_ctl::NetConfig::Kind::SocketCan) {
    auto raw = std::make_unique<RawListener>(log ? std::cerr : std::cout);
    if (raw->open(medium.ifname, &err) != 0) {
      std::cerr << "zuntal_monitor: " << err << "\n";
      return 1;
    }
    listener = std::move(raw);
  } else {
    // Notes about a lost net would break candump's log format: stderr then.
    auto drv = std::make_unique<DriverListener>(log ? std::cerr : std::cout);
    if (drv->open(net, &err) != 0) {
      std::cerr << "zuntal_monitor: " << err << "\n";
      return 1;
    }
    listener = std::move(drv);
  }

  // The sending handle; only needed for --send and --device (the devices
  // answer what the process's handles send).
  NTCAN_HANDLE tx = -1;
  if (!to_send.empty()) {
    NTCAN_RESULT st = canOpen(net, 0, 10, 10, 1000, 200, &tx);
    if (st != NTCAN_SUCCESS) {
      std::cerr << "zuntal_monitor: canOpen of net " << net << " failed: " << can_error_str(st)
                << "\n";
      return 1;
    }
  }

  // Devices come after the listener has joined, so that their boot-up frames
  // are seen.
  std::unique_ptr<zsim::Bus> bus;
  if (!devices.empty()) {
    bus = std::make_unique<zsim::Bus>(net);
    if (bus->add_entries(devices, &err) != 0) {
      std::cerr << "zuntal_monitor: --device: " << err << "\n";
      if (tx >= 0) canClose(tx);
      return 2;
    }
    bus->start_runner();
  }

  long long seen = 0;
  auto print = [&](const Rx& rx) {
    if (rx.lost) {
      // A comment line would break candump's log format: the note goes to
      // standard error there.
      (log ? std::cerr : std::cout)
          << "# " << rx.lost << " frame(s) lost before this one (receive queue full)\n";
    }
    if (log)
      std::cout << candump::log_line(rx.frame, log_iface, rx.time_us) << "\n";
    else
      std::cout << candump::monitor_line(rx.frame, decode, timestamp ? rx.time_us : -1) << "\n";
    ++seen;
  };
  auto more = [&] { return count == 0 || seen < count; };

  for (CMSG& f : to_send) {
    int32_t n = 1;
    NTCAN_RESULT st = canSend(tx, &f, &n);
    if (st != NTCAN_SUCCESS)
      std::cerr << "zuntal_monitor: canSend of " << candump::format_frame(f)
                << " failed: " << can_error_str(st) << "\n";
  }

  int result = 0;
  std::vector<Rx> got;
  while (!g_stop && more()) {
    got.clear();
    if (listener->read(&got, &err) != 0) {
      std::cerr << "zuntal_monitor: " << err << "\n";
      result = 1;
      break;
    }
    for (size_t k = 0; k < got.size() && more(); ++k) print(got[k]);
    std::cout.flush();
  }
  if (bus) bus->stop_runner();
  bus.reset();
  listener.reset();
  if (tx >= 0) canClose(tx);
  return result;
}
