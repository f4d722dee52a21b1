// sim_eds.cpp - EDS reader on top of inih.
#include "sim_eds.h"

#include <fcntl.h>
#include <ini.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace zsim {

namespace {

using Int = __int128;  // wide enough for every INTEGERn/UNSIGNEDn plus a node id

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

bool is_hex(char c) {
  return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  return std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
}

std::string hex4(unsigned v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04X", v & 0xFFFF);
  return buf;
}

std::string section_label(uint16_t index, int sub) {
  std::string s = "[" + hex4(index);
  if (sub >= 0) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "sub%X", sub);
    s += buf;
  }
  return s + "]";
}

// A key as read, with its spelling in the file for messages.
struct RawValue {
  std::string key;
  std::string value;
};
using RawSection = std::map<std::string, RawValue>;  // by lower-case key

struct ParseState {
  std::map<std::string, RawSection> sections;  // by lower-case name
  std::map<std::string, std::string> spelled;  // lower-case name -> as written
  std::string handler_error;
};

int ini_handler(void* user, const char* section, const char* name, const char* value) {
  auto* st = static_cast<ParseState*>(user);
  std::string sec = lower(section);
  std::string key = lower(name);
  st->spelled.emplace(sec, section);
  RawSection& rs = st->sections[sec];
  if (rs.count(key)) {
    if (st->handler_error.empty())
      st->handler_error = std::string("key '") + name + "' repeated in [" + section + "]";
    return 0;  // makes ini_parse report this line
  }
  rs[key] = RawValue{name, value ? value : ""};
  return 1;
}

// "1018" -> index 0x1018, sub -1; "1018sub2" -> 0x1018, 2. Other names: false.
bool object_section(const std::string& lname, uint16_t* index, int* sub) {
  if (lname.size() < 4) return false;
  for (int i = 0; i < 4; ++i)
    if (!is_hex(lname[i])) return false;
  unsigned idx = 0;
  for (int i = 0; i < 4; ++i) idx = idx << 4 | static_cast<unsigned>(hex_value(lname[i]));
  if (lname.size() == 4) {
    *index = static_cast<uint16_t>(idx);
    *sub = -1;
    return true;
  }
  if (lname.compare(4, 3, "sub") != 0 || lname.size() < 8 || lname.size() > 9) return false;
  unsigned s = 0;
  for (size_t i = 7; i < lname.size(); ++i) {
    if (!is_hex(lname[i])) return false;
    s = s << 4 | static_cast<unsigned>(hex_value(lname[i]));
  }
  *index = static_cast<uint16_t>(idx);
  *sub = static_cast<int>(s);
  return true;
}

bool type_is_integer(uint16_t t) {
  switch (t) {
    case kBoolean:
    case kInteger8:
    case kInteger16:
    case kInteger24:
    case kInteger32:
    case kInteger40:
    case kInteger48:
    case kInteger56:
    case kInteger64:
    case kUnsigned8:
    case kUnsigned16:
    case kUnsigned24:
    case kUnsigned32:
    case kUnsigned40:
    case kUnsigned48:
    case kUnsigned56:
    case kUnsigned64:
    case kTimeOfDay:
    case kTimeDifference:
      return true;
    default:
      return false;
  }
}

bool type_is_signed(uint16_t t) {
  return t == kInteger8 || t == kInteger16 || t == kInteger24 || t == kInteger32 ||
         t == kInteger40 || t == kInteger48 || t == kInteger56 || t == kInteger64;
}

// Little-endian two's complement bytes of v, if v fits the type.
bool encode_int(Int v, uint16_t type, std::vector<uint8_t>* out) {
  int n = data_type_size(type);
  int bits = 8 * n;
  Int lo, hi;
  if (type == kBoolean) {
    lo = 0;
    hi = 1;
  } else if (type_is_signed(type)) {
    lo = -(static_cast<Int>(1) << (bits - 1));
    hi = (static_cast<Int>(1) << (bits - 1)) - 1;
  } else {
    lo = 0;
    hi = (static_cast<Int>(1) << bits) - 1;
  }
  if (v < lo || v > hi) return false;
  out->assign(static_cast<size_t>(n), 0);
  auto u = static_cast<unsigned __int128>(v);
  for (int i = 0; i < n; ++i) (*out)[static_cast<size_t>(i)] = static_cast<uint8_t>(u >> (8 * i));
  return true;
}

Int decode_int(const std::vector<uint8_t>& bytes, uint16_t type) {
  unsigned __int128 u = 0;
  for (size_t i = 0; i < bytes.size(); ++i)
    u |= static_cast<unsigned __int128>(bytes[i]) << (8 * i);
  Int v = static_cast<Int>(u);
  int bits = static_cast<int>(8 * bytes.size());
  if (type_is_signed(type) && bits > 0 && (u >> (bits - 1) & 1)) v -= static_cast<Int>(1) << bits;
  return v;
}

// Integer DefaultValue: terms joined by '+' (blanks around them allowed, not
// inside a number), each a number or $NODEID (at most once); only the first
// number may carry a '-'.
bool parse_int_value(const std::string& text, uint16_t type, EdsEntry* e, std::string* why) {
  std::string s = trim(text);
  if (s.empty()) s = "0";
  Int sum = 0;
  bool node = false;
  size_t pos = 0;
  bool first = true;
  while (true) {
    size_t plus = s.find('+', pos);
    std::string term =
        trim(s.substr(pos, plus == std::string::npos ? std::string::npos : plus - pos));
    if (lower(term) == "$nodeid") {
      if (node) {
        *why = "$NODEID appears twice";
        return false;
      }
      node = true;
    } else {
      uint64_t mag;
      bool neg;
      if (!parse_eds_number(term, &mag, &neg) || (neg && !first)) {
        *why = "'" + term + "' is not a number";
        return false;
      }
      sum += neg ? -static_cast<Int>(mag) : static_cast<Int>(mag);
    }
    first = false;
    if (plus == std::string::npos) break;
    pos = plus + 1;
  }
  if (!encode_int(sum, type, &e->default_bytes)) {
    *why = "out of range";
    return false;
  }
  e->plus_node_id = node;
  return true;
}

bool parse_hex_bytes(const std::string& text, std::vector<uint8_t>* out) {
  std::string s;
  for (char c : text)
    if (c != ' ' && c != '\t') s += c;
  if (s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s = s.substr(2);
  if (s.size() % 2) return false;
  out->clear();
  for (size_t i = 0; i < s.size(); i += 2) {
    if (!is_hex(s[i]) || !is_hex(s[i + 1])) return false;
    out->push_back(static_cast<uint8_t>(hex_value(s[i]) << 4 | hex_value(s[i + 1])));
  }
  return true;
}

bool parse_default(EdsEntry* e, std::string* why) {
  const std::string& t = e->default_text;
  uint16_t type = e->data_type;
  if (type_is_integer(type)) return parse_int_value(t, type, e, why);
  if (lower(t).find("$nodeid") != std::string::npos && type != kVisibleString) {
    *why = "$NODEID in a value that is not an integer";
    return false;
  }
  switch (type) {
    case kReal32:
    case kReal64: {
      std::string s = trim(t);
      double d = 0;
      if (!s.empty()) {
        char* end = nullptr;
        errno = 0;
        d = std::strtod(s.c_str(), &end);
        if (*end != '\0' || errno == ERANGE || !std::isfinite(d)) {
          *why = "'" + s + "' is not a real number";
          return false;
        }
      }
      if (type == kReal32) {
        float f = static_cast<float>(d);
        if (!std::isfinite(f)) {
          *why = "out of range";
          return false;
        }
        e->default_bytes.resize(4);
        std::memcpy(e->default_bytes.data(), &f, 4);
      } else {
        e->default_bytes.resize(8);
        std::memcpy(e->default_bytes.data(), &d, 8);
      }
      return true;
    }
    case kVisibleString:
      e->default_bytes.assign(t.begin(), t.end());
      return true;
    case kUnicodeString:
      e->default_bytes.clear();
      for (char c : t) {
        e->default_bytes.push_back(static_cast<uint8_t>(c));
        e->default_bytes.push_back(0);
      }
      return true;
    case kOctetString:
    case kDomain:
      if (!parse_hex_bytes(t, &e->default_bytes)) {
        *why = "'" + t + "' is not a sequence of hexadecimal bytes";
        return false;
      }
      return true;
    default:
      *why = "data type not supported";
      return false;
  }
}

bool parse_access(const std::string& text, Access* a) {
  std::string s = lower(trim(text));
  if (s == "ro")
    *a = Access::ReadOnly;
  else if (s == "wo")
    *a = Access::WriteOnly;
  else if (s == "rw" || s == "rwr" || s == "rww")
    *a = Access::ReadWrite;
  else if (s == "const")
    *a = Access::Const;
  else
    return false;
  return true;
}

class Builder {
 public:
  Builder(ParseState& st, Eds* eds, const std::string& origin)
      : st_(st), eds_(eds), origin_(origin) {}

  bool run(std::string* error) {
    bool ok = collect() && check_lists();
    if (!ok && error) *error = origin_ + ": " + err_;
    return ok;
  }

 private:
  const RawValue* get(const RawSection& sec, const char* key) {
    auto it = sec.find(key);
    return it == sec.end() ? nullptr : &it->second;
  }

  bool fail(const std::string& msg) {
    err_ = msg;
    return false;
  }

  bool number(const RawSection& sec, const char* key, const std::string& where, uint64_t max,
              uint64_t* out) {
    const RawValue* v = get(sec, key);
    uint64_t mag;
    bool neg;
    if (!parse_eds_number(trim(v->value), &mag, &neg) || neg || mag > max)
      return fail(where + " " + v->key + " '" + v->value + "' is not a valid number");
    *out = mag;
    return true;
  }

  // Fills the value fields of an entry from its section.
  bool fill_entry(const RawSection& sec, const std::string& where, EdsEntry* e,
                  uint16_t default_type) {
    if (const RawValue* v = get(sec, "parametername")) e->name = trim(v->value);
    uint64_t type = default_type;
    if (get(sec, "datatype")) {
      if (!number(sec, "datatype", where, 0xFFFF, &type)) return false;
    } else if (default_type == 0) {
      return fail(where + " has no DataType");
    }
    e->data_type = static_cast<uint16_t>(type);
    if (data_type_size(e->data_type) < 0) {
      char buf[16];
      std::snprintf(buf, sizeof buf, "0x%04X", e->data_type);
      return fail(where + " DataType " + buf + " is not supported");
    }
    if (const RawValue* v = get(sec, "accesstype")) {
      if (!parse_access(v->value, &e->access))
        return fail(where + " AccessType '" + v->value +
                    "' is not one of ro, wo, rw, rwr, rww, const");
    }
    if (const RawValue* v = get(sec, "defaultvalue")) e->default_text = v->value;
    std::string why;
    if (!parse_default(e, &why))
      return fail(where + " DefaultValue '" + e->default_text + "' is not a valid " +
                  data_type_name(e->data_type) + ": " + why);
    return true;
  }

  bool collect() {
    auto di = st_.sections.find("deviceinfo");
    if (di != st_.sections.end())
      for (auto& kv : di->second) eds_->device_info[kv.second.key] = kv.second.value;
    for (const char* name : {"devicecomissioning", "devicecommissioning"}) {
      auto dc = st_.sections.find(name);
      if (dc == st_.sections.end() || !get(dc->second, "nodeid")) continue;
      uint64_t id;
      if (!number(dc->second, "nodeid", "[" + st_.spelled[name] + "]", 127, &id)) return false;
      eds_->commissioned_node_id = static_cast<int>(id);
    }

    // Objects first, then their sub-objects, so the parent's type is known.
    std::map<uint16_t, std::map<uint8_t, const RawSection*>> subs;
    for (auto& kv : st_.sections) {
      uint16_t index;
      int sub;
      if (!object_section(kv.first, &index, &sub)) continue;
      if (sub >= 0) {
        subs[index][static_cast<uint8_t>(sub)] = &kv.second;
        continue;
      }
      if (!add_object(index, kv.second)) return false;
    }
    for (auto& kv : subs) {
      auto obj = eds_->objects.find(kv.first);
      if (obj == eds_->objects.end())
        return fail(section_label(kv.first, kv.second.begin()->first) + " has no object section " +
                    section_label(kv.first, -1));
      if (obj->second.object_type != kArray && obj->second.object_type != kRecord &&
          obj->second.object_type != kDefStruct)
        return fail(section_label(kv.first, kv.second.begin()->first) +
                    " belongs to an object that is not an ARRAY or RECORD");
      for (auto& s : kv.second) {
        EdsEntry e;
        e.index = kv.first;
        e.subindex = s.first;
        if (!fill_entry(*s.second, section_label(kv.first, s.first), &e, 0)) return false;
        obj->second.entries[s.first] = std::move(e);
      }
    }
    for (auto& kv : eds_->objects) {
      EdsObject& o = kv.second;
      if (o.object_type == kVar) continue;
      if (o.entries.empty()) return fail(section_label(o.index, -1) + " has no sub-objects");
      if (o.expected_subs >= 0 && static_cast<size_t>(o.expected_subs) != o.entries.size())
        return fail(section_label(o.index, -1) + " SubNumber " + std::to_string(o.expected_subs) +
                    " but " + std::to_string(o.entries.size()) + " sub-object sections");
      if (!o.entries.count(0)) {
        // Sub-index 0 of an ARRAY or RECORD holds the highest sub-index.
        EdsEntry e;
        e.index = o.index;
        e.name = "Highest sub-index supported";
        e.data_type = kUnsigned8;
        e.access = Access::Const;
        e.default_bytes = {o.entries.rbegin()->first};
        e.default_text = std::to_string(o.entries.rbegin()->first);
        o.entries[0] = e;
      }
    }
    if (eds_->objects.empty()) return fail("no object sections");
    return true;
  }

  bool add_object(uint16_t index, const RawSection& sec) {
    std::string where = section_label(index, -1);
    EdsObject o;
    o.index = index;
    if (const RawValue* v = get(sec, "parametername")) o.name = trim(v->value);
    uint64_t ot = kVar;
    if (get(sec, "objecttype") && !number(sec, "objecttype", where, 0xFF, &ot)) return false;
    if (get(sec, "compactsubobj")) {
      uint64_t c;
      if (!number(sec, "compactsubobj", where, 0xFE, &c)) return false;
      if (c != 0) return fail(where + " uses CompactSubObj, which is not supported");
    }
    switch (ot) {
      case kVar:
      case kDefType:
      case kDomainObject: {
        EdsEntry e;
        e.index = index;
        if (!fill_entry(sec, where, &e, ot == kDomainObject ? kDomain : 0)) return false;
        if (e.name.empty()) e.name = o.name;
        o.object_type = kVar;
        o.entries[0] = std::move(e);
        break;
      }
      case kArray:
      case kRecord:
      case kDefStruct:
        o.object_type = static_cast<uint8_t>(ot);
        if (get(sec, "subnumber")) {
          uint64_t n;
          if (!number(sec, "subnumber", where, 0xFF, &n)) return false;
          o.expected_subs = static_cast<int>(n);
        }
        break;
      default:
        return fail(where + " ObjectType " + get(sec, "objecttype")->value + " is not supported");
    }
    eds_->objects[index] = std::move(o);
    return true;
  }

  // [MandatoryObjects], [OptionalObjects], [ManufacturerObjects]: every object
  // a list names must have its section.
  bool check_lists() {
    for (const char* list : {"mandatoryobjects", "optionalobjects", "manufacturerobjects"}) {
      auto it = st_.sections.find(list);
      if (it == st_.sections.end()) continue;
      std::string where = "[" + st_.spelled[list] + "]";
      uint64_t n = 0;
      if (get(it->second, "supportedobjects") &&
          !number(it->second, "supportedobjects", where, 0xFFFF, &n))
        return false;
      for (uint64_t i = 1; i <= n; ++i) {
        std::string key = std::to_string(i);
        if (!get(it->second, key.c_str()))
          return fail(where + " lists " + std::to_string(n) + " objects but has no entry " + key);
        uint64_t idx;
        if (!number(it->second, key.c_str(), where, 0xFFFF, &idx)) return false;
        if (!eds_->objects.count(static_cast<uint16_t>(idx)))
          return fail(where + " names object " + hex4(static_cast<unsigned>(idx)) +
                      " but the file has no section " +
                      section_label(static_cast<uint16_t>(idx), -1));
      }
    }
    return true;
  }

  ParseState& st_;
  Eds* eds_;
  std::string origin_;
  std::string err_;
};

}  // namespace

const char* data_type_name(uint16_t type) {
  switch (type) {
    case kBoolean:
      return "BOOLEAN";
    case kInteger8:
      return "INTEGER8";
    case kInteger16:
      return "INTEGER16";
    case kInteger24:
      return "INTEGER24";
    case kInteger32:
      return "INTEGER32";
    case kInteger40:
      return "INTEGER40";
    case kInteger48:
      return "INTEGER48";
    case kInteger56:
      return "INTEGER56";
    case kInteger64:
      return "INTEGER64";
    case kUnsigned8:
      return "UNSIGNED8";
    case kUnsigned16:
      return "UNSIGNED16";
    case kUnsigned24:
      return "UNSIGNED24";
    case kUnsigned32:
      return "UNSIGNED32";
    case kUnsigned40:
      return "UNSIGNED40";
    case kUnsigned48:
      return "UNSIGNED48";
    case kUnsigned56:
      return "UNSIGNED56";
    case kUnsigned64:
      return "UNSIGNED64";
    case kReal32:
      return "REAL32";
    case kReal64:
      return "REAL64";
    case kVisibleString:
      return "VISIBLE_STRING";
    case kOctetString:
      return "OCTET_STRING";
    case kUnicodeString:
      return "UNICODE_STRING";
    case kTimeOfDay:
      return "TIME_OF_DAY";
    case kTimeDifference:
      return "TIME_DIFFERENCE";
    case kDomain:
      return "DOMAIN";
    default:
      return "";
  }
}

int data_type_size(uint16_t type) {
  switch (type) {
    case kBoolean:
    case kInteger8:
    case kUnsigned8:
      return 1;
    case kInteger16:
    case kUnsigned16:
      return 2;
    case kInteger24:
    case kUnsigned24:
      return 3;
    case kInteger32:
    case kUnsigned32:
    case kReal32:
      return 4;
    case kInteger40:
    case kUnsigned40:
      return 5;
    case kInteger48:
    case kUnsigned48:
    case kTimeOfDay:
    case kTimeDifference:
      return 6;
    case kInteger56:
    case kUnsigned56:
      return 7;
    case kInteger64:
    case kUnsigned64:
    case kReal64:
      return 8;
    case kVisibleString:
    case kOctetString:
    case kUnicodeString:
    case kDomain:
      return 0;
    default:
      return -1;
  }
}

bool parse_eds_number(const std::string& text, uint64_t* magnitude, bool* negative) {
  std::string s = trim(text);
  bool neg = false;
  if (!s.empty() && s[0] == '-') {
    neg = true;
    s = s.substr(1);
  }
  if (s.empty()) return false;
  unsigned base = 10;
  size_t i = 0;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    i = 2;
  } else if (s.size() > 1 && s[0] == '0') {
    base = 8;
    i = 1;
  }
  uint64_t v = 0;
  for (; i < s.size(); ++i) {
    char c = s[i];
    unsigned d;
    if (c >= '0' && c <= '9')
      d = static_cast<unsigned>(c - '0');
    else if (base == 16 && is_hex(c))
      d = static_cast<unsigned>(hex_value(c));
    else
      return false;
    if (d >= base) return false;
    if (v > (UINT64_MAX - d) / base) return false;
    v = v * base + d;
  }
  *magnitude = v;
  *negative = neg;
  return true;
}

std::string Eds::info(const std::string& key, const std::string& fallback) const {
  std::string k = lower(key);
  for (auto& kv : device_info)
    if (lower(kv.first) == k) return kv.second;
  return fallback;
}

const EdsEntry* Eds::entry(uint16_t index, uint8_t subindex) const {
  auto o = objects.find(index);
  if (o == objects.end()) return nullptr;
  auto e = o->second.entries.find(subindex);
  return e == o->second.entries.end() ? nullptr : &e->second;
}

int parse_eds(const std::string& text, Eds* out, std::string* error, const std::string& origin) {
  ParseState st;
  int rc = ini_parse_string(text.c_str(), ini_handler, &st);
  if (rc != 0) {
    if (error) {
      if (rc < 0)
        *error = origin + ": out of memory while parsing";
      else
        *error =
            origin + ":" + std::to_string(rc) + ": " +
            (st.handler_error.empty() ? std::string("not a valid INI line") : st.handler_error);
    }
    return -1;
  }
  Eds eds;
  Builder b(st, &eds, origin);
  if (!b.run(error)) return -1;
  *out = std::move(eds);
  return 0;
}

int load_eds(const std::string& path, Eds* out, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return -1;
  };
  // Opened without waiting (a FIFO without a writer would block the open)
  // and looked at before anything is read from it.
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return fail("cannot open EDS file '" + path + "': " + std::strerror(errno));
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    std::string why = std::strerror(errno);
    ::close(fd);
    return fail("cannot read EDS file '" + path + "': " + why);
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    if (S_ISDIR(st.st_mode)) return fail("cannot open EDS file '" + path + "': it is a directory");
    const char* kind = S_ISFIFO(st.st_mode)   ? "a FIFO"
                       : S_ISCHR(st.st_mode)  ? "a character device"
                       : S_ISBLK(st.st_mode)  ? "a block device"
                       : S_ISSOCK(st.st_mode) ? "a socket"
                                              : "not a file";
    return fail("cannot open EDS file '" + path + "': it is not a regular file (" + kind + ")");
  }
  const std::string too_big = "EDS file '" + path + "' is larger than " +
                              std::to_string(kMaxEdsBytes) + " bytes, the limit for an EDS file";
  if (st.st_size > kMaxEdsBytes) {
    ::close(fd);
    return fail(too_big);
  }
  std::string text;
  text.reserve(static_cast<size_t>(st.st_size));
  char buf[65536];
  while (true) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      std::string why = std::strerror(errno);
      ::close(fd);
      return fail("cannot read EDS file '" + path + "': " + why);
    }
    if (n == 0) break;
    text.append(buf, static_cast<size_t>(n));
    if (static_cast<long long>(text.size()) > kMaxEdsBytes) {  // it grew while being read
      ::close(fd);
      return fail(too_big);
    }
  }
  ::close(fd);
  if (text.find('\0') != std::string::npos) {
    if (error) *error = path + ": not a text file";
    return -1;
  }
  if (parse_eds(text, out, error, path) != 0) return -1;
  out->path = path;
  return 0;
}

int build_dictionary(const Eds& eds, int node_id, ObjectDictionary* out, std::string* error) {
  ObjectDictionary od;
  for (auto& ko : eds.objects) {
    for (auto& ke : ko.second.entries) {
      const EdsEntry& e = ke.second;
      OdValue v;
      v.name = e.name;
      v.data_type = e.data_type;
      v.access = e.access;
      v.default_bytes = e.default_bytes;
      if (e.plus_node_id) {
        Int n = decode_int(e.default_bytes, e.data_type) + node_id;
        if (!encode_int(n, e.data_type, &v.default_bytes)) {
          if (error)
            *error = eds.path + ": " +
                     section_label(e.index, ko.second.object_type == kVar ? -1 : e.subindex) +
                     " DefaultValue '" + e.default_text + "' does not fit " +
                     data_type_name(e.data_type) + " for node " + std::to_string(node_id);
          return -1;
        }
      }
      v.bytes = v.default_bytes;
      od[od_key(e.index, e.subindex)] = std::move(v);
    }
  }
  *out = std::move(od);
  return 0;
}

}  // namespace zsim
