// The CANopen services of registered node properties against simulated
// devices made from the example EDS files: identity reads into .MANU,
// .HWVER and .SWVER, the node state from heartbeats and guarding answers in
// the update cycle, emergencies, NMT from client writes, and device faults.
#include <array>
#include <string>
#include <vector>

#include "sim_fixture.h"

namespace {

class SimTest : public cotest::SimFixture {
 protected:
  // One update cycle of a server at device time `t_us`: the devices send
  // what is due, the buffers are filled, and the node's frames go through
  // check_alive and can_emergency as a server's device code passes them.
  void cycle(D_can* n, int64_t t_us) {
    bus_->advance_to(t_us);
    can_looping();
    int len = 0;
    ASSERT_EQ(0, n->can_array(rx_.data(), &len));
    const int id = n->value()->i2_data;
    n->alive_->check_alive(id, rx_.data(), &len);
    n->can_emergency(id, rx_.data(), &len);
  }

  void client_write(const std::string& prop, int v) {
    EqData in, out;
    in.set(v);
    ASSERT_EQ(0, loc_.set(prop, &in, &out)) << prop;
  }

  std::vector<CMSG> rx_ = std::vector<CMSG>(100);
};

TEST_F(SimTest, IdentityOfExampleDevicesIsShownInTheChildren) {
  zsim::Device* zps = add(5, "zps48.eds");
  add(0x20, "zio8.eds");
  D_can* n5 = node("PSU", 1, 5, 0x585);
  D_can* n32 = node("CRATE", 1, 0x20, 0x5A0);
  for (D_can* n : {n5, n32}) {
    EXPECT_EQ(0, n->get_manufacture());
    EXPECT_EQ(0, n->get_hwversion());
    EXPECT_EQ(0, with_clock_running([n] { return n->get_swversion(); }));
  }
  EXPECT_EQ(shown("PSU.MANU"), "ZPS-48 Power Supply");
  EXPECT_EQ(shown("PSU.HWVER"), "B2");
  EXPECT_EQ(shown("PSU.SWVER"), "V1.04.2");
  EXPECT_EQ(shown("CRATE.MANU"), "ZIO8");  // expedited
  EXPECT_EQ(shown("CRATE.HWVER"), "1.0");
  EXPECT_EQ(shown("CRATE.SWVER"), "FW 3.2.0-r17");

  // A name longer than the 63 characters a child shows, and texts that end
  // in a carriage return and line feed or hold a control character.
  const std::string longname =
      "ZPS-48 Power Supply, 48 V / 20 A, laboratory bench series with CANopen, rev. 2024";
  ASSERT_GT(longname.size(), 63u);
  zps->write_text(0x1008, 0, longname);
  zps->write_text(0x1009, 0, "B3\r\n");
  zps->write_text(0x100A, 0, "V2.0\tbeta");
  const uint64_t sent = zps->frames_sent();
  EXPECT_EQ(0, n5->get_manufacture());
  // The initiate answer and the 9 segments that fill 63 bytes, then the
  // library's abort request ended the device's side: a further segment
  // request finds no transfer (abort 0x05040001).
  EXPECT_EQ(sent + 10, zps->frames_sent());
  unsigned char seg[8] = {0x70};
  ASSERT_EQ(0, n5->can_write(0x605, 8, seg));
  CMSG answer[10];
  int got = 10;
  ASSERT_EQ(0, n5->can_get(answer, &got));
  ASSERT_EQ(1, got);
  EXPECT_EQ(cotest::text(answer[0]), "585#80 00 00 00 01 00 04 05");
  EXPECT_EQ(0, n5->get_hwversion());
  EXPECT_EQ(0, with_clock_running([n5] { return n5->get_swversion(); }));
  EXPECT_EQ(shown("PSU.MANU"), longname.substr(0, 63));
  EXPECT_EQ(shown("PSU.HWVER"), "B3");
  EXPECT_EQ(shown("PSU.SWVER"), "V2.0");
  EXPECT_EQ(0, sdo_errors());
}

TEST_F(SimTest, SilentOrSlowDeviceDuringIdentityRead) {
  zsim::Device* zps = add(5, "zps48.eds");
  D_can* n = node("PSU", 1, 5, 0x585);

  zps->set_sdo_silent(true);
  const int r = until_given_up(
      n->handle(), [] { return true; }, [n] { return n->get_manufacture(); });
  EXPECT_EQ(-1, r);
  EXPECT_EQ(shown("PSU.MANU"), "error");
  EXPECT_EQ(1, msgs_.count("segSdoRead", "--Error: initUploadResponse failed with error -1"));

  // Answers that come 400 ms late, within the wait, still complete it.
  zps->set_sdo_silent(false);
  zps->set_answer_delay(400000);
  auto fut = std::async(std::launch::async, [n] { return n->get_hwversion(); });
  int64_t t = bus_->now_us();
  while (fut.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready)
    bus_->advance_to(t += 100000);
  EXPECT_EQ(0, fut.get());
  EXPECT_EQ(shown("PSU.HWVER"), "B2");
}

TEST_F(SimTest, DeviceFaultsDuringSegmentedReads) {
  zsim::Device* zps = add(5, "zps48.eds");
  D_can* n = node("PSU", 1, 5, 0x585);
  ASSERT_EQ(0, n->AddIdent(0x586));
  ASSERT_EQ(0, n->AddIdent(0x185));

  testing::internal::CaptureStdout();
  zps->abort_next_segment(0x08000020);
  EXPECT_EQ(-1, n->get_manufacture());
  EXPECT_EQ(shown("PSU.MANU"), "error");
  zps->wrong_toggle_next_segment();
  EXPECT_EQ(-1, n->get_manufacture());
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Segmented transfer aborted with code 0x8000020\n"
            "--Error: bad toggle bit in segmented transfer sequence.\n");

  // Frames of another node before each answer, and a flood of another
  // identifier queued before the transfer, are passed over.
  CMSG other = cotest::frame(0x586, "4F 08 10 00 41 00 00 00");
  zps->send_before_next_answer(other, 3);
  EXPECT_EQ(0, n->get_manufacture());
  EXPECT_EQ(shown("PSU.MANU"), "ZPS-48 Power Supply");
  zps->flood(0x185, 90);
  EXPECT_EQ(0, n->get_hwversion());
  EXPECT_EQ(shown("PSU.HWVER"), "B2");
}

TEST_F(SimTest, HeartbeatsEmergencyAndStartInTheUpdateCycle) {
  zsim::Device* zmc = add(12, "zmc200.eds");  // heartbeat every 500 ms
  D_can* n = node("MOTOR", 1, 12, 0x70C);
  EXPECT_EQ(0, with_clock_running([n] { return n->init_emergency(); }));

  cycle(n, 600000);
  EXPECT_EQ(127, shown_int("MOTOR.ALIVE"));
  EXPECT_EQ(shown("MOTOR.CONDITION"), "Preoperational");
  EXPECT_FALSE(n->alive_->isalive());

  client_write("MOTOR.START", 1);
  EXPECT_EQ(zsim::NmtState::Operational, zmc->state());
  cycle(n, 1100000);
  EXPECT_EQ(5, shown_int("MOTOR.ALIVE"));
  EXPECT_EQ(shown("MOTOR.CONDITION"), "Operational");
  EXPECT_TRUE(n->alive_->isalive());

  ASSERT_TRUE(zmc->emergency(0x8110, 0x11, {1, 2, 3, 4, 5}));
  cycle(n, 1200000);
  cycle(n, 1300000);
  EXPECT_EQ(1, msgs_.count("D_can::can_emergency"));
  EXPECT_EQ(1, msgs_.count("D_can::can_emergency", "0x10 0x81 0x11 0x1 0x2 0x3 0x4 0x5 "));

  // A stopped node shows its state; the condition text stays.
  client_write("MOTOR.STOP", 1);
  cycle(n, 1600000);
  EXPECT_EQ(4, shown_int("MOTOR.ALIVE"));
  EXPECT_EQ(shown("MOTOR.CONDITION"), "Operational");
  EXPECT_FALSE(n->alive_->isalive());

  // A reset brings the boot-up frame, then pre-operational heartbeats.
  client_write("MOTOR.RESET", 1);
  cycle(n, 1650000);
  EXPECT_EQ(0, shown_int("MOTOR.ALIVE"));
  cycle(n, 2200000);
  EXPECT_EQ(127, shown_int("MOTOR.ALIVE"));
}

TEST_F(SimTest, GuardingAnswersGiveTheNodeState) {
  add(0x20, "zio8.eds");  // no heartbeat: supervised by node guarding
  D_can* n = node("CRATE", 1, 0x20, 0x720);
  int64_t t = 0;
  auto guard = [&] {
    ASSERT_EQ(0, n->rtr());
    cycle(n, t += 100000);
  };
  guard();
  EXPECT_EQ(0x7F, shown_int("CRATE.ALIVE"));  // toggle 0
  client_write("CRATE.START", 1);
  guard();
  EXPECT_EQ(0x85, shown_int("CRATE.ALIVE"));  // toggle 1, operational
  EXPECT_TRUE(n->alive_->isalive());
  EXPECT_EQ(shown("CRATE.CONDITION"), "Operational");
  guard();
  EXPECT_EQ(0x05, shown_int("CRATE.ALIVE"));
  EXPECT_TRUE(n->alive_->isalive());
}

}  // namespace

namespace {

// Downloads into a simulated device: kept and read back, expedited and
// segmented, and refused by the access type or the length with the abort
// the library reports.
TEST_F(SimTest, DownloadsAreKeptAndReadBack) {
  zsim::Device* zps = add(5, "zps48.eds");
  zps->write_object(0x2100, 0, {});  // a read-write DOMAIN
  D_can* n = node("PSU", 1, 5, 0x585);
  const std::string text = "a text of more than one segment";
  EXPECT_EQ(0, n->segSdoWrite(5, 0x2100, 0, text.data(), static_cast<int>(text.size())));
  char buf[64] = {};
  int len = 0;
  EXPECT_EQ(0, n->segSdoRead(5, 0x2100, 0, buf, sizeof buf, &len));
  EXPECT_EQ(std::string(buf, len), text);
  EXPECT_EQ(0, n->segSdoWrite(5, 0x1017, 0, "\xF4\x01", 2));
  EXPECT_EQ(500, zps->heartbeat_period());

  testing::internal::CaptureStdout();
  EXPECT_EQ(-1, n->segSdoWrite(5, 0x1008, 0, "name", 4));
  EXPECT_EQ(0x06010002u, n->sdo_abort_code());
  EXPECT_EQ(-1, n->segSdoWrite(5, 0x2000, 0, "12345678", 8));
  EXPECT_EQ(0x06070012u, n->sdo_abort_code());
  EXPECT_EQ(-1, n->segSdoWrite(5, 0x2FFF, 0, "1", 1));
  EXPECT_EQ(0x06020000u, n->sdo_abort_code());
  testing::internal::GetCapturedStdout();
}

}  // namespace
