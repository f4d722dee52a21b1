// zuntal_pdo.cpp - the PDO service: a node's PDO mappings read by SDO or from
// an EDS/DCF, written by SDO in CiA 301's order, TPDOs decoded in the update
// cycle, RPDOs encoded and sent.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "D_zuntal.h"
#include "zuntal_internal.h"
#include "zuntal_pdo_internal.h"
#include "zuntal_sdo.h"

namespace {

constexpr uint32_t kDisabled = 0x80000000u;

std::string pdo_name(bool transmit, int number) {
  return (transmit ? "TPDO" : "RPDO") + std::to_string(number);
}

// The type of an entry whose object the owner gave no description of: a
// dummy entry names its type; otherwise UNSIGNED of the length.
uint16_t guessed_type(uint16_t index, int bits) {
  if (index >= PDO_BOOLEAN && index <= PDO_UNSIGNED32) return index;
  if (bits == 1) return PDO_BOOLEAN;
  for (uint16_t t : {PDO_UNSIGNED8, PDO_UNSIGNED16, PDO_UNSIGNED24, PDO_UNSIGNED32, PDO_UNSIGNED40,
                     PDO_UNSIGNED48, PDO_UNSIGNED56})
    if (bits <= pdo_type_bits(t)) return t;
  return PDO_UNSIGNED64;
}

}  // namespace

namespace zuntal_detail {

namespace {
// The companions, guarded by D_can::mx_loop like can_list.
std::vector<D_canpdo*>& companions() {
  static auto* list = new std::vector<D_canpdo*>;
  return *list;
}
}  // namespace

void add_companion(D_canpdo* p) {
  std::lock_guard<std::mutex> g(Registry::loop_mutex());
  companions().push_back(p);
}

void remove_companion(D_canpdo* p) {
  std::lock_guard<std::mutex> g(Registry::loop_mutex());
  auto& l = companions();
  l.erase(std::remove(l.begin(), l.end(), p), l.end());
}

void pdo_after_fill(D_can* master) {
  auto& l = companions();
  if (l.empty()) return;
  const CMSG* rx = Registry::rxmsg(master);
  const int n = load_word(Registry::rxmsg_len(master));
  if (!rx) return;
  const int64_t now = tavro::clock().now_us();
  // The companions of this node are those on any property sharing its buffer.
  for (D_canpdo* p : l)
    if (Registry::rxmsg(p->can()) == rx) p->on_fill(rx, n < 0 ? 0 : n, now);
}

}  // namespace zuntal_detail

D_canpdo::D_canpdo(const std::string& pn, D_can* can, EqFct* ef)
    : D_fct(pn, ef), can_(can), sdo_(can) {
  zuntal_detail::add_companion(this);
}

D_canpdo::~D_canpdo() {
  zuntal_detail::remove_companion(this);
}

std::string D_canpdo::text() const {
  std::string text;
  std::lock_guard<std::mutex> g(mx_);
  for (const Tpdo& t : tpdo_) {
    if (!text.empty()) text += "; ";
    text += pdo_name(true, t.map.number) + ":";
    // A TPDO whose frame has not come yet has no values: "-", not a zero
    // that a client would take for a measured one.
    for (size_t i = 0; i < t.sample.values.size(); ++i)
      text += " " + t.map.entries[i].name + "=" +
              (t.sample.frames ? t.sample.values[i].text() : std::string("-"));
  }
  return text;
}

void D_canpdo::get(EqAdr*, EqData*, EqData* res, EqFct*) {
  if (res) res->set(text());
}

std::string D_canpdo::error() const {
  std::lock_guard<std::mutex> g(mx_);
  return error_;
}

std::vector<pdo_map> D_canpdo::mappings() const {
  std::lock_guard<std::mutex> g(mx_);
  std::vector<pdo_map> all(rpdo_);
  for (const Tpdo& t : tpdo_) all.push_back(t.map);
  return all;
}

bool D_canpdo::mapping(bool transmit, int number, pdo_map* out) const {
  std::lock_guard<std::mutex> g(mx_);
  if (transmit) {
    for (const Tpdo& t : tpdo_)
      if (t.map.number == number) return *out = t.map, true;
  } else {
    for (const pdo_map& m : rpdo_)
      if (m.number == number) return *out = m, true;
  }
  return false;
}

int D_canpdo::adopt(const std::vector<pdo_map>& maps) {
  for (const pdo_map& m : maps) {
    const std::string why = m.check();
    if (!why.empty()) {
      std::lock_guard<std::mutex> g(mx_);
      error_ = why;
      return -1;
    }
  }
  std::lock_guard<std::mutex> g(mx_);
  for (const pdo_map& m : maps) {
    if (m.transmit) {
      auto it = std::find_if(tpdo_.begin(), tpdo_.end(),
                             [&](const Tpdo& t) { return t.map.number == m.number; });
      if (it == tpdo_.end()) it = tpdo_.insert(tpdo_.end(), Tpdo{});
      *it = Tpdo{};
      it->map = m;
      it->decoder = pdo_decoder(m);
      it->sample.values.resize(m.entries.size());
    } else {
      auto it = std::find_if(rpdo_.begin(), rpdo_.end(),
                             [&](const pdo_map& r) { return r.number == m.number; });
      if (it == rpdo_.end()) it = rpdo_.insert(rpdo_.end(), pdo_map{});
      *it = m;
    }
  }
  error_.clear();
  // The identifiers go on the handle now, not at the next fill: a TPDO the
  // node sends before that fill would otherwise never reach the node's queue.
  ids_pending_ = true;
  enable_ids();
  return 0;
}

int D_canpdo::set_mapping(const pdo_map& m) {
  return adopt({m});
}

int pdo_maps_from_eds(const std::string& path, int node, std::vector<pdo_map>* out,
                      std::string* error) {
  zuntal_detail::Ini ini;
  std::string why;
  if (zuntal_detail::read_ini(path, &ini, &why) != 0 ||
      zuntal_detail::pdo_maps_from_ini(ini, node, out, &why) != 0) {
    if (error) *error = path + ": " + why;
    return -1;
  }
  return 0;
}

int D_canpdo::load_eds(const std::string& path) {
  zuntal_detail::Ini ini;
  std::string why;
  std::vector<pdo_map> maps;
  if (zuntal_detail::read_ini(path, &ini, &why) != 0 ||
      zuntal_detail::pdo_maps_from_ini(ini, can_->value()->i2_data, &maps, &why) != 0) {
    std::lock_guard<std::mutex> g(mx_);
    error_ = path + ": " + why;
    return -1;
  }
  return adopt(maps);
}

namespace {

// Text of a failed transfer of index/sub.
std::string failure(const zuntal_detail::SdoResult& r, uint16_t index, uint8_t sub,
                    const char* verb) {
  using zuntal_detail::SdoStatus;
  char msg[200];
  const int n = std::snprintf(msg, sizeof msg, "0x%04X/%d: ", index, sub);
  switch (r.status) {
    case SdoStatus::Aborted:
      std::snprintf(msg + n, sizeof msg - n, "the node %s: %s (0x%08X)", verb,
                    sdo_abort_text(r.abort_code), r.abort_code);
      break;
    case SdoStatus::TimedOut:
      std::snprintf(msg + n, sizeof msg - n, "no answer from the node");
      break;
    case SdoStatus::Driver:
      std::snprintf(msg + n, sizeof msg - n, "%s", can_error_str(r.driver_status).c_str());
      break;
    default:
      std::snprintf(msg + n, sizeof msg - n, "the transfer failed");
      break;
  }
  return msg;
}

// One value by SDO upload (at most 8 bytes, little-endian): 0, 1 when the
// node aborted, -1 for any other failure.
int upload(D_can* can, short node, uint16_t index, uint8_t sub, uint64_t* v, std::string* why) {
  char buf[8] = {};
  const auto r = zuntal_detail::SdoClient::upload(*can, node, index, sub, buf, 8);
  if (r.failed()) {
    *why = failure(r, index, sub, "aborted");
    return r.status == zuntal_detail::SdoStatus::Aborted ? 1 : -1;
  }
  *v = 0;
  for (int i = 0; i < r.length && i < 8; ++i)
    *v |= uint64_t{static_cast<uint8_t>(buf[i])} << (8 * i);
  return 0;
}

int download(D_can* can, short node, uint16_t index, uint8_t sub, uint64_t v, int size,
             std::string* why) {
  char buf[8];
  for (int i = 0; i < size; ++i) buf[i] = static_cast<char>(v >> (8 * i));
  const auto r = zuntal_detail::SdoClient::download(*can, node, index, sub, buf, size);
  if (!r.failed()) return 0;
  *why = failure(r, index, sub, "refused");
  return -1;
}

}  // namespace

int D_canpdo::read_mappings(const std::string& eds_path) {
  const short node = static_cast<short>(can_->value()->i2_data);
  zuntal_detail::Ini ini;
  std::string why;
  if (!eds_path.empty() && zuntal_detail::read_ini(eds_path, &ini, &why) != 0) {
    std::lock_guard<std::mutex> g(mx_);
    error_ = why;
    return -1;
  }
  std::vector<pdo_map> maps;
  for (int tx = 0; tx < 2; ++tx)
    for (int n = 0; n < 512; ++n) {
      const uint16_t comm = static_cast<uint16_t>((tx ? 0x1800 : 0x1400) + n);
      const uint16_t map = static_cast<uint16_t>(comm + 0x200);
      // With a description at hand, only the PDOs it names are asked for.
      if (!ini.empty() && !zuntal_detail::eds_has(ini, comm)) continue;
      pdo_map m;
      m.number = n + 1;
      m.transmit = tx;
      uint64_t v = 0, count = 0;
      int r = upload(sdo_, node, comm, 1, &v, &why);
      if (r == 1) break;  // the node has no PDO of this number: the last one was read
      if (r == 0) {
        m.cob_id = static_cast<uint32_t>(v);
        r = upload(sdo_, node, comm, 2, &v, &why);
        m.trans_type = static_cast<uint8_t>(v);
      }
      // Inhibit time and event timer are optional sub-objects of a TPDO.
      if (r == 0 && tx && upload(sdo_, node, comm, 3, &v, &why) == 0)
        m.inhibit_100us = static_cast<uint16_t>(v);
      if (r == 0 && tx && upload(sdo_, node, comm, 5, &v, &why) == 0)
        m.event_ms = static_cast<uint16_t>(v);
      if (r == 0) r = upload(sdo_, node, map, 0, &count, &why);
      for (uint64_t k = 1; r == 0 && k <= count && k <= 64; ++k) {
        r = upload(sdo_, node, map, static_cast<uint8_t>(k), &v, &why);
        pdo_entry e;
        e.index = static_cast<uint16_t>(v >> 16);
        e.subindex = static_cast<uint8_t>(v >> 8);
        e.bits = static_cast<uint8_t>(v);
        if (ini.empty() ||
            !zuntal_detail::eds_object_type(ini, e.index, e.subindex, &e.type, &e.name))
          e.type = guessed_type(e.index, e.bits);
        m.entries.push_back(e);
      }
      if (r != 0) {
        std::lock_guard<std::mutex> g(mx_);
        error_ = pdo_name(tx, n + 1) + " " + why;
        return -1;
      }
      maps.push_back(m);
    }
  return adopt(maps);
}

int D_canpdo::write_mapping(const pdo_map& m) {
  const short node = static_cast<short>(can_->value()->i2_data);
  std::string why = m.check();
  auto fail = [&](const std::string& text) {
    std::lock_guard<std::mutex> g(mx_);
    error_ = pdo_name(m.transmit, m.number) + ": " + text;
    return -1;
  };
  if (!why.empty()) return fail(why);
  const uint16_t comm = static_cast<uint16_t>((m.transmit ? 0x1800 : 0x1400) + m.number - 1);
  const uint16_t map = static_cast<uint16_t>(comm + 0x200);
  // What the device has now, to put back when it refuses the new mapping.
  uint64_t old_cob = 0, old_count = 0;
  std::vector<uint64_t> old_entries;
  if (upload(sdo_, node, comm, 1, &old_cob, &why) != 0 ||
      upload(sdo_, node, map, 0, &old_count, &why) != 0)
    return fail(why);
  for (uint64_t k = 1; k <= old_count && k <= 64; ++k) {
    uint64_t v;
    if (upload(sdo_, node, map, static_cast<uint8_t>(k), &v, &why) != 0) return fail(why);
    old_entries.push_back(v);
  }
  // CiA 301's order: disable, zero the count, the entries, the count, the
  // communication parameters, enable.
  bool ok = download(sdo_, node, comm, 1, old_cob | kDisabled, 4, &why) == 0 &&
            download(sdo_, node, map, 0, 0, 1, &why) == 0;
  for (size_t k = 0; ok && k < m.entries.size(); ++k)
    ok = download(sdo_, node, map, static_cast<uint8_t>(k + 1), m.entries[k].word(), 4, &why) == 0;
  ok = ok && download(sdo_, node, map, 0, m.entries.size(), 1, &why) == 0 &&
       download(sdo_, node, comm, 2, m.trans_type, 1, &why) == 0;
  if (ok && m.transmit)
    ok = download(sdo_, node, comm, 3, m.inhibit_100us, 2, &why) == 0 &&
         download(sdo_, node, comm, 5, m.event_ms, 2, &why) == 0;
  ok = ok && download(sdo_, node, comm, 1, m.cob_id | kDisabled, 4, &why) == 0 &&
       (!m.enabled() || download(sdo_, node, comm, 1, m.cob_id, 4, &why) == 0);
  if (!ok) {
    // Back to the old mapping, as far as the device lets us.
    std::string ignored;
    download(sdo_, node, comm, 1, old_cob | kDisabled, 4, &ignored);
    download(sdo_, node, map, 0, 0, 1, &ignored);
    for (size_t k = 0; k < old_entries.size(); ++k)
      download(sdo_, node, map, static_cast<uint8_t>(k + 1), old_entries[k], 4, &ignored);
    download(sdo_, node, map, 0, old_entries.size(), 1, &ignored);
    download(sdo_, node, comm, 1, old_cob, 4, &ignored);
    return fail(why);
  }
  return adopt({m});
}

void D_canpdo::enable_ids() {
  // Called with mx_ held, from the update cycle or the owner. A node that
  // registered again has a new handle: every identifier goes on it afresh.
  const NTCAN_HANDLE h = can_->handle();
  if (h <= 0) return;
  if (h != ids_handle_) {
    enabled_ids_.clear();
    ids_handle_ = h;
  }
  for (const Tpdo& t : tpdo_) {
    if (!t.map.enabled()) continue;
    const int id = t.map.id();
    if (std::find(enabled_ids_.begin(), enabled_ids_.end(), id) != enabled_ids_.end()) continue;
    if (can_->AddIdent(id) == 0) enabled_ids_.push_back(id);
  }
  ids_pending_ = false;
}

void D_canpdo::on_fill(const CMSG* frames, int count, int64_t now_us) {
  std::lock_guard<std::mutex> g(mx_);
  if (ids_pending_ || can_->handle() != ids_handle_) enable_ids();
  for (int i = 0; i < count; ++i) {
    const CMSG& f = frames[i];
    if (f.len & NTCAN_RTR) continue;
    for (Tpdo& t : tpdo_) {
      if (!t.map.enabled() || t.map.id() != f.id) continue;
      if (!t.decoder.decode(f.data, f.len & NTCAN_DLC, t.sample.values.data())) break;
      if (t.fresh) ++t.sample.overwritten;
      t.fresh = true;
      t.sample.time_us = now_us;
      ++t.sample.frames;
      break;
    }
  }
}

int D_canpdo::take(int number, pdo_sample* out) {
  std::lock_guard<std::mutex> g(mx_);
  if (ids_pending_ || can_->handle() != ids_handle_) enable_ids();
  for (Tpdo& t : tpdo_) {
    if (t.map.number != number) continue;
    if (out) *out = t.sample;
    const bool fresh = t.fresh;
    t.fresh = false;
    return fresh ? 1 : 0;
  }
  return -1;
}

int D_canpdo::send_rpdo(int number, const std::vector<pdo_value>& values, bool at_sync) {
  pdo_map m;
  if (!mapping(false, number, &m)) {
    std::lock_guard<std::mutex> g(mx_);
    error_ = "RPDO" + std::to_string(number) + " has no mapping";
    return -1;
  }
  CMSG f;
  std::memset(&f, 0, sizeof f);
  int len = -1;
  bool types_match = values.size() == m.entries.size();
  for (size_t i = 0; types_match && i < values.size(); ++i)
    types_match = values[i].type == m.entries[i].type;
  if (types_match) len = encode(m, values.data(), static_cast<int>(values.size()), f.data);
  if (len < 0 || !m.enabled()) {
    std::lock_guard<std::mutex> g(mx_);
    error_ = "RPDO" + std::to_string(number) +
             (m.enabled() ? " takes " + std::to_string(m.entries.size()) + " values of its types"
                          : " is disabled");
    return -1;
  }
  f.id = m.id();
  f.len = static_cast<uint8_t>(len);
  if (at_sync) {
    if (zuntal_detail::queue_for_sync(can_->value()->i1_data, f)) return 0;
    std::lock_guard<std::mutex> g(mx_);
    error_ = "RPDO" + std::to_string(number) + " cannot wait for a SYNC: line " +
             std::to_string(can_->value()->i1_data) + " sends none, or its queue is full";
    return -1;
  }
  return can_->can_write(f.id, f.len, f.data);
}
