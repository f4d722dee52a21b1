// Frame access on registered node properties: sending, remote requests,
// reads, request-and-poll, the update cycle's fill with copies from the
// shared buffer, and the debug print.
#include <cstring>

#include "zuntal_fixture.h"

using ntcan_ctl::Op;

TEST_F(ZuntalTest, SendingFramesAndRemoteRequests) {
  D_can* n = node("N", 1, 5);
  ASSERT_EQ(n->init(), 0);
  unsigned char data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(n->can_write(0x205, 0, nullptr), 0);
  EXPECT_EQ(n->can_write(0x205, 3, data), 0);
  int ident = 0x305;
  EXPECT_EQ(n->rtr(&ident), 0);
  EXPECT_EQ(n->rtr(&ident, 8), 0);
  EXPECT_EQ(n->rtr(), 0);
  // A length that carries the remote-request bit already is the same request.
  EXPECT_EQ(n->rtr(&ident, 0x10), 0);
  EXPECT_EQ(n->rtr(&ident, 0x18), 0);
  EXPECT_EQ(n->rtr(&ident, 0x13), 0);
  std::vector<CMSG> sent = ntcan_ctl::sent_frames(0);
  ASSERT_EQ(sent.size(), 8u);
  EXPECT_EQ(sent[0].len, 0);
  EXPECT_EQ(sent[1].len, 3);
  EXPECT_EQ(std::memcmp(sent[1].data, "\1\2\3\0\0\0\0\0", 8), 0);  // no bytes past the length
  EXPECT_EQ(sent[2].id, 0x305);
  EXPECT_EQ(sent[2].len, 0x10);
  EXPECT_EQ(sent[3].len, 0x18);
  EXPECT_EQ(sent[4].id, 0x705);
  EXPECT_EQ(sent[4].len, 0x10);
  EXPECT_EQ(sent[5].len, 0x10);
  EXPECT_EQ(sent[6].len, 0x18);
  EXPECT_EQ(sent[7].len, 0x13);
  for (size_t k = 2; k < sent.size(); ++k)  // remote requests carry no data bytes
    EXPECT_EQ(std::memcmp(sent[k].data, "\0\0\0\0\0\0\0\0", 8), 0) << k;

  // Lengths the frame cannot hold, or missing data, are refused unsent.
  ntcan_ctl::clear_counters();
  EXPECT_EQ(n->can_write(0x205, 9, data), NTCAN_INVALID_PARAMETER);
  EXPECT_EQ(n->can_write(0x205, -1, data), NTCAN_INVALID_PARAMETER);
  EXPECT_EQ(n->can_write(0x205, 2, nullptr), NTCAN_INVALID_PARAMETER);
  for (int bad : {9, 15, 0x19, 0x1F, 0x20, 0x28, 0x118, -2})
    EXPECT_EQ(n->rtr(&ident, bad), NTCAN_INVALID_PARAMETER) << bad;
  int len = 12;
  EXPECT_EQ(n->can_poll(&ident, &len, data), NTCAN_INVALID_PARAMETER);
  len = 4;
  EXPECT_EQ(n->can_poll(&ident, &len, nullptr), NTCAN_INVALID_PARAMETER);
  EXPECT_EQ(ntcan_ctl::total_calls(), 0u);

  // A driver failure is passed through; the status slot is not touched.
  D_can* m = node("M", 1, 6);
  ASSERT_EQ(m->init(0), 0);
  ntcan_ctl::force_status(0, Op::Send, NTCAN_TX_TIMEOUT, 1);
  EXPECT_EQ(m->can_write(0x206, 1, data), NTCAN_TX_TIMEOUT);
  EXPECT_EQ(m->can_return(), 0);
}

TEST_F(ZuntalTest, ReadsTakeWhatTheDriverQueued) {
  D_can* n = node("N", 1, 5);
  ASSERT_EQ(n->init(0x185), 0);
  inject(0, {frame(0x185, {1}), frame(0x185, {2}), frame(0x186, {3})});  // 0x186 not enabled
  CMSG buf[10];
  int len = 10;
  EXPECT_EQ(n->can_get(buf, &len), 0);
  ASSERT_EQ(len, 2);
  EXPECT_EQ(buf[1].data[0], 2);
  len = 10;
  EXPECT_EQ(n->can_get(buf, &len), 0);
  EXPECT_EQ(len, 0);

  // The waiting read returns at once when a frame is queued; the status
  // lands in the node's status slot.
  inject(0, {frame(0x185, {9})});
  len = 10;
  EXPECT_EQ(n->can_read(buf, &len), 0);
  EXPECT_EQ(len, 1);
  EXPECT_EQ(buf[0].data[0], 9);
  EXPECT_EQ(n->can_return(), 0);
  ntcan_ctl::force_status(0, Op::Take, NTCAN_CONTR_BUSY, 1);
  len = 10;
  EXPECT_EQ(n->can_get(buf, &len), NTCAN_CONTR_BUSY);
  EXPECT_EQ(n->can_return(), NTCAN_CONTR_BUSY);
}

TEST_F(ZuntalTest, PollDropsForeignFramesAndTakesTheAnswerAtTheThirdAttempt) {
  D_can* n = node("N", 1, 5);
  ASSERT_EQ(n->init(0x585, 1), 0);
  ASSERT_EQ(n->init(0), 0);  // the node's buffer and status slot
  NTCAN_HANDLE h = n->handle();

  // First pause: a foreign frame and one with other bytes 1 to 3; third
  // pause: the answer, then one more frame behind it.
  int start = clock_.short_pauses;
  clock_.on_short_pause = [start](int k, int64_t us) {
    if (us != 5000) return;
    if (k - start == 1) {
      CMSG f[2] = {frame(0x585, {0x43, 0x00, 0x10, 0x00, 1, 2, 3, 4}),
                   frame(0x585, {0x43, 0x08, 0x10, 0x01, 9, 9, 9, 9})};
      ntcan_ctl::inject(0, f, 2);
    }
    if (k - start == 3) {
      CMSG f[2] = {frame(0x585, {0x4F, 0x18, 0x10, 0x01, 0x77}),
                   frame(0x585, {0x43, 0x18, 0x10, 0x01, 5, 5, 5, 5})};
      ntcan_ctl::inject(0, f, 2);
    }
  };
  ntcan_ctl::clear_counters();
  int ident = 0x605, len = 8;
  unsigned char data[8] = {0x40, 0x18, 0x10, 0x01, 0, 0, 0, 0};
  EXPECT_EQ(n->can_poll(&ident, &len, data), 0);
  EXPECT_EQ(ident, 0x585);
  EXPECT_EQ(len, 5);
  EXPECT_EQ(data[0], 0x4F);
  EXPECT_EQ(data[4], 0x77);
  EXPECT_EQ(clock_.short_pauses - start, 3);
  EXPECT_EQ(ntcan_ctl::calls(Op::Take, h), 3u);
  EXPECT_EQ(ntcan_ctl::calls(Op::Send, h), 1u);
  EXPECT_EQ(ntcan_ctl::sent_frames(0).back().id, 0x605);
  EXPECT_EQ(n->can_return(), 0);
  // Frames taken with the answer are gone; so are the dropped ones.
  CMSG buf[10];
  int got = 10;
  EXPECT_EQ(n->can_get(buf, &got), 0);
  EXPECT_EQ(got, 0);

  // Answers that never match: 50 attempts of 5 ms, 32 in the status slot.
  clock_.on_short_pause = [](int, int64_t) {
    CMSG f = frame(0x585, {0x43, 0x00, 0x00, 0x00});
    ntcan_ctl::inject(0, &f, 1);
  };
  start = clock_.short_pauses;
  ntcan_ctl::clear_counters();
  ident = 0x605;
  len = 4;
  EXPECT_EQ(n->can_poll(&ident, &len, data), 32);
  EXPECT_EQ(clock_.short_pauses - start, 50);
  EXPECT_EQ(ntcan_ctl::calls(Op::Take, h), 50u);
  EXPECT_EQ(ident, 0x605);
  EXPECT_EQ(n->can_return(), 32);

  // A refused request returns at once.
  ntcan_ctl::force_status(0, Op::Send, NTCAN_TX_ERROR, 1);
  start = clock_.short_pauses;
  EXPECT_EQ(n->can_poll(&ident, &len, data), NTCAN_TX_ERROR);
  EXPECT_EQ(clock_.short_pauses, start);
}

TEST_F(ZuntalTest, UpdateCycleFillsEachNodeAndSharersCopyTheLastFill) {
  D_can* m = node("M", 1, 5);
  D_can* s = node("S", 1, 5);
  D_can* other = node("O", 2, 9);
  ASSERT_EQ(m->init(0x185), 0);
  ASSERT_EQ(s->init(0x285), 0);
  ASSERT_EQ(other->init(0x189), 0);

  std::vector<CMSG> burst;
  for (int k = 0; k < 120; ++k)
    burst.push_back(frame(k % 2 ? 0x185 : 0x285, {uint8_t(k), uint8_t(k >> 8)}));
  inject(0, std::vector<CMSG>(burst.begin(), burst.begin() + 100));
  inject(1, {frame(0x189, {0xEE})});

  ntcan_ctl::clear_counters();
  EXPECT_EQ(can_looping(), 0);
  EXPECT_EQ(ntcan_ctl::calls(Op::Take, m->handle()), 1u);  // one take per node
  EXPECT_EQ(ntcan_ctl::calls_on_net(0, Op::Take), 1u);
  EXPECT_EQ(ntcan_ctl::calls_on_net(1, Op::Take), 1u);

  CMSG copy[100];
  int len = -5;
  EXPECT_EQ(s->can_array(copy, &len), 0);
  ASSERT_EQ(len, 100);
  for (int k = 0; k < 100; ++k) ASSERT_EQ(copy[k].data[0], uint8_t(k)) << k;
  EXPECT_EQ(m->can_array(copy, &len), 0);
  EXPECT_EQ(len, 100);
  EXPECT_EQ(other->can_array(copy, &len), 0);
  EXPECT_EQ(len, 1);
  EXPECT_EQ(copy[0].data[0], 0xEE);

  // The next cycle replaces the buffer with what came since.
  inject(0, std::vector<CMSG>(burst.begin() + 100, burst.end()));
  can_looping();
  EXPECT_EQ(s->can_array(copy, &len), 0);
  ASSERT_EQ(len, 20);
  EXPECT_EQ(copy[0].data[0], 100);
  can_looping();
  EXPECT_EQ(s->can_array(copy, &len), 0);
  EXPECT_EQ(len, 0);

  // A master that has lost its handle: its fill leaves count -1 and status
  // 77; the sharer, which still holds a handle, gets 0 frames and that 77.
  EXPECT_EQ(m->can_close(), 0);
  can_looping();
  len = 7;
  EXPECT_EQ(s->can_array(copy, &len), NTCAN_INVALID_HANDLE);
  EXPECT_EQ(len, 0);
  len = 7;
  EXPECT_EQ(m->can_array(copy, &len), -1);  // no handle: nothing copied
  EXPECT_EQ(len, 7);
  EXPECT_EQ(*zuntal_test::view(m).rxmsg_len, -1);
}

TEST_F(ZuntalTest, DebugPrintShowsTheSelectedNodeUnderTheDebugBit) {
  D_can* a = node("A", 1, 5, 0, 77);
  D_can* b = node("B", 1, 6);
  ASSERT_EQ(a->init(0x185), 0);
  ASSERT_EQ(b->init(0x186), 0);
  IIII sel{1, 5, 0, 0};
  zuntal_test::debug_id()->set_value(&sel);
  inject(0, {frame(0x185, {0x01, 0xAB}), frame(0x186, {0x02})});

  can_looping();  // bit clear: silent
  EXPECT_EQ(msgs_.count("can_print"), 0);

  inject(0, {frame(0x185, {0x01, 0xAB}), frame(0x185, {}), frame(0x186, {0x02})});
  TAVRO_debug = 0x100000;
  can_looping();
  std::vector<std::string> lines;
  for (auto& m : msgs_.messages())
    if (m.first == "can_print") lines.push_back(m.second);
  EXPECT_EQ(lines,
            (std::vector<std::string>{"ID: 185, Len: 2, Data: 01 AB", "ID: 185, Len: 0, Data:"}));

  // Identifier 0 is skipped; a selection that differs in the third field
  // prints nothing.
  msgs_.clear();
  ASSERT_EQ(a->AddIdent(0), 0);
  inject(0, {frame(0, {1}), frame(0x185, {3})});
  can_looping();
  EXPECT_EQ(msgs_.count("can_print"), 1);
  sel.i3_data = 1;
  zuntal_test::debug_id()->set_value(&sel);
  inject(0, {frame(0x185, {4})});
  msgs_.clear();
  can_looping();
  EXPECT_EQ(msgs_.count("can_print"), 0);
}
