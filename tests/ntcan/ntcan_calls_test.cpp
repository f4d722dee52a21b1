// The nine driver calls on the simulated bus: delivery, filters, queues,
// waiting reads, handle lifetime, bad input and calls from many threads.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "ntcan_test_util.h"

namespace {

using namespace ntcan_test;
using Calls = ntcan_test::Driver;

TEST_F(Calls, FrameReachesOtherHandlesWhoseFilterHoldsItsId) {
  NTCAN_HANDLE a = open_with_ids({0x181});
  NTCAN_HANDLE b = open_with_ids({0x181, 0x701});
  NTCAN_HANDLE c = open_with_ids({0x701});
  NTCAN_HANDLE other_net = open_with_ids({0x181}, 1);

  CMSG f = frame(0x181, {1, 2, 3});
  f.msg_lost = 9;  // what a sender leaves in msg_lost and reserved is not passed on
  f.reserved[0] = 7;
  ASSERT_EQ(NTCAN_SUCCESS, send1(a, f));

  std::vector<CMSG> got = take_all(b);
  ASSERT_EQ(1u, got.size());
  EXPECT_EQ(0x181, got[0].id);
  EXPECT_EQ(3, got[0].len);
  EXPECT_EQ(3, got[0].data[2]);
  EXPECT_EQ(0, got[0].msg_lost);
  EXPECT_EQ(0, got[0].reserved[0]);
  EXPECT_TRUE(take_all(a).empty()) << "the sender never gets its own frame";
  EXPECT_TRUE(take_all(c).empty()) << "c's filter does not hold 0x181";
  EXPECT_TRUE(take_all(other_net).empty());

  // A remote request travels like any frame, flag and requested length intact.
  ASSERT_EQ(NTCAN_SUCCESS, send1(b, frame(0x701, {}, true)));
  got = take_all(c);
  ASSERT_EQ(1u, got.size());
  EXPECT_EQ(NTCAN_RTR, got[0].len);
  CMSG rtr = frame(0x181);
  rtr.len = NTCAN_RTR | 8;
  ASSERT_EQ(NTCAN_SUCCESS, send1(c, rtr));
  got = take_all(b);
  ASSERT_EQ(1u, got.size());
  EXPECT_EQ(NTCAN_RTR | 8, got[0].len);

  // The filter: enabling twice, deleting what is not enabled, and a deleted
  // identifier no longer arriving.
  EXPECT_EQ(NTCAN_ID_ALREADY_ENABLED, canIdAdd(b, 0x181));
  EXPECT_EQ(NTCAN_ID_NOT_ENABLED, canIdDelete(c, 0x181));
  EXPECT_EQ(NTCAN_SUCCESS, canIdDelete(b, 0x181));
  EXPECT_EQ(NTCAN_ID_NOT_ENABLED, canIdDelete(b, 0x181));
  ASSERT_EQ(NTCAN_SUCCESS, send1(a, frame(0x181)));
  EXPECT_TRUE(take_all(b).empty());
  EXPECT_EQ(NTCAN_SUCCESS, canIdAdd(b, 0x181));
  ASSERT_EQ(NTCAN_SUCCESS, send1(a, frame(0x181)));
  EXPECT_EQ(1u, take_all(b).size());
}

TEST_F(Calls, BatchesKeepOrderAndReachEachReceiverOnce) {
  NTCAN_HANDLE tx = open_handle();
  NTCAN_HANDLE both = open_with_ids({1, 2}, 0, 1000);
  NTCAN_HANDLE two = open_with_ids({2}, 0, 1000);
  std::vector<CMSG> batch;
  for (uint8_t i = 0; i < 50; ++i) batch.push_back(frame(i % 3 == 0 ? 2 : 1, {i}));
  int32_t n = static_cast<int32_t>(batch.size());
  ASSERT_EQ(NTCAN_SUCCESS, canSend(tx, batch.data(), &n));
  EXPECT_EQ(50, n);

  std::vector<CMSG> got = take_all(both);
  ASSERT_EQ(50u, got.size());
  for (uint8_t i = 0; i < 50; ++i) EXPECT_EQ(i, got[i].data[0]);
  got = take_all(two);
  ASSERT_EQ(17u, got.size());
  for (size_t k = 0; k < got.size(); ++k) EXPECT_EQ(3 * k, got[k].data[0]);

  // A batch with one bad frame sends nothing.
  batch[10].len = 9;
  n = static_cast<int32_t>(batch.size());
  EXPECT_EQ(NTCAN_INVALID_PARAMETER, canSend(tx, batch.data(), &n));
  EXPECT_EQ(0, n);
  EXPECT_TRUE(take_all(both).empty());
}

TEST_F(Calls, FullQueueKeepsOldFramesAndReportsTheLossOnTheNextTake) {
  NTCAN_HANDLE tx = open_handle();
  NTCAN_HANDLE rx = open_with_ids({5}, 0, 3);
  for (uint8_t i = 0; i < 5; ++i) ASSERT_EQ(NTCAN_SUCCESS, send1(tx, frame(5, {i})));

  CMSG buf[10];
  int32_t n = 1;
  ASSERT_EQ(NTCAN_SUCCESS, canTake(rx, buf, &n));
  ASSERT_EQ(1, n);
  EXPECT_EQ(0, buf[0].data[0]) << "the oldest frames stay, the newcomers are dropped";
  EXPECT_EQ(2, buf[0].msg_lost);
  n = 10;
  ASSERT_EQ(NTCAN_SUCCESS, canTake(rx, buf, &n));
  ASSERT_EQ(2, n);
  EXPECT_EQ(1, buf[0].data[0]);
  EXPECT_EQ(0, buf[0].msg_lost) << "a loss is reported once";
  EXPECT_EQ(2, buf[1].data[0]);

  // The count saturates at 255; the queue works on normally afterwards, also
  // across the wrap-around of its ring.
  for (int i = 0; i < 3 + 300; ++i) ASSERT_EQ(NTCAN_SUCCESS, send1(tx, frame(5)));
  std::vector<CMSG> got = take_all(rx);
  ASSERT_EQ(3u, got.size());
  EXPECT_EQ(255, got[0].msg_lost);
  for (uint8_t i = 0; i < 7; ++i) {
    ASSERT_EQ(NTCAN_SUCCESS, send1(tx, frame(5, {i})));
    got = take_all(rx);
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(i, got[0].data[0]);
    EXPECT_EQ(0, got[0].msg_lost);
  }
}

// Queues of many sizes, small ones carved side by side and large ones apart,
// each filled to the brim: every handle gets back exactly its own frames.
// Closed handles' storage goes to the next handles of the same sizes, whose
// queues start empty.
TEST_F(Calls, QueuesOfEverySizeKeepTheirOwnFramesAndStartEmptyWhenReused) {
  const std::vector<int32_t> sizes = {1, 3, 4, 5, 100, 1000, 4095, 4096, 4097, 5000};
  NTCAN_HANDLE tx = open_handle();
  auto fill_and_check = [&](const std::vector<NTCAN_HANDLE>& rx, int round) {
    for (size_t k = 0; k < rx.size(); ++k) {
      std::vector<CMSG> batch;
      for (int32_t j = 0; j < sizes[k]; ++j)
        batch.push_back(
            frame(int32_t(0x100 + k), {uint8_t(round), uint8_t(j), uint8_t(j >> 8), 0xA5}));
      int32_t n = sizes[k];
      ASSERT_EQ(NTCAN_SUCCESS, canSend(tx, batch.data(), &n));
    }
    for (size_t k = 0; k < rx.size(); ++k) {
      std::vector<CMSG> got = take_all(rx[k]);
      ASSERT_EQ(size_t(sizes[k]), got.size()) << "queue of " << sizes[k];
      for (int32_t j = 0; j < sizes[k]; ++j) {
        ASSERT_EQ(int32_t(0x100 + k), got[j].id) << "queue of " << sizes[k] << ", frame " << j;
        ASSERT_EQ(round, got[j].data[0]);
        ASSERT_EQ(j, got[j].data[1] | got[j].data[2] << 8);
        ASSERT_EQ(0xA5, got[j].data[3]);
        ASSERT_EQ(0, got[j].msg_lost);
      }
    }
  };
  std::vector<NTCAN_HANDLE> rx;
  for (size_t k = 0; k < sizes.size(); ++k)
    rx.push_back(open_with_ids({int32_t(0x100 + k)}, 0, sizes[k]));
  fill_and_check(rx, 1);

  // Frames left queued on closed handles must not show up on their successors.
  for (size_t k = 0; k < sizes.size(); ++k) {
    CMSG f = frame(int32_t(0x100 + k), {9});
    ASSERT_EQ(NTCAN_SUCCESS, send1(tx, f));
    ASSERT_EQ(NTCAN_SUCCESS, canClose(rx[k]));
  }
  for (size_t k = 0; k < sizes.size(); ++k) {
    rx[k] = open_with_ids({int32_t(0x100 + k)}, 0, sizes[k]);
    EXPECT_TRUE(take_all(rx[k]).empty()) << "queue of " << sizes[k];
  }
  fill_and_check(rx, 2);
}

TEST_F(Calls, ReadWaitsForAFirstFrameThenTimesOut) {
  NTCAN_HANDLE tx = open_handle();
  NTCAN_HANDLE rx = open_with_ids({0x10}, 0, 100, 20);
  CMSG buf[4];
  int32_t n = 4;
  EXPECT_EQ(NTCAN_RX_TIMEOUT, canRead(rx, buf, &n, nullptr));
  EXPECT_EQ(0, n);

  // Queued frames come back at once, up to the capacity given.
  for (uint8_t i = 0; i < 3; ++i) ASSERT_EQ(NTCAN_SUCCESS, send1(tx, frame(0x10, {i})));
  n = 2;
  ASSERT_EQ(NTCAN_SUCCESS, canRead(rx, buf, &n, nullptr));
  EXPECT_EQ(2, n);
  n = 4;
  ASSERT_EQ(NTCAN_SUCCESS, canRead(rx, buf, &n, nullptr));
  ASSERT_EQ(1, n);
  EXPECT_EQ(2, buf[0].data[0]);

  // A reader that waits gets a frame sent while it waits.
  NTCAN_HANDLE slow = open_with_ids({0x11}, 0, 100, 10000);
  std::atomic<NTCAN_RESULT> st{-1};
  CMSG got;
  std::thread reader([&] {
    int32_t k = 1;
    st = canRead(slow, &got, &k, nullptr);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_EQ(NTCAN_SUCCESS, send1(tx, frame(0x11, {42})));
  reader.join();
  EXPECT_EQ(NTCAN_SUCCESS, st.load());
  EXPECT_EQ(42, got.data[0]);

  // Time-out 0: no waiting at all.
  NTCAN_HANDLE nowait = open_with_ids({0x12}, 0, 100, 0);
  n = 4;
  EXPECT_EQ(NTCAN_RX_TIMEOUT, canRead(nowait, buf, &n, nullptr));
}

TEST_F(Calls, CloseWakesEveryBlockedReader) {
  NTCAN_HANDLE h = open_with_ids({1}, 0, 100, 60000);
  std::vector<std::thread> readers;
  std::atomic<int> invalid{0};
  for (int i = 0; i < 3; ++i) {
    readers.emplace_back([&] {
      CMSG m;
      int32_t n = 1;
      NTCAN_RESULT st = canRead(h, &m, &n, nullptr);
      if (st == NTCAN_INVALID_HANDLE && n == 0) ++invalid;
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(NTCAN_SUCCESS, canClose(h));
  for (auto& t : readers) t.join();
  EXPECT_EQ(3, invalid.load());
}

TEST_F(Calls, HandleValuesArePositiveAndNeverReused) {
  std::vector<NTCAN_HANDLE> seen;
  for (int i = 0; i < 5; ++i) {
    NTCAN_HANDLE h = open_handle(i % 2);
    ASSERT_GT(h, 0);
    for (NTCAN_HANDLE s : seen) ASSERT_NE(s, h);
    seen.push_back(h);
    ASSERT_EQ(NTCAN_SUCCESS, canClose(h));
  }
  NTCAN_HANDLE before_reset = open_handle();
  ntcan_ctl::reset();
  NTCAN_HANDLE after_reset = open_handle();
  EXPECT_GT(after_reset, before_reset);

  // A closed handle, one that reset() closed and one never issued fail every
  // call with NTCAN_INVALID_HANDLE.
  for (NTCAN_HANDLE h : {seen[0], before_reset, after_reset + 1000, 0, -1}) {
    CMSG m = frame(1);
    int32_t n = 1;
    CAN_IF_STATUS st;
    EXPECT_EQ(NTCAN_INVALID_HANDLE, canClose(h)) << h;
    EXPECT_EQ(NTCAN_INVALID_HANDLE, canSetBaudrate(h, 6));
    EXPECT_EQ(NTCAN_INVALID_HANDLE, canIdAdd(h, 1));
    EXPECT_EQ(NTCAN_INVALID_HANDLE, canIdDelete(h, 1));
    EXPECT_EQ(NTCAN_INVALID_HANDLE, canSend(h, &m, &n));
    EXPECT_EQ(0, n);
    n = 1;
    EXPECT_EQ(NTCAN_INVALID_HANDLE, canTake(h, &m, &n));
    n = 1;
    EXPECT_EQ(NTCAN_INVALID_HANDLE, canRead(h, &m, &n, nullptr));
    EXPECT_EQ(NTCAN_INVALID_HANDLE, canStatus(h, &st));
    EXPECT_EQ(-1, ntcan_ctl::handle_net(h));
  }
  EXPECT_EQ(0, ntcan_ctl::handle_net(after_reset));
}

// 32768 handles can be open at once. A value whose table slot is still taken
// is skipped, a stale value sharing a slot with an open handle is refused, and
// a closed handle's counters survive it.
TEST_F(Calls, TheHandleTableFillsUpAndSkipsTakenSlots) {
  constexpr int kSlots = 1 << 15;
  std::vector<NTCAN_HANDLE> open;
  NTCAN_HANDLE h = -1;
  while (canOpen(0, 0, 1, 1, 0, 0, &h) == NTCAN_SUCCESS) {
    open.push_back(h);
    ASSERT_LE(open.size(), size_t(kSlots));
  }
  ASSERT_EQ(open.size(), size_t(kSlots));
  // Refusals of a full table use up no handle values: far more of them than
  // the value range could pay for at one table's worth each.
  for (int k = 0; k < 70000; ++k)
    ASSERT_EQ(NTCAN_INSUFFICIENT_RESOURCES, canOpen(0, 0, 1, 1, 0, 0, &h)) << k;
  EXPECT_EQ(h, open.back()) << "a refused open leaves the caller's variable";

  const NTCAN_HANDLE gone = open[100];
  CMSG m = frame(1);
  int32_t n = 1;
  ASSERT_EQ(NTCAN_SUCCESS, canTake(gone, &m, &n));
  ASSERT_EQ(NTCAN_SUCCESS, canClose(gone));
  NTCAN_HANDLE fresh = -1;
  ASSERT_EQ(NTCAN_SUCCESS, canOpen(0, 0, 1, 1, 0, 0, &fresh));
  EXPECT_GT(fresh, open.back());
  EXPECT_LE(fresh, open.back() + kSlots) << "only the taken slots' values were skipped";
  EXPECT_EQ(fresh % kSlots, gone % kSlots);  // the only free slot
  n = 1;
  EXPECT_EQ(NTCAN_INVALID_HANDLE, canTake(gone, &m, &n));
  EXPECT_EQ(2u, ntcan_ctl::calls(ntcan_ctl::Op::Take, gone));
  EXPECT_EQ(0u, ntcan_ctl::calls(ntcan_ctl::Op::Take, fresh));
  EXPECT_EQ(0, ntcan_ctl::handle_net(fresh));
  EXPECT_EQ(-1, ntcan_ctl::handle_net(gone));
  ntcan_ctl::reset();
  EXPECT_EQ(-1, ntcan_ctl::handle_net(fresh));
  // With every handle closed the whole table is free again.
  NTCAN_HANDLE after = -1;
  ASSERT_EQ(NTCAN_SUCCESS, canOpen(0, 0, 1, 1, 0, 0, &after));
  EXPECT_GT(after, fresh);
  EXPECT_LE(after, fresh + kSlots);
}

// Opens and closes on several threads at once never hand out one value
// twice, and the values stay positive.
TEST_F(Calls, ConcurrentOpensGetDistinctValues) {
  constexpr int kThreads = 4, kEach = 2000;
  std::vector<std::vector<NTCAN_HANDLE>> got(kThreads);
  std::vector<std::thread> ts;
  for (int t = 0; t < kThreads; ++t)
    ts.emplace_back([t, &got] {
      for (int k = 0; k < kEach; ++k) {
        NTCAN_HANDLE h = -1;
        if (canOpen(t % 2, 0, 1, 1, 0, 0, &h) != NTCAN_SUCCESS) continue;
        got[t].push_back(h);
        if (k % 3 != 0) canClose(h);  // a third stay open, so slots are skipped
      }
    });
  for (auto& th : ts) th.join();
  std::vector<NTCAN_HANDLE> all;
  for (auto& g : got) {
    EXPECT_EQ(g.size(), size_t(kEach));
    EXPECT_TRUE(std::is_sorted(g.begin(), g.end())) << "values go up on each thread";
    all.insert(all.end(), g.begin(), g.end());
  }
  std::sort(all.begin(), all.end());
  EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end()) << "a value issued twice";
  EXPECT_GT(all.front(), 0);
}

TEST_F(Calls, BadInputGetsAStatusNeverACrash) {
  NTCAN_HANDLE h = -1;
  EXPECT_EQ(NTCAN_NET_NOT_FOUND, canOpen(-1, 0, 10, 100, 1000, 1000, &h));
  EXPECT_EQ(NTCAN_NET_NOT_FOUND, canOpen(ntcan_ctl::kMaxNets, 0, 10, 100, 1000, 1000, &h));
  EXPECT_EQ(NTCAN_INVALID_PARAMETER, canOpen(0, 0, 10, 100, 1000, 1000, nullptr));
  EXPECT_EQ(NTCAN_INVALID_PARAMETER, canOpen(0, 0, 10, 0, 1000, 1000, &h));
  EXPECT_EQ(NTCAN_INVALID_PARAMETER, canOpen(0, 0, 10, -5, 1000, 1000, &h));
  EXPECT_EQ(NTCAN_INVALID_PARAMETER, canOpen(0, 0, 0, 100, 1000, 1000, &h));
  EXPECT_EQ(NTCAN_INVALID_PARAMETER, canOpen(0, 0, 10, 100, -1, 1000, &h));
  EXPECT_EQ(NTCAN_INVALID_PARAMETER, canOpen(0, 0, 10, 100, 1000, -1, &h));
  EXPECT_EQ(NTCAN_INVALID_PARAMETER, canOpen(0, 0, 10, (1 << 20) + 1, 1000, 1000, &h));
  EXPECT_EQ(-1, h) << "failed opens leave the caller's variable alone";
  // The last net and the largest receive queue (1048576 frames) are taken.
  ASSERT_EQ(NTCAN_SUCCESS, canOpen(ntcan_ctl::kMaxNets - 1, 0, 1, 1 << 20, 0, 0, &h));
  for (int32_t id : {0, 2047}) EXPECT_EQ(NTCAN_SUCCESS, canIdAdd(h, id)) << id;
  EXPECT_EQ(NTCAN_SUCCESS, canClose(h));
  h = -1;

  h = open_handle();
  for (int32_t id : {-1, 2048, 0x7fffffff}) {
    EXPECT_EQ(NTCAN_INVALID_PARAMETER, canIdAdd(h, id)) << id;
    EXPECT_EQ(NTCAN_INVALID_PARAMETER, canIdDelete(h, id)) << id;
    CMSG m = frame(1);
    m.id = id;
    int32_t n = 1;
    EXPECT_EQ(NTCAN_INVALID_PARAMETER, canSend(h, &m, &n)) << id;
    EXPECT_EQ(NTCAN_INVALID_PARAMETER, ntcan_ctl::inject(0, &m, 1)) << "inject validates too";
  }
  for (uint8_t len : {9, 15, 0x19, 0x20, 0x80}) {
    CMSG m = frame(1);
    m.len = len;
    int32_t n = 1;
    EXPECT_EQ(NTCAN_INVALID_PARAMETER, canSend(h, &m, &n)) << int(len);
    EXPECT_EQ(NTCAN_INVALID_PARAMETER, ntcan_ctl::inject(0, &m, 1)) << int(len);
  }

  CMSG m = frame(1);
  int32_t n = 1;
  int32_t zero = 0;
  int32_t neg = -3;
  EXPECT_EQ(NTCAN_INVALID_PARAMETER, canSend(h, nullptr, &n));
  EXPECT_EQ(NTCAN_INVALID_PARAMETER, canSend(h, &m, nullptr));
  EXPECT_EQ(NTCAN_INVALID_PARAMETER, canSend(h, &m, &zero));
  EXPECT_EQ(NTCAN_INVALID_PARAMETER, canSend(h, &m, &neg));
  n = 1;
  EXPECT_EQ(NTCAN_INVALID_PARAMETER, canTake(h, nullptr, &n));
  EXPECT_EQ(NTCAN_INVALID_PARAMETER, canTake(h, &m, nullptr));
  zero = 0;
  EXPECT_EQ(NTCAN_INVALID_PARAMETER, canTake(h, &m, &zero));
  n = 1;
  EXPECT_EQ(NTCAN_INVALID_PARAMETER, canRead(h, nullptr, &n, nullptr));
  EXPECT_EQ(NTCAN_INVALID_PARAMETER, canRead(h, &m, nullptr, nullptr));
  n = 1;
  int overlapped = 0;
  EXPECT_EQ(NTCAN_INVALID_PARAMETER, canRead(h, &m, &n, &overlapped));
  EXPECT_EQ(0, n);
  EXPECT_EQ(NTCAN_INVALID_PARAMETER, canStatus(h, nullptr));
  EXPECT_EQ(NTCAN_INVALID_PARAMETER, canSetBaudrate(h, 14));
  EXPECT_EQ(NTCAN_INVALID_PARAMETER, canSetBaudrate(h, 0xffffffffu));

  EXPECT_EQ(NTCAN_NET_NOT_FOUND, ntcan_ctl::inject(-1, &m, 1));
  EXPECT_EQ(NTCAN_NET_NOT_FOUND, ntcan_ctl::inject(ntcan_ctl::kMaxNets, &m, 1));
  EXPECT_EQ(NTCAN_INVALID_PARAMETER, ntcan_ctl::inject(0, nullptr, 1));
  EXPECT_EQ(NTCAN_INVALID_PARAMETER, ntcan_ctl::inject(0, &m, 0));
  EXPECT_EQ(-1, ntcan_ctl::attach_device(ntcan_ctl::kMaxNets, [](const CMSG&) {}));
  EXPECT_EQ(-1, ntcan_ctl::attach_device(0, nullptr));
}

TEST_F(Calls, BaudRatesAndStatus) {
  EXPECT_EQ(125000u, ntcan_ctl::baud_index_rate(6));
  EXPECT_EQ(1000000u, ntcan_ctl::baud_index_rate(0));
  EXPECT_EQ(10000u, ntcan_ctl::baud_index_rate(13));
  EXPECT_EQ(0u, ntcan_ctl::baud_index_rate(14));
  EXPECT_EQ(0u, ntcan_ctl::baud_index_rate(-1));

  // Handles of one net may run different rates; they still meet on the bus.
  NTCAN_HANDLE a = open_handle();
  NTCAN_HANDLE b = open_with_ids({3});
  EXPECT_EQ(NTCAN_SUCCESS, canSetBaudrate(a, 6));
  EXPECT_EQ(NTCAN_SUCCESS, canSetBaudrate(b, 2));
  ASSERT_EQ(NTCAN_SUCCESS, send1(a, frame(3)));
  EXPECT_EQ(1u, take_all(b).size());

  CAN_IF_STATUS st;
  std::memset(&st, 0xff, sizeof st);
  ASSERT_EQ(NTCAN_SUCCESS, canStatus(a, &st));
  EXPECT_EQ(0u, st.boardstatus);
  EXPECT_NE(0, st.driver);
  EXPECT_NE(0, st.boardid[0]);
  EXPECT_NE(nullptr, std::memchr(st.boardid, 0, sizeof st.boardid)) << "boardid is terminated";
  ntcan_ctl::set_board_status(0, 0x40);
  ASSERT_EQ(NTCAN_SUCCESS, canStatus(a, &st));
  EXPECT_EQ(0x40u, st.boardstatus);
}

// Many threads on the same handles: senders on one, takers and readers on
// another, filter and status calls beside them. Nothing may be lost or
// duplicated (the queue is big enough), and ThreadSanitizer watches.
TEST_F(Calls, ConcurrentSendersAndTakersOnOneHandle) {
  constexpr int kSenders = 4;
  constexpr int kPerSender = 5000;
  NTCAN_HANDLE tx = open_handle();
  NTCAN_HANDLE rx = open_with_ids({0x100, 0x101, 0x102, 0x103}, 0, kSenders * kPerSender);
  std::atomic<bool> sending{true};
  std::atomic<int> received{0};
  std::atomic<bool> order_ok{true};
  auto seq = [](const CMSG& m) { return m.data[0] | m.data[1] << 8; };

  auto taker = [&](bool waiting) {
    CMSG buf[16];
    for (;;) {
      bool last_round = !sending.load();
      int32_t n = 16;
      NTCAN_RESULT st = waiting ? canRead(rx, buf, &n, nullptr) : canTake(rx, buf, &n);
      if (st == NTCAN_SUCCESS && n > 0) {
        // Takers race each other, so order is checked within one take: the
        // frames of one sender come in the order sent.
        for (int i = 1; i < n; ++i)
          if (buf[i].id == buf[i - 1].id && seq(buf[i]) <= seq(buf[i - 1])) order_ok = false;
        received += n;
      } else if (last_round) {
        return;
      }
    }
  };
  std::vector<std::thread> threads;
  threads.emplace_back(taker, false);
  threads.emplace_back(taker, true);
  std::vector<std::thread> senders;
  for (int s = 0; s < kSenders; ++s) {
    senders.emplace_back([&, s] {
      for (int i = 0; i < kPerSender; ++i) {
        CMSG m = frame(0x100 + s, {static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8)});
        int32_t n = 1;
        if (canSend(tx, &m, &n) != NTCAN_SUCCESS || n != 1) order_ok = false;
      }
    });
  }
  threads.emplace_back([&] {
    CAN_IF_STATUS st;
    while (sending.load()) {
      canStatus(tx, &st);
      canStatus(rx, &st);
      canIdAdd(rx, 0x555);
      canIdDelete(rx, 0x555);
      canSetBaudrate(rx, 6);
    }
  });
  for (auto& t : senders) t.join();
  sending = false;
  for (auto& t : threads) t.join();
  received += static_cast<int>(take_all(rx).size());
  EXPECT_EQ(kSenders * kPerSender, received.load());
  EXPECT_TRUE(order_ok.load());
}

// Closing a handle while other threads hammer it: every call answers, the
// late ones with NTCAN_INVALID_HANDLE.
TEST_F(Calls, CloseRacesCallsOnTheSameHandle) {
  for (int round = 0; round < 20; ++round) {
    NTCAN_HANDLE peer = open_with_ids({7});
    NTCAN_HANDLE h = open_with_ids({7}, 0, 10, 5);
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
      threads.emplace_back([&, t] {
        CMSG m = frame(7);
        CAN_IF_STATUS st;
        for (;;) {
          int32_t n = 1;
          NTCAN_RESULT r;
          if (t == 0)
            r = canSend(h, &m, &n);
          else if (t == 1)
            r = canRead(h, &m, &n, nullptr);
          else if (canIdAdd(h, 9) == NTCAN_INVALID_HANDLE)
            return;
          else
            r = canStatus(h, &st);
          if (r == NTCAN_INVALID_HANDLE) return;
          canIdDelete(h, 9);
          send1(peer, frame(7));
        }
      });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(NTCAN_SUCCESS, canClose(h));
    for (auto& t : threads) t.join();
    EXPECT_EQ(NTCAN_SUCCESS, canClose(peer));
  }
}

}  // namespace
