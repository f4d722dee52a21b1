// zuntal_sdo.h - library-private: the typed result of an SDO transfer and the
// SDO client's access to the node property. The public forms of D_can turn
// a result into the int codes servers know (SdoResult::code()).
#ifndef ZUNTAL_SDO_H
#define ZUNTAL_SDO_H

#include <cstdint>

#include "D_zuntal.h"

namespace zuntal_detail {

enum class SdoStatus {
  Pending,   // a step succeeded and the transfer goes on
  Done,      // the transfer is complete
  TooLong,   // the object did not fit into the caller's buffer
  Aborted,   // the node aborted the transfer (abort_code)
  TimedOut,  // no answer within the node's SDO time-out
  Protocol,  // an answer that breaks the protocol (toggle bit, sequence, size)
  Driver,    // a driver call failed (driver_status)
  Argument,  // refused without a frame: bad buffer or length
};

struct SdoResult {
  SdoStatus status = SdoStatus::Done;
  uint32_t abort_code = 0;  // the node's abort code with Aborted
  int driver_status = 0;    // the failing call's status with Driver
  int length = 0;           // data bytes moved, also when cut short

  static SdoResult of(SdoStatus s) {
    SdoResult r;
    r.status = s;
    return r;
  }
  static SdoResult driver(int status) {
    SdoResult r = of(SdoStatus::Driver);
    r.driver_status = status;
    return r;
  }
  bool failed() const { return status != SdoStatus::Pending && status != SdoStatus::Done; }
  // The int of the public forms: 0 when pending or done, SDO_OBJECT_TOO_LONG
  // for a cut object, the driver status, otherwise -1.
  int code() const {
    switch (status) {
      case SdoStatus::Pending:
      case SdoStatus::Done:
        return 0;
      case SdoStatus::TooLong:
        return SDO_OBJECT_TOO_LONG;
      case SdoStatus::Driver:
        return driver_status;
      default:
        return -1;
    }
  }
};

// The SDO client of a node property (zuntal_sdo.cpp); a friend of D_can.
struct SdoClient {
  static SdoResult upload(D_can& can, short node, int idx, int subIdx, char* buffer, int capacity);
  static SdoResult initiate_answer(D_can& can, short node, char* buffer, int* offset, int capacity);
  static SdoResult segment_answer(D_can& can, short node, char* buffer, int* offset, int capacity);
  static SdoResult download(D_can& can, short node, int idx, int subIdx, const char* data,
                            int length);
  static SdoResult download_answer(D_can& can, short node, int toggle);
  static void send_abort(D_can& can, short node, uint32_t code);
};

}  // namespace zuntal_detail

#endif  // ZUNTAL_SDO_H
