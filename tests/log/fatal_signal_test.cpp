#include "log/fatal_signal.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "log/log.h"
#include "log/sinks.h"
#include "text_match.h"

namespace {

class ExceptionFilter : public ::testing::Test {
 protected:
  void SetUp() override {
    logging::log_close();
    logging::logSwitches().nolog = 0;
    ASSERT_TRUE(logging::log_open(&sink_, nullptr));
  }
  void TearDown() override { logging::log_close(); }
  logging::CollectingSink sink_;
};

TEST_F(ExceptionFilter, AccessViolationGivesTwoLines) {
  ExceptionReport write;
  write.code = 0xC0000005;
  write.address = 0x401a2b;
  write.parameters[0] = 1;
  write.parameters[1] = 0x7fff12345678;
  EXPECT_EQ(exception_filter(write, 1), 1);
  ExceptionReport read = write;
  read.parameters[0] = 0;
  read.parameters[1] = 0x10;
  EXPECT_EQ(exception_filter(read, 0), 0);
  const auto entries = sink_.entries();
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[0].text, "Exception filter <code = c0000005, address = 401a2b>");
  EXPECT_EQ(entries[1].text, "Exception filter (p)<Attempt to write data at address 7fff12345678>");
  EXPECT_EQ(entries[3].text, "Exception filter (p)<Attempt to read data at address 10>");
  EXPECT_EQ(entries[0].cls, 4u);
  EXPECT_EQ(entries[0].code, 0x6001u);
}

TEST_F(ExceptionFilter, OtherExceptionsGiveOneLine) {
  ExceptionReport divide;
  divide.code = 0xC0000094;
  divide.address = 0x1234;
  divide.parameters[0] = 1;
  exception_filter(divide, 1);
  EXPECT_EQ(sink_.lines(),
            std::vector<std::string>{"Exception filter <code = c0000094, address = 1234>"});
}

void crashWritingToBadAddress(const std::string& path) {
  logging::log_close();
  static logging::FileSink sink(path);
  logging::log_open(&sink, nullptr);
  installFatalSignalReport();
  volatile uintptr_t bad = 16;
  *reinterpret_cast<volatile int*>(bad) = 1;
}

TEST(FatalSignalReport, SegfaultIsReportedAndStillKills) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string path = ::testing::TempDir() + "bkl_fatal_signal_test.log";
  std::remove(path.c_str());
  EXPECT_EXIT(crashWritingToBadAddress(path), ::testing::KilledBySignal(SIGSEGV), "");
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  EXPECT_TRUE(testing_text::matches(ss.str(),
                                    "Exception filter <code = c0000005, address = *>\n"
                                    "Exception filter (p)<Attempt to write data at address 10>\n"))
      << ss.str();
  std::remove(path.c_str());
}

}  // namespace
