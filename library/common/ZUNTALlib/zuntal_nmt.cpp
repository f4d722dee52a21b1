// zuntal_nmt.cpp - NMT commands to the node and the identity texts read from
// it by SDO upload.
#include <cstring>
#include <string>

#include "D_zuntal.h"
#include "canopen_ids.h"

namespace {

// One NMT frame: identifier 0, length 2, command specifier, node id.
int send_nmt(D_can* can, uint8_t command, int node) {
  CMSG frame;
  std::memset(&frame, 0, sizeof frame);
  frame.id = canopen::kCobNmt;
  frame.len = 2;
  frame.data[0] = command;
  frame.data[1] = static_cast<uint8_t>(node & 0xFF);
  int32_t count = 1;
  NTCAN_HANDLE h = can->handle();
  if (h < 0) return NTCAN_INVALID_HANDLE;
  return canSend(h, &frame, &count);
}

}  // namespace

// ---- NMT -------------------------------------------------------------------

int D_can::start_node() {
  return send_nmt(this, 1, canIdent_.i2_data);
}
int D_can::stop_node() {
  return send_nmt(this, 2, canIdent_.i2_data);
}
int D_can::reset_node() {
  return send_nmt(this, 0x81, canIdent_.i2_data);
}
int D_can::modinit() {
  return start_node();
}

// ---- Identity --------------------------------------------------------------

namespace {

// Reads one identity text object into `child`: the text up to its first
// unprintable character, or "error" when the upload failed.
int read_identity(D_can* can, int node, int index, D_string* child) {
  char buffer[64];
  std::memset(buffer, 0, sizeof buffer);
  int r = can->segSdoRead(static_cast<short>(node), index, 0, buffer);
  if (r != 0) {
    if (child) child->set_value(std::string("error"));
    return r;
  }
  can->check_ascii(buffer);
  if (child) child->set_value(std::string(buffer));
  return 0;
}

}  // namespace

int D_can::get_manufacture() {
  return read_identity(this, canIdent_.i2_data, 0x1008, manu_);
}

int D_can::get_hwversion() {
  return read_identity(this, canIdent_.i2_data, 0x1009, hwver_);
}

int D_can::get_swversion() {
  TAVROsleep(0, 100000);
  return read_identity(this, canIdent_.i2_data, 0x100A, swver_);
}

int D_can::check_ascii(char* aString) {
  if (aString == nullptr) return -1;
  const size_t n = strnlen(aString, 10000);
  for (size_t k = 0; k < n; ++k) {
    const unsigned char ch = static_cast<unsigned char>(aString[k]);
    if (ch < 0x20 || ch > 0x7E) {
      aString[k] = '\0';
      return -1;
    }
  }
  return 0;
}
