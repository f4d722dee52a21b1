// ntcan_ctl.h - the control interface of the project's own NTCAN driver.
//
// Tests and tools use it to choose each net's medium, to inject faults, to host
// simulated devices on a net and to observe what the driver was asked to do.
// libZUNTAL itself never includes this header: it sees only ntcan.h.
#ifndef NTCAN_CTL_H
#define NTCAN_CTL_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ntcan.h"

namespace ntcan_ctl {

// Nets 0 to kMaxNets-1 exist; by default each one is an in-process simulated bus.
constexpr int kMaxNets = 32;

// The driver operations, for fault injection and call counting.
enum class Op { Open, Close, SetBaudrate, IdAdd, IdDelete, Send, Take, Read, Status };
constexpr int kOpCount = 9;
const char* op_name(Op op);

// ---- Media -----------------------------------------------------------------

struct NetConfig {
  enum class Kind { Sim, Gateway, SocketCan, Absent };
  Kind kind = Kind::Sim;
  std::string host;    // Gateway: host name or address
  int port = 0;        // Gateway: TCP port of the gateway's CAN service
  int remote_net = 0;  // Gateway: net number on the gateway
  std::string ifname;  // SocketCan: interface name, e.g. "can0"
};

// Chooses the medium of a net. Existing handles keep the medium they were
// opened on; new handles use the new one.
void configure_net(int net, const NetConfig& cfg);
NetConfig net_config(int net);

// Reads a driver configuration file (format in docs/driver.md). Returns 0, or
// -1 with a message in *error naming the offending line.
int load_config(const std::string& path, std::string* error = nullptr);

// Back to the initial state: every handle closed, every net a simulated bus,
// faults, counters, devices and frame records cleared. Handle values keep
// counting up, so a handle from before the reset is never valid again.
void reset();

// Test switch: the next handle value is at least `next` (values never go
// down), so that a test reaches the end of the value range without opening
// two billion handles first.
void skip_handle_values(NTCAN_HANDLE next);

// ---- Faults ------------------------------------------------------------------

// The next `count` calls of `op` on any handle of `net` (canOpen: on that net)
// answer `status` and do nothing else. count < 0: until cleared with count 0.
void force_status(int net, Op op, NTCAN_RESULT status, int count);
// canStatus on every handle of the net answers `status` (0 clears the fault).
void fail_status(int net, NTCAN_RESULT status);
// The boardstatus that canStatus reports for the net.
void set_board_status(int net, uint32_t boardstatus);
// canOpen on the net answers `status` (0 clears the fault).
void refuse_open(int net, NTCAN_RESULT status);
// The medium stops answering: frames sent vanish, nothing arrives, canStatus
// answers NTCAN_SOCK_CMD_TIMEOUT. false restores it.
void set_stalled(int net, bool stalled);
// The medium connection of every handle open on the net now is gone, as a
// gateway connection that was closed or an interface that was deleted: each
// of them answers `status` to every call but canClose from now on (canTake
// and canRead once their queued frames are taken; waiting readers wake at
// once). Handles opened later are not touched. 0 makes them work again.
void fail_handles(int net, NTCAN_RESULT status);

// ---- Observation ---------------------------------------------------------------

uint64_t calls(Op op, NTCAN_HANDLE h);  // calls of op made with handle h
uint64_t calls_on_net(int net, Op op);  // calls of op on any handle of net
uint64_t total_calls();                 // every call of every operation
void clear_counters();
// Every frame put on the net by canSend, in order (devices' frames excluded).
// Only the last kSentFramesKept frames of a net are kept.
constexpr std::size_t kSentFramesKept = 100000;
std::vector<CMSG> sent_frames(int net);
void clear_sent_frames(int net);
// Net of an open handle, or -1.
int handle_net(NTCAN_HANDLE h);
// Handles opened and not closed yet (a reset closes them all): on every net,
// or on one net (0 for a net outside 0..kMaxNets-1). A handle whose medium is
// gone stays open until its owner closes it.
int open_handles();
int open_handles(int net);

// ---- Devices -------------------------------------------------------------------

// A device sees every frame on its net exactly once, except its own: the
// frames of the process's handles and other devices, and on a SocketCAN
// interface the frames of other programs and hosts there. The callback runs
// outside the driver's locks and may call inject() to answer at once. It
// runs in the thread that put the frame on the bus, except for frames that
// reach a SocketCAN medium through the interface (the process's handles'
// frames come back that way too): those come from the medium's thread.
using DeviceFn = std::function<void(const CMSG& frame)>;
// Returns a device id (> 0), or -1 when the net cannot host a device: it
// does not exist, or its medium would let the device hear only part of the
// net (a gateway's net, whose devices belong to the gateway). *error then
// says why, in words for the user.
int attach_device(int net, DeviceFn fn);
int attach_device(int net, DeviceFn fn, std::string* error);
// Empty when attach_device on the net would take a device, else its reason.
std::string device_refusal(int net);
void detach_device(int device_id);
// Puts frames on the net as device `device_id` sent them (0: an anonymous
// device): every handle whose filter holds the identifier and every other
// device receives them. Returns NTCAN_SUCCESS, or NTCAN_NET_NOT_FOUND /
// NTCAN_INVALID_PARAMETER.
NTCAN_RESULT inject(int net, const CMSG* frames, int count, int device_id = 0);

// ---- Timed bus -------------------------------------------------------------------

// In timed mode every frame occupies the bus for its real duration at the
// net's bit rate (47 + 8n bits for n data bytes, remote requests 47 bits),
// frames one after the other, and is delivered when it has been transmitted.
void set_timed(int net, bool timed, int baud_index = 6);
// Bit rate of a baud-rate index in bit/s, or 0 for an index outside the table.
uint32_t baud_index_rate(int baud_index);

}  // namespace ntcan_ctl

#endif  // NTCAN_CTL_H
