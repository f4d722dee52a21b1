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

// Runs `body` in a child with NTCAN_CONFIG naming `path`; returns the
// child's exit status (0: every check passed).
int in_child(const std::string& path, const std::function<bool()>& body) {
  return ntcan_test::in_child([&] {
    ::setenv("NTCAN_CONFIG", path.c_str(), 1);
    return body();
  });
}

const std::string kFile = ::testing::TempDir() + "ntcan_env_" + std::to_string(::getpid());

TEST(NtcanConfigEnv, FileIsReadAtFirstUse) {
  using Kind = ntcan_ctl::NetConfig::Kind;
  std::ofstream(kFile) << "net 0 absent\nnet 5 gateway 127.0.0.1 2209 1\n";
  EXPECT_EQ(0, in_child(kFile, [] {
              NTCAN_HANDLE h = -1;
              // The first driver call already sees the file's nets.
              return canOpen(0, 0, 10, 100, 0, 0, &h) == NTCAN_NET_NOT_FOUND &&
                     ntcan_ctl::net_config(5).kind == Kind::Gateway &&
                     ntcan_ctl::net_config(5).port == 2209 &&
                     ntcan_ctl::net_config(1).kind == Kind::Sim && ntcan_ctl::config_error() == "";
            }));
  std::remove(kFile.c_str());
}

// A file that cannot be used leaves no net quietly simulated: every canOpen
// fails, on nets the file names and on the others, also after a reset, and
// the reason names the file (and the line).
TEST(NtcanConfigEnv, AnUnusableFileRefusesEveryOpen) {
  const std::string dir = ::testing::TempDir(), file = kFile;
  struct Case {
    const char* text;  // written to `file`; null: NTCAN_CONFIG names `path` as it is
    std::string path;
    std::string reason;  // how config_error() goes on after the path; empty: usable
  } cases[] = {
      {"net 1 sim\nnet 0 socketcna can0\n", file, ":2: unknown medium 'socketcna'"},
      {"net 0 gateway 127.0.0.1 22x\n", file, ":1: port must be 1 to 65535"},
      {"# comment\n\nnet 32 sim\n", file, ":3: net number must be 0 to 31: net 32 sim"},
      {nullptr, dir + "no-such-ntcan.conf", ": cannot open: No such file or directory"},
      {nullptr, dir, ": not a regular file"},
      {"", file, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path + (c.text ? std::string(" holding: ") + c.text : ""));
    if (c.text) std::ofstream(file) << c.text;
    EXPECT_EQ(0, in_child(c.path, [&] {
                NTCAN_HANDLE h = -1;
                const NTCAN_RESULT want = c.reason.empty() ? NTCAN_SUCCESS : NTCAN_INVALID_DRIVER;
                if (canOpen(0, 0, 10, 100, 0, 0, &h) != want) return false;
                ntcan_ctl::reset();
                const std::string why = ntcan_ctl::config_error();
                return canOpen(5, 0, 10, 100, 0, 0, &h) == want &&
                       (c.reason.empty() ? why.empty() : why.rfind(c.path + c.reason, 0) == 0);
              }));
  }
  std::remove(file.c_str());
}

}  // namespace
