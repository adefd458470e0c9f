// The counters' shared objects against what other processes and users do to them: objects made
// first under the fixed names, made writable for others, cut short, or a shm_open that fails.
// A publisher that meets any of these logs one line and runs on without counters; it never
// blocks and never faults.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>

#include "other_user.h"
#include "perf/counter_reader.h"
#include "perf/perf_data.h"
#include "perf_fixture.h"
#include "platform/syscalls.h"
#include "support/support.h"

namespace perf_test {
namespace {

using perf::PerfDataManager;

class SharedObjects : public PerfTest {
 protected:
  // Runs a publisher in a child process, as the relay would: it opens the counters, says whether
  // they are live, then publishes twice (two status ticks) once the test lets it go, and closes.
  // Its log lines are kept in a file. Returns the child's exit status (-1: it did not end, or a
  // signal ended it) and sets *live.
  int publishInChild(bool* live, const std::function<void()>& betweenOpenAndTicks = nullptr) {
    Channel ready;
    Channel go;
    const pid_t child = fork();
    if (child == 0) {
      PerfDataManager m("BKL", prefix_);
      m.open();
      ready.put(m.live() ? 'L' : 'N');
      go.get(20s);
      for (uint64_t tick = 1; tick <= 2; ++tick) m.setThroughput(tick, tick);
      m.close();
      std::string lines;
      for (const std::string& line : log_.lines()) lines += line + "\n";
      test_support::writeFile(dir_ + "/child.log", lines);
      _exit(0);
    }
    *live = ready.get(20s) == 'L';
    if (betweenOpenAndTicks) betweenOpenAndTicks();
    go.put('g');
    return waitChild(child, 30s);
  }
  std::string childLog() const { return test_support::readFile(dir_ + "/child.log"); }
  std::string shmPath(const std::string& base) const { return "/dev/shm/" + prefix_ + base; }
};

TEST_F(SharedObjects, ObjectsAnotherUserMadeFirstAreRefusedAndTheRelayGoesOnWithoutCounters) {
  OtherUser other;
  if (!other.made()) GTEST_SKIP() << "no second local user: " << other.why();
  const std::string owner = other.name() + " (uid " + std::to_string(other.uid()) + ", mode 0666)";

  // The block, made empty and writable for all by the other user, who then forges a counter
  // through it and cuts it short before the publisher's next status tick.
  ASSERT_TRUE(other.run("umask 0; : > " + shmPath("BKL")));
  bool live = true;
  perf::CounterSnapshot seen;
  perf::ReadStatus read = perf::ReadStatus::kOk;
  std::string problem;
  const int status = publishInChild(&live, [&] {
    ASSERT_TRUE(other.run("printf 'forged!!' | dd of=" + shmPath("BKL") +
                          " bs=1 seek=360 conv=notrunc 2>/dev/null"));
    perf::CounterReader reader(prefix_);
    read = reader.read(&seen, &problem);
    ASSERT_TRUE(other.run("truncate -s 0 " + shmPath("BKL")));
  });
  EXPECT_EQ(status, 0) << "the publisher did not end by itself (a fault, or it blocked)";
  EXPECT_FALSE(live) << "the publisher used the other user's block";
  EXPECT_NE(childLog().find("The shared object /" + prefix_ + "BKL belongs to " + owner +
                            ", not to this user alone; the counters are not published"),
            std::string::npos)
      << childLog();
  EXPECT_EQ(read, perf::ReadStatus::kRefused) << "a reader trusted the other user's block";
  EXPECT_EQ(problem, "The shared object /" + prefix_ + "BKL belongs to " + owner +
                         ", not to this user alone; it is not read");
  platform::SharedMemory::remove("/" + prefix_ + "BKL");

  // The lock state, made by the other user with a thread that never ends (1) as its owner.
  ASSERT_TRUE(
      other.run("umask 0; printf '\\000\\000\\000\\000\\001\\000\\000\\000\\001\\000\\000"
                "\\000\\001\\000\\000\\000' > " +
                shmPath("TAV_Optex_MMF_BKL")));
  EXPECT_EQ(publishInChild(&live), 0) << "the publisher waited for the other user's lock";
  EXPECT_FALSE(live);
  EXPECT_NE(childLog().find("The shared object /" + prefix_ + "TAV_Optex_MMF_BKL belongs to " +
                            owner + ", not to this user alone; the counters are not published"),
            std::string::npos)
      << childLog();
  platform::SharedMemory::remove("/" + prefix_ + "TAV_Optex_MMF_BKL");

  // The semaphore, a file of a semaphore's size made by the other user.
  const std::string semaphore = "/dev/shm/sem." + prefix_ + "TAV_Optex_Event_BKL";
  ASSERT_TRUE(other.run("umask 0; head -c 32 /dev/zero > " + semaphore));
  EXPECT_EQ(publishInChild(&live), 0);
  EXPECT_FALSE(live) << "the publisher used the other user's semaphore";
  EXPECT_NE(childLog().find("The shared object /" + prefix_ + "TAV_Optex_Event_BKL belongs to " +
                            owner + ", not to this user alone; the counters are not published"),
            std::string::npos)
      << childLog();
  EXPECT_TRUE(std::filesystem::exists(semaphore)) << "another user's object was removed";
}

TEST_F(SharedObjects, ObjectsOthersMayWriteOrThatAreNoFilesAreRefusedEvenWhenThisUsersOwn) {
  const mode_t old = umask(0);
  const int fd = ::open(shmFile().c_str(), O_RDWR | O_CREAT | O_EXCL, 0620);
  umask(old);
  ASSERT_GE(fd, 0);
  ::close(fd);
  PerfDataManager m("BKL", prefix_);
  EXPECT_EQ(m.open(), EPERM);
  EXPECT_FALSE(m.live());
  EXPECT_TRUE(logged("The shared object /" + prefix_ + "BKL belongs to root (uid 0, mode 0620)"));
  m.setThroughput(1, 2);
  EXPECT_TRUE(rawBlock().empty()) << "a block others may write was written";
  m.close();

  // A FIFO in the block's place: a reader neither blocks on it nor reads it.
  std::filesystem::remove(shmFile());
  ASSERT_EQ(mkfifo(shmFile().c_str(), 0600), 0);
  const pid_t child = fork();
  if (child == 0) {
    perf::CounterReader reader(prefix_);
    perf::CounterSnapshot s;
    std::string problem;
    const bool refused = reader.read(&s, &problem) == perf::ReadStatus::kRefused &&
                         problem.find("mode 0600, not a file)") != std::string::npos;
    _exit(refused ? 0 : 1);
  }
  EXPECT_EQ(waitChild(child), 0) << "a reader blocked on a FIFO or did not refuse it";
}

TEST_F(SharedObjects, ShmOpenFailingLeavesTheProcessWithoutCounters) {
  struct NoDescriptors : platform::SysCalls {
    int shmOpen(const char*, int, mode_t) override {
      errno = EMFILE;
      return -1;
    }
  } calls;
  PerfDataManager m("BKL", prefix_);
  perf::CounterReader reader(prefix_);
  perf::CounterSnapshot s;
  std::string problem;
  {
    platform::SysCallsOverride failing(&calls);
    EXPECT_NE(m.open(), 0);
    EXPECT_FALSE(m.live());
    m.reset();
    m.setThreadpool(1, 2, 3, 4);
    EXPECT_EQ(reader.read(&s, &problem), perf::ReadStatus::kRefused);
    m.close();
  }
  EXPECT_TRUE(logged("Couldn't open the lock state /" + prefix_ +
                     "TAV_Optex_MMF_BKL: Too many open files; the counters are not published"));
  EXPECT_EQ(problem, "cannot open /" + prefix_ + "BKL: Too many open files");
  EXPECT_FALSE(blockExists());
  // Once shm_open works again, so do the counters.
  ASSERT_EQ(m.open(), 0);
  EXPECT_TRUE(m.live());
  m.close();
}

TEST_F(SharedObjects, TheLastProcessToLeaveRemovesTheBlockTheLockStateAndTheSemaphore) {
  const std::string objects[] = {shmFile(), shmFile("TAV_Optex_MMF_BKL"),
                                 "/dev/shm/sem." + prefix_ + "TAV_Optex_Event_BKL"};
  const auto present = [&] {
    int n = 0;
    for (const std::string& f : objects) n += std::filesystem::exists(f) ? 1 : 0;
    return n;
  };
  PerfDataManager first("BKL", prefix_);
  ASSERT_EQ(first.open(), 0);
  EXPECT_EQ(present(), 3);
  const pid_t child = fork();
  if (child == 0) {
    PerfDataManager second("BKL", prefix_);
    const long rc = second.open();
    second.close();
    _exit(rc == perf::kErrorAlreadyExists ? 0 : 1);
  }
  ASSERT_EQ(waitChild(child), 0);
  EXPECT_EQ(present(), 3) << "a publisher that was not the last removed objects in use";
  first.close();
  EXPECT_EQ(present(), 0) << "objects were left behind after every process had gone";

  // A reader keeps the lock's objects while it lives, and removes them when it goes last.
  ASSERT_EQ(first.open(), 0);
  {
    perf::CounterReader reader(prefix_);
    perf::CounterSnapshot s;
    std::string problem;
    ASSERT_EQ(reader.read(&s, &problem), perf::ReadStatus::kOk) << problem;
    first.close();
    EXPECT_EQ(present(), 2);
  }
  EXPECT_EQ(present(), 0);
}

}  // namespace
}  // namespace perf_test
