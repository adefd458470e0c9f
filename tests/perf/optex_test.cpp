#include "perf/optex.h"

#include <gtest/gtest.h>
#include <poll.h>

#include "perf_fixture.h"

namespace perf_test {
namespace {

using perf::Optex;

// A byte pipe from a child to the test.
class Pipe {
 public:
  Pipe() { EXPECT_EQ(pipe(fds_), 0); }
  ~Pipe() {
    close(fds_[0]);
    close(fds_[1]);
  }
  void put(char c) const { EXPECT_EQ(write(fds_[1], &c, 1), 1); }
  // The next byte, or 0 when none came within the time.
  char get(std::chrono::milliseconds limit = 10s) const {
    pollfd p{fds_[0], POLLIN, 0};
    char c = 0;
    if (poll(&p, 1, static_cast<int>(limit.count())) != 1 || read(fds_[0], &c, 1) != 1) return 0;
    return c;
  }

 private:
  int fds_[2] = {-1, -1};
};

class OptexTest : public PerfTest {
 protected:
  std::unique_ptr<Optex> lock() { return std::make_unique<Optex>("BKL", 4000, prefix_); }
};

TEST_F(OptexTest, AnOwnerThatEnteredTwiceMustLeaveTwiceBeforeAnotherProcessGetsIn) {
  auto mine = lock();
  ASSERT_TRUE(mine->usable());
  ASSERT_TRUE(mine->Enter());
  ASSERT_TRUE(mine->TryEnter());  // the owner enters again at once
  Pipe toChild;
  Pipe fromChild;
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
  Pipe fromChild;
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
  Pipe fromOwner;
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
  EXPECT_TRUE(logged("has 100 bytes, not 16; the counters go without their lock"));
}

}  // namespace
}  // namespace perf_test
