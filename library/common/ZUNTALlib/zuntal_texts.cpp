// zuntal_texts.cpp - texts of the SDO abort codes and of the emergency error
// codes, for servers and tools that show them to people.
#include <cstdint>

#include "D_zuntal.h"

namespace {

struct Text32 {
  uint32_t code;
  const char* text;
};

struct Text16 {
  uint16_t code;
  const char* text;
};

constexpr Text32 kAbortTexts[] = {
    {0x05030000, "toggle bit not alternated"},
    {0x05040000, "SDO protocol timed out"},
    {0x05040001, "client/server command specifier not valid or unknown"},
    {0x05040002, "invalid block size"},
    {0x05040003, "invalid sequence number"},
    {0x05040004, "CRC error"},
    {0x05040005, "out of memory"},
    {0x06010000, "unsupported access to an object"},
    {0x06010001, "attempt to read a write only object"},
    {0x06010002, "attempt to write a read only object"},
    {0x06020000, "object does not exist in the object dictionary"},
    {0x06040041, "object cannot be mapped to the PDO"},
    {0x06040042, "the number and length of the objects to be mapped would exceed PDO length"},
    {0x06040043, "general parameter incompatibility reason"},
    {0x06040047, "general internal incompatibility in the device"},
    {0x06060000, "access failed due to a hardware error"},
    {0x06070010, "data type does not match, length of service parameter does not match"},
    {0x06070012, "data type does not match, length of service parameter too high"},
    {0x06070013, "data type does not match, length of service parameter too low"},
    {0x06090011, "sub-index does not exist"},
    {0x06090030, "invalid value for parameter"},
    {0x06090031, "value of parameter written too high"},
    {0x06090032, "value of parameter written too low"},
    {0x06090036, "maximum value is less than minimum value"},
    {0x060A0023, "resource not available: SDO connection"},
    {0x08000000, "general error"},
    {0x08000020, "data cannot be transferred or stored to the application"},
    {0x08000021,
     "data cannot be transferred or stored to the application because of local control"},
    {0x08000022,
     "data cannot be transferred or stored to the application because of the present device "
     "state"},
    {0x08000023, "object dictionary dynamic generation fails or no object dictionary is present"},
    {0x08000024, "no data available"},
};

// Exact emergency error codes of the communication. The finer codes of the
// device profiles (a drive's 0x3210 "DC link over-voltage") are not named:
// a device of another profile means something else by the same number, and
// the code alone does not tell the profile; they are shown by their class.
constexpr Text16 kEmcyCodes[] = {
    {0x0000, "error reset or no error"},
    {0x8110, "CAN overrun, objects lost"},
    {0x8120, "CAN in error passive mode"},
    {0x8130, "life guard error or heartbeat error"},
    {0x8140, "recovered from bus off"},
    {0x8150, "CAN-ID collision"},
    {0x8210, "PDO not processed due to length error"},
    {0x8220, "PDO length exceeded"},
    {0x8230, "DAM MPDO not processed, destination object not available"},
    {0x8240, "unexpected SYNC data length"},
    {0x8250, "RPDO timeout"},
};

// Classes by the high byte, then by the high nibble (xx00 / x000).
constexpr Text16 kEmcyClasses[] = {
    {0x1000, "generic error"},
    {0x2000, "current"},
    {0x2100, "current, device input side"},
    {0x2200, "current inside the device"},
    {0x2300, "current, device output side"},
    {0x3000, "voltage"},
    {0x3100, "mains voltage"},
    {0x3200, "voltage inside the device"},
    {0x3300, "output voltage"},
    {0x4000, "temperature"},
    {0x4100, "ambient temperature"},
    {0x4200, "device temperature"},
    {0x5000, "device hardware"},
    {0x6000, "device software"},
    {0x6100, "internal software"},
    {0x6200, "user software"},
    {0x6300, "data set"},
    {0x7000, "additional modules"},
    {0x8000, "monitoring"},
    {0x8100, "communication"},
    {0x8200, "protocol error"},
    {0x9000, "external error"},
    {0xF000, "additional functions"},
    {0xFF00, "device specific"},
};

template <typename T, size_t N, typename C>
const char* find(const T (&table)[N], C code) {
  for (const T& t : table)
    if (t.code == code) return t.text;
  return nullptr;
}

}  // namespace

const char* sdo_abort_text(uint32_t code) {
  const char* t = find(kAbortTexts, code);
  return t ? t : "unknown";
}

const char* emcy_text(uint16_t code) {
  if (const char* t = find(kEmcyCodes, code)) return t;
  // 0x0001 to 0x0FFF belong to no class.
  if (code < 0x1000) return "unknown";
  // The device-specific class spans its whole high byte.
  if ((code & 0xFF00) == 0xFF00) return "device specific";
  if (const char* t = find(kEmcyClasses, static_cast<uint16_t>(code & 0xFF00))) return t;
  if (const char* t = find(kEmcyClasses, static_cast<uint16_t>(code & 0xF000))) return t;
  return "unknown";
}
