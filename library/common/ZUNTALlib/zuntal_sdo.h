// zuntal_sdo.h - library-private: the typed result of an SDO transfer and the
// SDO client's access to the node property. The public forms of D_can turn
// a result into the int codes servers know (SdoResult::code()).
#ifndef ZUNTAL_SDO_H
#define ZUNTAL_SDO_H

#include <cstdint>
#include <cstring>
#include <functional>

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
  bool fell_back = false;   // a block transfer was done again segmented

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
        return 0;
      case SdoStatus::Done:
        return fell_back ? SDO_SEGMENTED_FALLBACK : 0;
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
  // Block transfers (zuntal_sdo_block.cpp), without the segmented fallback.
  static SdoResult block_upload(D_can& can, short node, int idx, int subIdx, char* buffer,
                                int capacity);
  static SdoResult block_download(D_can& can, short node, int idx, int subIdx, const char* data,
                                  int length);
  // Starts a transfer of idx/subIdx: the abort codes of the last one cleared.
  static void begin(D_can& can, int idx, int subIdx);
  // Ends a transfer whose wait did not bring the awaited frame: the node's
  // abort is kept, a time-out ends the node's side with an abort request.
  static SdoResult wait_failed(D_can& can, short node, SdoResult r);
  // A finished block transfer as the public forms answer it: after a refusal
  // or a protocol error, the segmented transfer `segmented` once more
  // (zuntal_sdo_block.cpp).
  static SdoResult after_block(D_can& can, const char* label, const char* direction,
                               const SdoResult& block, int idx, int subIdx,
                               const std::function<SdoResult()>& segmented);
};

// "--Error: object ... does not fit into N bytes" under `label`.
void print_no_room(const char* label, int idx, int subIdx, int capacity);

// Abort codes of CANopen the client sends.
constexpr uint32_t kAbortTimedOut = 0x05040000;   // SDO protocol timed out
constexpr uint32_t kAbortCommand = 0x05040001;    // command specifier not valid or unknown
constexpr uint32_t kAbortBlockSize = 0x05040002;  // invalid block size
constexpr uint32_t kAbortSequence = 0x05040003;   // invalid sequence number
constexpr uint32_t kAbortCrc = 0x05040004;        // CRC error
constexpr uint32_t kAbortNoRoom = 0x05040005;     // out of memory: the buffer is full
constexpr uint32_t kAbortLength = 0x06070010;     // length of service parameter does not match

// The 8 bytes of an SDO request: command byte, index low and high byte,
// subindex, four zero bytes.
inline void sdo_request(unsigned char* data, uint8_t command, int index, int subindex) {
  std::memset(data, 0, 8);
  data[0] = command;
  data[1] = static_cast<uint8_t>(index & 0xFF);
  data[2] = static_cast<uint8_t>((index >> 8) & 0xFF);
  data[3] = static_cast<uint8_t>(subindex & 0xFF);
}

}  // namespace zuntal_detail

#endif  // ZUNTAL_SDO_H
