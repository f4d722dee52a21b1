// sim_device.cpp - SDO server, NMT slave, heartbeat and emergency producer.
//
// All state lives in Core, guarded by one mutex. Every handler works out the
// frames to send while holding the mutex and puts them on the bus only after
// releasing it: inject() delivers synchronously to the other devices of the
// net, whose answers may come straight back into this device.
#include "sim_device.h"

#include <algorithm>
#include <climits>
#include <map>
#include <mutex>

#include "ntcan_ctl.h"

namespace zsim {

namespace {

CMSG frame(int id, std::initializer_list<uint8_t> data) {
  CMSG f{};
  f.id = id;
  f.len = static_cast<uint8_t>(data.size());
  std::copy(data.begin(), data.end(), f.data);
  return f;
}

CMSG sdo_frame(int node, uint8_t cmd, uint16_t index, uint8_t sub, uint32_t value) {
  return frame(kCobSdoAnswer + node,
               {cmd, static_cast<uint8_t>(index), static_cast<uint8_t>(index >> 8), sub,
                static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)});
}

}  // namespace

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
    upload = Upload{};
    download_state = Download{};
    delayed.clear();
    guard_toggle = 0;
    state = NmtState::BootUp;
    emit(out, frame(kCobErrorControl + node, {0x00}));
    state = NmtState::PreOperational;
    restart_heartbeat();
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
        upload = Upload{};
        download_state = Download{};
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

  void on_sdo(const CMSG& f, Frames* out) {
    if (sdo_silent || state == NmtState::Stopped) return;
    uint8_t d[8] = {};
    std::copy(f.data, f.data + std::min(f.len & NTCAN_DLC, 8), d);
    uint8_t cmd = d[0];
    uint16_t index = static_cast<uint16_t>(d[1] | d[2] << 8);
    uint8_t sub = d[3];
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
      case 4:  // abort from the client
        upload = Upload{};
        download_state = Download{};
        break;
      default:
        abort(out, index, sub, kAbortCommand);
        break;
    }
  }

  // Abort code for an access to a missing object, or 0 when it exists.
  uint32_t lookup(uint16_t index, uint8_t sub, OdValue** v) {
    *v = find(index, sub);
    if (*v) return 0;
    return index_exists(index) ? kAbortNoSubindex : kAbortNoObject;
  }

  void initiate_upload(uint16_t index, uint8_t sub, Frames* out) {
    upload = Upload{};
    download_state = Download{};
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

  void upload_segment(uint8_t cmd, Frames* out) {
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
  static uint32_t length_check(const OdValue& v, size_t n) {
    int size = data_type_size(v.data_type);
    if (size <= 0 || static_cast<size_t>(size) == n) return 0;
    return static_cast<size_t>(size) < n ? kAbortLengthHigh : kAbortLengthLow;
  }

  void store(uint16_t index, uint8_t sub, OdValue* v, std::vector<uint8_t> bytes) {
    v->bytes = std::move(bytes);
    if (index == 0x1017 && sub == 0) restart_heartbeat();
  }

  void download(uint8_t cmd, uint16_t index, uint8_t sub, const uint8_t* data, Frames* out) {
    upload = Upload{};
    download_state = Download{};
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
    store(index, sub, v, std::vector<uint8_t>(data, data + n));
    answer(out, sdo_frame(node, 0x60, index, sub, 0));
  }

  void download_segment(uint8_t cmd, const uint8_t* data, Frames* out) {
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
      store(index, sub, v, std::move(dl.data));
      download_state = Download{};
    }
    answer(out, frame(kCobSdoAnswer + node,
                      {static_cast<uint8_t>(0x20 | toggle << 4), 0, 0, 0, 0, 0, 0, 0}));
  }

  void on_frame(const CMSG& f, Frames* out) {
    if (!powered) return;
    bool rtr = f.len & NTCAN_RTR;
    if (f.id == kCobNmt && !rtr && (f.len & NTCAN_DLC) >= 2)
      on_nmt(f.data[0], f.data[1], out);
    else if (f.id == kCobSdoRequest + node && !rtr)
      on_sdo(f, out);
    else if (f.id == kCobErrorControl + node && rtr)
      on_guard(out);
  }

  int64_t next_due() const {
    int64_t t = INT64_MAX;
    if (powered && hb_period_ms > 0) t = hb_due;
    if (!delayed.empty()) t = std::min(t, delayed.begin()->first);
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

std::unique_ptr<Device> Device::create(int net, int node_id, const Eds& eds, std::string* error) {
  if (node_id < 1 || node_id > 127) {
    if (error) *error = "node id " + std::to_string(node_id) + " is outside 1 to 127";
    return nullptr;
  }
  ObjectDictionary od;
  if (build_dictionary(eds, node_id, &od, error) != 0) return nullptr;
  std::string name = eds.info("ProductName");
  if (name.empty()) name = eds.path;
  return std::make_unique<Device>(net, node_id, std::move(od), name);
}

std::unique_ptr<Device> Device::from_file(int net, int node_id, const std::string& eds_path,
                                          std::string* error) {
  Eds eds;
  if (load_eds(eds_path, &eds, error) != 0) return nullptr;
  return create(net, node_id, eds, error);
}

Device::Device(int net, int node_id, ObjectDictionary od, std::string name)
    : core_(std::make_shared<Core>(net, node_id, std::move(od), std::move(name))) {}

Device::~Device() {
  power_off();
}

int Device::net() const {
  return core_->net;
}
int Device::node_id() const {
  return core_->node;
}
const std::string& Device::name() const {
  return core_->name;
}

int Device::power_on(int64_t now_us, std::string* error) {
  power_off();
  // The hook holds the core, so a frame still in delivery when the device is
  // destroyed finds it alive.
  std::shared_ptr<Core> core = core_;
  int id = ntcan_ctl::attach_device(
      core->net,
      [core](const CMSG& f) {
        Frames out;
        std::function<void()> wake;
        {
          std::lock_guard<std::mutex> lk(core->mx);
          // In real time the device may not have been advanced for a while:
          // what fell due before this frame goes out first.
          if (core->clock) core->run_until(core->clock(), &out);
          const int64_t due = core->next_due();
          core->on_frame(f, &out);
          if (core->wake && core->next_due() < due) wake = core->wake;
        }
        core->send(out);
        if (wake) wake();
      },
      error);
  if (id <= 0) return -1;
  Frames out;
  std::function<void()> wake;
  {
    std::lock_guard<std::mutex> lk(core->mx);
    core->device_id = id;
    core->powered = true;
    core->now = std::max(now_us, core->clock ? core->clock() : now_us);
    core->reset(0x0000, 0xFFFF, &out);
    wake = core->wake;
  }
  core->send(out);
  if (wake) wake();
  return 0;
}

void Device::power_off() {
  int id;
  {
    std::lock_guard<std::mutex> lk(core_->mx);
    id = core_->device_id;
    core_->device_id = 0;
    core_->powered = false;
    core_->state = NmtState::BootUp;
    core_->upload = Core::Upload{};
    core_->delayed.clear();
  }
  if (id > 0) ntcan_ctl::detach_device(id);
}

bool Device::powered() const {
  std::lock_guard<std::mutex> lk(core_->mx);
  return core_->powered;
}

void Device::advance_to(int64_t now_us) {
  Frames out;
  {
    std::lock_guard<std::mutex> lk(core_->mx);
    core_->run_until(now_us, &out);
  }
  core_->send(out);
}

int64_t Device::now_us() const {
  std::lock_guard<std::mutex> lk(core_->mx);
  return core_->now;
}

int64_t Device::next_due_us() const {
  std::lock_guard<std::mutex> lk(core_->mx);
  return core_->next_due();
}

void Device::set_realtime(std::function<int64_t()> clock, std::function<void()> wake) {
  std::lock_guard<std::mutex> lk(core_->mx);
  core_->clock = std::move(clock);
  core_->wake = std::move(wake);
}

NmtState Device::state() const {
  std::lock_guard<std::mutex> lk(core_->mx);
  return core_->state;
}

void Device::set_heartbeat_period(uint16_t ms) {
  std::function<void()> wake;
  {
    std::lock_guard<std::mutex> lk(core_->mx);
    if (OdValue* v = core_->find(0x1017, 0))
      v->bytes = {static_cast<uint8_t>(ms), static_cast<uint8_t>(ms >> 8)};
    if (core_->clock) core_->now = std::max(core_->now, core_->clock());
    core_->hb_period_ms = ms;
    core_->hb_due = core_->now + int64_t{ms} * 1000;
    wake = core_->wake;
  }
  if (wake) wake();
}

uint16_t Device::heartbeat_period() const {
  std::lock_guard<std::mutex> lk(core_->mx);
  return core_->hb_period_ms;
}

bool Device::emergency(uint16_t code, uint8_t error_register, std::array<uint8_t, 5> manufacturer) {
  Frames out;
  {
    std::lock_guard<std::mutex> lk(core_->mx);
    if (!core_->powered || core_->state == NmtState::Stopped) return false;
    if (OdValue* v = core_->find(0x1001, 0)) v->bytes = {error_register};
    CMSG f{};
    f.id = kCobEmergency + core_->node;
    f.len = 8;
    f.data[0] = static_cast<uint8_t>(code);
    f.data[1] = static_cast<uint8_t>(code >> 8);
    f.data[2] = error_register;
    std::copy(manufacturer.begin(), manufacturer.end(), f.data + 3);
    core_->emit(&out, f);
  }
  core_->send(out);
  return !out.empty();
}

bool Device::read_object(uint16_t index, uint8_t subindex, std::vector<uint8_t>* bytes) const {
  std::lock_guard<std::mutex> lk(core_->mx);
  const OdValue* v = core_->find(index, subindex);
  if (!v) return false;
  *bytes = v->bytes;
  return true;
}

void Device::write_object(uint16_t index, uint8_t subindex, const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::mutex> lk(core_->mx);
  OdValue* v = core_->find(index, subindex);
  if (!v) {
    v = &core_->od[od_key(index, subindex)];
    v->name = "added by the host";
    v->data_type = kDomain;
    v->access = Access::ReadWrite;
  }
  v->bytes = bytes;
}

void Device::write_text(uint16_t index, uint8_t subindex, const std::string& text) {
  write_object(index, subindex, std::vector<uint8_t>(text.begin(), text.end()));
}

void Device::set_mute(bool mute) {
  std::lock_guard<std::mutex> lk(core_->mx);
  core_->mute = mute;
}

void Device::set_sdo_silent(bool silent) {
  std::lock_guard<std::mutex> lk(core_->mx);
  core_->sdo_silent = silent;
}

void Device::set_guard_silent(bool silent) {
  std::lock_guard<std::mutex> lk(core_->mx);
  core_->guard_silent = silent;
}

void Device::set_answer_delay(int64_t delay_us) {
  std::lock_guard<std::mutex> lk(core_->mx);
  core_->answer_delay = std::max<int64_t>(0, delay_us);
}

void Device::abort_next_segment(uint32_t code) {
  std::lock_guard<std::mutex> lk(core_->mx);
  core_->abort_segment = true;
  core_->abort_segment_code = code;
}

void Device::wrong_toggle_next_segment() {
  std::lock_guard<std::mutex> lk(core_->mx);
  core_->bad_segment_toggle = true;
}

void Device::wrong_toggle_next_guard() {
  std::lock_guard<std::mutex> lk(core_->mx);
  core_->bad_guard_toggle = true;
}

void Device::send_before_next_answer(const CMSG& frame, int count) {
  std::lock_guard<std::mutex> lk(core_->mx);
  for (int i = 0; i < count; ++i) core_->before_answer.push_back(frame);
}

void Device::flood(int id, int count) {
  if (count <= 0) return;
  Frames out(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    CMSG& f = out[static_cast<size_t>(i)];
    f.id = id;
    f.len = 8;
    for (int b = 0; b < 4; ++b) f.data[b] = static_cast<uint8_t>(i >> (8 * b));
  }
  core_->send(out);
}

void Device::clear_faults() {
  std::lock_guard<std::mutex> lk(core_->mx);
  Core& c = *core_;
  c.mute = c.sdo_silent = c.guard_silent = false;
  c.answer_delay = 0;
  c.abort_segment = c.bad_segment_toggle = c.bad_guard_toggle = false;
  c.before_answer.clear();
}

uint64_t Device::frames_sent() const {
  std::lock_guard<std::mutex> lk(core_->mx);
  return core_->sent;
}

}  // namespace zsim
