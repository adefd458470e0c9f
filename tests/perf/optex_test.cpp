#include "perf/optex.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <semaphore.h>

#include <atomic>
#include <thread>

#include "perf/counter_reader.h"
#include "perf/perf_data.h"
#include "perf_fixture.h"
#include "support/support.h"

namespace perf_test {
namespace {

using perf::Optex;

class OptexTest : public PerfTest {
 protected:
  std::unique_ptr<Optex> lock() { return std::make_unique<Optex>("BKL", 4000, prefix_); }
};

TEST_F(OptexTest, AnOwnerThatEnteredTwiceMustLeaveTwiceBeforeAnotherProcessGetsIn) {
  auto mine = lock();
  ASSERT_TRUE(mine->usable());
  ASSERT_TRUE(mine->Enter());
  ASSERT_TRUE(mine->TryEnter());  // the owner enters again at once
  Channel toChild;
  Channel fromChild;
  const pid_t child = fork();
  if (child == 0) {
    auto theirs = lock();
    for (;;) {
      const char step = toChild.get();
      if (step == 0) _exit(2);
      const bool in = theirs->TryEnter();
      fromChild.put(in ? 'y' : 'n');
      if (in) {
        theirs->Leave();
        _exit(0);
      }
    }
  }
  toChild.put('?');
  EXPECT_EQ(fromChild.get(), 'n');
  mine->Leave();
  toChild.put('?');
  EXPECT_EQ(fromChild.get(), 'n') << "one leave of two let another process in";
  mine->Leave();
  toChild.put('?');
  EXPECT_EQ(fromChild.get(), 'y');
  EXPECT_EQ(waitChild(child), 0);
  EXPECT_TRUE(mine->TryEnter());
  mine->Leave();
}

TEST_F(OptexTest, AWaitingProcessIsWokenByTheLastLeave) {
  auto mine = lock();
  ASSERT_TRUE(mine->Enter());
  ASSERT_TRUE(mine->Enter());
  Channel fromChild;
  const pid_t child = fork();
  if (child == 0) {
    auto theirs = lock();
    fromChild.put('s');
    theirs->Enter();
    fromChild.put('e');
    theirs->Leave();
    _exit(0);
  }
  ASSERT_EQ(fromChild.get(), 's');
  EXPECT_EQ(fromChild.get(300ms), 0) << "entered while the lock was held";
  mine->Leave();
  EXPECT_EQ(fromChild.get(300ms), 0) << "entered after the first of two leaves";
  mine->Leave();
  EXPECT_EQ(fromChild.get(5s), 'e');
  EXPECT_EQ(waitChild(child), 0);
}

TEST_F(OptexTest, AnOwnerThatDiedIsReleasedForTheNextWaiter) {
  // The owner dies holding the lock and is not even reaped while the next one waits.
  Channel fromOwner;
  const pid_t owner = fork();
  if (owner == 0) {
    lock()->Enter();
    fromOwner.put('e');
    _exit(0);
  }
  ASSERT_EQ(fromOwner.get(), 'e');
  const pid_t waiter = fork();
  if (waiter == 0) {
    auto theirs = lock();
    theirs->Enter();
    theirs->Leave();
    _exit(0);
  }
  EXPECT_EQ(waitChild(waiter), 0) << "the waiter never got the lock of a dead owner";
  EXPECT_EQ(waitChild(owner), 0);
  auto mine = lock();
  EXPECT_TRUE(mine->TryEnter());
  mine->Leave();
}

TEST_F(OptexTest, AStateOfTheWrongSizeLeavesTheLockUnusable) {
  platform::SharedMemory foreign;
  bool created = false;
  ASSERT_EQ(foreign.openOrCreate(Optex::stateName("BKL", prefix_), &created), 0);
  ASSERT_EQ(foreign.resize(100), 0);
  auto broken = lock();
  EXPECT_FALSE(broken->usable());
  EXPECT_FALSE(broken->Enter());
  EXPECT_FALSE(broken->TryEnter());
  broken->Leave();
  size_t size = 0;
  EXPECT_EQ(foreign.objectSize(&size), 0);
  EXPECT_EQ(size, 100u);
  EXPECT_TRUE(logged("has 100 bytes, not 16; the counters are not published"));
}

TEST_F(OptexTest, AnOwnerThatNeverEndsIsWaitedForABoundedTimeAtEveryStep) {
  // A state of this user's whose owner is thread 1, which runs as long as the system does.
  {
    platform::SharedMemory state;
    bool created = false;
    ASSERT_EQ(state.openOrCreate(Optex::stateName("BKL", prefix_), &created), 0);
    ASSERT_EQ(state.resize(16), 0);
  }
  overwrite(shmFile("TAV_Optex_MMF_BKL"), lockState(0, 1, 1, 1));
  const pid_t child = fork();
  if (child == 0) {
    perf::PerfDataManager m("BKL", prefix_);
    const long rc = m.open();
    const bool told = logged("Couldn't take the counter lock /" + prefix_ +
                             "TAV_Optex_MMF_BKL within 1500 ms (held by thread 1); the counters "
                             "are not published");
    _exit(rc != 0 && !m.live() && told ? 0 : 1);
  }
  EXPECT_EQ(waitChild(child, 20s), 0) << "start-up waited for ever, or went on without a word";

  // The lock taken away from a running publisher: reset and close wait a bounded time too, and a
  // reader gives up with the owner named.
  overwrite(shmFile("TAV_Optex_MMF_BKL"), lockState(0, 0, 0, 0));
  const pid_t publisher = fork();
  if (publisher == 0) {
    perf::PerfDataManager m("BKL", prefix_);
    if (m.open() != 0) _exit(2);
    overwrite(shmFile("TAV_Optex_MMF_BKL"), lockState(0, 1, 1, 1));
    perf::CounterReader reader(prefix_);
    perf::CounterSnapshot s;
    std::string problem;
    const bool refused = reader.read(&s, &problem) == perf::ReadStatus::kRefused &&
                         problem == "the counter lock /" + prefix_ +
                                        "TAV_Optex_MMF_BKL was not free within 1500 ms (held by "
                                        "thread 1)";
    m.reset();
    const bool dropped = !m.live();
    m.close();
    _exit(refused && dropped ? 0 : 1);
  }
  EXPECT_EQ(waitChild(publisher, 30s), 0);
}

TEST_F(OptexTest, AWakeUpTakenByAnotherProcessDelaysTheWaiterButNeverWedgesIt) {
  Channel fromOwner;
  Channel toOwner;
  const pid_t owner = fork();
  if (owner == 0) {
    auto theirs = lock();
    theirs->Enter();
    fromOwner.put('e');
    toOwner.get(20s);
    theirs->Leave();
    _exit(0);
  }
  ASSERT_EQ(fromOwner.get(), 'e');
  // Another process of this user waits on the semaphore first and takes every unit posted.
  Channel fromThief;
  const pid_t thief = fork();
  if (thief == 0) {
    sem_t* sem = sem_open(Optex::eventName("BKL", prefix_).c_str(), 0);
    fromThief.put(sem == SEM_FAILED ? 'x' : 't');
    for (int i = 0; i < 1000 && sem != SEM_FAILED; ++i) sem_wait(sem);
    _exit(0);
  }
  ASSERT_EQ(fromThief.get(), 't');
  std::this_thread::sleep_for(100ms);
  const pid_t waiter = fork();
  if (waiter == 0) {
    auto theirs = lock();
    const bool in = theirs->Enter();
    if (in) theirs->Leave();
    _exit(in ? 0 : 1);
  }
  std::this_thread::sleep_for(300ms);  // the waiter waits now, behind the thief
  toOwner.put('l');
  EXPECT_EQ(waitChild(waiter, 20s), 0) << "the waiter never got the lock after its owner left";
  EXPECT_EQ(waitChild(owner), 0);
  kill(thief, SIGKILL);
  waitChild(thief);
}

TEST_F(OptexTest, AWaiterThatIsKilledLeavesNothingBehind) {
  auto mine = lock();
  ASSERT_TRUE(mine->Enter());
  Channel fromWaiter;
  const pid_t waiter = fork();
  if (waiter == 0) {
    auto theirs = lock();
    fromWaiter.put('w');
    theirs->Enter();
    _exit(0);
  }
  ASSERT_EQ(fromWaiter.get(), 'w');
  std::this_thread::sleep_for(200ms);  // it waits now
  kill(waiter, SIGKILL);
  waitChild(waiter);
  mine->Leave();
  const std::string state = test_support::readFile(shmFile("TAV_Optex_MMF_BKL"));
  ASSERT_EQ(state.size(), 16u);
  EXPECT_EQ(u32(state, 4), 0u) << "the lock count stayed raised by the killed waiter";
  EXPECT_EQ(u32(state, 8), 0u);
  const pid_t next = fork();
  if (next == 0) {
    auto theirs = lock();
    const bool in = theirs->TryEnter();
    if (in) theirs->Leave();
    _exit(in ? 0 : 1);
  }
  EXPECT_EQ(waitChild(next), 0) << "the lock is not free after its owner left";
}

}  // namespace
}  // namespace perf_test
