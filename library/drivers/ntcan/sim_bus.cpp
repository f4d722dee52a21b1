// sim_bus.cpp - the in-process simulated bus: a net whose frames go from one
// handle straight into the receive queues of the net's other handles.
//
// Per identifier the bus keeps the ports whose filter holds it, so a frame
// costs one lookup plus one queue push per receiver, however many handles the
// net has. Senders share the subscriber table under a reader lock; filter
// changes and closes take it exclusively.
#include <algorithm>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "medium.h"

namespace ntcan_drv {
namespace {

class SimBus;

class SimPort final : public Port {
 public:
  SimPort(std::shared_ptr<SimBus> bus, Endpoint& ep) : bus_(std::move(bus)), ep_(ep) {}
  NTCAN_RESULT send(const CMSG* frames, int count) override;
  NTCAN_RESULT id_add(int32_t id) override;
  NTCAN_RESULT id_delete(int32_t id) override;
  NTCAN_RESULT status(CAN_IF_STATUS* st) override;
  void close() override;

  Endpoint& endpoint() { return ep_; }

 private:
  std::shared_ptr<SimBus> bus_;
  Endpoint& ep_;
};

class SimBus final : public Medium, public std::enable_shared_from_this<SimBus> {
 public:
  NTCAN_RESULT open(Endpoint& ep, std::unique_ptr<Port>* port) override {
    port->reset(new SimPort(shared_from_this(), ep));
    return NTCAN_SUCCESS;
  }
  NTCAN_RESULT inject(const CMSG* frames, int count) override {
    fanout(nullptr, frames, count);
    return NTCAN_SUCCESS;
  }

  // Delivers frames to every subscribed port except `from`.
  void fanout(const SimPort* from, const CMSG* frames, int count) {
    std::shared_lock<std::shared_mutex> lk(mx_);
    if (count == 1) {
      for (SimPort* p : subs_[frames[0].id])
        if (p != from) p->endpoint().receive(frames, 1);
      return;
    }
    // Several frames: each receiver gets all of its frames in one queue
    // operation (receive() applies the receiver's filter).
    thread_local std::vector<SimPort*> rx;
    rx.clear();
    int32_t last = -1;
    for (int i = 0; i < count; ++i) {
      if (frames[i].id == last) continue;
      last = frames[i].id;
      for (SimPort* p : subs_[last])
        if (p != from) rx.push_back(p);
    }
    if (rx.size() > 1) {
      std::sort(rx.begin(), rx.end());
      rx.erase(std::unique(rx.begin(), rx.end()), rx.end());
    }
    for (SimPort* p : rx) p->endpoint().receive(frames, count);
  }

  void subscribe(SimPort* p, int32_t id) {
    std::unique_lock<std::shared_mutex> lk(mx_);
    subs_[id].push_back(p);
  }
  void unsubscribe(SimPort* p, int32_t id) {
    std::unique_lock<std::shared_mutex> lk(mx_);
    auto& v = subs_[id];
    v.erase(std::remove(v.begin(), v.end(), p), v.end());
  }
  void unsubscribe_all(SimPort* p) {
    std::unique_lock<std::shared_mutex> lk(mx_);
    for (int id = 0; id < kIdCount; ++id) {
      if (!p->endpoint().wants(id)) continue;
      auto& v = subs_[id];
      v.erase(std::remove(v.begin(), v.end(), p), v.end());
    }
  }

 private:
  std::shared_mutex mx_;
  std::vector<SimPort*> subs_[kIdCount];
};

NTCAN_RESULT SimPort::send(const CMSG* frames, int count) {
  bus_->fanout(this, frames, count);
  return NTCAN_SUCCESS;
}
NTCAN_RESULT SimPort::id_add(int32_t id) {
  bus_->subscribe(this, id);
  return NTCAN_SUCCESS;
}
NTCAN_RESULT SimPort::id_delete(int32_t id) {
  bus_->unsubscribe(this, id);
  return NTCAN_SUCCESS;
}
NTCAN_RESULT SimPort::status(CAN_IF_STATUS* st) {
  static const char kBoard[] = "ZUNTAL SIMBUS";
  static_assert(sizeof(kBoard) <= sizeof(st->boardid), "board id fits");
  std::copy(kBoard, kBoard + sizeof(kBoard), st->boardid);
  return NTCAN_SUCCESS;
}
void SimPort::close() {
  // The filter still holds the handle's identifiers (close does not clear
  // it), so they name the subscriber lists to leave.
  bus_->unsubscribe_all(this);
}

}  // namespace

std::shared_ptr<Medium> make_sim_bus(int net, const ntcan_ctl::NetConfig& cfg) {
  (void)net;
  (void)cfg;
  return std::make_shared<SimBus>();
}

}  // namespace ntcan_drv
