#include "perf/counter_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

#include "perf/counter_report.h"
#include "perf/perf_data.h"
#include "perf_fixture.h"

namespace perf_test {
namespace {

using perf::CounterReader;
using perf::CounterSnapshot;
using perf::ReadStatus;

const std::string kLanguage = std::string(perf::kPerflibKey) + "\\009";

const perf::CounterValue* find(const CounterSnapshot& s, uint32_t id) {
  for (const auto& o : s.objects) {
    for (const auto& c : o.counters) {
      if (c.id == id) return &c;
    }
  }
  return nullptr;
}

class Reader : public PerfTest {
 protected:
  ReadStatus read(CounterSnapshot* s, std::string* problem) {
    CounterReader reader(prefix_);
    return reader.read(s, problem);
  }

  // An object under the block's name that some process holds.
  platform::SharedMemory heldObject(size_t size, uint8_t fill) {
    platform::SharedMemory object = foreignObject(size, fill);
    EXPECT_EQ(object.lockShared(), 0);
    return object;
  }
};

TEST_F(Reader, ReadsAPublishedBlockAndNamesItFromTheRegistration) {
  CounterSnapshot s;
  std::string problem;
  EXPECT_EQ(read(&s, &problem), ReadStatus::kNotPublished);

  perf::PerfDataManager publisher("BKL", prefix_);
  setDword(perf::kPerflibKey, "Last Counter", 1846);
  setDword(perf::kPerflibKey, "Last Help", 1847);
  ASSERT_EQ(publisher.install("/opt/bkl/brisklane-perf"), 0);
  ASSERT_EQ(publisher.open(), 0);
  publisher.setThreadpool(9, 1, 2, 3);
  publisher.setThroughput(6000000000ULL, 12);
  publisher.setSsl(4, 3, 0, 2, 1, 0, 5, 6, 7, 8);
  ASSERT_EQ(read(&s, &problem), ReadStatus::kOk) << problem;
  ASSERT_EQ(s.objects.size(), 3u);
  EXPECT_EQ(find(s, 101)->value, 9u);
  EXPECT_EQ(find(s, 104)->value, 3u);
  EXPECT_EQ(find(s, 301)->value, 6000000000ULL);
  EXPECT_EQ(find(s, 210)->value, 8u);
  EXPECT_EQ(find(s, 101)->nameIndex, 1850u);

  // A title changed in the registration shows; the rest keep theirs.
  std::string list = bytes(kLanguage, "Counter");
  const std::string old = std::string("1850\0Connections / sec\0", 23);
  list.replace(list.find(old), old.size(), std::string("1850\0Accepted\0", 14));
  setBytes(kLanguage, "Counter", platform::REG_MULTI_SZ, list);
  perf::nameCounters(&s, perf::registeredCounterTitles());
  EXPECT_EQ(find(s, 101)->name, "Accepted");
  EXPECT_EQ(s.objects[2].name, "BKL - SSL Statistics");

  // A list without our entries, or one that is not a list, leaves the built-in names.
  for (const auto& [type, data] :
       {std::pair<uint32_t, std::string>{platform::REG_MULTI_SZ, std::string("1\0"
                                                                             "99",
                                                                             4)},
        {platform::REG_BINARY, std::string("\xff\xfe\x01", 3)}}) {
    setBytes(kLanguage, "Counter", type, data);
    CounterSnapshot fresh;
    ASSERT_EQ(read(&fresh, &problem), ReadStatus::kOk);
    perf::nameCounters(&fresh, perf::registeredCounterTitles());
    EXPECT_EQ(find(fresh, 101)->name, "Connections / sec");
    EXPECT_EQ(fresh.objects[1].name, "BKL - Connection Throughput");
  }

  publisher.close();
  EXPECT_EQ(read(&s, &problem), ReadStatus::kNotPublished);
}

TEST_F(Reader, RefusesWhatIsNotACounterBlock) {
  CounterSnapshot s;
  std::string problem;
  {
    platform::SharedMemory small = heldObject(100, 0);
    EXPECT_EQ(read(&s, &problem), ReadStatus::kRefused);
    EXPECT_EQ(problem, "/" + prefix_ + "BKL is not a counter block: it has 100 bytes, not 828");
  }
  platform::SharedMemory::remove("/" + prefix_ + "BKL");
  {
    platform::SharedMemory large = heldObject(1 << 20, 0);
    EXPECT_EQ(read(&s, &problem), ReadStatus::kRefused);
    EXPECT_NE(problem.find("it has 1048576 bytes, not 828"), std::string::npos) << problem;
  }
  platform::SharedMemory::remove("/" + prefix_ + "BKL");
  {
    platform::SharedMemory foreign = heldObject(828, 0x7F);
    EXPECT_EQ(read(&s, &problem), ReadStatus::kRefused);
    EXPECT_EQ(problem, "/" + prefix_ +
                           "BKL is not a counter block of this program: the definition length at "
                           "byte 4 is 2139062143, not 184");
  }
  // The same bytes that nobody holds any more are a block left behind, not a published one.
  EXPECT_EQ(read(&s, &problem), ReadStatus::kNotPublished);
}

TEST_F(Reader, ABlockCutShortWhileItIsReadIsRefusedNeverAFault) {
  perf::PerfDataManager publisher("BKL", prefix_);
  ASSERT_EQ(publisher.open(), 0);
  publisher.setThroughput(5, 6);
  // Another process of this user flips the block between no bytes and all of them.
  const pid_t flipper = fork();
  if (flipper == 0) {
    const int fd = ::open(shmFile().c_str(), O_RDWR);
    const auto until = std::chrono::steady_clock::now() + 20s;
    for (long i = 0; fd >= 0 && i < 100000000L && std::chrono::steady_clock::now() < until; ++i) {
      if (ftruncate(fd, i % 2 == 0 ? 0 : 828) != 0) break;
    }
    _exit(0);
  }
  // 400 reads in a child of their own, so that a fault ends the child and not the test.
  const pid_t reads = fork();
  if (reads == 0) {
    CounterReader reader(prefix_);
    int answered = 0;
    for (int i = 0; i < 400; ++i) {
      CounterSnapshot s;
      std::string problem;
      const ReadStatus r = reader.read(&s, &problem);
      answered += r == ReadStatus::kOk || r == ReadStatus::kRefused;
    }
    _exit(answered == 400 ? 0 : 1);
  }
  EXPECT_EQ(waitChild(reads, 60s), 0) << "a read of the block faulted or did not end";
  kill(flipper, SIGKILL);
  waitChild(flipper);
  publisher.close();
}

TEST(CounterReport, RatesBetweenSamplesAndThePrometheusText) {
  EXPECT_DOUBLE_EQ(perf::counterRate(10, 30, 4, 2.0), 10.0);
  EXPECT_DOUBLE_EQ(perf::counterRate(0xFFFFFFF0u, 0x10, 4, 1.0), 32.0);  // wrapped
  EXPECT_DOUBLE_EQ(perf::counterRate(5, 5, 8, 0.0), 0.0);

  CounterSnapshot before;
  before.objects.push_back({100,
                            0,
                            "Pool",
                            {{101, perf::PERF_COUNTER_COUNTER, 4, 0, "Rate", 10},
                             {103, perf::PERF_COUNTER_RAWCOUNT, 4, 0, "Idle", 2}}});
  before.objects.push_back(
      {300, 0, "Bytes", {{301, perf::PERF_COUNTER_LARGE_RAWCOUNT, 8, 0, "In", 5000000000ULL}}});
  before.taken = std::chrono::steady_clock::time_point(std::chrono::seconds(100));
  CounterSnapshot after = before;
  after.objects[0].counters[0].value = 40;
  after.taken += std::chrono::seconds(4);

  EXPECT_EQ(perf::formatText(before, nullptr),
            "Pool\n"
            "  Rate                                          -  (total 10)\n"
            "  Idle                                          2\n"
            "Bytes\n"
            "  In                                   5000000000\n");
  EXPECT_NE(perf::formatText(after, &before)
                .find("  Rate                                       7.50  (total 40)\n"),
            std::string::npos)
      << perf::formatText(after, &before);

  EXPECT_EQ(perf::formatPrometheus(after),
            "# HELP brisklane_connections_total Connections accepted by the relay.\n"
            "# TYPE brisklane_connections_total counter\n"
            "brisklane_connections_total 40\n"
            "# HELP brisklane_idle_threads Worker pool threads waiting for a connection.\n"
            "# TYPE brisklane_idle_threads gauge\n"
            "brisklane_idle_threads 2\n"
            "# HELP brisklane_incoming_bytes_total Bytes relayed from clients towards their "
            "destinations.\n"
            "# TYPE brisklane_incoming_bytes_total counter\n"
            "brisklane_incoming_bytes_total 5000000000\n");
}

}  // namespace
}  // namespace perf_test
