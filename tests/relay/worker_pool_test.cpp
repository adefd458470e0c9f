#include "relay/worker_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using relay::WorkPool;

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 5000ms) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

// A work item that keeps its thread busy until the test opens the gate.
struct Gate {
  std::mutex mutex;  // guards open
  std::condition_variable opened;
  bool open = false;
  std::atomic<int> entered{0};
  std::atomic<int> left{0};

  // A gate outlives every item that entered it: the items touch nothing of it after `left`.
  ~Gate() {
    release();
    waitUntil([this] { return left.load() == entered.load(); });
  }
  void release() {
    std::lock_guard<std::mutex> hold(mutex);
    open = true;
    opened.notify_all();
  }
  static void run(void* arg) {
    Gate* gate = static_cast<Gate*>(arg);
    gate->entered.fetch_add(1);
    {
      std::unique_lock<std::mutex> lock(gate->mutex);
      gate->opened.wait_for(lock, 20s, [gate] { return gate->open; });
    }
    gate->left.fetch_add(1);
  }
};

void countRun(void* arg) { static_cast<std::atomic<int>*>(arg)->fetch_add(1); }

class WorkerPool : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(relay::createPool(&pool_), 1); }
  void TearDown() override {
    relay::destroyPool(&pool_);
    // Threads still running here would outlive the gates they wait on.
    EXPECT_TRUE(waitUntil([this] { return relay::poolThreadCount(&pool_) == 0; }));
  }
  WorkPool pool_;
};

TEST_F(WorkerPool, ThreadsAreMadeOnlyWhenNoneIsIdle) {
  EXPECT_EQ(relay::poolThreadCount(&pool_), 0u);
  Gate first;
  ASSERT_NE(relay::postWork(&pool_, &Gate::run, &first), 0);
  EXPECT_EQ(relay::poolThreadCount(&pool_), 1u);
  ASSERT_TRUE(waitUntil([&] { return first.entered == 1; }));
  EXPECT_EQ(relay::poolIdleCount(&pool_), 0u);

  Gate second;
  ASSERT_NE(relay::postWork(&pool_, &Gate::run, &second), 0);
  EXPECT_EQ(relay::poolThreadCount(&pool_), 2u);
  ASSERT_TRUE(waitUntil([&] { return second.entered == 1; }));

  first.release();
  second.release();
  ASSERT_TRUE(waitUntil([&] { return relay::poolIdleCount(&pool_) == 2; }));

  // Both threads idle: the next item is served without a new thread.
  std::atomic<int> runs{0};
  ASSERT_NE(relay::postWork(&pool_, &countRun, &runs), 0);
  ASSERT_TRUE(waitUntil([&] { return runs == 1; }));
  EXPECT_EQ(relay::poolThreadCount(&pool_), 2u);
}

TEST_F(WorkerPool, ItemsPostedTogetherDoNotWaitBehindEachOther) {
  // The first thread has not taken its item yet when the second item comes; the second item
  // must still get a thread of its own instead of waiting for the first connection to end.
  Gate a;
  Gate b;
  ASSERT_NE(relay::postWork(&pool_, &Gate::run, &a), 0);
  ASSERT_NE(relay::postWork(&pool_, &Gate::run, &b), 0);
  EXPECT_TRUE(waitUntil([&] { return a.entered == 1 && b.entered == 1; }));
  EXPECT_EQ(relay::poolThreadCount(&pool_), 2u);
  a.release();
  b.release();
}

TEST_F(WorkerPool, IdleThreadsEndAfterTheTimeoutAndNewWorkStartsOneAgain) {
  relay::setPoolIdleTimeout(&pool_, 150ms);
  std::atomic<int> runs{0};
  ASSERT_NE(relay::postWork(&pool_, &countRun, &runs), 0);
  ASSERT_TRUE(waitUntil([&] { return runs == 1; }));
  ASSERT_TRUE(waitUntil([&] { return relay::poolThreadCount(&pool_) == 0; }));
  EXPECT_EQ(relay::poolIdleCount(&pool_), 0u);

  ASSERT_NE(relay::postWork(&pool_, &countRun, &runs), 0);
  EXPECT_EQ(relay::poolThreadCount(&pool_), 1u);
  EXPECT_TRUE(waitUntil([&] { return runs == 2; }));
}

TEST_F(WorkerPool, DestroyWithoutThreadsReturnsAtOnceAndRefusesLaterWork) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(relay::destroyPool(&pool_), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
  std::atomic<int> runs{0};
  EXPECT_EQ(relay::postWork(&pool_, &countRun, &runs), 0);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(runs, 0);
  EXPECT_EQ(relay::poolThreadCount(&pool_), 0u);
}

TEST_F(WorkerPool, DestroyEndsIdleThreadsAndGivesUpOnBusyOnesAfterThreeSeconds) {
  Gate busy;
  std::atomic<int> runs{0};
  ASSERT_NE(relay::postWork(&pool_, &Gate::run, &busy), 0);
  ASSERT_TRUE(waitUntil([&] { return busy.entered == 1; }));
  ASSERT_NE(relay::postWork(&pool_, &countRun, &runs), 0);
  ASSERT_TRUE(waitUntil([&] { return runs == 1 && relay::poolIdleCount(&pool_) == 1; }));
  ASSERT_EQ(relay::poolThreadCount(&pool_), 2u);

  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(relay::destroyPool(&pool_), 1);
  const auto spent = std::chrono::steady_clock::now() - start;
  EXPECT_GE(spent, 2900ms);
  EXPECT_LT(spent, 6000ms);
  EXPECT_EQ(relay::poolThreadCount(&pool_), 1u) << "the idle thread ends, the busy one runs on";
  EXPECT_EQ(relay::postWork(&pool_, &countRun, &runs), 0);

  // The busy thread finishes its connection later, then takes its stop message.
  busy.release();
  EXPECT_TRUE(waitUntil([&] { return relay::poolThreadCount(&pool_) == 0; }));
  EXPECT_EQ(busy.left, 1);
}

TEST_F(WorkerPool, ManyItemsFromManyThreadsRunExactlyOnce) {
  constexpr int kPosters = 6;
  constexpr int kPerPoster = 300;
  std::vector<std::atomic<int>> runs(kPosters * kPerPoster);
  std::vector<std::thread> posters;
  std::atomic<int> refused{0};
  for (int p = 0; p < kPosters; ++p) {
    posters.emplace_back([&, p] {
      for (int i = 0; i < kPerPoster; ++i) {
        if (relay::postWork(&pool_, &countRun, &runs[p * kPerPoster + i]) == 0) ++refused;
      }
    });
  }
  for (std::thread& t : posters) t.join();
  EXPECT_EQ(refused, 0);
  ASSERT_TRUE(waitUntil([&] {
    for (const auto& r : runs) {
      if (r.load() == 0) return false;
    }
    return true;
  }));
  for (size_t i = 0; i < runs.size(); ++i) ASSERT_EQ(runs[i].load(), 1) << "item " << i;
  // A thread counts itself idle again just after its last item returns.
  EXPECT_TRUE(waitUntil([&] {
    return relay::poolIdleCount(&pool_) == relay::poolThreadCount(&pool_);
  })) << relay::poolIdleCount(&pool_)
      << " idle of " << relay::poolThreadCount(&pool_);
}

}  // namespace
