// zuntal_canopen.cpp - CANopen services of the node property: NMT commands,
// SDO uploads (expedited and segmented), identity reads, emergencies and the
// node state shown by the .ALIVE child.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "D_zuntal.h"

namespace {

// CANopen identifier bases; the node id is added to them.
constexpr int kCobEmergency = 0x080;
constexpr int kCobSdoAnswer = 0x580;
constexpr int kCobSdoRequest = 0x600;
constexpr int kCobErrorControl = 0x700;

// Result of an SDO step that completed the transfer.
constexpr int kTransferComplete = 0x12345678;
// Data bytes the forms without a capacity store: the identity buffers hold
// 64 bytes including their terminating zero byte.
constexpr int kIdentityCapacity = 63;
// Internal results of the transfer steps: the object did not fit into the
// caller's buffer (the transfer is over, the node's side ended), and a
// segment filled the buffer before the last one (an abort is due).
constexpr int kObjectCut = 0x12345679;
constexpr int kBufferFull = 0x1234567A;
// Abort code sent when the caller's buffer is full: the client has no room
// for the rest of the object ("out of memory").
constexpr uint32_t kAbortNoRoom = 0x05040005;
// Frames taken from the driver per poll while an SDO answer is awaited.
constexpr int kTakeFrames = 100;
// An answer is awaited while the framework clock in whole seconds has not
// passed the start second plus this: between 2 and 3 seconds.
constexpr time_t kAnswerWaitSeconds = 2;
// Decision of an answer rule: the frame is not the awaited answer.
constexpr int kSkipFrame = 0x7FFFFFFF;

// Segments a transfer asks for at most: as many as a buffer of `capacity`
// bytes takes in 7-byte segments, plus one, so that an object that fits is
// still read whole when its node sends one short segment or ends with an
// empty last one.
int sdo_segment_limit(int capacity) {
  return capacity / 7 + (capacity % 7 != 0 ? 1 : 0) + 1;
}

// One NMT frame: identifier 0, length 2, command specifier, node id.
int send_nmt(D_can* can, uint8_t command, int node) {
  CMSG frame;
  std::memset(&frame, 0, sizeof frame);
  frame.id = 0;
  frame.len = 2;
  frame.data[0] = command;
  frame.data[1] = static_cast<uint8_t>(node & 0xFF);
  int32_t count = 1;
  NTCAN_HANDLE h = can->handle();
  if (h < 0) return NTCAN_INVALID_HANDLE;
  return canSend(h, &frame, &count);
}

// The 8 bytes of an SDO request: command byte, index low and high byte,
// subindex, four zero bytes.
void sdo_request(unsigned char* data, uint8_t command, int index, int subindex) {
  std::memset(data, 0, 8);
  data[0] = command;
  data[1] = static_cast<uint8_t>(index & 0xFF);
  data[2] = static_cast<uint8_t>((index >> 8) & 0xFF);
  data[3] = static_cast<uint8_t>(subindex & 0xFF);
}

void print_sdo_error(const char* format, int code) {
  char msg[200];
  std::snprintf(msg, sizeof msg, format, code);
  tavro::printtostderr("segSdoRead", msg, 0x80000000u);
}

// Flips the toggle bit and sends the next upload segment request to `node`.
int send_segment_request(D_can* can, int& toggle, int node) {
  toggle = toggle == 0 ? 1 : 0;
  unsigned char data[8];
  std::memset(data, 0, sizeof data);
  data[0] = static_cast<unsigned char>(0x60 + 0x10 * toggle);
  return can->can_write(kCobSdoRequest + node, 8, data);
}

// Waits for one SDO answer of `node`: takes frames from the property's handle
// without pausing until `rule` decides on a frame of the node, an abort of
// the transfer arrives (its code goes to *aborted), a take fails or the wait
// runs out (-1). Frames taken and not used are dropped. The wait is the
// property's answer time-out in milliseconds of the framework clock, or
// without one until the clock in whole seconds has passed the start second
// plus 2.
template <typename Rule>
int await_answer(D_can* can, short node, Rule rule, uint32_t* aborted) {
  const int timeout_ms = can->sdo_timeout_ms();
  const time_t start = timeout_ms > 0 ? 0 : TAVROtime();
  const int64_t deadline_us =
      timeout_ms > 0 ? tavro::clock().now_us() + int64_t{timeout_ms} * 1000 : 0;
  const int32_t answer_id = kCobSdoAnswer + node;
  CMSG frames[kTakeFrames];
  do {
    int n = kTakeFrames;
    int r = can->can_get(frames, &n);
    if (r != 0) return r;
    n = std::min(std::max(n, 0), kTakeFrames);
    for (int k = 0; k < n; ++k) {
      CMSG& m = frames[k];
      // A remote request carries no data: it is neither an abort nor an answer.
      if (m.len & NTCAN_RTR) continue;
      int code = 0;
      if (can->isAbort(&m, &code)) {
        std::printf("Segmented transfer aborted with code 0x%X\n", static_cast<unsigned>(code));
        std::fflush(stdout);
        if (aborted) *aborted = static_cast<uint32_t>(code);
        return -1;
      }
      if (m.id != answer_id) continue;
      int d = rule(m);
      if (d != kSkipFrame) return d;
    }
    // Nothing queued: give the processor to whoever delivers the answer
    // (no pause on the framework clock; the poll goes on at once).
    if (n == 0) std::this_thread::yield();
  } while (timeout_ms > 0 ? tavro::clock().now_us() < deadline_us
                          : TAVROtime() <= start + kAnswerWaitSeconds);
  return -1;
}

}  // namespace

// ---- NMT -------------------------------------------------------------------

int D_can::start_node() {
  return send_nmt(this, 1, canIdent_.i2_data);
}
int D_can::stop_node() {
  return send_nmt(this, 2, canIdent_.i2_data);
}
int D_can::reset_node() {
  return send_nmt(this, 0x81, canIdent_.i2_data);
}
int D_can::modinit() {
  return start_node();
}

// ---- SDO -------------------------------------------------------------------

int D_can::can_SDO(u_short index, u_char subindex) {
  unsigned char data[8];
  sdo_request(data, 0x40, index, subindex);
  return can_write(kCobSdoRequest + canIdent_.i2_data, 8, data);
}

int D_can::segSdoRead(short node, int idx, int subIdx, char* buffer) {
  const int r = upload(node, idx, subIdx, buffer, kIdentityCapacity, nullptr);
  // The identity-sized form shows what fits: a cut object counts as read.
  return r == kObjectCut ? 0 : r;
}

int D_can::segSdoRead(short node, int idx, int subIdx, char* buffer, int capacity, int* length) {
  const int r = upload(node, idx, subIdx, buffer, capacity, length);
  if (r != kObjectCut) return r;
  char msg[200];
  std::snprintf(msg, sizeof msg, "--Error: object 0x%04X/%d does not fit into %d bytes",
                static_cast<unsigned>(idx & 0xFFFF), subIdx & 0xFF, capacity);
  tavro::printtostderr("segSdoRead", msg, 0x80000000u);
  return SDO_OBJECT_TOO_LONG;
}

// The whole transfer, bounded by the caller's buffer: at most
// sdo_segment_limit(capacity) segments are asked for, and once the buffer is
// full before the last segment, the node's side is ended with an abort
// request. kObjectCut when the object did not fit; `*length` then gives the
// bytes stored.
int D_can::upload(short node, int idx, int subIdx, char* buffer, int capacity, int* length) {
  if (length) *length = 0;
  if (capacity < 0 || (buffer == nullptr && capacity > 0)) return -1;
  sdo_abort_code_.store(0);
  int offset = 0;

  int r = initiateUpload(node, idx, subIdx);
  if (r != 0) {
    print_sdo_error("--Error: initiateUpload failed with error %d", r);
    return r;
  }
  r = initiate_answer(node, buffer, &offset, capacity);
  if (r == kTransferComplete || r == kObjectCut) {
    if (length) *length = offset;
    return r == kTransferComplete ? 0 : kObjectCut;
  }
  if (r != 0) {
    print_sdo_error("--Error: initUploadResponse failed with error %d", r);
    return r;
  }
  const int limit = sdo_segment_limit(capacity);
  for (int segments = 0;; ++segments) {
    if (segments >= limit) {
      // A node that keeps sending short segments: end its side of the
      // transfer. (A segment that fills the buffer before the last one ends
      // the transfer in segment_answer; an empty object still fits a buffer
      // of no room, so a first segment is always asked for.)
      send_abort(node, kAbortNoRoom);
      if (length) *length = offset;
      return kObjectCut;
    }
    // The segments are asked of the node being read (requestUploadSegment
    // itself always addresses the property's own node).
    r = send_segment_request(this, ToggleBit, node);
    if (r != 0) {
      print_sdo_error("--Error: requestSegment failed with error %d", r);
      return r;
    }
    r = segment_answer(node, buffer, &offset, capacity);
    if (r == kTransferComplete || r == kObjectCut) {
      if (length) *length = offset;
      return r == kTransferComplete ? 0 : kObjectCut;
    }
    if (r != 0) return r;
  }
}

int D_can::initiateUpload(short node, int idx, int subIdx) {
  Index = idx;
  Subindex = subIdx;
  ToggleBit = 1;
  unsigned char data[8];
  sdo_request(data, 0x40, idx, subIdx);
  return can_write(kCobSdoRequest + node, 8, data);
}

int D_can::initUploadResponse(short node, char* buffer, int* offset) {
  const int r = initiate_answer(node, buffer, offset, kIdentityCapacity);
  return r == kObjectCut ? kTransferComplete : r;
}

int D_can::initUploadResponse(short node, char* buffer, int* offset, int capacity) {
  const int r = initiate_answer(node, buffer, offset, capacity);
  return r == kObjectCut ? SDO_OBJECT_TOO_LONG : r;
}

// The initiate answer; an expedited one with more data than the capacity
// gives kObjectCut (the transfer is over: nothing to abort).
int D_can::initiate_answer(short node, char* buffer, int* offset, int capacity) {
  if (buffer == nullptr || capacity < 0) capacity = 0;
  uint32_t aborted = 0;
  const int r = await_answer(
      this, node,
      [&](const CMSG& m) {
        const uint8_t c = m.data[0];
        if ((c & 0xF0) != 0x40) return kSkipFrame;
        if ((c & 0x02) == 0) return 0;  // segmented; the size it may give is not used
        const int n = (c & 0x01) ? 4 - ((c >> 2) & 3) : 4;
        const int stored = std::min(n, capacity);
        if (stored > 0) std::memcpy(buffer, m.data + 4, static_cast<size_t>(stored));
        if (stored < capacity) buffer[stored] = '\0';
        if (offset) *offset = stored;
        return stored < n ? kObjectCut : kTransferComplete;
      },
      &aborted);
  if (aborted) sdo_abort_code_.store(aborted);
  return r;
}

int D_can::requestUploadSegment(short) {
  return send_segment_request(this, ToggleBit, canIdent_.i2_data);
}

int D_can::receiveUploadSegment(short node, char* buffer, int* offset) {
  const int r = segment_answer(node, buffer, offset, kIdentityCapacity);
  return r == kObjectCut ? kTransferComplete : r;
}

int D_can::receiveUploadSegment(short node, char* buffer, int* offset, int capacity) {
  const int r = segment_answer(node, buffer, offset, capacity);
  return r == kObjectCut ? SDO_OBJECT_TOO_LONG : r;
}

// One segment answer, appended at buffer + *offset as far as the capacity
// goes. A segment that fills the buffer without being the last one ends the
// node's side of the transfer with an abort request; that, and a last
// segment that did not fit whole, give kObjectCut.
int D_can::segment_answer(short node, char* buffer, int* offset, int capacity) {
  if (buffer == nullptr || offset == nullptr || capacity < 0) capacity = 0;
  uint32_t aborted = 0;
  const int r = await_answer(
      this, node,
      [&](const CMSG& m) {
        const uint8_t c = m.data[0];
        if (c & 0xE0) return kSkipFrame;
        if (((c >> 4) & 1) != ToggleBit) {
          std::printf("--Error: bad toggle bit in segmented transfer sequence.\n");
          std::fflush(stdout);
          return -1;
        }
        const int n = 7 - ((c >> 1) & 7);
        int at = offset ? *offset : 0;
        const int room = (at >= 0 && at < capacity) ? capacity - at : 0;
        const int stored = std::min(n, room);
        if (stored > 0) std::memcpy(buffer + at, m.data + 1, static_cast<size_t>(stored));
        if (offset && at >= 0) *offset = at += stored;
        const bool last = (c & 0x01) != 0;
        if (last) return stored < n ? kObjectCut : kTransferComplete;
        return at >= capacity ? kBufferFull : 0;
      },
      &aborted);
  if (aborted) sdo_abort_code_.store(aborted);
  if (r != kBufferFull) return r;
  send_abort(node, kAbortNoRoom);
  return kObjectCut;
}

// An SDO abort request for the transfer in progress (Index, Subindex) to
// 0x600 + node. Its send status is not looked at: a node that misses it ends
// the transfer by its own time-out.
void D_can::send_abort(short node, uint32_t code) {
  unsigned char data[8];
  sdo_request(data, 0x80, Index, Subindex);
  for (int k = 0; k < 4; ++k) data[4 + k] = static_cast<unsigned char>(code >> (8 * k));
  (void)can_write(kCobSdoRequest + node, 8, data);
}

int D_can::isAbort(CMSG* m, int* abortCode) {
  if (m == nullptr) return 0;
  if ((m->data[0] & 0xF0) != 0x80) return 0;
  const int index = m->data[1] | (m->data[2] << 8);
  if (index != (Index & 0xFFFF) || m->data[3] != (Subindex & 0xFF)) return 0;
  if (abortCode) {
    const uint32_t code =
        static_cast<uint32_t>(m->data[4]) | static_cast<uint32_t>(m->data[5]) << 8 |
        static_cast<uint32_t>(m->data[6]) << 16 | static_cast<uint32_t>(m->data[7]) << 24;
    *abortCode = static_cast<int>(code);
  }
  return 1;
}

// ---- SDO download ----------------------------------------------------------

namespace {

// Abort codes the client sends when a download goes wrong on the node's side.
constexpr uint32_t kAbortToggle = 0x05030000;    // toggle bit not alternated
constexpr uint32_t kAbortTimedOut = 0x05040000;  // SDO protocol timed out
// Internal result of a download answer with the wrong toggle bit.
constexpr int kBadToggle = 0x1234567B;

void print_write_error(const char* format, int code) {
  char msg[200];
  std::snprintf(msg, sizeof msg, format, code);
  tavro::printtostderr("segSdoWrite", msg, 0x80000000u);
}

}  // namespace

int D_can::segSdoWrite(short node, int idx, int subIdx, const char* data, int length) {
  if (length < 0 || (data == nullptr && length > 0)) return -1;
  sdo_abort_code_.store(0);
  Index = idx;
  Subindex = subIdx;
  unsigned char req[8];
  const bool expedited = length >= 1 && length <= 4;
  if (expedited) {
    // Expedited with the size: bits 3..2 count the unused bytes of 4.
    sdo_request(req, static_cast<uint8_t>(0x23 | (4 - length) << 2), idx, subIdx);
    std::memcpy(req + 4, data, static_cast<size_t>(length));
  } else {
    // Segmented with the size (also for an empty object: one empty segment).
    sdo_request(req, 0x21, idx, subIdx);
    for (int k = 0; k < 4; ++k) req[4 + k] = static_cast<unsigned char>(length >> (8 * k));
  }
  int r = can_write(kCobSdoRequest + node, 8, req);
  if (r != 0) {
    print_write_error("--Error: initiateDownload failed with error %d", r);
    return r;
  }
  r = download_answer(node, -1);
  if (r != 0 || expedited) return r;
  int at = 0;
  for (int toggle = 0;; toggle ^= 1) {
    const int n = std::min(7, length - at);
    const bool last = at + n == length;
    std::memset(req, 0, sizeof req);
    req[0] = static_cast<unsigned char>(toggle << 4 | (7 - n) << 1 | (last ? 1 : 0));
    if (n > 0) std::memcpy(req + 1, data + at, static_cast<size_t>(n));
    r = can_write(kCobSdoRequest + node, 8, req);
    if (r != 0) {
      print_write_error("--Error: downloadSegment failed with error %d", r);
      return r;
    }
    r = download_answer(node, toggle);
    if (r != 0) return r;
    at += n;
    if (last) return 0;
  }
}

// The answer to a download initiate (toggle -1: 60 with the object's index
// and subindex) or to the segment sent with `toggle` (20 or 30). A toggle
// error or a time-out ends the node's side of the transfer with an abort
// request; an abort by the node ends it by itself.
int D_can::download_answer(short node, int toggle) {
  uint32_t aborted = 0;
  const int r = await_answer(
      this, node,
      [&](const CMSG& m) {
        const uint8_t c = m.data[0];
        if (toggle < 0) {
          const int index = m.data[1] | (m.data[2] << 8);
          if (c != 0x60 || index != (Index & 0xFFFF) || m.data[3] != (Subindex & 0xFF))
            return kSkipFrame;
          return 0;
        }
        if ((c & 0xE0) != 0x20) return kSkipFrame;
        return ((c >> 4) & 1) == toggle ? 0 : kBadToggle;
      },
      &aborted);
  if (aborted) {
    sdo_abort_code_.store(aborted);
    return -1;
  }
  if (r == kBadToggle) {
    std::printf("--Error: bad toggle bit in segmented transfer sequence.\n");
    std::fflush(stdout);
    send_abort(node, kAbortToggle);
    return -1;
  }
  if (r == -1) send_abort(node, kAbortTimedOut);
  return r;
}

// ---- Identity --------------------------------------------------------------

namespace {

// Reads one identity text object into `child`: the text up to its first
// unprintable character, or "error" when the upload failed.
int read_identity(D_can* can, int node, int index, D_string* child) {
  char buffer[64];
  std::memset(buffer, 0, sizeof buffer);
  int r = can->segSdoRead(static_cast<short>(node), index, 0, buffer);
  if (r != 0) {
    if (child) child->set_value(std::string("error"));
    return r;
  }
  can->check_ascii(buffer);
  if (child) child->set_value(std::string(buffer));
  return 0;
}

}  // namespace

int D_can::get_manufacture() {
  return read_identity(this, canIdent_.i2_data, 0x1008, manu_);
}

int D_can::get_hwversion() {
  return read_identity(this, canIdent_.i2_data, 0x1009, hwver_);
}

int D_can::get_swversion() {
  TAVROsleep(0, 100000);
  return read_identity(this, canIdent_.i2_data, 0x100A, swver_);
}

int D_can::check_ascii(char* aString) {
  if (aString == nullptr) return -1;
  const size_t n = strnlen(aString, 10000);
  for (size_t k = 0; k < n; ++k) {
    const unsigned char ch = static_cast<unsigned char>(aString[k]);
    if (ch < 0x20 || ch > 0x7E) {
      aString[k] = '\0';
      return -1;
    }
  }
  return 0;
}

// ---- Emergency -------------------------------------------------------------

int D_can::init_emergency() {
  if (canIdent_.i2_data > 0) return init(kCobEmergency + canIdent_.i2_data);
  return 0;
}

int D_can::can_emergency(int ident, CMSG* rxmsg, int* l) {
  if (l == nullptr || rxmsg == nullptr || *l <= 0) return 0;
  for (int k = 0; k < *l; ++k) {
    const CMSG& m = rxmsg[k];
    // A remote request on the emergency identifier carries no emergency.
    if (m.id != ident + kCobEmergency || (m.len & NTCAN_RTR)) continue;
    // At most the frame's 8 data bytes, whatever its length field says.
    const int n = std::min<int>(m.len, 8);
    char text[8 * 5 + 1];
    text[0] = '\0';
    int used = 0;
    for (int b = 0; b < n; ++b)
      used += std::snprintf(text + used, sizeof text - static_cast<size_t>(used), "0x%X ",
                            static_cast<unsigned>(m.data[b]));
    tavro::printtostderr("D_can::can_emergency", text, 0x80000000u);
    return 100;
  }
  return 0;
}

// ---- .ALIVE ----------------------------------------------------------------

D_Alive::D_Alive(const std::string& name, int* value, D_can* can, EqFct* eq)
    : D_int_ptr(name, value, eq), can_(can), eq_fct_(eq) {}

D_Alive::~D_Alive() {}

void D_Alive::set_value(int s) {
  D_int_ptr::set_value(s);
  const char* text;
  switch (s & 0x0F) {
    case 2:
      text = "Error";
      break;
    case 4:
      text = "Stopped";
      break;
    case 5:
      text = "Operational";
      break;
    case 15:
      text = "Preoperational";
      break;
    default:
      text = "default Error";
      break;
  }
  if (can_ && can_->modul_condition_) can_->modul_condition_->set_value(text);
}

int D_Alive::can_read(int ident, CMSG* rxmsg, int* l) {
  if (l == nullptr || rxmsg == nullptr || *l <= 0) return 0;
  for (int k = 0; k < *l; ++k) {
    const CMSG& m = rxmsg[k];
    if (m.id != ident + kCobErrorControl || m.len != 1) continue;
    D_int_ptr::set_value(m.data[0]);
    return (m.data[0] & 0x7F) == 5 ? 100 : 0;
  }
  return 0;
}

int D_Alive::check_alive(int ident, CMSG* rxmsg, int* l) {
  if (can_read(ident, rxmsg, l) != 100) return 0;
  set_value(get_value());
  return 100;
}

bool D_Alive::isalive() {
  return (get_value() & 0x0F) == 5;
}
