#include "perf/perf_data.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "log/log.h"
#include "platform/process_info.h"
#include "platform/shared_memory.h"

namespace perf {

namespace {

constexpr char kModule[] = "perf";
constexpr size_t kMaxPrefix = 64;

// How often, and how far apart, a publisher asks whether anyone else holds the block: a reader
// holds it for a moment to see whether anyone publishes.
constexpr int kHolderChecks = 3;
constexpr std::chrono::milliseconds kHolderCheckPause{5};

bool nobodyElseHolds(platform::SharedMemory* block) {
  for (int i = 0; i < kHolderChecks; ++i) {
    if (i > 0) std::this_thread::sleep_for(kHolderCheckPause);
    if (block->tryLockExclusive()) return true;
  }
  return false;
}

// The counters that perf_reset zeroes, in the order of the block.
constexpr uint32_t kPublishedIds[] = {101, 103, 104, 301, 302, 201, 203,
                                      204, 206, 207, 208, 209, 210};

}  // namespace

PerfDataManager::PerfDataManager(std::string serviceName, std::string shmPrefix)
    : service_(std::move(serviceName)), prefix_(std::move(shmPrefix)), table_(definitionTable()) {
  indexDefinitions(&table_, &records_, &objects_);
  layout_ = blockLayout(&table_);
}

long PerfDataManager::install(const std::string& libraryPath) {
  TitleIndexes given;
  const long rc = registerCounters(service_, table_, records_, libraryPath, &given);
  std::lock_guard<std::mutex> hold(mutex_);
  indexes_ = given;
  return rc;
}

long PerfDataManager::uninstall() {
  TitleIndexes given = indexes();
  const long rc = unregisterCounters(service_, records_, &given);
  std::lock_guard<std::mutex> hold(mutex_);
  indexes_ = given;
  return rc;
}

long PerfDataManager::open() {
  Optex* optex = nullptr;
  TitleIndexes given;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    if (live_) return 0;
    // A lock that could not be used at an earlier open is tried again.
    if (!optex_ || !optex_->usable()) {
      optex_ = std::make_unique<Optex>(service_, kOptexSpinCount, prefix_);
    }
    optex = optex_.get();  // kept until close
    given = indexes_;
  }
  if (!optex->usable()) return ENOLCK;  // the lock said why
  registeredIndexes(service_, &given);
  platform::SharedMemory block;
  long rc = 0;
  {
    // Publishers create, check and fill the block one at a time, so none sees another's half.
    OptexHold lock(*optex);
    if (!lock.held()) {
      logLockBusy(*optex, "the counters are not published");
      return ETIMEDOUT;
    }
    rc = joinBlock(&block, given);
  }
  std::lock_guard<std::mutex> hold(mutex_);
  indexes_ = given;
  if (block.data() != nullptr) {
    block_ = std::move(block);
    live_ = true;
  }
  return rc;
}

int PerfDataManager::openBlock(platform::SharedMemory* block, bool* created, size_t* size) const {
  const std::string name = blockName();
  int err = block->openOrCreate(name, created);
  if (err == 0) err = block->objectSize(size);
  if (err == EPERM) {
    log_event(LOG_ERROR, 0x6091, kModule, __LINE__, "%s; the counters are not published",
              foreignObjectText(name, block->found()).c_str());
  } else if (err != 0) {
    log_event(LOG_ERROR, 0x6091, kModule, __LINE__,
              "Couldn't create the counter block %s: %s; the counters are not published",
              name.c_str(), std::strerror(err));
  }
  if (err != 0) block->close();
  return err;
}

long PerfDataManager::joinBlock(platform::SharedMemory* block, const TitleIndexes& given) const {
  const std::string name = blockName();
  bool created = false;
  size_t size = 0;
  int err = openBlock(block, &created, &size);
  if (err != 0) return err;
  // A block this process made, or one that no publisher holds (left behind), is filled here.
  const bool fill = created || nobodyElseHolds(block);
  if (!created && size != 0 && size != layout_.size) {
    log_event(LOG_ERROR, 0x6091, kModule, __LINE__,
              "The shared object %s has %zu bytes, not %u: it is not a counter block and is left "
              "alone; the counters are not published",
              name.c_str(), size, static_cast<unsigned>(layout_.size));
    block->close();
    return EEXIST;
  }
  if (fill) {
    err = block->resize(layout_.size);
  } else if (size != layout_.size) {
    err = EAGAIN;
  }
  if (err == 0) err = block->map(layout_.size);
  if (err != 0) {
    log_event(LOG_ERROR, 0x6091, kModule, __LINE__,
              "Couldn't map the counter block %s: %s; the counters are not published", name.c_str(),
              std::strerror(err));
    block->close();
    return err;
  }
  std::string problem;
  const bool sound = checkBlock(block->data(), block->mappedSize(), layout_, table_, &problem);
  if (!fill && !sound) {
    log_event(LOG_ERROR, 0x6091, kModule, __LINE__,
              "The counter block %s in use by another process has a foreign layout (%s); the "
              "counters are not published",
              name.c_str(), problem.c_str());
    block->close();
    return EPROTO;
  }
  if (fill) {
    if (!created && size != 0) {
      log_event(LOG_WARNING, 0x6091, kModule, __LINE__,
                "The counter block %s was left by a process that ended without closing it (%s); "
                "it is filled again",
                name.c_str(), sound ? "its layout is sound" : problem.c_str());
    }
    std::memset(block->data(), 0, layout_.size);
    fillBlock(block->data(), layout_, table_, given.firstCounter, given.firstHelp);
  }
  // Marks the block as published (a reader may hold it for a moment to see whether it is).
  if (!block->lockSharedWithin(kOptexWait)) {
    log_event(LOG_ERROR, 0x6091, kModule, __LINE__,
              "Couldn't mark the counter block %s as in use: another process holds it; the "
              "counters are not published",
              name.c_str());
    block->close();
    return EAGAIN;
  }
  return fill ? 0 : kErrorAlreadyExists;
}

void PerfDataManager::reset() {
  Optex* optex = nullptr;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    if (!live_) return;
    optex = optex_.get();
  }
  OptexHold lock(*optex);
  if (!lock.held()) {
    logLockBusy(*optex, "the counters are not published");
    dropBlock();
    return;
  }
  publish([this] {
    for (const uint32_t id : kPublishedIds) writeSlot(id, 0);
  });
}

void PerfDataManager::setThreadpool(uint32_t accepted, uint32_t /*open: no counter*/, uint32_t idle,
                                    uint32_t threads) {
  publish([&] {
    writeSlot(101, accepted);
    writeSlot(103, idle);
    writeSlot(104, threads);
  });
}

void PerfDataManager::setThroughput(uint64_t bytesIn, uint64_t bytesOut) {
  publish([&] {
    writeSlot(301, bytesIn);
    writeSlot(302, bytesOut);
  });
}

void PerfDataManager::setSsl(uint32_t connects, uint32_t connectsGood,
                             uint32_t /*connectRenegotiations: no counter*/, uint32_t accepts,
                             uint32_t acceptsGood, uint32_t /*acceptRenegotiations: no counter*/,
                             uint32_t cacheSize, uint32_t hits, uint32_t misses,
                             uint32_t timeouts) {
  publish([&] {
    writeSlot(201, connects);
    writeSlot(203, connectsGood);
    writeSlot(204, accepts);
    writeSlot(206, acceptsGood);
    writeSlot(207, cacheSize);
    writeSlot(208, hits);
    writeSlot(209, misses);
    writeSlot(210, timeouts);
  });
}

template <typename Write>
void PerfDataManager::publish(Write write) {
  size_t size = 0;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    if (!live_) return;
    // Stores into a mapping past the object's end fault: a block cut short is not written.
    if (block_.objectSize(&size) == 0 && size >= layout_.size) {
      write();
      return;
    }
  }
  log_event(LOG_ERROR, 0x6091, kModule, __LINE__,
            "The counter block %s was cut to %zu bytes by another process; the counters are not "
            "published any more",
            blockName().c_str(), size);
  dropBlock();
}

void PerfDataManager::dropBlock() {
  platform::SharedMemory block;
  std::lock_guard<std::mutex> hold(mutex_);
  live_ = false;
  block = std::move(block_);
}

void PerfDataManager::logLockBusy(const Optex& optex, const char* consequence) const {
  log_event(LOG_ERROR, 0x6090, kModule, __LINE__,
            "Couldn't take the counter lock %s within %lld ms (held by thread %u); %s",
            optex.stateName().c_str(), static_cast<long long>(kOptexWait.count()),
            static_cast<unsigned>(optex.owner()), consequence);
}

void PerfDataManager::writeSlot(uint32_t id, uint64_t value) {
  if (!live_) return;
  const CounterPlace* place = findCounter(layout_, id);
  if (place == nullptr) return;
  uint8_t* slot = block_.data() + place->slot;
  // Readers load each slot whole; the 64-bit slots lie on 8-byte boundaries of the mapping.
  if (place->width == 8) {
    std::atomic_ref<uint64_t>(*reinterpret_cast<uint64_t*>(slot)).store(value);
  } else {
    std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(slot))
        .store(static_cast<uint32_t>(value));
  }
}

uint8_t* PerfDataManager::counterSlot(uint32_t id) {
  std::lock_guard<std::mutex> hold(mutex_);
  const CounterPlace* place = live_ ? findCounter(layout_, id) : nullptr;
  return place == nullptr ? nullptr : block_.data() + place->slot;
}

void PerfDataManager::close() {
  platform::SharedMemory block;
  std::unique_ptr<Optex> optex;
  bool wasLive = false;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    wasLive = live_;
    live_ = false;
    block = std::move(block_);
    optex = std::move(optex_);
  }
  if (wasLive && optex) {
    OptexHold lock(*optex);
    if (!lock.held()) {
      logLockBusy(*optex, "the block is left for the next publisher");
    } else if (nobodyElseHolds(&block) && block.stillNamed(blockName())) {
      // The last publisher removes the name, as the system drops a mapping nobody has open.
      platform::SharedMemory::remove(blockName());
    }
  }
  block.close();
  // The lock goes last; the last process to use it removes its state and semaphore.
}

bool PerfDataManager::live() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return live_;
}

TitleIndexes PerfDataManager::indexes() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return indexes_;
}

std::string shmPrefixFromEnvironment() {
  const char* value = std::getenv("BRISKLANE_SHM_PREFIX");
  if (value == nullptr || *value == '\0') return {};
  const std::string prefix = value;
  if (prefix.size() > kMaxPrefix || !platform::validSharedObjectName("/" + prefix)) {
    log_event(LOG_WARNING, 0x6091, kModule, __LINE__,
              "BRISKLANE_SHM_PREFIX <%s> is not up to %zu of A-Z a-z 0-9 _ . -; it is ignored",
              prefix.c_str(), kMaxPrefix);
    return {};
  }
  return prefix;
}

PerfDataManager& perfDataManager() {
  static PerfDataManager* const manager =
      new PerfDataManager(kServiceName, shmPrefixFromEnvironment());
  return *manager;
}

long perf_install() {
  std::string dir = platform::programDirectory();
  if (!dir.empty() && dir.back() != '/') dir += '/';
  return perfDataManager().install(dir + kReaderProgram);
}

long perf_uninstall() { return perfDataManager().uninstall(); }
long perf_open() { return perfDataManager().open(); }
void perf_reset() { perfDataManager().reset(); }

void perf_set_threadpool(uint32_t accepted, uint32_t open, uint32_t idle, uint32_t threads) {
  perfDataManager().setThreadpool(accepted, open, idle, threads);
}

void perf_set_throughput(uint64_t bytesIn, uint64_t bytesOut) {
  perfDataManager().setThroughput(bytesIn, bytesOut);
}

void perf_set_ssl(uint32_t connects, uint32_t connectsGood, uint32_t connectRenegotiations,
                  uint32_t accepts, uint32_t acceptsGood, uint32_t acceptRenegotiations,
                  uint32_t cacheSize, uint32_t hits, uint32_t misses, uint32_t timeouts) {
  perfDataManager().setSsl(connects, connectsGood, connectRenegotiations, accepts, acceptsGood,
                           acceptRenegotiations, cacheSize, hits, misses, timeouts);
}

uint8_t* counter_slot(uint32_t id) { return perfDataManager().counterSlot(id); }
void perf_close() { perfDataManager().close(); }

}  // namespace perf
