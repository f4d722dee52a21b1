// Process data end to end: the PDO companion and the SYNC producer of the
// library against simulated devices made from the example EDS files, on the
// plain simulated net and on the timed net at 125 kbit/s.
#include <condition_variable>
#include <cstring>
#include <string>
#include <vector>

#include "sim_fixture.h"

namespace {

const std::string kExamples = ZUNTAL_EXAMPLES_DIR;

std::vector<uint8_t> real32(float f) {
  std::vector<uint8_t> b(4);
  std::memcpy(b.data(), &f, 4);
  return b;
}

class PdoSim : public cotest::SimFixture {
 protected:
  void TearDown() override {
    pdos_.clear();
    SimFixture::TearDown();
  }

  D_canpdo* pdo(D_can* n) {
    pdos_.push_back(std::make_unique<D_canpdo>(n->basename() + ".PDO", n, &loc_));
    return pdos_.back().get();
  }

  // One update cycle `dt_us` after the last: devices and framework clock move on.
  void cycle(int64_t dt_us = 1000) {
    t_ += dt_us;
    clock_.advance_us(dt_us);
    bus_->advance_to(t_);
    can_looping();
  }

  std::vector<std::unique_ptr<D_canpdo>> pdos_;
  int64_t t_ = 0;
};

// The three example devices: mappings from the EDS and by SDO, event-driven,
// synchronous and acyclic TPDOs decoded with their time, RPDOs at once and
// at the SYNC, and values that came and went untaken.
TEST_F(PdoSim, ExampleDevicesServeAndTakeTheirProcessData) {
  zsim::Device* zps = add(5, "zps48.eds");
  zsim::Device* zmc = add(12, "zmc200.eds");
  zsim::Device* zio = add(0x20, "zio8.eds");
  D_can* psu = node("PSU", 1, 5, 0x585);
  D_can* motor = node("MOTOR", 1, 12, 0x58C);
  D_can* crate = node("CRATE", 1, 0x20, 0x5A0);
  D_canpdo* p_psu = pdo(psu);
  D_canpdo* p_motor = pdo(motor);
  D_canpdo* p_crate = pdo(crate);
  ASSERT_EQ(0, p_psu->load_eds(kExamples + "/zps48.eds")) << p_psu->error();
  ASSERT_EQ(0, p_motor->read_mappings(kExamples + "/zmc200.eds")) << p_motor->error();
  ASSERT_EQ(0, p_crate->read_mappings()) << p_crate->error();  // types by length: UNSIGNED8
  pdo_map by_sdo, t1;
  ASSERT_TRUE(p_motor->mapping(true, 1, &by_sdo));
  EXPECT_EQ(0x18C, by_sdo.id());
  EXPECT_EQ(1, by_sdo.trans_type);
  ASSERT_EQ(2u, by_sdo.entries.size());
  EXPECT_EQ(PDO_INTEGER32, by_sdo.entries[0].type);
  EXPECT_EQ("Statusword", by_sdo.entries[1].name);
  ASSERT_TRUE(p_crate->mapping(true, 1, &t1));
  EXPECT_EQ(PDO_UNSIGNED8, t1.entries[1].type);
  for (D_can* n : {psu, motor, crate}) ASSERT_EQ(0, n->start_node());
  // No SYNC on the line yet: an RPDO that would wait for one is refused.
  EXPECT_EQ(-1, p_motor->send_rpdo(1, {pdo_value::of_int(PDO_INTEGER32, 1)}, true));
  ASSERT_EQ(0, can_sync(1, 10000, 4));
  cycle();  // enables the TPDO identifiers and sends the first SYNC
  cycle();
  pdo_sample s;
  ASSERT_EQ(1, p_motor->take(1, &s));
  EXPECT_EQ(-1500, s.values[0].as_int());
  EXPECT_EQ(0x0250u, s.values[1].as_uint());
  EXPECT_EQ(clock_.now_us(), s.time_us);
  EXPECT_EQ(0, p_motor->take(1, &s)) << "taken already";

  EXPECT_EQ("TPDO1: Output voltage measured=- Output current measured=-", shown("PSU.PDO"))
      << "no frame of it yet";

  // Event-driven: a new measured voltage goes out at once.
  zps->write_object(0x2005, 0, real32(47.25f));
  zps->write_object(0x2001, 0, real32(-3.5f));
  cycle();
  ASSERT_EQ(1, p_psu->take(1, &s));
  EXPECT_EQ(47.25, s.values[0].as_double());
  EXPECT_EQ(-3.5, s.values[1].as_double());
  EXPECT_EQ(1u, s.overwritten) << "the first change came and went untaken";
  EXPECT_EQ("TPDO1: Output voltage measured=47.25 Output current measured=-3.5", shown("PSU.PDO"));

  // RPDOs: the set-point at once, the target position with the next SYNC.
  ASSERT_EQ(0, p_psu->send_rpdo(1, {pdo_value::of_real(PDO_REAL32, 30.5)}));
  std::vector<uint8_t> b;
  ASSERT_TRUE(zps->read_object(0x2000, 0, &b));
  EXPECT_EQ(real32(30.5f), b);
  // Shorter than its mapping: not processed, the device reports it.
  unsigned char two[2] = {1, 2};
  ASSERT_EQ(0, psu->AddIdent(0x85));
  ASSERT_EQ(0, psu->can_write(0x205, 2, two));
  cycle();
  CMSG rx[100];
  int n = 0;
  ASSERT_EQ(0, psu->can_array(rx, &n));
  ASSERT_EQ(1, n);
  EXPECT_EQ("85#10 82 00 00 00 00 00 00", cotest::text(rx[0]));
  ASSERT_TRUE(zps->read_object(0x2000, 0, &b));
  EXPECT_EQ(real32(30.5f), b);
  ASSERT_EQ(0, p_motor->send_rpdo(1, {pdo_value::of_int(PDO_INTEGER32, -70000)}, true));
  cycle(5000);  // the SYNC is not due yet
  ASSERT_TRUE(zmc->read_object(0x607A, 0, &b));
  EXPECT_EQ((std::vector<uint8_t>{0, 0, 0, 0}), b);
  cycle(5000);
  ASSERT_TRUE(zmc->read_object(0x607A, 0, &b));
  EXPECT_EQ((std::vector<uint8_t>{0x90, 0xEE, 0xFE, 0xFF}), b);
  char text[8] = {};
  int len = 0;
  ASSERT_EQ(0, motor->segSdoRead(12, 0x607A, 0, text, 8, &len));  // visible by SDO as well
  EXPECT_EQ(4, len);
  EXPECT_EQ(2u, can_sync_count(1));

  // Inputs with an inhibit time of 10 ms: a second change within it waits.
  zio->write_object(0x6000, 1, {0x81});
  zio->write_object(0x6000, 1, {0x82});
  cycle();
  ASSERT_EQ(1, p_crate->take(1, &s));
  EXPECT_EQ(0x81u, s.values[0].as_uint());
  cycle(8000);
  EXPECT_EQ(0, p_crate->take(1, &s));
  cycle(1000);
  ASSERT_EQ(1, p_crate->take(1, &s));
  EXPECT_EQ(0x82u, s.values[0].as_uint());
  // Outputs by RPDO, refused when the values do not fit the mapping.
  ASSERT_EQ(0, p_crate->send_rpdo(1, {pdo_value::of_uint(PDO_UNSIGNED8, 0xA5),
                                      pdo_value::of_uint(PDO_UNSIGNED8, 0x0F)}));
  ASSERT_TRUE(zio->read_object(0x6200, 2, &b));
  EXPECT_EQ(std::vector<uint8_t>{0x0F}, b);
  EXPECT_EQ(-1, p_crate->send_rpdo(1, {pdo_value::of_uint(PDO_UNSIGNED8, 1)}));
  EXPECT_EQ(-1, p_crate->send_rpdo(2, {}));
  EXPECT_EQ("RPDO2 has no mapping", p_crate->error());
}

// Mappings written by SDO: the next TPDO carries the new one; a mapping the
// device refuses, or the library refuses before asking, leaves the old one
// working.
TEST_F(PdoSim, MappingsWrittenBySdo) {
  zsim::Device* zps = add(5, "zps48.eds");
  D_can* psu = node("PSU", 1, 5, 0x585);
  D_canpdo* p = pdo(psu);
  ASSERT_EQ(0, p->load_eds(kExamples + "/zps48.eds"));
  ASSERT_EQ(0, psu->start_node());
  pdo_map m;
  ASSERT_TRUE(p->mapping(true, 1, &m));
  m.entries = {{0x2003, 0, 16, PDO_INTEGER16, "temperature"},
               {0x2002, 0, 1, PDO_BOOLEAN, "enable"},
               {0x2001, 0, 32, PDO_REAL32, "current"}};
  ASSERT_EQ(0, p->write_mapping(m)) << p->error();
  cycle();
  zps->write_object(0x2003, 0, {0xF6, 0xFF});  // -10
  zps->write_object(0x2002, 0, {1});
  cycle();
  pdo_sample s;
  ASSERT_EQ(1, p->take(1, &s));
  ASSERT_EQ(3u, s.values.size());
  EXPECT_EQ(-10, s.values[0].as_int());
  EXPECT_EQ(1u, s.values[1].as_uint());
  EXPECT_EQ(0.0, s.values[2].as_double());
  std::vector<uint8_t> b;
  ASSERT_TRUE(zps->read_object(0x1A00, 0, &b));
  EXPECT_EQ(std::vector<uint8_t>{3}, b);

  // While the PDO is enabled, the device takes no mapping change.
  const char zero = 0;
  EXPECT_EQ(-1, psu->segSdoWrite(5, 0x1A00, 0, &zero, 1));
  EXPECT_EQ(0x06010000u, psu->sdo_abort_code());

  struct Bad {
    pdo_map m;
    const char* error;
  };
  pdo_map label = m, wide = m, typeless = m, number = m;
  label.entries = {{0x2004, 0, 8, PDO_UNSIGNED8, "label"}};  // a string on the device
  wide.entries.push_back({0x2000, 0, 32, PDO_REAL32, "set-point"});
  typeless.entries[0].type = 0x0009;
  number.number = 513;
  for (const Bad& bad :
       {Bad{label, "TPDO1: 0x1A00/1: the node refused: object cannot be mapped to the PDO"},
        Bad{wide, "TPDO1: the entries map 81 bits, more than the 64 of a frame"},
        Bad{typeless, "TPDO1: object 0x2003/0 has type 0x0009, which a PDO cannot carry"},
        Bad{number, "TPDO513: PDO number 513 is outside 1 to 512"}}) {
    EXPECT_EQ(-1, p->write_mapping(bad.m));
    EXPECT_EQ(0u, p->error().find(bad.error)) << p->error();
    zps->write_object(0x2003, 0, {0x07, 0x00});
    cycle();
    ASSERT_EQ(1, p->take(1, &s)) << bad.error;
    EXPECT_EQ(7, s.values[0].as_int()) << bad.error;
    zps->write_object(0x2003, 0, {0x00, 0x00});
    cycle();
    p->take(1, &s);
  }
  EXPECT_EQ(-1, p->load_eds(kExamples + "/missing.eds"));
  ASSERT_TRUE(p->mapping(true, 1, &m));
  EXPECT_EQ(3u, m.entries.size()) << "a refused mapping is never half applied";

  // Registered again on a new handle, the node gets its TPDO identifiers back.
  const NTCAN_HANDLE old = psu->handle();
  ASSERT_EQ(0, with_clock_running([&] {
              psu->dellist();
              psu->can_close();
              return psu->init(0x585);
            }));
  ASSERT_NE(old, psu->handle());
  cycle();
  zps->write_object(0x2003, 0, {0x09, 0x00});
  cycle();
  ASSERT_EQ(1, p->take(1, &s));
  EXPECT_EQ(9, s.values[0].as_int());

  // Acyclic synchronous: a change goes out with the next SYNC.
  m.trans_type = 0;
  ASSERT_EQ(0, p->write_mapping(m));
  zps->write_object(0x2003, 0, {0x05, 0x00});
  cycle();
  EXPECT_EQ(0, p->take(1, &s));
  ASSERT_EQ(0, can_sync(1, 1000));
  cycle();
  cycle();
  ASSERT_EQ(1, p->take(1, &s));
  EXPECT_EQ(5, s.values[0].as_int());
}

// 10,000 SYNCs on the timed net at 125 kbit/s: every synchronous TPDO is
// sent once after its SYNC (type 1 each, type 3 every third) and decoded
// once in the next cycle; the event timer of 1000 ms holds within a cycle.
TEST_F(PdoSim, TenThousandSyncsOnTheTimedNet) {
  zsim::Device* m12 = add(12, "zmc200.eds");
  zsim::Device* m13 = add(13, "zmc200.eds");
  add(0x20, "zio8.eds");
  D_can* a = node("A", 1, 12, 0x58C);
  D_can* b = node("B", 1, 13, 0x58D);
  D_can* c = node("C", 1, 0x20, 0x5A0);
  D_canpdo* pa = pdo(a);
  D_canpdo* pb = pdo(b);
  D_canpdo* pc = pdo(c);
  ASSERT_EQ(0, pa->load_eds(kExamples + "/zmc200.eds"));
  ASSERT_EQ(0, pb->load_eds(kExamples + "/zmc200.eds"));
  ASSERT_EQ(0, pc->load_eds(kExamples + "/zio8.eds"));
  pdo_map every3;
  ASSERT_TRUE(pb->mapping(true, 1, &every3));
  every3.trans_type = 3;
  ASSERT_EQ(0, pb->write_mapping(every3));
  ntcan_ctl::set_timed(0, true, 6);
  for (D_can* n : {a, b, c}) ASSERT_EQ(0, n->start_node());
  // A listener on the device hook: a device sees a frame after every handle
  // of the net has it.
  std::mutex mx;
  std::condition_variable cv;
  int seen = 0;
  const int listener = ntcan_ctl::attach_device(0, [&](const CMSG& f) {
    std::lock_guard<std::mutex> g(mx);
    if (f.id == 0x18C || f.id == 0x18D) ++seen;
    cv.notify_all();
  });
  struct Detach {
    int id;
    ~Detach() { ntcan_ctl::detach_device(id); }
  } detach{listener};
  ASSERT_EQ(0, can_sync(1, 2000));
  constexpr int kSyncs = 10000;
  int64_t last_timer = 0;
  int timer_frames = 0;
  int total = 0;
  pdo_sample s;
  for (int i = 1; i <= kSyncs; ++i) {
    // What the SYNC of cycle i samples, and the frames it must cause.
    m12->write_object(0x6064, 0, {static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8), 0, 0});
    m13->write_object(0x6064, 0, {static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8), 0, 0});
    cycle();
    total += i % 3 == 0 ? 2 : 1;
    {
      std::unique_lock<std::mutex> lk(mx);
      ASSERT_TRUE(cv.wait_for(lk, std::chrono::seconds(2), [&] { return seen >= total; })) << i;
      ASSERT_EQ(total, seen) << i;
    }
    const int64_t sync_time = clock_.now_us();
    cycle();
    ASSERT_EQ(1, pa->take(1, &s)) << i;
    ASSERT_EQ(i & 0xFFFF, s.values[0].as_int() & 0xFFFF);
    ASSERT_EQ(sync_time + 1000, s.time_us);
    ASSERT_EQ(0u, s.overwritten);
    ASSERT_EQ(i % 3 == 0 ? 1 : 0, pb->take(1, &s)) << i;
    if (pc->take(1, &s) == 1) {
      if (last_timer != 0) {
        EXPECT_NEAR(1000000, s.time_us - last_timer, 1000) << i;
      }
      last_timer = s.time_us;
      ++timer_frames;
    }
  }
  pa->take(1, &s);
  EXPECT_EQ(static_cast<uint64_t>(kSyncs), s.frames);
  pb->take(1, &s);
  EXPECT_EQ(static_cast<uint64_t>(kSyncs / 3), s.frames);
  EXPECT_GE(timer_frames, 19);  // 20 s of framework clock
}

}  // namespace
