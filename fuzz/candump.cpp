// fuzz_candump: the bus monitor's candump notation, both ways, and its
// CANopen decoding.
//
// Text that parses is a frame the bus can carry, and writes back to text
// that parses to the same frame. Every frame the bus can carry writes to
// text that parses back to it. Whatever the frame (a gateway may hand on
// anything), the monitor's line is one line of printable ASCII: no frame can
// put control characters or escape sequences on the user's terminal.
#include "candump.h"

#include <cstring>
#include <string>

#include "fuzz_common.h"

namespace {

// An 11-bit frame, or a 29-bit one marked as the monitor marks those it
// reads from a SocketCAN interface.
bool carried_by_bus(const CMSG& f) {
  const bool id_ok =
      (f.id >= 0 && f.id <= 0x7FF) || ((f.id & ~candump::kExtendedMask) == candump::kExtendedId);
  return id_ok && (f.len & ~(NTCAN_RTR | NTCAN_DLC)) == 0 && (f.len & NTCAN_DLC) <= 8;
}

bool same_frame(const CMSG& a, const CMSG& b) {
  if (a.id != b.id || a.len != b.len) return false;
  if (a.len & NTCAN_RTR) return true;
  return std::memcmp(a.data, b.data, a.len & NTCAN_DLC) == 0;
}

bool printable_line(const std::string& s) {
  for (char c : s)
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) return false;
  return true;
}

void check_frame(const CMSG& f, int64_t timestamp) {
  const std::string text = candump::format_frame(f);
  FUZZ_CHECK(printable_line(text));
  if (carried_by_bus(f)) {
    CMSG back;
    std::memset(&back, 0xEE, sizeof back);
    FUZZ_CHECK(candump::parse_frame(text, &back));
    FUZZ_CHECK(same_frame(f, back));
  }
  FUZZ_CHECK(printable_line(candump::decode_canopen(f)));
  FUZZ_CHECK(printable_line(candump::monitor_line(f, true, timestamp)));
  FUZZ_CHECK(printable_line(candump::monitor_line(f, false)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // As text.
  const std::string text(reinterpret_cast<const char*>(data), size);
  CMSG f;
  std::memset(&f, 0, sizeof f);
  if (candump::parse_frame(text, &f)) {
    FUZZ_CHECK(carried_by_bus(f));
    const std::string written = candump::format_frame(f);
    CMSG again;
    std::memset(&again, 0, sizeof again);
    FUZZ_CHECK(candump::parse_frame(written, &again));
    FUZZ_CHECK(same_frame(f, again));
    FUZZ_CHECK(candump::format_frame(again) == written);
  }
  // As frames: 16 bytes each, in the driver's layout (identifier, length,
  // lost count, two reserved bytes, eight data bytes), then a time stamp.
  for (size_t at = 0; at + 16 <= size; at += 16) {
    CMSG m;
    std::memcpy(&m.id, data + at, 4);
    m.len = data[at + 4];
    m.msg_lost = data[at + 5];
    m.reserved[0] = data[at + 6];
    m.reserved[1] = data[at + 7];
    std::memcpy(m.data, data + at + 8, 8);
    int64_t ts = -1;
    if (at + 24 <= size) std::memcpy(&ts, data + at + 16, 8);
    check_frame(m, ts);
    // The same frame within what the bus carries.
    m.id &= 0x7FF;
    m.len &= NTCAN_RTR | NTCAN_DLC;
    if ((m.len & NTCAN_DLC) > 8) m.len = static_cast<uint8_t>((m.len & NTCAN_RTR) | 8);
    check_frame(m, ts < 0 ? ~ts : ts);
  }
  return 0;
}
