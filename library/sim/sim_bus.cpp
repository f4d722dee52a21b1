// sim_bus.cpp - hosting EDS-described devices on one net.
#include "sim_bus.h"

#include <algorithm>
#include <atomic>
#include <chrono>

namespace zsim {

bool parse_device_entry(const std::string& entry, int* node_id, std::string* path,
                        std::string* error) {
  // A path may itself contain ':' only after a directory part, so a node part
  // is recognised as the text before the first ':' when it holds no '/'.
  size_t colon = entry.find(':');
  if (colon == std::string::npos || entry.substr(0, colon).find('/') != std::string::npos) {
    *node_id = 0;
    *path = entry;
  } else {
    uint64_t v;
    bool neg;
    if (!parse_eds_number(entry.substr(0, colon), &v, &neg) || neg || v < 1 || v > 127) {
      if (error) *error = "device '" + entry + "': node id must be 1 to 127";
      return false;
    }
    *node_id = static_cast<int>(v);
    *path = entry.substr(colon + 1);
  }
  if (path->empty()) {
    if (error) *error = "device '" + entry + "': no EDS file given";
    return false;
  }
  return true;
}

// The runner's clock and wake-up flag.
struct Bus::RunState {
  std::mutex mx;
  std::condition_variable cv;
  bool stop = false;
  bool wake = false;
  bool running = false;
  std::chrono::steady_clock::time_point start;
  int64_t base = 0;  // bus time at `start`
  std::atomic<uint64_t> wakeups{0};

  int64_t now() const {
    return base + std::chrono::duration_cast<std::chrono::microseconds>(
                      std::chrono::steady_clock::now() - start)
                      .count();
  }
  void poke() {
    std::lock_guard<std::mutex> lk(mx);
    wake = true;
    cv.notify_all();
  }
};

Bus::Bus(int net) : net_(net), run_(std::make_shared<RunState>()) {}

Bus::~Bus() {
  stop_runner();
  std::vector<std::shared_ptr<Device>> devs;
  {
    std::lock_guard<std::mutex> lk(mx_);
    devs.swap(devices_);
  }
  for (auto& d : devs) d->power_off();
}

Device* Bus::add(int node_id, const std::string& eds_path, std::string* error) {
  Eds eds;
  if (load_eds(eds_path, &eds, error) != 0) return nullptr;
  return add(node_id, eds, error);
}

Device* Bus::add(int node_id, const Eds& eds, std::string* error) {
  if (node_id == 0) node_id = eds.commissioned_node_id;
  if (node_id == 0) {
    if (error) *error = eds.path + ": no node id given and none in [DeviceComissioning]";
    return nullptr;
  }
  std::unique_ptr<Device> dev = Device::create(net_, node_id, eds, error);
  if (!dev) return nullptr;
  std::shared_ptr<Device> d(std::move(dev));
  int64_t now;
  {
    std::lock_guard<std::mutex> lk(mx_);
    for (auto& o : devices_)
      if (o->node_id() == node_id) {
        if (error)
          *error = "node " + std::to_string(node_id) + " is already on net " + std::to_string(net_);
        return nullptr;
      }
    devices_.push_back(d);
    std::sort(devices_.begin(), devices_.end(),
              [](const std::shared_ptr<Device>& a, const std::shared_ptr<Device>& b) {
                return a->node_id() < b->node_id();
              });
    now = now_;
  }
  attach_realtime(d.get());
  std::string why;
  if (d->power_on(now, &why) != 0) {
    remove(node_id);
    if (error) *error = why;
    return nullptr;
  }
  return d.get();
}

Device* Bus::add_entry(const std::string& entry, std::string* error) {
  int node;
  std::string path;
  if (!parse_device_entry(entry, &node, &path, error)) return nullptr;
  return add(node, path, error);
}

int Bus::add_entries(const std::vector<std::string>& entries, std::string* error) {
  for (const std::string& s : entries)
    if (!add_entry(s, error)) return -1;
  return 0;
}

Device* Bus::find(int node_id) const {
  std::lock_guard<std::mutex> lk(mx_);
  for (auto& d : devices_)
    if (d->node_id() == node_id) return d.get();
  return nullptr;
}

std::vector<Device*> Bus::devices() const {
  std::lock_guard<std::mutex> lk(mx_);
  std::vector<Device*> v;
  for (auto& d : devices_) v.push_back(d.get());
  return v;
}

bool Bus::remove(int node_id) {
  std::shared_ptr<Device> gone;
  {
    std::lock_guard<std::mutex> lk(mx_);
    auto it = std::find_if(devices_.begin(), devices_.end(), [&](const std::shared_ptr<Device>& d) {
      return d->node_id() == node_id;
    });
    if (it == devices_.end()) return false;
    gone = *it;
    devices_.erase(it);
  }
  // The runner may still hold the device for a moment; it is destroyed by
  // whichever lets go last, powered off here already.
  gone->power_off();
  return true;
}

std::vector<std::shared_ptr<Device>> Bus::snapshot() const {
  std::lock_guard<std::mutex> lk(mx_);
  return devices_;
}

void Bus::advance_to(int64_t now_us) {
  {
    std::lock_guard<std::mutex> lk(mx_);
    if (now_us > now_) now_ = now_us;
    now_us = now_;
  }
  // Devices answer through inject(), which may deliver into other devices
  // synchronously: no lock of the bus is held meanwhile.
  for (auto& d : snapshot()) d->advance_to(now_us);
}

int64_t Bus::now_us() const {
  std::lock_guard<std::mutex> lk(mx_);
  return now_;
}

// Gives the device the runner's clock and wake-up while the runner runs,
// takes them away otherwise (tests that advance the bus themselves).
void Bus::attach_realtime(Device* d) {
  std::shared_ptr<RunState> st = run_;
  bool running;
  {
    std::lock_guard<std::mutex> lk(st->mx);
    running = st->running;
  }
  if (running)
    d->set_realtime([st] { return st->now(); }, [st] { st->poke(); });
  else
    d->set_realtime(nullptr, nullptr);
}

void Bus::start_runner(int64_t min_sleep_us) {
  std::lock_guard<std::mutex> lk(run_mx_);
  if (runner_.joinable()) return;
  std::shared_ptr<RunState> st = run_;
  {
    std::lock_guard<std::mutex> slk(st->mx);
    st->stop = false;
    st->wake = false;
    st->running = true;
    st->start = std::chrono::steady_clock::now();
    st->base = now_us();
    st->wakeups = 0;
  }
  for (auto& d : snapshot()) attach_realtime(d.get());
  const int64_t min_sleep = std::max<int64_t>(min_sleep_us, 1);
  runner_ = std::thread([this, st, min_sleep] {
    while (true) {
      const int64_t now = st->now();
      advance_to(now);
      int64_t due = INT64_MAX;
      for (auto& d : snapshot()) due = std::min(due, d->next_due_us());
      std::unique_lock<std::mutex> lk(st->mx);
      if (st->stop) break;
      if (!st->wake) {
        auto woken = [&st] { return st->stop || st->wake; };
        if (due == INT64_MAX) {
          st->cv.wait(lk, woken);
        } else {
          due = std::max(due, now + min_sleep);
          st->cv.wait_until(lk, st->start + std::chrono::microseconds(due - st->base), woken);
        }
        if (st->stop) break;
      }
      st->wake = false;
      ++st->wakeups;
    }
  });
}

void Bus::stop_runner() {
  std::thread t;
  std::shared_ptr<RunState> st = run_;
  {
    std::lock_guard<std::mutex> lk(run_mx_);
    {
      std::lock_guard<std::mutex> slk(st->mx);
      st->stop = true;
      st->running = false;
    }
    st->cv.notify_all();
    t.swap(runner_);
  }
  if (t.joinable()) t.join();
  // From now on the devices' time is only what advance_to() gives them.
  for (auto& d : snapshot()) d->set_realtime(nullptr, nullptr);
}

bool Bus::runner_running() const {
  std::lock_guard<std::mutex> lk(run_mx_);
  return runner_.joinable();
}

uint64_t Bus::runner_wakeups() const {
  return run_->wakeups;
}

}  // namespace zsim
