// zuntal_alive.cpp - the node state from heartbeat, boot-up and node-guarding
// frames, shown by the .ALIVE child and its .CONDITION text.
#include "D_zuntal.h"
#include "canopen_ids.h"

using canopen::kCobErrorControl;

// ---- .ALIVE ----------------------------------------------------------------

D_Alive::D_Alive(const std::string& name, int* value, D_can* can, EqFct* eq)
    : D_int_ptr(name, value, eq), can_(can), eq_fct_(eq) {}

D_Alive::~D_Alive() {}

void D_Alive::set_value(int s) {
  D_int_ptr::set_value(s);
  const char* text;
  switch (s & 0x0F) {
    case 2:
      text = "Error";
      break;
    case 4:
      text = "Stopped";
      break;
    case 5:
      text = "Operational";
      break;
    case 15:
      text = "Preoperational";
      break;
    default:
      text = "default Error";
      break;
  }
  if (can_ && can_->modul_condition_) can_->modul_condition_->set_value(text);
}

int D_Alive::can_read(int ident, CMSG* rxmsg, int* l) {
  if (l == nullptr || rxmsg == nullptr || *l <= 0) return 0;
  for (int k = 0; k < *l; ++k) {
    const CMSG& m = rxmsg[k];
    if (m.id != ident + kCobErrorControl || m.len != 1) continue;
    D_int_ptr::set_value(m.data[0]);
    return (m.data[0] & 0x7F) == 5 ? 100 : 0;
  }
  return 0;
}

int D_Alive::check_alive(int ident, CMSG* rxmsg, int* l) {
  if (can_read(ident, rxmsg, l) != 100) return 0;
  set_value(get_value());
  return 100;
}

bool D_Alive::isalive() {
  return (get_value() & 0x0F) == 5;
}
