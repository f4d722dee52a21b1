// ctl.cpp - the control interface of ntcan_ctl.h over the generic layer.
#include "driver.h"
#include "ntcan_ctl.h"

namespace ntcan_ctl {

using ntcan_drv::Driver;
using ntcan_drv::driver;

const char* op_name(Op op) {
  switch (op) {
    case Op::Open:
      return "canOpen";
    case Op::Close:
      return "canClose";
    case Op::SetBaudrate:
      return "canSetBaudrate";
    case Op::IdAdd:
      return "canIdAdd";
    case Op::IdDelete:
      return "canIdDelete";
    case Op::Send:
      return "canSend";
    case Op::Take:
      return "canTake";
    case Op::Read:
      return "canRead";
    case Op::Status:
      return "canStatus";
  }
  return "?";
}

// ---- Media -----------------------------------------------------------------------

void configure_net(int net, const NetConfig& cfg) {
  if (Driver::net_valid(net)) driver().configure_net(net, cfg);
}

NetConfig net_config(int net) {
  if (!Driver::net_valid(net)) {
    NetConfig c;
    c.kind = NetConfig::Kind::Absent;
    return c;
  }
  ntcan_drv::Net& n = driver().net(net);
  std::lock_guard<std::mutex> lk(n.cfg_mx);
  return n.cfg;
}

int load_config(const std::string& path, std::string* error) {
  std::vector<std::pair<int, NetConfig>> entries;
  if (ntcan_drv::parse_config(path, &entries, error) != 0) return -1;
  Driver& d = driver();
  for (const auto& e : entries) d.configure_net(e.first, e.second);
  return 0;
}

void reset() {
  driver().reset();
}

void skip_handle_values(NTCAN_HANDLE next) {
  driver().skip_handle_values(next);
}

// ---- Faults -------------------------------------------------------------------------

void force_status(int net, Op op, NTCAN_RESULT status, int count) {
  if (!Driver::net_valid(net) || static_cast<int>(op) < 0 || static_cast<int>(op) >= kOpCount)
    return;
  ntcan_drv::Net& n = driver().net(net);
  std::lock_guard<std::mutex> lk(n.fault_mx);
  n.forced[ntcan_drv::op_index(op)] = ntcan_drv::ForcedFault{status, count};
  bool any = false;
  for (const auto& f : n.forced) any = any || f.count != 0;
  n.forced_any.store(any, std::memory_order_release);
}

void fail_status(int net, NTCAN_RESULT status) {
  if (Driver::net_valid(net)) driver().net(net).status_fault.store(status);
}

void set_board_status(int net, uint32_t boardstatus) {
  if (Driver::net_valid(net)) driver().net(net).board_status.store(boardstatus);
}

void refuse_open(int net, NTCAN_RESULT status) {
  if (Driver::net_valid(net)) driver().net(net).open_fault.store(status);
}

void set_stalled(int net, bool stalled) {
  if (Driver::net_valid(net)) driver().net(net).stalled.store(stalled);
}

void fail_handles(int net, NTCAN_RESULT status) {
  if (Driver::net_valid(net)) driver().fail_handles(net, status);
}

// ---- Observation -----------------------------------------------------------------------

uint64_t calls(Op op, NTCAN_HANDLE h) {
  if (static_cast<int>(op) < 0 || static_cast<int>(op) >= kOpCount) return 0;
  return driver().calls(op, h);
}

uint64_t calls_on_net(int net, Op op) {
  if (!Driver::net_valid(net) || static_cast<int>(op) < 0 || static_cast<int>(op) >= kOpCount)
    return 0;
  return driver().net(net).calls[ntcan_drv::op_index(op)].load(std::memory_order_relaxed);
}

uint64_t total_calls() {
  return driver().total_calls();
}

void clear_counters() {
  driver().clear_counters();
}

std::vector<CMSG> sent_frames(int net) {
  if (!Driver::net_valid(net)) return {};
  ntcan_drv::Net& n = driver().net(net);
  std::lock_guard<std::mutex> lk(n.rec_mx);
  std::vector<CMSG> out;
  out.reserve(n.rec.size());
  out.insert(out.end(), n.rec.begin() + static_cast<std::ptrdiff_t>(n.rec_next), n.rec.end());
  out.insert(out.end(), n.rec.begin(), n.rec.begin() + static_cast<std::ptrdiff_t>(n.rec_next));
  return out;
}

void clear_sent_frames(int net) {
  if (!Driver::net_valid(net)) return;
  ntcan_drv::Net& n = driver().net(net);
  std::lock_guard<std::mutex> lk(n.rec_mx);
  n.rec.clear();
  n.rec_next = 0;
}

int handle_net(NTCAN_HANDLE h) {
  ntcan_drv::HandleRef p = driver().lookup(h);
  return p ? p->net() : -1;
}

int open_handles() {
  int sum = 0;
  for (int n = 0; n < kMaxNets; ++n) sum += open_handles(n);
  return sum;
}

int open_handles(int net) {
  if (!Driver::net_valid(net)) return 0;
  return driver().net(net).open_handles.load(std::memory_order_relaxed);
}

// ---- Devices ------------------------------------------------------------------------------

int attach_device(int net, DeviceFn fn) {
  return driver().attach_device(net, std::move(fn), nullptr);
}

int attach_device(int net, DeviceFn fn, std::string* error) {
  return driver().attach_device(net, std::move(fn), error);
}

std::string device_refusal(int net) {
  return driver().device_refusal(net);
}

void detach_device(int device_id) {
  driver().detach_device(device_id);
}

NTCAN_RESULT inject(int net, const CMSG* frames, int count, int device_id) {
  if (!Driver::net_valid(net)) return NTCAN_NET_NOT_FOUND;
  Driver& d = driver();
  ntcan_drv::Net& n = d.net(net);
  {
    std::lock_guard<std::mutex> lk(n.cfg_mx);
    if (n.cfg.kind == NetConfig::Kind::Absent) return NTCAN_NET_NOT_FOUND;
  }
  if (frames == nullptr || count <= 0) return NTCAN_INVALID_PARAMETER;
  for (int i = 0; i < count; ++i)
    if (!ntcan_drv::frame_valid(frames[i])) return NTCAN_INVALID_PARAMETER;
  int accepted = 0;
  return d.put_on_bus(n, nullptr, frames, count, device_id, &accepted);
}

// ---- Timed bus ------------------------------------------------------------------------------

void set_timed(int net, bool timed, int baud_index) {
  if (!Driver::net_valid(net)) return;
  if (!timed) {
    driver().set_timed(net, false, 0);
    return;
  }
  uint32_t rate = baud_index_rate(baud_index);
  if (rate != 0) driver().set_timed(net, true, rate);
}

uint32_t baud_index_rate(int baud_index) {
  if (baud_index < 0) return 0;
  return ntcan_drv::baud_rate(static_cast<uint32_t>(baud_index));
}

}  // namespace ntcan_ctl
