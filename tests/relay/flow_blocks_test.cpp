// The blocks of data in flight: each its own, kept for the next connections up to a bound, and
// given back to the system once the relay has been idle for a status tick.
#include "relay/flow_blocks.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace {

using relay::FlowBlocks;

constexpr size_t kSize = 16 * 1024;

// Whether the page at `address` is still mapped in this process.
bool mapped(const void* address) {
  return ::msync(const_cast<void*>(address), 4096, MS_ASYNC) == 0 || errno != ENOMEM;
}

TEST(FlowBlocks, BlocksServeTheNextConnectionsUpToTheirBoundAndGoWhenTheRelayIsIdle) {
  FlowBlocks blocks({{kSize, 2}});
  std::vector<FlowBlocks::Block> taken;
  for (int i = 0; i < 4; ++i) {
    taken.push_back(blocks.take(kSize));
    ASSERT_TRUE(taken.back());
    ASSERT_EQ(taken.back().size(), kSize);
    std::memset(taken.back().get(), 'a' + i, kSize);
  }
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(taken[i].get()[0], 'a' + i) << "blocks overlap";
    EXPECT_EQ(taken[i].get()[kSize - 1], 'a' + i) << "blocks overlap";
  }
  std::vector<const uint8_t*> addresses;
  for (const FlowBlocks::Block& block : taken) addresses.push_back(block.get());
  taken.clear();
#if defined(__SANITIZE_ADDRESS__)
  // Under the address sanitizer every block comes from the allocator, and none is kept.
  EXPECT_EQ(blocks.cachedCount(), 0u);
  GTEST_SKIP() << "blocks are mapped only without the address sanitizer";
#endif
  EXPECT_EQ(blocks.cachedCount(), 2u);
  EXPECT_TRUE(mapped(addresses[0]) && mapped(addresses[1])) << "the kept blocks";
  EXPECT_FALSE(mapped(addresses[2]) || mapped(addresses[3])) << "blocks beyond the bound go";

  FlowBlocks::Block again = blocks.take(kSize);
  EXPECT_EQ(again.get(), addresses[1]) << "the block given back last serves first";
  blocks.trimIdle();
  EXPECT_EQ(blocks.cachedCount(), 1u) << "a block was taken since the last tick: all kept";
  again.reset();
  blocks.trimIdle();
  EXPECT_EQ(blocks.cachedCount(), 0u);
  EXPECT_FALSE(mapped(addresses[0]) || mapped(addresses[1]));

  // A size that is not kept is mapped for its use alone.
  {
    FlowBlocks::Block odd = blocks.take(5000);
    ASSERT_TRUE(odd);
    odd.get()[4999] = 1;
    addresses[0] = odd.get();
  }
  EXPECT_EQ(blocks.cachedCount(), 0u);
  EXPECT_FALSE(mapped(addresses[0]));
}

}  // namespace
