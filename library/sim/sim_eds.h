// sim_eds.h - reading CANopen electronic data sheets (EDS files, CiA 306).
//
// An EDS is an INI file. The reader keeps what a simulated device needs: the
// [DeviceInfo] keys and every object section ([1008], [1018], [1018sub1], ...)
// with its name, object type, data type, access type and default value. The
// default value is checked against the data type when the file is read, so a
// device built from a file that loaded always has a well-formed dictionary;
// "$NODEID" terms (e.g. "$NODEID+0x180") are resolved when the dictionary is
// built for one node id.
#ifndef ZUNTAL_SIM_EDS_H
#define ZUNTAL_SIM_EDS_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace zsim {

// CANopen basic data types (object dictionary indices 0x0001 to 0x001B).
enum DataType : uint16_t {
  kBoolean = 0x0001,
  kInteger8 = 0x0002,
  kInteger16 = 0x0003,
  kInteger32 = 0x0004,
  kUnsigned8 = 0x0005,
  kUnsigned16 = 0x0006,
  kUnsigned32 = 0x0007,
  kReal32 = 0x0008,
  kVisibleString = 0x0009,
  kOctetString = 0x000A,
  kUnicodeString = 0x000B,
  kTimeOfDay = 0x000C,
  kTimeDifference = 0x000D,
  kDomain = 0x000F,
  kInteger24 = 0x0010,
  kReal64 = 0x0011,
  kInteger40 = 0x0012,
  kInteger48 = 0x0013,
  kInteger56 = 0x0014,
  kInteger64 = 0x0015,
  kUnsigned24 = 0x0016,
  kUnsigned40 = 0x0018,
  kUnsigned48 = 0x0019,
  kUnsigned56 = 0x001A,
  kUnsigned64 = 0x001B,
};

// Printable name of a data type ("UNSIGNED16"), or "" for an unknown one.
const char* data_type_name(uint16_t type);
// Size in bytes of a fixed-size type; 0 for strings and domains (any length),
// -1 for an unknown type.
int data_type_size(uint16_t type);

// CANopen object codes.
enum ObjectType : uint8_t {
  kDomainObject = 0x2,
  kDefType = 0x5,
  kDefStruct = 0x6,
  kVar = 0x7,
  kArray = 0x8,
  kRecord = 0x9,
};

enum class Access { ReadOnly, WriteOnly, ReadWrite, Const };

inline bool readable(Access a) {
  return a != Access::WriteOnly;
}
inline bool writable(Access a) {
  return a == Access::WriteOnly || a == Access::ReadWrite;
}

// One value of the dictionary: a VAR object (subindex 0) or one sub-object of
// an ARRAY or RECORD.
struct EdsEntry {
  uint16_t index = 0;
  uint8_t subindex = 0;
  std::string name;  // ParameterName
  uint16_t data_type = 0;
  Access access = Access::ReadOnly;
  std::string default_text;  // DefaultValue as written in the file
  // Default value in little-endian bytes, without any $NODEID term.
  std::vector<uint8_t> default_bytes;
  bool plus_node_id = false;  // DefaultValue holds a $NODEID term
};

// One object section: a VAR, or an ARRAY/RECORD with its sub-objects.
struct EdsObject {
  uint16_t index = 0;
  std::string name;
  uint8_t object_type = kVar;
  int expected_subs = -1;               // SubNumber of an ARRAY/RECORD, -1 when absent
  std::map<uint8_t, EdsEntry> entries;  // by subindex
};

struct Eds {
  std::string path;                                // file it was read from, or ""
  std::map<std::string, std::string> device_info;  // [DeviceInfo], keys as written
  std::map<uint16_t, EdsObject> objects;           // by index
  int commissioned_node_id = 0;                    // [DeviceComissioning] NodeID, 0 when absent

  // [DeviceInfo] value by key (case-insensitive), or `fallback`.
  std::string info(const std::string& key, const std::string& fallback = "") const;
  const EdsEntry* entry(uint16_t index, uint8_t subindex) const;
};

// Largest EDS file load_eds reads (4 MiB; real device descriptions are a few
// hundred KiB at most).
constexpr long long kMaxEdsBytes = 4LL << 20;

// Reads an EDS file. Returns 0, or -1 with a message in *error naming the file
// and, where it can, the line or section at fault. Only a regular file of at
// most kMaxEdsBytes is read: a directory, a device (/dev/zero), a FIFO or a
// socket is refused without reading from it.
int load_eds(const std::string& path, Eds* out, std::string* error);
// The same for EDS text held in memory; `origin` names it in messages.
int parse_eds(const std::string& text, Eds* out, std::string* error,
              const std::string& origin = "EDS");

// A number as EDS files write them: decimal, hexadecimal with 0x, or octal
// with a leading 0; a leading '-' for negative values. Returns false for
// anything else (including trailing characters and overflow of 64 bits).
bool parse_eds_number(const std::string& text, uint64_t* magnitude, bool* negative);

// The dictionary of one node: (index, subindex) -> value in little-endian
// bytes, plus what the device needs to serve it.
struct OdValue {
  std::string name;
  uint16_t data_type = 0;
  Access access = Access::ReadOnly;
  std::vector<uint8_t> bytes;
  std::vector<uint8_t> default_bytes;  // restored by a reset
};

using OdKey = uint32_t;  // index << 8 | subindex
inline OdKey od_key(uint16_t index, uint8_t subindex) {
  return static_cast<OdKey>(index) << 8 | subindex;
}
using ObjectDictionary = std::map<OdKey, OdValue>;

// Builds the dictionary of node `node_id` from an EDS. Returns 0, or -1 with
// *error when a $NODEID value does not fit its data type.
int build_dictionary(const Eds& eds, int node_id, ObjectDictionary* out, std::string* error);

}  // namespace zsim

#endif  // ZUNTAL_SIM_EDS_H
