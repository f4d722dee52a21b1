// Every integer data type of an EDS file at the ends of its range: as a
// DefaultValue (the last value inside is encoded, one beyond is refused)
// and as a value written by SDO download (its own length is stored, one
// byte more or less is aborted).
#include <string>

#include "sim_eds.h"
#include "sim_fixture.h"

namespace {

using simtest::abort_frame;
using simtest::answer;
using simtest::F;
using simtest::kNet;

using Int = __int128;

std::string text(Int v) {
  const auto u = static_cast<unsigned __int128>(v < 0 ? -v : v);
  const std::string high = u >> 64 ? std::to_string(uint64_t(u / 10)) : "";
  return (v < 0 ? "-" : "") + high + std::to_string(uint64_t(high.empty() ? u : u % 10));
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

// A download of exactly the type's length is taken; one byte more or less
// is aborted at the start.
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
  take();
  for (size_t k = 0; k < std::size(kTypes); ++k) {
    const IntType& t = kTypes[k];
    const uint16_t index = static_cast<uint16_t>(0x2000 + k);
    for (int n : {t.size + 1, t.size - 1, t.size}) sdo(5, 0x21, index, 0, static_cast<uint32_t>(n));
    EXPECT_EQ(
        take(),
        (std::vector<F>{abort_frame(5, index, 0, 0x06070012), abort_frame(5, index, 0, 0x06070013),
                        answer(5, {0x60, uint8_t(index), uint8_t(index >> 8), 0, 0, 0, 0, 0})}))
        << zsim::data_type_name(t.code);
  }
}

}  // namespace
