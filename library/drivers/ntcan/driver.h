// driver.h - the generic layer of the project's NTCAN driver: the registry of
// nets and handles, receive queues, faults, counters, frame records, devices
// and the timed bus. Internal to libntcan; the media see only medium.h.
//
// Locks, in the order they may nest (never the other way round):
//   Handle::ctl_mx_  ->  medium locks (e.g. the sim bus table)  ->  Handle::q_mx_
//   Net::timed_mx    ->  TimedBus::m  ->  Net::rec_mx
// Registry shard locks, Net::cfg_mx, Net::fault_mx, Net::dev_mx and the
// directories' locks are leaves: nothing else is taken while they are held.
// Device callbacks run with no driver lock held.
#ifndef NTCAN_DRIVER_H
#define NTCAN_DRIVER_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "medium.h"
#include "ntcan.h"
#include "ntcan_ctl.h"

namespace ntcan_drv {

using ntcan_ctl::kMaxNets;
using ntcan_ctl::kOpCount;
using ntcan_ctl::Op;
using Clock = std::chrono::steady_clock;

// Frames a timed net holds waiting for the bus before canSend refuses more.
constexpr size_t kTimedQueueLimit = 65536;
// Largest receive queue canOpen accepts (frames).
constexpr int32_t kMaxRxQueue = 1 << 20;
// Closed or never-issued handles whose call counters are kept.
constexpr size_t kRetiredCountersKept = 100000;

inline int op_index(Op op) {
  return static_cast<int>(op);
}

// Calls per operation of one handle. Shared between the open handle and, after
// its close, the directory of retired counters, so no call is ever lost.
struct Counters {
  std::atomic<uint64_t> n[kOpCount];
  Counters() { clear(); }
  void clear() {
    for (auto& c : n) c.store(0, std::memory_order_relaxed);
  }
};

class Net;

class Handle final : public Endpoint {
 public:
  Handle(NTCAN_HANDLE id, Net* net, int32_t rxqueuesize, int32_t txtimeout, int32_t rxtimeout);
  ~Handle();

  Net& net_state() { return *net_; }
  Counters& counters() { return *counters_; }
  const std::shared_ptr<Counters>& counters_ptr() const { return counters_; }
  Port& port() { return *port_; }
  const std::shared_ptr<Medium>& medium() const { return medium_; }
  // Attaches the medium side; called once, before the handle is published.
  void attach(std::shared_ptr<Medium> medium, std::unique_ptr<Port> port);

  bool is_open() const { return open_flag_.load(std::memory_order_acquire); }

  // Queue operations.
  void push(const CMSG* frames, int count);
  int take(CMSG* out, int max);
  // Waits up to the receive time-out for a first frame.
  NTCAN_RESULT read(CMSG* out, int max, int* got);

  // Control operations, serialised per handle.
  NTCAN_RESULT id_add(int32_t id);
  NTCAN_RESULT id_delete(int32_t id);
  NTCAN_RESULT set_baudrate(uint32_t index, uint32_t bitrate);
  // Marks the handle closed, wakes waiting readers and closes the port.
  void close();

 private:
  int take_locked(CMSG* out, int max);

  Net* const net_;
  std::shared_ptr<Counters> counters_;
  std::shared_ptr<Medium> medium_;
  std::unique_ptr<Port> port_;
  const int32_t rx_timeout_ms_;
  const int32_t tx_timeout_ms_;
  std::atomic<bool> open_flag_{true};

  std::mutex ctl_mx_;
  uint32_t baud_index_ = UINT32_MAX;  // under ctl_mx_; none set yet

  std::mutex q_mx_;
  std::condition_variable q_cv_;
  std::unique_ptr<CMSG[]> ring_;
  const uint32_t cap_;
  uint32_t head_ = 0;
  uint32_t count_ = 0;
  uint32_t lost_ = 0;  // dropped since the last take
  int waiters_ = 0;
  bool open_ = true;  // under q_mx_ (and ctl_mx_ when written)
};

// A device attached to a net.
struct Device {
  int id = 0;
  int net = 0;
  ntcan_ctl::DeviceFn fn;
  std::atomic<int> running{0};
  std::atomic<bool> detached{false};
  std::mutex m;
  std::condition_variable cv;
};
using DeviceList = std::vector<std::shared_ptr<Device>>;

// A frame waiting for its end of transmission on a timed net.
struct TimedFrame {
  CMSG frame;
  std::shared_ptr<Handle> src;     // sending handle, or null for a device
  std::shared_ptr<Medium> medium;  // medium for a device's frame
  int device = 0;
  Clock::time_point due;
};

struct TimedBus {
  std::mutex m;
  std::condition_variable cv;
  std::deque<TimedFrame> q;
  Clock::time_point bus_free{};
  uint32_t bitrate = 125000;
  bool stop = false;  // end the loop once the queue is empty
  std::thread th;
};

struct ForcedFault {
  NTCAN_RESULT status = 0;
  int count = 0;  // < 0: until cleared
};

class Net {
 public:
  int index = 0;

  // Configuration and the medium new handles open on.
  std::mutex cfg_mx;
  ntcan_ctl::NetConfig cfg;
  std::shared_ptr<Medium> medium;

  // Faults.
  std::atomic<bool> stalled{false};
  std::atomic<uint32_t> board_status{0};
  std::atomic<int32_t> status_fault{0};
  std::atomic<int32_t> open_fault{0};
  std::atomic<bool> forced_any{false};
  std::mutex fault_mx;
  ForcedFault forced[kOpCount];
  // True (with the status) when a forced fault answers this call of `op`.
  bool take_forced(Op op, NTCAN_RESULT* status);

  // Calls on the net, per operation.
  std::atomic<uint64_t> calls[kOpCount];
  void count(Op op) { calls[op_index(op)].fetch_add(1, std::memory_order_relaxed); }

  // Record of frames put on the net by canSend: a ring of the last
  // ntcan_ctl::kSentFramesKept frames.
  std::mutex rec_mx;
  std::vector<CMSG> rec;
  size_t rec_next = 0;
  void record(const CMSG* frames, int count);

  // Devices.
  std::mutex dev_mx;
  std::shared_ptr<const DeviceList> devices;
  std::atomic<int> device_count{0};
  std::shared_ptr<const DeviceList> device_snapshot();

  // Timed bus; `timed` is set while timed mode is on.
  std::mutex timed_mx;
  std::unique_ptr<TimedBus> timed;
  std::atomic<bool> timed_on{false};

  Net();
};

class Driver {
 public:
  Driver();

  Net& net(int n) { return nets_[n]; }
  static bool net_valid(int n) { return n >= 0 && n < kMaxNets; }

  // Handles.
  NTCAN_HANDLE issue_handle_value();
  void publish(const std::shared_ptr<Handle>& h);
  std::shared_ptr<Handle> lookup(NTCAN_HANDLE h);
  // Removes an open handle from the registry; null if it was not there.
  std::shared_ptr<Handle> unpublish(NTCAN_HANDLE h);
  std::vector<std::shared_ptr<Handle>> unpublish_all();
  std::vector<std::shared_ptr<Handle>> all_handles();

  // Counters.
  void count_unknown(NTCAN_HANDLE h, Op op);  // a call with a handle not open
  void count_no_net(Op op) { no_net_calls_[op_index(op)].fetch_add(1, std::memory_order_relaxed); }
  void retire_counters(NTCAN_HANDLE h, std::shared_ptr<Counters> c);
  uint64_t calls(Op op, NTCAN_HANDLE h);
  uint64_t total_calls();
  void clear_counters();

  // Frames onto the bus: from a handle (src) or from a device (src null).
  // Records canSend's frames. Answers the number of frames accepted in
  // *accepted and the status of the medium.
  NTCAN_RESULT put_on_bus(Net& net, const std::shared_ptr<Handle>& src, const CMSG* frames,
                          int count, int device, int* accepted);

  // Configuration.
  void configure_net(int n, const ntcan_ctl::NetConfig& cfg);

  // Devices.
  int attach_device(int n, ntcan_ctl::DeviceFn fn);
  void detach_device(int id);

  // Timed bus.
  void set_timed(int n, bool on, uint32_t bitrate);

  void reset();

 private:
  struct alignas(64) Shard {
    std::mutex mx;
    std::unordered_map<NTCAN_HANDLE, std::shared_ptr<Handle>> map;
  };
  static constexpr int kShards = 64;
  Shard& shard(NTCAN_HANDLE h) { return shards_[static_cast<uint32_t>(h) % kShards]; }

  void deliver_now(Net& net, Handle* src, Medium* medium, const CMSG* frames, int count, int device,
                   NTCAN_RESULT* status);
  void run_delivery(Net& net, const std::shared_ptr<Handle>& src,
                    const std::shared_ptr<Medium>& medium, const CMSG* frames, int count,
                    int device, NTCAN_RESULT* status);
  void timed_loop(Net& net, TimedBus* tb);
  // Switches timed mode off; `drop` discards frames still waiting.
  std::unique_ptr<TimedBus> stop_timed(Net& net, bool drop);
  void finish_timed(std::unique_ptr<TimedBus> tb);
  void detach(const std::shared_ptr<Device>& d);

  Net nets_[kMaxNets];
  Shard shards_[kShards];
  std::atomic<int32_t> next_handle_{1};
  std::atomic<int> next_device_{1};

  std::mutex devdir_mx_;
  std::unordered_map<int, std::shared_ptr<Device>> devdir_;

  std::mutex retired_mx_;
  std::map<NTCAN_HANDLE, std::shared_ptr<Counters>> retired_;
  std::atomic<uint64_t> no_net_calls_[kOpCount];
};

// The process-wide driver. Created at first use (which also reads the file
// named by NTCAN_CONFIG) and never destroyed, so detached threads that still
// call the driver while the process exits find it intact.
Driver& driver();

// Bit rate of a baud-rate index, or 0.
uint32_t baud_rate(uint32_t index);

// Parses a driver configuration file into (net, configuration) pairs.
// Returns 0, or -1 with a message naming the offending line.
int parse_config(const std::string& path, std::vector<std::pair<int, ntcan_ctl::NetConfig>>* out,
                 std::string* error);

}  // namespace ntcan_drv

#endif  // NTCAN_DRIVER_H
