// bridge.cpp - a gateway net bridged to a SocketCAN interface (bridge.h).
#include "bridge.h"

#include <chrono>
#include <vector>

#include "ntcan_ctl.h"

namespace zgw {
namespace {

// Frames the bridge takes from the interface per call.
constexpr int kBatch = 256;
// canRead's time-out on the bridge's handle: how often it looks at stop().
constexpr int kReadTimeoutMs = 100;

}  // namespace

Bridge::Bridge(int sim_net, int can_net, std::string ifname)
    : sim_net_(sim_net), can_net_(can_net), ifname_(std::move(ifname)) {}

Bridge::~Bridge() {
  stop();
}

// A handle on the interface that takes every identifier, or the status of
// the interface that keeps it from being opened.
NTCAN_RESULT Bridge::open_interface() {
  NTCAN_HANDLE h = -1;
  NTCAN_RESULT st = canOpen(can_net_, 0, 1000, kQueue, 1000, kReadTimeoutMs, &h);
  if (st != NTCAN_SUCCESS) return st;
  // In bit-reversed order the identifiers spread over the range, so that
  // once the handle's kernel filter has become blocks (beyond 255
  // identifiers) it covers the whole range and changes no more.
  for (int32_t i = 0; i < 2048 && st == NTCAN_SUCCESS; ++i) {
    int32_t id = 0;
    for (int b = 0; b < 11; ++b) id |= ((i >> b) & 1) << (10 - b);
    st = canIdAdd(h, id);
  }
  if (st != NTCAN_SUCCESS) {
    canClose(h);
    return st;
  }
  handle_.store(h, std::memory_order_release);
  link_.store(NTCAN_SUCCESS, std::memory_order_release);
  return NTCAN_SUCCESS;
}

int Bridge::start(std::string* error) {
  ntcan_ctl::NetConfig cfg;
  cfg.kind = ntcan_ctl::NetConfig::Kind::SocketCan;
  cfg.ifname = ifname_;
  ntcan_ctl::configure_net(can_net_, cfg);
  const NTCAN_RESULT st = open_interface();
  if (st == NTCAN_CONTR_OFF_BUS) {
    link_.store(st, std::memory_order_release);
  } else if (st != NTCAN_SUCCESS) {
    if (error)
      *error =
          "interface " + ifname_ +
          (st == NTCAN_NET_NOT_FOUND    ? ": no such CAN interface"
           : st == NTCAN_INVALID_DRIVER ? ": this kernel has no SocketCAN (CAN_RAW)"
                                        : ": cannot be opened (status " + std::to_string(st) + ")");
    return -1;
  }
  device_ = ntcan_ctl::attach_device(sim_net_, [this](const CMSG& f) { to_interface(f); });
  thread_ = std::thread([this] { run(); });
  return 0;
}

void Bridge::stop() {
  {
    std::lock_guard<std::mutex> lk(mx_);
    if (stop_) return;
    stop_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
  // Waits for a frame on its way to the interface.
  if (device_ > 0) ntcan_ctl::detach_device(device_);
  device_ = -1;
  const NTCAN_HANDLE h = handle_.exchange(-1);
  if (h > 0) canClose(h);
}

// A frame of a session or a hosted device: onto the interface. Runs in the
// sender's thread, so each sender's frames keep their order.
void Bridge::to_interface(const CMSG& frame) {
  const NTCAN_HANDLE h = handle_.load(std::memory_order_acquire);
  CMSG f = frame;
  f.msg_lost = 0;
  int32_t one = 1;
  if (h > 0 && link() == NTCAN_SUCCESS && canSend(h, &f, &one) == NTCAN_SUCCESS && one == 1)
    out_.fetch_add(1, std::memory_order_relaxed);
  else
    dropped_.fetch_add(1, std::memory_order_relaxed);
}

void Bridge::pause() {
  std::unique_lock<std::mutex> lk(mx_);
  cv_.wait_for(lk, std::chrono::milliseconds(kRetryMs), [&] { return stop_; });
}

void Bridge::run() {
  std::vector<CMSG> frames(kBatch);
  for (;;) {
    {
      std::lock_guard<std::mutex> lk(mx_);
      if (stop_) return;
    }
    NTCAN_HANDLE h = handle_.load(std::memory_order_acquire);
    if (h <= 0) {
      // Gone: a new handle once an interface of that name is there (and up).
      const NTCAN_RESULT st = open_interface();
      if (st != NTCAN_SUCCESS) {
        link_.store(st == NTCAN_CONTR_OFF_BUS ? st : NTCAN_NET_NOT_FOUND,
                    std::memory_order_release);
        pause();
      }
      continue;
    }
    int32_t n = kBatch;
    const NTCAN_RESULT st = canRead(h, frames.data(), &n, nullptr);
    if (st == NTCAN_SUCCESS || st == NTCAN_RX_TIMEOUT) {
      // A handle that works again: the interface is up.
      link_.store(NTCAN_SUCCESS, std::memory_order_release);
      if (st != NTCAN_SUCCESS || n <= 0) continue;
      uint64_t lost = 0;
      for (int32_t i = 0; i < n; ++i) {
        lost += frames[i].msg_lost;
        frames[i].msg_lost = 0;
      }
      if (lost) dropped_.fetch_add(lost, std::memory_order_relaxed);
      if (ntcan_ctl::inject(sim_net_, frames.data(), n, device_) == NTCAN_SUCCESS)
        in_.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
      continue;
    }
    if (st == NTCAN_NET_NOT_FOUND) {
      // Gone for good: this handle never works again.
      link_.store(st, std::memory_order_release);
      handle_.store(-1, std::memory_order_release);
      canClose(h);
    } else if (st == NTCAN_CONTR_OFF_BUS) {
      link_.store(st, std::memory_order_release);
    }
    pause();
  }
}

}  // namespace zgw
