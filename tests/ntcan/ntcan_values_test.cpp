// The end of the handle value range. Values are never reused, so once the
// last one is issued every open is refused; each case runs in a forked child
// so that the values it uses up are not missing in any other test.
#include <gtest/gtest.h>

#include <climits>
#include <vector>

#include "ntcan.h"
#include "ntcan_ctl.h"
#include "ntcan_test_util.h"

namespace {

constexpr NTCAN_HANDLE kSlots = 1 << 15;

// Opens until the next open is refused; false at once if an open reports a
// value that is not above the one before.
bool open_until_refused(std::vector<NTCAN_HANDLE>* got, bool close_each) {
  NTCAN_HANDLE last = got->empty() ? 0 : got->back();
  for (;;) {
    NTCAN_HANDLE h = -7;
    const NTCAN_RESULT r = canOpen(0, 0, 1, 1, 0, 0, &h);
    if (r != NTCAN_SUCCESS) {
      if (r != NTCAN_INSUFFICIENT_RESOURCES || h != -7) return false;
      return true;
    }
    if (h <= last) {
      ADD_FAILURE() << "open gave " << h << " after " << last;
      return false;
    }
    last = h;
    got->push_back(h);
    if (close_each && canClose(h) != NTCAN_SUCCESS) return false;
  }
}

// The calls of an open handle work; those of a closed one are refused.
bool works(NTCAN_HANDLE h) {
  CMSG m;
  int32_t n = 1;
  return canTake(h, &m, &n) == NTCAN_SUCCESS;
}

// One handle at a time: the values run up to INT_MAX and stop there.
bool one_at_a_time() {
  ntcan_ctl::skip_handle_values(INT_MAX - 2);
  std::vector<NTCAN_HANDLE> got;
  if (!open_until_refused(&got, true)) return false;
  if (got != std::vector<NTCAN_HANDLE>{INT_MAX - 2, INT_MAX - 1, INT_MAX}) return false;
  std::vector<NTCAN_HANDLE> more;
  return open_until_refused(&more, true) && more.empty() && !works(INT_MAX) &&
         ntcan_ctl::open_handles() == 0;
}

// 32767 handles open at once and one slot opened and closed over and over:
// each cycle skips the values of the taken slots, so the range ends after
// 65536 cycles. Skipped to the last four of them here.
bool one_slot_cycled() {
  std::vector<NTCAN_HANDLE> held;
  if (!open_until_refused(&held, false) || held.size() != size_t(kSlots)) return false;
  const NTCAN_HANDLE freed = kSlots - 1;  // the value, and the slot, left free
  if (held[freed - 1] != freed || canClose(freed) != NTCAN_SUCCESS) return false;
  ntcan_ctl::skip_handle_values(INT_MAX - 3 * kSlots - 5);
  std::vector<NTCAN_HANDLE> cycled;
  if (!open_until_refused(&cycled, true)) return false;
  const std::vector<NTCAN_HANDLE> want{INT_MAX - 3 * kSlots, INT_MAX - 2 * kSlots, INT_MAX - kSlots,
                                       INT_MAX};
  if (cycled != want) return false;
  // The refusals go on; the handles held all along still work, the cycled
  // ones are gone.
  std::vector<NTCAN_HANDLE> more;
  if (!open_until_refused(&more, true) || !more.empty()) return false;
  for (NTCAN_HANDLE h : {held.front(), held.back()})
    if (!works(h)) return false;
  for (NTCAN_HANDLE h : cycled)
    if (works(h)) return false;
  // Closing every handle frees the table, not the values.
  ntcan_ctl::reset();
  return open_until_refused(&more, true) && more.empty();
}

TEST(HandleValues, TheLastValueIsIssuedOnceAndLaterOpensAreRefused) {
  EXPECT_EQ(0, ntcan_test::in_child(one_at_a_time));
  EXPECT_EQ(0, ntcan_test::in_child(one_slot_cycled));
}

}  // namespace
