#include "relay/flow_blocks.h"

#include <sys/mman.h>
#include <unistd.h>

#include <new>
#include <utility>

namespace relay {

namespace {

// The block's bytes rounded up to whole pages. Neighbouring blocks may share one map entry of the
// system's, so that many thousands of them stay far below its limit of entries.
size_t mappingSize(size_t size) {
  static const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  return (size + page - 1) / page * page;
}

uint8_t* mapBlock(size_t size) {
#if defined(__SANITIZE_ADDRESS__)
  // The address sanitizer checks the bounds of what the allocator gives only.
  static_cast<void>(size);
  return nullptr;
#else
  void* area = ::mmap(nullptr, mappingSize(size), PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return area != MAP_FAILED ? static_cast<uint8_t*>(area) : nullptr;
#endif
}

void freeBlock(uint8_t* data, size_t size, bool mapped) {
  if (mapped) {
    ::munmap(data, mappingSize(size));
  } else {
    delete[] data;
  }
}

}  // namespace

FlowBlocks::Block::Block(Block&& other) noexcept
    : owner_(std::exchange(other.owner_, nullptr)),
      data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      mapped_(std::exchange(other.mapped_, false)) {}

FlowBlocks::Block& FlowBlocks::Block::operator=(Block&& other) noexcept {
  if (this != &other) {
    reset();
    owner_ = std::exchange(other.owner_, nullptr);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    mapped_ = std::exchange(other.mapped_, false);
  }
  return *this;
}

void FlowBlocks::Block::reset() {
  if (data_ != nullptr) owner_->giveBack(data_, size_, mapped_);
  owner_ = nullptr;
  data_ = nullptr;
  size_ = 0;
  mapped_ = false;
}

FlowBlocks::FlowBlocks(std::vector<Kind> kinds) {
  for (const Kind& kind : kinds) caches_.push_back(Cache{kind, {}});
  for (Cache& cache : caches_) cache.free.reserve(cache.kind.kept);
}

FlowBlocks::~FlowBlocks() {
  for (Cache& cache : caches_) {
    for (uint8_t* data : cache.free) freeBlock(data, cache.kind.size, true);
  }
}

FlowBlocks::Cache* FlowBlocks::cacheFor(size_t size) {
  for (Cache& cache : caches_) {
    if (cache.kind.size == size) return &cache;
  }
  return nullptr;
}

FlowBlocks::Block FlowBlocks::take(size_t size) {
  if (size == 0) return Block();
  {
    std::lock_guard<std::mutex> hold(mutex_);
    taken_ = true;
    if (Cache* cache = cacheFor(size); cache != nullptr && !cache->free.empty()) {
      uint8_t* data = cache->free.back();
      cache->free.pop_back();
      return Block(this, data, size, true);
    }
  }
  if (uint8_t* data = mapBlock(size); data != nullptr) return Block(this, data, size, true);
  uint8_t* data = new (std::nothrow) uint8_t[size];
  return data != nullptr ? Block(this, data, size, false) : Block();
}

void FlowBlocks::giveBack(uint8_t* data, size_t size, bool mapped) {
  if (mapped) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (Cache* cache = cacheFor(size); cache != nullptr && cache->free.size() < cache->kind.kept) {
      cache->free.push_back(data);
      return;
    }
  }
  freeBlock(data, size, mapped);
}

void FlowBlocks::trimIdle() {
  std::vector<std::pair<uint8_t*, size_t>> unused;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    if (std::exchange(taken_, false)) return;
    for (Cache& cache : caches_) {
      for (uint8_t* data : cache.free) unused.emplace_back(data, cache.kind.size);
      cache.free.clear();
    }
  }
  for (const auto& [data, size] : unused) freeBlock(data, size, true);
}

size_t FlowBlocks::cachedCount() const {
  std::lock_guard<std::mutex> hold(mutex_);
  size_t count = 0;
  for (const Cache& cache : caches_) count += cache.free.size();
  return count;
}

}  // namespace relay
