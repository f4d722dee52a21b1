// zuntal_internal.h - library-private state shared by the sources of
// libzuntal: the node receive buffers, the lock of the line list, the count of
// running supervision threads and the command codes of D_canint.
#ifndef ZUNTAL_INTERNAL_H
#define ZUNTAL_INTERNAL_H

#include <atomic>
#include <mutex>

#include "D_zuntal.h"

// Command codes of the .START, .STOP and .RESET children.
enum { START_NODE = 0, STOP_NODE = 1, RESET_NODE = 2 };

namespace zuntal_detail {

constexpr int kBufferFrames = 100;

// The receive buffer of one node, shared by its master and its sharers: the
// frames of the last fill, their count, the fill's status and the node state.
// It starts on a cache line of its own, so a fill's copy writes whole lines.
struct alignas(64) NodeBuffer {
  CMSG rx[kBufferFrames];
  int32_t len = 0;
  int ret = 0;
  int alive = 0;
};

// Node buffers and node-state integers live until the process ends; they are
// kept in a library-wide registry so that they stay reachable. The buffers
// are carved one after the other from 2 MiB blocks that the kernel is asked
// to back with huge pages: the update cycle writes them in the order the
// nodes registered, as one stream, with one TLB miss per block instead of one
// per node.
NodeBuffer* new_node_buffer();
int* new_state_int();
// Line objects are noted there too, so that they stay reachable while the
// process ends; the test reset forgets the ones it deletes.
void keep_line(canline* line);
void forget_line(canline* line);

// Guards canline_list and the lookup-or-create of a line, so that
// registrations from several threads never create two objects for one line.
// Taken after D_can::mx_loop where both are held, never the other way round.
std::mutex& line_mutex();

// Supervision threads that have started and not yet returned.
extern std::atomic<int> running_threads;

// An update cycle in progress: the position in can_list of the next node it
// fills. The cycles in progress are linked under D_can::mx_loop, so that a
// removal from the list can move back every cycle that has already passed
// the removed entry: the entries after it move down by one, and the cycle
// would otherwise step over the node that takes its place.
struct CycleWalk {
  size_t next = 0;
  CycleWalk* link = nullptr;
};

// Removes entry `i` of can_list, keeping the order of the others, and moves
// back the cycles in progress that have passed it. Call with mx_loop held.
void unlist(size_t i);
// Empties can_list (the test reset). Call with mx_loop held.
void unlist_all();

// Test seam: called by can_looping on its own thread between two fills,
// while it does not hold mx_loop; null when unset.
using BetweenFills = void (*)(void* arg);
void set_between_fills(BetweenFills fn, void* arg);

// The two lists, whose own symbols are hidden, for the test reset and
// inspection (zuntal_test.h), which are linked from outside the library.
std::vector<D_can*>& node_list();
std::vector<canline*>& line_list();

// The library's own access to D_can's class-wide state.
struct Registry {
  static std::mutex& loop_mutex() { return D_can::mx_loop; }
  static D_iiii*& debug_id() { return D_can::canIdent_debug_; }
  static CMSG* rxmsg(D_can* c) { return c->rxmsg_; }
  static int* can_ret(D_can* c) { return c->can_ret_; }
  static int32_t* rxmsg_len(D_can* c) { return c->rxmsg_len_; }
  static int* alive_ptr(D_can* c) { return c->alive_ptr_; }
  static canline* line(D_can* c) { return c->pline_.load(std::memory_order_relaxed); }
  static NTCAN_HANDLE canhandle(D_can* c) { return c->canhandle_.load(std::memory_order_relaxed); }
  // Where the fields a fill reads lie (for prefetching).
  static const void* fill_fields(const D_can* c) { return &c->canhandle_; }
};

// The address record of a node property is written by client writes
// (set_value, on any thread and without a lock, so that a write from a thread
// that holds mx_loop cannot deadlock) and read by the registrations and
// removals of other properties and by the debug print under mx_loop: its
// fields are accessed as relaxed atomics where threads meet.
inline int32_t load_field(const int32_t& f) {
  return __atomic_load_n(&f, __ATOMIC_RELAXED);
}
inline IIII load_record(const IIII& r) {
  IIII v;
  v.i1_data = load_field(r.i1_data);
  v.i2_data = load_field(r.i2_data);
  v.i3_data = load_field(r.i3_data);
  v.i4_data = load_field(r.i4_data);
  return v;
}
inline void store_record(IIII& to, const IIII& from) {
  __atomic_store_n(&to.i1_data, from.i1_data, __ATOMIC_RELAXED);
  __atomic_store_n(&to.i2_data, from.i2_data, __ATOMIC_RELAXED);
  __atomic_store_n(&to.i3_data, from.i3_data, __ATOMIC_RELAXED);
  __atomic_store_n(&to.i4_data, from.i4_data, __ATOMIC_RELAXED);
}

// Relaxed atomic access to the shared count and status words: the update
// cycle writes them under mx_loop while sharers read them without it.
inline int load_word(const int* p) {
  return __atomic_load_n(p, __ATOMIC_RELAXED);
}
inline void store_word(int* p, int v) {
  __atomic_store_n(p, v, __ATOMIC_RELAXED);
}

}  // namespace zuntal_detail

#endif  // ZUNTAL_INTERNAL_H
