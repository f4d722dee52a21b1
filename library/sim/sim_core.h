// sim_core.h - the state of a simulated device (Device::Core), shared by
// the sources of the simulator: sim_device.cpp (power, NMT, heartbeat,
// guarding, emergency, faults) and sim_sdo.cpp (the SDO server). Private to
// the simulator, not installed.
//
// All state lives in Core, guarded by one mutex. Every handler works out the
// frames to send while holding the mutex and puts them on the bus only after
// releasing it: inject() delivers synchronously to the other devices of the
// net, whose answers may come straight back into this device.
#ifndef ZUNTAL_SIM_CORE_H
#define ZUNTAL_SIM_CORE_H

#include <algorithm>
#include <climits>
#include <functional>
#include <map>
#include <mutex>

#include "ntcan_ctl.h"
#include "sim_device.h"
#include "sim_pdo.h"

namespace zsim {
inline CMSG frame(int id, std::initializer_list<uint8_t> data) {
  CMSG f{};
  f.id = id;
  f.len = static_cast<uint8_t>(data.size());
  std::copy(data.begin(), data.end(), f.data);
  return f;
}

inline CMSG sdo_frame(int node, uint8_t cmd, uint16_t index, uint8_t sub, uint32_t value) {
  return frame(kCobSdoAnswer + node,
               {cmd, static_cast<uint8_t>(index), static_cast<uint8_t>(index >> 8), sub,
                static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)});
}

using Frames = std::vector<CMSG>;

struct Device::Core {
  // Fixed at construction.
  int net;
  int node;
  std::string name;

  mutable std::mutex mx;
  ObjectDictionary od;
  bool powered = false;
  int device_id = 0;  // id from attach_device while powered
  int64_t now = 0;
  NmtState state = NmtState::BootUp;
  uint16_t hb_period_ms = 0;
  int64_t hb_due = 0;
  uint8_t guard_toggle = 0;

  // Upload in progress.
  struct Upload {
    bool active = false;
    uint16_t index = 0;
    uint8_t sub = 0;
    std::vector<uint8_t> data;
    size_t pos = 0;
    uint8_t toggle = 0;  // toggle bit the next segment request must carry
  } upload;

  // Segmented download in progress.
  struct Download {
    bool active = false;
    uint16_t index = 0;
    uint8_t sub = 0;
    int64_t size = -1;  // size the initiate gave, -1 when it gave none
    std::vector<uint8_t> data;
    uint8_t toggle = 0;  // toggle bit the next segment must carry
  } download_state;

  // Block upload in progress (sim_sdo_block.cpp).
  struct BlockUpload {
    bool active = false;
    bool started = false;  // the client's start came: sub-blocks go out
    uint16_t index = 0;
    uint8_t sub = 0;
    std::vector<uint8_t> data;
    bool crc = false;   // the client supports the CRC
    int blksize = 0;    // segments per sub-block, the client's choice
    size_t acked = 0;   // segments acknowledged
    int sent = 0;       // segments of the sub-block last sent
    bool first = true;  // the first sub-block, where a fault applies
  } block_up;

  // Block download in progress (sim_sdo_block.cpp).
  struct BlockDownload {
    bool active = false;
    bool in_block = false;  // frames of the client are segments
    uint16_t index = 0;
    uint8_t sub = 0;
    int64_t size = -1;  // size the initiate gave, -1 when it gave none
    bool crc = false;
    std::vector<uint8_t> data;  // segments taken in order, 7 bytes each
    int blksize = 0;            // of the sub-block in progress
    int expected = 1;           // sequence number of the next segment in order
    int good = 0;               // last segment taken in order
    bool last = false;          // the segment marked last was taken
    bool first = true;
  } block_down;

  // Block transfer settings and faults (Device::set_block_size, set_block_fault).
  int block_size = 127;
  bool refuse_block = false;
  BlockFault pending_fault = BlockFault::None;  // for the next block transfer
  int pending_fault_seq = 0;
  BlockFault fault = BlockFault::None;  // of the block transfer in progress
  int fault_seq = 0;

  // Answers waiting for their time, in order of due time then arrival.
  std::multimap<int64_t, Frames> delayed;

  // Faults.
  bool mute = false;
  bool sdo_silent = false;
  bool guard_silent = false;
  int64_t answer_delay = 0;
  bool abort_segment = false;
  uint32_t abort_segment_code = 0;
  bool bad_segment_toggle = false;
  bool bad_guard_toggle = false;
  Frames before_answer;

  uint64_t sent = 0;

  // Process data: SYNC, TPDOs and RPDOs (sim_pdo.cpp).
  PdoEngine pdo;

  // Set by a host that runs the device in real time (set_realtime).
  std::function<int64_t()> clock;
  std::function<void()> wake;

  Core(int n, int id, ObjectDictionary d, std::string nm)
      : net(n), node(id), name(std::move(nm)), od(std::move(d)) {}

  // ---- helpers, called with mx held ----

  OdValue* find(uint16_t index, uint8_t sub) {
    auto it = od.find(od_key(index, sub));
    return it == od.end() ? nullptr : &it->second;
  }

  bool index_exists(uint16_t index) const {
    auto it = od.lower_bound(od_key(index, 0));
    return it != od.end() && (it->first >> 8) == index;
  }

  uint16_t od_heartbeat() {
    OdValue* v = find(0x1017, 0);
    if (!v || v->bytes.size() < 2) return 0;
    return static_cast<uint16_t>(v->bytes[0] | v->bytes[1] << 8);
  }

  void restart_heartbeat() {
    hb_period_ms = od_heartbeat();
    hb_due = now + int64_t{hb_period_ms} * 1000;
  }

  // Back to the boot-up state: the objects of [first, last] to their
  // defaults, transfers and queued answers dropped, boot-up frame queued.
  void reset(uint16_t first, uint16_t last, Frames* out) {
    for (auto& kv : od) {
      uint16_t idx = static_cast<uint16_t>(kv.first >> 8);
      if (idx >= first && idx <= last) kv.second.bytes = kv.second.default_bytes;
    }
    end_sdo_transfers();
    delayed.clear();
    guard_toggle = 0;
    pdo.reset();
    state = NmtState::BootUp;
    emit(out, frame(kCobErrorControl + node, {0x00}));
    state = NmtState::PreOperational;
    restart_heartbeat();
  }

  void end_sdo_transfers() {
    upload = Upload{};
    download_state = Download{};
    block_up = BlockUpload{};
    block_down = BlockDownload{};
  }

  void emit(Frames* out, const CMSG& f) {
    if (!mute) out->push_back(f);
  }

  // An SDO or guarding answer: subject to the extra frames, the delay and mute.
  void answer(Frames* out, const CMSG& f) {
    if (mute) return;
    Frames batch;
    batch.swap(before_answer);
    batch.push_back(f);
    if (answer_delay > 0)
      delayed.emplace(now + answer_delay, std::move(batch));
    else
      out->insert(out->end(), batch.begin(), batch.end());
  }

  void abort(Frames* out, uint16_t index, uint8_t sub, uint32_t code) {
    answer(out, sdo_frame(node, 0x80, index, sub, code));
  }

  void on_nmt(uint8_t cs, uint8_t addressed, Frames* out) {
    if (addressed != 0 && addressed != (node & 0xFF)) return;
    switch (cs) {
      case kNmtStart:
        state = NmtState::Operational;
        break;
      case kNmtStop:
        state = NmtState::Stopped;
        end_sdo_transfers();
        break;
      case kNmtPreOperational:
        state = NmtState::PreOperational;
        break;
      case kNmtResetNode:
        reset(0x0000, 0xFFFF, out);
        break;
      case kNmtResetCommunication:
        reset(0x1000, 0x1FFF, out);
        break;
      default:
        break;
    }
  }

  void on_guard(Frames* out) {
    if (guard_silent) return;
    uint8_t toggle = guard_toggle;
    guard_toggle ^= 1;
    if (bad_guard_toggle) {
      bad_guard_toggle = false;
      toggle ^= 1;
    }
    answer(out, frame(kCobErrorControl + node,
                      {static_cast<uint8_t>(static_cast<uint8_t>(state) | toggle << 7)}));
  }

  // ---- SDO server (sim_sdo.cpp), called with mx held ----
  void on_sdo(const CMSG& f, Frames* out);
  // Block transfers (sim_sdo_block.cpp): requests with command specifier 5
  // (upload) and 6 (download), and the segments of a download's sub-block.
  void block_upload(const uint8_t* d, Frames* out);
  void block_download(const uint8_t* d, Frames* out);
  void block_segment(const uint8_t* d, Frames* out);
  void take_segment(const uint8_t* d, Frames* out);
  void send_sub_block(Frames* out);
  // Takes the pending fault for a block transfer that starts.
  void arm_block_fault();
  uint32_t lookup(uint16_t index, uint8_t sub, OdValue** v);
  void initiate_upload(uint16_t index, uint8_t sub, Frames* out);
  void upload_segment(uint8_t cmd, Frames* out);
  static uint32_t length_check(const OdValue& v, size_t n);
  // Stores a downloaded value; a PDO parameter the device does not take now
  // gives the abort code and leaves the object as it was.
  uint32_t store(uint16_t index, uint8_t sub, OdValue* v, std::vector<uint8_t> bytes, Frames* out);

  // An object got a new value: the PDOs that depend on it act.
  void pdo_changed(uint16_t index, uint8_t sub, Frames* out) {
    Frames pf;
    pdo.set_now(now);
    pdo.changed(od, index, sub, &pf);
    for (const CMSG& f : pf) emit(out, f);
  }
  void download(uint8_t cmd, uint16_t index, uint8_t sub, const uint8_t* data, Frames* out);
  void download_segment(uint8_t cmd, const uint8_t* data, Frames* out);

  void on_frame(const CMSG& f, Frames* out) {
    if (!powered) return;
    bool rtr = f.len & NTCAN_RTR;
    if (f.id == kCobNmt && !rtr && (f.len & NTCAN_DLC) >= 2) {
      on_nmt(f.data[0], f.data[1], out);
      pdo.set_now(now);
      pdo.set_operational(od, state == NmtState::Operational);
    } else if (f.id == kCobSdoRequest + node && !rtr) {
      on_sdo(f, out);
    } else if (f.id == kCobErrorControl + node && rtr) {
      on_guard(out);
    } else {
      Frames pf;
      pdo.set_now(now);
      pdo.on_frame(od, f, &pf);
      for (const CMSG& p : pf) emit(out, p);
      for (uint32_t key : pdo.take_written())
        pdo_changed(static_cast<uint16_t>(key >> 8), static_cast<uint8_t>(key), out);
    }
  }

  int64_t next_due() const {
    int64_t t = INT64_MAX;
    if (powered && hb_period_ms > 0) t = hb_due;
    if (!delayed.empty()) t = std::min(t, delayed.begin()->first);
    if (powered) t = std::min(t, pdo.next_due());
    return t;
  }

  // Heartbeats and delayed answers due by `t`, in time order.
  void run_until(int64_t t, Frames* out) {
    if (t > now) now = t;
    // A producer left without time for very long catches up at most this
    // many beats and then continues one period after now.
    constexpr int kMaxCatchUp = 1000;
    int beats = 0;
    while (true) {
      bool hb = powered && hb_period_ms > 0 && hb_due <= now;
      bool ans = !delayed.empty() && delayed.begin()->first <= now;
      if (!hb && !ans) break;
      if (hb && (!ans || hb_due <= delayed.begin()->first)) {
        emit(out, frame(kCobErrorControl + node, {static_cast<uint8_t>(state)}));
        hb_due += int64_t{hb_period_ms} * 1000;
        if (++beats >= kMaxCatchUp && hb_due <= now) hb_due = now + int64_t{hb_period_ms} * 1000;
      } else {
        auto it = delayed.begin();
        if (!mute) out->insert(out->end(), it->second.begin(), it->second.end());
        delayed.erase(it);
      }
    }
    if (!powered) return;
    Frames pf;
    pdo.set_now(now);
    pdo.run_due(od, &pf);
    for (const CMSG& f : pf) emit(out, f);
  }

  // ---- outside the mutex ----

  void send(const Frames& out) {
    if (out.empty()) return;
    int id;
    {
      std::lock_guard<std::mutex> lk(mx);
      id = device_id;
      sent += out.size();
    }
    ntcan_ctl::inject(net, out.data(), static_cast<int>(out.size()), id);
  }
};

}  // namespace zsim

#endif  // ZUNTAL_SIM_CORE_H
