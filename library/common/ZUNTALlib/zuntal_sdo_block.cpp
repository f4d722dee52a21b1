// zuntal_sdo_block.cpp - SDO block upload and download (CiA 301) of the node
// property, with the segmented transfer as fallback once when the node
// refuses the block transfer or breaks it off.
//
// Frames of one sub-block:
//   download  client: C6 il ih sub size     server: A4|A0 il ih sub blksize
//             client: segments 01..blksize (bit 7 on the last of the object)
//             server: A2 ackseq blksize     ... until every segment is acknowledged
//             client: C1|n<<2 crc           server: A1
//   upload    client: A4 il ih sub blksize 0   server: C6|C4|C2|C0 il ih sub size
//             client: A3                      server: segments 01..blksize
//             client: A2 ackseq blksize       ... until the last segment is acknowledged
//             server: C1|n<<2 crc             client: A1
// A receiver takes the segments in order of their sequence numbers and
// passes over any other one; at the end of a sub-block (the sequence number
// of the block size, or a segment marked last) it acknowledges the last one
// taken in order, and the sender goes on after that one.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <thread>

#include "canopen_ids.h"
#include "sdo_block_crc.h"
#include "zuntal_sdo.h"

using canopen::kCobSdoAnswer;
using canopen::kCobSdoRequest;
using namespace zuntal_detail;

namespace {

constexpr int kTakeFrames = 100;
constexpr time_t kAnswerWaitSeconds = 2;
constexpr int kMaxBlockSize = 127;

using canopen::block_crc;

bool same_object(const CMSG& m, int idx, int subIdx) {
  return (m.data[1] | m.data[2] << 8) == (idx & 0xFFFF) && m.data[3] == (subIdx & 0xFF);
}

// The node's SDO answers one frame at a time. Unlike the segmented answer
// wait, which drops what it does not use of a take, the frames of a take
// are handed out one after the other: a sub-block's segments often arrive
// in one take.
class AnswerStream {
 public:
  AnswerStream(D_can& can, short node) : can_(can), answer_id_(kCobSdoAnswer + node) {}

  // The next frame of the node (Pending), an abort of the transfer from any
  // identifier (Aborted), a failed take (Driver), or nothing within the
  // property's answer time-out (TimedOut; without one, until the framework
  // clock in whole seconds has passed the start second plus 2).
  SdoResult next(CMSG* out) {
    const int timeout_ms = can_.sdo_timeout_ms();
    const time_t start = timeout_ms > 0 ? 0 : TAVROtime();
    const int64_t deadline_us =
        timeout_ms > 0 ? tavro::clock().now_us() + int64_t{timeout_ms} * 1000 : 0;
    for (;;) {
      while (pos_ < count_) {
        CMSG& m = frames_[pos_++];
        if (m.len & NTCAN_RTR) continue;
        int code = 0;
        // An abort's command byte is exactly 0x80. The last segment of a
        // sub-block is 0x80 | seqno, which isAbort alone would take for one
        // when its data happened to repeat the object's index.
        if (m.data[0] == 0x80 && can_.isAbort(&m, &code)) {
          SdoResult a = SdoResult::of(SdoStatus::Aborted);
          a.abort_code = static_cast<uint32_t>(code);
          return a;
        }
        if (m.id != answer_id_) continue;
        *out = m;
        return SdoResult::of(SdoStatus::Pending);
      }
      if (timeout_ms > 0 ? tavro::clock().now_us() >= deadline_us
                         : TAVROtime() > start + kAnswerWaitSeconds)
        return SdoResult::of(SdoStatus::TimedOut);
      int n = kTakeFrames;
      const int r = can_.can_get(frames_, &n);
      if (r != 0) return SdoResult::driver(r);
      count_ = std::min(std::max(n, 0), kTakeFrames);
      pos_ = 0;
      // Nothing queued: give the processor to whoever delivers the answer.
      if (count_ == 0) std::this_thread::yield();
    }
  }

  // Frames of the node up to the first whose command byte, masked, is
  // `command` (and, for an initiate answer, names the object): Pending with
  // that frame in *out, or what ended the wait.
  SdoResult until(CMSG* out, int mask, int command, int idx = -1, int subIdx = -1) {
    for (;;) {
      SdoResult w = next(out);
      if (w.status != SdoStatus::Pending) return w;
      if ((out->data[0] & mask) == command && (idx < 0 || same_object(*out, idx, subIdx))) return w;
    }
  }

 private:
  D_can& can_;
  const int32_t answer_id_;
  CMSG frames_[kTakeFrames];
  int pos_ = 0;
  int count_ = 0;
};

// After the library ended a block upload inside a sub-block, the rest of
// the sub-block may wait in the handle's queue; some of its segments look
// like answers of a segmented transfer (0x40 to 0x4F: an initiate answer),
// so they are dropped before anything else is asked of the node. At most
// two sub-blocks are taken.
void drop_queued(D_can& can) {
  CMSG frames[kTakeFrames];
  for (int k = 0; k < 3; ++k) {
    int n = kTakeFrames;
    if (can.can_get(frames, &n) != 0 || n <= 0) return;
  }
}

// Would a segmented transfer do what the block transfer did not: the node
// refused it or broke it off with one of the block protocol's abort codes,
// or its answers broke the protocol.
bool worth_segmented(const SdoResult& r) {
  if (r.status == SdoStatus::Protocol) return true;
  return r.status == SdoStatus::Aborted && r.abort_code >= kAbortCommand &&
         r.abort_code <= kAbortCrc;
}

}  // namespace

namespace zuntal_detail {

SdoResult SdoClient::wait_failed(D_can& can, short node, SdoResult r) {
  if (r.status == SdoStatus::Aborted) can.sdo_abort_code_.store(r.abort_code);
  if (r.status == SdoStatus::TimedOut) SdoClient::send_abort(can, node, kAbortTimedOut);
  return r;
}

// Ends the transfer on a protocol error of the node: abort request, Protocol.
static SdoResult protocol_error(D_can& can, short node, uint32_t code) {
  SdoClient::send_abort(can, node, code);
  return SdoResult::of(SdoStatus::Protocol);
}

// Ends an upload whose object does not fit the caller's buffer: abort
// request, TooLong with the buffer's size.
static SdoResult no_room(D_can& can, short node, int capacity) {
  SdoClient::send_abort(can, node, kAbortNoRoom);
  SdoResult t = SdoResult::of(SdoStatus::TooLong);
  t.length = capacity;
  return t;
}

SdoResult SdoClient::block_upload(D_can& can, short node, int idx, int subIdx, char* buffer,
                                  int capacity) {
  if (capacity < 0 || (buffer == nullptr && capacity > 0))
    return SdoResult::of(SdoStatus::Argument);
  begin(can, idx, subIdx);
  const int blksize = can.sdo_block_size();
  unsigned char req[8];
  sdo_request(req, 0xA4, idx, subIdx);  // CRC supported
  req[4] = static_cast<unsigned char>(blksize);
  req[5] = 0;  // no switch to the segmented protocol
  int r = can.can_write(kCobSdoRequest + node, 8, req);
  if (r != 0) return SdoResult::driver(r);

  AnswerStream in(can, node);
  CMSG m;
  SdoResult w = in.until(&m, 0xE1, 0xC0, idx, subIdx);
  if (w.status != SdoStatus::Pending) return wait_failed(can, node, w);
  const bool crc = (m.data[0] & 0x04) != 0;
  const bool sized = (m.data[0] & 0x02) != 0;
  const uint32_t size = static_cast<uint32_t>(m.data[4]) | static_cast<uint32_t>(m.data[5]) << 8 |
                        static_cast<uint32_t>(m.data[6]) << 16 |
                        static_cast<uint32_t>(m.data[7]) << 24;
  std::memset(req, 0, sizeof req);
  req[0] = 0xA3;  // start
  r = can.can_write(kCobSdoRequest + node, 8, req);
  if (r != 0) return SdoResult::driver(r);

  // The segments taken in order, 7 bytes each (the last one's unused bytes
  // are counted off at the end). A node that keeps sending without progress
  // is given up after this many segments.
  int64_t got = 0;
  const int64_t segment_limit = 4 * (int64_t{capacity} / 7 + 2) + 2 * kMaxBlockSize;
  int64_t segments = 0;
  bool last = false;
  while (!last) {
    int expected = 1;
    int good = 0;
    for (;;) {
      w = in.next(&m);
      if (w.status != SdoStatus::Pending) return wait_failed(can, node, w);
      if (++segments > segment_limit) return protocol_error(can, node, kAbortSequence);
      const int seq = m.data[0] & 0x7F;
      const bool end = (m.data[0] & 0x80) != 0;
      if (seq == expected) {
        const int64_t room = std::max<int64_t>(0, capacity - got);
        const int64_t n = std::min<int64_t>(7, room);
        if (n > 0) std::memcpy(buffer + got, m.data + 1, static_cast<size_t>(n));
        if (!end && got + 7 >= capacity) {
          // The buffer is full and more data follows.
          return no_room(can, node, capacity);
        }
        got += 7;
        good = seq;
        ++expected;
        last = end;
      }
      if (seq == blksize || end) break;
    }
    std::memset(req, 0, sizeof req);
    req[0] = 0xA2;
    req[1] = static_cast<unsigned char>(good);
    req[2] = static_cast<unsigned char>(blksize);
    r = can.can_write(kCobSdoRequest + node, 8, req);
    if (r != 0) return SdoResult::driver(r);
  }

  // A segment sent again after the last acknowledgement is passed over.
  w = in.until(&m, 0xE3, 0xC1);
  if (w.status != SdoStatus::Pending) return wait_failed(can, node, w);
  const int unused = (m.data[0] >> 2) & 7;
  const int64_t length = got - unused;
  if (length < 0 || (sized && length != int64_t{size}))
    return protocol_error(can, node, kAbortLength);
  if (length > capacity) {
    return no_room(can, node, capacity);
  }
  const uint16_t their_crc = static_cast<uint16_t>(m.data[1] | m.data[2] << 8);
  if (crc && block_crc(reinterpret_cast<const unsigned char*>(buffer),
                       static_cast<size_t>(length)) != their_crc)
    return protocol_error(can, node, kAbortCrc);
  std::memset(req, 0, sizeof req);
  req[0] = 0xA1;
  r = can.can_write(kCobSdoRequest + node, 8, req);
  if (r != 0) return SdoResult::driver(r);
  SdoResult done = SdoResult::of(SdoStatus::Done);
  done.length = static_cast<int>(length);
  return done;
}

SdoResult SdoClient::block_download(D_can& can, short node, int idx, int subIdx, const char* data,
                                    int length) {
  if (length < 0 || (data == nullptr && length > 0)) return SdoResult::of(SdoStatus::Argument);
  begin(can, idx, subIdx);
  unsigned char req[8];
  sdo_request(req, 0xC6, idx, subIdx);  // CRC supported, size given
  for (int k = 0; k < 4; ++k) req[4 + k] = static_cast<unsigned char>(length >> (8 * k));
  int r = can.can_write(kCobSdoRequest + node, 8, req);
  if (r != 0) return SdoResult::driver(r);

  AnswerStream in(can, node);
  CMSG m;
  SdoResult w = in.until(&m, 0xE3, 0xA0, idx, subIdx);
  if (w.status != SdoStatus::Pending) return wait_failed(can, node, w);
  const bool crc = (m.data[0] & 0x04) != 0;
  int blksize = m.data[4];
  if (blksize < 1 || blksize > kMaxBlockSize) return protocol_error(can, node, kAbortBlockSize);

  // Segments of 7 bytes, at least one (an empty object is one empty
  // segment). A node that keeps acknowledging nothing is given up after as
  // many sub-blocks as there are segments, plus a few.
  const int64_t total = std::max<int64_t>(1, (int64_t{length} + 6) / 7);
  int64_t acked = 0;
  int64_t rounds = 0;
  while (acked < total) {
    if (++rounds > total + 8) return protocol_error(can, node, kAbortSequence);
    const int n = static_cast<int>(std::min<int64_t>(blksize, total - acked));
    for (int s = 1; s <= n; ++s) {
      const int64_t seg = acked + s - 1;
      const int64_t at = seg * 7;
      const int bytes = static_cast<int>(std::min<int64_t>(7, length - at));
      std::memset(req, 0, sizeof req);
      req[0] = static_cast<unsigned char>((seg == total - 1 ? 0x80 : 0) | s);
      if (bytes > 0) std::memcpy(req + 1, data + at, static_cast<size_t>(bytes));
      r = can.can_write(kCobSdoRequest + node, 8, req);
      if (r != 0) return SdoResult::driver(r);
    }
    w = in.until(&m, 0xE3, 0xA2);
    if (w.status != SdoStatus::Pending) return wait_failed(can, node, w);
    const int ackseq = m.data[1];
    if (ackseq > n) return protocol_error(can, node, kAbortSequence);
    blksize = m.data[2];
    if (blksize < 1 || blksize > kMaxBlockSize) return protocol_error(can, node, kAbortBlockSize);
    acked += ackseq;
  }

  const int unused = static_cast<int>(total * 7 - length);
  const uint16_t sum =
      crc ? block_crc(reinterpret_cast<const unsigned char*>(data), static_cast<size_t>(length))
          : 0;
  std::memset(req, 0, sizeof req);
  req[0] = static_cast<unsigned char>(0xC1 | unused << 2);
  req[1] = static_cast<unsigned char>(sum & 0xFF);
  req[2] = static_cast<unsigned char>(sum >> 8);
  r = can.can_write(kCobSdoRequest + node, 8, req);
  if (r != 0) return SdoResult::driver(r);
  w = in.until(&m, 0xE3, 0xA1);
  if (w.status != SdoStatus::Pending) return wait_failed(can, node, w);
  SdoResult done = SdoResult::of(SdoStatus::Done);
  done.length = length;
  return done;
}

}  // namespace zuntal_detail

// ---- public forms ------------------------------------------------------------

namespace zuntal_detail {

// What a block transfer the node refused or broke off ends as: the segmented
// transfer once more. When the segmented one succeeds, the abort codes that
// ended the block transfer stay the property's (sdo_abort_code,
// sdo_sent_abort_code), so that the reason remains visible. Any other abort
// of the node is reported as the block transfer's.
SdoResult SdoClient::after_block(D_can& can, const char* label, const char* direction,
                                 const SdoResult& block, int idx, int subIdx,
                                 const std::function<SdoResult()>& segmented) {
  char msg[200];
  if (!worth_segmented(block)) {
    if (block.status == SdoStatus::Aborted) {
      std::snprintf(msg, sizeof msg, "--Error: block %s aborted by the node with code 0x%08X",
                    direction, block.abort_code);
      tavro::printtostderr(label, msg, 0x80000000u);
    }
    return block;
  }
  const uint32_t refused = block.status == SdoStatus::Aborted ? block.abort_code : 0;
  const uint32_t sent = can.sdo_sent_abort_code_.load();
  if (block.status == SdoStatus::Aborted)
    std::snprintf(msg, sizeof msg,
                  "block transfer of 0x%04X/%d refused by the node (abort 0x%08X, %s); "
                  "segmented transfer follows",
                  static_cast<unsigned>(idx & 0xFFFF), subIdx & 0xFF, block.abort_code,
                  sdo_abort_text(block.abort_code));
  else
    std::snprintf(msg, sizeof msg,
                  "block transfer of 0x%04X/%d broken off (protocol error, abort 0x%08X sent); "
                  "segmented transfer follows",
                  static_cast<unsigned>(idx & 0xFFFF), subIdx & 0xFF, can.sdo_sent_abort_code());
  tavro::printtostderr(label, msg, 0x80000000u);
  SdoResult r = segmented();
  r.fell_back = true;
  if (r.status == SdoStatus::Done) {
    can.sdo_abort_code_.store(refused);
    can.sdo_sent_abort_code_.store(sent);
  }
  return r;
}

}  // namespace zuntal_detail

int D_can::blockSdoRead(short node, int idx, int subIdx, char* buffer, int capacity, int* length) {
  SdoResult r = SdoClient::block_upload(*this, node, idx, subIdx, buffer, capacity);
  if (r.failed() && sdo_sent_abort_code_.load() != 0) drop_queued(*this);
  r = SdoClient::after_block(*this, "blockSdoRead", "upload", r, idx, subIdx, [&] {
    return SdoClient::upload(*this, node, idx, subIdx, buffer, capacity);
  });
  if (length)
    *length = (r.status == SdoStatus::Done || r.status == SdoStatus::TooLong) ? r.length : 0;
  if (r.status == SdoStatus::TooLong) print_no_room("blockSdoRead", idx, subIdx, capacity);
  return r.code();
}

int D_can::blockSdoWrite(short node, int idx, int subIdx, const char* data, int length) {
  const SdoResult r = SdoClient::block_download(*this, node, idx, subIdx, data, length);
  return SdoClient::after_block(
             *this, "blockSdoWrite", "download", r, idx, subIdx,
             [&] { return SdoClient::download(*this, node, idx, subIdx, data, length); })
      .code();
}
