// sim_pdo.h - process data of a simulated device: the SYNC consumer, transmit
// PDOs sent by their transmission type, receive PDOs written into the mapped
// objects, and the rules a real device applies when PDO parameters are
// changed by SDO.
//
// The PDO parameters live in the device's dictionary (0x1400-0x15FF RPDO
// communication, 0x1600-0x17FF RPDO mapping, 0x1800-0x19FF TPDO
// communication, 0x1A00-0x1BFF TPDO mapping) and are read from there at every
// use, so an SDO download takes effect with the next frame. Only the run-time
// state (SYNC counts, pending events, inhibit and event timers, RPDOs waiting
// for their SYNC) is kept here. Every function is called with the device's
// lock held and appends the frames to send to `out`.
#ifndef ZUNTAL_SIM_PDO_H
#define ZUNTAL_SIM_PDO_H

#include <cstdint>
#include <map>
#include <vector>

#include "canopen_ids.h"
#include "ntcan.h"
#include "sim_eds.h"

namespace zsim {

using Frames = std::vector<CMSG>;

// SDO abort codes of the PDO parameter checks.
constexpr uint32_t kAbortNotMappable = 0x06040041;  // object cannot be mapped
constexpr uint32_t kAbortMapLength = 0x06040042;    // mapping exceeds the PDO length
constexpr uint32_t kAbortValueRange = 0x06090030;   // value range exceeded

class PdoEngine {
 public:
  // Abort code a real device gives for writing `bytes` into index/sub, or 0.
  // A mapping is changed only while its PDO is disabled (bit 31 of the COB-ID
  // set) and its entry count is 0; a COB-ID and the inhibit time only while
  // the PDO is disabled; a count is taken only when its entries fit 64 bits.
  uint32_t write_check(const ObjectDictionary& od, uint16_t index, uint8_t sub,
                       const std::vector<uint8_t>& bytes) const;
  // Object index/sub has a new value: event-driven TPDOs that map it are sent
  // (or wait for their inhibit time), acyclic synchronous ones wait for the
  // next SYNC; a change of a TPDO's own parameters restarts its timers.
  void changed(const ObjectDictionary& od, uint16_t index, uint8_t sub, Frames* out);
  // A frame from the bus: SYNC or one of the device's RPDOs. Returns true
  // when it was one of them.
  bool on_frame(ObjectDictionary& od, const CMSG& f, Frames* out);
  // Entering or leaving the operational state; PDOs run only there.
  void set_operational(const ObjectDictionary& od, bool operational);
  // Run-time state back to power-on.
  void reset();

  void set_now(int64_t now) { now_ = now; }
  // Earliest event timer or inhibit end, INT64_MAX when none.
  int64_t next_due() const;
  // Sends what fell due by the current time.
  void run_due(const ObjectDictionary& od, Frames* out);

  // Objects written by RPDOs since the last call, for the device to report
  // as changed (an RPDO may drive event-driven TPDOs).
  std::vector<uint32_t> take_written() {
    std::vector<uint32_t> w;
    w.swap(written_);
    return w;
  }

  void set_node(int node) { node_ = node; }
  // Emergency frames the device sends for RPDOs shorter than their mapping.
  void set_emit_emergency(bool on) { emcy_ = on; }

 private:
  struct Tx {
    int sync_count = 0;
    bool event = false;             // type 0: a change waits for the SYNC
    bool pending = false;           // types 254/255: a change waits for the inhibit time
    int64_t inhibit_until = 0;      // no transmission before
    int64_t timer_due = INT64_MAX;  // next event-timer transmission
  };
  void send_tpdo(const ObjectDictionary& od, int n, Frames* out);
  void write_rpdo(ObjectDictionary& od, int n, const CMSG& f, Frames* out);

  std::map<int, Tx> tx_;         // by TPDO number - 1
  std::map<int, CMSG> rx_sync_;  // synchronous RPDOs waiting for the SYNC
  std::vector<uint32_t> written_;
  int64_t now_ = 0;
  int node_ = 0;
  bool operational_ = false;
  bool emcy_ = true;
};

}  // namespace zsim

#endif  // ZUNTAL_SIM_PDO_H
