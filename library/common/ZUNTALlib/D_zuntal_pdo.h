// D_zuntal_pdo.h - process data of a node: the PDO companion of D_can and the
// SYNC producer of a line. Included by D_zuntal.h; see docs/canopen.md.
#ifndef D_ZUNTAL_PDO_H
#define D_ZUNTAL_PDO_H

#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

class D_can;

// CANopen data types a PDO entry may carry (their dictionary indices).
enum pdo_type : uint16_t {
  PDO_BOOLEAN = 0x0001,
  PDO_INTEGER8 = 0x0002,
  PDO_INTEGER16 = 0x0003,
  PDO_INTEGER32 = 0x0004,
  PDO_UNSIGNED8 = 0x0005,
  PDO_UNSIGNED16 = 0x0006,
  PDO_UNSIGNED32 = 0x0007,
  PDO_REAL32 = 0x0008,
  PDO_INTEGER24 = 0x0010,
  PDO_REAL64 = 0x0011,
  PDO_INTEGER40 = 0x0012,
  PDO_INTEGER48 = 0x0013,
  PDO_INTEGER56 = 0x0014,
  PDO_INTEGER64 = 0x0015,
  PDO_UNSIGNED24 = 0x0016,
  PDO_UNSIGNED40 = 0x0018,
  PDO_UNSIGNED48 = 0x0019,
  PDO_UNSIGNED56 = 0x001A,
  PDO_UNSIGNED64 = 0x001B,
};
// Size in bits of a PDO data type, 0 for a type a PDO cannot carry.
int pdo_type_bits(uint16_t type);
// "REAL32", or "" for a type a PDO cannot carry.
const char* pdo_type_name(uint16_t type);

// One mapped object: what the mapping entry says (index, subindex, length in
// bits) and the object's data type and name as the dictionary gives them.
// An entry shorter than its type (a bit-sized entry) carries the low bits.
struct pdo_entry {
  uint16_t index = 0;
  uint8_t subindex = 0;
  uint8_t bits = 0;
  uint16_t type = 0;
  std::string name;
  // The mapping object's value: index << 16 | subindex << 8 | bits.
  uint32_t word() const { return uint32_t{index} << 16 | uint32_t{subindex} << 8 | bits; }
};

// A PDO's communication and mapping parameters.
struct pdo_map {
  int number = 0;        // 1 to 512
  bool transmit = true;  // a TPDO (sent by the node) or an RPDO (sent to it)
  uint32_t cob_id = 0;   // bit 31 set: the PDO is disabled
  uint8_t trans_type = 255;
  uint16_t inhibit_100us = 0;
  uint16_t event_ms = 0;
  std::vector<pdo_entry> entries;

  bool enabled() const { return !(cob_id & 0x80000000u); }
  int id() const { return static_cast<int>(cob_id & 0x7FF); }
  int bits() const;
  // "" when the mapping is well formed (number in range, at most 64 bits,
  // every entry of a known type and no longer than it), otherwise why not.
  std::string check() const;
};

// One value of a mapped entry. `raw` holds the entry's bits, sign-extended
// for the signed integer types; the accessors convert.
struct pdo_value {
  uint16_t type = 0;
  uint64_t raw = 0;

  static pdo_value of_int(uint16_t type, int64_t v) { return {type, static_cast<uint64_t>(v)}; }
  static pdo_value of_uint(uint16_t type, uint64_t v) { return {type, v}; }
  static pdo_value of_real(uint16_t type, double v);
  int64_t as_int() const;
  uint64_t as_uint() const { return raw; }
  double as_double() const;
  std::string text() const;
};

// A mapping made ready for decoding: the shifts of each entry worked out
// once, so that a frame is decoded with two shifts per entry. The update
// cycle keeps one per TPDO.
class pdo_decoder {
 public:
  pdo_decoder() = default;
  explicit pdo_decoder(const pdo_map& m);
  // Decodes a frame into `out` (one value per entry); false when the frame
  // is shorter than the mapping. Inline: the update cycle and a caller's own
  // loop decode without a call.
  bool decode(const uint8_t* data, int len, pdo_value* out) const {
    if (len < bytes_) return false;
    // The frame as one little-endian word; each entry is shifted down and
    // masked, then sign-extended without a branch: (x ^ s) - s with s its top
    // bit for a signed type, 0 otherwise.
    uint64_t word = 0;
    if (len >= 8) {
      std::memcpy(&word, data, 8);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
      word = __builtin_bswap64(word);
#endif
    } else {
      for (int i = len - 1; i >= 0; --i) word = word << 8 | data[i];
    }
    // The values never overlap the decoder: said so, its fields need not be
    // read again after each store.
    pdo_value* __restrict o = out;
    const Field* __restrict fs = fields_;
    const int n = count_;
#pragma GCC unroll 4
    for (int i = 0; i < n; ++i) {
      const uint64_t x = (word >> fs[i].shift) & fs[i].mask;
      o[i] = pdo_value{fs[i].type, (x ^ fs[i].sign) - fs[i].sign};
    }
    return true;
  }

 private:
  // 32 bytes, so that the decode steps through them by a shift.
  struct alignas(32) Field {
    uint64_t mask = 0;  // the entry's bits, once shifted down
    uint64_t sign = 0;  // the entry's top bit for a signed type, else 0
    uint8_t shift = 0;  // the entry's offset in the frame
    uint16_t type = 0;
  };
  Field fields_[64];
  int count_ = 0;
  int bytes_ = 0;  // bytes the frame needs
};

// What a TPDO brought: its values, the framework-clock time (microseconds) of
// the update cycle that took its frame from the bus, and how many values of
// it came and went without being taken.
struct pdo_sample {
  std::vector<pdo_value> values;
  int64_t time_us = 0;
  uint32_t overwritten = 0;
  uint64_t frames = 0;  // frames of this TPDO decoded so far
};

// ---------------------------------------------------------------------------
// The process data of the node of a D_can. The server declares it beside the
// node property in the same location ("NODE5.PDO"); clients reading it get
// the latest TPDO values as text. The mappings come from the device by SDO
// (read_mappings) or from an EDS or DCF file (load_eds). From then on every
// update cycle decodes the node's TPDOs from the receive buffer it filled;
// take() hands the latest values of a TPDO to the owner.
class D_canpdo : public D_fct {
 public:
  D_canpdo(const std::string& pn, D_can* can, EqFct* ef);
  ~D_canpdo() override;
  D_canpdo(const D_canpdo&) = delete;
  D_canpdo& operator=(const D_canpdo&) = delete;

  void get(EqAdr* adr, EqData* data_in, EqData* res, EqFct* ef) override;
  // Process data keep nothing in the configuration file.
  void write(std::ostream&) override {}
  // The latest TPDO values: "TPDO1: name=value name=value; TPDO2: ...".
  std::string text() const;
  // The property whose handle the SDO transfers of read_mappings() and
  // write_mapping() use; by default the node property itself. A server that
  // keeps SDO answers off the node's buffer gives its SDO companion here.
  void sdo_through(D_can* c) { sdo_ = c ? c : can_; }

  // Mappings. Each returns 0, or -1 and leaves the mappings as they were with
  // the reason in error(). read_mappings() uploads the communication and
  // mapping parameters of RPDOs and TPDOs 1, 2, ... from the node, up to the
  // first number the node lacks; the mapping entries do not tell the data
  // types, so they come from `eds_path` when given, else an entry counts as
  // UNSIGNED of its length (BOOLEAN for one bit). load_eds() takes it all
  // from an EDS or DCF file (a DCF's ParameterValue before the DefaultValue).
  int read_mappings(const std::string& eds_path = "");
  int load_eds(const std::string& path);
  // Uses `m` without asking the device (the device has it already).
  int set_mapping(const pdo_map& m);
  // Writes `m` to the device: disable the PDO, zero the count, write the
  // entries, set the count, communication parameters, enable. A refusal by
  // the device gives -1 with the abort's text in error(); the device keeps
  // what it had, and so does this object.
  int write_mapping(const pdo_map& m);

  std::vector<pdo_map> mappings() const;
  bool mapping(bool transmit, int number, pdo_map* out) const;
  std::string error() const;

  // TPDO values. take() copies the latest sample of TPDO `number` and marks
  // it taken: 1 when it was new, 0 when it had been taken already (the copy
  // is then the same again), -1 for a TPDO without mapping.
  int take(int number, pdo_sample* out);

  // RPDOs: encodes `values` by RPDO `number`'s mapping and sends the frame at
  // once, or with `at_sync` right before the next SYNC of the node's line.
  // 0, -1 (no mapping, wrong count or type of values, error()), or the
  // driver's status.
  int send_rpdo(int number, const std::vector<pdo_value>& values, bool at_sync = false);

  // Decodes one frame of TPDO `m` into `out` (sized to the entries): the
  // update cycle's own step, open for tools and benchmarks. False when the
  // frame is shorter than the mapping.
  static bool decode(const pdo_map& m, const uint8_t* data, int len, pdo_value* out);
  // Encodes values by `m` into `data` (8 bytes); returns the length or -1.
  static int encode(const pdo_map& m, const pdo_value* values, int count, uint8_t* data);

  // Called by the update cycle with the frames it just put into the buffer.
  void on_fill(const CMSG* frames, int count, int64_t now_us);
  D_can* can() const { return can_; }

 private:
  struct Tpdo {
    pdo_map map;
    pdo_decoder decoder;
    pdo_sample sample;
    bool fresh = false;
  };
  int adopt(const std::vector<pdo_map>& maps);
  void enable_ids();
  bool find_tx(int id, Tpdo** t);

  D_can* can_;
  D_can* sdo_;
  mutable std::mutex mx_;
  std::vector<Tpdo> tpdo_;
  std::vector<pdo_map> rpdo_;
  std::vector<int> enabled_ids_;
  NTCAN_HANDLE ids_handle_ = -1;  // the handle the identifiers were enabled on
  bool ids_pending_ = false;
  std::string error_;
};

// The PDOs an EDS or DCF file gives node `node`, each checked: 0, or -1 with
// the reason in *error (a tool's way to name PDO values without a node).
int pdo_maps_from_eds(const std::string& path, int node, std::vector<pdo_map>* out,
                      std::string* error);

// ---------------------------------------------------------------------------
// SYNC producer of line `line` (1 to 20). The update cycle sends a SYNC on the
// line when `period_us` of framework-clock time have passed since the last
// one (after the cycle's fills, so the synchronous TPDOs it causes are
// decoded by the next cycle); RPDOs queued for the SYNC go right before it.
// 0 stops the producer (the default). `counter` 0 sends SYNC without data; 2
// to 240 adds a counter byte that runs from 1 to `counter`. Returns 0, or -1
// for a line or counter out of range.
int can_sync(int line, int64_t period_us, int counter = 0);
// SYNCs the line has sent since the process started.
uint64_t can_sync_count(int line);

#endif  // D_ZUNTAL_PDO_H
