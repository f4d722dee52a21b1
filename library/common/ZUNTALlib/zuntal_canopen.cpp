// zuntal_canopen.cpp - CANopen services of the node property: NMT commands,
// SDO uploads, identity reads, emergencies and the .ALIVE child.
//
// The NMT commands are complete; the other services are provisional and
// come with the CANopen services.
#include <cstring>

#include "D_zuntal.h"

namespace {

// One NMT frame: identifier 0, length 2, command specifier, node id.
int send_nmt(D_can* can, uint8_t command, int node) {
  CMSG frame;
  std::memset(&frame, 0, sizeof frame);
  frame.id = 0;
  frame.len = 2;
  frame.data[0] = command;
  frame.data[1] = static_cast<uint8_t>(node & 0xFF);
  int32_t count = 1;
  NTCAN_HANDLE h = can->handle();
  if (h < 0) return NTCAN_INVALID_HANDLE;
  return canSend(h, &frame, &count);
}

}  // namespace

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

int D_can::can_SDO(u_short, u_char) {
  return -1;
}
int D_can::get_manufacture() {
  return -1;
}
int D_can::get_hwversion() {
  return -1;
}
int D_can::get_swversion() {
  return -1;
}
int D_can::check_ascii(char* aString) {
  return aString ? 0 : -1;
}
int D_can::init_emergency() {
  return 0;
}
int D_can::can_emergency(int, CMSG*, int*) {
  return 0;
}

int D_can::segSdoRead(short, int, int, char*) {
  return -1;
}
int D_can::initiateUpload(short, int, int) {
  return -1;
}
int D_can::initUploadResponse(short, char*, int*) {
  return -1;
}
int D_can::requestUploadSegment(short) {
  return -1;
}
int D_can::receiveUploadSegment(short, char*, int*) {
  return -1;
}
int D_can::isAbort(CMSG*, int*) {
  return 0;
}

D_Alive::D_Alive(const std::string& name, int* value, D_can* can, EqFct* eq)
    : D_int_ptr(name, value, eq), can_(can), eq_fct_(eq) {}

D_Alive::~D_Alive() {}

void D_Alive::set_value(int s) {
  D_int_ptr::set_value(s);
}

int D_Alive::can_read(int, CMSG*, int*) {
  return 0;
}
int D_Alive::check_alive(int, CMSG*, int*) {
  return 0;
}
bool D_Alive::isalive() {
  return (get_value() & 0x0F) == 5;
}
