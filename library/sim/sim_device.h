// sim_device.h - a simulated CANopen device on a simulated CAN net.
//
// The device is attached to its net through the driver's device hook and
// answers frames as a real node would:
//   SDO server   requests on 0x600+id, answers on 0x580+id: expedited and
//                segmented upload and download, abort codes;
//   NMT slave    commands on 0x000 for its node or for all (node 0), boot-up
//                frame 0x700+id {0x00} at power-on and after each reset;
//   heartbeat    producer on 0x700+id at the period of object 0x1017;
//   guarding     a remote request on 0x700+id is answered with the state
//                and a toggle bit in bit 7 that alternates from 0;
//   emergency    8-byte frames on 0x80+id on demand.
//
// The device never reads a clock of its own: its time is what advance_to()
// tells it. Heartbeats and delayed answers go out from advance_to() when they
// are due, so a test decides exactly when they happen. A host that runs the
// device in real time gives it a clock and a wake-up call (set_realtime()). Frames reach the device
// in the thread that put them on the bus; the device answers from that thread.
#ifndef ZUNTAL_SIM_DEVICE_H
#define ZUNTAL_SIM_DEVICE_H

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ntcan.h"
#include "sim_eds.h"

namespace zsim {

// NMT states as heartbeat and guarding frames report them.
enum class NmtState : uint8_t {
  BootUp = 0x00,
  Stopped = 0x04,
  Operational = 0x05,
  PreOperational = 0x7F,
};

// NMT command specifiers.
constexpr uint8_t kNmtStart = 0x01;
constexpr uint8_t kNmtStop = 0x02;
constexpr uint8_t kNmtPreOperational = 0x80;
constexpr uint8_t kNmtResetNode = 0x81;
constexpr uint8_t kNmtResetCommunication = 0x82;

// SDO abort codes the server sends.
constexpr uint32_t kAbortToggle = 0x05030000;          // toggle bit not alternated
constexpr uint32_t kAbortCommand = 0x05040001;         // command specifier unknown
constexpr uint32_t kAbortNoMemory = 0x05040005;        // out of memory
constexpr uint32_t kAbortUnsupported = 0x06010000;     // unsupported access
constexpr uint32_t kAbortWriteOnly = 0x06010001;       // read of a write-only object
constexpr uint32_t kAbortReadOnly = 0x06010002;        // write of a read-only object
constexpr uint32_t kAbortNoObject = 0x06020000;        // object does not exist
constexpr uint32_t kAbortLengthMismatch = 0x06070010;  // length does not match
constexpr uint32_t kAbortLengthHigh = 0x06070012;      // data type length too high
constexpr uint32_t kAbortLengthLow = 0x06070013;       // data type length too low
constexpr uint32_t kAbortNoSubindex = 0x06090011;      // subindex does not exist
// Largest object a segmented download may write.
constexpr int64_t kMaxDownload = 1 << 20;

// CANopen identifier bases.
constexpr int kCobNmt = 0x000;
constexpr int kCobEmergency = 0x080;
constexpr int kCobSdoAnswer = 0x580;
constexpr int kCobSdoRequest = 0x600;
constexpr int kCobErrorControl = 0x700;  // heartbeat, boot-up, node guarding

class Device {
 public:
  // A device for `node_id` (1 to 127) on driver net `net` with the objects of
  // `eds`. Returns nullptr with *error for a bad node id or a value that does
  // not fit for this node id. The device starts powered off.
  static std::unique_ptr<Device> create(int net, int node_id, const Eds& eds, std::string* error);
  // The same from an EDS file.
  static std::unique_ptr<Device> from_file(int net, int node_id, const std::string& eds_path,
                                           std::string* error);
  // A device with a dictionary of its own making; `name` is used in messages.
  Device(int net, int node_id, ObjectDictionary od, std::string name = "");
  ~Device();  // powers off
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  int net() const;
  int node_id() const;
  const std::string& name() const;

  // Power. power_on() attaches the device to its net, sets its time to
  // `now_us`, puts every object to its default, sends the boot-up frame and
  // enters pre-operational. Returns 0, or -1 with *error when the net cannot
  // host it (it does not exist, or it is a gateway's net).
  // power_off() detaches it: it sees and sends nothing until powered again.
  int power_on(int64_t now_us = 0, std::string* error = nullptr);
  void power_off();
  bool powered() const;

  // Time. Moves the device's clock to `now_us` (a smaller value is ignored)
  // and sends, in order, every heartbeat and delayed answer due by then.
  void advance_to(int64_t now_us);
  int64_t now_us() const;
  // Time of the next heartbeat or delayed answer, or INT64_MAX when none.
  int64_t next_due_us() const;
  // For a host that sleeps until next_due_us() instead of advancing the
  // device all the time: a frame that arrives first moves the device to
  // `clock()` (so a delayed answer is due its delay after the request), and
  // `wake()` is called, outside the device's lock, whenever the next due time
  // has become earlier (a delayed answer queued, a heartbeat restarted). Both
  // are called from any thread and must not call back into the device. Null
  // functions end it.
  void set_realtime(std::function<int64_t()> clock, std::function<void()> wake);

  NmtState state() const;
  // Heartbeat period in ms (0 = off); also writes object 0x1017 if present.
  // The next heartbeat follows one period after the current time.
  void set_heartbeat_period(uint16_t ms);
  uint16_t heartbeat_period() const;

  // Sends an emergency frame on 0x80+id: error code (little-endian), error
  // register, five manufacturer bytes; also stores the error register in
  // object 0x1001 if present. Returns false when nothing was sent (powered
  // off, stopped, or mute).
  bool emergency(uint16_t code, uint8_t error_register, std::array<uint8_t, 5> manufacturer = {});

  // Dictionary access for tests and tools. read_object() returns false for a
  // missing object. write_object() replaces the bytes of an object (not its
  // default), or adds a read-write DOMAIN object when it is missing.
  bool read_object(uint16_t index, uint8_t subindex, std::vector<uint8_t>* bytes) const;
  void write_object(uint16_t index, uint8_t subindex, const std::vector<uint8_t>& bytes);
  void write_text(uint16_t index, uint8_t subindex, const std::string& text);

  // ---- Faults on demand ------------------------------------------------------
  // Mute: the device still receives and changes state, but sends nothing of
  // its own (no answers, boot-up, heartbeats or emergencies).
  void set_mute(bool mute);
  // SDO requests, or guarding requests, are ignored as if never received.
  void set_sdo_silent(bool silent);
  void set_guard_silent(bool silent);
  // SDO and guarding answers go out `delay_us` after the request, from
  // advance_to(); 0 answers at once.
  void set_answer_delay(int64_t delay_us);
  // The next upload segment request is answered by an abort with `code`,
  // which ends the transfer.
  void abort_next_segment(uint32_t code);
  // The next upload segment answer, or guarding answer, carries the wrong
  // toggle bit. The device's own sequence goes on as if it had been right.
  void wrong_toggle_next_segment();
  void wrong_toggle_next_guard();
  // `count` copies of `frame` go on the bus right before the next SDO or
  // guarding answer (e.g. a frame of another node's identifier).
  void send_before_next_answer(const CMSG& frame, int count = 1);
  // Puts `count` frames with identifier `id` and 8 data bytes (a running
  // number, little-endian) on the bus now, in the caller's thread. Mute does
  // not stop a flood.
  void flood(int id, int count);
  void clear_faults();

  // Frames the device has put on the bus, floods and extra frames included.
  uint64_t frames_sent() const;

 private:
  struct Core;
  std::shared_ptr<Core> core_;
};

}  // namespace zsim

#endif  // ZUNTAL_SIM_DEVICE_H
