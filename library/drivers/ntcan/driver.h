// driver.h - the generic layer of the project's NTCAN driver: the registry of
// nets and handles, receive queues, faults, counters, frame records, devices
// and the timed bus. Internal to libntcan; the media see only medium.h.
//
// Locks, in the order they may nest (never the other way round):
//   Handle::ctl_mx_  ->  medium locks (e.g. the sim bus table)  ->  Handle::q_mx_
//   Net::timed_mx    ->  TimedBus::m  ->  Net::rec_mx
//   Net::wire_mx     ->  Net::cfg_mx, Net::dev_mx, the device directory's
//                        lock, medium locks (Medium::listen)
// Net::cfg_mx, Net::fault_mx, Net::dev_mx, the directories' locks and the
// queue storage's lock are leaves: nothing else is taken while they are held.
// The handle table takes no lock at all. Device callbacks run with no driver
// lock held.
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
// Handles that can be open at the same time (a power of two).
constexpr uint32_t kHandleSlots = 1u << 15;

inline int op_index(Op op) {
  return static_cast<int>(op);
}

// Calls per operation of one open handle. When the handle's last user lets
// go after its close they are added to the directory of retired counters, so
// no call is ever lost.
struct Counters {
  std::atomic<uint64_t> n[kOpCount];
  Counters() { clear(); }
  void clear() {
    for (auto& c : n) c.store(0, std::memory_order_relaxed);
  }
};

// Calls per operation of a handle that is not open (closed or never issued).
struct RetiredCounts {
  uint64_t n[kOpCount] = {};
};

class Net;

// The lock of a receive queue. Its holders only copy frames, so a waiter
// spins a little and then yields. Unlike a mutex, its release is a plain
// store: a take that has just copied 100 frames lets go without waiting for
// the copy's stores to reach the cache, and the update cycle's next node
// overlaps with them.
class QueueLock {
 public:
  void lock() {
    if (!held_.exchange(true, std::memory_order_acquire)) return;
    lock_slow();
  }
  void unlock() { held_.store(false, std::memory_order_release); }

 private:
  void lock_slow();
  std::atomic<bool> held_{false};
};

// Storage of receive queues. Queues of up to 64 KiB are carved one after the
// other from 2 MiB blocks that the kernel is asked to back with huge pages:
// the queues of handles opened in a row then lie in a row, so an update cycle
// that takes from them in turn reads one stream and misses the TLB once per
// block instead of once per handle. A released queue is kept for the next
// one of its size; the blocks live as long as the process, like the driver.
// Larger queues come from the heap.
CMSG* new_ring(uint32_t frames);
void release_ring(CMSG* ring, uint32_t frames);

class Handle final : public Endpoint {
 public:
  Handle(NTCAN_HANDLE id, Net* net, int32_t rxqueuesize, int32_t rxtimeout);
  ~Handle();

  Net& net_state() { return *net_; }
  Counters& counters() { return counters_; }
  Port& port() { return *port_; }
  // Whether the port wants poll() before the queue is read.
  bool polled() const { return polled_; }
  const std::shared_ptr<Medium>& medium() const { return medium_; }
  // The first of the three cache lines every call reads, and the queue's
  // storage: prefetch hints.
  const char* hot_lines() const { return reinterpret_cast<const char*>(&counters_); }
  const char* ring_start() const { return reinterpret_cast<const char*>(ring_.get()); }
  // Attaches the medium side; called once, before the handle is published.
  void attach(std::shared_ptr<Medium> medium, std::unique_ptr<Port> port);

  bool is_open() const { return open_flag_.load(std::memory_order_acquire); }
  // The medium's failure status (Endpoint::fail), 0 while it is fine.
  NTCAN_RESULT medium_failure() const { return failure_.load(std::memory_order_acquire); }
  void set_failure(NTCAN_RESULT status);
  void add_lost(uint32_t frames);

  // Queue operations.
  void push(const CMSG* frames, int count);
  int take(CMSG* out, int max);
  // Waits up to the receive time-out for a first frame. Answers the medium's
  // failure once the queue is empty.
  NTCAN_RESULT read(CMSG* out, int max, int* got);

  // Control operations, serialised per handle.
  NTCAN_RESULT id_add(int32_t id);
  NTCAN_RESULT id_delete(int32_t id);
  NTCAN_RESULT set_baudrate(uint32_t index, uint32_t bitrate);
  // Marks the handle closed, wakes waiting readers and closes the port.
  void close();

 private:
  int take_locked(CMSG* out, int max);

  // The members an update cycle's canTake reads come first, on two adjacent
  // cache lines: the counters, then what an empty queue's answer needs. With
  // thousands of handles polled once a cycle, every further line a call
  // touches is a cache miss per handle.
  alignas(128) Counters counters_;
  Net* const net_;
  // Frames queued; written under q_mx_, read without it to answer an empty
  // queue at once.
  std::atomic<uint32_t> count_{0};
  std::atomic<bool> open_flag_{true};
  bool polled_ = false;
  // Set by the medium when its connection is gone or down; read by every
  // call, so it shares the line of the empty queue's answer.
  std::atomic<NTCAN_RESULT> failure_{0};
  const uint32_t cap_;
  // Position of the oldest frame; written under q_mx_, read without it only
  // to prefetch the frames a take is about to copy.
  std::atomic<uint32_t> head_{0};
  uint32_t lost_ = 0;  // under q_mx_; dropped since the last take
  struct RingRelease {
    uint32_t frames;
    void operator()(CMSG* ring) const { release_ring(ring, frames); }
  };
  std::unique_ptr<CMSG[], RingRelease> ring_;

  alignas(64) QueueLock q_mx_;
  std::condition_variable_any q_cv_;
  int waiters_ = 0;
  bool open_ = true;  // under q_mx_ (and ctl_mx_ when written)

  std::unique_ptr<Port> port_;
  std::shared_ptr<Medium> medium_;
  const int32_t rx_timeout_ms_;

  std::mutex ctl_mx_;
  uint32_t baud_index_ = UINT32_MAX;  // under ctl_mx_; none set yet
};

// One entry of the handle table. A handle value lives in slot
// (value & (kHandleSlots - 1)); values are never reused, so a slot's value
// tells a stale handle from the one open now.
//
// `word` holds the value in its upper 32 bits, kSlotGone and the number of
// calls using the handle now. Gone with no users means the slot is being
// filled or emptied; nobody may touch `handle` then but the thread doing it.
// The last user of a gone handle empties the slot.
constexpr uint64_t kSlotGone = uint64_t{1} << 31;
constexpr uint64_t kSlotUsers = kSlotGone - 1;

struct alignas(64) HandleSlot {
  std::atomic<uint64_t> word{0};
  // Where the handle's hot members and its queue lie, for prefetching only:
  // they may be stale and are never dereferenced.
  std::atomic<const char*> hot{nullptr};
  std::atomic<const char*> ring{nullptr};
  std::shared_ptr<Handle> handle;
};

inline void prefetch_lines(const char* p, int lines) {
  if (p == nullptr) return;
  for (int i = 0; i < lines; ++i) __builtin_prefetch(p + 64 * i);
}
// The same for lines about to be written.
inline void prefetch_lines_for_write(char* p, int lines) {
  for (int i = 0; i < lines; ++i) __builtin_prefetch(p + 64 * i, 1);
}

// A call's use of an open handle. While it lives the handle is not freed, even
// when another thread closes it meanwhile.
class HandleRef {
 public:
  HandleRef() = default;
  HandleRef(const HandleRef&) = delete;
  HandleRef& operator=(const HandleRef&) = delete;
  HandleRef(HandleRef&& o) noexcept : slot_(o.slot_) { o.slot_ = nullptr; }
  HandleRef& operator=(HandleRef&& o) noexcept {
    if (this != &o) {
      release();
      slot_ = o.slot_;
      o.slot_ = nullptr;
    }
    return *this;
  }
  ~HandleRef() { release(); }

  explicit operator bool() const { return slot_ != nullptr; }
  Handle* operator->() const { return slot_->handle.get(); }
  Handle& operator*() const { return *slot_->handle; }
  // For whatever has to keep the handle beyond this call (the timed bus).
  const std::shared_ptr<Handle>& shared() const { return slot_->handle; }

 private:
  friend class Driver;
  explicit HandleRef(HandleSlot* s) : slot_(s) {}
  inline void release();

  HandleSlot* slot_ = nullptr;
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
  // Handles published on the net and not closed yet.
  std::atomic<int> open_handles{0};

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
  // The medium the devices listen on while the net has devices (null
  // otherwise), under wire_mx; wire_id names it for the medium's thread,
  // which drops frames of a medium the devices no longer listen on.
  std::mutex wire_mx;
  std::shared_ptr<Medium> wire;
  std::atomic<const Medium*> wire_id{nullptr};

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
  // Reserves a slot for a new handle value: *value is set and the slot stays
  // invisible to lookups until publish() or abandon(). Null when the values
  // are used up or every slot is taken.
  HandleSlot* claim_slot(NTCAN_HANDLE* value);
  void publish(HandleSlot* slot, std::shared_ptr<Handle> h);
  void abandon(HandleSlot* slot);
  // The next value claimed is at least `next`.
  void skip_handle_values(NTCAN_HANDLE next);
  // A use of the open handle with value h, or an empty ref.
  HandleRef lookup(NTCAN_HANDLE h) { return use(h, false); }
  // An update cycle polls its handles one after the other, usually in the
  // order they were opened: while handle h is served, the lines of h + 1 and
  // the slot of h + 2 are fetched, so that the next call finds them at hand.
  void prefetch_after(NTCAN_HANDLE h) {
    const uint32_t u = static_cast<uint32_t>(h);
    __builtin_prefetch(&slots_[(u + 2) & (kHandleSlots - 1)]);
    const HandleSlot& next = slots_[(u + 1) & (kHandleSlots - 1)];
    prefetch_lines(next.hot.load(std::memory_order_relaxed), 3);
    prefetch_lines(next.ring.load(std::memory_order_relaxed), 2);
  }
  // Takes the handle out of the table (later lookups fail); false if another
  // thread did so first. It is freed when its last use ends.
  bool unpublish(const HandleRef& r);
  // Closes every open handle.
  void close_all();
  // Sets the medium failure of every open handle of net n.
  void fail_handles(int n, NTCAN_RESULT status);
  // Called by the last use of a gone handle.
  void free_slot(HandleSlot& s);

  // Counters.
  void count_unknown(NTCAN_HANDLE h, Op op);  // a call with a handle not open
  void count_no_net(Op op) { no_net_calls_[op_index(op)].fetch_add(1, std::memory_order_relaxed); }
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
  int attach_device(int n, ntcan_ctl::DeviceFn fn, std::string* error);
  // Empty when net n can host devices (and *medium, if given, is its
  // medium), else why not.
  std::string device_refusal(int n, std::shared_ptr<Medium>* medium = nullptr);
  void detach_device(int id);

  // Timed bus.
  void set_timed(int n, bool on, uint32_t bitrate);

  void reset();

 private:
  // A use of the handle with value h. With `gone_too`, also of a closed
  // handle that calls still use (for reading its counters).
  HandleRef use(NTCAN_HANDLE h, bool gone_too) {
    if (h <= 0) return HandleRef();
    HandleSlot& s = slots_[static_cast<uint32_t>(h) & (kHandleSlots - 1)];
    uint64_t w = s.word.load(std::memory_order_acquire);
    if ((w >> 32) == static_cast<uint32_t>(h)) {
      // Ask for the handle's lines now, before the atomic operations ahead
      // (each of which waits for the one before) would fetch them one by one.
      prefetch_lines(s.hot.load(std::memory_order_relaxed), 3);
    }
    for (;;) {
      if ((w >> 32) != static_cast<uint32_t>(h)) return HandleRef();
      // Gone with no users: being emptied, or filled for a new value.
      if ((w & kSlotGone) != 0 && (!gone_too || (w & kSlotUsers) == 0)) return HandleRef();
      if (s.word.compare_exchange_weak(w, w + 1, std::memory_order_acquire,
                                       std::memory_order_acquire))
        return HandleRef(&s);
    }
  }

  // A use of handle h also while it is gone, as long as others still use it
  // (its counters are not retired yet).
  HandleRef peek(NTCAN_HANDLE h);
  void retire_counters(NTCAN_HANDLE h, const Counters& c);

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
  // Under net.wire_mx: the devices listen on `medium` (null: on nothing).
  // Answers the medium that no longer carries them, for the caller to let go
  // of outside the lock.
  std::shared_ptr<Medium> listen_on(Net& net, std::shared_ptr<Medium> medium);
  // Frames that reached the net's devices' medium from beyond the process.
  void wire_receive(Net& net, const Medium* medium, const CMSG* frames, int count);

  Net nets_[kMaxNets];
  std::unique_ptr<HandleSlot[]> slots_;
  // The next value to issue; INT32_MAX + 1 once every value has been issued
  // (wider than a handle, so that it never wraps round to negative values).
  std::atomic<int64_t> next_handle_{1};
  // Slots holding a handle (claimed, open, or closed with calls still in it).
  std::atomic<uint32_t> slots_taken_{0};
  std::atomic<int> next_device_{1};

  std::mutex devdir_mx_;
  std::unordered_map<int, std::shared_ptr<Device>> devdir_;

  std::mutex retired_mx_;
  std::map<NTCAN_HANDLE, RetiredCounts> retired_;
  std::atomic<uint64_t> no_net_calls_[kOpCount];
};

// The process-wide driver. Created at first use (which also reads the file
// named by NTCAN_CONFIG) and never destroyed, so detached threads that still
// call the driver while the process exits find it intact.
Driver& driver();

inline void HandleRef::release() {
  if (slot_ == nullptr) return;
  uint64_t prev = slot_->word.fetch_sub(1, std::memory_order_acq_rel);
  if ((prev & kSlotGone) != 0 && (prev & kSlotUsers) == 1) driver().free_slot(*slot_);
  slot_ = nullptr;
}

// Bit rate of a baud-rate index, or 0.
uint32_t baud_rate(uint32_t index);

// Parses a driver configuration file into (net, configuration) pairs.
// Returns 0, or -1 with a message naming the offending line.
int parse_config(const std::string& path, std::vector<std::pair<int, ntcan_ctl::NetConfig>>* out,
                 std::string* error);

}  // namespace ntcan_drv

#endif  // NTCAN_DRIVER_H
