// sim_device.cpp - power, NMT slave, heartbeat and emergency producer,
// node guarding and the faults on demand of a simulated device. The SDO
// server is in sim_sdo.cpp; the state both share is in sim_core.h.
#include "sim_device.h"

#include "sim_core.h"

namespace zsim {

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
    core->pdo.set_node(core->node);
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
    core_->pdo.reset();
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
  Frames out;
  {
    std::lock_guard<std::mutex> lk(core_->mx);
    OdValue* v = core_->find(index, subindex);
    if (!v) {
      v = &core_->od[od_key(index, subindex)];
      v->name = "added by the host";
      v->data_type = kDomain;
      v->access = Access::ReadWrite;
    }
    v->bytes = bytes;
    if (core_->powered) core_->pdo_changed(index, subindex, &out);
  }
  core_->send(out);
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
  c.refuse_block = false;
  c.pending_fault = BlockFault::None;
}

uint64_t Device::frames_sent() const {
  std::lock_guard<std::mutex> lk(core_->mx);
  return core_->sent;
}

}  // namespace zsim
