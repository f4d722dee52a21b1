// ntcan_api.cpp - the nine calls of ntcan.h over the generic layer.
//
// Every call first resolves its handle and counts itself (failing calls too),
// then lets a forced fault of the handle's net answer, then checks its
// parameters, and only then does its work.
#include <cstring>

#include "driver.h"
#include "ntcan.h"

using ntcan_drv::Driver;
using ntcan_drv::Handle;
using ntcan_drv::HandleRef;
using ntcan_drv::Net;
using ntcan_drv::Op;

namespace {

// Versions canStatus reports: 1.0 throughout.
constexpr uint16_t kVersion = 0x0100;

HandleRef resolve(Driver& d, NTCAN_HANDLE h, Op op) {
  HandleRef p = d.lookup(h);
  if (!p) {
    d.count_unknown(h, op);
    return p;
  }
  p->counters().n[ntcan_drv::op_index(op)].fetch_add(1, std::memory_order_relaxed);
  p->net_state().count(op);
  return p;
}

void set_len(int32_t* len, int32_t v) {
  if (len != nullptr) *len = v;
}

// The status of a handle whose medium connection is gone or down, or 0. A
// medium that collects frames at take time learns there whether the
// connection came back, so it is asked again before a failure is answered:
// a handle that only sends still sees its interface come back up.
NTCAN_RESULT medium_failure(Handle& h) {
  NTCAN_RESULT f = h.medium_failure();
  if (f != NTCAN_SUCCESS && h.polled()) {
    h.port().poll();
    f = h.medium_failure();
  }
  return f;
}

}  // namespace

extern "C" {

NTCAN_RESULT canOpen(int net, uint32_t flags, int32_t txqueuesize, int32_t rxqueuesize,
                     int32_t txtimeout, int32_t rxtimeout, NTCAN_HANDLE* handle) {
  (void)flags;  // no mode flags are supported; every handle is a plain 11-bit handle
  Driver& d = ntcan_drv::driver();
  if (!Driver::net_valid(net)) {
    d.count_no_net(Op::Open);
    return NTCAN_NET_NOT_FOUND;
  }
  Net& n = d.net(net);
  n.count(Op::Open);
  if (!d.config_error().empty()) return d.refuse_for_config();
  NTCAN_RESULT st;
  if (n.take_forced(Op::Open, &st)) return st;
  if (handle == nullptr || txqueuesize <= 0 || rxqueuesize <= 0 ||
      rxqueuesize > ntcan_drv::kMaxRxQueue || txtimeout < 0 || rxtimeout < 0)
    return NTCAN_INVALID_PARAMETER;
  if ((st = n.open_fault.load()) != NTCAN_SUCCESS) return st;
  std::shared_ptr<ntcan_drv::Medium> medium;
  {
    std::lock_guard<std::mutex> lk(n.cfg_mx);
    medium = n.medium;
  }
  if (!medium) return NTCAN_NET_NOT_FOUND;
  NTCAN_HANDLE id = 0;
  ntcan_drv::HandleSlot* slot = d.claim_slot(&id);
  if (slot == nullptr) return NTCAN_INSUFFICIENT_RESOURCES;
  // The transmit time-out is checked but not kept: it bounds a blocking
  // send, and the only send of this interface, canSend, never blocks (a
  // frame is on the bus or refused when the call returns).
  auto h = std::make_shared<Handle>(id, &n, rxqueuesize, rxtimeout);
  std::unique_ptr<ntcan_drv::Port> port;
  st = medium->open(*h, &port);
  if (st == NTCAN_SUCCESS && !port) st = NTCAN_INVALID_DRIVER;
  if (st != NTCAN_SUCCESS) {
    d.abandon(slot);
    return st;
  }
  h->attach(std::move(medium), std::move(port));
  h->counters().n[ntcan_drv::op_index(Op::Open)].fetch_add(1, std::memory_order_relaxed);
  d.publish(slot, std::move(h));
  *handle = id;
  return NTCAN_SUCCESS;
}

NTCAN_RESULT canClose(NTCAN_HANDLE handle) {
  Driver& d = ntcan_drv::driver();
  HandleRef h = resolve(d, handle, Op::Close);
  if (!h) return NTCAN_INVALID_HANDLE;
  NTCAN_RESULT st;
  if (h->net_state().take_forced(Op::Close, &st)) return st;
  if (!d.unpublish(h)) return NTCAN_INVALID_HANDLE;  // another thread closed it
  h->close();
  // The handle and its slot go when the last call using it ends; its counters
  // then move to the retired ones, so tests can still ask about it.
  return NTCAN_SUCCESS;
}

NTCAN_RESULT canSetBaudrate(NTCAN_HANDLE handle, uint32_t baud) {
  Driver& d = ntcan_drv::driver();
  HandleRef h = resolve(d, handle, Op::SetBaudrate);
  if (!h) return NTCAN_INVALID_HANDLE;
  NTCAN_RESULT st;
  if (h->net_state().take_forced(Op::SetBaudrate, &st)) return st;
  uint32_t rate = ntcan_drv::baud_rate(baud);
  if (rate == 0) return NTCAN_INVALID_PARAMETER;
  if ((st = medium_failure(*h)) != NTCAN_SUCCESS) return st;
  return h->set_baudrate(baud, rate);
}

NTCAN_RESULT canIdAdd(NTCAN_HANDLE handle, int32_t id) {
  Driver& d = ntcan_drv::driver();
  HandleRef h = resolve(d, handle, Op::IdAdd);
  if (!h) return NTCAN_INVALID_HANDLE;
  NTCAN_RESULT st;
  if (h->net_state().take_forced(Op::IdAdd, &st)) return st;
  if (id < 0 || id >= ntcan_drv::kIdCount) return NTCAN_INVALID_PARAMETER;
  if ((st = medium_failure(*h)) != NTCAN_SUCCESS) return st;
  return h->id_add(id);
}

NTCAN_RESULT canIdDelete(NTCAN_HANDLE handle, int32_t id) {
  Driver& d = ntcan_drv::driver();
  HandleRef h = resolve(d, handle, Op::IdDelete);
  if (!h) return NTCAN_INVALID_HANDLE;
  NTCAN_RESULT st;
  if (h->net_state().take_forced(Op::IdDelete, &st)) return st;
  if (id < 0 || id >= ntcan_drv::kIdCount) return NTCAN_INVALID_PARAMETER;
  if ((st = medium_failure(*h)) != NTCAN_SUCCESS) return st;
  return h->id_delete(id);
}

NTCAN_RESULT canSend(NTCAN_HANDLE handle, CMSG* cmsg, int32_t* len) {
  Driver& d = ntcan_drv::driver();
  HandleRef h = resolve(d, handle, Op::Send);
  if (!h) {
    set_len(len, 0);
    return NTCAN_INVALID_HANDLE;
  }
  Net& n = h->net_state();
  NTCAN_RESULT st;
  if (n.take_forced(Op::Send, &st)) {
    set_len(len, 0);
    return st;
  }
  if (cmsg == nullptr || len == nullptr || *len <= 0) {
    set_len(len, 0);
    return NTCAN_INVALID_PARAMETER;
  }
  const int32_t count = *len;
  for (int32_t i = 0; i < count; ++i) {
    if (!ntcan_drv::frame_valid(cmsg[i])) {
      *len = 0;
      return NTCAN_INVALID_PARAMETER;
    }
  }
  if (!h->is_open()) {
    *len = 0;
    return NTCAN_INVALID_HANDLE;
  }
  if ((st = medium_failure(*h)) != NTCAN_SUCCESS) {
    *len = 0;
    return st;
  }
  if (n.stalled.load(std::memory_order_relaxed)) return NTCAN_SUCCESS;  // the frames vanish
  int accepted = 0;
  st = d.put_on_bus(n, h.shared(), cmsg, count, 0, &accepted);
  *len = accepted;
  return st;
}

NTCAN_RESULT canTake(NTCAN_HANDLE handle, CMSG* cmsg, int32_t* len) {
  Driver& d = ntcan_drv::driver();
  HandleRef h = resolve(d, handle, Op::Take);
  if (!h) {
    set_len(len, 0);
    return NTCAN_INVALID_HANDLE;
  }
  NTCAN_RESULT st;
  if (h->net_state().take_forced(Op::Take, &st)) {
    set_len(len, 0);
    return st;
  }
  if (cmsg == nullptr || len == nullptr || *len <= 0) {
    set_len(len, 0);
    return NTCAN_INVALID_PARAMETER;
  }
  if (h->polled()) h->port().poll();
  int k = h->take(cmsg, *len);
  d.prefetch_after(handle);
  if (k < 0) {
    *len = 0;
    return NTCAN_INVALID_HANDLE;
  }
  *len = k;
  // Frames queued before the medium failed are still taken; an empty queue
  // answers the failure.
  if (k == 0) return h->medium_failure();
  return NTCAN_SUCCESS;
}

NTCAN_RESULT canRead(NTCAN_HANDLE handle, CMSG* cmsg, int32_t* len, void* ovrlppd) {
  Driver& d = ntcan_drv::driver();
  HandleRef h = resolve(d, handle, Op::Read);
  if (!h) {
    set_len(len, 0);
    return NTCAN_INVALID_HANDLE;
  }
  NTCAN_RESULT st;
  if (h->net_state().take_forced(Op::Read, &st)) {
    set_len(len, 0);
    return st;
  }
  if (cmsg == nullptr || len == nullptr || *len <= 0 || ovrlppd != nullptr) {
    set_len(len, 0);
    return NTCAN_INVALID_PARAMETER;
  }
  int got = 0;
  st = h->read(cmsg, *len, &got);
  *len = got;
  return st;
}

NTCAN_RESULT canStatus(NTCAN_HANDLE handle, CAN_IF_STATUS* cstat) {
  Driver& d = ntcan_drv::driver();
  HandleRef h = resolve(d, handle, Op::Status);
  if (!h) return NTCAN_INVALID_HANDLE;
  Net& n = h->net_state();
  NTCAN_RESULT st;
  if (n.take_forced(Op::Status, &st)) return st;
  if (cstat == nullptr) return NTCAN_INVALID_PARAMETER;
  CAN_IF_STATUS s;
  std::memset(&s, 0, sizeof s);
  s.hardware = kVersion;
  s.firmware = kVersion;
  s.driver = kVersion;
  s.dll = kVersion;
  static const char kBoard[] = "ZUNTAL NTCAN";
  std::memcpy(s.boardid, kBoard, sizeof kBoard);
  st = n.status_fault.load();
  if (st == NTCAN_SUCCESS && n.stalled.load()) st = NTCAN_SOCK_CMD_TIMEOUT;
  // The port reports (and, for a medium that can come back, re-checks) its
  // connection; a failure it reported earlier stands unless it cleared it.
  if (st == NTCAN_SUCCESS) st = h->port().status(&s);
  if (st == NTCAN_SUCCESS) st = h->medium_failure();
  s.boardstatus |= n.board_status.load();
  *cstat = s;
  return st;
}

}  // extern "C"
