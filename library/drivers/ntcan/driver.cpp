// driver.cpp - the generic layer: handles and their queues, the registry, the
// path of a frame onto the bus (record, timed bus, medium, devices), devices,
// counters and reset.
#include "driver.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define NTCAN_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define NTCAN_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define NTCAN_POISON(p, n) ((void)(p), (void)(n))
#define NTCAN_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace ntcan_drv {
namespace {

// Frames whose delivery was asked for from inside a delivery on this thread
// (a device answering from its callback). They are delivered after the frame
// being delivered now, in the order asked, by the outermost delivery: bus
// order is kept and device chains never recurse.
struct PendingDelivery {
  Net* net;
  std::shared_ptr<Handle> src;
  std::shared_ptr<Medium> medium;
  int device;
  std::vector<CMSG> frames;
};
thread_local int tl_depth = 0;
thread_local std::deque<PendingDelivery> tl_pending;

// Devices whose callback runs on this thread now (innermost last), so that a
// device detached from inside a callback does not wait for itself.
thread_local std::vector<const Device*> tl_in_callback;

CMSG clean(const CMSG& f) {
  CMSG c = f;
  c.msg_lost = 0;
  c.reserved[0] = 0;
  c.reserved[1] = 0;
  return c;
}

void call_device(Device& d, const CMSG& frame) {
  d.running.fetch_add(1);
  if (!d.detached.load()) {
    tl_in_callback.push_back(&d);
    try {
      d.fn(frame);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "ntcan: device %d on net %d threw: %s\n", d.id, d.net, e.what());
    } catch (...) {
      std::fprintf(stderr, "ntcan: device %d on net %d threw\n", d.id, d.net);
    }
    tl_in_callback.pop_back();
  }
  d.running.fetch_sub(1);
  if (d.detached.load()) {
    std::lock_guard<std::mutex> lk(d.m);
    d.cv.notify_all();
  }
}

// Bits a frame occupies on the bus: 47 bits of frame overhead plus 8 per data
// byte; a remote request carries no data.
uint32_t frame_bits(const CMSG& f) {
  if (f.len & NTCAN_RTR) return 47;
  return 47 + 8u * (f.len & NTCAN_DLC);
}

bool same_config(const ntcan_ctl::NetConfig& a, const ntcan_ctl::NetConfig& b) {
  using Kind = ntcan_ctl::NetConfig::Kind;
  if (a.kind != b.kind) return false;
  switch (a.kind) {
    case Kind::Gateway:
      return a.host == b.host && a.port == b.port && a.remote_net == b.remote_net;
    case Kind::SocketCan:
      return a.ifname == b.ifname;
    default:
      return true;
  }
}

}  // namespace

// ---- Receive queue storage -----------------------------------------------------

namespace {
constexpr size_t kRingBlock = size_t(2) << 20;
constexpr size_t kRingCarvedMax = size_t(64) << 10;

// Bytes a carved queue of `frames` frames takes: whole cache lines, so that
// every queue starts on a line of its own.
size_t ring_bytes(uint32_t frames) {
  return (size_t(frames) * sizeof(CMSG) + 63) & ~size_t(63);
}

class RingStore {
 public:
  CMSG* get(uint32_t frames);
  void put(CMSG* ring, uint32_t frames);

 private:
  std::mutex mx_;
  std::map<size_t, std::vector<char*>> free_;  // kept queues, by size
  char* next_ = nullptr;                       // the uncarved rest of the current block
  size_t left_ = 0;
};

RingStore& ring_store() {
  static RingStore* store = new RingStore;  // never destroyed, like the driver
  return *store;
}
}  // namespace

void QueueLock::lock_slow() {
  int spins = 0;
  do {
    while (held_.load(std::memory_order_relaxed)) {
      if (spins < 64) {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
        ++spins;
      } else {
        std::this_thread::yield();
      }
    }
  } while (held_.exchange(true, std::memory_order_acquire));
}

CMSG* RingStore::get(uint32_t frames) {
  const size_t bytes = ring_bytes(frames);
  if (bytes > kRingCarvedMax) return new CMSG[frames];
  char* p;
  {
    std::lock_guard<std::mutex> g(mx_);
    std::vector<char*>& kept = free_[bytes];
    if (!kept.empty()) {
      p = kept.back();
      kept.pop_back();
    } else {
      if (left_ < bytes) {
        void* block = nullptr;
        if (posix_memalign(&block, kRingBlock, kRingBlock) != 0) throw std::bad_alloc();
        // Only a hint: without huge pages the queues still lie in a row.
        (void)madvise(block, kRingBlock, MADV_HUGEPAGE);
        next_ = static_cast<char*>(block);
        left_ = kRingBlock;
        NTCAN_POISON(next_, left_);
      }
      p = next_;
      next_ += bytes;
      left_ -= bytes;
    }
  }
  NTCAN_UNPOISON(p, bytes);
  return new (p) CMSG[frames];
}

void RingStore::put(CMSG* ring, uint32_t frames) {
  if (ring == nullptr) return;
  const size_t bytes = ring_bytes(frames);
  if (bytes > kRingCarvedMax) {
    delete[] ring;
    return;
  }
  // Poisoned while kept, so that a use after the handle is gone is reported
  // under the address sanitizer as it would be for heap memory.
  NTCAN_POISON(ring, bytes);
  std::lock_guard<std::mutex> g(mx_);
  free_[bytes].push_back(reinterpret_cast<char*>(ring));
}

CMSG* new_ring(uint32_t frames) {
  return ring_store().get(frames);
}

void release_ring(CMSG* ring, uint32_t frames) {
  ring_store().put(ring, frames);
}

// ---- Handle ------------------------------------------------------------------

void Endpoint::receive(const CMSG* frames, int count) {
  static_cast<Handle*>(this)->push(frames, count);
}

void Endpoint::lost(uint32_t frames) {
  static_cast<Handle*>(this)->add_lost(frames);
}

void Endpoint::fail(NTCAN_RESULT status) {
  static_cast<Handle*>(this)->set_failure(status);
}

NTCAN_RESULT Endpoint::failure() const {
  return static_cast<const Handle*>(this)->medium_failure();
}

void Handle::set_failure(NTCAN_RESULT status) {
  if (failure_.load(std::memory_order_relaxed) == status) return;
  bool wake;
  {
    // Under the queue lock, so a reader between its check and its wait
    // cannot miss the wake-up.
    std::lock_guard<QueueLock> lk(q_mx_);
    failure_.store(status, std::memory_order_release);
    wake = waiters_ > 0;
  }
  if (wake) q_cv_.notify_all();
}

void Handle::add_lost(uint32_t frames) {
  if (frames == 0) return;
  std::lock_guard<QueueLock> lk(q_mx_);
  if (!open_) return;
  lost_ = frames > UINT32_MAX - lost_ ? UINT32_MAX : lost_ + frames;
}

Handle::Handle(NTCAN_HANDLE id, Net* net, int32_t rxqueuesize, int32_t rxtimeout)
    : Endpoint(id, net->index),
      net_(net),
      cap_(static_cast<uint32_t>(rxqueuesize)),
      ring_(new_ring(static_cast<uint32_t>(rxqueuesize)),
            RingRelease{static_cast<uint32_t>(rxqueuesize)}),
      rx_timeout_ms_(rxtimeout) {}

Handle::~Handle() {
  // A handle that never got published (canOpen failed late) still has to
  // leave its medium.
  if (port_ && open_) port_->close();
}

void Handle::attach(std::shared_ptr<Medium> medium, std::unique_ptr<Port> port) {
  medium_ = std::move(medium);
  port_ = std::move(port);
  polled_ = port_->polled();
}

void Handle::push(const CMSG* frames, int count) {
  // Nothing reaches a stalled net's handles, nor a handle whose medium failed.
  if (count <= 0 || net_->stalled.load(std::memory_order_relaxed) ||
      failure_.load(std::memory_order_relaxed) != NTCAN_SUCCESS)
    return;
  bool wake;
  {
    std::lock_guard<QueueLock> lk(q_mx_);
    if (!open_) return;
    uint32_t n = count_.load(std::memory_order_relaxed);
    for (int i = 0; i < count; ++i) {
      const CMSG& f = frames[i];
      if (!frame_valid(f) || !wants(f.id)) continue;
      if (n == cap_) {
        if (lost_ != UINT32_MAX) ++lost_;
        continue;
      }
      uint32_t pos = head_.load(std::memory_order_relaxed) + n;
      if (pos >= cap_) pos -= cap_;
      CMSG& d = ring_[pos];
      d = f;
      d.msg_lost = 0;
      d.reserved[0] = 0;
      d.reserved[1] = 0;
      ++n;
    }
    count_.store(n, std::memory_order_relaxed);
    wake = waiters_ > 0;
  }
  if (wake) q_cv_.notify_all();
}

namespace {
// Lines prefetched at the start of a copy.
constexpr int kKickLines = 4;

// Cache lines spanned by `frames` frames.
int lines_of(uint32_t frames) {
  return static_cast<int>((frames * sizeof(CMSG) + 63) / 64);
}
}  // namespace

int Handle::take_locked(CMSG* out, int max) {
  const uint32_t n = count_.load(std::memory_order_relaxed);
  uint32_t k = std::min(n, static_cast<uint32_t>(max));
  if (k == 0) return 0;
  uint32_t head = head_.load(std::memory_order_relaxed);
  uint32_t first = std::min(k, cap_ - head);
  std::memcpy(out, &ring_[head], first * sizeof(CMSG));
  if (k > first) std::memcpy(out + first, &ring_[0], (k - first) * sizeof(CMSG));
  head += k;
  if (head >= cap_) head -= cap_;
  head_.store(head, std::memory_order_relaxed);
  count_.store(n - k, std::memory_order_relaxed);
  if (lost_ != 0) {
    out[0].msg_lost = static_cast<uint8_t>(std::min<uint32_t>(lost_, 255));
    lost_ = 0;
  }
  return static_cast<int>(k);
}

int Handle::take(CMSG* out, int max) {
  // An empty queue answers without the lock: most handles of an update cycle
  // have nothing new. A loss waits for the next frame taken, so an empty
  // queue has none to report.
  const uint32_t n = count_.load(std::memory_order_relaxed);
  if (n == 0) return is_open() ? 0 : -1;
  // The first lines of the frames, and of the caller's lines they go to, load
  // while the lock is taken: the lock's atomic operations would otherwise
  // wait for the copy's first misses. The hardware follows the rest of a
  // sequential copy once it has started; asking for every line costs more
  // instructions than it saves when the frames are in the cache.
  const uint32_t head = head_.load(std::memory_order_relaxed);
  const uint32_t k = std::min(n, static_cast<uint32_t>(max));
  const uint32_t first = std::min(k, cap_ - head);
  prefetch_lines(reinterpret_cast<const char*>(&ring_[head]),
                 std::min(lines_of(first), kKickLines));
  if (k > first) prefetch_lines(ring_start(), std::min(lines_of(k - first), kKickLines));
  prefetch_lines_for_write(reinterpret_cast<char*>(out), std::min(lines_of(k), kKickLines));
  std::lock_guard<QueueLock> lk(q_mx_);
  if (!open_) return -1;
  return take_locked(out, max);
}

NTCAN_RESULT Handle::read(CMSG* out, int max, int* got) {
  const bool polled = polled_;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(rx_timeout_ms_);
  std::unique_lock<QueueLock> lk(q_mx_);
  for (;;) {
    if (polled) {
      lk.unlock();
      port_->poll();
      lk.lock();
    }
    if (!open_) {
      *got = 0;
      return NTCAN_INVALID_HANDLE;
    }
    int k = take_locked(out, max);
    if (k > 0) {
      *got = k;
      return NTCAN_SUCCESS;
    }
    const NTCAN_RESULT failed = failure_.load(std::memory_order_acquire);
    if (failed != NTCAN_SUCCESS) {
      *got = 0;
      return failed;
    }
    Clock::time_point now = Clock::now();
    if (now >= deadline) {
      *got = 0;
      return NTCAN_RX_TIMEOUT;
    }
    Clock::time_point until = deadline;
    if (polled) until = std::min(deadline, now + std::chrono::milliseconds(1));
    ++waiters_;
    q_cv_.wait_until(lk, until);
    --waiters_;
  }
}

NTCAN_RESULT Handle::id_add(int32_t id) {
  std::lock_guard<std::mutex> c(ctl_mx_);
  if (!open_) return NTCAN_INVALID_HANDLE;
  if (wants(id)) return NTCAN_ID_ALREADY_ENABLED;
  NTCAN_RESULT st = port_->id_add(id);
  if (st != NTCAN_SUCCESS) return st;
  uint32_t u = static_cast<uint32_t>(id);
  filter_[u >> 6].fetch_or(uint64_t{1} << (u & 63), std::memory_order_relaxed);
  return NTCAN_SUCCESS;
}

NTCAN_RESULT Handle::id_delete(int32_t id) {
  std::lock_guard<std::mutex> c(ctl_mx_);
  if (!open_) return NTCAN_INVALID_HANDLE;
  if (!wants(id)) return NTCAN_ID_NOT_ENABLED;
  uint32_t u = static_cast<uint32_t>(id);
  filter_[u >> 6].fetch_and(~(uint64_t{1} << (u & 63)), std::memory_order_relaxed);
  NTCAN_RESULT st = port_->id_delete(id);
  if (st != NTCAN_SUCCESS) {
    // The medium kept the identifier: so does the filter.
    filter_[u >> 6].fetch_or(uint64_t{1} << (u & 63), std::memory_order_relaxed);
  }
  return st;
}

NTCAN_RESULT Handle::set_baudrate(uint32_t index, uint32_t bitrate) {
  std::lock_guard<std::mutex> c(ctl_mx_);
  if (!open_) return NTCAN_INVALID_HANDLE;
  NTCAN_RESULT st = port_->set_baudrate(index, bitrate);
  if (st == NTCAN_SUCCESS) baud_index_ = index;
  return st;
}

void Handle::close() {
  std::lock_guard<std::mutex> c(ctl_mx_);
  {
    std::lock_guard<QueueLock> lk(q_mx_);
    if (!open_) return;
    open_ = false;
  }
  open_flag_.store(false, std::memory_order_release);
  q_cv_.notify_all();
  if (port_) port_->close();
}

// ---- Net ---------------------------------------------------------------------

Net::Net() {
  for (auto& c : calls) c.store(0, std::memory_order_relaxed);
}

bool Net::take_forced(Op op, NTCAN_RESULT* status) {
  if (!forced_any.load(std::memory_order_acquire)) return false;
  std::lock_guard<std::mutex> lk(fault_mx);
  ForcedFault& f = forced[op_index(op)];
  if (f.count == 0) return false;
  *status = f.status;
  if (f.count > 0 && --f.count == 0) {
    bool any = false;
    for (const auto& g : forced) any = any || g.count != 0;
    forced_any.store(any, std::memory_order_release);
  }
  return true;
}

void Net::record(const CMSG* frames, int count) {
  std::lock_guard<std::mutex> lk(rec_mx);
  for (int i = 0; i < count; ++i) {
    if (rec.size() < ntcan_ctl::kSentFramesKept) {
      rec.push_back(clean(frames[i]));
    } else {
      rec[rec_next] = clean(frames[i]);
      if (++rec_next == ntcan_ctl::kSentFramesKept) rec_next = 0;
    }
  }
}

std::shared_ptr<const DeviceList> Net::device_snapshot() {
  std::lock_guard<std::mutex> lk(dev_mx);
  return devices;
}

// ---- Driver: handles -----------------------------------------------------------

Driver::Driver() : slots_(new HandleSlot[kHandleSlots]) {
  for (int i = 0; i < kMaxNets; ++i) {
    nets_[i].index = i;
    nets_[i].medium = make_medium(i, nets_[i].cfg);
  }
  for (auto& c : no_net_calls_) c.store(0, std::memory_order_relaxed);
}

HandleSlot* Driver::claim_slot(NTCAN_HANDLE* value) {
  // Values go up; value v lives in slot v % kHandleSlots, so a value whose
  // slot is still taken is skipped. The free slot is found first and only
  // then are values taken from the counter: a refused open (every slot
  // taken) uses up no value, however often it is tried.
  constexpr uint32_t kMask = kHandleSlots - 1;
  while (true) {
    if (slots_taken_.load(std::memory_order_acquire) >= kHandleSlots) return nullptr;
    int64_t next = next_handle_.load();
    if (next > INT32_MAX) return nullptr;  // every value has been issued
    const uint32_t base = static_cast<uint32_t>(next) & kMask;
    int64_t skip = -1;
    for (uint32_t k = 0; k < kHandleSlots; ++k) {
      if (slots_[(base + k) & kMask].word.load(std::memory_order_relaxed) == 0) {
        skip = k;
        break;
      }
    }
    if (skip < 0) return nullptr;  // taken meanwhile
    const int64_t v = next + skip;
    if (v > INT32_MAX) return nullptr;  // the free slot's next value is past the last
    // The value is this call's once the counter has moved past it.
    if (!next_handle_.compare_exchange_weak(next, v + 1)) continue;
    HandleSlot& s = slots_[static_cast<uint32_t>(v) & kMask];
    uint64_t free_word = 0;
    if (s.word.compare_exchange_strong(free_word,
                                       (uint64_t{static_cast<uint32_t>(v)} << 32) | kSlotGone,
                                       std::memory_order_acquire, std::memory_order_relaxed)) {
      slots_taken_.fetch_add(1, std::memory_order_acq_rel);
      *value = static_cast<NTCAN_HANDLE>(v);
      return &s;
    }
    // Another open with a smaller value took the slot in between; v stays
    // unused and the search starts again.
  }
}

void Driver::publish(HandleSlot* slot, std::shared_ptr<Handle> h) {
  slot->hot.store(h->hot_lines(), std::memory_order_relaxed);
  slot->ring.store(h->ring_start(), std::memory_order_relaxed);
  h->net_state().open_handles.fetch_add(1, std::memory_order_relaxed);
  slot->handle = std::move(h);
  uint64_t w = slot->word.load(std::memory_order_relaxed);
  slot->word.store(w & ~(kSlotGone | kSlotUsers), std::memory_order_release);
}

void Driver::skip_handle_values(NTCAN_HANDLE next) {
  int64_t cur = next_handle_.load();
  while (cur < next && !next_handle_.compare_exchange_weak(cur, int64_t{next})) {
  }
}

void Driver::abandon(HandleSlot* slot) {
  slot->word.store(0, std::memory_order_release);
  slots_taken_.fetch_sub(1, std::memory_order_acq_rel);
}

bool Driver::unpublish(const HandleRef& r) {
  HandleSlot& s = *r.slot_;
  uint64_t w = s.word.load(std::memory_order_acquire);
  do {
    if ((w & kSlotGone) != 0) return false;
  } while (!s.word.compare_exchange_weak(w, w | kSlotGone, std::memory_order_acq_rel,
                                         std::memory_order_acquire));
  s.handle->net_state().open_handles.fetch_sub(1, std::memory_order_relaxed);
  return true;
}

HandleRef Driver::peek(NTCAN_HANDLE h) {
  return use(h, true);
}

void Driver::free_slot(HandleSlot& s) {
  // The last use of a gone handle: nobody else can reach the slot now.
  const auto value = static_cast<NTCAN_HANDLE>(s.word.load(std::memory_order_relaxed) >> 32);
  std::shared_ptr<Handle> h = std::move(s.handle);
  s.hot.store(nullptr, std::memory_order_relaxed);
  s.ring.store(nullptr, std::memory_order_relaxed);
  retire_counters(value, h->counters());
  s.word.store(0, std::memory_order_release);
  slots_taken_.fetch_sub(1, std::memory_order_acq_rel);
  // `h` may be the last owner: the handle goes here, outside the slot.
}

void Driver::close_all() {
  std::vector<HandleRef> closing;
  for (uint32_t i = 0; i < kHandleSlots; ++i) {
    uint64_t w = slots_[i].word.load(std::memory_order_acquire);
    if (w == 0) continue;
    HandleRef r = lookup(static_cast<NTCAN_HANDLE>(w >> 32));
    if (r && unpublish(r)) closing.push_back(std::move(r));
  }
  for (auto& r : closing) r->close();
}

void Driver::fail_handles(int n, NTCAN_RESULT status) {
  for (uint32_t i = 0; i < kHandleSlots; ++i) {
    uint64_t w = slots_[i].word.load(std::memory_order_acquire);
    if (w == 0) continue;
    HandleRef r = lookup(static_cast<NTCAN_HANDLE>(w >> 32));
    if (r && r->net() == n) r->set_failure(status);
  }
}

// ---- Driver: counters ----------------------------------------------------------

void Driver::count_unknown(NTCAN_HANDLE h, Op op) {
  count_no_net(op);
  std::lock_guard<std::mutex> lk(retired_mx_);
  ++retired_[h].n[op_index(op)];
  while (retired_.size() > kRetiredCountersKept) retired_.erase(retired_.begin());
}

void Driver::retire_counters(NTCAN_HANDLE h, const Counters& c) {
  std::lock_guard<std::mutex> lk(retired_mx_);
  // Calls that came after the close (counted as unknown) are already there.
  RetiredCounts& r = retired_[h];
  for (int i = 0; i < kOpCount; ++i) r.n[i] += c.n[i].load(std::memory_order_relaxed);
  while (retired_.size() > kRetiredCountersKept) retired_.erase(retired_.begin());
}

uint64_t Driver::calls(Op op, NTCAN_HANDLE h) {
  // Held until the sum is made, so the handle cannot retire its counters in
  // between and be counted twice or not at all.
  HandleRef r = peek(h);
  uint64_t sum = r ? r->counters().n[op_index(op)].load(std::memory_order_relaxed) : 0;
  std::lock_guard<std::mutex> lk(retired_mx_);
  auto it = retired_.find(h);
  if (it != retired_.end()) sum += it->second.n[op_index(op)];
  return sum;
}

uint64_t Driver::total_calls() {
  uint64_t sum = 0;
  for (auto& n : nets_)
    for (auto& c : n.calls) sum += c.load(std::memory_order_relaxed);
  for (auto& c : no_net_calls_) sum += c.load(std::memory_order_relaxed);
  return sum;
}

void Driver::clear_counters() {
  for (uint32_t i = 0; i < kHandleSlots; ++i) {
    uint64_t w = slots_[i].word.load(std::memory_order_acquire);
    if (w == 0) continue;
    if (HandleRef r = peek(static_cast<NTCAN_HANDLE>(w >> 32))) r->counters().clear();
  }
  {
    std::lock_guard<std::mutex> lk(retired_mx_);
    retired_.clear();
  }
  for (auto& n : nets_)
    for (auto& c : n.calls) c.store(0, std::memory_order_relaxed);
  for (auto& c : no_net_calls_) c.store(0, std::memory_order_relaxed);
}

// ---- Driver: frames onto the bus -------------------------------------------------

NTCAN_RESULT Driver::put_on_bus(Net& net, const std::shared_ptr<Handle>& src, const CMSG* frames,
                                int count, int device, int* accepted) {
  std::shared_ptr<Medium> medium;
  if (!src) {
    // A device's frames go to the medium new handles open on.
    std::lock_guard<std::mutex> lk(net.cfg_mx);
    medium = net.medium;
  }
  if (net.timed_on.load(std::memory_order_acquire)) {
    std::lock_guard<std::mutex> tl(net.timed_mx);
    if (TimedBus* tb = net.timed.get()) {
      std::lock_guard<std::mutex> lk(tb->m);
      size_t room = kTimedQueueLimit - std::min(tb->q.size(), kTimedQueueLimit);
      int k = static_cast<int>(std::min<size_t>(static_cast<size_t>(count), room));
      if (src) net.record(frames, k);
      Clock::time_point t = std::max(Clock::now(), tb->bus_free);
      for (int i = 0; i < k; ++i) {
        uint64_t ns = uint64_t{frame_bits(frames[i])} * 1000000000u / tb->bitrate;
        t += std::chrono::nanoseconds(ns);
        tb->q.push_back(TimedFrame{clean(frames[i]), src, medium, device, t});
      }
      tb->bus_free = t;
      tb->cv.notify_all();
      *accepted = k;
      return k < count ? NTCAN_INSUFFICIENT_RESOURCES : NTCAN_SUCCESS;
    }
  }
  if (src) net.record(frames, count);
  NTCAN_RESULT st = NTCAN_SUCCESS;
  run_delivery(net, src, medium, frames, count, device, &st);
  *accepted = st == NTCAN_SUCCESS ? count : 0;
  return st;
}

void Driver::run_delivery(Net& net, const std::shared_ptr<Handle>& src,
                          const std::shared_ptr<Medium>& medium, const CMSG* frames, int count,
                          int device, NTCAN_RESULT* status) {
  if (tl_depth > 0) {
    tl_pending.push_back(
        PendingDelivery{&net, src, medium, device, std::vector<CMSG>(frames, frames + count)});
    *status = NTCAN_SUCCESS;
    return;
  }
  ++tl_depth;
  deliver_now(net, src.get(), medium.get(), frames, count, device, status);
  while (!tl_pending.empty()) {
    PendingDelivery p = std::move(tl_pending.front());
    tl_pending.pop_front();
    NTCAN_RESULT ignored = NTCAN_SUCCESS;
    deliver_now(*p.net, p.src.get(), p.medium.get(), p.frames.data(),
                static_cast<int>(p.frames.size()), p.device, &ignored);
  }
  --tl_depth;
}

void Driver::deliver_now(Net& net, Handle* src, Medium* medium, const CMSG* frames, int count,
                         int device, NTCAN_RESULT* status) {
  if (src) {
    // A stalled medium swallows what handles send, also frames that were
    // waiting on a timed bus when the stall began.
    if (net.stalled.load(std::memory_order_relaxed)) return;
    *status = src->port().send(frames, count);
    if (*status != NTCAN_SUCCESS) return;
    // The medium hands the handle's frames to the devices itself.
    if (src->medium() && src->medium()->wire_hears_handles()) return;
  } else if (medium) {
    // A medium that cannot carry device frames still lets the net's other
    // devices see them.
    (void)medium->inject(frames, count);
  }
  if (net.device_count.load(std::memory_order_acquire) == 0) return;
  std::shared_ptr<const DeviceList> devs = net.device_snapshot();
  if (!devs) return;
  for (int i = 0; i < count; ++i) {
    const CMSG f = clean(frames[i]);
    for (const auto& d : *devs)
      if (d->id != device) call_device(*d, f);
  }
}

// ---- Driver: configuration -------------------------------------------------------

void Driver::configure_net(int n, const ntcan_ctl::NetConfig& cfg) {
  Net& net = nets_[n];
  std::shared_ptr<Medium> old, old_wire;
  std::lock_guard<std::mutex> wl(net.wire_mx);
  std::shared_ptr<Medium> medium;
  {
    std::lock_guard<std::mutex> lk(net.cfg_mx);
    if (same_config(net.cfg, cfg)) return;
    net.cfg = cfg;
    old = std::move(net.medium);
    net.medium = make_medium(n, cfg);
    medium = net.medium;
  }
  // The net's devices move to the new medium, if it can carry them.
  if (net.device_count.load(std::memory_order_acquire) > 0) {
    const std::string why = medium ? medium->device_refusal() : "has no medium";
    if (why.empty()) {
      old_wire = listen_on(net, medium);
    } else {
      std::fprintf(stderr, "ntcan: net %d %s; the devices attached to it hear nothing now\n", n,
                   why.c_str());
      old_wire = listen_on(net, nullptr);
    }
  }
  // `old` lives on in the handles opened on it and goes with the last one.
}

// ---- Driver: devices -------------------------------------------------------------

std::string Driver::device_refusal(int n, std::shared_ptr<Medium>* medium) {
  const std::string name = "net " + std::to_string(n);
  if (!net_valid(n)) return name + " does not exist";
  Net& net = nets_[n];
  std::shared_ptr<Medium> m;
  {
    std::lock_guard<std::mutex> lk(net.cfg_mx);
    if (net.cfg.kind == ntcan_ctl::NetConfig::Kind::Absent) return name + " does not exist";
    m = net.medium;
  }
  if (!m) return name + " has no medium (canOpen answers NTCAN_NET_NOT_FOUND)";
  const std::string why = m->device_refusal();
  if (!why.empty()) return name + " " + why;
  if (medium) *medium = std::move(m);
  return {};
}

int Driver::attach_device(int n, ntcan_ctl::DeviceFn fn, std::string* error) {
  if (net_valid(n) && !fn) {
    if (error) *error = "a device needs a frame function";
    return -1;
  }
  std::shared_ptr<Medium> medium, old_wire;
  std::unique_lock<std::mutex> wl;
  if (net_valid(n)) wl = std::unique_lock<std::mutex>(nets_[n].wire_mx);
  std::string why = device_refusal(n, &medium);
  if (!why.empty()) {
    if (error) *error = std::move(why);
    return -1;
  }
  Net& net = nets_[n];
  auto d = std::make_shared<Device>();
  d->id = next_device_.fetch_add(1);
  d->net = n;
  d->fn = std::move(fn);
  {
    std::lock_guard<std::mutex> lk(devdir_mx_);
    devdir_.emplace(d->id, d);
  }
  {
    std::lock_guard<std::mutex> lk(net.dev_mx);
    auto list = std::make_shared<DeviceList>(net.devices ? *net.devices : DeviceList{});
    list->push_back(d);
    net.devices = std::move(list);
    net.device_count.fetch_add(1, std::memory_order_release);
  }
  if (net.wire != medium) old_wire = listen_on(net, medium);
  return d->id;
}

std::shared_ptr<Medium> Driver::listen_on(Net& net, std::shared_ptr<Medium> medium) {
  std::shared_ptr<Medium> old = std::move(net.wire);
  net.wire_id.store(medium.get(), std::memory_order_release);
  if (old) old->listen(nullptr);
  net.wire = std::move(medium);
  if (net.wire) {
    const Medium* id = net.wire.get();
    Net* np = &net;
    net.wire->listen(
        [this, np, id](const CMSG* frames, int count) { wire_receive(*np, id, frames, count); });
  }
  return old;
}

void Driver::wire_receive(Net& net, const Medium* medium, const CMSG* frames, int count) {
  // Frames of a medium the devices left, and frames of a stalled net, reach
  // nobody.
  if (count <= 0 || net.wire_id.load(std::memory_order_acquire) != medium ||
      net.stalled.load(std::memory_order_relaxed))
    return;
  std::vector<CMSG> valid;
  const CMSG* deliver = frames;
  int n = count;
  if (!std::all_of(frames, frames + count, frame_valid)) {
    for (int i = 0; i < count; ++i)
      if (frame_valid(frames[i])) valid.push_back(frames[i]);
    deliver = valid.data();
    n = static_cast<int>(valid.size());
    if (n == 0) return;
  }
  NTCAN_RESULT ignored = NTCAN_SUCCESS;
  run_delivery(net, nullptr, nullptr, deliver, n, 0, &ignored);
}

void Driver::detach(const std::shared_ptr<Device>& d) {
  Net& net = nets_[d->net];
  std::shared_ptr<Medium> old_wire;
  {
    std::lock_guard<std::mutex> wl(net.wire_mx);
    {
      std::lock_guard<std::mutex> lk(net.dev_mx);
      if (net.devices) {
        auto list = std::make_shared<DeviceList>();
        for (const auto& e : *net.devices)
          if (e != d) list->push_back(e);
        if (list->size() != net.devices->size())
          net.device_count.fetch_sub(1, std::memory_order_release);
        net.devices = std::move(list);
      }
    }
    // The last device gone: the medium need not listen any more.
    if (net.device_count.load(std::memory_order_acquire) == 0 && net.wire)
      old_wire = listen_on(net, nullptr);
  }
  d->detached.store(true);
  // Callbacks already running on other threads finish before detach returns;
  // one running on this thread (the device detaching itself) is not waited for.
  int mine = static_cast<int>(std::count(tl_in_callback.begin(), tl_in_callback.end(), d.get()));
  std::unique_lock<std::mutex> lk(d->m);
  d->cv.wait(lk, [&] { return d->running.load() <= mine; });
}

void Driver::detach_device(int id) {
  std::shared_ptr<Device> d;
  {
    std::lock_guard<std::mutex> lk(devdir_mx_);
    auto it = devdir_.find(id);
    if (it == devdir_.end()) return;
    d = std::move(it->second);
    devdir_.erase(it);
  }
  detach(d);
}

// ---- Driver: timed bus ------------------------------------------------------------

void Driver::set_timed(int n, bool on, uint32_t bitrate) {
  Net& net = nets_[n];
  if (!on) {
    finish_timed(stop_timed(net, false));
    return;
  }
  std::lock_guard<std::mutex> tl(net.timed_mx);
  if (!net.timed) {
    net.timed.reset(new TimedBus);
    TimedBus* tb = net.timed.get();
    tb->bitrate = bitrate;
    tb->th = std::thread([this, &net, tb] { timed_loop(net, tb); });
  } else {
    std::lock_guard<std::mutex> lk(net.timed->m);
    net.timed->bitrate = bitrate;
  }
  net.timed_on.store(true, std::memory_order_release);
}

std::unique_ptr<TimedBus> Driver::stop_timed(Net& net, bool drop) {
  std::unique_ptr<TimedBus> tb;
  {
    std::lock_guard<std::mutex> tl(net.timed_mx);
    net.timed_on.store(false, std::memory_order_release);
    tb = std::move(net.timed);
  }
  if (tb) {
    std::deque<TimedFrame> dropped;
    {
      std::lock_guard<std::mutex> lk(tb->m);
      tb->stop = true;
      if (drop) dropped.swap(tb->q);
    }
    tb->cv.notify_all();
  }
  return tb;
}

void Driver::finish_timed(std::unique_ptr<TimedBus> tb) {
  if (!tb) return;
  if (tb->th.get_id() == std::this_thread::get_id()) {
    // Timed mode switched off from a device callback on the delivery thread:
    // the loop ends by itself after this delivery; its state has to outlive it.
    tb->th.detach();
    (void)tb.release();
    return;
  }
  tb->th.join();
}

// How long before a timed frame's end the delivery thread stops sleeping.
constexpr std::chrono::microseconds kTimedSpin{300};

void Driver::timed_loop(Net& net, TimedBus* tb) {
  std::unique_lock<std::mutex> lk(tb->m);
  for (;;) {
    if (tb->q.empty()) {
      if (tb->stop) return;
      tb->cv.wait(lk);
      continue;
    }
    if (!tb->stop) {
      Clock::time_point due = tb->q.front().due;
      Clock::time_point now = Clock::now();
      if (now < due) {
        // Sleep until shortly before the frame's end, then spin the rest: a
        // condition-variable wake-up can be late by tens of microseconds, and
        // in a request-answer exchange every late frame delays the next one.
        Clock::time_point early = due - kTimedSpin;
        if (now < early) {
          tb->cv.wait_until(lk, early);
        } else {
          lk.unlock();
          while (Clock::now() < due) std::this_thread::yield();
          lk.lock();
        }
        continue;
      }
    }
    {
      TimedFrame tf = std::move(tb->q.front());
      tb->q.pop_front();
      lk.unlock();
      NTCAN_RESULT st = NTCAN_SUCCESS;
      run_delivery(net, tf.src, tf.medium, &tf.frame, 1, tf.device, &st);
    }
    lk.lock();
  }
}

// ---- Driver: reset ------------------------------------------------------------------

void Driver::reset() {
  for (auto& net : nets_) finish_timed(stop_timed(net, true));

  close_all();

  std::vector<std::shared_ptr<Device>> devices;
  {
    std::lock_guard<std::mutex> lk(devdir_mx_);
    for (auto& e : devdir_) devices.push_back(std::move(e.second));
    devdir_.clear();
  }
  for (auto& d : devices) detach(d);

  for (auto& net : nets_) {
    std::shared_ptr<Medium> old;
    {
      std::lock_guard<std::mutex> lk(net.cfg_mx);
      net.cfg = ntcan_ctl::NetConfig{};
      old = std::move(net.medium);
      net.medium = make_medium(net.index, net.cfg);
    }
    net.stalled.store(false);
    net.board_status.store(0);
    net.status_fault.store(0);
    net.open_fault.store(0);
    {
      std::lock_guard<std::mutex> lk(net.fault_mx);
      for (auto& f : net.forced) f = ForcedFault{};
      net.forced_any.store(false);
    }
    {
      std::lock_guard<std::mutex> lk(net.rec_mx);
      std::vector<CMSG>().swap(net.rec);
      net.rec_next = 0;
    }
  }
  clear_counters();
}

// ---- The process-wide driver ----------------------------------------------------------

Driver& driver() {
  static Driver* const d = [] {
    Driver* p = new Driver;
    const char* path = std::getenv("NTCAN_CONFIG");
    if (path != nullptr && *path != '\0') {
      std::vector<std::pair<int, ntcan_ctl::NetConfig>> entries;
      std::string error;
      if (parse_config(path, &entries, &error) == 0) {
        for (const auto& e : entries) p->configure_net(e.first, e.second);
      } else {
        std::fprintf(stderr, "ntcan: NTCAN_CONFIG ignored: %s\n", error.c_str());
      }
    }
    return p;
  }();
  return *d;
}

uint32_t baud_rate(uint32_t index) {
  // Index 6 is 125 kbit/s, the default of CANopen lines.
  static const uint32_t kRates[] = {1000000, 666666, 500000, 333333, 250000, 166666, 125000,
                                    100000,  66666,  50000,  33333,  20000,  12500,  10000};
  if (index >= sizeof(kRates) / sizeof(kRates[0])) return 0;
  return kRates[index];
}

}  // namespace ntcan_drv
