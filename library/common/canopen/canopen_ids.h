// canopen_ids.h - the CANopen identifier bases of the predefined connection
// set. A node's identifier is its base plus the node id (1 to 127); NMT and
// SYNC have one identifier for the whole net.
//
// Header only and free of any other include, so that the library, the
// simulated devices and the tools share it without depending on each other.
#ifndef ZUNTAL_CANOPEN_IDS_H
#define ZUNTAL_CANOPEN_IDS_H

namespace canopen {

constexpr int kCobNmt = 0x000;        // NMT commands, node id in the data
constexpr int kCobSync = 0x080;       // SYNC, no node id
constexpr int kCobEmergency = 0x080;  // + node: emergency
constexpr int kCobTpdo1 = 0x180;      // + node: transmit PDO 1
constexpr int kCobRpdo1 = 0x200;      // + node: receive PDO 1
constexpr int kCobTpdo2 = 0x280;
constexpr int kCobRpdo2 = 0x300;
constexpr int kCobTpdo3 = 0x380;
constexpr int kCobRpdo3 = 0x400;
constexpr int kCobTpdo4 = 0x480;
constexpr int kCobRpdo4 = 0x500;
constexpr int kCobSdoAnswer = 0x580;     // + node: SDO server to client
constexpr int kCobSdoRequest = 0x600;    // + node: SDO client to server
constexpr int kCobErrorControl = 0x700;  // + node: heartbeat, boot-up, node guarding

// Base of transmit or receive PDO `n` (1 to 4) of the predefined set.
constexpr int tpdo_base(int n) {
  return kCobTpdo1 + 0x100 * (n - 1);
}
constexpr int rpdo_base(int n) {
  return kCobRpdo1 + 0x100 * (n - 1);
}

}  // namespace canopen

#endif  // ZUNTAL_CANOPEN_IDS_H
