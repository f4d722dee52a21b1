// The monitor's candump notation and CANopen decoding.
#include <gtest/gtest.h>

#include <cstring>

#include "candump.h"

namespace {

CMSG frame(const char* text) {
  CMSG f;
  EXPECT_TRUE(candump::parse_frame(text, &f)) << text;
  return f;
}

std::string decode(const char* text) {
  return candump::decode_canopen(frame(text));
}

TEST(Candump, FormatsAndParsesFrames) {
  CMSG f;
  std::memset(&f, 0, sizeof f);
  f.id = 0x605;
  f.len = 8;
  const uint8_t req[8] = {0x40, 0x08, 0x10, 0, 0, 0, 0, 0};
  std::memcpy(f.data, req, 8);
  EXPECT_EQ(candump::format_frame(f), "605#4008100000000000");

  f.id = 0x5;
  f.len = 0;
  EXPECT_EQ(candump::format_frame(f), "005#");
  f.id = 0x705;
  f.len = NTCAN_RTR;
  EXPECT_EQ(candump::format_frame(f), "705#R");
  f.len = NTCAN_RTR | 8;
  EXPECT_EQ(candump::format_frame(f), "705#R8");
  f.len = 1;
  f.data[0] = 0xab;
  EXPECT_EQ(candump::format_frame(f), "705#AB") << "upper-case digits";

  // Every notation reads back to the same frame.
  for (const char* t : {"605#4008100000000000", "005#", "705#R", "705#R8", "7FF#0102"}) {
    CMSG g = frame(t);
    EXPECT_EQ(candump::format_frame(g), t);
  }
  CMSG g = frame("1a#ff");
  EXPECT_EQ(g.id, 0x1A);
  EXPECT_EQ(g.len, 1);
  EXPECT_EQ(g.data[0], 0xFF);

  for (const char* bad : {"", "#00", "1234#00", "800#00", "12#1", "12#0g", "123#R9", "123#R12",
                          "123#001122334455667788", "xyz#00", "123"})
    EXPECT_FALSE(candump::parse_frame(bad, &g)) << bad;
}

TEST(Candump, DecodesNmtAndErrorControl) {
  EXPECT_EQ(decode("000#0105"), "NMT start node 5");
  EXPECT_EQ(decode("000#0205"), "NMT stop node 5");
  EXPECT_EQ(decode("000#8105"), "NMT reset node 5");
  EXPECT_EQ(decode("000#8205"), "NMT reset communication node 5");
  EXPECT_EQ(decode("000#0100"), "NMT start all nodes");
  EXPECT_EQ(decode("000#7705"), "NMT command 0x77 node 5");
  EXPECT_EQ(decode("000#01"), "NMT: bad frame (1 bytes)");

  EXPECT_EQ(decode("705#05"), "heartbeat node 5: operational");
  EXPECT_EQ(decode("705#7F"), "heartbeat node 5: pre-operational");
  EXPECT_EQ(decode("705#04"), "heartbeat node 5: stopped");
  EXPECT_EQ(decode("705#00"), "boot-up node 5");
  EXPECT_EQ(decode("720#85"), "guard answer node 32: operational, toggle 1");
  EXPECT_EQ(decode("705#R"), "guard request node 5");
  EXPECT_EQ(decode("705#0500"), "heartbeat node 5: bad length 2");
  EXPECT_EQ(decode("705#33"), "heartbeat node 5: state 0x33");
}

TEST(Candump, DecodesSdoTransfers) {
  EXPECT_EQ(decode("605#4008100000000000"), "SDO request node 5: upload 1008:00");
  EXPECT_EQ(decode("605#6000000000000000"), "SDO request node 5: upload segment toggle 0");
  EXPECT_EQ(decode("605#7000000000000000"), "SDO request node 5: upload segment toggle 1");
  // Expedited answers: 0x4F carries one byte, 0x43 four, 0x42 (size not given) four.
  EXPECT_EQ(decode("585#4F0A100041000000"),
            "SDO answer node 5: upload 100A:00 expedited 1 byte 41 \"A\"");
  EXPECT_EQ(decode("585#4309100042324332"),
            "SDO answer node 5: upload 1009:00 expedited 4 bytes 42 32 43 32 \"B2C2\"");
  EXPECT_EQ(decode("585#4218100101020304"),
            "SDO answer node 5: upload 1018:01 expedited 4 bytes 01 02 03 04");
  EXPECT_EQ(decode("585#4108100013000000"), "SDO answer node 5: upload 1008:00 segmented, size 19");
  // Segments: 0x00 carries seven bytes and asks for more; 0x0B carries two and ends.
  EXPECT_EQ(decode("585#005A50532D343820"),
            "SDO answer node 5: upload segment toggle 0, 7 bytes 5A 50 53 2D 34 38 20 \"ZPS-48 \"");
  EXPECT_EQ(decode("585#1B6C790000000000"),
            "SDO answer node 5: upload segment toggle 1, 2 bytes 6C 79 \"ly\", last");
  EXPECT_EQ(decode("585#8000200000000206"),
            "SDO answer node 5: abort 2000:00 code 0x06020000 (object does not exist in the object "
            "dictionary)");
  EXPECT_EQ(decode("605#8008100000000405"),
            "SDO request node 5: abort 1008:00 code 0x05040000 (SDO protocol timed out)");
  EXPECT_EQ(decode("585#8000200078563412"), "SDO answer node 5: abort 2000:00 code 0x12345678");
  EXPECT_EQ(decode("605#2300200104030201"),
            "SDO request node 5: download 2000:01 expedited 4 bytes 04 03 02 01");
  EXPECT_EQ(decode("585#6000200100000000"), "SDO answer node 5: download 2000:01 done");
  EXPECT_EQ(decode("585#4308"), "SDO answer node 5: short frame (2 bytes)");
}

TEST(Candump, DecodesEmergencyAndOtherServices) {
  EXPECT_EQ(decode("085#1081110102030405"),
            "emergency node 5: code 0x8110 (CAN overrun, objects lost) register 0x11 data 01 02 03 "
            "04 05");
  EXPECT_EQ(
      decode("08C#0000000000000000"),
      "emergency node 12: code 0x0000 (error reset or no error) register 0x00 data 00 00 00 00 00");
  EXPECT_EQ(decode("085#1032"), "emergency node 5: short frame (2 bytes)");
  EXPECT_EQ(candump::emergency_class(0x3210), "voltage inside the device");
  EXPECT_EQ(candump::emergency_class(0x4310), "temperature") << "a sub-group of its group";
  EXPECT_EQ(candump::emergency_class(0xA000), "");

  EXPECT_EQ(decode("080#"), "SYNC");
  EXPECT_EQ(decode("185#0102"), "TPDO1 node 5");
  EXPECT_EQ(decode("485#R"), "TPDO4 node 5 remote request");
  EXPECT_EQ(decode("205#01"), "RPDO1 node 5");
  EXPECT_EQ(decode("505#01"), "RPDO4 node 5");
  EXPECT_EQ(decode("780#01"), "") << "node 0 of a node service means nothing";
  EXPECT_EQ(decode("7A5#01"), "") << "not a CANopen identifier";
}

TEST(Candump, MonitorLines) {
  CMSG f = frame("705#05");
  EXPECT_EQ(candump::monitor_line(f, false), "705#05");
  EXPECT_EQ(candump::monitor_line(f, true),
            "705#05" + std::string(16, ' ') + "heartbeat node 5: operational");
  EXPECT_EQ(candump::monitor_line(f, false, 1700000000123456LL), "(1700000000.123456) 705#05");
  EXPECT_EQ(candump::monitor_line(f, false, 5), "(0.000005) 705#05");
  CMSG other = frame("7A5#01");
  EXPECT_EQ(candump::monitor_line(other, true), "7A5#01") << "nothing to decode, no padding";
}

// 29-bit identifiers and candump's log format, as canplayer and log2long read it.
TEST(Candump, ExtendedIdentifiersAndLogLines) {
  CMSG f = frame("18FF1234#0102");
  EXPECT_EQ(f.id, 0x18FF1234 | candump::kExtendedId);
  EXPECT_EQ(candump::format_frame(f), "18FF1234#0102");
  EXPECT_EQ(candump::format_frame(frame("00000705#05")), "00000705#05")
      << "a 29-bit identifier keeps its 8 digits even when it is small";
  EXPECT_EQ(candump::decode_canopen(frame("00000705#05")), "") << "not a CANopen heartbeat";
  EXPECT_EQ(candump::format_frame(frame("1FFFFFFF#R")), "1FFFFFFF#R");
  CMSG bad;
  for (const char* t : {"20000000#00", "FFFFFFFF#00", "1234#00", "0000070#00", "123456789#00"})
    EXPECT_FALSE(candump::parse_frame(t, &bad)) << t;

  EXPECT_EQ(candump::log_line(frame("705#05"), "vcan0", 1700000000123456LL),
            "(1700000000.123456) vcan0 705#05");
  EXPECT_EQ(candump::log_line(frame("18FF1234#R"), "can1", 7), "(0.000007) can1 18FF1234#R");
  EXPECT_EQ(candump::log_line(frame("080#"), "zuntal0", 1000000), "(1.000000) zuntal0 080#");
}

}  // namespace
