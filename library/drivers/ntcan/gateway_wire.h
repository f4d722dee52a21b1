// gateway_wire.h - the wire protocol between the driver's gateway medium and
// a network CAN gateway (tools/gateway). Header-only, shared by both sides.
//
// One TCP connection per driver handle. All integers are little-endian.
//
//   client -> gateway   Hello        16 bytes: magic, version, 0, net, 0
//   gateway -> client   HelloAnswer  16 bytes: magic, version, 0, status, 0
//   then, both ways, messages: an 8-byte header (payload length u32, type u8,
//   flags u8, 0 u16) followed by the payload.
//
// Message types and payloads:
//   Frames    (both ways) n x 16-byte CMSG records, 1 <= n <= kMaxFramesPerMsg
//   IdAdd     seq u32, id i32             answered by Answer
//   IdDelete  seq u32, id i32             answered by Answer
//   Baud      seq u32, index u32          answered by Answer
//   Status    seq u32                     answered by Answer + 28-byte CAN_IF_STATUS
//   Answer    seq u32, status i32 [, CAN_IF_STATUS]
//   Close     empty: the client ends the connection
//   Link      (gateway -> client) status i32: the net's medium changed, as a
//             handle on it would see: 0 working, NTCAN_CONTR_OFF_BUS (the
//             bridged interface is down), NTCAN_NET_NOT_FOUND (it is gone;
//             the gateway then closes the connection)
// A receiver skips messages of a type it does not know; a payload longer than
// kMaxPayload or a malformed known message ends the connection.
#ifndef NTCAN_GATEWAY_WIRE_H
#define NTCAN_GATEWAY_WIRE_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "ntcan.h"

namespace gw_wire {

// "ZCGW" read as a little-endian u32.
constexpr uint32_t kMagic = 0x5747435Au;
constexpr uint16_t kVersion = 1;

constexpr size_t kHelloSize = 16;
constexpr size_t kHeaderSize = 8;
constexpr size_t kFrameSize = 16;
constexpr size_t kStatusSize = 28;
constexpr uint32_t kMaxFramesPerMsg = 1024;
constexpr uint32_t kMaxPayload = kMaxFramesPerMsg * kFrameSize;

enum Type : uint8_t {
  kFrames = 1,
  kIdAdd = 2,
  kIdDelete = 3,
  kBaud = 4,
  kStatus = 5,
  kAnswer = 6,
  kClose = 7,
  kLink = 8,
};

inline void put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint16_t get16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t get32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

// Hello (client) and HelloAnswer (gateway): magic, version, reserved, word
// (the net asked for, or the gateway's answer status), reserved.
inline void put_hello(uint8_t* p, uint32_t word) {
  std::memset(p, 0, kHelloSize);
  put32(p, kMagic);
  put16(p + 4, kVersion);
  put32(p + 8, word);
}
// False when the magic is wrong; *version and *word are filled otherwise.
inline bool get_hello(const uint8_t* p, uint16_t* version, uint32_t* word) {
  if (get32(p) != kMagic) return false;
  *version = get16(p + 4);
  *word = get32(p + 8);
  return true;
}

inline void put_header(uint8_t* p, uint32_t payload, Type type) {
  put32(p, payload);
  p[4] = type;
  p[5] = 0;
  p[6] = 0;
  p[7] = 0;
}

inline void put_frame(uint8_t* p, const CMSG& f) {
  put32(p, static_cast<uint32_t>(f.id));
  p[4] = f.len;
  p[5] = f.msg_lost;
  p[6] = 0;
  p[7] = 0;
  std::memcpy(p + 8, f.data, 8);
}
inline void get_frame(const uint8_t* p, CMSG* f) {
  f->id = static_cast<int32_t>(get32(p));
  f->len = p[4];
  f->msg_lost = p[5];
  f->reserved[0] = 0;
  f->reserved[1] = 0;
  std::memcpy(f->data, p + 8, 8);
}

// CAN_IF_STATUS in its 28-byte driver layout, field by field.
inline void put_status(uint8_t* p, const CAN_IF_STATUS& s) {
  put16(p, s.hardware);
  put16(p + 2, s.firmware);
  put16(p + 4, s.driver);
  put16(p + 6, s.dll);
  put32(p + 8, s.boardstatus);
  std::memcpy(p + 12, s.boardid, 14);
  put16(p + 26, s.features);
}
inline void get_status(const uint8_t* p, CAN_IF_STATUS* s) {
  s->hardware = get16(p);
  s->firmware = get16(p + 2);
  s->driver = get16(p + 4);
  s->dll = get16(p + 6);
  s->boardstatus = get32(p + 8);
  std::memcpy(s->boardid, p + 12, 14);
  s->features = get16(p + 26);
}

}  // namespace gw_wire

#endif  // NTCAN_GATEWAY_WIRE_H
