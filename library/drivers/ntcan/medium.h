// medium.h - the seam between the driver's generic layer and the media that
// carry a net's frames. Internal to libntcan: ntcan.h does not include it and
// libZUNTAL never sees it.
//
// The generic layer (driver.cpp, ntcan_api.cpp, ctl.cpp) owns everything that is
// the same on every medium: handles and their receive queues, identifier
// filters, time-outs, call counters, forced faults, the record of sent frames,
// devices attached to a net and the timed bus. A medium only moves frames:
//
//   Medium    one object per net and configuration (a net reconfigured to an
//             equal configuration keeps its medium). open() builds the
//             medium's side of a new handle, its Port. inject() carries frames
//             that a device attached to the net puts on the bus.
//   Port      one object per handle: one TCP connection per handle for a
//             gateway, one CAN_RAW socket per handle for SocketCAN. send() puts
//             the handle's frames on the medium; id_add/id_delete/set_baudrate
//             tell the medium about the handle's settings so that it can filter
//             at the source; status() reports the interface; close() ends the
//             handle's life on the medium.
//   Endpoint  what a medium sees of the handle. receive() queues received
//             frames for the handle, applying its filter, the queue limit with
//             msg_lost accounting, and the net's stalled fault. lost() counts
//             frames the medium lost before they reached the handle (a
//             gateway dropping frames for a slow client, a kernel socket
//             buffer overflowing). fail() reports that the handle's medium
//             connection is gone or down.
//
// Adding a medium:
//   1. one source file (e.g. gateway_medium.cpp) with a class derived from
//      Medium, one derived from Port, and a factory
//        std::shared_ptr<Medium> make_gateway_medium(int net,
//                                                    const ntcan_ctl::NetConfig& cfg);
//   2. one line in make_medium() in media.cpp that calls the factory for its
//      NetConfig::Kind, and the file in CMakeLists.txt.
// A factory that returns nullptr makes canOpen on the net answer
// NTCAN_NET_NOT_FOUND; Medium::open may refuse with any status (say
// NTCAN_SOCK_HOST_NOT_FOUND when the gateway cannot be reached).
//
// Threading contract:
//   - Every Port call may come from any thread. send() may run concurrently
//     with itself and with id_add/id_delete/set_baudrate/status. The generic
//     layer serialises id_add, id_delete, set_baudrate and close of one port.
//   - The generic layer calls Port methods without holding any lock of its own
//     except the handle's control lock (for id_add, id_delete, set_baudrate,
//     close), which is never taken on the receive path. A port may therefore
//     block briefly (network round trips) and may call Endpoint::receive from
//     any thread, including from inside its own send().
//   - Endpoint::receive never calls back into the medium and never blocks for
//     long: it takes the handle's queue lock only.
//   - After Port::close() returns, the port must not call Endpoint::receive
//     again (stop or join reader threads there). A call that started before
//     the close may still reach send() or poll() afterwards; the port must
//     then do nothing and answer NTCAN_INVALID_HANDLE or success.
//   - Frames a medium receives may come from the outside world: receive()
//     drops frames with an identifier outside 0..2047 or a length above 8.
//   - A medium that has no reader thread and collects frames at take time
//     (e.g. recvmmsg on a socket) answers polled() true; canTake and canRead
//     then call poll() before taking from the queue, and canRead re-polls at
//     least every millisecond while it waits.
//   - A port whose medium connection is gone (a gateway connection closed,
//     reset or abandoned; an interface deleted) or down calls
//     Endpoint::fail(status) from any thread, its reader thread or poll()
//     included. From then on every call on the handle but canClose answers
//     that status: canTake and canRead once the frames queued before are
//     taken, a waiting canRead at once. fail(0) makes the handle work again
//     (an interface that came back up); a medium that never reconnects a
//     handle keeps the status for good. The generic layer checks the status
//     before it calls the port, so a port's own answers on a dead connection
//     matter only for calls that were under way when it died.
//   - Devices attached to a net (ntcan_ctl::attach_device) hear every frame
//     on the net exactly once. The generic layer hands them the frames of
//     the net's other devices, and the frames of local handles unless the
//     medium's wire carries those (Medium::wire_hears_handles). Frames from
//     beyond the process come from the medium: while the net has devices,
//     the generic layer gives the medium a sink (Medium::listen), which the
//     medium calls from a thread of its own, never with a lock held that
//     listen() or inject() take. Frames the devices inject reach the medium
//     through Medium::inject and must not come back through the sink. A
//     medium whose devices would hear only part of the net refuses them
//     (Medium::device_refusal).
#ifndef NTCAN_MEDIUM_H
#define NTCAN_MEDIUM_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "ntcan.h"
#include "ntcan_ctl.h"

namespace ntcan_drv {

// CAN identifiers 0..kIdCount-1 (11-bit identifiers only).
constexpr int kIdCount = 2048;

// True for a frame a handle may send or receive: identifier 0..2047, data
// length 0..8, no length bits beyond the remote-request flag.
inline bool frame_valid(const CMSG& f) {
  return f.id >= 0 && f.id < kIdCount && (f.len & ~(NTCAN_RTR | NTCAN_DLC)) == 0 &&
         (f.len & NTCAN_DLC) <= 8;
}

class Endpoint {
 public:
  Endpoint(const Endpoint&) = delete;
  Endpoint& operator=(const Endpoint&) = delete;

  NTCAN_HANDLE handle() const { return handle_; }
  int net() const { return net_; }
  // Whether the handle's filter holds `id` (0..2047; other values: false).
  bool wants(int32_t id) const {
    if (id < 0 || id >= kIdCount) return false;
    uint32_t u = static_cast<uint32_t>(id);
    return (filter_[u >> 6].load(std::memory_order_relaxed) >> (u & 63)) & 1u;
  }
  // Queues received frames for the handle. Frames whose identifier the filter
  // does not hold, or that are malformed, are skipped; a full queue drops the
  // newcomers and counts them for msg_lost. Does nothing once the handle is
  // closed or while the net is stalled. Safe from any thread.
  void receive(const CMSG* frames, int count);
  // Frames lost before they reached the handle: counted in msg_lost like the
  // queue's own drops, reported with the next frame taken. Safe from any
  // thread; nothing once the handle is closed.
  void lost(uint32_t frames);
  // The medium connection is gone or down: every call answers `status`
  // (non-zero) from now on, waiting readers wake. 0: the handle works again.
  void fail(NTCAN_RESULT status);
  // The status set with fail(), 0 while the medium is fine.
  NTCAN_RESULT failure() const;

 protected:
  Endpoint(NTCAN_HANDLE handle, int net) : handle_(handle), net_(net) {
    for (auto& w : filter_) w.store(0, std::memory_order_relaxed);
  }
  ~Endpoint() = default;

  std::atomic<uint64_t> filter_[kIdCount / 64];

 private:
  const NTCAN_HANDLE handle_;
  const int net_;
};

class Port {
 public:
  virtual ~Port() = default;
  // Puts frames (already validated) on the medium.
  virtual NTCAN_RESULT send(const CMSG* frames, int count) = 0;
  // The handle's filter gains / loses an identifier. The endpoint's filter
  // changes after a successful id_add and before id_delete.
  virtual NTCAN_RESULT id_add(int32_t id) {
    (void)id;
    return NTCAN_SUCCESS;
  }
  virtual NTCAN_RESULT id_delete(int32_t id) {
    (void)id;
    return NTCAN_SUCCESS;
  }
  // A valid baud-rate index and its bit rate in bit/s.
  virtual NTCAN_RESULT set_baudrate(uint32_t index, uint32_t bitrate) {
    (void)index;
    (void)bitrate;
    return NTCAN_SUCCESS;
  }
  // Refines the record the generic layer has filled with its defaults
  // (versions, boardid, boardstatus 0). A non-zero answer is canStatus' answer.
  virtual NTCAN_RESULT status(CAN_IF_STATUS* st) {
    (void)st;
    return NTCAN_SUCCESS;
  }
  // See "polled" in the threading contract above.
  virtual bool polled() const { return false; }
  virtual void poll() {}
  // The handle is closed: stop delivering to the endpoint, release resources.
  virtual void close() {}
};

class Medium {
 public:
  virtual ~Medium() = default;
  // Builds the port of a new handle. `ep` outlives the port.
  virtual NTCAN_RESULT open(Endpoint& ep, std::unique_ptr<Port>* port) = 0;
  // Carries frames (already validated) that a device attached to the net puts
  // on the bus to the medium's handles. A medium that cannot carry them
  // answers a status; the frames then reach only the net's other devices.
  virtual NTCAN_RESULT inject(const CMSG* frames, int count) = 0;

  // Where the frames of the outside world reach the net's devices.
  using WireSink = std::function<void(const CMSG* frames, int count)>;
  // Empty when devices can live on this medium; otherwise why not, in words
  // for the user (attach_device then refuses them).
  virtual std::string device_refusal() const { return {}; }
  // The net has devices (a sink) or has none any more (an empty sink). A
  // medium that reaches beyond this process hands the sink every frame that
  // arrives from there; the in-process bus has no such frames.
  virtual void listen(WireSink sink) { (void)sink; }
  // True when the sink also gets the frames this process's handles send (a
  // SocketCAN interface's loopback): the generic layer then leaves them out.
  virtual bool wire_hears_handles() const { return false; }
};

// media.cpp: the medium for a net's configuration, or nullptr when this build
// has none for its kind (canOpen then answers NTCAN_NET_NOT_FOUND).
std::shared_ptr<Medium> make_medium(int net, const ntcan_ctl::NetConfig& cfg);

// sim_bus.cpp: the in-process simulated bus.
std::shared_ptr<Medium> make_sim_bus(int net, const ntcan_ctl::NetConfig& cfg);

}  // namespace ntcan_drv

#endif  // NTCAN_MEDIUM_H
