// NTCAN_CONFIG is read once, at the driver's first use in a process; each
// case runs in a forked child whose driver has not been used yet.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>

#include "ntcan.h"
#include "ntcan_ctl.h"
#include "ntcan_test_util.h"

namespace {

// Runs `body` in a child with NTCAN_CONFIG naming a file holding `text`;
// returns the child's exit status (0: every check passed).
int in_child(const std::string& text, const std::function<bool()>& body) {
  std::string path = ::testing::TempDir() + "ntcan_env_" + std::to_string(::getpid()) + ".conf";
  std::ofstream(path) << text;
  const int status = ntcan_test::in_child([&] {
    ::setenv("NTCAN_CONFIG", path.c_str(), 1);
    return body();
  });
  std::remove(path.c_str());
  return status;
}

TEST(NtcanConfigEnv, FileIsReadAtFirstUse) {
  using Kind = ntcan_ctl::NetConfig::Kind;
  EXPECT_EQ(0, in_child("net 0 absent\nnet 5 gateway 127.0.0.1 2209 1\n", [] {
              NTCAN_HANDLE h = -1;
              // The first driver call already sees the file's nets.
              return canOpen(0, 0, 10, 100, 0, 0, &h) == NTCAN_NET_NOT_FOUND &&
                     ntcan_ctl::net_config(5).kind == Kind::Gateway &&
                     ntcan_ctl::net_config(5).port == 2209 &&
                     ntcan_ctl::net_config(1).kind == Kind::Sim;
            }));
  // A bad file is reported on standard error and leaves every net simulated.
  EXPECT_EQ(0, in_child("net 0 absent\nnet 1 bogus\n", [] {
              NTCAN_HANDLE h = -1;
              return canOpen(0, 0, 10, 100, 0, 0, &h) == NTCAN_SUCCESS &&
                     ntcan_ctl::net_config(0).kind == Kind::Sim;
            }));
}

}  // namespace
