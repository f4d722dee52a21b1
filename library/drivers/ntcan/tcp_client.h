// tcp_client.h - what the media that reach a server over TCP share: bounded
// connecting, writing and reading, time-outs from the environment, and the
// per-handle connection with its output buffer, reader thread, keep-alive and
// end. Internal to libntcan.
#ifndef NTCAN_TCP_CLIENT_H
#define NTCAN_TCP_CLIENT_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "medium.h"
#include "ntcan.h"

namespace ntcan_drv {
namespace tcp {

using SteadyClock = std::chrono::steady_clock;

// Milliseconds from the environment variable `name`, 1 to 600000, else `dflt`.
int ms_from_env(const char* name, int dflt);
// Milliseconds until the deadline, 0 once it has passed.
int ms_left(SteadyClock::time_point deadline);

// Connects to host:port before the deadline. Host names of letters, digits,
// '-', '.' and ':' only are looked up; numeric addresses need no resolver.
// On success *fd is a non-blocking socket with TCP_NODELAY. Answers
// NTCAN_SOCK_HOST_NOT_FOUND (no address) or NTCAN_SOCK_CONN_TIMEOUT
// (refused, or no answer in time).
NTCAN_RESULT connect(const std::string& host, int port, SteadyClock::time_point deadline, int* fd);

enum class WriteResult { Done, Stuck, Broken };
// Writes all of [p, p+n), waiting for room at most timeout_ms at a time
// without progress.
WriteResult write_all(int fd, const uint8_t* p, size_t n, int timeout_ms);
// Reads exactly n bytes before the deadline.
bool read_exact(int fd, uint8_t* p, size_t n, SteadyClock::time_point deadline);
// Reads what is there (at most n bytes, at least one) before the deadline;
// the count, or -1 on a closed or broken connection or the deadline.
long read_some(int fd, uint8_t* p, size_t n, SteadyClock::time_point deadline);
// Makes a socket blocking again (the reader threads block in recv; writes
// pass MSG_DONTWAIT).
void set_blocking(int fd);

class TcpMedium;

// One handle's connection to the server. Sending appends to the output
// buffer; the thread that finds no write in progress writes the buffer, and
// whatever other threads add meanwhile, in as few system calls as possible.
// A reader thread takes what the server sends; a connection that has heard
// nothing for NTCAN_GATEWAY_KEEPALIVE_MS (default 30000 ms) sends the
// medium's keep-alive, so that a server's idle time-out never drops a handle
// that only listens on a quiet net.
class TcpPort : public Port {
 public:
  void close() override;
  Endpoint& endpoint() { return ep_; }
  bool alive() const { return !dead_.load(std::memory_order_acquire); }

 protected:
  // The answer of every call on a connection that is gone, unless the medium
  // sets gone_status_ otherwise.
  static constexpr NTCAN_RESULT kGone = NTCAN_SOCK_CONN_TIMEOUT;
  // Output bytes a connection buffers while a write is in progress before
  // senders wait for room.
  static constexpr size_t kTxLimit = 1u << 20;

  // fd: a connected socket, blocking for reads (writes pass MSG_DONTWAIT).
  TcpPort(TcpMedium* medium, Endpoint& ep, int fd, int timeout_ms);
  // A derived destructor calls stop_reader() first: the reader uses its members.
  ~TcpPort() override;

  // Runs read_loop() in the reader thread; the connection fails when it returns.
  void start_reader();
  void stop_reader();

  // Appends to the output buffer and, unless another thread is writing
  // already, writes the buffer until it is empty.
  template <typename Encode>
  NTCAN_RESULT enqueue(Encode encode);

  // The reader's wait: sends keep_alive() after every quiet spell, then reads
  // at most n bytes. The count, or 0 once the connection is closed or broken.
  size_t receive(void* p, size_t n);

  // The connection is gone: every waiting and later call answers at once.
  void fail();

  virtual void read_loop() = 0;
  virtual void keep_alive() = 0;
  // Wakes the medium's own waiters (fail() has marked the connection dead).
  virtual void wake_waiters() {}
  // Sent on close while the stream is between messages.
  virtual void say_goodbye() {}

  Endpoint& ep_;
  const int fd_;
  const int timeout_ms_;

  std::mutex fail_mx_;
  NTCAN_RESULT gone_status_ = kGone;  // what the handle answers once dead; under fail_mx_

  std::mutex tx_mx_;
  std::condition_variable tx_cv_;
  std::string txbuf_;     // under tx_mx_
  std::string spare_;     // the writing thread's
  bool writing_ = false;  // under tx_mx_
  bool closed_ = false;   // under tx_mx_

 private:
  TcpMedium* const medium_;
  const int keepalive_ms_;
  std::atomic<bool> dead_{false};
  std::thread reader_;
};

// A net whose handles each have a connection to the same server.
class TcpMedium : public Medium {
 public:
  // A device of this process speaks through one of the net's connections:
  // that connection's handle gets the frames here, every other client of the
  // server (this process's other handles too) through the server.
  NTCAN_RESULT inject(const CMSG* frames, int count) override;
  void forget(TcpPort* p);

 protected:
  // A port whose reader runs.
  void add(TcpPort* p);

 private:
  std::mutex ports_mx_;
  std::vector<TcpPort*> ports_;
};

template <typename Encode>
NTCAN_RESULT TcpPort::enqueue(Encode encode) {
  std::unique_lock<std::mutex> lk(tx_mx_);
  if (closed_) return NTCAN_INVALID_HANDLE;
  if (!alive()) return kGone;
  if (txbuf_.size() >= kTxLimit) {
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeout_ms_);
    if (!tx_cv_.wait_until(lk, deadline,
                           [&] { return closed_ || !alive() || txbuf_.size() < kTxLimit; }))
      return NTCAN_SOCK_CMD_TIMEOUT;
    if (closed_) return NTCAN_INVALID_HANDLE;
    if (!alive()) return kGone;
  }
  encode(&txbuf_);
  if (writing_) return NTCAN_SUCCESS;
  writing_ = true;
  WriteResult w = WriteResult::Done;
  while (!txbuf_.empty()) {
    spare_.swap(txbuf_);
    lk.unlock();
    w = write_all(fd_, reinterpret_cast<const uint8_t*>(spare_.data()), spare_.size(), timeout_ms_);
    spare_.clear();
    lk.lock();
    tx_cv_.notify_all();
    if (w != WriteResult::Done) break;
  }
  writing_ = false;
  if (w != WriteResult::Done) {
    // Part of a message may be on the wire: the stream cannot go on.
    txbuf_.clear();
    lk.unlock();
    fail();
    return w == WriteResult::Stuck ? NTCAN_SOCK_CMD_TIMEOUT : kGone;
  }
  return NTCAN_SUCCESS;
}

}  // namespace tcp
}  // namespace ntcan_drv

#endif  // NTCAN_TCP_CLIENT_H
