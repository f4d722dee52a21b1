// zuntal_emcy.cpp - emergency messages of the node: enabling their
// identifier and reporting the first one of a fill.
#include <algorithm>
#include <cstdio>

#include "D_zuntal.h"
#include "canopen_ids.h"

using canopen::kCobEmergency;

// ---- Emergency -------------------------------------------------------------

int D_can::init_emergency() {
  if (canIdent_.i2_data > 0) return init(kCobEmergency + canIdent_.i2_data);
  return 0;
}

int D_can::can_emergency(int ident, CMSG* rxmsg, int* l) {
  if (l == nullptr || rxmsg == nullptr || *l <= 0) return 0;
  for (int k = 0; k < *l; ++k) {
    const CMSG& m = rxmsg[k];
    // A remote request on the emergency identifier carries no emergency.
    if (m.id != ident + kCobEmergency || (m.len & NTCAN_RTR)) continue;
    // At most the frame's 8 data bytes, whatever its length field says.
    const int n = std::min<int>(m.len, 8);
    char text[8 * 5 + 1];
    text[0] = '\0';
    int used = 0;
    for (int b = 0; b < n; ++b)
      used += std::snprintf(text + used, sizeof text - static_cast<size_t>(used), "0x%X ",
                            static_cast<unsigned>(m.data[b]));
    tavro::printtostderr("D_can::can_emergency", text, 0x80000000u);
    return 100;
  }
  return 0;
}
