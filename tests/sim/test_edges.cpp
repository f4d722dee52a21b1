// Every integer data type of an EDS file at the ends of its range: as a
// DefaultValue (the last value inside is encoded, one beyond is refused)
// and as a value written by SDO download (its own length is stored, one
// byte more or less is aborted).
#include <string>

#include "sim_eds.h"
#include "sim_fixture.h"

namespace {

using simtest::abort_frame;
using simtest::F;
using simtest::kNet;

using Int = __int128;

std::string text(Int v) {
  if (v == 0) return "0";
  std::string s;
  const bool neg = v < 0;
  for (unsigned __int128 u = neg ? -static_cast<unsigned __int128>(v) : v; u; u /= 10)
    s.insert(s.begin(), static_cast<char>('0' + static_cast<int>(u % 10)));
  return neg ? "-" + s : s;
}

std::vector<uint8_t> bytes(Int v, int n) {
  std::vector<uint8_t> b;
  for (int k = 0; k < n; ++k) b.push_back(static_cast<uint8_t>(v >> (8 * k)));
  return b;
}

const struct IntType {
  uint16_t code;
  int size;
  bool is_signed;
} kTypes[] = {
    {0x0001, 1, false}, {0x0002, 1, true},  {0x0003, 2, true},  {0x0004, 4, true},
    {0x0005, 1, false}, {0x0006, 2, false}, {0x0007, 4, false}, {0x000C, 6, false},
    {0x000D, 6, false}, {0x0010, 3, true},  {0x0012, 5, true},  {0x0013, 6, true},
    {0x0014, 7, true},  {0x0015, 8, true},  {0x0016, 3, false}, {0x0018, 5, false},
    {0x0019, 6, false}, {0x001A, 7, false}, {0x001B, 8, false},
};

Int lowest(const IntType& t) {
  return t.is_signed ? -(Int{1} << (8 * t.size - 1)) : 0;
}
Int highest(const IntType& t) {
  if (t.code == 0x0001) return 1;
  return t.is_signed ? (Int{1} << (8 * t.size - 1)) - 1 : (Int{1} << (8 * t.size)) - 1;
}

std::string object(uint16_t index, const IntType& t, const std::string& value) {
  char head[64];
  std::snprintf(head, sizeof head, "[%04X]\nDataType=0x%04X\nAccessType=rw\n", index, t.code);
  return head + (value.empty() ? "" : "DefaultValue=" + value + "\n");
}

TEST(SimEdges, DefaultValuesAtTheEndsOfEveryIntegerType) {
  for (const IntType& t : kTypes) {
    SCOPED_TRACE(zsim::data_type_name(t.code));
    zsim::Eds eds;
    std::string err;
    ASSERT_EQ(
        zsim::parse_eds(object(0x2000, t, text(lowest(t))) + object(0x2001, t, text(highest(t))),
                        &eds, &err),
        0)
        << err;
    zsim::ObjectDictionary od;
    ASSERT_EQ(zsim::build_dictionary(eds, 1, &od, &err), 0) << err;
    EXPECT_EQ(od.at(zsim::od_key(0x2000, 0)).bytes, bytes(lowest(t), t.size));
    EXPECT_EQ(od.at(zsim::od_key(0x2001, 0)).bytes, bytes(highest(t), t.size));
    for (Int beyond : {lowest(t) - 1, highest(t) + 1}) {
      EXPECT_EQ(zsim::parse_eds(object(0x2000, t, text(beyond)), &eds, &err), -1) << text(beyond);
      EXPECT_NE(err.find("DefaultValue '" + text(beyond) + "'"), std::string::npos) << err;
    }
    // $NODEID added at build time: the highest value fits for node 1 only
    // when it leaves room for it.
    ASSERT_EQ(zsim::parse_eds(object(0x2000, t, text(highest(t) - 1) + " + $NODEID"), &eds, &err),
              0)
        << err;
    EXPECT_EQ(zsim::build_dictionary(eds, 1, &od, &err), 0) << err;
    EXPECT_EQ(od.at(zsim::od_key(0x2000, 0)).bytes, bytes(highest(t), t.size));
    EXPECT_EQ(zsim::build_dictionary(eds, 2, &od, &err), -1);
    EXPECT_NE(err.find("does not fit"), std::string::npos) << err;
  }
}

class SimEdgesDevice : public simtest::SimTest {};

// A download of exactly the type's length is taken and kept; one byte more
// or less is aborted at the start.
TEST_F(SimEdgesDevice, WrittenValuesOfExactlyTheTypesLength) {
  std::string text_eds;
  for (size_t k = 0; k < std::size(kTypes); ++k)
    text_eds += object(static_cast<uint16_t>(0x2000 + k), kTypes[k], "");
  zsim::Eds eds;
  std::string err;
  ASSERT_EQ(zsim::parse_eds(text_eds, &eds, &err), 0) << err;
  auto dev = zsim::Device::create(kNet, 5, eds, &err);
  ASSERT_TRUE(dev && dev->power_on(0) == 0) << err;
  listen({0x585});
  for (size_t k = 0; k < std::size(kTypes); ++k) {
    const IntType& t = kTypes[k];
    const uint16_t index = static_cast<uint16_t>(0x2000 + k);
    const std::vector<uint8_t> value = bytes(highest(t), t.size);
    take();
    for (int n : {t.size + 1, t.size - 1, t.size}) sdo(5, 0x21, index, 0, static_cast<uint32_t>(n));
    for (size_t at = 0; at < value.size(); at += 7) {  // 7 bytes a segment, toggling
      const size_t n = std::min<size_t>(7, value.size() - at);
      std::vector<uint8_t> seg(8, 0);
      seg[0] = static_cast<uint8_t>((at / 7 % 2) << 4 | (7 - n) << 1 | (at + n == value.size()));
      std::copy(value.begin() + at, value.begin() + at + n, seg.begin() + 1);
      send(0x605, seg);
    }
    const std::vector<F> got = take();
    ASSERT_EQ(got.size(), 3 + (value.size() + 6) / 7) << zsim::data_type_name(t.code);
    EXPECT_EQ(got[0], abort_frame(5, index, 0, 0x06070012)) << zsim::data_type_name(t.code);
    EXPECT_EQ(got[1], abort_frame(5, index, 0, 0x06070013)) << zsim::data_type_name(t.code);
    std::vector<uint8_t> stored;
    ASSERT_TRUE(dev->read_object(index, 0, &stored));
    EXPECT_EQ(stored, value) << zsim::data_type_name(t.code);
  }
}

}  // namespace
