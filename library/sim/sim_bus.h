// sim_bus.h - the simulated devices of one net, made from EDS files.
//
// A Bus owns the devices it hosts, powers them on at the bus's time and moves
// all of them on together: a test calls advance_to() with the time it wants,
// a tool that runs in real time starts the runner instead, a thread that
// advances the bus from the steady clock whenever a device has something due.
#ifndef ZUNTAL_SIM_BUS_H
#define ZUNTAL_SIM_BUS_H

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim_device.h"

namespace zsim {

class Bus {
 public:
  explicit Bus(int net);
  ~Bus();  // stops the runner, powers every device off
  Bus(const Bus&) = delete;
  Bus& operator=(const Bus&) = delete;

  int net() const { return net_; }

  // Makes a device for `node_id` from an EDS file and powers it on at the
  // bus's time. node_id 0 takes the NodeID of the file's [DeviceComissioning].
  // Returns the device (owned by the bus), or nullptr with *error: bad or
  // missing file, bad node id, node id already on the bus.
  Device* add(int node_id, const std::string& eds_path, std::string* error);
  Device* add(int node_id, const Eds& eds, std::string* error);
  // "NODE:PATH" (node decimal or 0x hex) or just "PATH", as tools take them on
  // their command line.
  Device* add_entry(const std::string& entry, std::string* error);
  // Adds every entry; stops at the first failure (earlier devices stay).
  int add_entries(const std::vector<std::string>& entries, std::string* error);

  Device* find(int node_id) const;
  std::vector<Device*> devices() const;  // by node id
  // Powers the device off and destroys it; false when there is none.
  bool remove(int node_id);

  // Moves every device to `now_us` (see Device::advance_to).
  void advance_to(int64_t now_us);
  int64_t now_us() const;

  // Runner: a thread that calls advance_to() from the steady clock,
  // continuing from the bus's current time. It sleeps until the earliest
  // next_due_us() of the devices, at least `min_sleep_us` (so beats due
  // within that much of each other go out in one wake-up), and is woken
  // early when a device gets something due sooner. Frames that reach a
  // device meanwhile find it at the current time (Device::set_realtime).
  void start_runner(int64_t min_sleep_us = 1000);
  void stop_runner();
  bool runner_running() const;
  // Times the runner has woken up since it started, for benchmarks.
  uint64_t runner_wakeups() const;

 private:
  struct RunState;
  std::vector<std::shared_ptr<Device>> snapshot() const;
  void attach_realtime(Device* d);

  const int net_;
  mutable std::mutex mx_;
  std::vector<std::shared_ptr<Device>> devices_;
  int64_t now_ = 0;

  mutable std::mutex run_mx_;  // guards the runner thread
  std::thread runner_;
  // Shared with the devices' wake-up calls, which may outlive the bus for
  // the moment a frame is in delivery.
  std::shared_ptr<RunState> run_;
};

// Splits "NODE:PATH" or "PATH" (node 0). Returns false with *error for a bad
// node part.
bool parse_device_entry(const std::string& entry, int* node_id, std::string* path,
                        std::string* error);

}  // namespace zsim

#endif  // ZUNTAL_SIM_BUS_H
