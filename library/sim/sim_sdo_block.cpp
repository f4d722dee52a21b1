// sim_sdo_block.cpp - block upload and download of the simulated device's
// SDO server (CiA 301), with CRC, a block size of the device's choosing in
// downloads, and the faults of Device::set_block_fault. Runs with the
// device's mutex held (sim_core.h).
//
// A receiver takes the segments of a sub-block in order of their sequence
// numbers and passes over any other one; at the end of the sub-block (the
// sequence number of the block size, or a segment marked last) it
// acknowledges the last segment taken in order, and the sender goes on
// after that one.
#include "sdo_block_crc.h"
#include "sim_core.h"

namespace zsim {

namespace {

using canopen::block_crc;

// Segments of 7 bytes an object of `size` bytes takes: at least one (an
// empty object is one empty segment).
size_t segments_of(size_t size) {
  return std::max<size_t>(1, (size + 6) / 7);
}

}  // namespace

void Device::set_block_size(int segments) {
  std::lock_guard<std::mutex> lk(core_->mx);
  core_->block_size = std::min(127, std::max(1, segments));
}

void Device::set_block_fault(BlockFault fault, int seq) {
  std::lock_guard<std::mutex> lk(core_->mx);
  if (fault == BlockFault::Refuse) {
    core_->refuse_block = true;
    return;
  }
  core_->pending_fault = fault;
  core_->pending_fault_seq = seq;
}

void Device::Core::arm_block_fault() {
  fault = pending_fault;
  fault_seq = pending_fault_seq;
  pending_fault = BlockFault::None;
}

// Requests with command specifier 5: initiate (A0/A4), start (A3), the
// acknowledgement of a sub-block (A2) and the end response (A1).
void Device::Core::block_upload(const uint8_t* d, Frames* out) {
  const uint16_t index = static_cast<uint16_t>(d[1] | d[2] << 8);
  const uint8_t sub = d[3];
  BlockUpload& up = block_up;
  switch (d[0] & 0x03) {
    case 0: {
      end_sdo_transfers();
      if (refuse_block) return abort(out, index, sub, kAbortCommand);
      OdValue* v;
      if (uint32_t code = lookup(index, sub, &v)) return abort(out, index, sub, code);
      if (!readable(v->access)) return abort(out, index, sub, kAbortWriteOnly);
      if (d[4] < 1 || d[4] > 127) return abort(out, index, sub, kAbortBlockSize);
      up.active = true;
      up.index = index;
      up.sub = sub;
      up.data = v->bytes;
      up.crc = (d[0] & 0x04) != 0;
      up.blksize = d[4];
      arm_block_fault();
      // CRC supported, size given.
      return answer(out, sdo_frame(node, 0xC6, index, sub, static_cast<uint32_t>(up.data.size())));
    }
    case 3:
      if (!up.active || up.started) return abort(out, up.index, up.sub, kAbortCommand);
      up.started = true;
      return send_sub_block(out);
    case 2: {
      if (!up.active || !up.started) return abort(out, up.index, up.sub, kAbortCommand);
      const int ackseq = d[1];
      if (ackseq > up.sent) {
        const uint16_t i = up.index;
        const uint8_t s = up.sub;
        end_sdo_transfers();
        return abort(out, i, s, kAbortSequence);
      }
      if (d[2] < 1 || d[2] > 127) {
        const uint16_t i = up.index;
        const uint8_t s = up.sub;
        end_sdo_transfers();
        return abort(out, i, s, kAbortBlockSize);
      }
      up.acked += static_cast<size_t>(ackseq);
      up.blksize = d[2];
      if (up.acked < segments_of(up.data.size())) return send_sub_block(out);
      // Every segment is acknowledged: the end, with the unused bytes of
      // the last segment and the CRC.
      const size_t unused = segments_of(up.data.size()) * 7 - up.data.size();
      uint16_t crc = up.crc ? block_crc(up.data.data(), up.data.size()) : 0;
      if (fault == BlockFault::BadCrc) {
        crc ^= 0x5A5A;
        fault = BlockFault::None;
      }
      CMSG f{};
      f.id = kCobSdoAnswer + node;
      f.len = 8;
      f.data[0] = static_cast<uint8_t>(0xC1 | unused << 2);
      f.data[1] = static_cast<uint8_t>(crc);
      f.data[2] = static_cast<uint8_t>(crc >> 8);
      return answer(out, f);
    }
    default:  // the end response
      if (up.active && up.started) end_sdo_transfers();
      return;
  }
}

// The next sub-block of an upload: up to the block size of segments after
// the last one acknowledged, bit 7 on the one that carries the object's end.
void Device::Core::send_sub_block(Frames* out) {
  BlockUpload& up = block_up;
  const size_t total = segments_of(up.data.size());
  const int n =
      static_cast<int>(std::min<size_t>(static_cast<size_t>(up.blksize), total - up.acked));
  up.sent = n;
  const bool faulty = up.first;
  up.first = false;
  for (int s = 1; s <= n; ++s) {
    const size_t seg = up.acked + static_cast<size_t>(s) - 1;
    const size_t at = seg * 7;
    const size_t bytes = std::min<size_t>(7, up.data.size() - std::min(at, up.data.size()));
    CMSG f{};
    f.id = kCobSdoAnswer + node;
    f.len = 8;
    f.data[0] = static_cast<uint8_t>((seg == total - 1 ? 0x80 : 0) | s);
    std::copy(up.data.begin() + static_cast<long>(at),
              up.data.begin() + static_cast<long>(at + bytes), f.data + 1);
    if (faulty && s == fault_seq) {
      const BlockFault fl = fault;
      if (fl == BlockFault::DropSegment || fl == BlockFault::RepeatSegment ||
          fl == BlockFault::SilentAtSegment)
        fault = BlockFault::None;
      if (fl == BlockFault::DropSegment) continue;
      if (fl == BlockFault::RepeatSegment) answer(out, f);
      if (fl == BlockFault::SilentAtSegment) {
        sdo_silent = true;
        return;
      }
    }
    answer(out, f);
  }
}

// Requests with command specifier 6: initiate (C0 to C6) and end (C1 | n << 2).
void Device::Core::block_download(const uint8_t* d, Frames* out) {
  const uint16_t index = static_cast<uint16_t>(d[1] | d[2] << 8);
  const uint8_t sub = d[3];
  BlockDownload& dl = block_down;
  if ((d[0] & 0x01) == 0) {
    end_sdo_transfers();
    if (refuse_block) return abort(out, index, sub, kAbortCommand);
    OdValue* v;
    if (uint32_t code = lookup(index, sub, &v)) return abort(out, index, sub, code);
    if (!writable(v->access)) return abort(out, index, sub, kAbortReadOnly);
    if (d[0] & 0x02) {
      dl.size = int64_t{d[4]} | int64_t{d[5]} << 8 | int64_t{d[6]} << 16 | int64_t{d[7]} << 24;
      if (uint32_t code = length_check(*v, static_cast<size_t>(dl.size)))
        return abort(out, index, sub, code);
      if (dl.size > kMaxDownload) return abort(out, index, sub, kAbortNoMemory);
    }
    dl.active = true;
    dl.in_block = true;
    dl.index = index;
    dl.sub = sub;
    dl.crc = (d[0] & 0x04) != 0;
    dl.blksize = block_size;
    arm_block_fault();
    // CRC supported; the block size in byte 4.
    return answer(out, sdo_frame(node, 0xA4, index, sub, static_cast<uint32_t>(dl.blksize)));
  }
  if (!dl.active || !dl.last) return abort(out, index, sub, kAbortCommand);
  const uint16_t i = dl.index;
  const uint8_t s = dl.sub;
  const size_t unused = (d[0] >> 2) & 7;
  uint32_t code = 0;
  if (unused > dl.data.size()) code = kAbortLengthMismatch;
  if (!code) dl.data.resize(dl.data.size() - unused);
  if (!code && dl.size >= 0 && dl.data.size() != static_cast<size_t>(dl.size))
    code = kAbortLengthMismatch;
  const uint16_t crc = static_cast<uint16_t>(d[1] | d[2] << 8);
  if (!code && dl.crc && block_crc(dl.data.data(), dl.data.size()) != crc) code = kAbortCrc;
  if (!code && fault == BlockFault::BadCrc) code = kAbortCrc;
  OdValue* v = find(i, s);
  if (!code && !v) code = kAbortNoObject;
  if (!code) code = length_check(*v, dl.data.size());
  // A PDO parameter written while its PDO is enabled is refused here too.
  if (!code) code = store(i, s, v, std::move(dl.data), out);
  end_sdo_transfers();
  if (code) return abort(out, i, s, code);
  answer(out, frame(kCobSdoAnswer + node, {0xA1, 0, 0, 0, 0, 0, 0, 0}));
}

// A segment of a download's sub-block, with the faults of the first one.
void Device::Core::block_segment(const uint8_t* d, Frames* out) {
  BlockDownload& dl = block_down;
  const int seq = d[0] & 0x7F;
  if (dl.first && seq == fault_seq && fault != BlockFault::BadCrc) {
    const BlockFault fl = fault;
    fault = BlockFault::None;
    if (fl == BlockFault::DropSegment) return;
    if (fl == BlockFault::SilentAtSegment) {
      sdo_silent = true;
      return;
    }
    if (fl == BlockFault::RepeatSegment) take_segment(d, out);
  }
  take_segment(d, out);
}

void Device::Core::take_segment(const uint8_t* d, Frames* out) {
  BlockDownload& dl = block_down;
  if (!dl.in_block) return;
  const int seq = d[0] & 0x7F;
  const bool last = (d[0] & 0x80) != 0;
  if (seq == dl.expected) {
    if (dl.data.size() + 7 > static_cast<size_t>(kMaxDownload) + 7) {
      const uint16_t i = dl.index;
      const uint8_t s = dl.sub;
      end_sdo_transfers();
      return abort(out, i, s, kAbortNoMemory);
    }
    dl.data.insert(dl.data.end(), d + 1, d + 8);
    dl.good = seq;
    ++dl.expected;
    dl.last = last;
  }
  if (seq != dl.blksize && !last) return;
  answer(out, frame(kCobSdoAnswer + node, {0xA2, static_cast<uint8_t>(dl.good),
                                           static_cast<uint8_t>(block_size), 0, 0, 0, 0, 0}));
  dl.first = false;
  dl.blksize = block_size;
  dl.expected = 1;
  dl.good = 0;
  if (dl.last) dl.in_block = false;
}

}  // namespace zsim
