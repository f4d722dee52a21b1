// NMT commands, the bare SDO request, identity reads, check_ascii, emergency
// reports and the node state of .ALIVE / .CONDITION.
#include <string>
#include <vector>

#include "canopen_support.h"

using cotest::CanopenFixture;
using cotest::frame;
using cotest::Responder;
using cotest::text;

namespace {

std::vector<std::string> sent(int net) {
  std::vector<std::string> v;
  for (const CMSG& f : ntcan_ctl::sent_frames(net)) v.push_back(text(f));
  return v;
}

using ServicesTest = CanopenFixture;

TEST_F(ServicesTest, NmtCommandsAndBareSdoRequest) {
  D_can* n2 = node("NODE2", 1, 2, 0);
  D_can* all = node("ALL", 1, 0, 0);
  D_can* n300 = node("WIDE", 1, 300, 0);
  ntcan_ctl::clear_sent_frames(0);

  EXPECT_EQ(0, n2->start_node());
  EXPECT_EQ(0, n2->stop_node());
  EXPECT_EQ(0, n2->reset_node());
  EXPECT_EQ(0, n2->modinit());
  EXPECT_EQ(0, all->start_node());
  EXPECT_EQ(0, n300->reset_node());
  EXPECT_EQ(0, n2->can_SDO(0x1018, 1));
  EXPECT_EQ(0, n300->can_SDO(0x1018, 1));
  EXPECT_EQ(sent(0), (std::vector<std::string>{"0#01 02", "0#02 02", "0#81 02", "0#01 02",
                                               "0#01 00", "0#81 2C", "602#40 18 10 01 00 00 00 00",
                                               "72C#40 18 10 01 00 00 00 00"}));

  // A client write of .START sends the command, whatever the number written.
  EqData in, out;
  in.set(7);
  ntcan_ctl::clear_sent_frames(0);
  EXPECT_EQ(0, loc_.set("NODE2.START", &in, &out));
  in.set(0);
  EXPECT_EQ(0, loc_.set("NODE2.STOP", &in, &out));
  EXPECT_EQ(sent(0), (std::vector<std::string>{"0#01 02", "0#02 02"}));
  EXPECT_EQ(7, shown_int("NODE2.START"));
}

TEST_F(ServicesTest, NothingIsSentWithoutAUsableHandle) {
  nodes_.push_back(std::make_unique<D_can>("LOOSE", &loc_));
  D_can* loose = nodes_.back().get();
  IIII a;
  a.i1_data = 1;
  a.i2_data = 4;
  loose->set_value(&a);  // configured, never registered
  ntcan_ctl::clear_counters();
  char buf[64] = {};
  EXPECT_EQ(NTCAN_INVALID_HANDLE, loose->start_node());
  EXPECT_EQ(NTCAN_INVALID_HANDLE, loose->stop_node());
  EXPECT_EQ(NTCAN_INVALID_HANDLE, loose->reset_node());
  EXPECT_EQ(NTCAN_INVALID_HANDLE, loose->can_SDO(0x1008, 0));
  EXPECT_EQ(NTCAN_INVALID_HANDLE, loose->segSdoRead(4, 0x1008, 0, buf));
  EXPECT_EQ(1, msgs_.count("segSdoRead", "--Error: initiateUpload failed with error 77"));
  EXPECT_EQ(NTCAN_INVALID_HANDLE, loose->get_manufacture());
  EXPECT_EQ(NTCAN_INVALID_HANDLE, loose->get_hwversion());
  EXPECT_EQ(shown("LOOSE.MANU"), "error");
  EXPECT_EQ(shown("LOOSE.HWVER"), "error");
  EXPECT_EQ(0u, ntcan_ctl::total_calls());
}

TEST_F(ServicesTest, IdentityReadsFillTheChildren) {
  D_can* n = node("NODE2", 1, 2, 0x582);
  Responder peer(0, 2);
  peer.then("4B 08 10 00 5A 36 00 00");  // expedited, 2 bytes "Z6"
  peer.then("41 09 10 00 0A 00 00 00");  // segmented ...
  peer.then("03 48 57 20 33 0D 0A 00");  // "HW 3\r\n", last
  peer.then("43 0A 10 00 56 31 2E 32");  // "V1.2"
  peer.then("80 08 10 00 00 00 02 06");  // abort
  EXPECT_EQ(0, n->get_manufacture());
  EXPECT_EQ(0, n->get_hwversion());
  EXPECT_EQ(0, with_clock_running([&] { return n->get_swversion(); }));
  EXPECT_EQ(shown("NODE2.MANU"), "Z6");
  EXPECT_EQ(shown("NODE2.HWVER"), "HW 3");
  EXPECT_EQ(shown("NODE2.SWVER"), "V1.2");
  EXPECT_EQ(peer.requests()[0], text(0x602, "40 08 10 00 00 00 00 00"));
  EXPECT_EQ(peer.requests()[3], text(0x602, "40 0A 10 00 00 00 00 00"));

  testing::internal::CaptureStdout();
  EXPECT_EQ(-1, n->get_manufacture());
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(shown("NODE2.MANU"), "error");
}

TEST_F(ServicesTest, CheckAsciiCutsAtTheFirstUnprintableCharacter) {
  D_can* n = node("NODE2", 1, 2, 0);
  struct Case {
    std::string in;
    int result;
    std::string out;
  } cases[] = {{"", 0, ""},
               {"Plain text ~ 1.0", 0, "Plain text ~ 1.0"},
               {"\tTab", -1, ""},
               {"Name\r\n", -1, "Name"},
               {"Caf\xC3\xA9", -1, "Caf"},
               {"A\x7F", -1, "A"}};
  for (const Case& c : cases) {
    std::vector<char> s(c.in.begin(), c.in.end());
    s.push_back('\0');
    EXPECT_EQ(c.result, n->check_ascii(s.data())) << c.out;
    EXPECT_EQ(std::string(s.data()), c.out);
  }
  EXPECT_EQ(-1, n->check_ascii(nullptr));
}

TEST_F(ServicesTest, EmergencyFramesAreReportedFromTheArray) {
  D_can* n = node("NODE5", 1, 5, 0);
  int l = 0;
  EXPECT_EQ(0, n->can_emergency(5, nullptr, &l)) << "an empty array is not read";

  CMSG remote = frame(0x85, "");
  remote.len = NTCAN_RTR;
  CMSG wide = frame(0x85, "01 02 03 04 05 06 07 08");
  wide.len = 12;                              // a length field above 8
  std::vector<CMSG> rx = {frame(0x86, "FF"),  // another node
                          remote, frame(0x705, "05"), frame(0x85, "10 81 00"),
                          frame(0x85, "20 00")};
  l = static_cast<int>(rx.size());
  EXPECT_EQ(100, n->can_emergency(5, rx.data(), &l));
  rx = {wide};
  l = 1;
  EXPECT_EQ(100, n->can_emergency(5, rx.data(), &l));
  rx = {frame(0x86, "FF"), remote};
  l = 2;
  EXPECT_EQ(0, n->can_emergency(5, rx.data(), &l));
  rx = {frame(0x85, "")};
  l = 1;
  EXPECT_EQ(100, n->can_emergency(5, rx.data(), &l));

  std::vector<std::string> texts;
  for (const auto& m : msgs_.messages())
    if (m.first == "D_can::can_emergency") texts.push_back(m.second);
  EXPECT_EQ(texts,
            (std::vector<std::string>{"0x10 0x81 0x0 ", "0x1 0x2 0x3 0x4 0x5 0x6 0x7 0x8 ", ""}));
}

TEST_F(ServicesTest, InitEmergencyEnablesTheEmergencyIdentifier) {
  D_can* none = node("ZERO", 1, 0, 0);
  ntcan_ctl::clear_counters();
  EXPECT_EQ(0, none->init_emergency());
  EXPECT_EQ(0u, ntcan_ctl::total_calls());

  D_can* n = node("NODE5", 1, 5, 0);
  EXPECT_EQ(0, n->init_emergency());
  const CMSG emcy = frame(0x85, "00 10 01 00 00 00 00 00");
  ASSERT_EQ(0, ntcan_ctl::inject(0, &emcy, 1));
  can_looping();
  std::vector<CMSG> rx(100);
  int l = 0;
  EXPECT_EQ(0, n->can_array(rx.data(), &l));
  ASSERT_EQ(1, l);
  EXPECT_EQ(100, n->can_emergency(5, rx.data(), &l));
}

TEST_F(ServicesTest, HeartbeatAndGuardingAnswersGiveTheNodeState) {
  D_can* n = node("NODE5", 1, 5, 0);
  D_Alive* alive = n->alive_;
  // Buffered registration starts the node as pre-operational.
  EXPECT_EQ(15, shown_int("NODE5.ALIVE"));
  EXPECT_EQ(shown("NODE5.CONDITION"), "Preoperational");

  CMSG remote = frame(0x705, "");
  remote.len = NTCAN_RTR | 1;
  std::vector<CMSG> rx = {frame(0x706, "05"), remote, frame(0x705, "05 00"), frame(0x705, "85"),
                          frame(0x705, "7F")};
  int l = static_cast<int>(rx.size());
  EXPECT_EQ(100, alive->can_read(5, rx.data(), &l));  // the guarding answer, toggle set
  EXPECT_EQ(133, shown_int("NODE5.ALIVE"));
  EXPECT_TRUE(alive->isalive());
  EXPECT_EQ(shown("NODE5.CONDITION"), "Preoperational") << "can_read writes no text";

  rx = {frame(0x705, "7F")};
  l = 1;
  EXPECT_EQ(0, alive->check_alive(5, rx.data(), &l));
  EXPECT_EQ(127, shown_int("NODE5.ALIVE"));
  EXPECT_FALSE(alive->isalive());

  rx = {frame(0x705, "05")};
  EXPECT_EQ(100, alive->check_alive(5, rx.data(), &l));
  EXPECT_EQ(shown("NODE5.CONDITION"), "Operational");

  // Leaving the operational state shows the new state, keeps the text.
  rx = {frame(0x705, "04")};
  EXPECT_EQ(0, alive->check_alive(5, rx.data(), &l));
  EXPECT_EQ(4, shown_int("NODE5.ALIVE"));
  EXPECT_EQ(shown("NODE5.CONDITION"), "Operational");

  // No frame of the node: nothing changes.
  rx = {frame(0x706, "05")};
  EXPECT_EQ(0, alive->check_alive(5, rx.data(), &l));
  l = 0;
  EXPECT_EQ(0, alive->check_alive(5, nullptr, &l));
  EXPECT_EQ(4, shown_int("NODE5.ALIVE"));

  const std::pair<int, const char*> texts[] = {{2, "Error"},
                                               {4, "Stopped"},
                                               {5, "Operational"},
                                               {15, "Preoperational"},
                                               {127, "Preoperational"},
                                               {0, "default Error"},
                                               {0x83, "default Error"},
                                               {14, "default Error"}};
  for (const auto& t : texts) {
    alive->set_value(t.first);
    EXPECT_EQ(t.first, shown_int("NODE5.ALIVE"));
    EXPECT_EQ(shown("NODE5.CONDITION"), t.second) << t.first;
  }
}

}  // namespace
