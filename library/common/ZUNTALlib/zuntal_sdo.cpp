// zuntal_sdo.cpp - the SDO client of the node property: expedited and
// segmented upload and download. Inside, every step yields a typed result
// (zuntal_sdo.h); the public forms turn it into their int codes.
#include "zuntal_sdo.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <thread>

#include "canopen_ids.h"

using canopen::kCobSdoAnswer;
using canopen::kCobSdoRequest;
using zuntal_detail::kAbortNoRoom;
using zuntal_detail::kAbortTimedOut;
using zuntal_detail::sdo_request;
using zuntal_detail::SdoClient;
using zuntal_detail::SdoResult;
using zuntal_detail::SdoStatus;

namespace {

// Result of the step forms when their step completed the transfer.
constexpr int kTransferComplete = 0x12345678;
// Data bytes the forms without a capacity store: the identity buffers hold
// 64 bytes including their terminating zero byte.
constexpr int kIdentityCapacity = 63;
// Abort code sent when a download answer has the wrong toggle bit.
constexpr uint32_t kAbortToggle = 0x05030000;
// Frames taken from the driver per poll while an SDO answer is awaited.
constexpr int kTakeFrames = 100;
// An answer is awaited while the framework clock in whole seconds has not
// passed the start second plus this: between 2 and 3 seconds.
constexpr time_t kAnswerWaitSeconds = 2;
// Decisions of an answer rule: the frame is not the awaited answer; the
// awaited answer carries the wrong toggle bit; a segment filled the buffer
// before the last one.
constexpr int kSkipFrame = 0x7FFFFFFF;
constexpr int kBadToggle = 0x7FFFFFFE;
constexpr int kBufferFull = 0x7FFFFFFD;
// Decisions that end a transfer: complete, or complete with an object that
// did not fit.
constexpr int kComplete = 1;
constexpr int kCut = 2;

// Segments a transfer asks for at most: as many as a buffer of `capacity`
// bytes takes in 7-byte segments, plus one, so that an object that fits is
// still read whole when its node sends one short segment or ends with an
// empty last one.
int sdo_segment_limit(int capacity) {
  return capacity / 7 + (capacity % 7 != 0 ? 1 : 0) + 1;
}

void print_error(const char* label, const char* format, int code) {
  char msg[200];
  std::snprintf(msg, sizeof msg, format, code);
  tavro::printtostderr(label, msg, 0x80000000u);
}

void print_bad_toggle() {
  std::printf("--Error: bad toggle bit in segmented transfer sequence.\n");
  std::fflush(stdout);
}

// Flips the toggle bit and sends the next upload segment request to `node`.
int send_segment_request(D_can* can, int& toggle, int node) {
  toggle = toggle == 0 ? 1 : 0;
  unsigned char data[8];
  std::memset(data, 0, sizeof data);
  data[0] = static_cast<unsigned char>(0x60 + 0x10 * toggle);
  return can->can_write(kCobSdoRequest + node, 8, data);
}

// The int of a step form: 0 while the transfer goes on, kTransferComplete
// when it is over; a cut object counts as complete for the identity-sized
// forms (`cut_completes`).
int step_code(const SdoResult& r, bool cut_completes) {
  if (r.status == SdoStatus::Done) return kTransferComplete;
  if (r.status == SdoStatus::TooLong && cut_completes) return kTransferComplete;
  return r.code();
}

// Waits for one SDO answer of `node`: takes frames from the property's handle
// without pausing until `rule` decides on a frame of the node (Pending, the
// decision in *decision), an abort of the transfer arrives (Aborted, also
// kept as the property's abort code), a take fails (Driver) or the wait runs
// out (TimedOut). Frames taken and not used are dropped. The wait is the
// property's answer time-out in milliseconds of the framework clock, or
// without one until the clock in whole seconds has passed the start second
// plus 2.
template <typename Rule>
SdoResult await_answer(D_can* can, short node, Rule rule, int* decision) {
  const int timeout_ms = can->sdo_timeout_ms();
  const time_t start = timeout_ms > 0 ? 0 : TAVROtime();
  const int64_t deadline_us =
      timeout_ms > 0 ? tavro::clock().now_us() + int64_t{timeout_ms} * 1000 : 0;
  const int32_t answer_id = kCobSdoAnswer + node;
  CMSG frames[kTakeFrames];
  do {
    int n = kTakeFrames;
    int r = can->can_get(frames, &n);
    if (r != 0) return SdoResult::driver(r);
    n = std::min(std::max(n, 0), kTakeFrames);
    for (int k = 0; k < n; ++k) {
      CMSG& m = frames[k];
      // A remote request carries no data: it is neither an abort nor an answer.
      if (m.len & NTCAN_RTR) continue;
      int code = 0;
      if (can->isAbort(&m, &code)) {
        std::printf("Segmented transfer aborted with code 0x%X\n", static_cast<unsigned>(code));
        std::fflush(stdout);
        SdoResult a = SdoResult::of(SdoStatus::Aborted);
        a.abort_code = static_cast<uint32_t>(code);
        return a;
      }
      if (m.id != answer_id) continue;
      int d = rule(m);
      if (d != kSkipFrame) {
        *decision = d;
        return SdoResult::of(SdoStatus::Pending);
      }
    }
    // Nothing queued: give the processor to whoever delivers the answer
    // (no pause on the framework clock; the poll goes on at once).
    if (n == 0) std::this_thread::yield();
  } while (timeout_ms > 0 ? tavro::clock().now_us() < deadline_us
                          : TAVROtime() <= start + kAnswerWaitSeconds);
  return SdoResult::of(SdoStatus::TimedOut);
}

}  // namespace

// ---- public forms ----------------------------------------------------------

int D_can::can_SDO(u_short index, u_char subindex) {
  unsigned char data[8];
  sdo_request(data, 0x40, index, subindex);
  return can_write(kCobSdoRequest + canIdent_.i2_data, 8, data);
}

int D_can::segSdoRead(short node, int idx, int subIdx, char* buffer) {
  const SdoResult r = SdoClient::upload(*this, node, idx, subIdx, buffer, kIdentityCapacity);
  // The identity-sized form shows what fits: a cut object counts as read.
  return r.status == SdoStatus::TooLong ? 0 : r.code();
}

int D_can::segSdoRead(short node, int idx, int subIdx, char* buffer, int capacity, int* length) {
  const SdoResult r = SdoClient::upload(*this, node, idx, subIdx, buffer, capacity);
  if (length) *length = r.length;
  if (r.status == SdoStatus::TooLong)
    zuntal_detail::print_no_room("segSdoRead", idx, subIdx, capacity);
  return r.code();
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
  return step_code(SdoClient::initiate_answer(*this, node, buffer, offset, kIdentityCapacity),
                   true);
}

int D_can::initUploadResponse(short node, char* buffer, int* offset, int capacity) {
  return step_code(SdoClient::initiate_answer(*this, node, buffer, offset, capacity), false);
}

int D_can::requestUploadSegment(short) {
  return send_segment_request(this, ToggleBit, canIdent_.i2_data);
}

int D_can::receiveUploadSegment(short node, char* buffer, int* offset) {
  return step_code(SdoClient::segment_answer(*this, node, buffer, offset, kIdentityCapacity), true);
}

int D_can::receiveUploadSegment(short node, char* buffer, int* offset, int capacity) {
  return step_code(SdoClient::segment_answer(*this, node, buffer, offset, capacity), false);
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

int D_can::segSdoWrite(short node, int idx, int subIdx, const char* data, int length) {
  return SdoClient::download(*this, node, idx, subIdx, data, length).code();
}

// ---- upload ----------------------------------------------------------------

namespace zuntal_detail {

void print_no_room(const char* label, int idx, int subIdx, int capacity) {
  char msg[200];
  std::snprintf(msg, sizeof msg, "--Error: object 0x%04X/%d does not fit into %d bytes",
                static_cast<unsigned>(idx & 0xFFFF), subIdx & 0xFF, capacity);
  tavro::printtostderr(label, msg, 0x80000000u);
}

// The whole transfer, bounded by the caller's buffer: at most
// sdo_segment_limit(capacity) segments are asked for, and once the buffer is
// full before the last segment, the node's side is ended with an abort
// request. TooLong when the object did not fit; `length` then gives the bytes
// stored.
SdoResult SdoClient::upload(D_can& can, short node, int idx, int subIdx, char* buffer,
                            int capacity) {
  if (capacity < 0 || (buffer == nullptr && capacity > 0))
    return SdoResult::of(SdoStatus::Argument);
  begin(can, idx, subIdx);
  int offset = 0;

  int r = can.initiateUpload(node, idx, subIdx);
  if (r != 0) {
    print_error("segSdoRead", "--Error: initiateUpload failed with error %d", r);
    return SdoResult::driver(r);
  }
  SdoResult res = initiate_answer(can, node, buffer, &offset, capacity);
  if (res.status == SdoStatus::Done || res.status == SdoStatus::TooLong) {
    res.length = offset;
    return res;
  }
  if (res.failed()) {
    print_error("segSdoRead", "--Error: initUploadResponse failed with error %d", res.code());
    return res;
  }
  const int limit = sdo_segment_limit(capacity);
  for (int segments = 0;; ++segments) {
    if (segments >= limit) {
      // A node that keeps sending short segments: end its side of the
      // transfer. (A segment that fills the buffer before the last one ends
      // the transfer in segment_answer; an empty object still fits a buffer
      // of no room, so a first segment is always asked for.)
      send_abort(can, node, kAbortNoRoom);
      res = SdoResult::of(SdoStatus::TooLong);
      res.length = offset;
      return res;
    }
    // The segments are asked of the node being read (requestUploadSegment
    // itself always addresses the property's own node).
    r = send_segment_request(&can, can.ToggleBit, node);
    if (r != 0) {
      print_error("segSdoRead", "--Error: requestSegment failed with error %d", r);
      return SdoResult::driver(r);
    }
    res = segment_answer(can, node, buffer, &offset, capacity);
    if (res.status == SdoStatus::Done || res.status == SdoStatus::TooLong) {
      res.length = offset;
      return res;
    }
    if (res.failed()) return res;
  }
}

// The initiate answer: Pending for a segmented one, Done for an expedited
// one, TooLong for an expedited one with more data than the capacity (the
// transfer is over: nothing to abort).
SdoResult SdoClient::initiate_answer(D_can& can, short node, char* buffer, int* offset,
                                     int capacity) {
  if (buffer == nullptr || capacity < 0) capacity = 0;
  int decision = 0;
  SdoResult res = await_answer(
      &can, node,
      [&](const CMSG& m) {
        const uint8_t c = m.data[0];
        if ((c & 0xF0) != 0x40) return kSkipFrame;
        if ((c & 0x02) == 0) return 0;  // segmented; the size it may give is not used
        const int n = (c & 0x01) ? 4 - ((c >> 2) & 3) : 4;
        const int stored = std::min(n, capacity);
        if (stored > 0) std::memcpy(buffer, m.data + 4, static_cast<size_t>(stored));
        if (stored < capacity) buffer[stored] = '\0';
        if (offset) *offset = stored;
        return stored < n ? kCut : kComplete;
      },
      &decision);
  if (res.status == SdoStatus::Aborted) can.sdo_abort_code_.store(res.abort_code);
  if (res.status != SdoStatus::Pending) return res;
  if (decision == kComplete) return SdoResult::of(SdoStatus::Done);
  if (decision == kCut) return SdoResult::of(SdoStatus::TooLong);
  return res;
}

// One segment answer, appended at buffer + *offset as far as the capacity
// goes. A segment that fills the buffer without being the last one ends the
// node's side of the transfer with an abort request; that, and a last
// segment that did not fit whole, give TooLong.
SdoResult SdoClient::segment_answer(D_can& can, short node, char* buffer, int* offset,
                                    int capacity) {
  if (buffer == nullptr || offset == nullptr || capacity < 0) capacity = 0;
  int decision = 0;
  SdoResult res = await_answer(
      &can, node,
      [&](const CMSG& m) {
        const uint8_t c = m.data[0];
        if (c & 0xE0) return kSkipFrame;
        if (((c >> 4) & 1) != can.ToggleBit) return kBadToggle;
        const int n = 7 - ((c >> 1) & 7);
        int at = offset ? *offset : 0;
        const int room = (at >= 0 && at < capacity) ? capacity - at : 0;
        const int stored = std::min(n, room);
        if (stored > 0) std::memcpy(buffer + at, m.data + 1, static_cast<size_t>(stored));
        if (offset && at >= 0) *offset = at += stored;
        const bool last = (c & 0x01) != 0;
        if (last) return stored < n ? kCut : kComplete;
        return at >= capacity ? kBufferFull : 0;
      },
      &decision);
  if (res.status == SdoStatus::Aborted) can.sdo_abort_code_.store(res.abort_code);
  if (res.status != SdoStatus::Pending) return res;
  switch (decision) {
    case kBadToggle:
      print_bad_toggle();
      return SdoResult::of(SdoStatus::Protocol);
    case kBufferFull:
      send_abort(can, node, kAbortNoRoom);
      return SdoResult::of(SdoStatus::TooLong);
    case kCut:
      return SdoResult::of(SdoStatus::TooLong);
    case kComplete:
      return SdoResult::of(SdoStatus::Done);
    default:
      return res;
  }
}

// An SDO abort request for the transfer in progress (Index, Subindex) to
// 0x600 + node. Its send status is not looked at: a node that misses it ends
// the transfer by its own time-out.
void SdoClient::send_abort(D_can& can, short node, uint32_t code) {
  can.sdo_sent_abort_code_.store(code);
  unsigned char data[8];
  sdo_request(data, 0x80, can.Index, can.Subindex);
  for (int k = 0; k < 4; ++k) data[4 + k] = static_cast<unsigned char>(code >> (8 * k));
  (void)can.can_write(kCobSdoRequest + node, 8, data);
}

void SdoClient::begin(D_can& can, int idx, int subIdx) {
  can.sdo_abort_code_.store(0);
  can.sdo_sent_abort_code_.store(0);
  can.Index = idx;
  can.Subindex = subIdx;
}

// ---- download --------------------------------------------------------------

SdoResult SdoClient::download(D_can& can, short node, int idx, int subIdx, const char* data,
                              int length) {
  if (length < 0 || (data == nullptr && length > 0)) return SdoResult::of(SdoStatus::Argument);
  begin(can, idx, subIdx);
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
  int r = can.can_write(kCobSdoRequest + node, 8, req);
  if (r != 0) {
    print_error("segSdoWrite", "--Error: initiateDownload failed with error %d", r);
    return SdoResult::driver(r);
  }
  SdoResult res = download_answer(can, node, -1);
  if (res.failed()) return res;
  if (expedited) {
    res = SdoResult::of(SdoStatus::Done);
    res.length = length;
    return res;
  }
  int at = 0;
  for (int toggle = 0;; toggle ^= 1) {
    const int n = std::min(7, length - at);
    const bool last = at + n == length;
    std::memset(req, 0, sizeof req);
    req[0] = static_cast<unsigned char>(toggle << 4 | (7 - n) << 1 | (last ? 1 : 0));
    if (n > 0) std::memcpy(req + 1, data + at, static_cast<size_t>(n));
    r = can.can_write(kCobSdoRequest + node, 8, req);
    if (r != 0) {
      print_error("segSdoWrite", "--Error: downloadSegment failed with error %d", r);
      return SdoResult::driver(r);
    }
    res = download_answer(can, node, toggle);
    if (res.failed()) return res;
    at += n;
    if (last) {
      res = SdoResult::of(SdoStatus::Done);
      res.length = length;
      return res;
    }
  }
}

// The answer to a download initiate (toggle -1: 60 with the object's index
// and subindex) or to the segment sent with `toggle` (20 or 30). A toggle
// error or a time-out ends the node's side of the transfer with an abort
// request; an abort by the node ends it by itself.
SdoResult SdoClient::download_answer(D_can& can, short node, int toggle) {
  int decision = 0;
  SdoResult res = await_answer(
      &can, node,
      [&](const CMSG& m) {
        const uint8_t c = m.data[0];
        if (toggle < 0) {
          const int index = m.data[1] | (m.data[2] << 8);
          if (c != 0x60 || index != (can.Index & 0xFFFF) || m.data[3] != (can.Subindex & 0xFF))
            return kSkipFrame;
          return 0;
        }
        if ((c & 0xE0) != 0x20) return kSkipFrame;
        return ((c >> 4) & 1) == toggle ? 0 : kBadToggle;
      },
      &decision);
  if (res.status == SdoStatus::Aborted) {
    can.sdo_abort_code_.store(res.abort_code);
    return res;
  }
  if (res.status == SdoStatus::TimedOut) send_abort(can, node, kAbortTimedOut);
  if (res.status != SdoStatus::Pending) return res;
  if (decision == kBadToggle) {
    print_bad_toggle();
    send_abort(can, node, kAbortToggle);
    return SdoResult::of(SdoStatus::Protocol);
  }
  return res;
}

}  // namespace zuntal_detail
