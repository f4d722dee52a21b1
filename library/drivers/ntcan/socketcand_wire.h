// socketcand_wire.h - the socketcand ASCII protocol as far as this project
// speaks it: the driver's socketcand medium (client) and the gateway's
// socketcand service (server). Header-only, shared by both sides.
//
// Everything is an element "< word word ... >" on a TCP stream:
//   server -> client   < hi >                          greeting
//   client -> server   < open BUS >                    -> < ok > or < error ... >
//   client -> server   < rawmode >                     -> < ok >
//   client -> server   < send ID DLC B1 .. Bn >        a data frame, bytes 1-2 hex digits
//   client -> server   < sendrtr ID DLC >              a remote request
//   server -> client   < frame ID SEC.USEC DATA >      DATA: the bytes as one hex word
//   server -> client   < rtr ID SEC.USEC DLC >         a remote request
//   both ways          < echo >                        answered with < echo >
//   server -> client   < error TEXT >                  a command that was refused
// Identifiers are hex: up to 3 digits for 11-bit identifiers, 8 digits for
// 29-bit ones (which this project's nets do not carry).
#ifndef NTCAN_SOCKETCAND_WIRE_H
#define NTCAN_SOCKETCAND_WIRE_H

#include <charconv>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "ntcan.h"

namespace sc_wire {

// socketcand's own TCP port.
constexpr int kDefaultPort = 29536;
// Longest bus name an open may carry.
constexpr size_t kMaxBusName = 16;
// Longest element content between '<' and '>' either side accepts; a frame
// element with 8 data bytes and a 10-digit second count takes about 50.
constexpr size_t kMaxElement = 200;
constexpr int kMaxWords = 12;

// The words of one element.
struct Words {
  std::string_view w[kMaxWords];
  int n = 0;
};

// Splits an element's content at blanks; false for more than kMaxWords words.
inline bool split(std::string_view s, Words* out) {
  out->n = 0;
  size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\r' || s[i] == '\n')) ++i;
    if (i == s.size()) break;
    size_t j = i;
    while (j < s.size() && s[j] != ' ' && s[j] != '\t' && s[j] != '\r' && s[j] != '\n') ++j;
    if (out->n == kMaxWords) return false;
    out->w[out->n++] = s.substr(i, j - i);
    i = j;
  }
  return true;
}

// Cuts a byte stream into elements. Blanks between elements are skipped;
// anything else outside an element, a '<' inside one, or an element longer
// than kMaxElement makes feed() answer false (the stream cannot be trusted
// any more). The buffer never holds more than one element.
class Splitter {
 public:
  template <typename Fn>
  bool feed(const char* p, size_t n, Fn&& on_element) {
    for (size_t i = 0; i < n; ++i) {
      const char c = p[i];
      if (!inside_) {
        if (c == '<') {
          inside_ = true;
          cur_.clear();
        } else if (c != ' ' && c != '\t' && c != '\r' && c != '\n') {
          return false;
        }
        continue;
      }
      if (c == '>') {
        inside_ = false;
        if (!on_element(std::string_view(cur_))) return false;
        continue;
      }
      if (c == '<' || cur_.size() == kMaxElement) return false;
      cur_.push_back(c);
    }
    return true;
  }
  // Bytes of an element begun and not ended yet.
  size_t pending() const { return inside_ ? cur_.size() + 1 : 0; }

 private:
  bool inside_ = false;
  std::string cur_;
};

inline int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A word of 1 to max_digits hex digits.
inline bool parse_hex(std::string_view s, size_t max_digits, uint32_t* v) {
  if (s.empty() || s.size() > max_digits) return false;
  uint32_t r = 0;
  for (char c : s) {
    const int d = hex_digit(c);
    if (d < 0) return false;
    r = (r << 4) | static_cast<uint32_t>(d);
  }
  *v = r;
  return true;
}

// A decimal word within [0, max].
inline bool parse_dec(std::string_view s, uint32_t max, uint32_t* v) {
  if (s.empty() || s.size() > 10) return false;
  uint64_t r = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    r = r * 10 + static_cast<uint64_t>(c - '0');
  }
  if (r > max) return false;
  *v = static_cast<uint32_t>(r);
  return true;
}

// An identifier word; *extended for a 29-bit one (8 digits, or a value
// beyond 11 bits).
inline bool parse_id(std::string_view s, int32_t* id, bool* extended) {
  uint32_t v = 0;
  if (!parse_hex(s, 8, &v) || v > 0x1FFFFFFFu) return false;
  *extended = s.size() == 8 || v > 0x7FFu;
  *id = static_cast<int32_t>(v);
  return true;
}

// Data bytes from words from..n-1: a word of 1 or 2 digits is one byte, a
// longer word of an even count of digits is several. False for anything
// else or more than 8 bytes.
inline bool parse_bytes(const Words& w, int from, uint8_t* data, int* count) {
  int k = 0;
  for (int i = from; i < w.n; ++i) {
    std::string_view s = w.w[i];
    if (s.size() > 2 && s.size() % 2 != 0) return false;
    for (size_t at = 0; at < s.size(); at += 2) {
      uint32_t b = 0;
      if (k == 8 || !parse_hex(s.substr(at, s.size() <= 2 ? s.size() : 2), 2, &b)) return false;
      data[k++] = static_cast<uint8_t>(b);
    }
  }
  *count = k;
  return true;
}

// "< frame ID SEC.USEC DATA >" or "< rtr ID SEC.USEC DLC >" into *f (11-bit
// identifiers only: *extended tells of a frame to skip). False when the
// element is neither or is malformed.
inline bool parse_frame(const Words& w, CMSG* f, bool* extended) {
  if (w.n < 3 || (w.w[0] != "frame" && w.w[0] != "rtr")) return false;
  std::memset(f, 0, sizeof *f);
  if (!parse_id(w.w[1], &f->id, extended)) return false;
  if (w.w[0] == "rtr") {
    uint32_t dlc = 0;
    if (w.n != 4 || !parse_dec(w.w[3], 8, &dlc)) return false;
    f->len = static_cast<uint8_t>(dlc | NTCAN_RTR);
    return true;
  }
  int n = 0;
  if (!parse_bytes(w, 3, f->data, &n)) return false;
  f->len = static_cast<uint8_t>(n);
  return true;
}

// "< send ID DLC B1 .. Bn >" or "< sendrtr ID DLC >" into *f; the reason
// when it is not a frame this project's nets carry.
inline const char* parse_send(const Words& w, CMSG* f) {
  const bool rtr = w.w[0] == "sendrtr";
  std::memset(f, 0, sizeof *f);
  bool extended = false;
  uint32_t dlc = 0;
  if (w.n < 3 || !parse_id(w.w[1], &f->id, &extended)) return "bad identifier";
  if (extended) return "29-bit identifiers are not carried";
  if (!parse_dec(w.w[2], 8, &dlc)) return "bad length";
  if (rtr) {
    if (w.n != 3) return "sendrtr takes no data";
    f->len = static_cast<uint8_t>(dlc | NTCAN_RTR);
    return nullptr;
  }
  if (w.n - 3 != static_cast<int>(dlc)) return "length and data bytes differ";
  for (int i = 0; i < static_cast<int>(dlc); ++i) {
    uint32_t b = 0;
    if (!parse_hex(w.w[3 + i], 2, &b)) return "bad data byte";
    f->data[i] = static_cast<uint8_t>(b);
  }
  f->len = static_cast<uint8_t>(dlc);
  return nullptr;
}

// Writes v as `digits` upper-case hex digits; the end.
inline char* put_hex(char* p, uint32_t v, int digits) {
  static const char kHex[] = "0123456789ABCDEF";
  for (int i = digits - 1; i >= 0; --i) p[i] = kHex[(v >> (4 * (digits - 1 - i))) & 0xF];
  return p + digits;
}

inline char* put_text(char* p, const char* text) {
  while (*text) *p++ = *text++;
  return p;
}

// Appends the element that sends frame f: "< send ID DLC B1 .. Bn >" or
// "< sendrtr ID DLC >".
inline void put_send(std::string* out, const CMSG& f) {
  char buf[64];
  const int dlc = f.len & NTCAN_DLC;
  const bool rtr = (f.len & NTCAN_RTR) != 0;
  char* p = put_text(buf, rtr ? "< sendrtr " : "< send ");
  p = put_hex(p, static_cast<uint32_t>(f.id) & 0x7FF, 3);
  *p++ = ' ';
  *p++ = static_cast<char>('0' + (dlc > 8 ? 8 : dlc));
  for (int i = 0; !rtr && i < dlc && i < 8; ++i) {
    *p++ = ' ';
    p = put_hex(p, f.data[i], 2);
  }
  p = put_text(p, " >");
  out->append(buf, static_cast<size_t>(p - buf));
}

// Appends the element that delivers frame f, received at sec.usec:
// "< frame ID SEC.USEC DATA >" or "< rtr ID SEC.USEC DLC >".
inline void put_frame(std::string* out, const CMSG& f, long long sec, long usec) {
  char buf[80];
  const int dlc = f.len & NTCAN_DLC;
  const bool rtr = (f.len & NTCAN_RTR) != 0;
  char* p = put_text(buf, rtr ? "< rtr " : "< frame ");
  p = put_hex(p, static_cast<uint32_t>(f.id) & 0x7FF, 3);
  *p++ = ' ';
  p = std::to_chars(p, buf + 40, sec < 0 ? 0 : sec).ptr;
  *p++ = '.';
  for (int i = 5; i >= 0; --i, usec /= 10) p[i] = static_cast<char>('0' + usec % 10);
  p += 6;
  *p++ = ' ';
  if (rtr) {
    *p++ = static_cast<char>('0' + (dlc > 8 ? 8 : dlc));
    *p++ = ' ';
  } else if (dlc > 0) {
    for (int i = 0; i < dlc && i < 8; ++i) p = put_hex(p, f.data[i], 2);
    *p++ = ' ';
  }
  *p++ = '>';
  out->append(buf, static_cast<size_t>(p - buf));
}

}  // namespace sc_wire

#endif  // NTCAN_SOCKETCAND_WIRE_H
