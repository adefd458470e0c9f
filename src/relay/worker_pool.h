// The worker pool: connections are served by reusable threads that wait on one work queue.
//
// A thread is created whenever work is posted while no thread is idle, so the pool grows to the
// number of connections in progress; a thread that waits 30 seconds without work ends. Any thread
// may post; `createPool` and `destroyPool` run once each, at start-up and shut-down.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <list>
#include <mutex>
#include <thread>

namespace relay {

// A work item's function; it owns what `arg` points to.
using WorkFunction = void (*)(void* arg);

struct WorkPool;

// Returns 1, or 0 when the pool cannot be made.
int createPool(WorkPool* pool);
// Queues one item; non-zero when it was queued. Refused once `destroyPool` began.
int postWork(WorkPool* pool, WorkFunction function, void* arg);
// Stops idle threads and waits at most 3 seconds in total for the threads to end. Returns 1.
int destroyPool(WorkPool* pool);
uint32_t poolThreadCount(const WorkPool* pool);
uint32_t poolIdleCount(const WorkPool* pool);

// The process's pool.
extern WorkPool workPool;

}  // namespace relay
