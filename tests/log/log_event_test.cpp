#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "log/log.h"
#include "log/sinks.h"

namespace {

using logging::CollectingSink;

void resetSwitches() {
  logging::LogSwitches& s = logging::logSwitches();
  s.nolog = 0;
  s.err = 1;
  s.warn = 1;
  s.info = 1;
  s.detailed = 0;
  s.debug = 0;
  s.logDebug = 0;
  s.max = 0;
}

class LogEvent : public ::testing::Test {
 protected:
  void SetUp() override {
    logging::log_close();
    resetSwitches();
    ASSERT_TRUE(logging::log_open(&sink_, nullptr));
  }
  void TearDown() override {
    logging::log_close();
    resetSwitches();
  }
  CollectingSink sink_;
};

TEST(LogLifecycle, LinesOutsideOpenAndCloseAreLost) {
  logging::log_close();
  resetSwitches();
  CollectingSink sink;
  EXPECT_EQ(log_event(LOG_INFO, 0x6001, "driver", 1, "before"), 0);
  ASSERT_TRUE(logging::log_open(&sink, nullptr));
  EXPECT_TRUE(log_streams_live());
  EXPECT_FALSE(logging::log_open(&sink, nullptr)) << "a second open must not replace the first";
  EXPECT_EQ(log_event(LOG_INFO, 0x6001, "driver", 2, "during"), 1);
  logging::log_close();
  EXPECT_FALSE(log_streams_live());
  EXPECT_FALSE(log_stream_write(bio_log_err, "after close\n"));
  EXPECT_EQ(log_event(LOG_INFO, 0x6001, "driver", 3, "after"), 0);
  EXPECT_EQ(sink.lines(), std::vector<std::string>{"during"});
}

TEST_F(LogEvent, AddedSinksGetEveryLineButNotOpenSslOutput) {
  CollectingSink file;
  logging::addLogSink(&file);
  log_event(LOG_WARNING, 0x6048, "proxy", 7, "to both %d", 1);
  log_stream_write(bio_log_err, "library output\n");
  logging::removeLogSink(&file);
  log_event(LOG_INFO, 0x6001, "proxy", 8, "bound sink only");
  EXPECT_EQ(file.lines(), std::vector<std::string>{"to both 1"});
  ASSERT_EQ(file.entries().size(), 1u);
  EXPECT_EQ(file.entries()[0].level, LOG_WARNING);
  EXPECT_EQ(file.entries()[0].cls, 2u);
  EXPECT_EQ(sink_.lines(),
            (std::vector<std::string>{"to both 1", "library output", "bound sink only"}));
  // A sink still added at a close is let go: the next open starts with the bound sink alone.
  logging::addLogSink(&file);
  logging::log_close();
  ASSERT_TRUE(logging::log_open(&sink_, nullptr));
  log_event(LOG_INFO, 0x6001, "proxy", 9, "after reopening");
  EXPECT_EQ(file.lines().size(), 1u);
}

TEST_F(LogEvent, NologSilencesEverythingAndLeavesErrorQueue) {
  logging::LogSwitches& s = logging::logSwitches();
  s.nolog = 1;
  s.detailed = 1;
  s.debug = 1;
  s.logDebug = 1;
  ERR_clear_error();
  ERR_raise_data(ERR_LIB_SSL, SSL_R_NO_CERTIFICATE_ASSIGNED, "%s", "kept");
  EXPECT_EQ(log_event(LOG_SERIOUS, 0x6053, "proxy", 10, "serious"), 0);
  EXPECT_EQ(log_event(LOG_INFO, 0x6057, "proxy", 11, "info"), 0);
  EXPECT_EQ(log_openssl_errors(LOG_ERROR, bio_log_err), 0);
  EXPECT_NE(ERR_peek_error(), 0UL);
  EXPECT_TRUE(sink_.lines().empty());
  ERR_clear_error();
}

TEST_F(LogEvent, LogErrZeroSuppressesOnlySeriousLines) {
  logging::logSwitches().err = 0;
  logging::logSwitches().warn = 0;
  logging::logSwitches().info = 0;
  EXPECT_EQ(log_level_enabled(LOG_SERIOUS), 0);
  EXPECT_EQ(log_event(LOG_SERIOUS, 1, "proxy", 1, "serious"), 0);
  EXPECT_NE(log_event(LOG_ERROR, 1, "proxy", 1, "error"), 0);
  EXPECT_NE(log_event(LOG_WARNING, 1, "proxy", 1, "warning"), 0);
  EXPECT_NE(log_event(LOG_INFO, 1, "proxy", 1, "info"), 0);
  EXPECT_EQ(sink_.lines(), (std::vector<std::string>{"error", "warning", "info"}));
}

TEST_F(LogEvent, PlainLineIsExactlyTheMessageAndCarriesClassCodeAndMax) {
  logging::logSwitches().max = 300;
  log_event(LOG_WARNING, 0x6048, "proxy", 77, "Couldn't connect to %s.%d: %s", "10.1.2.3", 443,
            "Connection refused.");
  const auto entries = sink_.entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].text, "Couldn't connect to 10.1.2.3.443: Connection refused.");
  EXPECT_EQ(entries[0].cls, 2u);
  EXPECT_EQ(entries[0].code, 0x6048u);
  EXPECT_EQ(entries[0].maxLines, 300u);
}

TEST_F(LogEvent, DetailedPrefixShowsClassOfEachLevel) {
  logging::logSwitches().detailed = 1;
  for (uint32_t level : {1u, 2u, 4u, 8u, 16u, 3u}) log_event(level, 0x6001, "proxy", 5, "x");
  EXPECT_EQ(sink_.lines(), (std::vector<std::string>{"1-6001> x", "1-6001> x", "2-6001> x",
                                                     "4-6001> x", "1-6001> x", "1-6001> x"}));
}

TEST_F(LogEvent, ModuleAndClassPrefixesTogether) {
  logging::logSwitches().detailed = 1;
  logging::logSwitches().debug = 1;
  log_event(LOG_ERROR, 0x6044, "proxy", 3288, "verify error:%s", "unable to get issuer\n");
  log_event(LOG_INFO, 0x6001, "driver", -4, "only debug");
  logging::logSwitches().detailed = 0;
  log_event(LOG_INFO, 0x6001, "driver", 12, "no class");
  const auto lines = sink_.lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "<proxy><3288>1-6044> verify error:unable to get issuer\n");
  EXPECT_EQ(lines[1], "<driver><-4>4-6001> only debug");
  EXPECT_EQ(lines[2], "<driver><12>no class");
}

TEST_F(LogEvent, LongLinesAreCutAt511Characters) {
  const std::string big(2000, 'a');
  log_event(LOG_INFO, 1, "proxy", 1, "%s", big.c_str());
  logging::logSwitches().detailed = 1;
  logging::logSwitches().debug = 1;
  log_event(LOG_INFO, 1, "proxy", 1, "%s", big.c_str());
  const std::string hugeModule(700, 'm');
  log_event(LOG_INFO, 1, hugeModule.c_str(), 1, "%s", "lost behind the prefix");
  const auto lines = sink_.lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], std::string(511, 'a'));
  EXPECT_EQ(lines[1].size(), 511u);
  EXPECT_EQ(lines[1].substr(0, 17), "<proxy><1>4-1> aa");
  EXPECT_EQ(lines[2], "<" + std::string(510, 'm'));
}

TEST_F(LogEvent, NullFormatIsDropped) {
  EXPECT_EQ(log_event(LOG_INFO, 1, "proxy", 1, nullptr), 0);
  EXPECT_TRUE(sink_.lines().empty());
}

TEST_F(LogEvent, ManyThreadsNeverMixOrLoseLines) {
  constexpr int kThreads = 8;
  constexpr int kLines = 2000;
  const std::string pad(200, 'p');
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &pad] {
      for (int i = 0; i < kLines; ++i) {
        log_event(LOG_INFO, 0x6057, "proxy", i, "thread %d line %d %s end", t, i, pad.c_str());
      }
    });
  }
  for (auto& th : threads) th.join();
  const auto lines = sink_.lines();
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
  std::set<std::string> unique;
  char expected[512];
  for (const std::string& line : lines) {
    int t = -1;
    int i = -1;
    ASSERT_EQ(std::sscanf(line.c_str(), "thread %d line %d", &t, &i), 2) << line;
    std::snprintf(expected, sizeof expected, "thread %d line %d %s end", t, i, pad.c_str());
    ASSERT_EQ(line, expected);
    unique.insert(line);
  }
  EXPECT_EQ(unique.size(), lines.size());
}

TEST(LogLifecycle, CloseWhileOtherThreadsLogIsSafe) {
  logging::log_close();
  resetSwitches();
  CollectingSink sink;
  ASSERT_TRUE(logging::log_open(&sink, nullptr));
  std::atomic<bool> stop{false};
  std::atomic<int> started{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      started.fetch_add(1);
      for (int i = 0; i < 200000 && !stop.load(); ++i) {
        log_event(LOG_INFO, 1, "proxy", i, "racing %d", i);
      }
    });
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (started.load() < 4 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  logging::log_close();
  const size_t atClose = sink.lines().size();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(sink.lines().size(), atClose) << "no line may arrive after log_close returned";
  stop = true;
  for (auto& th : threads) th.join();
  EXPECT_EQ(sink.lines().size(), atClose);
}

logging::LogLine textLine(std::string_view text) {
  logging::LogLine line;
  line.text = text;
  return line;
}

TEST(Sinks, FileSinkAppendsWholeLines) {
  const std::string path = ::testing::TempDir() + "bkl_file_sink_test.log";
  std::remove(path.c_str());
  {
    logging::FileSink sink(path);
    ASSERT_TRUE(sink.isOpen());
    EXPECT_EQ(sink.append(textLine("first")), 1);
    EXPECT_EQ(sink.append(textLine("second\n")), 2);
  }
  {
    logging::FileSink again(path);
    again.append(textLine("third"));
  }
  std::FILE* f = std::fopen(path.c_str(), "r");
  ASSERT_NE(f, nullptr);
  char buf[256] = {};
  const size_t n = std::fread(buf, 1, sizeof buf - 1, f);
  std::fclose(f);
  EXPECT_EQ(std::string(buf, n), "first\nsecond\nthird\n");
  std::remove(path.c_str());
  EXPECT_FALSE(logging::FileSink("/nonexistent-dir/x.log").isOpen());
}

}  // namespace
