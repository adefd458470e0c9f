// The control signals reach the thread that waits for them, whichever thread the system picks,
// and one that arrives before anybody waits is kept for the wait.
#include "platform/signal_pipe.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "platform/threads.h"

namespace {

using namespace std::chrono_literals;

bool blockedHere(int signal) {
  sigset_t now;
  pthread_sigmask(SIG_BLOCK, nullptr, &now);
  return sigismember(&now, signal) == 1;
}

TEST(ControlSignals, OnlyTheWaitingThreadTakesThemAndNoneIsLost) {
  ASSERT_TRUE(platform::installControlSignals());
  // Threads started from now on keep away from them, whatever starts them.
  std::atomic<int> blockedInWorker{-1};
  platform::Thread worker;
  ASSERT_EQ(worker.start([&] { blockedInWorker = blockedHere(SIGTERM) ? 1 : 0; }), 0);
  worker.join();
  EXPECT_EQ(blockedInWorker.load(), 1);
  bool blockedInStd = false;
  std::thread([&] { blockedInStd = blockedHere(SIGHUP); }).join();
  EXPECT_TRUE(blockedInStd);

  // Sent before the wait: kept, not lost, and delivered to the waiter once it waits.
  ASSERT_EQ(kill(getpid(), SIGUSR1), 0);
  std::future<platform::ControlSignal> first =
      std::async(std::launch::async, [] { return platform::waitForSignal(); });
  ASSERT_EQ(first.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(first.get(), platform::ControlSignal::kStatus);

  std::promise<void> waiting;
  std::future<platform::ControlSignal> second = std::async(std::launch::async, [&] {
    platform::receiveControlSignalsHere();
    waiting.set_value();
    return platform::waitForSignal();
  });
  waiting.get_future().wait();
  ASSERT_EQ(kill(getpid(), SIGHUP), 0);
  ASSERT_EQ(second.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(second.get(), platform::ControlSignal::kReload);
}

}  // namespace
