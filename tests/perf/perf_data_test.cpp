#include "perf/perf_data.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "perf_fixture.h"

namespace perf_test {
namespace {

using perf::PerfDataManager;

class CounterBlock : public PerfTest {
 protected:
  void SetUp() override {
    PerfTest::SetUp();
    setDword(perf::kPerflibKey, "Last Counter", 1846);
    setDword(perf::kPerflibKey, "Last Help", 1847);
  }

};

TEST_F(CounterBlock, LayoutAndSlotsAsTheRawBytesShowThem) {
  PerfDataManager m("BKL", prefix_);
  EXPECT_FALSE(blockExists());
  ASSERT_EQ(m.install("/opt/bkl/brisklane-perf"), 0);
  ASSERT_EQ(m.open(), 0);
  ASSERT_TRUE(m.live());
  const std::string fresh = rawBlock();
  ASSERT_EQ(fresh.size(), 828u);

  // Object 100: header, then the definition of counter 101, then its counter block at 184.
  const uint32_t header100[] = {0, 184, 64, 1848, 0, 1849, 0, 100, 3, 0, 0xFFFFFFFF, 0};
  for (size_t i = 0; i < 12; ++i) EXPECT_EQ(u32(fresh, 4 * i), header100[i]) << "field " << i;
  EXPECT_EQ(u64(fresh, 48), 0u);
  EXPECT_EQ(u64(fresh, 56), 0u);
  const uint32_t counter101[] = {40, 1850, 0, 1851, 0, 0, 100, 0x400400, 8, 4};
  for (size_t i = 0; i < 10; ++i) EXPECT_EQ(u32(fresh, 64 + 4 * i), counter101[i]) << i;
  EXPECT_EQ(u32(fresh, 104 + 36), 12u);  // 103 (defined at 104) is the second slot
  EXPECT_EQ(u32(fresh, 184), 28u);
  // Object 300 at 212 (record 4), its counter 302 a 64-bit type; its counter block at 356.
  EXPECT_EQ(u32(fresh, 212 + 4), 144u);
  EXPECT_EQ(u32(fresh, 212 + 12), 1856u);
  EXPECT_EQ(u32(fresh, 212 + 32), 2u);
  EXPECT_EQ(u32(fresh, 276 + 40 + 28), 0x10100u);
  EXPECT_EQ(u32(fresh, 356), 20u);
  // Object 200 at 376 (record 7): 8 counters, default 204 at position 2; counter block at 760.
  EXPECT_EQ(u32(fresh, 376 + 4), 384u);
  EXPECT_EQ(u32(fresh, 376 + 20), 1863u);
  EXPECT_EQ(u32(fresh, 376 + 32), 8u);
  EXPECT_EQ(u32(fresh, 376 + 36), 2u);
  EXPECT_EQ(u32(fresh, 440 + 7 * 40 + 4), 1878u);  // 210, the last record
  EXPECT_EQ(u32(fresh, 760), 68u);

  m.setThreadpool(7, 99, 2, 5);
  m.setThroughput(5000000000ULL, 3);
  m.setSsl(11, 12, 13, 14, 15, 16, 17, 18, 19, 20);
  const std::string set = rawBlock();
  const std::pair<size_t, uint64_t> slots[] = {
      {188, 7},  {196, 2},  {204, 5},  {360, 5000000000ULL},
      {368, 3},  {764, 11}, {772, 12}, {780, 14},
      {788, 15}, {796, 17}, {804, 18}, {812, 19},
      {820, 20}};
  for (const auto& [at, value] : slots) EXPECT_EQ(u64(set, at), value) << "slot at " << at;
  // Nothing but the slots changed: the open connections and renegotiations have no counter.
  for (size_t at = 0; at < set.size(); ++at) {
    const bool inSlot = std::any_of(std::begin(slots), std::end(slots), [&](const auto& s) {
      return at >= s.first && at < s.first + 8;
    });
    if (!inSlot) {
      ASSERT_EQ(set[at], fresh[at]) << "byte " << at;
    }
  }
  uint32_t accepted = 0;
  ASSERT_NE(m.counterSlot(101), nullptr);
  std::memcpy(&accepted, m.counterSlot(101), 4);
  EXPECT_EQ(accepted, 7u);
  for (const uint32_t id : {100u, 102u, 202u, 205u, 999u}) EXPECT_EQ(m.counterSlot(id), nullptr);

  m.reset();
  EXPECT_EQ(rawBlock(), fresh);
  m.close();
  EXPECT_FALSE(blockExists());
  m.setThroughput(1, 1);  // no block: ignored
  EXPECT_EQ(m.counterSlot(301), nullptr);
}

TEST_F(CounterBlock, NothingIsPublishedBeforeOpen) {
  PerfDataManager m("BKL", prefix_);
  ASSERT_EQ(m.install("/opt/bkl/brisklane-perf"), 0);
  m.reset();
  m.setThreadpool(1, 1, 1, 1);
  m.setSsl(1, 1, 1, 1, 1, 1, 1, 1, 1, 1);
  EXPECT_FALSE(m.live());
  EXPECT_EQ(m.counterSlot(101), nullptr);
  EXPECT_FALSE(blockExists());
  EXPECT_FALSE(std::filesystem::exists(shmFile("TAV_Optex_MMF_BKL")));
  EXPECT_EQ(dword(perf::performanceKeyPath("BKL"), "First Counter"), 1848u);
}

TEST_F(CounterBlock, ASecondPublisherJoinsTheBlockWithoutRefillingIt) {
  PerfDataManager first("BKL", prefix_);
  ASSERT_EQ(first.install("/opt/bkl/brisklane-perf"), 0);
  ASSERT_EQ(first.open(), 0);
  first.setThreadpool(3, 0, 1, 1);
  // The second instance registers anew (1880 on) and, in a process of its own, joins the block.
  const pid_t child = fork();
  if (child == 0) {
    PerfDataManager second("BKL", prefix_);
    second.install("/opt/bkl/brisklane-perf");
    const long rc = second.open();
    second.setThroughput(1234, 5678);
    second.close();
    _exit(rc == perf::kErrorAlreadyExists && second.indexes().firstCounter == 1880 ? 0 : 1);
  }
  ASSERT_EQ(waitChild(child), 0);
  const std::string raw = rawBlock();
  EXPECT_EQ(u32(raw, 12), 1848u) << "the definitions were written again";
  EXPECT_EQ(u64(raw, 188), 3u);
  EXPECT_EQ(u64(raw, 360), 1234u);
  EXPECT_EQ(u64(raw, 368), 5678u);
  EXPECT_TRUE(blockExists()) << "the second publisher removed a block the first still holds";
  first.close();
  EXPECT_FALSE(blockExists());
}

TEST_F(CounterBlock, ABlockLeftBehindIsCheckedAndFilledAgain) {
  // A relay that dies with the block open leaves it, values and all.
  const pid_t child = fork();
  if (child == 0) {
    PerfDataManager crashed("BKL", prefix_);
    crashed.open();
    crashed.setThroughput(77, 88);
    _exit(crashed.live() ? 0 : 1);
  }
  ASSERT_EQ(waitChild(child), 0);
  ASSERT_TRUE(blockExists());
  PerfDataManager next("BKL", prefix_);
  ASSERT_EQ(next.install("/opt/bkl/brisklane-perf"), 0);
  EXPECT_EQ(next.open(), 0);
  const std::string raw = rawBlock();
  EXPECT_EQ(u32(raw, 12), 1848u) << "the new registration's indexes were not filled in";
  EXPECT_EQ(u64(raw, 360), 0u);
  EXPECT_TRUE(
      logged("was left by a process that ended without closing it (its layout is sound); "
             "it is filled again"));
  next.close();

  // Garbage of the right size that nobody holds is filled again too, with its fault named.
  foreignObject(828, 0xAB).close();
  EXPECT_EQ(next.open(), 0);
  EXPECT_EQ(u32(rawBlock(), 4), 184u);
  EXPECT_TRUE(logged("(the definition length at byte 4 is 2880154539, not 184)"));
  next.close();
}

TEST_F(CounterBlock, ForeignObjectsAreLeftAlone) {
  PerfDataManager m("BKL", prefix_);
  {
    platform::SharedMemory small = foreignObject(100, 'x');
    small.close();
    EXPECT_EQ(m.open(), EEXIST);
    EXPECT_FALSE(m.live());
    EXPECT_EQ(rawBlock(), std::string(100, 'x'));
    EXPECT_TRUE(logged("has 100 bytes, not 828: it is not a counter block and is left alone"));
  }
  // Another process's block of the right size but not our layout, held while in use.
  platform::SharedMemory::remove("/" + prefix_ + "BKL");
  platform::SharedMemory held = foreignObject(828, 0x11);
  ASSERT_EQ(held.lockShared(), 0);
  EXPECT_EQ(m.open(), EPROTO);
  EXPECT_FALSE(m.live());
  EXPECT_EQ(rawBlock(), std::string(828, 0x11));
  m.setThreadpool(1, 1, 1, 1);
  EXPECT_EQ(rawBlock(), std::string(828, 0x11));
  EXPECT_TRUE(logged("in use by another process has a foreign layout"));
}

}  // namespace
}  // namespace perf_test
