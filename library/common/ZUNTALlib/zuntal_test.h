// zuntal_test.h - test-only access to libzuntal's process-wide state.
//
// Not for servers: the library's lists and lines live for the life of the
// process. Tests that need a clean slate between cases call reset() after
// they have destroyed their node properties.
#ifndef ZUNTAL_TEST_H
#define ZUNTAL_TEST_H

#include <mutex>
#include <vector>

#include "D_zuntal.h"

namespace zuntal_test {

// Stops every supervision thread (sets ThreadStop_ on every line and waits,
// at most timeout_ms in real time, until the threads have returned; a
// tavro::ManualClock in place is advanced from wake-up to wake-up so that
// sleeping threads wake, and released after half the time),
// empties can_list and canline_list, deletes the line objects, and forgets
// .DEBUG_ID so that the next D_can creates it again. Returns false when a
// thread did not end in time; its line object is then kept, not deleted.
bool reset(int timeout_ms = 5000);

// Supervision threads that have started and not yet returned.
int running_supervision_threads();

// Copies of the two lists (can_list is read under D_can::mx_loop).
std::vector<D_can*> nodes();
std::vector<canline*> lines();
// The line object for a line number, or null.
canline* find_line(int line);

// The class-wide lock of the node list and the .DEBUG_ID property.
std::mutex& loop_mutex();
D_iiii* debug_id();

// Calls `fn(arg)` on the thread of can_looping between any two fills (and
// after the last), while the cycle does not hold D_can::mx_loop, so that a
// test can register, move or destroy nodes at a chosen point of a cycle.
// Null removes it. Set it while no cycle runs.
void on_between_fills(void (*fn)(void* arg), void* arg);

// What a node property uses of its node's receive buffer and its line.
struct NodeView {
  CMSG* rxmsg;
  int* can_ret;
  int32_t* rxmsg_len;
  int* alive_ptr;
  canline* line;
  NTCAN_HANDLE canhandle;  // the property's own handle value, not handle()
};
NodeView view(D_can* node);

}  // namespace zuntal_test

#endif  // ZUNTAL_TEST_H
