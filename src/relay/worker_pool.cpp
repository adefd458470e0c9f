#include "relay/worker_pool.h"

#include <system_error>
#include <thread>

#include "platform/threads.h"

namespace relay {

namespace {

constexpr std::chrono::milliseconds kDestroyWait{3000};

// Called with the queue's lock held. Ends the thread's membership in the counts.
void leavePool(PoolQueue& q) {
  q.threadCount.fetch_sub(1);
  q.threadEnded.notify_all();
}

// Takes items until a stop message comes or no work came within the idle time-out. The thread
// was counted as existing and idle by the poster that started it.
void poolWorker(std::shared_ptr<PoolQueue> q) {
  std::unique_lock<std::mutex> lock(q->mutex);
  for (;;) {
    const std::chrono::milliseconds timeout(q->idleTimeoutMillis.load());
    if (!q->itemQueued.wait_for(lock, timeout, [&q] { return !q->items.empty(); })) {
      q->idleCount.fetch_sub(1);
      leavePool(*q);
      return;
    }
    const WorkItem item = q->items.front();
    q->items.pop_front();
    q->idleCount.fetch_sub(1);
    if (item.function == nullptr) {
      leavePool(*q);
      return;
    }
    lock.unlock();
    item.function(item.arg);
    lock.lock();
    q->idleCount.fetch_add(1);
  }
}

// Called with the queue's lock held. False when no thread could be made.
bool startThread(const std::shared_ptr<PoolQueue>& q) {
  q->threadCount.fetch_add(1);
  q->idleCount.fetch_add(1);
  if (platform::startDetachedThread([q] { poolWorker(q); }, kConnectionStackBytes) == 0) {
    return true;
  }
  q->threadCount.fetch_sub(1);
  q->idleCount.fetch_sub(1);
  return false;
}

}  // namespace

int createPool(WorkPool* pool) {
  if (pool == nullptr) return 0;
  // A queue left by an earlier destroyPool stays with the threads that still hold it.
  pool->queue = std::make_shared<PoolQueue>();
  return 1;
}

int postWork(WorkPool* pool, WorkFunction function, void* arg) {
  if (pool == nullptr || function == nullptr) return 0;
  const std::shared_ptr<PoolQueue> q = pool->queue;
  if (!q) return 0;
  {
    std::lock_guard<std::mutex> hold(q->mutex);
    if (q->stopping) return 0;
    q->items.push_back(WorkItem{function, arg});
    // An idle thread may not have taken an earlier item yet: only a surplus of idle threads
    // over queued items means this item will be served without a new thread. When none can be
    // made the item is refused: waiting for a busy thread could take as long as its connection.
    if (q->items.size() > q->idleCount.load() && !startThread(q)) {
      q->items.pop_back();
      return 0;
    }
  }
  // Woken after the lock is given back, the thread does not wait for it at once.
  q->itemQueued.notify_one();
  return 1;
}

int destroyPool(WorkPool* pool) {
  if (pool == nullptr || !pool->queue) return 1;
  const std::shared_ptr<PoolQueue> q = pool->queue;
  std::unique_lock<std::mutex> lock(q->mutex);
  q->stopping = true;
  const uint32_t threads = q->threadCount.load();
  if (threads == 0) return 1;
  for (uint32_t i = 0; i < threads; ++i) q->items.push_back(WorkItem{});
  q->itemQueued.notify_all();
  // Busy threads see their stop message only when their connection ends; they are not awaited
  // beyond the limit and keep the queue alive by themselves.
  q->threadEnded.wait_for(lock, kDestroyWait, [&q] { return q->threadCount.load() == 0; });
  return 1;
}

uint32_t poolThreadCount(const WorkPool* pool) {
  return pool != nullptr && pool->queue ? pool->queue->threadCount.load() : 0;
}

uint32_t poolIdleCount(const WorkPool* pool) {
  return pool != nullptr && pool->queue ? pool->queue->idleCount.load() : 0;
}

void setPoolIdleTimeout(WorkPool* pool, std::chrono::milliseconds timeout) {
  if (pool != nullptr && pool->queue) pool->queue->idleTimeoutMillis.store(timeout.count());
}

}  // namespace relay
