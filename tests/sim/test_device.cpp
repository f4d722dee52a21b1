// The simulated device as a driver client sees it: SDO server, NMT slave,
// heartbeat, node guarding and emergency, byte for byte.
#include <string>

#include "sim_fixture.h"

namespace {

using simtest::abort_frame;
using simtest::answer;
using simtest::F;
using simtest::SimTest;

constexpr int kNode = 5;  // zps48.eds
const F kBootUp{0x705, {0x00}};

class Device : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    listen({0x585, 0x705, 0x85});
    dev_ = make(kNode, "zps48.eds");
    ASSERT_TRUE(dev_);
    ASSERT_EQ(take(), std::vector<F>{kBootUp});
  }

  // Uploads one object by the segmented protocol, checking each segment's
  // toggle bit; returns the data.
  std::string upload_segmented(uint16_t index, uint8_t sub) {
    sdo(kNode, 0x40, index, sub);
    std::vector<F> got = take();
    EXPECT_EQ(got.size(), 1u);
    if (got.size() != 1 || got[0].d[0] != 0x41) return "<no segmented answer>";
    size_t size = got[0].d[4] | got[0].d[5] << 8;
    std::string data;
    for (uint8_t toggle = 0;; toggle ^= 1) {
      sdo(kNode, static_cast<uint8_t>(0x60 | toggle << 4), 0, 0);
      got = take();
      EXPECT_EQ(got.size(), 1u);
      if (got.size() != 1) return "<no segment>";
      uint8_t c = got[0].d[0];
      if (c & 0xE0) {
        ADD_FAILURE() << "segment answer 0x" << std::hex << int{c};
        return "<abort>";
      }
      EXPECT_EQ((c >> 4) & 1, toggle);
      data.append(got[0].d.begin() + 1, got[0].d.begin() + 8 - ((c >> 1) & 7));
      if (c & 1) break;
    }
    EXPECT_EQ(data.size(), size);
    return data;
  }

  zsim::Device* dev_ = nullptr;
};

TEST_F(Device, ExpeditedUploadIndicatesTheSize) {
  sdo(kNode, 0x40, 0x1000, 0);  // UNSIGNED32
  sdo(kNode, 0x40, 0x1017, 0);  // UNSIGNED16 heartbeat time 1000
  sdo(kNode, 0x40, 0x1009, 0);  // "B2"
  sdo(kNode, 0x40, 0x1001, 0);  // UNSIGNED8
  sdo(kNode, 0x40, 0x1018, 4);  // serial number 23110417
  dev_->write_text(0x2100, 3, "abc");
  sdo(kNode, 0x40, 0x2100, 3);
  EXPECT_EQ(take(), (std::vector<F>{
                        answer(kNode, {0x43, 0x00, 0x10, 0x00, 0x91, 0x01, 0x00, 0x00}),
                        answer(kNode, {0x4B, 0x17, 0x10, 0x00, 0xE8, 0x03, 0x00, 0x00}),
                        answer(kNode, {0x4B, 0x09, 0x10, 0x00, 'B', '2', 0x00, 0x00}),
                        answer(kNode, {0x4F, 0x01, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00}),
                        answer(kNode, {0x43, 0x18, 0x10, 0x04, 0x11, 0xA3, 0x60, 0x01}),
                        answer(kNode, {0x47, 0x00, 0x21, 0x03, 'a', 'b', 'c', 0x00}),
                    }));
}

TEST_F(Device, SegmentedUploadAlternatesTheToggleBit) {
  // 19 bytes: initiate with size, then 7 + 7 + 5 bytes.
  sdo(kNode, 0x40, 0x1008, 0);
  sdo(kNode, 0x60, 0, 0);
  sdo(kNode, 0x70, 0, 0);
  sdo(kNode, 0x60, 0, 0);
  EXPECT_EQ(take(), (std::vector<F>{
                        answer(kNode, {0x41, 0x08, 0x10, 0x00, 19, 0, 0, 0}),
                        answer(kNode, {0x00, 'Z', 'P', 'S', '-', '4', '8', ' '}),
                        answer(kNode, {0x10, 'P', 'o', 'w', 'e', 'r', ' ', 'S'}),
                        answer(kNode, {0x05, 'u', 'p', 'p', 'l', 'y', 0, 0}),
                    }));

  // Exactly 7 bytes fit one last segment; an empty value is one empty segment;
  // a long value crosses many toggles.
  EXPECT_EQ(upload_segmented(0x100A, 0), "V1.04.2");
  dev_->write_text(0x100A, 0, "");
  EXPECT_EQ(upload_segmented(0x100A, 0), "");
  std::string long_text(200, 'x');
  for (size_t i = 0; i < long_text.size(); ++i) long_text[i] = static_cast<char>(' ' + i % 90);
  dev_->write_text(0x100A, 0, long_text);
  EXPECT_EQ(upload_segmented(0x100A, 0), long_text);

  // A new initiate request in the middle of a transfer starts over.
  sdo(kNode, 0x40, 0x1008, 0);
  sdo(kNode, 0x60, 0, 0);
  take();
  EXPECT_EQ(upload_segmented(0x1008, 0), "ZPS-48 Power Supply");
}

TEST_F(Device, AbortsNameTheFault) {
  sdo(kNode, 0x40, 0x2FFF, 0);  // no such object
  sdo(kNode, 0x40, 0x1018, 9);  // no such subindex
  sdo(kNode, 0xE0, 0x1008, 0);  // unknown command specifier
  sdo(kNode, 0x60, 0, 0);       // segment without a transfer
  EXPECT_EQ(take(), (std::vector<F>{
                        abort_frame(kNode, 0x2FFF, 0, 0x06020000),
                        abort_frame(kNode, 0x1018, 9, 0x06090011),
                        abort_frame(kNode, 0x1008, 0, 0x05040001),
                        abort_frame(kNode, 0, 0, 0x05040001),
                    }));

  // A client that does not alternate its toggle bit gets 0x05030000, and the
  // transfer is over.
  sdo(kNode, 0x40, 0x1008, 0);
  sdo(kNode, 0x60, 0, 0);
  sdo(kNode, 0x60, 0, 0);
  sdo(kNode, 0x70, 0, 0);
  std::vector<F> got = take();
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[2], abort_frame(kNode, 0x1008, 0, 0x05030000));
  EXPECT_EQ(got[3], abort_frame(kNode, 0, 0, 0x05040001));

  // A first segment request with toggle 1 is wrong as well.
  sdo(kNode, 0x40, 0x1008, 0);
  sdo(kNode, 0x70, 0, 0);
  got = take();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[1], abort_frame(kNode, 0x1008, 0, 0x05030000));

  // An abort from the client ends the transfer without an answer.
  sdo(kNode, 0x40, 0x1008, 0);
  sdo(kNode, 0x80, 0x1008, 0, 0x08000000);
  sdo(kNode, 0x60, 0, 0);
  got = take();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[1], abort_frame(kNode, 0, 0, 0x05040001));

  // Requests of another node are not answered.
  listen({0x586});
  sdo(kNode + 1, 0x40, 0x1008, 0);
  EXPECT_TRUE(take().empty());
}

// Segmented download: 16 bytes in segments 00 / 10 / 00 answered 20 / 30 /
// 20, kept so that an upload reads them back; the EDS access types and the
// lengths decide which writes are refused.
TEST_F(Device, SegmentedDownloadIsKeptAndReadBack) {
  dev_->write_object(0x2100, 0, {});  // a read-write DOMAIN
  sdo(kNode, 0x21, 0x2100, 0, 16);
  send(0x605, {0x00, 'A', 'B', 'C', 'D', 'E', 'F', 'G'});
  send(0x605, {0x10, 'H', 'I', 'J', 'K', 'L', 'M', 'N'});
  send(0x605, {0x0B, 'O', 'P', 0, 0, 0, 0, 0});
  EXPECT_EQ(take(), (std::vector<F>{
                        answer(kNode, {0x60, 0x00, 0x21, 0x00, 0, 0, 0, 0}),
                        answer(kNode, {0x20, 0, 0, 0, 0, 0, 0, 0}),
                        answer(kNode, {0x30, 0, 0, 0, 0, 0, 0, 0}),
                        answer(kNode, {0x20, 0, 0, 0, 0, 0, 0, 0}),
                    }));
  EXPECT_EQ(upload_segmented(0x2100, 0), "ABCDEFGHIJKLMNOP");

  // Without a size, and into a typed object of the right length.
  sdo(kNode, 0x20, 0x2100, 0);
  send(0x605, {0x09, 'x', 'y', 'z', 0, 0, 0, 0});
  sdo(kNode, 0x21, 0x2000, 0, 4);
  send(0x605, {0x07, 0x00, 0x00, 0x20, 0x42, 0, 0, 0});
  EXPECT_EQ(take().size(), 4u);
  std::vector<uint8_t> v;
  ASSERT_TRUE(dev_->read_object(0x2100, 0, &v));
  EXPECT_EQ(v, (std::vector<uint8_t>{'x', 'y', 'z'}));
  ASSERT_TRUE(dev_->read_object(0x2000, 0, &v));
  EXPECT_EQ(v, (std::vector<uint8_t>{0x00, 0x00, 0x20, 0x42}));

  sdo(kNode, 0x21, 0x1008, 0, 8);  // const
  sdo(kNode, 0x21, 0x1001, 0, 1);  // ro
  sdo(kNode, 0x21, 0x2FFF, 0, 8);  // no such object
  sdo(kNode, 0x21, 0x2000, 0, 8);  // REAL32 of 8 bytes
  sdo(kNode, 0x21, 0x2100, 0, 10);
  send(0x605, {0x09, 'a', 'b', 'c', 0, 0, 0, 0});  // last after 3 of 10 bytes
  sdo(kNode, 0x21, 0x2100, 0, 10);
  send(0x605, {0x10, 'a', 'b', 'c', 'd', 'e', 'f', 'g'});  // toggle 1 first
  send(0x605, {0x00, 'a', 'b', 'c', 'd', 'e', 'f', 'g'});  // no transfer
  sdo(kNode, 0x20, 0x2000, 0);
  send(0x605, {0x01, 1, 2, 3, 4, 5, 6, 7});  // 7 bytes into a REAL32
  EXPECT_EQ(take(), (std::vector<F>{
                        abort_frame(kNode, 0x1008, 0, 0x06010002),
                        abort_frame(kNode, 0x1001, 0, 0x06010002),
                        abort_frame(kNode, 0x2FFF, 0, 0x06020000),
                        abort_frame(kNode, 0x2000, 0, 0x06070012),
                        answer(kNode, {0x60, 0x00, 0x21, 0x00, 0, 0, 0, 0}),
                        abort_frame(kNode, 0x2100, 0, 0x06070010),
                        answer(kNode, {0x60, 0x00, 0x21, 0x00, 0, 0, 0, 0}),
                        abort_frame(kNode, 0x2100, 0, 0x05030000),
                        abort_frame(kNode, 0, 0, 0x05040001),
                        answer(kNode, {0x60, 0x00, 0x20, 0x00, 0, 0, 0, 0}),
                        abort_frame(kNode, 0x2000, 0, 0x06070012),
                    }));
  ASSERT_TRUE(dev_->read_object(0x2100, 0, &v));
  EXPECT_EQ(v, (std::vector<uint8_t>{'x', 'y', 'z'})) << "refused writes change nothing";
}

TEST_F(Device, ExpeditedDownloadWritesSmallObjects) {
  sdo(kNode, 0x2F, 0x2002, 0, 1);           // BOOLEAN, 1 byte
  sdo(kNode, 0x40, 0x2002, 0);              // read back
  sdo(kNode, 0x23, 0x2000, 0, 0x42480000);  // REAL32 50.0
  sdo(kNode, 0x2B, 0x1008, 0, 0x4141);      // const
  sdo(kNode, 0x23, 0x2002, 0, 1);           // 4 bytes into a BOOLEAN
  sdo(kNode, 0x2F, 0x1017, 0, 1);           // 1 byte into an UNSIGNED16
  sdo(kNode, 0x21, 0x2000, 0, 4);           // segmented download of 4 bytes
  sdo(kNode, 0x2F, 0x2FFF, 0, 1);           // no such object
  EXPECT_EQ(take(), (std::vector<F>{
                        answer(kNode, {0x60, 0x02, 0x20, 0x00, 0, 0, 0, 0}),
                        answer(kNode, {0x4F, 0x02, 0x20, 0x00, 1, 0, 0, 0}),
                        answer(kNode, {0x60, 0x00, 0x20, 0x00, 0, 0, 0, 0}),
                        abort_frame(kNode, 0x1008, 0, 0x06010002),
                        abort_frame(kNode, 0x2002, 0, 0x06070012),
                        abort_frame(kNode, 0x1017, 0, 0x06070013),
                        answer(kNode, {0x60, 0x00, 0x20, 0x00, 0, 0, 0, 0}),
                        abort_frame(kNode, 0x2FFF, 0, 0x06020000),
                    }));
  std::vector<uint8_t> v;
  ASSERT_TRUE(dev_->read_object(0x2000, 0, &v));
  EXPECT_EQ(v, (std::vector<uint8_t>{0x00, 0x00, 0x48, 0x42}));

  // Writing the heartbeat time restarts the producer at the new period.
  dev_->advance_to(300000);
  sdo(kNode, 0x2B, 0x1017, 0, 100);
  take();
  EXPECT_EQ(dev_->heartbeat_period(), 100);
  dev_->advance_to(399999);
  EXPECT_TRUE(take().empty());
  dev_->advance_to(400000);
  EXPECT_EQ(take(), (std::vector<F>{{0x705, {0x7F}}}));

  // Reset node restores every default; reset communication only 0x1000-0x1FFF.
  sdo(kNode, 0x2B, 0x1017, 0, 250);
  send(0x000, {0x82, kNode});
  ASSERT_TRUE(dev_->read_object(0x2000, 0, &v));
  EXPECT_EQ(v, (std::vector<uint8_t>{0x00, 0x00, 0x48, 0x42}));
  EXPECT_EQ(dev_->heartbeat_period(), 1000);
  send(0x000, {0x81, kNode});
  ASSERT_TRUE(dev_->read_object(0x2000, 0, &v));
  EXPECT_EQ(v, (std::vector<uint8_t>{0x00, 0x00, 0xC0, 0x41}));
}

TEST_F(Device, NmtCommandsMoveTheState) {
  // The guarding answer shows the state; its toggle bit is checked elsewhere.
  auto state = [&] {
    send_rtr(0x705);
    std::vector<F> got = take();
    return got.empty() ? -1 : got.back().d[0] & 0x7F;
  };
  EXPECT_EQ(state(), 0x7F);
  send(0x000, {0x01, kNode});
  EXPECT_EQ(state(), 0x05);
  EXPECT_EQ(dev_->state(), zsim::NmtState::Operational);
  send(0x000, {0x02, kNode + 1});  // another node
  send(0x000, {0x02});             // too short
  EXPECT_EQ(state(), 0x05);
  send(0x000, {0x02, 0});  // all nodes
  EXPECT_EQ(state(), 0x04);

  // Stopped: no SDO, no emergency; heartbeat and guarding go on.
  sdo(kNode, 0x40, 0x1008, 0);
  EXPECT_FALSE(dev_->emergency(0x1000, 1));
  EXPECT_TRUE(take().empty());
  dev_->advance_to(1000000);
  EXPECT_EQ(take(), (std::vector<F>{{0x705, {0x04}}}));

  send(0x000, {0x80, kNode});
  EXPECT_EQ(state(), 0x7F);
  send(0x000, {0x01, kNode});
  EXPECT_EQ(state(), 0x05);

  // Both resets send the boot-up frame and end in pre-operational, with the
  // heartbeat one period after the reset.
  for (uint8_t cs : {0x81, 0x82}) {
    SCOPED_TRACE(cs);
    send(0x000, {0x01, kNode});
    dev_->advance_to(dev_->now_us() + 300000);
    take();
    send(0x000, {cs, 0});
    EXPECT_EQ(take(), std::vector<F>{kBootUp});
    EXPECT_EQ(dev_->state(), zsim::NmtState::PreOperational);
    dev_->advance_to(dev_->now_us() + 999999);
    EXPECT_TRUE(take().empty());
    dev_->advance_to(dev_->now_us() + 1);
    EXPECT_EQ(take(), (std::vector<F>{{0x705, {0x7F}}}));
  }

  // Power cycling boots again.
  dev_->power_off();
  send(0x000, {0x01, kNode});
  sdo(kNode, 0x40, 0x1008, 0);
  EXPECT_TRUE(take().empty());
  ASSERT_EQ(dev_->power_on(5000000), 0);
  EXPECT_EQ(take(), std::vector<F>{kBootUp});
  EXPECT_EQ(dev_->state(), zsim::NmtState::PreOperational);
}

TEST_F(Device, HeartbeatFollowsTheTimeGiven) {
  dev_->advance_to(999999);
  EXPECT_TRUE(take().empty());
  dev_->advance_to(1000000);
  EXPECT_EQ(take(), (std::vector<F>{{0x705, {0x7F}}}));
  dev_->advance_to(500000);  // time never goes back
  dev_->advance_to(1999999);
  EXPECT_TRUE(take().empty());
  EXPECT_EQ(dev_->next_due_us(), 2000000);

  // A long step sends every beat that fell due, with the state of the time.
  send(0x000, {0x01, kNode});
  dev_->advance_to(5000000);
  EXPECT_EQ(take(), std::vector<F>(4, F{0x705, {0x05}}));

  dev_->set_heartbeat_period(250);
  dev_->advance_to(5250000);
  EXPECT_EQ(take(), (std::vector<F>{{0x705, {0x05}}}));
  dev_->set_heartbeat_period(0);
  dev_->advance_to(60000000);
  EXPECT_TRUE(take().empty());
  EXPECT_EQ(dev_->next_due_us(), INT64_MAX);
}

TEST_F(Device, NodeGuardingTogglesFromZero) {
  for (int i = 0; i < 4; ++i) send_rtr(0x705);
  send(0x000, {0x01, kNode});
  send_rtr(0x705);
  send_rtr(0x705, 0);   // any requested length
  send(0x705, {0x00});  // a data frame is no request
  EXPECT_EQ(take(), (std::vector<F>{{0x705, {0x7F}},
                                    {0x705, {0xFF}},
                                    {0x705, {0x7F}},
                                    {0x705, {0xFF}},
                                    {0x705, {0x05}},
                                    {0x705, {0x85}}}));
  // A reset starts the toggle at 0 again.
  send_rtr(0x705);
  send(0x000, {0x82, kNode});
  send_rtr(0x705);
  EXPECT_EQ(take(), (std::vector<F>{{0x705, {0x05}}, kBootUp, {0x705, {0x7F}}}));
}

TEST_F(Device, EmergencyFrameLayout) {
  EXPECT_TRUE(dev_->emergency(0x2310, 0x03, {0xA1, 0xA2, 0xA3, 0xA4, 0xA5}));
  EXPECT_TRUE(dev_->emergency(0x0000, 0x00));
  EXPECT_EQ(take(), (std::vector<F>{{0x85, {0x10, 0x23, 0x03, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5}},
                                    {0x85, {0, 0, 0, 0, 0, 0, 0, 0}}}));
  // The error register object follows the last emergency.
  dev_->emergency(0x4210, 0x09);
  std::vector<uint8_t> v;
  ASSERT_TRUE(dev_->read_object(0x1001, 0, &v));
  EXPECT_EQ(v, std::vector<uint8_t>{0x09});
}

}  // namespace
