// fuzz_eds: the EDS reader fed arbitrary text.
//
// A file that loads must give a dictionary a device can serve: every object
// has its entries, every entry a supported data type and a default of exactly
// its type's size, a string's default is its text; building the dictionary
// for a node either succeeds with those bytes (plus the node id where a
// $NODEID term stands) or fails with a message. Numbers as EDS files write
// them read back to the value they were written from.
#include <cinttypes>
#include <cstring>
#include <string>

#include "fuzz_common.h"
#include "sim_eds.h"

namespace {

uint64_t le_value(const std::vector<uint8_t>& b) {
  uint64_t v = 0;
  for (size_t k = 0; k < b.size() && k < 8; ++k) v |= static_cast<uint64_t>(b[k]) << (8 * k);
  return v;
}

void check_numbers(const uint8_t* data, size_t size) {
  uint64_t v = 0;
  std::memcpy(&v, data, size < 8 ? size : 8);
  char buf[3][32];
  std::snprintf(buf[0], sizeof buf[0], "%" PRIu64, v);
  std::snprintf(buf[1], sizeof buf[1], "0x%" PRIX64, v);
  std::snprintf(buf[2], sizeof buf[2], "0%" PRIo64, v);
  for (auto& text : buf) {
    uint64_t got = 0;
    bool neg = true;
    FUZZ_CHECK(zsim::parse_eds_number(text, &got, &neg));
    FUZZ_CHECK(got == v && !neg);
    uint64_t again = 0;
    FUZZ_CHECK(zsim::parse_eds_number(std::string("-") + text, &again, &neg));
    FUZZ_CHECK(again == v && neg);
  }
}

void check_entry(const zsim::EdsEntry& e) {
  const int size = zsim::data_type_size(e.data_type);
  FUZZ_CHECK(size >= 0);
  FUZZ_CHECK(*zsim::data_type_name(e.data_type) != '\0');
  if (size > 0) {
    FUZZ_CHECK(e.default_bytes.size() == static_cast<size_t>(size));
  } else if (e.data_type == zsim::kVisibleString) {
    FUZZ_CHECK(std::string(e.default_bytes.begin(), e.default_bytes.end()) == e.default_text);
  } else if (e.data_type == zsim::kUnicodeString) {
    FUZZ_CHECK(e.default_bytes.size() == 2 * e.default_text.size());
  }
  if (e.plus_node_id) FUZZ_CHECK(size > 0);
}

void check_dictionary(const zsim::Eds& eds, int node) {
  zsim::ObjectDictionary od;
  std::string error;
  if (zsim::build_dictionary(eds, node, &od, &error) != 0) {
    FUZZ_CHECK(!error.empty());
    return;
  }
  size_t entries = 0;
  for (const auto& ko : eds.objects) {
    for (const auto& ke : ko.second.entries) {
      const zsim::EdsEntry& e = ke.second;
      ++entries;
      auto it = od.find(zsim::od_key(e.index, e.subindex));
      FUZZ_CHECK(it != od.end());
      const zsim::OdValue& v = it->second;
      FUZZ_CHECK(v.bytes == v.default_bytes);
      FUZZ_CHECK(v.data_type == e.data_type && v.access == e.access);
      FUZZ_CHECK(v.bytes.size() == e.default_bytes.size());
      if (!e.plus_node_id) {
        FUZZ_CHECK(v.bytes == e.default_bytes);
      } else if (v.bytes.size() < 8) {
        // The low bytes of the sum, whatever the sign: value + node.
        const uint64_t mask = (uint64_t{1} << (8 * v.bytes.size())) - 1;
        FUZZ_CHECK(le_value(v.bytes) == ((le_value(e.default_bytes) + node) & mask));
      } else {
        FUZZ_CHECK(le_value(v.bytes) == le_value(e.default_bytes) + static_cast<uint64_t>(node));
      }
    }
  }
  FUZZ_CHECK(od.size() == entries);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  check_numbers(data, size);
  const std::string text(reinterpret_cast<const char*>(data), size);
  zsim::Eds eds;
  std::string error;
  if (zsim::parse_eds(text, &eds, &error, "fuzz.eds") != 0) {
    FUZZ_CHECK(!error.empty());
    FUZZ_CHECK(error.compare(0, 8, "fuzz.eds") == 0);
    return 0;
  }
  FUZZ_CHECK(!eds.objects.empty());
  FUZZ_CHECK(eds.commissioned_node_id >= 0 && eds.commissioned_node_id <= 127);
  for (const auto& ko : eds.objects) {
    const zsim::EdsObject& o = ko.second;
    FUZZ_CHECK(o.index == ko.first);
    FUZZ_CHECK(!o.entries.empty());
    if (o.object_type == zsim::kVar) {
      FUZZ_CHECK(o.entries.size() == 1 && o.entries.count(0) == 1);
    } else {
      // Sub-index 0 of an ARRAY or RECORD is there, read from the file or
      // made to hold the highest sub-index.
      FUZZ_CHECK(o.entries.count(0) == 1);
    }
    for (const auto& ke : o.entries) {
      FUZZ_CHECK(ke.second.index == o.index && ke.second.subindex == ke.first);
      check_entry(ke.second);
    }
  }
  for (int node : {1, 64, 127}) check_dictionary(eds, node);
  if (eds.commissioned_node_id > 0) check_dictionary(eds, eds.commissioned_node_id);
  return 0;
}
