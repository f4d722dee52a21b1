// The integer value property through its location, as a client reaches it:
// conversions of client writes, reads, multi-reads, change messages, its
// configuration line and archiving into its history.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <functional>
#include <sstream>
#include <vector>

#include "d_value.h"
#include "tavro_test.h"

namespace {

using tavro::MessageCapture;
using tavro::Timestamp;

// A derived property as the node command properties are: its set_value runs
// a side effect.
struct CountingInt : D_int {
  CountingInt(const std::string& pn, EqFct* ef) : D_int(pn, ef) {}
  using D_int::set_value;
  void set_value(int v) override {
    ++calls;
    D_int::set_value(v);
  }
  int calls = 0;
};

struct FlushCountingBuf : std::stringbuf {
  int syncs = 0;
  int sync() override {
    ++syncs;
    return std::stringbuf::sync();
  }
};

int client_write(EqFct& loc, const std::string& prop, EqData& in) {
  EqData out;
  EXPECT_EQ(loc.set(prop, &in, &out), 0);
  D_int* p = dynamic_cast<D_int*>(loc.find_property(prop));
  return p ? p->value() : INT_MIN;
}

uint32_t bits_of(float f) {
  uint32_t b;
  std::memcpy(&b, &f, sizeof b);
  return b;
}

TEST(ValueProperty, ClientWriteOfEveryContainerTypeLandsAsConverted) {
  MessageCapture quiet;
  EqFct loc("LOC");
  D_int p("P some description", &loc);

  struct Case {
    const char* what;
    std::function<void(EqData&)> fill;
    int expect;
  };
  const std::vector<Case> cases = {
      {"int", [](EqData& d) { d.set(-123456); }, -123456},
      {"float 2.9", [](EqData& d) { d.set(2.9f); }, 2},
      {"float -2.9", [](EqData& d) { d.set(-2.9f); }, -2},
      {"double -7.99", [](EqData& d) { d.set(-7.99); }, -7},
      {"bool", [](EqData& d) { d.set_bool(true); }, 1},
      {"short", [](EqData& d) { d.set_short(-2); }, -2},
      {"ushort", [](EqData& d) { d.set_ushort(0xFFFE); }, 65534},
      {"long low bits", [](EqData& d) { d.set_long(0x100000005LL); }, 5},
      {"long negative", [](EqData& d) { d.set_long(-1); }, -1},
      {"uint all ones", [](EqData& d) { d.set_uint(0xFFFFFFFFu); }, -1},
      {"ulong", [](EqData& d) { d.set_ulong(0xFFFFFFFF00000007ULL); }, 7},
      {"float array",
       [](EqData& d) {
         d.set_array_float({3.7f, 9.f});
       },
       3},
      {"double array",
       [](EqData& d) {
         d.set_array_double({-1.5, 4});
       },
       -1},
      {"int array",
       [](EqData& d) {
         d.set_array(DATA_A_INT, {-4, 8});
       },
       -4},
      {"uint array", [](EqData& d) { d.set_array(DATA_A_UINT, {0xFFFFFFFF}); }, -1},
      {"long array",
       [](EqData& d) {
         d.set_array(DATA_A_LONG, {0x100000002LL, 1});
       },
       2},
      {"ulong array", [](EqData& d) { d.set_array(DATA_A_ULONG, {0x80000000LL}); }, INT_MIN},
      {"bool array", [](EqData& d) { d.set_array(DATA_A_BOOL, {7}); }, 1},
      {"short array", [](EqData& d) { d.set_array(DATA_A_SHORT, {0xFFFD}); }, -3},
      {"ushort array", [](EqData& d) { d.set_array(DATA_A_USHORT, {-1}); }, 65535},
      {"empty array", [](EqData& d) { d.set_array(DATA_A_INT, {}); }, 0},
      {"text", [](EqData& d) { d.set(std::string("12")); }, 0},
      {"IIII",
       [](EqData& d) {
         IIII r{9, 9, 9, 9};
         d.set(&r);
       },
       0},
      {"USTR", [](EqData& d) { d.set(9, 1.f, 1.f, 0, "x", 0); }, 0},
      {"empty container", [](EqData&) {}, 0},
      {"code above the table",
       [](EqData& d) {
         d.set(77);
         d.set_type(119);
       },
       0},
      // Out of range floating values saturate instead of being undefined.
      {"huge float", [](EqData& d) { d.set(1e20f); }, INT_MAX},
      {"huge negative double", [](EqData& d) { d.set(-1e300); }, INT_MIN},
      {"NaN", [](EqData& d) { d.set(std::nan("")); }, 0},
  };
  for (const Case& c : cases) {
    p.set_value(4242);
    EqData in;
    c.fill(in);
    EXPECT_EQ(client_write(loc, "P", in), c.expect) << c.what;
  }

  // A client write reaches a derived class's set_value; the event form
  // stores through this class only.
  CountingInt cmd("CMD", &loc);
  EqData in;
  in.set(1);
  client_write(loc, "CMD", in);
  EXPECT_EQ(cmd.calls, 1);
  cmd.set_value(5, 1, 0, 0);
  EXPECT_EQ(cmd.calls, 1);
  EXPECT_EQ(cmd.value(), 5);

  // Without archiving a client write leaves no history behind.
  EXPECT_FALSE(p.archiving());
  EXPECT_EQ(p.history(), nullptr);
  EXPECT_EQ(quiet.count("set_and_archive"), 0);
}

TEST(ValueProperty, ReadGivesTheValueWhateverTheSelectorAndUnknownNamesFail) {
  MessageCapture quiet;
  EqFct loc("LOC");
  D_int p("P", &loc);
  p.set_value(42);

  std::vector<EqData> selectors(6);
  selectors[1].set_array(DATA_A_LONG, {1, 2, 3, 4});
  selectors[2].set_long(99);
  IIII sel{1, 2, 3, 4};
  selectors[3].set(&sel);
  selectors[4].set(7);
  selectors[5].set(std::string("anything"));
  for (size_t k = 0; k < selectors.size(); ++k) {
    EqData out;
    ASSERT_EQ(loc.get("P", &selectors[k], &out), 0);
    EXPECT_EQ(out.type(), DATA_INT) << k;
    EXPECT_EQ(out.get_int(), 42) << k;
    EXPECT_EQ(out.error(), 0) << k;
  }
  EqData out;
  ASSERT_EQ(loc.get("P", nullptr, &out), 0);
  EXPECT_EQ(out.get_int(), 42);

  EqData err;
  EXPECT_EQ(loc.get("NOPE", nullptr, &err), -1);
  EXPECT_EQ(err.error(), ERR_ILL_PROP);
  EqData err2, in;
  in.set(1);
  EXPECT_EQ(loc.set("NOPE", &in, &err2), -1);
  EXPECT_EQ(err2.error(), ERR_ILL_PROP);

  EqData name;
  ASSERT_EQ(loc.get("NAME", nullptr, &name), 0);
  EXPECT_EQ(name.get_string(), "LOC");
}

TEST(ValueProperty, EventBufferSelectsByEventAndFallsBack) {
  MessageCapture quiet;
  EqFct loc("LOC");
  D_int p("P", &loc, 4);
  p.set_value(7, 10, 0, 0);
  p.set_value(9, 11, 0, 0);
  EXPECT_EQ(p.value(), 9);
  EXPECT_EQ(p.value(10, 0, 0), 7);
  EXPECT_EQ(p.value(12, 0, 0), 9);  // unknown event: the current value

  EqData sel, out;
  sel.set_array(DATA_A_LONG, {10});
  loc.get("P", &sel, &out);
  EXPECT_EQ(out.get_int(), 7);
  EqData sel2, out2;
  sel2.set_long(12);
  loc.get("P", &sel2, &out2);
  EXPECT_EQ(out2.error(), ERR_NO_DATA);
  EXPECT_EQ(out2.error_text(), get_error_string(ERR_NO_DATA));

  // The ring keeps the newest four events.
  for (int e = 20; e < 24; ++e) p.set_value(e, e, 0, 0);
  EXPECT_EQ(p.value(10, 0, 0), p.value());
  EXPECT_EQ(p.value(20, 0, 0), 20);
}

TEST(ValueProperty, MultiReadWritesValueOrErrorEntryAtTheCallersIndex) {
  EqFct loc("LOC");
  D_int p("P", &loc);
  tavro::MessageCapture quiet;
  p.set_value(5);

  EqData res;
  int i = 3;
  time_t tm = 1234;
  p.get_multi(nullptr, nullptr, &res, &i, "LOC/P", &tm);
  ASSERT_EQ(res.type(), DATA_USTR);
  EXPECT_EQ(res.length(), 4);
  const USTR* u = res.get_ustr(3);
  ASSERT_NE(u, nullptr);
  EXPECT_EQ(u->i1_data, 5);
  EXPECT_EQ(u->f1_data, 5.f);
  EXPECT_EQ(u->f2_data, 5.f);
  EXPECT_EQ(u->tm, 1234);
  EXPECT_EQ(u->str_data, "LOC/P");

  p.d_error(1);
  i = 0;
  p.get_multi(nullptr, nullptr, &res, &i, "X", &tm);
  u = res.get_ustr(0);
  ASSERT_NE(u, nullptr);
  EXPECT_EQ(u->i1_data, 2147483647);
  EXPECT_EQ(bits_of(u->f1_data), 0x7FC00000u);
  EXPECT_EQ(bits_of(u->f2_data), 0x7FC00000u);
  EXPECT_EQ(u->str_data, "X");
  EXPECT_EQ(res.get_ustr(3)->i1_data, 5);  // other entries stay

  // A selector of another type does not change that; a null address is an
  // empty text.
  EqData sel;
  sel.set(1);
  i = 1;
  p.get_multi(nullptr, &sel, &res, &i, nullptr, &tm);
  EXPECT_EQ(res.get_ustr(1)->i1_data, 2147483647);
  EXPECT_EQ(res.get_ustr(1)->str_data, "");

  // Type 114 reads the event buffer, which this property does not have.
  p.d_error(0);
  sel.set_array(DATA_A_LONG, {1, 2, 3, 4});
  i = 2;
  p.get_multi(nullptr, &sel, &res, &i, "Y", &tm);
  EXPECT_EQ(res.get_ustr(2)->i1_data, 2147483647);
}

TEST(ValueProperty, ChangeMessagesFollowTheSwitchesAndShowTheOldValue) {
  MessageCapture cap;
  EqFct loc("SRV.LOC");
  loc.set_client("alice", "pc7");
  D_int p("P description here", &loc);
  p.set_value(3);
  cap.clear();

  p.set_value(5);
  p.set_value(5);
  auto m = cap.messages();
  ASSERT_EQ(m.size(), 2u);
  EXPECT_EQ(m[0].first, "SRV.LOC");
  EXPECT_EQ(m[0].second, "D_value: P changed from 3 to 5 by alice@pc7");
  EXPECT_EQ(m[1].second, "D_value: P changed from 5 to 5 by alice@pc7");

  cap.clear();
  D_int q("Q", nullptr);
  q.set_value(-5);
  m = cap.messages();
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0].first, "D_value");
  EXPECT_EQ(m[0].second, "D_value: Q changed from 0 to -5");

  // Switched off: silent, but the value and its time stamp still change.
  cap.clear();
  D_int r("R", &loc);
  r.set_service(0);
  EXPECT_TRUE(r.stamp().is_epoch());
  r.set_value(8);
  EXPECT_EQ(r.value(), 8);
  EXPECT_FALSE(r.stamp().is_epoch());
  r.set_service(1);
  r.set_logging(false);
  r.set_value(9);
  EXPECT_EQ(r.value(), 9);
  EXPECT_TRUE(cap.messages().empty());
}

TEST(ValueProperty, ConfigurationLineAndReadBack) {
  MessageCapture cap;
  EqFct loc("LOC");
  D_int p("P.BAUDRATE default 6 == 125KB ", &loc);
  p.set_value(-7);

  FlushCountingBuf buf;
  std::ostream os(&buf);
  p.write(os);
  EXPECT_EQ(buf.str(), "P.BAUDRATE\t-7\n");
  EXPECT_GE(buf.syncs, 1);
  EXPECT_EQ(p.last_dump(), "\t-7\n");

  // No configuration, or one without a line for it: the value stays.
  p.read();
  EXPECT_EQ(p.value(), -7);
  Config c;
  c.load_text("LOCATION LOC\nOTHER 1\n");
  loc.set_config(&c);
  D_conf_struct* rec = p.find_prop_name();
  ASSERT_NE(rec, nullptr);
  EXPECT_FALSE(rec->found);
  p.read();
  EXPECT_EQ(p.value(), -7);

  // A line: the value is taken without message or time stamp.
  D_int q("Q", &loc);
  c.load_text("LOCATION LOC\nQ\t12\n");
  cap.clear();
  q.read();
  EXPECT_EQ(q.value(), 12);
  EXPECT_TRUE(cap.messages().empty());
  EXPECT_TRUE(q.stamp().is_epoch());

  // conf registers the property as an integer entry.
  q.conf(&c);
  EXPECT_EQ(c.inserted().at("Q"), DATA_INT);
  EXPECT_EQ(q.data_type(), DATA_INT);
}

TEST(ValueArchive, FirstArchivedValueCreatesTheHistoryOnce) {
  MessageCapture cap;
  EqFct loc("SRV.LOC");
  Config c;
  c.load_text("LOCATION SRV.LOC\nP.HIST.1 17\nP.HIST.4 9\nP.HIST.5 11\n");
  loc.set_config(&c);
  D_int p("P the value", &loc);

  const Timestamp ts(1700000000LL * 1000000000LL + 123456789LL);
  EXPECT_EQ(p.set_and_archive(4, sts_ok, ts, tavro::EventId()), 0);
  EXPECT_EQ(cap.count("set_and_archive"), 1);
  EXPECT_EQ(cap.count("set_and_archive",
                      "WARNING - postponed archiver setup - use correct constructor for "
                      "<SRV.LOC> <P>"),
            1);
  EXPECT_TRUE(p.archiving());
  D_hist* h = p.history();
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->name(), "P.HIST history");
  EXPECT_EQ(h->filepref(), "");
  EXPECT_EQ(h->kind(), 1001);
  EXPECT_EQ(h->rblen(), 200000);
  EXPECT_EQ(h->loghist(), 0);
  EXPECT_EQ(h->auto_inits(), 1);
  ASSERT_EQ(h->entries().size(), 1u);
  EXPECT_EQ(h->entries()[0].value, 4);
  EXPECT_EQ(h->entries()[0].status, sts_ok);
  EXPECT_EQ(h->entries()[0].sec, 1700000000u);
  EXPECT_EQ(h->entries()[0].msec, 123u);
  EXPECT_EQ(p.value_time(), ts);
  EXPECT_EQ(p.value(), 4);

  // Children 1 to 3 and 5 come from the configuration; child 4 does not.
  auto child = [&](const char* n) {
    EqData out;
    EXPECT_EQ(loc.get(n, nullptr, &out), 0) << n;
    return out.get_int();
  };
  EXPECT_EQ(child("P.HIST.1"), 17);
  EXPECT_EQ(child("P.HIST.4"), 0);
  EXPECT_EQ(child("P.HIST.5"), 11);

  // From now on client writes archive too, with the container's status and
  // time; no second warning.
  EqData in, out;
  in.set(6);
  in.error(1, "bad");
  in.set_timestamp(Timestamp(1700000100LL * 1000000000LL));
  loc.set("P", &in, &out);
  EXPECT_EQ(cap.count("set_and_archive"), 1);
  ASSERT_EQ(h, p.history());
  ASSERT_EQ(h->entries().size(), 2u);
  EXPECT_EQ(h->entries()[1].value, 6);
  EXPECT_EQ(h->entries()[1].status, sts_err);
  EXPECT_EQ(h->entries()[1].sec, 1700000100u);
  EXPECT_EQ(h->entries()[1].msec, 0u);
  // The archived write sets the value twice: the second message shows the
  // new value as old and new.
  EXPECT_EQ(cap.count("SRV.LOC", "changed from 6 to 6"), 1);

  p.auto_init();
  EXPECT_EQ(h->auto_inits(), 2);
  p.set_dynamic(3);
  p.conf_process(&loc, 0);
  EXPECT_EQ(h->dynamic(), 3);
}

TEST(ValueArchive, NothingIsArchivedWithoutModeNameOrLocation) {
  MessageCapture cap;
  EqFct loc("LOC");
  D_int p("P", &loc);
  tavro::set_arch_mode(0);
  EXPECT_EQ(p.set_and_archive(3, sts_ok, Timestamp(), tavro::EventId()), -1);
  tavro::set_arch_mode(1);
  EXPECT_EQ(p.value(), 3);
  EXPECT_EQ(p.history(), nullptr);
  EXPECT_FALSE(p.archiving());
  EXPECT_TRUE(p.value_time().is_epoch());
  EXPECT_EQ(cap.count("set_and_archive"), 0);

  D_int bad(" P", &loc);  // empty base name
  EXPECT_TRUE(bad.get_badname());
  EXPECT_EQ(bad.set_and_archive(3, sts_ok, Timestamp(), tavro::EventId()), -1);
  EXPECT_EQ(bad.history(), nullptr);

  // Without a location: the value is set, one warning names the property,
  // no history under a made-up name.
  D_int lone("LONE", nullptr);
  EXPECT_EQ(lone.set_and_archive(8, sts_ok, Timestamp(), tavro::EventId()), -1);
  EXPECT_EQ(lone.set_and_archive(9, sts_ok, Timestamp(), tavro::EventId()), -1);
  EXPECT_EQ(lone.value(), 9);
  EXPECT_EQ(lone.history(), nullptr);
  EXPECT_EQ(cap.count("set_and_archive", "<LONE>"), 1);
}

TEST(ValueArchive, TimeComesFromStampThenGlobalThenSystemClock) {
  MessageCapture quiet;
  EqFct loc("LOC");
  D_int p("P", &loc);

  tavro::set_global_timestamp(Timestamp(1600000000LL * 1000000000LL + 999999999LL));
  ASSERT_EQ(p.set_and_archive(1, sts_ok, Timestamp(), tavro::EventId()), 0);
  tavro::set_global_timestamp(Timestamp());
  EXPECT_EQ(p.history()->entries().back().sec, 1600000000u);
  EXPECT_EQ(p.history()->entries().back().msec, 999u);

  const Timestamp before = Timestamp::now();
  ASSERT_EQ(p.set_and_archive(2, sts_offline, Timestamp(), tavro::EventId()), 0);
  const Timestamp after = Timestamp::now();
  EXPECT_GE(p.value_time().t_, before.t_);
  EXPECT_LE(p.value_time().t_, after.t_);
  const auto sm = p.value_time().get_seconds_and_microseconds_since_epoch();
  EXPECT_EQ(p.history()->entries().back().sec, static_cast<unsigned>(sm.seconds));
  EXPECT_EQ(p.history()->entries().back().msec, static_cast<unsigned>(sm.microseconds / 1000));
  EXPECT_EQ(p.history()->entries().back().status, sts_offline);
}

TEST(History, KeepsTheNewestEntriesAndReportsTheDrop) {
  D_hist h(nullptr, "H.HIST", "", 1001, 2, 0);
  int err = -5;
  EXPECT_EQ(h.fill_hist(1, sts_ok, 10, 0, &err), 0);
  EXPECT_EQ(err, 0);
  h.fill_hist(2, sts_ok, 11, 0, &err);
  EXPECT_EQ(h.fill_hist(3, sts_err, 12, 5, &err), ERR_HIST_FULL);
  EXPECT_EQ(err, ERR_HIST_FULL);
  ASSERT_EQ(h.entries().size(), 2u);
  EXPECT_EQ(h.entries()[0].value, 2);
  EXPECT_EQ(h.entries()[1].value, 3);

  EqData out;
  h.get(nullptr, nullptr, &out, nullptr);
  ASSERT_EQ(out.length(), 2);
  EXPECT_EQ(out.get_ustr(1)->i1_data, 3);
  EXPECT_EQ(out.get_ustr(1)->tm, 12);
  EXPECT_EQ(h.get_p_prop(0), nullptr);
  EXPECT_EQ(h.get_p_prop(6), nullptr);
  ASSERT_NE(h.get_p_prop(5), nullptr);
  EXPECT_EQ(h.get_p_prop(5)->basename(), "H.HIST.5");
}

}  // namespace

// Only a container of type 14 holds a record: any other gives none, and the
// IIII property answers such a write with the error for a wrong type and
// keeps its value.
TEST(IiiiProperty, WriteWithoutARecordChangesNothing) {
  EqFct loc("LOC");
  D_iiii p("SEL selection", &loc);
  const IIII v{1, 2, 3, 4};
  EqData in, out;
  in.set(&v);
  ASSERT_NE(in.get_iiii(), nullptr);
  EXPECT_EQ(loc.set("SEL", &in, &out), 0);
  EXPECT_EQ(out.error(), 0);

  std::vector<EqData> others(4);
  others[0].set(7);
  others[1].set(std::string("5 6 7 8"));
  others[2].set_array(DATA_A_INT, {5, 6, 7, 8});
  // others[3] stays empty
  for (EqData& o : others) {
    EXPECT_EQ(o.get_iiii(), nullptr) << o.type();
    EqData res;
    EXPECT_EQ(loc.set("SEL", &o, &res), 0);
    EXPECT_EQ(res.error(), ERR_ILL_TYPE) << o.type();
    EXPECT_EQ(res.error_text(), get_error_string(ERR_ILL_TYPE));
  }
  EXPECT_EQ(get_error_string(ERR_ILL_TYPE), "illegal data type");
  const IIII* now = p.value();
  EXPECT_EQ(now->i1_data, 1);
  EXPECT_EQ(now->i2_data, 2);
  EXPECT_EQ(now->i3_data, 3);
  EXPECT_EQ(now->i4_data, 4);
}
