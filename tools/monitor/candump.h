// candump.h - CAN frames in candump's notation and their CANopen meaning.
//
// format_frame() writes a frame the way candump's log format and cansend
// write it: three upper-case hexadecimal digits of the identifier, '#', then
// the data bytes in upper-case hexadecimal ("605#4008100000000000"); a
// remote request is "705#R", or "705#R8" when it asks for 8 bytes.
// decode_canopen() names what a CANopen node or master meant by the frame.
#ifndef ZUNTAL_CANDUMP_H
#define ZUNTAL_CANDUMP_H

#include <cstdint>
#include <map>
#include <string>
#include <utility>

#include "D_zuntal.h"
#include "ntcan.h"

namespace candump {

// Marks a frame with a 29-bit identifier in CMSG::id (the identifier is in the
// low 29 bits). The driver itself carries 11-bit frames only; the monitor
// reads 29-bit ones from a SocketCAN interface with a socket of its own.
constexpr int32_t kExtendedId = 0x20000000;
constexpr int32_t kExtendedMask = 0x1FFFFFFF;

// The frame in candump notation: 3 hexadecimal digits for an 11-bit
// identifier, 8 for a 29-bit one ("18FF1234#01").
std::string format_frame(const CMSG& frame);

// Reads candump notation back ("123#11AA", "705#R", "705#R8", and a 29-bit
// identifier written with 8 digits, "18FF1234#01"). Returns false for
// anything else: a bad identifier, an odd number of digits, more than 8
// bytes, characters after the frame.
bool parse_frame(const std::string& text, CMSG* frame);

// What the frame means in CANopen, e.g. "NMT start node 5", "SDO request
// node 5: upload 1008:00", "heartbeat node 5: operational"; empty for a
// frame that has no CANopen meaning (or a malformed one of a known kind is
// named as such: "SDO answer node 5: short frame").
std::string decode_canopen(const CMSG& frame);

// Text of a CANopen SDO abort code (the library's sdo_abort_text: "object
// does not exist in the object dictionary"), or "" when the code is not one
// of the standard ones.
const char* sdo_abort_text(uint32_t code);

// Name of a heartbeat / node-guarding state byte (bit 7, the guarding
// toggle, ignored): "boot-up", "stopped", "operational", "pre-operational",
// or "" for another value.
const char* nmt_state_name(uint8_t state);

// The emergency error code's text (the library's emcy_text): the code
// itself where it is a known one ("CAN overrun, objects lost"), else its
// class by the high byte, as CiA 301 groups them ("current", "voltage", ...);
// "" for a code of no class.
std::string emergency_class(uint16_t code);

// PDO mappings of nodes by their frames' identifiers, from EDS files, so
// that a decoded PDO names its values: "TPDO1 node 5: Output voltage
// measured=36.5 Output current measured=0".
class PdoNames {
 public:
  // Adds the PDOs of `eds_path` for node `node`: 0, or -1 with *error.
  int add(int node, const std::string& eds_path, std::string* error);
  // The decoded text of a frame of a known PDO, "" for any other frame.
  std::string decode(const CMSG& frame) const;

 private:
  std::map<int, std::pair<int, pdo_map>> by_id_;  // identifier -> node, mapping
};

// One line for the monitor: the frame, and with `decode` its CANopen meaning
// after two blanks (a PDO that `pdo` knows with its values named); with
// `timestamp_us` >= 0 a "(seconds.micros) " prefix.
std::string monitor_line(const CMSG& frame, bool decode, int64_t timestamp_us = -1,
                         const PdoNames* pdo = nullptr);

// One line of candump's log format (candump -L), which canplayer replays and
// log2long reads: "(seconds.micros) IFACE ID#DATA".
std::string log_line(const CMSG& frame, const std::string& iface, int64_t timestamp_us);

}  // namespace candump

#endif  // ZUNTAL_CANDUMP_H
