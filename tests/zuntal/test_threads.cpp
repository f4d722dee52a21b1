// The update cycle beside registrations, moves and destructions on other
// threads, and concurrent registrations on one fresh line. Run under
// ThreadSanitizer in CI.
#include <algorithm>
#include <set>
#include <thread>

#include "zuntal_fixture.h"

namespace {

void wait_for(const std::atomic<int>& n, int value) {
  while (n.load() < value) std::this_thread::yield();
}

}  // namespace

TEST_F(ZuntalTest, UpdateCycleRunsWhileOtherThreadsRegisterMoveAndDestroy) {
  node("FIRST", 1, 1);  // .DEBUG_ID exists before the threads start
  TAVRO_debug = 0x100000;

  std::atomic<bool> stop{false};
  std::atomic<long> cycles{0};
  std::thread cycle([&] {
    while (!stop) {
      can_looping();
      ++cycles;
    }
  });

  constexpr int kWorkers = 3;
  constexpr int kRounds = 30;
  std::vector<std::vector<std::unique_ptr<D_can>>> kept(kWorkers);
  std::atomic<int> ready{0};
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.emplace_back([&, w] {
      ++ready;
      wait_for(ready, kWorkers);
      EqFct loc("W" + std::to_string(w));
      const int line = 1 + w % 2;  // two workers share line 1
      for (int r = 0; r < kRounds; ++r) {
        const int id = 1 + w * 100 + r;
        auto master = std::make_unique<D_can>("M" + std::to_string(id), &loc);
        auto sharer = std::make_unique<D_can>("S" + std::to_string(id), &loc);
        *master->value() = IIII{line, id, 0, 0};
        *sharer->value() = IIII{line, id, 0, 0};
        EXPECT_EQ(master->init(0x180 + id), 0);
        EXPECT_EQ(sharer->init(0), 0);
        CMSG f = ZuntalTest::frame(0x180 + id, {uint8_t(r)});
        ntcan_ctl::inject(line - 1, &f, 1);
        if (r % 3 == 0) {
          // Move the master to another node and register it there.
          IIII moved{line, id + 50, 0, 0};
          master->set_value(&moved);
          EXPECT_TRUE(master->has_changed());
          EXPECT_EQ(master->init(0), 0);
        }
        sharer.reset();
        if (r % 3 == 1) {
          master.reset();  // destroyed while the cycle runs
        } else {
          kept[w].push_back(std::move(master));
        }
      }
      // The survivors are still listed; then they go before their location.
      EXPECT_GE(zuntal_test::nodes().size(), kept[w].size());
      kept[w].clear();
    });
  }
  for (auto& t : workers) t.join();
  stop = true;
  cycle.join();
  EXPECT_GT(cycles.load(), 0);

  // Every registered property has been destroyed: none stayed in the list.
  EXPECT_TRUE(zuntal_test::nodes().empty());
  EXPECT_EQ(zuntal_test::lines().size(), 2u);
}

TEST_F(ZuntalTest, ListKeepsExactlyTheLiveMastersAfterConcurrentChurn) {
  node("FIRST", 1, 1);
  std::atomic<bool> stop{false};
  std::thread cycle([&] {
    while (!stop) can_looping();
  });

  constexpr int kWorkers = 3;
  std::vector<std::vector<std::unique_ptr<D_can>>> live(kWorkers);
  std::vector<EqFct*> locs;
  for (int w = 0; w < kWorkers; ++w) locs.push_back(new EqFct("L" + std::to_string(w)));
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.emplace_back([&, w] {
      for (int r = 0; r < 40; ++r) {
        auto m = std::make_unique<D_can>("N" + std::to_string(r), locs[w]);
        *m->value() = IIII{3 + w, 1 + r, 0, 0};
        EXPECT_EQ(m->init(0), 0);
        if (r % 4 == 3) continue;  // destroyed at once
        live[w].push_back(std::move(m));
      }
      // Move every other survivor off its node; it leaves the list.
      for (size_t k = 0; k < live[w].size(); k += 2) {
        IIII to = *live[w][k]->value();
        to.i2_data += 1000;
        live[w][k]->set_value(&to);
      }
    });
  }
  for (auto& t : workers) t.join();
  stop = true;
  cycle.join();

  std::set<D_can*> expected;
  for (auto& v : live)
    for (size_t k = 1; k < v.size(); k += 2) expected.insert(v[k].get());
  std::vector<D_can*> listed = zuntal_test::nodes();
  EXPECT_EQ(std::set<D_can*>(listed.begin(), listed.end()), expected);
  EXPECT_EQ(listed.size(), expected.size());  // no duplicates

  for (auto& v : live) v.clear();
  EXPECT_TRUE(zuntal_test::nodes().empty());
  for (EqFct* l : locs) delete l;
}

TEST_F(ZuntalTest, ConcurrentRegistrationsCreateOneLineObject) {
  node("FIRST", 9, 1);
  constexpr int kThreads = 4;
  std::vector<std::unique_ptr<D_can>> props;
  for (int k = 0; k < 2 * kThreads; ++k) props.push_back(nullptr);
  for (int k = 0; k < 2 * kThreads; ++k) {
    props[k].reset(new D_can("P" + std::to_string(k), loc_.get()));
    *props[k]->value() = IIII{7, 10 + k, 0, 0};
  }
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ++ready;
      wait_for(ready, kThreads);
      EXPECT_EQ(props[2 * t]->init(), 0);       // direct
      EXPECT_EQ(props[2 * t + 1]->init(0), 0);  // buffered
    });
  }
  for (auto& t : threads) t.join();
  std::vector<canline*> lines = zuntal_test::lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0]->line(), 7);
  EXPECT_EQ(zuntal_test::running_supervision_threads(), 1);
  // The creator shares the line's handle; everybody else opened one.
  EXPECT_EQ(ntcan_ctl::calls_on_net(6, ntcan_ctl::Op::Open), uint64_t(2 * kThreads));
  std::set<NTCAN_HANDLE> handles;
  for (auto& p : props) handles.insert(p->handle());
  EXPECT_EQ(handles.size(), size_t(2 * kThreads));
  EXPECT_EQ(zuntal_test::nodes().size(), size_t(kThreads));
  props.clear();
}
