// The worker pool: connections are served by reusable threads that wait on one work queue.
//
// A thread is created whenever work is posted while no thread is idle, so the pool grows to the
// number of connections in progress; a thread that waits 30 seconds without work ends. Any thread
// may post; `createPool` and `destroyPool` run once each, at the start and the shutdown of the
// relay that owns the pool (tests may run them again on the same pool once `destroyPool` has
// returned).
//
// The queue, its lock and the counts live in a `PoolQueue` that every pool thread holds a
// reference to, so a thread still busy with its connection when `destroyPool` gives up waiting
// (or when its relay is gone) never touches freed memory. Threads are detached:
// `destroyPool` waits for the thread count to reach zero instead of joining handles.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

namespace relay {

// The stack of a thread that relays connections (pool workers and threads of their own), with a
// guard page below it. The deepest connection path measured (full handshakes with certificate
// checks, the proxy front end with NTLM answers, logging) used 20 KiB in a release build, 44 KiB
// in a debug build and 48 KiB under the address sanitizer; this leaves five times that. Only the
// pages a thread touches are resident, and an idle connection gives back what its deepest call
// touched (platform::releaseUnusedStack); the small size keeps ten thousand threads within the
// address space and the system's map count.
constexpr size_t kConnectionStackBytes = 256 * 1024;

// A work item's function; it owns what `arg` points to.
using WorkFunction = void (*)(void* arg);

struct WorkItem {
  WorkFunction function = nullptr;  // null: the stop message
  void* arg = nullptr;
};

struct PoolQueue {
  std::mutex mutex;  // guards items and stopping, and every change of the two counts
  std::condition_variable itemQueued;   // an item (or stop message) was queued
  std::condition_variable threadEnded;  // a pool thread ended
  std::deque<WorkItem> items;
  bool stopping = false;  // set by destroyPool; postWork refuses work from then on
  // Read without the lock for statistics; changed only under `mutex`.
  std::atomic<uint32_t> threadCount{0};  // threads that exist
  std::atomic<uint32_t> idleCount{0};    // threads waiting for work or about to wait
  // How long a thread waits for work before it ends.
  std::atomic<int64_t> idleTimeoutMillis{30000};
};

struct WorkPool {
  // Made by createPool; each pool thread holds its own reference.
  std::shared_ptr<PoolQueue> queue;
};

// Returns 1, or 0 when the pool cannot be made.
int createPool(WorkPool* pool);
// Queues one item; non-zero when it was queued. Refused once `destroyPool` began.
int postWork(WorkPool* pool, WorkFunction function, void* arg);
// Stops idle threads and waits at most 3 seconds in total for the threads to end. Returns 1.
int destroyPool(WorkPool* pool);
uint32_t poolThreadCount(const WorkPool* pool);
uint32_t poolIdleCount(const WorkPool* pool);

// How long a thread of the pool waits for work before it ends (30 s); tests shorten it. The pool
// must have been made.
void setPoolIdleTimeout(WorkPool* pool, std::chrono::milliseconds timeout);

}  // namespace relay
