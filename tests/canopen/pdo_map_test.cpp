// The PDO mapping model without a bus: every data type decoded and encoded
// at its place in the frame, bit-sized entries, the checks that refuse a
// mapping, and PDO parameters read from an EDS or DCF.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "D_zuntal.h"
#include "tavro_test.h"

namespace {

struct TypeCase {
  uint16_t type;
  int bits;
  std::vector<uint8_t> bytes;  // the entry's bytes in the frame, little-endian
  const char* text;
};

// Each case sits after a 3-bit entry, so no value starts on a byte boundary.
TEST(PdoMap, EveryTypeDecodesAndEncodesInPlace) {
  const TypeCase cases[] = {
      {PDO_BOOLEAN, 1, {0x01}, "1"},
      {PDO_INTEGER8, 8, {0x80}, "-128"},
      {PDO_UNSIGNED8, 8, {0xFF}, "255"},
      {PDO_INTEGER16, 16, {0xFE, 0xFF}, "-2"},
      {PDO_UNSIGNED16, 16, {0x34, 0x12}, "4660"},
      {PDO_INTEGER24, 24, {0x00, 0x00, 0x80}, "-8388608"},
      {PDO_UNSIGNED24, 24, {0xFF, 0xFF, 0xFF}, "16777215"},
      {PDO_INTEGER32, 32, {0xFF, 0xFF, 0xFF, 0x7F}, "2147483647"},
      {PDO_UNSIGNED32, 32, {0x78, 0x56, 0x34, 0x12}, "305419896"},
      {PDO_REAL32, 32, {0x00, 0x00, 0x3C, 0x42}, "47"},
      {PDO_INTEGER40, 40, {0, 0, 0, 0, 0x80}, "-549755813888"},
      {PDO_UNSIGNED48, 48, {1, 0, 0, 0, 0, 0x80}, "140737488355329"},
      {PDO_INTEGER56, 56, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, "-1"},
      {PDO_UNSIGNED56, 56, {0, 0, 0, 0, 0, 0, 0x01}, "281474976710656"},
      {PDO_INTEGER8, 4, {0x08}, "-8"},  // bit-sized: the sign bit is its top bit
      {PDO_UNSIGNED16, 12, {0xFF, 0x0F}, "4095"},
  };
  for (const TypeCase& c : cases) {
    pdo_map m;
    m.number = 1;
    m.entries = {{0x2000, 1, 3, PDO_UNSIGNED8, "head"}, {0x2001, 0, uint8_t(c.bits), c.type, "v"}};
    ASSERT_EQ("", m.check()) << c.text;
    uint64_t field = 0;
    for (size_t i = 0; i < c.bytes.size(); ++i) field |= uint64_t{c.bytes[i]} << (8 * i);
    const uint64_t word = 0x5 | field << 3;
    uint8_t frame[8];
    for (int i = 0; i < 8; ++i) frame[i] = uint8_t(word >> (8 * i));
    const int len = (3 + c.bits + 7) / 8;
    pdo_value v[2];
    ASSERT_TRUE(D_canpdo::decode(m, frame, len, v)) << c.text;
    EXPECT_EQ(5u, v[0].as_uint());
    EXPECT_EQ(c.text, v[1].text()) << pdo_type_name(c.type);
    uint8_t back[8];
    EXPECT_EQ(len, D_canpdo::encode(m, v, 2, back));
    EXPECT_EQ(0, std::memcmp(frame, back, size_t(len))) << c.text;
    EXPECT_FALSE(D_canpdo::decode(m, frame, len - 1, v)) << "a frame shorter than its mapping";
  }
  // The 64-bit types fill a frame alone.
  pdo_map m;
  m.number = 512;
  for (uint16_t t : {PDO_INTEGER64, PDO_UNSIGNED64, PDO_REAL64}) {
    m.entries = {{0x2000, 0, 64, t, ""}};
    const pdo_value v = t == PDO_REAL64 ? pdo_value::of_real(t, -0.125) : pdo_value::of_int(t, -3);
    uint8_t f[8];
    ASSERT_EQ(8, D_canpdo::encode(m, &v, 1, f));
    pdo_value d;
    ASSERT_TRUE(D_canpdo::decode(m, f, 8, &d));
    EXPECT_EQ(t == PDO_REAL64      ? "-0.125"
              : t == PDO_INTEGER64 ? "-3"
                                   : "18446744073709551613",
              d.text());
  }
}

TEST(PdoMap, BadMappingsAreRefusedWithTheirReason) {
  pdo_map ok;
  ok.number = 512;
  ok.entries = {{0x2000, 0, 32, PDO_REAL32, ""}, {0x2001, 0, 32, PDO_UNSIGNED32, ""}};
  EXPECT_EQ("", ok.check());
  struct Bad {
    int number;
    pdo_entry extra;
    const char* why;
  } bad[] = {
      {0, {}, "PDO number 0 is outside 1 to 512"},
      {513, {}, "PDO number 513 is outside 1 to 512"},
      {1, {0x2002, 0, 1, PDO_BOOLEAN, ""}, "the entries map 65 bits, more than the 64 of a frame"},
      {1, {0x2002, 0, 8, 0x0009, ""}, "object 0x2002/0 has type 0x0009, which a PDO cannot carry"},
      {1,
       {0x2002, 3, 9, PDO_UNSIGNED8, ""},
       "object 0x2002/3 is mapped with 9 bits, its UNSIGNED8 has 8"},
  };
  for (const Bad& b : bad) {
    pdo_map m = ok;
    m.number = b.number;
    if (b.extra.index) m.entries.push_back(b.extra);
    EXPECT_EQ(b.why, m.check());
  }
}

// A DCF's ParameterValue wins over the DefaultValue; $NODEID terms take the
// node's id; a mapping of an object the file lacks refuses the whole file.
TEST(PdoMap, ParametersFromAnEdsOrDcf) {
  const std::string path = testing::TempDir() + "pdo_map_test.dcf";
  auto write = [&](const std::string& extra) {
    std::ofstream(path) << "[1800sub1]\nDefaultValue=$NODEID+0x180\nParameterValue=0x80000281\n"
                           "[1800sub2]\nDefaultValue=1\n[1800sub5]\nDefaultValue=250\n"
                           "[1A00sub0]\nDefaultValue=2\n[1A00sub1]\nDefaultValue=0x60000108\n"
                           "[1A00sub2]\nDefaultValue=0x00050008\n"
                           "[6000sub1]\nParameterName=Inputs\nDataType=0x0005\n"
                           "[1400sub1]\nDefaultValue=0x200 + $NODEID\n[1600sub0]\nDefaultValue=1\n"
                        << extra;
  };
  tavro::MessageCapture quiet;  // the node property's change messages
  EqFct loc{"PDOMAP"};
  D_can can("NODE", &loc);
  IIII a{1, 9, 0, 0};
  can.set_value(&a);
  D_canpdo p("NODE.PDO", &can, &loc);
  write("[1600sub1]\nDefaultValue=0x62000108\n[6200sub1]\nDataType=0x0005\n");
  ASSERT_EQ(0, p.load_eds(path)) << p.error();
  pdo_map t, r;
  ASSERT_TRUE(p.mapping(true, 1, &t));
  EXPECT_EQ(0x80000281u, t.cob_id);
  EXPECT_FALSE(t.enabled());
  EXPECT_EQ(1, t.trans_type);
  EXPECT_EQ(250, t.event_ms);
  ASSERT_EQ(2u, t.entries.size());
  EXPECT_EQ("Inputs", t.entries[0].name);
  EXPECT_EQ(PDO_UNSIGNED8, t.entries[1].type) << "a dummy entry names its type";
  ASSERT_TRUE(p.mapping(false, 1, &r));
  EXPECT_EQ(0x209, r.id());
  write("[1600sub1]\nDefaultValue=0x62000108\n");
  EXPECT_EQ(-1, p.load_eds(path));
  EXPECT_NE(std::string::npos,
            p.error().find("RPDO1 maps object 0x6200/1, which the dictionary lacks"))
      << p.error();
  ASSERT_TRUE(p.mapping(false, 1, &r)) << "the mappings stay as they were";
  std::remove(path.c_str());
}

}  // namespace
