// helpers.h - what the supervision suites share: a private working directory,
// stand-in programs first on PATH that record how they were called, and a
// manual clock that remembers the pause each sleeper asked for.
#ifndef SUPERVISION_HELPERS_H
#define SUPERVISION_HELPERS_H

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "tavro_test.h"

namespace sup_test {

namespace fs = std::filesystem;

// A fresh directory that becomes the working directory while the object
// lives (the marker file "./DENY-wget-reset" is looked up there).
class TempCwd {
 public:
  TempCwd() {
    char tmpl[] = "/tmp/zuntal-sup-XXXXXX";
    const char* d = ::mkdtemp(tmpl);
    if (d) dir_ = d;
    old_ = fs::current_path();
    fs::current_path(dir_);
  }
  ~TempCwd() {
    std::error_code ec;
    fs::current_path(old_, ec);
    fs::remove_all(dir_, ec);
  }
  const fs::path& dir() const { return dir_; }
  void touch(const std::string& name) const { std::ofstream(dir_ / name) << ""; }

 private:
  fs::path dir_;
  fs::path old_;
};

// Stand-ins for `wget` (and for `reboot`, which a hostile gateway address
// would try to run) placed first on PATH. Each call of the stand-in wget
// appends its arguments to a log; the stand-in reboot only leaves a canary
// file behind. No test ever runs the real programs.
class StandIns {
 public:
  explicit StandIns(const fs::path& dir) : bin_(dir / "bin"), log_(dir / "wget.log") {
    fs::create_directories(bin_);
    write_script("wget", "for a in \"$@\"; do printf '%s\\n' \"$a\"; done >> '" + log_.string() +
                             "'\necho '--end--' >> '" + log_.string() + "'\n");
    write_script("reboot", "echo reboot > '" + (dir / "canary").string() + "'\n");
    const char* p = std::getenv("PATH");
    old_path_ = p ? p : "";
    ::setenv("PATH", (bin_.string() + ":" + old_path_).c_str(), 1);
  }
  ~StandIns() { ::setenv("PATH", old_path_.c_str(), 1); }

  // The argument lists of every call of the stand-in wget so far.
  std::vector<std::vector<std::string>> calls() const {
    std::vector<std::vector<std::string>> out;
    std::ifstream in(log_);
    std::string line;
    std::vector<std::string> args;
    while (std::getline(in, line)) {
      if (line == "--end--") {
        out.push_back(args);
        args.clear();
      } else {
        args.push_back(line);
      }
    }
    return out;
  }

 private:
  void write_script(const std::string& name, const std::string& body) {
    const fs::path p = bin_ / name;
    std::ofstream(p) << "#!/bin/sh\n" << body << "exit 0\n";
    ::chmod(p.c_str(), 0755);
  }

  fs::path bin_;
  fs::path log_;
  std::string old_path_;
};

// A manual clock that also records the length of every pause asked of it, so
// that a test knows which pause the supervision thread sleeps in.
class TraceClock : public tavro::ManualClock {
 public:
  void sleep_us(int64_t us) override {
    {
      std::lock_guard<std::mutex> lk(trace_mx_);
      trace_.push_back(us);
    }
    ManualClock::sleep_us(us);
  }
  // The pause the last sleeper asked for (valid while it sleeps).
  int64_t last() {
    std::lock_guard<std::mutex> lk(trace_mx_);
    return trace_.empty() ? 0 : trace_.back();
  }
  std::vector<int64_t> trace() {
    std::lock_guard<std::mutex> lk(trace_mx_);
    return trace_;
  }

 private:
  std::mutex trace_mx_;
  std::vector<int64_t> trace_;
};

}  // namespace sup_test

#endif  // SUPERVISION_HELPERS_H
