// The performance counters a relay publishes: thread-pool, throughput and SSL statistics in the
// shared counter block "BKL" (see counter_table.h for its bytes), guarded by an `Optex`, and the
// counters' registration (perf_registration.h).
//
// `PerfDataManager` owns the process's view of the block. The process has one (`perfDataManager`),
// which the perf_* calls use; tests make more. Its kernel objects are "/<prefix>BKL",
// "/<prefix>TAV_Optex_MMF_BKL" and "/<prefix>TAV_Optex_Event_BKL"; the process's manager takes the
// prefix from the environment variable BRISKLANE_SHM_PREFIX (read once; empty when unset), so that
// tests running side by side never share a block.
//
// A block lives as long as a publisher holds it: each publisher keeps a shared advisory lock on it,
// and the last one to close removes its name. A block that nobody holds was left by a publisher
// that ended without closing; the next one fills it again. A block that another publisher holds is
// used as it is once its layout checks out.
//
// The block, the lock state and the semaphore are used only when they are this user's own
// (platform/shared_memory.h): an object under one of the names that another user made, or that
// others may write, is logged with its owner and the process runs without counters. So does a
// process that cannot take the Optex within kOptexWait at open, reset or close, and one whose
// block another process cuts short (its stores would fault): no wait is without end and nothing
// another process does to the objects stops the relay. close() releases the Optex too; the last
// process to hold the lock's objects removes them.
//
// Threads: install, uninstall, open, reset and close run on the thread that starts and stops the
// program; the set operations come from the statistics thread. The set operations write whole
// slots without the Optex, as its readers expect; the manager's own mutex only keeps them off a
// view that close is taking away.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "perf/counter_table.h"
#include "perf/optex.h"
#include "perf/perf_registration.h"
#include "platform/shared_memory.h"

namespace perf {

constexpr char kServiceName[] = "BKL";
constexpr uint32_t kOptexSpinCount = 4000;
// perf_open's answer when the block existed and is used as it is (the system's "already exists").
constexpr long kErrorAlreadyExists = 183;
// The reader program, in the folder of the program that registers the counters.
constexpr char kReaderProgram[] = "brisklane-perf";

class PerfDataManager {
 public:
  PerfDataManager(std::string serviceName, std::string shmPrefix);
  PerfDataManager(const PerfDataManager&) = delete;
  PerfDataManager& operator=(const PerfDataManager&) = delete;
  ~PerfDataManager() { close(); }

  long install(const std::string& libraryPath);
  long uninstall();
  // Creates (or joins) the block. 0 when this call filled it (new, or left behind by a process
  // that ended without closing it), kErrorAlreadyExists when it joined a block in use, else the
  // errno of the step that failed (the counters then stay not live): EPERM for an object that is
  // not this user's own, ENOLCK when the Optex is not usable, ETIMEDOUT when it stayed taken.
  long open();
  void reset();
  void setThreadpool(uint32_t accepted, uint32_t open, uint32_t idle, uint32_t threads);
  void setThroughput(uint64_t bytesIn, uint64_t bytesOut);
  void setSsl(uint32_t connects, uint32_t connectsGood, uint32_t connectRenegotiations,
              uint32_t accepts, uint32_t acceptsGood, uint32_t acceptRenegotiations,
              uint32_t cacheSize, uint32_t hits, uint32_t misses, uint32_t timeouts);
  // The address of a counter's slot while the counters are live; null for an id without a slot.
  uint8_t* counterSlot(uint32_t id);
  // Leaves the block (removing its name when no other publisher holds it) and the Optex.
  void close();

  bool live() const;
  TitleIndexes indexes() const;
  std::string blockName() const { return "/" + prefix_ + service_; }
  const std::vector<PerfDefinition>& table() const { return table_; }
  const BlockLayout& layout() const { return layout_; }

 private:
  // Opens or creates the block and takes its size; 0, or the errno of the step (logged).
  int openBlock(platform::SharedMemory* block, bool* created, size_t* size) const;
  long joinBlock(platform::SharedMemory* block, const TitleIndexes& given) const;
  // Runs `write` under mutex_ while the block is live and whole; a block cut short is dropped.
  template <typename Write>
  void publish(Write write);
  void writeSlot(uint32_t id, uint64_t value);  // caller holds mutex_
  void dropBlock();                             // the counters are not live any more
  void logLockBusy(const Optex& optex, const char* consequence) const;

  const std::string service_;
  const std::string prefix_;
  std::vector<PerfDefinition> table_;
  uint32_t records_ = 0;
  uint32_t objects_ = 0;
  BlockLayout layout_;

  mutable std::mutex mutex_;  // guards indexes_, optex_, block_ and live_
  TitleIndexes indexes_;
  std::unique_ptr<Optex> optex_;
  platform::SharedMemory block_;
  bool live_ = false;
};

// The process's manager, made on first use and kept to the end of the process (the statistics
// thread may still publish while the process exits).
PerfDataManager& perfDataManager();

// The calls of the program's start and stop and of its statistics thread, on the process's
// manager. perf_install registers the counters with the reader in the program's own folder.
long perf_install();
long perf_uninstall();
long perf_open();
void perf_reset();
void perf_set_threadpool(uint32_t accepted, uint32_t open, uint32_t idle, uint32_t threads);
void perf_set_throughput(uint64_t bytesIn, uint64_t bytesOut);
void perf_set_ssl(uint32_t connects, uint32_t connectsGood, uint32_t connectRenegotiations,
                  uint32_t accepts, uint32_t acceptsGood, uint32_t acceptRenegotiations,
                  uint32_t cacheSize, uint32_t hits, uint32_t misses, uint32_t timeouts);
uint8_t* counter_slot(uint32_t id);
void perf_close();

// The prefix of the shared objects' names: BRISKLANE_SHM_PREFIX when it is a valid name part,
// else empty.
std::string shmPrefixFromEnvironment();

}  // namespace perf
