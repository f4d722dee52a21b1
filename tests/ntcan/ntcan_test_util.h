// Helpers shared by the driver suites.
#ifndef NTCAN_TEST_UTIL_H
#define NTCAN_TEST_UTIL_H

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <initializer_list>
#include <vector>

#include "ntcan.h"
#include "ntcan_ctl.h"

namespace ntcan_test {

inline CMSG frame(int32_t id, std::initializer_list<uint8_t> data = {}, bool rtr = false) {
  CMSG m;
  std::memset(&m, 0, sizeof m);
  m.id = id;
  int n = 0;
  for (uint8_t b : data) m.data[n++] = b;
  m.len = static_cast<uint8_t>(n | (rtr ? NTCAN_RTR : 0));
  return m;
}

inline NTCAN_HANDLE open_handle(int net = 0, int32_t rxqueue = 100, int32_t rxtimeout = 20) {
  NTCAN_HANDLE h = -1;
  EXPECT_EQ(NTCAN_SUCCESS, canOpen(net, 0, 10, rxqueue, 1000, rxtimeout, &h));
  return h;
}

inline NTCAN_HANDLE open_with_ids(std::initializer_list<int32_t> ids, int net = 0,
                                  int32_t rxqueue = 100, int32_t rxtimeout = 20) {
  NTCAN_HANDLE h = open_handle(net, rxqueue, rxtimeout);
  for (int32_t id : ids) EXPECT_EQ(NTCAN_SUCCESS, canIdAdd(h, id));
  return h;
}

inline NTCAN_RESULT send1(NTCAN_HANDLE h, const CMSG& f) {
  CMSG m = f;
  int32_t n = 1;
  return canSend(h, &m, &n);
}

// Everything queued on h now.
inline std::vector<CMSG> take_all(NTCAN_HANDLE h) {
  std::vector<CMSG> out;
  CMSG buf[64];
  for (;;) {
    int32_t n = 64;
    if (canTake(h, buf, &n) != NTCAN_SUCCESS || n == 0) return out;
    out.insert(out.end(), buf, buf + n);
  }
}

// Runs `body` in a forked child, whose driver is the parent's as it was at
// the fork (a fresh one if the parent never used it); returns the child's
// exit status (0: `body` answered true).
inline int in_child(const std::function<bool()>& body) {
  pid_t pid = ::fork();
  if (pid == 0) ::_exit(body() ? 0 : 1);
  int status = -1;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

// Every test starts from a fresh driver.
class Driver : public ::testing::Test {
 protected:
  void SetUp() override { ntcan_ctl::reset(); }
  void TearDown() override { ntcan_ctl::reset(); }
};

}  // namespace ntcan_test

#endif  // NTCAN_TEST_UTIL_H
