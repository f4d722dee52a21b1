// SDO download of the node property (segSdoWrite) against scripted peers on
// the driver's device hook, the settable answer time-out, and the texts of
// abort and emergency codes.
#include <string>
#include <vector>

#include "canopen_support.h"

using cotest::eventually;
using cotest::Responder;
using cotest::text;

namespace {

constexpr int kNet = cotest::kSdoNet;
constexpr int kNode = cotest::kSdoNode;
using cotest::frames602;

class SdoDownloadTest : public cotest::SdoNodeFixture {
 protected:
  int write(int idx, int sub, const std::string& data) {
    return can->segSdoWrite(kNode, idx, sub, data.data(), static_cast<int>(data.size()));
  }
  // Runs a transfer whose node stops answering with an answer time-out of
  // `ms`: still waiting 1 ms before it, given up once it has passed.
  int until_timed_out(int ms, const std::function<bool()>& waiting, const std::function<int()>& f) {
    using ntcan_ctl::Op;
    const NTCAN_HANDLE h = can->handle();
    auto fut = std::async(std::launch::async, f);
    auto done = [&] { return fut.wait_for(std::chrono::seconds(0)) == std::future_status::ready; };
    EXPECT_TRUE(eventually(waiting));
    uint64_t c = ntcan_ctl::calls(Op::Take, h);
    EXPECT_TRUE(eventually([&] { return ntcan_ctl::calls(Op::Take, h) > c; }));
    clock_.advance_us(int64_t{ms} * 1000 - 1000);
    c = ntcan_ctl::calls(Op::Take, h);
    EXPECT_TRUE(eventually([&] { return done() || ntcan_ctl::calls(Op::Take, h) > c + 1; }));
    EXPECT_FALSE(done()) << "gave up before its time-out of " << ms << " ms";
    clock_.advance_us(1000);
    if (!eventually(done, 10000)) {
      ADD_FAILURE() << "still waiting after its time-out of " << ms << " ms";
      while (!done()) clock_.advance_s(1);
    }
    return fut.get();
  }
};

// The requests of expedited and segmented downloads byte for byte, with the
// answers a CANopen server gives.
TEST_F(SdoDownloadTest, DownloadsMatchByteForByte) {
  {
    // Expedited, 2 bytes: heartbeat time 1000 ms.
    Responder peer(kNet, kNode);
    peer.then("60 17 10 00 00 00 00 00");
    EXPECT_EQ(0, write(0x1017, 0, std::string("\xE8\x03", 2)));
    EXPECT_EQ(peer.requests(), frames602({"2B 17 10 00 E8 03 00 00"}));
  }
  {
    // Expedited, 1, 3 and 4 bytes: the size in bits 3..2.
    Responder peer(kNet, kNode);
    for (int k = 0; k < 3; ++k) peer.then("60 00 62 01 00 00 00 00");
    EXPECT_EQ(0, write(0x6200, 1, "A"));
    EXPECT_EQ(0, write(0x6200, 1, "ABC"));
    EXPECT_EQ(0, write(0x6200, 1, "ABCD"));
    EXPECT_EQ(peer.requests(), frames602({"2F 00 62 01 41 00 00 00", "27 00 62 01 41 42 43 00",
                                          "23 00 62 01 41 42 43 44"}));
  }
  {
    // Segmented, 16 bytes: the size, then segments 00 / 10 / 00 with the
    // bytes without data and the last-segment bit, answered 20 / 30 / 20.
    Responder peer(kNet, kNode);
    peer.then("60 00 20 01 00 00 00 00");
    peer.then("20 00 00 00 00 00 00 00");
    peer.then("30 00 00 00 00 00 00 00");
    peer.then("20 00 00 00 00 00 00 00");
    EXPECT_EQ(0, write(0x2000, 1, "ABCDEFGHIJKLMNOP"));
    EXPECT_EQ(peer.requests(), frames602({"21 00 20 01 10 00 00 00", "00 41 42 43 44 45 46 47",
                                          "10 48 49 4A 4B 4C 4D 4E", "0B 4F 50 00 00 00 00 00"}));
  }
  {
    // 14 bytes end with a full last segment (toggle 1); an empty object
    // goes as one empty last segment.
    Responder peer(kNet, kNode);
    peer.then("60 00 20 02 00 00 00 00");
    peer.then("20 00 00 00 00 00 00 00");
    peer.then("30 00 00 00 00 00 00 00");
    peer.then("60 00 20 03 00 00 00 00");
    peer.then("20 00 00 00 00 00 00 00");
    EXPECT_EQ(0, write(0x2000, 2, "abcdefghijklmn"));
    EXPECT_EQ(0, can->segSdoWrite(kNode, 0x2000, 3, "", 0));
    EXPECT_EQ(peer.requests(), frames602({"21 00 20 02 0E 00 00 00", "00 61 62 63 64 65 66 67",
                                          "11 68 69 6A 6B 6C 6D 6E", "21 00 20 03 00 00 00 00",
                                          "0F 00 00 00 00 00 00 00"}));
  }
  EXPECT_EQ(-1, can->segSdoWrite(kNode, 0x2000, 1, nullptr, 3));
  EXPECT_EQ(-1, can->segSdoWrite(kNode, 0x2000, 1, "x", -1));
  EXPECT_EQ(0, msgs_.count("segSdoWrite"));
}

TEST_F(SdoDownloadTest, AbortsAndToggleErrorsEndTheDownload) {
  {
    // Read-only object: the node aborts the initiate.
    Responder peer(kNet, kNode);
    peer.then("80 00 10 00 02 00 01 06");
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, write(0x1000, 0, std::string("\x01\x02\x03\x04", 4)));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Segmented transfer aborted with code 0x6010002\n");
    EXPECT_EQ(0x06010002u, can->sdo_abort_code());
    EXPECT_STREQ("attempt to write a read only object", sdo_abort_text(can->sdo_abort_code()));
    EXPECT_EQ(peer.requests(), frames602({"23 00 10 00 01 02 03 04"}));
  }
  {
    // An abort in the middle of the segments; the answer and abort of
    // another object before it are passed over.
    Responder peer(kNet, kNode);
    peer.then("60 00 20 01 00 00 00 00");
    peer.then_frames({cotest::frame(0x582, "80 00 20 02 00 00 02 06"),
                      cotest::frame(0x582, "60 00 20 01 00 00 00 00"),
                      cotest::frame(0x582, "80 00 20 01 10 00 07 06")});
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, write(0x2000, 1, "0123456789"));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Segmented transfer aborted with code 0x6070010\n");
    EXPECT_EQ(0x06070010u, can->sdo_abort_code());
    EXPECT_EQ(2u, peer.request_count()) << "no request after the node's abort";
  }
  {
    // A segment answer with the wrong toggle: the node gets an abort 05030000.
    Responder peer(kNet, kNode);
    peer.then("60 00 20 01 00 00 00 00");
    peer.then("20 00 00 00 00 00 00 00");
    peer.then("20 00 00 00 00 00 00 00");
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, write(0x2000, 1, "0123456789ABCDEF"));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "--Error: bad toggle bit in segmented transfer sequence.\n");
    EXPECT_EQ(0u, can->sdo_abort_code()) << "not ended by the node's abort";
    EXPECT_EQ(peer.requests(), frames602({"21 00 20 01 10 00 00 00", "00 30 31 32 33 34 35 36",
                                          "10 37 38 39 41 42 43 44", "80 00 20 01 00 00 03 05"}));
  }
  {
    // The next transfer starts clean: a successful upload clears the code.
    Responder peer(kNet, kNode);
    peer.then("4B 00 20 01 07 00 00 00");
    char buf[8] = {};
    EXPECT_EQ(0, can->segSdoRead(kNode, 0x2000, 1, buf, 8));
    EXPECT_EQ(0u, can->sdo_abort_code());
  }
}

// The default wait of 2 to 3 s, and a set time-out in milliseconds for
// downloads and uploads alike; a download given up aborts the node's side.
TEST_F(SdoDownloadTest, SilentNodeEndsByTheAnswerTimeOut) {
  {
    Responder peer(kNet, kNode);
    peer.then("");
    EXPECT_EQ(-1, until_given_up(
                      can->handle(), [&] { return peer.request_count() >= 1; },
                      [&] { return write(0x1017, 0, std::string("\xE8\x03", 2)); }));
    EXPECT_EQ(peer.requests(), frames602({"2B 17 10 00 E8 03 00 00", "80 17 10 00 00 00 04 05"}));
  }
  can->set_sdo_timeout_ms(250);
  EXPECT_EQ(250, can->sdo_timeout_ms());
  {
    Responder peer(kNet, kNode);
    peer.then("60 00 20 01 00 00 00 00");
    peer.then("");
    EXPECT_EQ(-1, until_timed_out(
                      250, [&] { return peer.request_count() >= 2; },
                      [&] { return write(0x2000, 1, "0123456789"); }));
    EXPECT_EQ(peer.requests(), frames602({"21 00 20 01 0A 00 00 00", "00 30 31 32 33 34 35 36",
                                          "80 00 20 01 00 00 04 05"}));
  }
  {
    Responder peer(kNet, kNode);
    peer.then("");
    char buf[64] = {};
    EXPECT_EQ(-1, until_timed_out(
                      250, [&] { return peer.request_count() >= 1; },
                      [&] { return can->segSdoRead(kNode, 0x1008, 0, buf); }));
  }
  can->set_sdo_timeout_ms(-5);
  EXPECT_EQ(0, can->sdo_timeout_ms()) << "below 1 ms: back to the default wait";
}

TEST_F(SdoDownloadTest, DriverFailuresArePassedThrough) {
  using ntcan_ctl::Op;
  Responder peer(kNet, kNode);
  peer.then("60 00 20 01 00 00 00 00");
  ntcan_ctl::force_status(kNet, Op::Send, NTCAN_TX_ERROR, 1);
  EXPECT_EQ(NTCAN_TX_ERROR, write(0x2000, 1, "AB"));
  EXPECT_EQ(1, msgs_.count("segSdoWrite", "--Error: initiateDownload failed with error 260"));
  ntcan_ctl::force_status(kNet, Op::Take, NTCAN_CONTR_OFF_BUS, 1);
  EXPECT_EQ(NTCAN_CONTR_OFF_BUS, write(0x2000, 1, "AB"));
}

TEST(SdoTexts, AbortAndEmergencyCodes) {
  const uint32_t aborts[] = {0x05030000, 0x05040000, 0x05040001, 0x05040002, 0x05040003, 0x05040004,
                             0x05040005, 0x06010000, 0x06010001, 0x06010002, 0x06020000, 0x06040041,
                             0x06040042, 0x06040043, 0x06040047, 0x06060000, 0x06070010, 0x06070012,
                             0x06070013, 0x06090011, 0x06090030, 0x06090031, 0x06090032, 0x06090036,
                             0x060A0023, 0x08000000, 0x08000020, 0x08000021, 0x08000022, 0x08000023,
                             0x08000024};
  for (uint32_t c : aborts) EXPECT_STRNE("unknown", sdo_abort_text(c)) << std::hex << c;
  EXPECT_STREQ("unknown", sdo_abort_text(0x06090012));
  EXPECT_STREQ("unknown", sdo_abort_text(0));

  EXPECT_STREQ("error reset or no error", emcy_text(0x0000));
  EXPECT_STREQ("life guard error or heartbeat error", emcy_text(0x8130));
  EXPECT_STREQ("voltage inside the device", emcy_text(0x3210)) << "not a drive's code alone";
  // Codes of no exact entry fall back to their class by high byte, then nibble.
  EXPECT_STREQ("current, device output side", emcy_text(0x2399));
  EXPECT_STREQ("device hardware", emcy_text(0x5530));
  EXPECT_STREQ("communication", emcy_text(0x81FF));
  EXPECT_STREQ("device specific", emcy_text(0xFF42));
  EXPECT_STREQ("unknown", emcy_text(0x0001));
  EXPECT_STREQ("unknown", emcy_text(0xA000));
}

}  // namespace
