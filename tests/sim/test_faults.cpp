// Faults a test orders from a device: silence, delays, aborts, wrong toggle
// bits, frames of other nodes and floods.
#include "sim_fixture.h"

namespace {

using simtest::abort_frame;
using simtest::answer;
using simtest::F;
using simtest::SimTest;

constexpr int kNode = 12;  // zmc200.eds, heartbeat 500 ms
const F kBootUp{0x70C, {0x00}};
const F kNameInit = answer(kNode, {0x41, 0x08, 0x10, 0x00, 24, 0, 0, 0});
const F kNameSeg0 = answer(kNode, {0x00, 'Z', 'M', 'C', '-', '2', '0', '0'});
const F kNameSeg1 = answer(kNode, {0x10, ' ', 'M', 'o', 't', 'o', 'r', ' '});

class Faults : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    listen({0x58C, 0x70C, 0x8C});
    dev_ = make(kNode, "zmc200.eds");
    ASSERT_TRUE(dev_);
    ASSERT_EQ(take(), std::vector<F>{kBootUp});
  }
  zsim::Device* dev_ = nullptr;
};

TEST_F(Faults, SilenceStopsOnlyWhatWasOrdered) {
  dev_->set_sdo_silent(true);
  sdo(kNode, 0x40, 0x1009, 0);
  send_rtr(0x70C);
  EXPECT_EQ(take(), (std::vector<F>{{0x70C, {0x7F}}}));
  dev_->set_sdo_silent(false);
  dev_->set_guard_silent(true);
  sdo(kNode, 0x40, 0x1009, 0);
  send_rtr(0x70C);
  send_rtr(0x70C);
  dev_->set_guard_silent(false);
  send_rtr(0x70C);  // an ignored request does not use up a toggle
  EXPECT_EQ(take(), (std::vector<F>{answer(kNode, {0x4F, 0x09, 0x10, 0x00, 'C', 0, 0, 0}),
                                    {0x70C, {0xFF}}}));

  // Mute: nothing leaves the device, but it still follows NMT commands.
  dev_->set_mute(true);
  sdo(kNode, 0x40, 0x1009, 0);
  send_rtr(0x70C);
  send(0x000, {0x01, kNode});
  dev_->advance_to(2000000);
  EXPECT_FALSE(dev_->emergency(0x1000, 1));
  send(0x000, {0x81, kNode});
  send(0x000, {0x01, kNode});
  EXPECT_TRUE(take().empty());
  EXPECT_EQ(dev_->state(), zsim::NmtState::Operational);
  dev_->clear_faults();
  dev_->advance_to(2500000);
  EXPECT_EQ(take(), (std::vector<F>{{0x70C, {0x05}}}));
}

TEST_F(Faults, DelayedAnswersLeaveWhenDue) {
  dev_->set_answer_delay(300000);
  dev_->advance_to(100000);
  sdo(kNode, 0x40, 0x1009, 0);  // due at 400000
  dev_->advance_to(200000);
  send_rtr(0x70C);  // due at 500000, with the heartbeat
  EXPECT_TRUE(take().empty());
  EXPECT_EQ(dev_->next_due_us(), 400000);
  dev_->advance_to(399999);
  EXPECT_TRUE(take().empty());
  dev_->advance_to(400000);
  EXPECT_EQ(take(), std::vector<F>{answer(kNode, {0x4F, 0x09, 0x10, 0x00, 'C', 0, 0, 0})});
  // The heartbeat came due first at the same time: it goes first.
  dev_->advance_to(600000);
  EXPECT_EQ(take(), (std::vector<F>{{0x70C, {0x7F}}, {0x70C, {0x7F}}}));

  // A segmented transfer works step by step with delays, and a reset drops
  // the answers still waiting.
  sdo(kNode, 0x40, 0x1008, 0);
  dev_->advance_to(900000);
  EXPECT_EQ(take(), std::vector<F>{kNameInit});
  sdo(kNode, 0x60, 0, 0);
  send(0x000, {0x82, kNode});
  dev_->advance_to(1399999);
  EXPECT_EQ(take(), std::vector<F>{kBootUp});

  dev_->set_answer_delay(0);
  sdo(kNode, 0x40, 0x1009, 0);
  EXPECT_EQ(take().size(), 1u);
}

TEST_F(Faults, SegmentFaultsHitTheNextSegmentOnly) {
  // Abort instead of a segment ends the transfer.
  dev_->abort_next_segment(0x08000020);
  sdo(kNode, 0x40, 0x1008, 0);
  sdo(kNode, 0x60, 0, 0);
  sdo(kNode, 0x70, 0, 0);
  EXPECT_EQ(take(), (std::vector<F>{kNameInit, abort_frame(kNode, 0x1008, 0, 0x08000020),
                                    abort_frame(kNode, 0, 0, 0x05040001)}));
  // Ordered before a later segment: the first one comes through.
  sdo(kNode, 0x40, 0x1008, 0);
  sdo(kNode, 0x60, 0, 0);
  dev_->abort_next_segment(0x05040000);
  sdo(kNode, 0x70, 0, 0);
  EXPECT_EQ(take(),
            (std::vector<F>{kNameInit, kNameSeg0, abort_frame(kNode, 0x1008, 0, 0x05040000)}));

  // A wrong toggle bit in one answer; the device's sequence goes on.
  dev_->wrong_toggle_next_segment();
  sdo(kNode, 0x40, 0x1008, 0);
  sdo(kNode, 0x60, 0, 0);
  sdo(kNode, 0x70, 0, 0);
  F bad = kNameSeg0;
  bad.d[0] = 0x10;
  EXPECT_EQ(take(), (std::vector<F>{kNameInit, bad, kNameSeg1}));

  // The same for guarding answers.
  dev_->wrong_toggle_next_guard();
  send_rtr(0x70C);
  send_rtr(0x70C);
  send_rtr(0x70C);
  EXPECT_EQ(take(), (std::vector<F>{{0x70C, {0xFF}}, {0x70C, {0xFF}}, {0x70C, {0x7F}}}));
}

TEST_F(Faults, ExtraFramesAndFloods) {
  listen({0x58D, 0x123});
  // A frame of another node right before the answer, also when delayed.
  CMSG other{};
  other.id = 0x58D;
  other.len = 8;
  other.data[0] = 0x4F;
  dev_->send_before_next_answer(other, 2);
  sdo(kNode, 0x40, 0x1009, 0);
  sdo(kNode, 0x40, 0x1009, 0);
  const F c = answer(kNode, {0x4F, 0x09, 0x10, 0x00, 'C', 0, 0, 0});
  const F o{0x58D, {0x4F, 0, 0, 0, 0, 0, 0, 0}};
  EXPECT_EQ(take(), (std::vector<F>{o, o, c, c}));
  dev_->set_answer_delay(1000);
  dev_->send_before_next_answer(other);
  send_rtr(0x70C);
  EXPECT_TRUE(take().empty());
  dev_->advance_to(1000);
  EXPECT_EQ(take(), (std::vector<F>{o, {0x70C, {0x7F}}}));

  // A flood: frames with a running number, sent at once, even when mute.
  dev_->set_mute(true);
  uint64_t before = dev_->frames_sent();
  dev_->flood(0x123, 300);
  std::vector<CMSG> got = take_raw();
  ASSERT_EQ(got.size(), 300u);
  for (int i = 0; i < 300; ++i) {
    EXPECT_EQ(got[i].id, 0x123);
    EXPECT_EQ(got[i].len, 8);
    EXPECT_EQ(got[i].data[0] | got[i].data[1] << 8, i);
  }
  EXPECT_EQ(dev_->frames_sent() - before, 300u);
}

}  // namespace
