// The framework layer at the edges of its ranges: the last value inside and
// the first outside of every bound it checks, each with the outcome it gives.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <functional>
#include <limits>
#include <vector>

#include "d_value.h"
#include "tavro_test.h"

namespace {

using tavro::MessageCapture;

// Client writes at the ends of the int range: floating values truncate
// toward zero up to the end and saturate beyond it; integers keep their low
// 32 bits; shorts extend their sign, unsigned shorts do not.
TEST(TavroEdges, ClientWritesAtTheEndsOfTheIntRange) {
  MessageCapture quiet;
  EqFct loc("LOC");
  D_int p("P", &loc);
  const float inf = std::numeric_limits<float>::infinity();
  const struct {
    const char* what;
    std::function<void(EqData&)> fill;
    int expect;
  } cases[] = {
      {"double INT_MAX + 0.9", [](EqData& d) { d.set(2147483647.9); }, INT_MAX},
      {"double INT_MAX + 1", [](EqData& d) { d.set(2147483648.0); }, INT_MAX},
      {"double INT_MIN - 0.9", [](EqData& d) { d.set(-2147483648.9); }, INT_MIN},
      {"double INT_MIN - 1", [](EqData& d) { d.set(-2147483649.0); }, INT_MIN},
      {"double INT_MAX - 1", [](EqData& d) { d.set(2147483646.0); }, INT_MAX - 1},
      {"float below 2^31", [](EqData& d) { d.set(2147483520.f); }, 2147483520},
      {"float 2^31", [](EqData& d) { d.set(2147483648.f); }, INT_MAX},
      {"float -2^31", [](EqData& d) { d.set(-2147483648.f); }, INT_MIN},
      {"float below -2^31", [](EqData& d) { d.set(-2147483904.f); }, INT_MIN},
      {"float NaN", [](EqData& d) { d.set(std::nanf("")); }, 0},
      {"float +inf", [inf](EqData& d) { d.set(inf); }, INT_MAX},
      {"float -inf", [inf](EqData& d) { d.set(-inf); }, INT_MIN},
      {"double array NaN", [](EqData& d) { d.set_array_double({std::nan("")}); }, 0},
      {"long INT_MAX", [](EqData& d) { d.set_long(INT_MAX); }, INT_MAX},
      {"long INT_MAX + 1", [](EqData& d) { d.set_long(0x80000000LL); }, INT_MIN},
      {"ulong 2^32", [](EqData& d) { d.set_ulong(0x100000000ULL); }, 0},
      {"short max", [](EqData& d) { d.set_short(32767); }, 32767},
      {"short min", [](EqData& d) { d.set_short(-32768); }, -32768},
      {"ushort max", [](EqData& d) { d.set_ushort(65535); }, 65535},
      {"short array 0x7FFF", [](EqData& d) { d.set_array(DATA_A_SHORT, {0x7FFF}); }, 32767},
      {"short array 0x8000", [](EqData& d) { d.set_array(DATA_A_SHORT, {0x8000}); }, -32768},
      {"ushort array 0x10000", [](EqData& d) { d.set_array(DATA_A_USHORT, {0x10000}); }, 0},
  };
  for (const auto& c : cases) {
    p.set_value(4242);
    EqData in, out;
    c.fill(in);
    EXPECT_EQ(loc.set("P", &in, &out), 0) << c.what;
    EXPECT_EQ(p.value(), c.expect) << c.what;
  }
}

// Element k of every container: the last element is read, one past it and
// a negative index give 0 (or no entry), never a neighbour's value.
TEST(TavroEdges, ContainerIndexesAtTheLastElementAndOnePast) {
  std::vector<EqData> d(6);
  d[0].set_array(DATA_A_INT, {1, 2, 3});
  d[1].set_array(DATA_A_SHORT, {1, 2, 3});
  d[2].set_array_float({1, 2, 3});
  d[3].set_array_double({1, 2, 3});
  IIII r{9, 8, 7, 3};
  d[4].set(&r);
  d[5].set(1, 0.f, 0.f, 0, "a", 0);
  d[5].set(3, 0.f, 0.f, 0, "c", 2);
  const int last[] = {2, 2, 2, 2, 3, 2};
  for (size_t k = 0; k < d.size(); ++k) {
    SCOPED_TRACE(k);
    const int n = last[k];
    if (k == 5) {
      ASSERT_NE(d[k].get_ustr(n), nullptr);
      EXPECT_EQ(d[k].get_ustr(n)->i1_data, 3);
      EXPECT_EQ(d[k].get_ustr(n + 1), nullptr);
      EXPECT_EQ(d[k].get_ustr(-1), nullptr);
      continue;
    }
    EXPECT_EQ(d[k].get_int(n), 3);
    EXPECT_EQ(d[k].get_long(n), 3);
    EXPECT_EQ(d[k].get_int(n + 1), 0);
    EXPECT_EQ(d[k].get_long(n + 1), 0);
    EXPECT_EQ(d[k].get_int(-1), 0);
    EXPECT_EQ(d[k].get_long(-1), 0);
  }
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
  const int none = -1;
  const struct {
    const char* what;
    std::function<void(EqData&)> fill;
    int expect;  // value, or none for ERR_NO_DATA
  } cases[] = {
      {"long event 1", [](EqData& d) { d.set_long(1); }, 10},
      {"long event 3", [](EqData& d) { d.set_long(3); }, none},
      {"long event 0", [](EqData& d) { d.set_long(0); }, 20},
      {"int event 1", [](EqData& d) { d.set(1); }, 10},
      {"int event -1", [](EqData& d) { d.set(-1); }, 20},
      {"array event 1", [](EqData& d) { d.set_array(DATA_A_LONG, {1}); }, 10},
      {"array time 100.499",
       [](EqData& d) {
         d.set_array(DATA_A_LONG, {0, 100, 499});
       },
       none},
      {"array time 100.500",
       [](EqData& d) {
         d.set_array(DATA_A_LONG, {0, 100, 500});
       },
       10},
      {"array time 199.999999",
       [](EqData& d) {
         d.set_array(DATA_A_LONG, {0, 199, 999999});
       },
       10},
      {"array time 200",
       [](EqData& d) {
         d.set_array(DATA_A_LONG, {0, 200});
       },
       20},
      {"array time 100 (usec 0)",
       [](EqData& d) {
         d.set_array(DATA_A_LONG, {0, 100});
       },
       none},
      {"array of 4: no selector",
       [](EqData& d) {
         d.set_array(DATA_A_LONG, {1, 100, 0, 0});
       },
       20},
      {"empty array: no selector", [](EqData& d) { d.set_array(DATA_A_LONG, {}); }, 20},
      {"IIII time 100.500",
       [](EqData& d) {
         IIII s{0, 100, 500, 0};
         d.set(&s);
       },
       10},
      {"IIII time 100.499",
       [](EqData& d) {
         IIII s{0, 100, 499, 0};
         d.set(&s);
       },
       none},
      {"text: no selector", [](EqData& d) { d.set(std::string("1")); }, 20},
  };
  for (const auto& c : cases) {
    EqData sel, out;
    c.fill(sel);
    loc.get("P", &sel, &out);
    if (c.expect == none) {
      EXPECT_EQ(out.error(), ERR_NO_DATA) << c.what;
    } else {
      EXPECT_EQ(out.error(), 0) << c.what;
      EXPECT_EQ(out.get_int(), c.expect) << c.what;
    }
  }
  EXPECT_EQ(p.value(0, 100, 500), 10);
  EXPECT_EQ(p.value(0, 100, 499), 20) << "no entry: the current value";
}

// Integer configuration values: whole decimal numbers in the int range,
// with a sign and leading zeros, blanks around them; anything else keeps
// the value and is reported.
TEST(TavroEdges, IntegerConfigurationValuesAtTheirLimitsAndInEachForm) {
  const struct {
    const char* line;
    int expect;  // 77: refused, the value kept
  } cases[] = {
      {"2147483647", INT_MAX},
      {"2147483648", 77},
      {"-2147483648", INT_MIN},
      {"-2147483649", 77},
      {"007", 7},
      {"-007", -7},
      {"+5", 5},
      {" \t 5 \t", 5},
      {"0x10", 77},
      {"5x", 77},
      {"-", 77},
      {"1e3", 77},
      {"-0", 0},
      {"99999999999999999999", 77},
  };
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
