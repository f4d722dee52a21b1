// sim_pdo.cpp - SYNC consumer, transmit and receive PDOs of a simulated device.
#include "sim_pdo.h"

#include <algorithm>
#include <climits>

#include "sim_device.h"

namespace zsim {

namespace {

constexpr uint16_t kRxComm = 0x1400;
constexpr uint16_t kRxMap = 0x1600;
constexpr uint16_t kTxComm = 0x1800;
constexpr uint16_t kTxMap = 0x1A00;
constexpr uint32_t kCobInvalid = 0x80000000u;

const OdValue* find(const ObjectDictionary& od, uint16_t index, uint8_t sub) {
  auto it = od.find(od_key(index, sub));
  return it == od.end() ? nullptr : &it->second;
}

uint64_t value_of(const std::vector<uint8_t>& b) {
  uint64_t v = 0;
  for (size_t i = 0; i < b.size() && i < 8; ++i) v |= uint64_t{b[i]} << (8 * i);
  return v;
}

// Unsigned value of an object, `fallback` when the device lacks it.
uint64_t number(const ObjectDictionary& od, uint16_t index, uint8_t sub, uint64_t fallback = 0) {
  const OdValue* v = find(od, index, sub);
  return v ? value_of(v->bytes) : fallback;
}

bool valid(uint32_t cob) {
  return !(cob & kCobInvalid);
}

// The COB-ID of PDO `comm`, or an invalid one when the device lacks it.
uint32_t cob_of(const ObjectDictionary& od, uint16_t comm) {
  return static_cast<uint32_t>(number(od, comm, 1, kCobInvalid));
}

// The entries of a mapping object, as many as its count says.
std::vector<uint32_t> entries(const ObjectDictionary& od, uint16_t map) {
  std::vector<uint32_t> e;
  const uint64_t n = number(od, map, 0);
  for (uint64_t k = 1; k <= n && k <= 64; ++k)
    e.push_back(static_cast<uint32_t>(number(od, map, static_cast<uint8_t>(k))));
  return e;
}

bool is_dummy(uint16_t index) {
  return index >= kBoolean && index <= kUnsigned32;
}

// Abort code for mapping `entry` into a transmit (`tx`) or receive PDO, or 0.
// Dummy entries (data type indices 1 to 7) fill gaps of receive PDOs only.
uint32_t entry_check(const ObjectDictionary& od, bool tx, uint32_t entry) {
  const uint16_t index = static_cast<uint16_t>(entry >> 16);
  const uint8_t sub = static_cast<uint8_t>(entry >> 8);
  const int bits = static_cast<int>(entry & 0xFF);
  if (bits == 0) return kAbortNotMappable;
  if (is_dummy(index)) return !tx && bits <= 8 * data_type_size(index) ? 0 : kAbortNotMappable;
  const OdValue* v = find(od, index, sub);
  if (!v) return kAbortNotMappable;
  const int size = data_type_size(v->data_type);
  if (size <= 0 || bits > 8 * size) return kAbortNotMappable;
  if (tx ? !readable(v->access) : !writable(v->access)) return kAbortNotMappable;
  return 0;
}

// Calls fn(n) for every PDO whose communication object (base + n) the
// device has, with its COB-ID.
template <typename Fn>
void each_pdo(const ObjectDictionary& od, uint16_t base, Fn fn) {
  for (auto it = od.lower_bound(od_key(base, 1));
       it != od.end() && (it->first >> 8) < base + 0x200u; ++it)
    if ((it->first & 0xFF) == 1)
      fn(static_cast<int>((it->first >> 8) - base),
         static_cast<uint32_t>(value_of(it->second.bytes)));
}

}  // namespace

uint32_t PdoEngine::write_check(const ObjectDictionary& od, uint16_t index, uint8_t sub,
                                const std::vector<uint8_t>& bytes) const {
  const bool comm = (index >= kRxComm && index < kRxMap) || (index >= kTxComm && index < kTxMap);
  const bool map = (index >= kRxMap && index < kTxComm) || (index >= kTxMap && index < 0x1C00);
  if (!comm && !map) return 0;
  const bool tx = index >= kTxComm;
  const uint16_t comm_index = comm ? index : static_cast<uint16_t>(index - 0x200);
  const bool enabled = valid(cob_of(od, comm_index));
  const uint64_t value = value_of(bytes);
  if (comm) {
    if (sub == 1 && enabled && valid(static_cast<uint32_t>(value)) &&
        (value & 0x7FFFFFFF) != (cob_of(od, comm_index) & 0x7FFFFFFF))
      return kAbortUnsupported;
    if (sub == 2 && value > 240 && value < (tx ? 252u : 254u)) return kAbortValueRange;
    if (sub == 3 && enabled) return kAbortUnsupported;
    return 0;
  }
  if (enabled) return kAbortUnsupported;
  if (sub != 0) {
    if (number(od, index, 0) != 0) return kAbortUnsupported;
    return value == 0 ? 0 : entry_check(od, tx, static_cast<uint32_t>(value));
  }
  int bits = 0;
  for (uint64_t k = 1; k <= value; ++k) {
    const OdValue* e = find(od, index, static_cast<uint8_t>(k));
    if (!e) return kAbortMapLength;
    const uint32_t entry = static_cast<uint32_t>(value_of(e->bytes));
    if (uint32_t code = entry_check(od, tx, entry)) return code;
    bits += static_cast<int>(entry & 0xFF);
  }
  return bits > 64 ? kAbortMapLength : 0;
}

void PdoEngine::send_tpdo(const ObjectDictionary& od, int n, Frames* out) {
  const uint16_t comm = static_cast<uint16_t>(kTxComm + n);
  const uint32_t cob = cob_of(od, comm);
  if (!valid(cob)) return;
  CMSG f{};
  int offset = 0;
  for (uint32_t e : entries(od, static_cast<uint16_t>(kTxMap + n))) {
    const OdValue* v = find(od, static_cast<uint16_t>(e >> 16), static_cast<uint8_t>(e >> 8));
    const int bits = static_cast<int>(e & 0xFF);
    if (!v || offset + bits > 64) return;  // a mapping the device cannot fill is not sent
    const uint64_t value = value_of(v->bytes);
    for (int b = 0; b < bits; ++b, ++offset)
      if (value >> b & 1) f.data[offset / 8] |= static_cast<uint8_t>(1u << (offset % 8));
  }
  f.id = static_cast<int32_t>(cob & 0x7FF);
  f.len = static_cast<uint8_t>((offset + 7) / 8);
  out->push_back(f);
  Tx& t = tx_[n];
  t.pending = false;
  t.inhibit_until = now_ + 100 * static_cast<int64_t>(number(od, comm, 3));
  const uint64_t type = number(od, comm, 2);
  const int64_t timer = static_cast<int64_t>(number(od, comm, 5));
  t.timer_due = type >= 254 && timer > 0 ? now_ + 1000 * timer : INT64_MAX;
}

void PdoEngine::write_rpdo(ObjectDictionary& od, int n, const CMSG& f, Frames* out) {
  const std::vector<uint32_t> map = entries(od, static_cast<uint16_t>(kRxMap + n));
  int total = 0;
  for (uint32_t e : map) total += static_cast<int>(e & 0xFF);
  if (total > 8 * (f.len & NTCAN_DLC) || total > 64) {
    // Too short for its mapping: not processed, reported by an emergency.
    if (emcy_) {
      CMSG m{};
      m.id = kCobEmergency + node_;
      m.len = 8;
      m.data[0] = 0x10;
      m.data[1] = 0x82;
      m.data[2] = static_cast<uint8_t>(number(od, 0x1001, 0));
      out->push_back(m);
    }
    return;
  }
  int offset = 0;
  for (uint32_t e : map) {
    const uint16_t index = static_cast<uint16_t>(e >> 16);
    const uint8_t sub = static_cast<uint8_t>(e >> 8);
    const int bits = static_cast<int>(e & 0xFF);
    auto it = od.find(od_key(index, sub));
    if (!is_dummy(index) && it != od.end()) {
      const int size = data_type_size(it->second.data_type);
      std::vector<uint8_t> bytes(static_cast<size_t>(std::max(size, 0)), 0);
      for (int b = 0; b < bits && b < 8 * size; ++b)
        if (f.data[(offset + b) / 8] >> ((offset + b) % 8) & 1)
          bytes[static_cast<size_t>(b / 8)] |= static_cast<uint8_t>(1u << (b % 8));
      it->second.bytes = std::move(bytes);
      written_.push_back(it->first);
    }
    offset += bits;
  }
}

void PdoEngine::changed(const ObjectDictionary& od, uint16_t index, uint8_t sub, Frames* out) {
  if (!operational_) return;
  if (index >= kTxComm && index < 0x1C00) {
    const int n = (index - kTxComm) & 0x1FF;
    tx_[n] = Tx{};
    const uint16_t comm = static_cast<uint16_t>(kTxComm + n);
    const int64_t timer = static_cast<int64_t>(number(od, comm, 5));
    if (number(od, comm, 2) >= 254 && timer > 0) tx_[n].timer_due = now_ + 1000 * timer;
    return;
  }
  const uint32_t key = od_key(index, sub);
  each_pdo(od, kTxComm, [&](int n, uint32_t cob) {
    if (!valid(cob)) return;
    const uint64_t type = number(od, static_cast<uint16_t>(kTxComm + n), 2);
    if (type != 0 && type < 254) return;
    bool mapped = false;
    for (uint32_t e : entries(od, static_cast<uint16_t>(kTxMap + n))) mapped |= (e >> 8) == key;
    if (!mapped) return;
    Tx& t = tx_[n];
    if (type == 0)
      t.event = true;
    else if (now_ >= t.inhibit_until)
      send_tpdo(od, n, out);
    else
      t.pending = true;
  });
}

bool PdoEngine::on_frame(ObjectDictionary& od, const CMSG& f, Frames* out) {
  if (f.len & NTCAN_RTR) return false;
  const int sync_id = static_cast<int>(number(od, 0x1005, 0, canopen::kCobSync) & 0x7FF);
  if (f.id == sync_id && (f.len & NTCAN_DLC) <= 1) {
    if (!operational_) return true;
    // Synchronous RPDOs take effect at the SYNC, then the synchronous TPDOs
    // sample their objects.
    std::map<int, CMSG> rx;
    rx.swap(rx_sync_);
    for (auto& kv : rx) write_rpdo(od, kv.first, kv.second, out);
    each_pdo(od, kTxComm, [&](int n, uint32_t cob) {
      if (!valid(cob)) return;
      const uint64_t type = number(od, static_cast<uint16_t>(kTxComm + n), 2);
      Tx& t = tx_[n];
      if (type == 0 && t.event) {
        t.event = false;
        send_tpdo(od, n, out);
      } else if (type >= 1 && type <= 240 && ++t.sync_count >= static_cast<int>(type)) {
        t.sync_count = 0;
        send_tpdo(od, n, out);
      }
    });
    return true;
  }
  bool mine = false;
  each_pdo(od, kRxComm, [&](int n, uint32_t cob) {
    if (mine || !valid(cob) || static_cast<int>(cob & 0x7FF) != f.id) return;
    mine = true;
    if (!operational_) return;
    if (number(od, static_cast<uint16_t>(kRxComm + n), 2, 255) <= 240)
      rx_sync_[n] = f;
    else
      write_rpdo(od, n, f, out);
  });
  return mine;
}

void PdoEngine::set_operational(const ObjectDictionary& od, bool operational) {
  if (operational == operational_) return;
  reset();
  operational_ = operational;
  if (!operational) return;
  each_pdo(od, kTxComm, [&](int n, uint32_t cob) {
    const uint16_t comm = static_cast<uint16_t>(kTxComm + n);
    const int64_t timer = static_cast<int64_t>(number(od, comm, 5));
    if (valid(cob) && number(od, comm, 2) >= 254 && timer > 0)
      tx_[n].timer_due = now_ + 1000 * timer;
  });
}

void PdoEngine::reset() {
  tx_.clear();
  rx_sync_.clear();
  written_.clear();
  operational_ = false;
}

int64_t PdoEngine::next_due() const {
  int64_t t = INT64_MAX;
  if (!operational_) return t;
  for (auto& kv : tx_) {
    t = std::min(t, kv.second.timer_due);
    if (kv.second.pending) t = std::min(t, kv.second.inhibit_until);
  }
  return t;
}

void PdoEngine::run_due(const ObjectDictionary& od, Frames* out) {
  if (!operational_) return;
  for (auto& kv : tx_) {
    Tx& t = kv.second;
    const int64_t due = t.timer_due;
    if (t.pending && t.inhibit_until <= now_) {
      t.pending = false;
      send_tpdo(od, kv.first, out);
    } else if (due <= now_) {
      send_tpdo(od, kv.first, out);
      // The timer keeps its own beat; after a long pause it restarts from now.
      const int64_t period =
          1000 * static_cast<int64_t>(number(od, static_cast<uint16_t>(kTxComm + kv.first), 5));
      t.timer_due = period <= 0 ? INT64_MAX : due + period > now_ ? due + period : now_ + period;
    }
  }
}

}  // namespace zsim
