// zuntal_register.cpp - registration of node properties on their lines in
// direct and buffered mode, the node list can_list, closing, identifier
// filters, the buffer fill and the update cycle.
#include <algorithm>
#include <string>
#include <system_error>

#include "D_zuntal.h"
#include "zuntal_internal.h"
#include "zuntal_pdo_internal.h"

namespace zuntal_detail {

std::atomic<int> running_threads{0};

std::mutex& line_mutex() {
  static std::mutex* mx = new std::mutex;
  return *mx;
}

namespace {
// The update cycles in progress (under D_can::mx_loop).
CycleWalk* walks = nullptr;

std::atomic<BetweenFills> between_fills{nullptr};
std::atomic<void*> between_fills_arg{nullptr};
}  // namespace

void unlist(size_t i) {
  can_list.erase(can_list.begin() + static_cast<std::ptrdiff_t>(i));
  for (CycleWalk* w = walks; w != nullptr; w = w->link)
    if (i < w->next) --w->next;
}

void unlist_all() {
  can_list.clear();
  for (CycleWalk* w = walks; w != nullptr; w = w->link) w->next = 0;
}

void set_between_fills(BetweenFills fn, void* arg) {
  between_fills_arg.store(arg, std::memory_order_relaxed);
  between_fills.store(fn, std::memory_order_release);
}

namespace {

void enter_cycle(CycleWalk* w) {
  w->link = walks;
  walks = w;
}

void leave_cycle(CycleWalk* w) {
  for (CycleWalk** p = &walks; *p != nullptr; p = &(*p)->link)
    if (*p == w) {
      *p = w->link;
      return;
    }
}

}  // namespace

}  // namespace zuntal_detail

using zuntal_detail::line_mutex;

namespace {

bool line_in_range(int line) {
  return line >= 1 && line <= 20;
}

// Starts the detached supervision thread of a new line.
void start_supervision(canline* l) {
  zuntal_detail::running_threads.fetch_add(1);
  try {
    l->t1_ = std::thread([l] {
      can_control(l);
      zuntal_detail::running_threads.fetch_sub(1);
    });
    l->t1_.detach();
  } catch (const std::system_error& e) {
    zuntal_detail::running_threads.fetch_sub(1);
    tavro::printtostderr(
        "D_can::can_open",
        "Line : " + std::to_string(l->line()) + " no supervision thread: " + e.what(), 0x80000000u);
  }
}

}  // namespace

int D_can::can_open() {
  std::lock_guard<std::mutex> g(line_mutex());
  const int lineno = canIdent_.i1_data;
  NTCAN_HANDLE h = canhandle_.load(std::memory_order_relaxed);

  for (canline* l : canline_list) {
    if (l->line() == lineno) {
      int r = l->can_open(h, false);
      canhandle_.store(h, std::memory_order_relaxed);
      pline_.store(l, std::memory_order_relaxed);
      return r;
    }
  }

  canline* l = new canline;
  l->setline(lineno);
  std::string ip;
  l->getlineip(lineno, ip);
  l->setlineip(ip);
  int baud = baudrate_ ? baudrate_->value() : 0;
  l->setbaud(baud == 0 ? 6 : baud);

  int r = l->can_open(h, true);
  canhandle_.store(h, std::memory_order_relaxed);
  canline_list.push_back(l);
  zuntal_detail::keep_line(l);
  start_supervision(l);
  pline_.store(l, std::memory_order_relaxed);
  return r;
}

// The common start of both master registrations: a line in range, the
// node's state integer and the access to the line.
int D_can::open_master() {
  if (!line_in_range(canIdent_.i1_data)) return -1;
  if (alive_ptr_ == nullptr) {
    alive_ptr_ = zuntal_detail::new_state_int();
    alive_->set_ptr(alive_ptr_);
  }
  return can_open();
}

int D_can::init() {
  int r = open_master();
  if (r != 0) return r;
  for (int id : {canIdent_.i2_data, canIdent_.i3_data, canIdent_.i4_data}) {
    if (id > 0) {
      r = AddIdent(id);
      if (r != 0) return r;
    }
  }
  return 0;
}

int D_can::init(int ident, int flag) {
  if (flag != 1) {
    init(ident);
    return 0;
  }
  int r = open_master();
  if (r != 0) return r;
  if (ident > 0) return AddIdent(ident);
  return r;
}

int D_can::init(int ident) {
  if (!line_in_range(canIdent_.i1_data)) return -1;
  std::lock_guard<std::mutex> g(mx_loop);

  const IIII me = zuntal_detail::load_record(canIdent_);
  D_can* t = nullptr;
  for (D_can* c : can_list) {
    if (zuntal_detail::load_field(c->canIdent_.i1_data) == me.i1_data &&
        zuntal_detail::load_field(c->canIdent_.i2_data) == me.i2_data) {
      t = c;
      break;
    }
  }

  if (t != nullptr) {
    if (isactive() && zuntal_detail::load_field(t->canIdent_.i3_data) == me.i3_data) {
      int r = can_open();
      if (r != 0) return r;
    } else {
      // Share the master's line, handle and buffer.
      pline_.store(t->pline_.load(std::memory_order_relaxed), std::memory_order_relaxed);
      canhandle_.store(t->handle(), std::memory_order_relaxed);
      rxmsg_ = t->rxmsg_;
      can_ret_ = t->can_ret_;
      rxmsg_len_ = t->rxmsg_len_;
      alive_ptr_ = t->alive_ptr_;
      alive_->set_ptr(alive_ptr_);
    }
  } else {
    can_list.push_back(this);
    if (!isactive() && rxmsg_ != nullptr) {
      // Left from sharing with a master that has since left the list.
      rxmsg_ = nullptr;
      can_ret_ = nullptr;
      rxmsg_len_ = nullptr;
      alive_ptr_ = nullptr;
    }
    if (rxmsg_ == nullptr) {
      zuntal_detail::NodeBuffer* b = zuntal_detail::new_node_buffer();
      rxmsg_ = b->rx;
      can_ret_ = &b->ret;
      rxmsg_len_ = &b->len;
      alive_ptr_ = &b->alive;
      alive_->set_ptr(alive_ptr_);
      alive_->set_value(15);
    }
    active_->set_value(1);
    int r = can_open();
    if (r != 0) return r;
  }
  return ident > 0 ? AddIdent(ident) : 0;
}

int D_can::AddIdent(int ident) {
  NTCAN_HANDLE h = handle();
  if (h < 0) return NTCAN_INVALID_HANDLE;
  int r = canIdAdd(h, ident);
  return r == NTCAN_ID_ALREADY_ENABLED ? 0 : r;
}

int D_can::DelIdent(int ident) {
  if (!isactive()) return 0;
  NTCAN_HANDLE h = handle();
  if (h < 0) return NTCAN_INVALID_HANDLE;
  return canIdDelete(h, ident);
}

int D_can::can_close() {
  NTCAN_HANDLE own = canhandle_.load(std::memory_order_relaxed);
  if (own == -1) return 0;
  int r = 0;
  if (isactive()) {
    canline* l = pline_.load(std::memory_order_relaxed);
    NTCAN_HANDLE lh = l ? l->handle() : -1;
    if (l != nullptr && own != lh && lh >= 0) {
      r = canClose(own);
      if (r != 0)
        tavro::printtostderr("D_can::can_close returned: ", can_error_str(r), 0x80000000u);
      TAVROsleep(0, 5000);
    }
  } else {
    rxmsg_ = nullptr;
    can_ret_ = nullptr;
    rxmsg_len_ = nullptr;
    alive_ptr_ = nullptr;
  }
  canhandle_.store(-1, std::memory_order_relaxed);
  return r;
}

int D_can::dellist() {
  if (!isactive()) return 0;
  std::lock_guard<std::mutex> g(mx_loop);
  const IIII me = zuntal_detail::load_record(canIdent_);
  if (line_in_range(me.i1_data)) {
    for (size_t i = 0; i < can_list.size(); ++i) {
      D_can* c = can_list[i];
      if (zuntal_detail::load_field(c->canIdent_.i1_data) == me.i1_data &&
          zuntal_detail::load_field(c->canIdent_.i2_data) == me.i2_data) {
        zuntal_detail::unlist(i);
        break;
      }
    }
  }
  return 0;
}

int D_can::can_fill() {
  if (rxmsg_ == nullptr) return -1;
  zuntal_detail::store_word(rxmsg_len_, zuntal_detail::kBufferFrames);
  int r = can_get(rxmsg_, rxmsg_len_);
  zuntal_detail::store_word(can_ret_, r);
  return r;
}

namespace {

// Fetches what the next fills will touch while this one runs. With thousands
// of nodes none of it is in the cache, and the driver's atomic operations
// would make each miss wait for the one before. Three steps deep: the object
// of the node after next, the buffer's count of the node after next, and the
// first buffer lines the next node's fill is likely to write (at most four,
// and no more than its last fill wrote: the hardware follows the rest of the
// copy once it has started).
void prefetch_ahead(size_t i, size_t n) {
  if (i + 3 < n) {
    __builtin_prefetch(can_list[i + 3]);
    __builtin_prefetch(zuntal_detail::Registry::fill_fields(can_list[i + 3]));
  }
  if (i + 2 < n) {
    if (const int32_t* len = zuntal_detail::Registry::rxmsg_len(can_list[i + 2]))
      __builtin_prefetch(len, 1);
  }
  if (i + 1 < n) {
    D_can* next = can_list[i + 1];
    const int32_t* len = zuntal_detail::Registry::rxmsg_len(next);
    const char* rx = reinterpret_cast<const char*>(zuntal_detail::Registry::rxmsg(next));
    if (len != nullptr && rx != nullptr) {
      int frames =
          std::min(std::max(zuntal_detail::load_word(len), 0), zuntal_detail::kBufferFrames);
      const size_t lines = std::min<size_t>((size_t(frames) * sizeof(CMSG) + 63) / 64, 4);
      for (size_t k = 0; k < lines; ++k) __builtin_prefetch(rx + 64 * k, 1);
    }
  }
}

}  // namespace

int can_looping() {
  // One lock per node: the entry and the end of the list are read under the
  // same lock as the fill. A registration appends after every entry; a
  // removal between two fills moves this cycle's position back when it takes
  // an entry the cycle has passed. So every node that stays in the list for
  // the whole cycle is filled exactly once, whatever changes around it.
  using zuntal_detail::CycleWalk;
  CycleWalk walk;
  std::unique_lock<std::mutex> g(D_can::mx_loop);
  zuntal_detail::enter_cycle(&walk);
  try {
    for (;;) {
      const size_t n = can_list.size();
      if (walk.next >= n) break;
      const size_t i = walk.next++;
      D_can* node = can_list[i];
      prefetch_ahead(i, n);
      node->can_fill();
      zuntal_detail::pdo_after_fill(node);
      if (TAVRO_debug.load(std::memory_order_relaxed) & 0x100000) node->can_print();
      g.unlock();
      if (zuntal_detail::BetweenFills fn =
              zuntal_detail::between_fills.load(std::memory_order_acquire))
        fn(zuntal_detail::between_fills_arg.load(std::memory_order_relaxed));
      g.lock();
    }
  } catch (...) {
    // A derived class's fill that throws: the cycle still leaves the list
    // of cycles in progress.
    if (!g.owns_lock()) g.lock();
    zuntal_detail::leave_cycle(&walk);
    throw;
  }
  zuntal_detail::leave_cycle(&walk);
  // SYNC after the fills: what it causes is decoded by the next cycle.
  zuntal_detail::sync_after_cycle();
  return 0;
}
