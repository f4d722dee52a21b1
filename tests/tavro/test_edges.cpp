// The framework layer at the edges of its ranges: the last value inside and
// the first outside of every bound it checks, each with the outcome it gives.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <vector>

#include "d_value.h"
#include "tavro_test.h"

namespace {

using tavro::MessageCapture;

// A container of `type` holding x (an array holds it as its only element).
int fill(EqData& d, int type, double x) {
  const int64_t i = static_cast<int64_t>(x);
  if (type == DATA_FLOAT) return d.set(static_cast<float>(x));
  if (type == DATA_DOUBLE) return d.set(x);
  if (type == DATA_INT) return d.set(static_cast<int>(i));
  if (type == DATA_LONG) return d.set_long(i);
  if (type == DATA_ULONG) return d.set_ulong(static_cast<uint64_t>(i));
  if (type == DATA_SHORT) return d.set_short(static_cast<int16_t>(i));
  if (type == DATA_USHORT) return d.set_ushort(static_cast<uint16_t>(i));
  if (type == DATA_TEXT) return d.set(std::to_string(i));
  if (type == DATA_A_DOUBLE) return d.set_array_double({x});
  return d.set_array(type, {i});
}

// Client writes at the ends of the int range: floating values truncate
// toward zero up to the end and saturate beyond it, NaN is 0; integers keep
// their low 32 bits; shorts extend their sign, unsigned shorts do not.
TEST(TavroEdges, ClientWritesAtTheEndsOfTheIntRange) {
  MessageCapture quiet;
  EqFct loc("LOC");
  D_int p("P", &loc);
  const double nan = std::nan(""), inf = HUGE_VAL;
  // clang-format off
  const struct {
    int type;
    double x;
    int expect;
  } cases[] = {
      {DATA_DOUBLE, 2147483646.0, INT_MAX - 1}, {DATA_DOUBLE, 2147483647.9, INT_MAX},
      {DATA_DOUBLE, 2147483648.0, INT_MAX},     {DATA_DOUBLE, -2147483648.9, INT_MIN},
      {DATA_DOUBLE, -2147483649.0, INT_MIN},    {DATA_FLOAT, 2147483520.0, 2147483520},
      {DATA_FLOAT, 2147483648.0, INT_MAX},      {DATA_FLOAT, -2147483648.0, INT_MIN},
      {DATA_FLOAT, -2147483904.0, INT_MIN},     {DATA_FLOAT, nan, 0},
      {DATA_FLOAT, inf, INT_MAX},               {DATA_FLOAT, -inf, INT_MIN},
      {DATA_A_DOUBLE, nan, 0},                  {DATA_LONG, 2147483647.0, INT_MAX},
      {DATA_LONG, 2147483648.0, INT_MIN},       {DATA_ULONG, 4294967296.0, 0},
      {DATA_SHORT, 32767, 32767},               {DATA_SHORT, -32768, -32768},
      {DATA_USHORT, 65535, 65535},              {DATA_A_SHORT, 0x7FFF, 32767},
      {DATA_A_SHORT, 0x8000, -32768},           {DATA_A_USHORT, 0x10000, 0}};
  // clang-format on
  for (const auto& c : cases) {
    p.set_value(4242);
    EqData in, out;
    fill(in, c.type, c.x);
    EXPECT_EQ(loc.set("P", &in, &out), 0);
    EXPECT_EQ(p.value(), c.expect) << c.type << " " << c.x;
  }
}

// Element k of every container: the last element is read; one past it and
// a negative index give 0 (or no entry), never a neighbour's value.
TEST(TavroEdges, ContainerIndexesAtTheLastElementAndOnePast) {
  std::vector<EqData> d(5);
  d[0].set_array(DATA_A_INT, {1, 2, 3});
  d[1].set_array(DATA_A_SHORT, {1, 2, 3});
  d[2].set_array_float({1, 2, 3});
  d[3].set_array_double({1, 2, 3});
  IIII r{9, 8, 7, 3};
  d[4].set(&r);
  for (size_t k = 0; k < d.size(); ++k) {
    const int last = k == 4 ? 3 : 2;
    EXPECT_EQ(d[k].get_int(last) + d[k].get_long(last), 6) << k;
    for (int out : {last + 1, -1}) EXPECT_EQ(d[k].get_int(out) + d[k].get_long(out), 0) << k;
  }
  EqData u;
  u.set(3, 0.f, 0.f, 0, "c", 2);
  ASSERT_NE(u.get_ustr(2), nullptr);
  EXPECT_EQ(u.get_ustr(2)->i1_data, 3);
  EXPECT_EQ(u.get_ustr(3), nullptr);
  EXPECT_EQ(u.get_ustr(-1), nullptr);
}

// The value property's event buffer in every selector form: an event id
// selects its entry (0 and below select none); a time selects the newest
// entry not after it, to the microsecond; no selector gives the newest.
TEST(TavroEdges, EventSelectorsAndTimeStampsInEachForm) {
  MessageCapture quiet;
  EqFct loc("LOC");
  D_int p("P", &loc, 4);
  p.set_value(10, 1, 100, 500);
  p.set_value(20, 2, 200, 0);
  const int none = -1;  // ERR_NO_DATA
  // clang-format off
  const struct {
    int type;
    std::vector<int64_t> sel;
    int expect;
  } cases[] = {
      {DATA_LONG, {1}, 10},   {DATA_LONG, {3}, none},     {DATA_LONG, {0}, 20},
      {DATA_INT, {1}, 10},    {DATA_INT, {-1}, 20},       {DATA_TEXT, {1}, 20},
      {DATA_A_LONG, {1}, 10}, {DATA_A_LONG, {}, 20},      {DATA_A_LONG, {1, 100, 0, 0}, 20},
      {DATA_A_LONG, {0, 100, 499}, none},  {DATA_A_LONG, {0, 100, 500}, 10},
      {DATA_A_LONG, {0, 199, 999999}, 10}, {DATA_A_LONG, {0, 200}, 20},
      {DATA_A_LONG, {0, 100}, none},       {DATA_IIII, {0, 100, 500}, 10},
      {DATA_IIII, {0, 100, 499}, none}};
  // clang-format on
  for (const auto& c : cases) {
    EqData sel, out;
    auto at = [&c](size_t k) { return k < c.sel.size() ? static_cast<int>(c.sel[k]) : 0; };
    const IIII r{at(0), at(1), at(2), 0};
    if (c.type == DATA_A_LONG) sel.set_array(DATA_A_LONG, c.sel);
    if (c.type == DATA_IIII) sel.set(&r);
    if (c.type != DATA_A_LONG && c.type != DATA_IIII) fill(sel, c.type, at(0));
    loc.get("P", &sel, &out);
    const int got = out.error() == ERR_NO_DATA ? none : out.error() ? -2 : out.get_int();
    EXPECT_EQ(got, c.expect) << c.type << " " << c.sel.size();
  }
  EXPECT_EQ(p.value(0, 100, 500), 10);
  EXPECT_EQ(p.value(0, 100, 499), 20) << "no entry: the current value";
}

// Integer configuration values: whole decimal numbers in the int range,
// with a sign and leading zeros, blanks around them; anything else keeps
// the value and is reported.
TEST(TavroEdges, IntegerConfigurationValuesAtTheirLimitsAndInEachForm) {
  // clang-format off
  const struct {
    const char* line;
    int expect;  // 77: refused, the value kept
  } cases[] = {
      {"2147483647", INT_MAX}, {"2147483648", 77}, {"-2147483648", INT_MIN}, {"-2147483649", 77},
      {"007", 7},              {"-007", -7},       {"+5", 5},                {" \t 5 \t", 5},
      {"0x10", 77},            {"5x", 77},         {"-", 77},                {"1e3", 77},
      {"-0", 0},               {"99999999999999999999", 77}};
  // clang-format on
  for (const auto& c : cases) {
    MessageCapture cap;
    Config cfg;
    ASSERT_EQ(cfg.load_text(std::string("LOCATION LOC\nP\t") + c.line + "\n"), 0) << c.line;
    EqFct loc("LOC");
    loc.set_config(&cfg);
    D_int p("P", &loc);
    p.set_value(77);
    p.read();
    EXPECT_EQ(p.value(), c.expect) << c.line;
    EXPECT_EQ(cap.count("Config", "line 2: P takes"), c.expect == 77 ? 1 : 0) << c.line;
  }
}

}  // namespace
