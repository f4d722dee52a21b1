// zuntal_frames.cpp - frame access of the node property: waiting and
// non-waiting reads, sending frames and remote requests, request-and-poll,
// copies of the node's receive buffer, the debug print and the configuration
// read of the address record.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "D_zuntal.h"
#include "canopen_ids.h"
#include "zuntal_internal.h"

using zuntal_detail::load_word;
using zuntal_detail::store_word;

namespace {

constexpr int kPollAttempts = 50;
constexpr int kPollPauseUs = 5000;
constexpr int kPollFrames = 10;

bool bad_payload(int length, const unsigned char* data) {
  return length < 0 || length > 8 || (data == nullptr && length > 0);
}

// A frame with the given identifier and length field, `n` data bytes from
// `data` and every other byte 0.
CMSG make_frame(int32_t id, uint8_t len, const unsigned char* data, int n) {
  CMSG f;
  std::memset(&f, 0, sizeof f);
  f.id = id;
  f.len = len;
  if (n > 0) std::memcpy(f.data, data, static_cast<size_t>(n));
  return f;
}

}  // namespace

int D_can::can_read(CMSG* rxmsg, int* length) {
  if (length == nullptr) return NTCAN_INVALID_PARAMETER;
  int32_t count = *length;
  store_word(length, -1);
  NTCAN_HANDLE h = handle();
  if (h < 0) return NTCAN_INVALID_HANDLE;
  int r = canRead(h, rxmsg, &count, nullptr);
  store_word(length, count);
  if (can_ret_) store_word(can_ret_, r);
  return r;
}

int D_can::can_get(CMSG* rxmsg, int* length) {
  if (length == nullptr) return NTCAN_INVALID_PARAMETER;
  int32_t count = *length;
  store_word(length, -1);
  NTCAN_HANDLE h = handle();
  if (h < 0) return NTCAN_INVALID_HANDLE;
  int r = canTake(h, rxmsg, &count);
  store_word(length, count);
  if (can_ret_) store_word(can_ret_, r);
  return r;
}

int D_can::can_write(int ident, int length, unsigned char* Data) {
  // The frame has room for 8 data bytes; anything else is refused unsent.
  if (bad_payload(length, Data)) return NTCAN_INVALID_PARAMETER;
  CMSG f = make_frame(ident, static_cast<uint8_t>(length), Data, length);
  NTCAN_HANDLE h = handle();
  if (h < 0) return NTCAN_INVALID_HANDLE;
  int32_t count = 1;
  return canSend(h, &f, &count);
}

namespace {
int send_remote_request(D_can* can, int32_t id, int l) {
  CMSG f = make_frame(id, static_cast<uint8_t>(l | NTCAN_RTR), nullptr, 0);
  NTCAN_HANDLE h = can->handle();
  if (h < 0) return NTCAN_INVALID_HANDLE;
  int32_t count = 1;
  return canSend(h, &f, &count);
}
}  // namespace

int D_can::rtr(int* ident) {
  if (ident == nullptr) return NTCAN_INVALID_PARAMETER;
  return send_remote_request(this, *ident, 0);
}

// The length goes out with the remote-request bit set, so `l` may carry
// that bit already (0x10 to 0x18); only what would not make a valid frame
// (a data length above 8, other bits) is refused, unsent.
int D_can::rtr(int* ident, int l) {
  if (ident == nullptr || l < 0 || (l & ~(NTCAN_RTR | NTCAN_DLC)) != 0 || (l & NTCAN_DLC) > 8)
    return NTCAN_INVALID_PARAMETER;
  return send_remote_request(this, *ident, l);
}

// CANopen node-guarding request to the node's error-control identifier.
int D_can::rtr() {
  return send_remote_request(this, canopen::kCobErrorControl + canIdent_.i2_data, 0);
}

int D_can::can_poll(int* ident, int* length, unsigned char* Data) {
  if (ident == nullptr || length == nullptr || bad_payload(*length, Data))
    return NTCAN_INVALID_PARAMETER;
  const CMSG req = make_frame(*ident, static_cast<uint8_t>(*length), Data, *length);
  NTCAN_HANDLE h = handle();
  if (h < 0) return NTCAN_INVALID_HANDLE;
  CMSG out = req;
  int32_t count = 1;
  int r = canSend(h, &out, &count);
  if (r != 0) return r;

  CMSG rx[kPollFrames];
  for (int attempt = 0; attempt < kPollAttempts; ++attempt) {
    TAVROsleep(0, kPollPauseUs);
    int32_t n = kPollFrames;
    r = canTake(handle(), rx, &n);
    if (r != 0 || n <= 0) continue;
    n = std::min(n, kPollFrames);
    // The answer repeats bytes 1 to 3 of the request (an SDO's index and
    // subindex); every other frame taken here is dropped.
    for (int k = 0; k < n; ++k) {
      const CMSG& m = rx[k];
      if (m.data[1] != req.data[1] || m.data[2] != req.data[2] || m.data[3] != req.data[3])
        continue;
      *ident = m.id;
      *length = m.len;
      if (Data != nullptr) std::memcpy(Data, m.data, std::min<size_t>(m.len, 8));
      if (can_ret_) store_word(can_ret_, 0);
      return 0;
    }
  }
  if (can_ret_) store_word(can_ret_, 32);
  return 32;
}

int D_can::can_array(CMSG* rxmsg, int* length) {
  if (handle() < 0 || rxmsg_len_ == nullptr || rxmsg_ == nullptr) return -1;
  if (rxmsg == nullptr || length == nullptr) return NTCAN_INVALID_PARAMETER;
  int n = load_word(rxmsg_len_);
  if (n < 0) {
    *length = 0;
  } else {
    n = std::min(n, zuntal_detail::kBufferFrames);
    std::memcpy(rxmsg, rxmsg_, sizeof(CMSG) * static_cast<size_t>(n));
    *length = n;
  }
  return load_word(can_ret_);
}

void D_can::can_print() {
  D_iiii* dbg = canIdent_debug_;
  if (dbg == nullptr) return;
  const IIII* sel = dbg->value();
  const IIII me = zuntal_detail::load_record(canIdent_);
  if (sel == nullptr || sel->i1_data != me.i1_data || sel->i2_data != me.i2_data ||
      sel->i3_data != me.i3_data)
    return;
  if (rxmsg_ == nullptr || rxmsg_len_ == nullptr) return;
  int n = std::min(load_word(rxmsg_len_), zuntal_detail::kBufferFrames);
  for (int k = 0; k < n; ++k) {
    const CMSG& m = rxmsg_[k];
    if (m.id == 0) continue;
    char data[8 * 3 + 1];
    data[0] = '\0';
    int nb = std::min<int>(m.len, 8);
    for (int b = 0; b < nb; ++b) std::snprintf(data + 3 * b, 4, " %02X", m.data[b]);
    char line[200];
    std::snprintf(line, sizeof line, "ID: %X, Len: %d, Data:%s", static_cast<unsigned>(m.id), m.len,
                  data);
    tavro::printtostderr("can_print", line, 0x80000000u);
  }
}

// The address takes a line of exactly four integers; any other line is
// reported and changes nothing. The record is stored as set_value() stores
// it: the update thread and the debug print read it meanwhile.
void D_can::read() {
  IIII a = zuntal_detail::load_record(canIdent_);
  D_conf_struct* rec = find_prop_name();
  if (rec != nullptr && rec->found) tavro::detail::read_conf_iiii(rec, basename(), &a);
  if (a.i1_data > 20) a.i1_data = 0;
  if (a.i2_data > 2000) a.i2_data = 0;
  if (a.i3_data > 2000) a.i3_data = 0;
  if (a.i4_data > 2000) a.i4_data = 0;
  zuntal_detail::store_record(canIdent_, a);
}
