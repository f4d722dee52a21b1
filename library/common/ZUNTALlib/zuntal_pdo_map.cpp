// zuntal_pdo_map.cpp - the PDO mapping model: data types, checks, values,
// decoding and encoding of PDO frames, and reading the PDO parameters of an
// EDS or DCF file.
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "D_zuntal.h"
#include "zuntal_pdo_internal.h"

namespace {

bool is_signed(uint16_t type) {
  return (type >= PDO_INTEGER8 && type <= PDO_INTEGER32) ||
         (type >= PDO_INTEGER24 && type <= PDO_INTEGER64 && type != PDO_REAL64);
}

// Signed integer types by their index (all below 0x20).
constexpr bool kSigned[32] = {false, false, true,  true,  true,  false, false, false,
                              false, false, false, false, false, false, false, false,
                              true,  false, true,  true,  true,  true};

}  // namespace

int pdo_type_bits(uint16_t type) {
  switch (type) {
    case PDO_BOOLEAN:
      return 1;
    case PDO_INTEGER8:
    case PDO_UNSIGNED8:
      return 8;
    case PDO_INTEGER16:
    case PDO_UNSIGNED16:
      return 16;
    case PDO_INTEGER24:
    case PDO_UNSIGNED24:
      return 24;
    case PDO_INTEGER32:
    case PDO_UNSIGNED32:
    case PDO_REAL32:
      return 32;
    case PDO_INTEGER40:
    case PDO_UNSIGNED40:
      return 40;
    case PDO_INTEGER48:
    case PDO_UNSIGNED48:
      return 48;
    case PDO_INTEGER56:
    case PDO_UNSIGNED56:
      return 56;
    case PDO_INTEGER64:
    case PDO_UNSIGNED64:
    case PDO_REAL64:
      return 64;
    default:
      return 0;
  }
}

const char* pdo_type_name(uint16_t type) {
  switch (type) {
    case PDO_BOOLEAN:
      return "BOOLEAN";
    case PDO_INTEGER8:
      return "INTEGER8";
    case PDO_INTEGER16:
      return "INTEGER16";
    case PDO_INTEGER24:
      return "INTEGER24";
    case PDO_INTEGER32:
      return "INTEGER32";
    case PDO_INTEGER40:
      return "INTEGER40";
    case PDO_INTEGER48:
      return "INTEGER48";
    case PDO_INTEGER56:
      return "INTEGER56";
    case PDO_INTEGER64:
      return "INTEGER64";
    case PDO_UNSIGNED8:
      return "UNSIGNED8";
    case PDO_UNSIGNED16:
      return "UNSIGNED16";
    case PDO_UNSIGNED24:
      return "UNSIGNED24";
    case PDO_UNSIGNED32:
      return "UNSIGNED32";
    case PDO_UNSIGNED40:
      return "UNSIGNED40";
    case PDO_UNSIGNED48:
      return "UNSIGNED48";
    case PDO_UNSIGNED56:
      return "UNSIGNED56";
    case PDO_UNSIGNED64:
      return "UNSIGNED64";
    case PDO_REAL32:
      return "REAL32";
    case PDO_REAL64:
      return "REAL64";
    default:
      return "";
  }
}

int pdo_map::bits() const {
  int n = 0;
  for (const pdo_entry& e : entries) n += e.bits;
  return n;
}

std::string pdo_map::check() const {
  char buf[160];
  if (number < 1 || number > 512) {
    std::snprintf(buf, sizeof buf, "PDO number %d is outside 1 to 512", number);
    return buf;
  }
  for (const pdo_entry& e : entries) {
    const int size = pdo_type_bits(e.type);
    if (size == 0) {
      std::snprintf(buf, sizeof buf, "object 0x%04X/%d has type 0x%04X, which a PDO cannot carry",
                    e.index, e.subindex, e.type);
      return buf;
    }
    if (e.bits == 0 || e.bits > size) {
      std::snprintf(buf, sizeof buf, "object 0x%04X/%d is mapped with %d bits, its %s has %d",
                    e.index, e.subindex, e.bits, pdo_type_name(e.type), size);
      return buf;
    }
  }
  if (bits() > 64) {
    std::snprintf(buf, sizeof buf, "the entries map %d bits, more than the 64 of a frame", bits());
    return buf;
  }
  return "";
}

pdo_value pdo_value::of_real(uint16_t type, double v) {
  pdo_value r{type, 0};
  if (type == PDO_REAL32) {
    const float f = static_cast<float>(v);
    uint32_t u;
    std::memcpy(&u, &f, 4);
    r.raw = u;
  } else {
    std::memcpy(&r.raw, &v, 8);
  }
  return r;
}

int64_t pdo_value::as_int() const {
  if (type == PDO_REAL32 || type == PDO_REAL64)
    return static_cast<int64_t>(std::llround(as_double()));
  return static_cast<int64_t>(raw);
}

double pdo_value::as_double() const {
  if (type == PDO_REAL32) {
    const uint32_t u = static_cast<uint32_t>(raw);
    float f;
    std::memcpy(&f, &u, 4);
    return f;
  }
  if (type == PDO_REAL64) {
    double d;
    std::memcpy(&d, &raw, 8);
    return d;
  }
  return is_signed(type) ? static_cast<double>(as_int()) : static_cast<double>(raw);
}

std::string pdo_value::text() const {
  char buf[40];
  if (type == PDO_REAL32 || type == PDO_REAL64)
    std::snprintf(buf, sizeof buf, "%.6g", as_double());
  else if (is_signed(type))
    std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(as_int()));
  else
    std::snprintf(buf, sizeof buf, "%llu", static_cast<unsigned long long>(raw));
  return buf;
}

pdo_decoder::pdo_decoder(const pdo_map& m) {
  unsigned offset = 0;
  for (const pdo_entry& e : m.entries) {
    if (count_ == 64 || e.bits == 0 || offset + e.bits > 64) {
      bytes_ = 9;  // no frame holds it
      return;
    }
    Field& f = fields_[count_++];
    f.shift = static_cast<uint8_t>(offset);
    f.mask = e.bits == 64 ? ~uint64_t{0} : (uint64_t{1} << e.bits) - 1;
    f.sign = e.type < 0x20 && kSigned[e.type] ? uint64_t{1} << (e.bits - 1) : 0;
    f.type = e.type;
    offset += e.bits;
  }
  bytes_ = static_cast<int>((offset + 7) / 8);
}

bool D_canpdo::decode(const pdo_map& m, const uint8_t* data, int len, pdo_value* out) {
  return pdo_decoder(m).decode(data, len, out);
}

int D_canpdo::encode(const pdo_map& m, const pdo_value* values, int count, uint8_t* data) {
  if (count != static_cast<int>(m.entries.size()) || m.bits() > 64) return -1;
  uint64_t word = 0;
  int offset = 0;
  for (int i = 0; i < count; ++i) {
    const int bits = m.entries[static_cast<size_t>(i)].bits;
    const uint64_t mask = bits == 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1;
    if (offset < 64) word |= (values[i].raw & mask) << offset;
    offset += bits;
  }
  std::memset(data, 0, 8);
  for (int i = 0; i < 8; ++i) data[i] = static_cast<uint8_t>(word >> (8 * i));
  return (offset + 7) / 8;
}

// ---- EDS and DCF --------------------------------------------------------------

namespace zuntal_detail {

namespace {

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string trim(const std::string& s) {
  size_t a = s.find_first_not_of(" \t\r");
  if (a == std::string::npos) return "";
  size_t b = s.find_last_not_of(" \t\r");
  return s.substr(a, b - a + 1);
}

// A number as EDS files write it, with "$NODEID" terms: "$NODEID+0x180",
// "0x180+$NODEID", "385", "0x1A00".
bool eds_number(const std::string& text, int node, uint64_t* out) {
  uint64_t sum = 0;
  std::string t = lower(trim(text));
  if (t.empty()) return false;
  std::stringstream ss(t);
  std::string term;
  while (std::getline(ss, term, '+')) {
    term = trim(term);
    if (term == "$nodeid") {
      sum += static_cast<uint64_t>(node);
      continue;
    }
    if (term.empty()) return false;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(term.c_str(), &end, 0);
    if (!end || *end) return false;
    sum += v;
  }
  *out = sum;
  return true;
}

}  // namespace

// Sections by lower-case name, keys by lower-case name. The file must be a
// regular file of at most 4 MiB.
int read_ini(const std::string& path, Ini* out, std::string* error) {
  std::ifstream in(path);
  if (!in) {
    *error = "cannot read " + path;
    return -1;
  }
  std::string line, section;
  long long bytes = 0;
  while (std::getline(in, line)) {
    bytes += static_cast<long long>(line.size()) + 1;
    if (bytes > (4LL << 20)) {
      *error = path + " is larger than 4 MiB";
      return -1;
    }
    line = trim(line);
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line[0] == '[') {
      section = lower(trim(line.substr(1, line.find(']') - 1)));
      (*out)[section];
      continue;
    }
    const size_t eq = line.find('=');
    if (eq != std::string::npos)
      (*out)[section][lower(trim(line.substr(0, eq)))] = trim(line.substr(eq + 1));
  }
  return 0;
}

namespace {

const std::string* key(const Ini& ini, const std::string& section, const std::string& k) {
  auto s = ini.find(section);
  if (s == ini.end()) return nullptr;
  auto v = s->second.find(k);
  return v == s->second.end() ? nullptr : &v->second;
}

std::string section_of(uint16_t index, int sub) {
  char buf[16];
  if (sub < 0)
    std::snprintf(buf, sizeof buf, "%04x", index);
  else
    std::snprintf(buf, sizeof buf, "%04xsub%x", index, sub);
  return buf;
}

// The value of an object: a DCF's ParameterValue, else the DefaultValue.
bool value(const Ini& ini, uint16_t index, int sub, int node, uint64_t* out) {
  const std::string s = section_of(index, sub);
  const std::string* v = key(ini, s, "parametervalue");
  if (!v || v->empty()) v = key(ini, s, "defaultvalue");
  return v && eds_number(*v, node, out);
}

}  // namespace

bool eds_has(const Ini& ini, uint16_t index) {
  return ini.count(section_of(index, -1)) || ini.count(section_of(index, 1));
}

bool eds_object_type(const Ini& ini, uint16_t index, uint8_t sub, uint16_t* type,
                     std::string* name) {
  // A VAR has its own section; a sub-object of an ARRAY or RECORD has one
  // named with "sub".
  for (const std::string& s : {section_of(index, sub), sub == 0 ? section_of(index, -1) : ""}) {
    if (s.empty()) continue;
    const std::string* t = key(ini, s, "datatype");
    uint64_t v;
    if (!t || !eds_number(*t, 0, &v)) continue;
    *type = static_cast<uint16_t>(v);
    const std::string* n = key(ini, s, "parametername");
    *name = n ? *n : "";
    return true;
  }
  return false;
}

int pdo_maps_from_ini(const Ini& ini, int node, std::vector<pdo_map>* out, std::string* error) {
  char buf[160];
  for (int tx = 0; tx < 2; ++tx)
    for (int n = 0; n < 512; ++n) {
      const uint16_t comm = static_cast<uint16_t>((tx ? 0x1800 : 0x1400) + n);
      const uint16_t map = static_cast<uint16_t>(comm + 0x200);
      uint64_t cob, count;
      if (!value(ini, comm, 1, node, &cob)) continue;
      pdo_map m;
      m.number = n + 1;
      m.transmit = tx;
      m.cob_id = static_cast<uint32_t>(cob);
      uint64_t v;
      if (value(ini, comm, 2, node, &v)) m.trans_type = static_cast<uint8_t>(v);
      if (value(ini, comm, 3, node, &v)) m.inhibit_100us = static_cast<uint16_t>(v);
      if (value(ini, comm, 5, node, &v)) m.event_ms = static_cast<uint16_t>(v);
      if (!value(ini, map, 0, node, &count)) count = 0;
      for (uint64_t k = 1; k <= count && k <= 64; ++k) {
        uint64_t word;
        if (!value(ini, map, static_cast<int>(k), node, &word)) {
          std::snprintf(buf, sizeof buf, "0x%04X/%d: the mapping entry is missing", map,
                        static_cast<int>(k));
          *error = buf;
          return -1;
        }
        pdo_entry e;
        e.index = static_cast<uint16_t>(word >> 16);
        e.subindex = static_cast<uint8_t>(word >> 8);
        e.bits = static_cast<uint8_t>(word);
        if (e.index >= PDO_BOOLEAN && e.index <= PDO_UNSIGNED32) {
          e.type = e.index;  // a dummy entry names its type
          e.name = "dummy";
        } else if (!eds_object_type(ini, e.index, e.subindex, &e.type, &e.name)) {
          std::snprintf(buf, sizeof buf, "%s%d maps object 0x%04X/%d, which the dictionary lacks",
                        tx ? "TPDO" : "RPDO", n + 1, e.index, e.subindex);
          *error = buf;
          return -1;
        }
        m.entries.push_back(e);
      }
      const std::string why = m.check();
      if (!why.empty()) {
        *error = why;
        return -1;
      }
      out->push_back(m);
    }
  return 0;
}

}  // namespace zuntal_detail
