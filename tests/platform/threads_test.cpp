#include "platform/threads.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Resident pages of the calling thread's stack below its current frame.
size_t residentStackPagesBelowHere() {
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return 0;
  void* low = nullptr;
  size_t size = 0;
  pthread_attr_getstack(&attr, &low, &size);
  pthread_attr_destroy(&attr);
  const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  const uintptr_t frame = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  const uintptr_t top = (frame & ~(page - 1)) - 2 * page;
  const uintptr_t bottom = reinterpret_cast<uintptr_t>(low);
  if (top <= bottom) return 0;
  std::vector<unsigned char> flags((top - bottom) / page);
  if (mincore(reinterpret_cast<void*>(bottom), top - bottom, flags.data()) != 0) return 0;
  size_t resident = 0;
  for (unsigned char f : flags) resident += f & 1;
  return resident;
}

// Touches about 200 KiB of stack below the caller, as a deep handshake does. alloca, not an
// array: the address sanitizer moves arrays to a stack of its own, never alloca's memory.
__attribute__((noinline)) int touchDeepStack(int seed) {
  constexpr size_t kBytes = 200 * 1024;
  auto* deep = static_cast<volatile char*>(__builtin_alloca(kBytes));
  for (size_t i = 0; i < kBytes; i += 512) deep[i] = static_cast<char>(seed + i);
  return deep[static_cast<size_t>(seed) % kBytes];
}

struct StackFigures {
  size_t touched = 0;
  size_t afterRelease = 0;
  size_t touchedAgain = 0;
  bool done = false;
};

TEST(Threads, UnusedStackBelowTheFrameGoesBackAndComesBackWhenUsedAgain) {
  StackFigures figures;
  std::mutex mutex;  // guards figures
  std::condition_variable finished;
  ASSERT_EQ(platform::startDetachedThread(
                [&] {
                  StackFigures f;
                  touchDeepStack(1);
                  f.touched = residentStackPagesBelowHere();
                  platform::releaseUnusedStack();
                  f.afterRelease = residentStackPagesBelowHere();
                  touchDeepStack(2);  // the stack still works, fresh pages and all
                  f.touchedAgain = residentStackPagesBelowHere();
                  std::lock_guard<std::mutex> hold(mutex);
                  figures = f;
                  figures.done = true;
                  finished.notify_all();
                },
                1024 * 1024),
            0);
  std::unique_lock<std::mutex> lock(mutex);
  ASSERT_TRUE(finished.wait_for(lock, 10s, [&] { return figures.done; }));
  EXPECT_GE(figures.touched, 40u) << "the deep call left its pages resident";
  EXPECT_LE(figures.afterRelease, 2u) << "released pages below the frame stay resident";
  EXPECT_GE(figures.touchedAgain, 40u);
}

// Releases from a frame that lies `depth` bytes further down the stack.
__attribute__((noinline)) void releaseAtDepth(size_t depth) {
  auto* room = static_cast<volatile char*>(__builtin_alloca(depth + 1));
  room[0] = 1;
  platform::releaseUnusedStack();
  room[depth] = 2;  // this frame's memory is still there
}

// Wherever in a page the caller's frame lies, the release never takes the pages the call itself
// still stands on (a page given back under madvise's return address ends the process).
TEST(Threads, StackReleaseIsSafeWhereverTheFrameLiesInAPage) {
  std::atomic<int> calls{0};
  std::atomic<bool> done{false};
  ASSERT_EQ(platform::startDetachedThread(
                [&] {
                  const auto page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
                  for (size_t depth = 0; depth < 2 * page; depth += 16) {
                    releaseAtDepth(depth);
                    ++calls;
                  }
                  done = true;
                },
                1024 * 1024),
            0);
  for (int i = 0; i < 1000 && !done; ++i) std::this_thread::sleep_for(10ms);
  ASSERT_TRUE(done);
  EXPECT_GT(calls.load(), 500);
}

}  // namespace

namespace {

unsigned char* altStackMemory = nullptr;  // written before the signal, read after it
void releaseFromHandler(int) { platform::releaseUnusedStack(); }

// On a signal handler's own stack the release does nothing: that memory is not the thread's
// stack, and pages given back there would come back zero under whoever owns them.
TEST(Threads, StackReleaseLeavesAnAlternateSignalStackAlone) {
  constexpr size_t kAltBytes = 256 * 1024;
  void* area = mmap(nullptr, kAltBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(area, MAP_FAILED);
  altStackMemory = static_cast<unsigned char*>(area);
  std::memset(altStackMemory, 0xAB, kAltBytes);
  std::atomic<bool> done{false};
  ASSERT_EQ(platform::startDetachedThread(
                [&] {
                  stack_t alt{};
                  alt.ss_sp = altStackMemory;
                  alt.ss_size = kAltBytes;
                  struct sigaction action {};
                  action.sa_handler = releaseFromHandler;
                  action.sa_flags = SA_ONSTACK;
                  struct sigaction old {};
                  stack_t oldAlt{};
                  if (sigaltstack(&alt, &oldAlt) == 0 && sigaction(SIGUSR2, &action, &old) == 0) {
                    pthread_kill(pthread_self(), SIGUSR2);
                    sigaction(SIGUSR2, &old, nullptr);
                  }
                  // The thread's own alternate stack (a sanitizer's) is put back: whoever set it
                  // frees it when the thread ends.
                  sigaltstack(&oldAlt, nullptr);
                  done = true;
                },
                1024 * 1024),
            0);
  for (int i = 0; i < 1000 && !done; ++i) std::this_thread::sleep_for(10ms);
  ASSERT_TRUE(done);
  // The handler ran near the top of the area; what lies below its frame kept its bytes.
  size_t zeroed = 0;
  for (size_t i = 0; i < kAltBytes / 2; ++i) zeroed += altStackMemory[i] == 0 ? 1 : 0;
  EXPECT_EQ(zeroed, 0u);
  munmap(area, kAltBytes);
}

}  // namespace
