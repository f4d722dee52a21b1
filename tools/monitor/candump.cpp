// candump.cpp - CAN frames in candump's notation and their CANopen meaning.
#include "candump.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "D_zuntal.h"
#include "canopen_ids.h"

namespace candump {

namespace {

const char kHex[] = "0123456789ABCDEF";

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string hex_bytes(const uint8_t* p, int n) {
  std::string s;
  for (int k = 0; k < n; ++k) {
    if (k) s += ' ';
    s += kHex[p[k] >> 4];
    s += kHex[p[k] & 0xF];
  }
  return s;
}

// The bytes as a quoted text when every one is printable ASCII.
std::string text_if_printable(const uint8_t* p, int n) {
  if (n <= 0) return "";
  for (int k = 0; k < n; ++k)
    if (p[k] < 0x20 || p[k] > 0x7E) return "";
  return " \"" + std::string(reinterpret_cast<const char*>(p), static_cast<size_t>(n)) + "\"";
}

std::string fmt(const char* f, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char* f, ...) {
  char buf[256];
  va_list ap;
  va_start(ap, f);
  std::vsnprintf(buf, sizeof buf, f, ap);
  va_end(ap);
  return buf;
}

uint16_t le16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}
uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// "1008:00" of the multiplexer in bytes 1 to 3 of an SDO frame.
std::string object_of(const uint8_t* d) {
  return fmt("%04X:%02X", le16(d + 1), d[3]);
}

std::string abort_of(const uint8_t* d) {
  uint32_t code = le32(d + 4);
  std::string s = "abort " + object_of(d) + fmt(" code 0x%08X", code);
  const char* t = sdo_abort_text(code);
  if (*t) s += std::string(" (") + t + ")";
  return s;
}

// An initiate download request or initiate upload response: the object and
// either the expedited data or the segmented transfer's size.
std::string initiate(const char* what, const uint8_t* d) {
  std::string s = std::string(what) + " " + object_of(d);
  if (d[0] & 0x02) {
    int n = (d[0] & 0x01) ? 4 - ((d[0] >> 2) & 3) : 4;
    s += fmt(" expedited %d byte%s ", n, n == 1 ? "" : "s") + hex_bytes(d + 4, n) +
         text_if_printable(d + 4, n);
  } else if (d[0] & 0x01) {
    s += fmt(" segmented, size %u", le32(d + 4));
  } else {
    s += " segmented";
  }
  return s;
}

// A download or upload segment; with_text adds the bytes as text when printable.
std::string segment(const char* what, const uint8_t* d, bool with_text) {
  int n = 7 - ((d[0] >> 1) & 7);
  return fmt("%s segment toggle %d, %d byte%s ", what, (d[0] >> 4) & 1, n, n == 1 ? "" : "s") +
         hex_bytes(d + 1, n) + (with_text ? text_if_printable(d + 1, n) : "") +
         ((d[0] & 1) ? ", last" : "");
}

std::string sdo_request(const uint8_t* d) {
  const int ccs = d[0] >> 5;
  switch (ccs) {
    case 1:  // initiate download
      return initiate("download", d);
    case 0:  // download segment
      return segment("download", d, false);
    case 2:
      return "upload " + object_of(d);
    case 3:
      return fmt("upload segment toggle %d", (d[0] >> 4) & 1);
    case 4:
      return abort_of(d);
    case 5:
      return "block upload";
    case 6:
      return "block download";
    default:
      return fmt("command 0x%02X", d[0]);
  }
}

std::string sdo_answer(const uint8_t* d) {
  const int scs = d[0] >> 5;
  switch (scs) {
    case 2:  // initiate upload response
      return initiate("upload", d);
    case 0:  // upload segment
      return segment("upload", d, true);
    case 3:
      return "download " + object_of(d) + " done";
    case 1:
      return fmt("download segment toggle %d done", (d[0] >> 4) & 1);
    case 4:
      return abort_of(d);
    case 5:
      return "block download";
    case 6:
      return "block upload";
    default:
      return fmt("command 0x%02X", d[0]);
  }
}

const char* nmt_command_name(uint8_t cs) {
  switch (cs) {
    case 0x01:
      return "start";
    case 0x02:
      return "stop";
    case 0x80:
      return "enter pre-operational";
    case 0x81:
      return "reset";
    case 0x82:
      return "reset communication";
    default:
      return nullptr;
  }
}

std::string node_text(uint8_t node) {
  return node == 0 ? std::string("all nodes") : fmt("node %u", node);
}

}  // namespace

std::string format_frame(const CMSG& f) {
  std::string s = (f.id & kExtendedId) ? fmt("%08X#", static_cast<unsigned>(f.id & kExtendedMask))
                                       : fmt("%03X#", static_cast<unsigned>(f.id) & 0x7FF);
  if (f.len & NTCAN_RTR) {
    s += 'R';
    int n = f.len & NTCAN_DLC;
    if (n > 0 && n <= 8) s += kHex[n];
    return s;
  }
  int n = f.len & NTCAN_DLC;
  if (n > 8) n = 8;
  for (int k = 0; k < n; ++k) {
    s += kHex[f.data[k] >> 4];
    s += kHex[f.data[k] & 0xF];
  }
  return s;
}

bool parse_frame(const std::string& text, CMSG* out) {
  size_t hash = text.find('#');
  // candump writes 3 digits for an 11-bit identifier and 8 for a 29-bit one.
  if (hash == std::string::npos || hash == 0 || (hash > 3 && hash != 8)) return false;
  uint32_t id = 0;
  for (size_t k = 0; k < hash; ++k) {
    int v = hex_digit(text[k]);
    if (v < 0) return false;
    id = id * 16 + static_cast<uint32_t>(v);
  }
  if (hash == 8 ? id > static_cast<uint32_t>(kExtendedMask) : id > 0x7FF) return false;
  CMSG f;
  std::memset(&f, 0, sizeof f);
  f.id = static_cast<int32_t>(hash == 8 ? (id | kExtendedId) : id);
  std::string rest = text.substr(hash + 1);
  if (!rest.empty() && (rest[0] == 'R' || rest[0] == 'r')) {
    int n = 0;
    if (rest.size() == 2) {
      n = hex_digit(rest[1]);
      if (n < 0 || n > 8) return false;
    } else if (rest.size() > 2) {
      return false;
    }
    f.len = static_cast<uint8_t>(NTCAN_RTR | n);
    *out = f;
    return true;
  }
  if (rest.size() % 2 != 0 || rest.size() > 16) return false;
  for (size_t k = 0; k < rest.size(); k += 2) {
    int hi = hex_digit(rest[k]), lo = hex_digit(rest[k + 1]);
    if (hi < 0 || lo < 0) return false;
    f.data[k / 2] = static_cast<uint8_t>(hi << 4 | lo);
  }
  f.len = static_cast<uint8_t>(rest.size() / 2);
  *out = f;
  return true;
}

const char* sdo_abort_text(uint32_t code) {
  // The library's texts; an unknown code is shown by its number alone.
  const char* t = ::sdo_abort_text(code);
  return std::strcmp(t, "unknown") == 0 ? "" : t;
}

const char* nmt_state_name(uint8_t state) {
  switch (state & 0x7F) {
    case 0x00:
      return "boot-up";
    case 0x04:
      return "stopped";
    case 0x05:
      return "operational";
    case 0x7F:
      return "pre-operational";
    default:
      return "";
  }
}

std::string emergency_class(uint16_t code) {
  // The library's texts: the code itself where known, else its class.
  const std::string t = ::emcy_text(code);
  return t == "unknown" ? "" : t;
}

std::string decode_canopen(const CMSG& f) {
  if (f.id & kExtendedId) return "";  // CANopen uses 11-bit identifiers
  const int id = f.id & 0x7FF;
  const bool rtr = (f.len & NTCAN_RTR) != 0;
  int n = f.len & NTCAN_DLC;
  if (n > 8) n = 8;
  const uint8_t* d = f.data;
  const int fn = id & 0x780;  // function code
  const uint8_t node = static_cast<uint8_t>(id & 0x7F);

  if (id == canopen::kCobNmt) {
    if (rtr || n != 2) return fmt("NMT: bad frame (%d bytes)", n);
    const char* c = nmt_command_name(d[0]);
    if (!c) return fmt("NMT command 0x%02X ", d[0]) + node_text(d[1]);
    return std::string("NMT ") + c + " " + node_text(d[1]);
  }
  if (id == canopen::kCobSync)
    return n >= 1 && !rtr ? fmt("SYNC counter %u", d[0]) : std::string("SYNC");
  if (id == 0x100) return "TIME";
  if (id == 0x7E4) return "LSS answer";
  if (id == 0x7E5) return "LSS request";
  if (node == 0) return "";

  const std::string nd = fmt("node %u", node);
  switch (fn) {
    case canopen::kCobEmergency: {
      if (rtr) return "emergency " + nd + ": remote request";
      if (n < 3) return fmt("emergency %s: short frame (%d bytes)", nd.c_str(), n);
      uint16_t code = le16(d);
      std::string s = fmt("emergency %s: code 0x%04X", nd.c_str(), code);
      std::string cls = emergency_class(code);
      if (!cls.empty()) s += " (" + cls + ")";
      s += fmt(" register 0x%02X", d[2]);
      if (n > 3) s += " data " + hex_bytes(d + 3, n - 3);
      return s;
    }
    case canopen::kCobTpdo1:
    case canopen::kCobTpdo2:
    case canopen::kCobTpdo3:
    case canopen::kCobTpdo4:
      return fmt("TPDO%d %s%s", (fn - canopen::kCobTpdo1) / 0x100 + 1, nd.c_str(),
                 rtr ? " remote request" : "");
    case canopen::kCobRpdo1:
    case canopen::kCobRpdo2:
    case canopen::kCobRpdo3:
    case canopen::kCobRpdo4:
      return fmt("RPDO%d %s%s", (fn - canopen::kCobRpdo1) / 0x100 + 1, nd.c_str(),
                 rtr ? " remote request" : "");
    case canopen::kCobSdoAnswer:
      if (rtr || n != 8) return fmt("SDO answer %s: short frame (%d bytes)", nd.c_str(), n);
      return "SDO answer " + nd + ": " + sdo_answer(d);
    case canopen::kCobSdoRequest:
      if (rtr || n != 8) return fmt("SDO request %s: short frame (%d bytes)", nd.c_str(), n);
      return "SDO request " + nd + ": " + sdo_request(d);
    case canopen::kCobErrorControl: {
      if (rtr) return "guard request " + nd;
      if (n != 1) return fmt("heartbeat %s: bad length %d", nd.c_str(), n);
      const char* st = nmt_state_name(d[0]);
      std::string name = *st ? st : fmt("state 0x%02X", d[0] & 0x7F);
      if ((d[0] & 0x7F) == 0) return "boot-up " + nd;
      if (d[0] & 0x80) return "guard answer " + nd + ": " + name + ", toggle 1";
      return "heartbeat " + nd + ": " + name;
    }
    default:
      return "";
  }
}

int PdoNames::add(int node, const std::string& eds_path, std::string* error) {
  std::vector<pdo_map> maps;
  if (pdo_maps_from_eds(eds_path, node, &maps, error) != 0) return -1;
  for (const pdo_map& m : maps)
    if (m.enabled()) by_id_[m.id()] = {node, m};
  return 0;
}

std::string PdoNames::decode(const CMSG& f) const {
  if ((f.id & kExtendedId) || (f.len & NTCAN_RTR)) return "";
  auto it = by_id_.find(f.id & 0x7FF);
  if (it == by_id_.end()) return "";
  const pdo_map& m = it->second.second;
  std::string s = fmt("%s%d node %d:", m.transmit ? "TPDO" : "RPDO", m.number, it->second.first);
  std::vector<pdo_value> v(m.entries.size());
  if (!D_canpdo::decode(m, f.data, f.len & NTCAN_DLC, v.data()))
    return s + fmt(" short frame (%d bytes for %d bits)", f.len & NTCAN_DLC, m.bits());
  for (size_t i = 0; i < v.size(); ++i) s += " " + m.entries[i].name + "=" + v[i].text();
  return s;
}

std::string monitor_line(const CMSG& frame, bool decode, int64_t timestamp_us,
                         const PdoNames* pdo) {
  std::string s;
  if (timestamp_us >= 0)
    s = fmt("(%lld.%06lld) ", static_cast<long long>(timestamp_us / 1000000),
            static_cast<long long>(timestamp_us % 1000000));
  std::string f = format_frame(frame);
  s += f;
  if (decode) {
    std::string m = pdo ? pdo->decode(frame) : "";
    if (m.empty()) m = decode_canopen(frame);
    if (!m.empty()) {
      if (f.size() < 20) s.append(20 - f.size(), ' ');
      s += "  " + m;
    }
  }
  return s;
}

std::string log_line(const CMSG& frame, const std::string& iface, int64_t timestamp_us) {
  if (timestamp_us < 0) timestamp_us = 0;
  return fmt("(%lld.%06lld) ", static_cast<long long>(timestamp_us / 1000000),
             static_cast<long long>(timestamp_us % 1000000)) +
         iface + " " + format_frame(frame);
}

}  // namespace candump
