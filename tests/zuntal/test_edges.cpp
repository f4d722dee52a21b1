// The library at the edges of its ranges: line and node numbers through
// registration and the configuration file, the node's receive buffer, frame
// lengths and the identity texts' characters.
#include <cstring>

#include "zuntal_fixture.h"

namespace {

// Lines 1 to 20 open driver nets 0 to 19; 0 and 21 are refused before any
// driver call.
TEST_F(ZuntalTest, EdgeLinesRegisterInsideOneToTwentyOnly) {
  const struct {
    int line;
    int expect;
  } cases[] = {{0, -1}, {1, 0}, {20, 0}, {21, -1}};
  for (const auto& c : cases) {
    D_can* n = node("N" + std::to_string(c.line), c.line, 5);
    ntcan_ctl::clear_counters();
    EXPECT_EQ(n->init(0x185), c.expect) << c.line;
    if (c.expect == 0) {
      EXPECT_GT(n->handle(), 0) << c.line;
      EXPECT_EQ(ntcan_ctl::calls_on_net(c.line - 1, ntcan_ctl::Op::Open), 1u) << c.line;
    } else {
      EXPECT_EQ(ntcan_ctl::total_calls(), 0u) << c.line;
    }
  }
  EXPECT_EQ(zuntal_test::lines().size(), 2u);
}

// An address read from the file keeps a line up to 20 and node and
// identifiers up to 2000; one more becomes 0.
TEST_F(ZuntalTest, EdgeAddressFromTheFileKeepsItsLimitsAndZeroesOneBeyond) {
  const struct {
    const char* line;
    IIII expect;
  } cases[] = {{"20 2000 2000 2000", {20, 2000, 2000, 2000}}, {"21 2001 2001 2001", {0, 0, 0, 0}}};
  for (const auto& c : cases) {
    Config cfg;
    ASSERT_EQ(cfg.load_text(std::string("LOCATION LOC\nN\t") + c.line + "\n"), 0);
    loc_->set_config(&cfg);
    D_can* n = node("N", 3, 3, 3, 3);
    loc_->restore_config();
    EXPECT_EQ(std::memcmp(n->value(), &c.expect, sizeof(IIII)), 0) << c.line;
    destroy(n);
  }
}

// One update cycle takes at most the buffer's 100 frames; the node's queue
// holds 100, so a 101st is lost and counted in the next frame taken.
TEST_F(ZuntalTest, EdgeReceiveBufferAtOneHundredFramesAndOneMore) {
  D_can* n = node("N", 1, 5);
  ASSERT_EQ(n->init(0x185), 0);
  for (int count : {100, 101}) {
    SCOPED_TRACE(count);
    std::vector<CMSG> burst;
    for (int k = 0; k < count; ++k) burst.push_back(frame(0x185, {uint8_t(k)}));
    inject(0, burst);
    can_looping();
    CMSG copy[100];
    int len = -5;
    EXPECT_EQ(n->can_array(copy, &len), 0);
    ASSERT_EQ(len, 100);
    EXPECT_EQ(copy[99].data[0], 99);
    int lost = 0;
    for (const CMSG& m : copy) lost += m.msg_lost;
    EXPECT_EQ(lost, count - 100);
    can_looping();
    EXPECT_EQ(n->can_array(copy, &len), 0);
    EXPECT_EQ(len, 0);
  }
  // A frame of eight data bytes, the most it holds, is sent (nine are not).
  unsigned char data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(n->can_write(0x205, 8, data), 0);
  ASSERT_EQ(ntcan_ctl::sent_frames(0).size(), 1u);
  EXPECT_EQ(std::memcmp(ntcan_ctl::sent_frames(0)[0].data, data, 8), 0);
}

// Bytes from 0x80 on, whose char is negative: identity texts keep printable
// ASCII (0x20 to 0x7E) and end at the first other byte; emergency data
// prints as 0xFF, eight of them filling the text; a heartbeat state keeps
// its toggle bit and counts as operational by its low seven bits.
TEST_F(ZuntalTest, EdgeBytesFromEightyOnStayUnsigned) {
  D_can* n = node("N", 1, 5);
  const struct {
    const char* in;
    size_t kept;
  } texts[] = {{" ~b", 3}, {"a\037b", 1}, {"a\177b", 1}, {"a\200b", 1}, {"a\377b", 1}};
  for (const auto& c : texts) {
    char buf[8];
    std::strcpy(buf, c.in);
    EXPECT_EQ(n->check_ascii(buf), c.kept == 3 ? 0 : -1) << c.in;
    EXPECT_EQ(std::string(buf), std::string(c.in, c.kept)) << c.in;
  }
  CMSG e = frame(0x85, std::vector<uint8_t>(8, 0xFF));
  int one = 1;
  EXPECT_EQ(n->can_emergency(5, &e, &one), 100);
  EXPECT_EQ(msgs_.count("D_can::can_emergency", "0xFF 0xFF 0xFF 0xFF 0xFF 0xFF 0xFF 0xFF "), 1);

  int state = -1;
  D_Alive alive("A", &state, nullptr, loc_.get());
  const struct {
    uint8_t state;
    int len, answer, kept;
  } beats[] = {{0x05, 1, 100, 0x05}, {0x85, 1, 100, 0x85}, {0x7F, 1, 0, 0x7F}, {0x05, 2, 0, 0x7F}};
  for (const auto& c : beats) {
    CMSG hb = frame(0x705, std::vector<uint8_t>(c.len, c.state));
    EXPECT_EQ(alive.check_alive(5, &hb, &one), c.answer) << int(c.state) << " " << c.len;
    EXPECT_EQ(state, c.kept) << int(c.state) << " " << c.len;
  }
}

}  // namespace
