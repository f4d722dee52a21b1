// bridge.h - a gateway net bridged to a SocketCAN interface.
//
// The net stays a simulated net of the gateway's process, where the
// sessions' handles and the hosted devices live and hear each other. The
// bridge joins it to the interface through one handle of its own on a
// second driver net configured as SocketCAN:
//   - frames from the interface are put on the net as a device puts its
//     frames (so every session whose filter takes them, and every hosted
//     device, receives them once);
//   - the bridge is attached to the net as a device, so every frame a
//     session or a hosted device sends is written to the interface once
//     (the SocketCAN handle never hears its own frames back);
//   - the interface's state is the state of the bridge's handle: down
//     (NTCAN_CONTR_OFF_BUS) until the handle finds it up again, gone
//     (NTCAN_NET_NOT_FOUND) until a new handle can be opened on an interface
//     of that name. The bridge looks again every kRetryMs.
#ifndef ZUNTAL_GATEWAY_BRIDGE_H
#define ZUNTAL_GATEWAY_BRIDGE_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "ntcan.h"

namespace zgw {

class Bridge {
 public:
  // How often a bridge whose interface is down or gone looks again.
  static constexpr int kRetryMs = 100;
  // Receive queue of the bridge's handle on the interface (frames).
  static constexpr int kQueue = 16384;

  // Bridges simulated driver net `sim_net` to interface `ifname`, through
  // driver net `can_net` (which it configures as SocketCAN).
  Bridge(int sim_net, int can_net, std::string ifname);
  ~Bridge();
  Bridge(const Bridge&) = delete;
  Bridge& operator=(const Bridge&) = delete;

  // Opens the interface and starts carrying frames. -1 with *error when
  // the interface does not exist or is no CAN interface; one that is down
  // is bridged once it is up.
  int start(std::string* error);
  void stop();

  // The interface as a handle on it sees it: NTCAN_SUCCESS (up),
  // NTCAN_CONTR_OFF_BUS (down) or NTCAN_NET_NOT_FOUND (gone).
  NTCAN_RESULT link() const { return link_.load(std::memory_order_acquire); }
  const std::string& ifname() const { return ifname_; }
  uint64_t frames_in() const { return in_.load(std::memory_order_relaxed); }
  uint64_t frames_out() const { return out_.load(std::memory_order_relaxed); }
  // Frames lost on the way: from the net while the interface could not take
  // them, and from the interface before the bridge read them.
  uint64_t frames_dropped() const { return dropped_.load(std::memory_order_relaxed); }

 private:
  NTCAN_RESULT open_interface();
  void to_interface(const CMSG& frame);
  void run();
  void pause();

  const int sim_net_;
  const int can_net_;
  const std::string ifname_;
  int device_ = -1;
  std::atomic<NTCAN_HANDLE> handle_{-1};
  std::atomic<NTCAN_RESULT> link_{NTCAN_NET_NOT_FOUND};
  std::atomic<uint64_t> in_{0};
  std::atomic<uint64_t> out_{0};
  std::atomic<uint64_t> dropped_{0};
  std::mutex mx_;
  std::condition_variable cv_;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace zgw

#endif  // ZUNTAL_GATEWAY_BRIDGE_H
