// The blocks that hold a connection's data in flight, each a mapping of its own rather than a
// piece of the allocator's arenas. A block freed in an arena leaves a hole that the next
// connections' small, long-lived objects (SSL objects, certificates, session tickets) partly
// fill, so that every idle connection came to keep a few pages resident that nothing used; a
// mapping goes back to the system whole. (The SSL library's record buffers, of the same size,
// get mappings of their own from the allocator: app/heap.h.) When no mapping can be made, the
// block comes from the allocator after all.
//
// A few blocks of each size stay cached for the next connections, so that short connections make
// no mapping of their own; the cache is emptied when no block was taken between two calls of
// `trimIdle` (the relay's status tick). One per relay; any thread. Internal to the relay.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace relay {

class FlowBlocks {
 public:
  // One block, given back to its cache when it goes. Move-only.
  class Block {
   public:
    Block() = default;
    Block(Block&& other) noexcept;
    Block& operator=(Block&& other) noexcept;
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;
    ~Block() { reset(); }

    uint8_t* get() const { return data_; }
    size_t size() const { return size_; }
    explicit operator bool() const { return data_ != nullptr; }
    // Gives the block back now.
    void reset();

   private:
    friend class FlowBlocks;
    Block(FlowBlocks* owner, uint8_t* data, size_t size, bool mapped)
        : owner_(owner), data_(data), size_(size), mapped_(mapped) {}
    FlowBlocks* owner_ = nullptr;
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
    bool mapped_ = false;  // false: from the allocator
  };

  // Blocks of these sizes are cached, up to the given count each; others are mapped and unmapped
  // every time.
  struct Kind {
    size_t size = 0;
    size_t kept = 0;
  };
  explicit FlowBlocks(std::vector<Kind> kinds);
  ~FlowBlocks();  // every block must have come back
  FlowBlocks(const FlowBlocks&) = delete;
  FlowBlocks& operator=(const FlowBlocks&) = delete;

  // A block of `size` bytes (a cached one when there is one); an empty block when no memory is
  // left.
  Block take(size_t size);
  // Unmaps the cached blocks when none was taken since the previous call.
  void trimIdle();
  // Blocks in the caches, for tests.
  size_t cachedCount() const;

 private:
  struct Cache {
    Kind kind;
    std::vector<uint8_t*> free;
  };
  Cache* cacheFor(size_t size);
  void giveBack(uint8_t* data, size_t size, bool mapped);

  mutable std::mutex mutex_;  // guards caches_' free lists and taken_
  std::vector<Cache> caches_;
  bool taken_ = false;
};

}  // namespace relay
