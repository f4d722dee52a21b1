// zuntal_supervision.cpp - the supervision thread of a CAN line and the
// gateway helpers of canline.
//
// Provisional: the thread only waits for its stop request; the status
// queries, reopening and gateway resets come with the line supervision.
#include "D_zuntal.h"

void* can_control(void* ip) {
  canline* line = static_cast<canline*>(ip);
  while (!line->ThreadStop_) TAVROsleep(1, 0);
  return ip;
}

int canline::getlineip(int, std::string&) {
  return -1;
}

void canline::reset_line() {}
