// zuntal_sync.cpp - the SYNC producer of each line, driven by the update
// cycle on the framework clock, and the RPDOs that wait for the next SYNC.
#include <algorithm>
#include <atomic>
#include <cstring>

#include "D_zuntal.h"
#include "canopen_ids.h"
#include "zuntal_internal.h"
#include "zuntal_pdo_internal.h"

namespace {

constexpr int kLines = 20;
// RPDOs waiting for a SYNC per line; a newer frame of an identifier replaces
// the older, so at most this many distinct identifiers wait.
constexpr size_t kMaxQueued = 512;

struct SyncLine {
  int64_t period_us = 0;
  int counter_max = 0;
  int counter = 0;
  int64_t due = 0;
  bool started = false;
  std::atomic<uint64_t> sent{0};
  std::vector<CMSG> queued;
};

std::mutex& sync_mutex() {
  static auto* m = new std::mutex;
  return *m;
}

SyncLine* lines() {
  static auto* l = new SyncLine[kLines + 1];
  return l;
}

std::atomic<int> producers{0};

NTCAN_HANDLE line_handle(int line) {
  std::lock_guard<std::mutex> g(zuntal_detail::line_mutex());
  for (canline* l : zuntal_detail::line_list())
    if (l->line() == line) return l->handle();
  return -1;
}

}  // namespace

int can_sync(int line, int64_t period_us, int counter) {
  if (line < 1 || line > kLines || period_us < 0 || counter < 0 || counter == 1 || counter > 240)
    return -1;
  std::lock_guard<std::mutex> g(sync_mutex());
  SyncLine& s = lines()[line];
  if ((s.period_us > 0) != (period_us > 0)) producers += period_us > 0 ? 1 : -1;
  s.period_us = period_us;
  // Set-points queued for a SYNC that no longer comes would go out, stale,
  // when SYNC is started again.
  if (period_us <= 0) s.queued.clear();
  s.counter_max = counter;
  s.counter = 0;
  s.started = false;  // the first SYNC goes with the next cycle
  return 0;
}

uint64_t can_sync_count(int line) {
  if (line < 1 || line > kLines) return 0;
  return lines()[line].sent.load();
}

namespace zuntal_detail {

bool queue_for_sync(int line, const CMSG& frame) {
  if (line < 1 || line > kLines) return false;
  std::lock_guard<std::mutex> g(sync_mutex());
  SyncLine& s = lines()[line];
  if (s.period_us <= 0) return false;
  std::vector<CMSG>& q = s.queued;
  auto it = std::find_if(q.begin(), q.end(), [&](const CMSG& f) { return f.id == frame.id; });
  if (it != q.end())
    *it = frame;
  else if (q.size() < kMaxQueued)
    q.push_back(frame);
  else
    return false;
  return true;
}

void sync_forget_queued() {
  std::lock_guard<std::mutex> g(sync_mutex());
  for (int line = 1; line <= kLines; ++line) lines()[line].queued.clear();
}

void sync_after_cycle() {
  if (producers.load(std::memory_order_relaxed) == 0) return;
  const int64_t now = tavro::clock().now_us();
  for (int line = 1; line <= kLines; ++line) {
    std::vector<CMSG> out;
    {
      std::lock_guard<std::mutex> g(sync_mutex());
      SyncLine& s = lines()[line];
      if (s.period_us <= 0 || (s.started && now < s.due)) continue;
      if (!s.started) s.due = now;
      s.started = true;
      // The producer keeps its beat; after a long pause it starts anew.
      s.due += s.period_us;
      if (s.due <= now) s.due = now + s.period_us;
      out.swap(s.queued);
      CMSG sync;
      std::memset(&sync, 0, sizeof sync);
      sync.id = canopen::kCobSync;
      if (s.counter_max > 0) {
        s.counter = s.counter % s.counter_max + 1;
        sync.len = 1;
        sync.data[0] = static_cast<uint8_t>(s.counter);
      }
      out.push_back(sync);
    }
    const NTCAN_HANDLE h = line_handle(line);
    int32_t n = static_cast<int32_t>(out.size());
    if (h <= 0)
      n = 0;
    else if (canSend(h, out.data(), &n) != NTCAN_SUCCESS)
      n = std::max(n, 0);  // the frames the driver took before it failed
    const size_t taken = std::min(static_cast<size_t>(n), out.size());
    if (taken == out.size()) {
      lines()[line].sent += 1;
      continue;
    }
    // The line could not send all: the RPDOs it did not take wait for the
    // next SYNC (behind any newer frame of the same identifier queued
    // meanwhile); those it took are not sent twice.
    out.pop_back();
    for (size_t k = taken; k < out.size(); ++k) {
      const CMSG& f = out[k];
      std::lock_guard<std::mutex> g(sync_mutex());
      std::vector<CMSG>& q = lines()[line].queued;
      if (std::none_of(q.begin(), q.end(), [&](const CMSG& x) { return x.id == f.id; }) &&
          q.size() < kMaxQueued)
        q.push_back(f);
    }
  }
}

}  // namespace zuntal_detail
