// sim_sdo.cpp - the SDO server of a simulated device: expedited and
// segmented upload and download with the abort codes of CANopen. Runs with
// the device's mutex held (sim_core.h).
#include "sim_core.h"

namespace zsim {

void Device::Core::on_sdo(const CMSG& f, Frames* out) {
  if (sdo_silent || state == NmtState::Stopped) return;
  uint8_t d[8] = {};
  std::copy(f.data, f.data + std::min(f.len & NTCAN_DLC, 8), d);
  uint8_t cmd = d[0];
  uint16_t index = static_cast<uint16_t>(d[1] | d[2] << 8);
  uint8_t sub = d[3];
  // Within a block download's sub-block every frame but an abort is a
  // segment, whatever its first byte.
  if (block_down.in_block && cmd != 0x80) return block_segment(d, out);
  switch (cmd >> 5) {
    case 2:
      initiate_upload(index, sub, out);
      break;
    case 3:
      upload_segment(cmd, out);
      break;
    case 1:
      download(cmd, index, sub, d + 4, out);
      break;
    case 0:
      download_segment(cmd, d + 1, out);
      break;
    case 5:
      block_upload(d, out);
      break;
    case 6:
      block_download(d, out);
      break;
    case 4:  // abort from the client
      end_sdo_transfers();
      break;
    default:
      abort(out, index, sub, kAbortCommand);
      break;
  }
}

// Abort code for an access to a missing object, or 0 when it exists.
uint32_t Device::Core::lookup(uint16_t index, uint8_t sub, OdValue** v) {
  *v = find(index, sub);
  if (*v) return 0;
  return index_exists(index) ? kAbortNoSubindex : kAbortNoObject;
}

void Device::Core::initiate_upload(uint16_t index, uint8_t sub, Frames* out) {
  end_sdo_transfers();
  OdValue* v;
  if (uint32_t code = lookup(index, sub, &v)) return abort(out, index, sub, code);
  if (!readable(v->access)) return abort(out, index, sub, kAbortWriteOnly);
  const std::vector<uint8_t>& b = v->bytes;
  if (!b.empty() && b.size() <= 4) {
    // Expedited with size: bits 3..2 count the unused bytes of 4.
    uint8_t cmd = static_cast<uint8_t>(0x43 | (4 - b.size()) << 2);
    uint32_t value = 0;
    for (size_t i = 0; i < b.size(); ++i) value |= uint32_t{b[i]} << (8 * i);
    return answer(out, sdo_frame(node, cmd, index, sub, value));
  }
  // Segmented, size given. An empty value goes as one empty last segment.
  upload.active = true;
  upload.index = index;
  upload.sub = sub;
  upload.data = b;
  answer(out, sdo_frame(node, 0x41, index, sub, static_cast<uint32_t>(b.size())));
}

void Device::Core::upload_segment(uint8_t cmd, Frames* out) {
  if (!upload.active) return abort(out, 0, 0, kAbortCommand);
  uint16_t index = upload.index;
  uint8_t sub = upload.sub;
  uint8_t toggle = (cmd >> 4) & 1;
  if (toggle != upload.toggle) {
    upload = Upload{};
    return abort(out, index, sub, kAbortToggle);
  }
  if (abort_segment) {
    abort_segment = false;
    upload = Upload{};
    return abort(out, index, sub, abort_segment_code);
  }
  size_t n = std::min<size_t>(7, upload.data.size() - upload.pos);
  bool last = upload.pos + n == upload.data.size();
  CMSG f{};
  f.id = kCobSdoAnswer + node;
  f.len = 8;
  f.data[0] = static_cast<uint8_t>(toggle << 4 | (7 - n) << 1 | (last ? 1 : 0));
  std::copy(upload.data.begin() + static_cast<long>(upload.pos),
            upload.data.begin() + static_cast<long>(upload.pos + n), f.data + 1);
  if (bad_segment_toggle) {
    bad_segment_toggle = false;
    f.data[0] ^= 0x10;
  }
  upload.pos += n;
  upload.toggle ^= 1;
  if (last) upload = Upload{};
  answer(out, f);
}

// Abort code when `n` bytes do not fit the fixed size of the object's
// data type, or 0 (types of no fixed size take any length).
uint32_t Device::Core::length_check(const OdValue& v, size_t n) {
  int size = data_type_size(v.data_type);
  if (size <= 0 || static_cast<size_t>(size) == n) return 0;
  return static_cast<size_t>(size) < n ? kAbortLengthHigh : kAbortLengthLow;
}

uint32_t Device::Core::store(uint16_t index, uint8_t sub, OdValue* v, std::vector<uint8_t> bytes,
                             Frames* out) {
  if (uint32_t code = pdo.write_check(od, index, sub, bytes)) return code;
  v->bytes = std::move(bytes);
  if (index == 0x1017 && sub == 0) restart_heartbeat();
  pdo_changed(index, sub, out);
  return 0;
}

void Device::Core::download(uint8_t cmd, uint16_t index, uint8_t sub, const uint8_t* data,
                            Frames* out) {
  end_sdo_transfers();
  OdValue* v;
  if (uint32_t code = lookup(index, sub, &v)) return abort(out, index, sub, code);
  if (!writable(v->access)) return abort(out, index, sub, kAbortReadOnly);
  if (!(cmd & 0x02)) {
    // Segmented: the size, when given, must suit the data type.
    int64_t size = -1;
    if (cmd & 0x01) {
      size = int64_t{data[0]} | int64_t{data[1]} << 8 | int64_t{data[2]} << 16 |
             int64_t{data[3]} << 24;
      if (uint32_t code = length_check(*v, static_cast<size_t>(size)))
        return abort(out, index, sub, code);
      if (size > kMaxDownload) return abort(out, index, sub, kAbortNoMemory);
    }
    download_state.active = true;
    download_state.index = index;
    download_state.sub = sub;
    download_state.size = size;
    return answer(out, sdo_frame(node, 0x60, index, sub, 0));
  }
  size_t n = (cmd & 0x01) ? 4 - ((cmd >> 2) & 3) : 4;
  if (uint32_t code = length_check(*v, n)) return abort(out, index, sub, code);
  if (uint32_t code = store(index, sub, v, std::vector<uint8_t>(data, data + n), out))
    return abort(out, index, sub, code);
  answer(out, sdo_frame(node, 0x60, index, sub, 0));
}

void Device::Core::download_segment(uint8_t cmd, const uint8_t* data, Frames* out) {
  if (!download_state.active) return abort(out, 0, 0, kAbortCommand);
  Download& dl = download_state;
  const uint16_t index = dl.index;
  const uint8_t sub = dl.sub;
  const uint8_t toggle = (cmd >> 4) & 1;
  if (toggle != dl.toggle) {
    download_state = Download{};
    return abort(out, index, sub, kAbortToggle);
  }
  const size_t n = 7 - ((cmd >> 1) & 7);
  dl.data.insert(dl.data.end(), data, data + n);
  dl.toggle ^= 1;
  const bool last = cmd & 0x01;
  uint32_t code = 0;
  if (dl.size >= 0 && (dl.data.size() > static_cast<size_t>(dl.size) ||
                       (last && dl.data.size() != static_cast<size_t>(dl.size))))
    code = kAbortLengthMismatch;  // the segments do not carry the size given
  else if (dl.data.size() > static_cast<size_t>(kMaxDownload))
    code = kAbortNoMemory;
  OdValue* v = find(index, sub);
  if (!code && !v) code = kAbortNoObject;
  if (!code && last) code = length_check(*v, dl.data.size());
  if (code) {
    download_state = Download{};
    return abort(out, index, sub, code);
  }
  if (last) {
    std::vector<uint8_t> bytes = std::move(dl.data);
    download_state = Download{};
    if (uint32_t c = store(index, sub, v, std::move(bytes), out)) return abort(out, index, sub, c);
  }
  answer(out, frame(kCobSdoAnswer + node,
                    {static_cast<uint8_t>(0x20 | toggle << 4), 0, 0, 0, 0, 0, 0, 0}));
}

}  // namespace zsim
