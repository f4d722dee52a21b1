// zuntal_test.cpp - test-only reset and inspection of the library's state.
#include "zuntal_test.h"

#include <chrono>
#include <thread>

#include "tavro_test.h"
#include "zuntal_internal.h"
#include "zuntal_pdo_internal.h"

using zuntal_detail::Registry;

namespace zuntal_test {

namespace {
// Objects a reset cannot safely delete (.DEBUG_ID may belong to a location
// that is already gone; a line whose thread still runs) stay reachable here.
std::vector<void*>& kept() {
  static std::vector<void*>* k = new std::vector<void*>;
  return *k;
}
}  // namespace

bool reset(int timeout_ms) {
  std::vector<canline*> old;
  {
    std::lock_guard<std::mutex> g(zuntal_detail::line_mutex());
    old.swap(zuntal_detail::line_list());
  }
  for (canline* l : old) l->ThreadStop_ = true;

  // A manual clock is moved on from wake-up to wake-up so that the threads
  // reach their stop test; if that is not enough within half the time, its
  // sleepers are released for good.
  auto start = std::chrono::steady_clock::now();
  auto deadline = start + std::chrono::milliseconds(timeout_ms);
  auto halfway = start + std::chrono::milliseconds(timeout_ms / 2);
  bool released = false;
  while (zuntal_detail::running_threads.load() > 0 && std::chrono::steady_clock::now() < deadline) {
    if (auto* mc = dynamic_cast<tavro::ManualClock*>(&tavro::clock())) {
      if (!released && std::chrono::steady_clock::now() >= halfway) {
        mc->release_all();
        released = true;
      }
      mc->advance_to_next_wakeup();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const bool stopped = zuntal_detail::running_threads.load() == 0;

  {
    std::lock_guard<std::mutex> g(Registry::loop_mutex());
    zuntal_detail::unlist_all();
  }
  // SYNC producers stop and forget what waited for their SYNC.
  for (int line = 1; line <= 20; ++line) can_sync(line, 0);
  zuntal_detail::sync_forget_queued();
  for (canline* l : old) {
    if (stopped) {
      zuntal_detail::forget_line(l);
      delete l;
    } else {
      kept().push_back(l);
    }
  }
  if (Registry::debug_id() != nullptr) {
    kept().push_back(Registry::debug_id());
    Registry::debug_id() = nullptr;
  }
  return stopped;
}

int running_supervision_threads() {
  return zuntal_detail::running_threads.load();
}

std::vector<D_can*> nodes() {
  std::lock_guard<std::mutex> g(Registry::loop_mutex());
  return zuntal_detail::node_list();
}

std::vector<canline*> lines() {
  std::lock_guard<std::mutex> g(zuntal_detail::line_mutex());
  return zuntal_detail::line_list();
}

canline* find_line(int line) {
  std::lock_guard<std::mutex> g(zuntal_detail::line_mutex());
  for (canline* l : zuntal_detail::line_list())
    if (l->line() == line) return l;
  return nullptr;
}

std::mutex& loop_mutex() {
  return Registry::loop_mutex();
}

D_iiii* debug_id() {
  return Registry::debug_id();
}

void on_between_fills(void (*fn)(void* arg), void* arg) {
  zuntal_detail::set_between_fills(fn, arg);
}

NodeView view(D_can* node) {
  return NodeView{Registry::rxmsg(node),     Registry::can_ret(node), Registry::rxmsg_len(node),
                  Registry::alive_ptr(node), Registry::line(node),    Registry::canhandle(node)};
}

}  // namespace zuntal_test
