// outage_harness.h - what the outage tests of the example server need
// around it: a framework clock in step with real time that the test can
// move ahead past the line supervision's pauses, the zuntal_gateway program
// as a child process, a TCP relay whose connections the test can cut, and
// a plain HTTP POST for the gateway's web interface.
#ifndef ZUNTAL_TESTS_OUTAGE_HARNESS_H
#define ZUNTAL_TESTS_OUTAGE_HARNESS_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "child.h"
#include "tavro_test.h"

namespace outage {

// The framework clock follows real time (a thread moves it on every
// millisecond), so the server's cycle, its alive supervision and the
// gateway's devices (which run in real time) agree. skip() moves it at once
// to the next wake-up of a sleeping thread: the test passes the line
// supervision's long pauses without waiting through them.
class PacedClock : public tavro::ManualClock {
 public:
  PacedClock();
  ~PacedClock() override;
  // Moves the clock to the next wake-up of a sleeper; the time skipped.
  int64_t skip();
  int64_t skipped_us() const { return skipped_.load(); }

 private:
  void run();
  std::atomic<bool> stop_{false};
  std::atomic<int64_t> skipped_{0};
  std::thread ticker_;
};

// The zuntal_gateway program: one net, the given devices, on loopback.
class GatewayProgram {
 public:
  // Starts it; port 0 takes any free port. False with *error.
  bool start(const std::vector<std::string>& devices, int can_port, int http_port,
             std::string* error, const std::vector<std::string>& extra = {});
  // SIGKILL: the kernel resets every connection, nothing is said.
  void kill();
  // SIGTERM and the exit status.
  int stop();
  bool running() const { return child_.running(); }
  int can_port() const { return can_port_; }
  int http_port() const { return http_port_; }
  int socketcand_port() const { return socketcand_port_; }
  // /status.json of the web interface ("" when it does not answer).
  std::string status_json() const;

 private:
  peertest::Child child_;
  int can_port_ = 0;
  int http_port_ = 0;
  int socketcand_port_ = 0;
};

// A TCP relay on 127.0.0.1: every connection made to its port is carried to
// 127.0.0.1:upstream. cut() closes every connection it carries at once, on
// both sides, and goes on accepting new ones.
class Relay {
 public:
  explicit Relay(int upstream);
  ~Relay();
  int port() const { return port_; }
  void cut();
  int connections();

 private:
  void run();
  int upstream_;
  int port_ = 0;
  int listen_fd_ = -1;
  int wake_[2] = {-1, -1};
  std::atomic<bool> stop_{false};
  std::atomic<bool> cut_{false};
  std::mutex mx_;
  std::vector<std::pair<int, int>> pairs_;  // client side, gateway side
  std::thread th_;
};

// POST of a form to 127.0.0.1:port with an optional basic login; the HTTP
// status, or -1.
int http_post(int port, const std::string& path, const std::string& body,
              const std::string& login = "");
std::string http_get(int port, const std::string& path);

}  // namespace outage

#endif  // ZUNTAL_TESTS_OUTAGE_HARNESS_H
