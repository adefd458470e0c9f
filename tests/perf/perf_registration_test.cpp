#include "perf/perf_registration.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "perf/perf_data.h"
#include "perf_fixture.h"
#include "platform/process_info.h"

namespace perf_test {
namespace {

using perf::kPerflibKey;
using perf::parseTitles;
using platform::REG_MULTI_SZ;

const std::string kLanguage = std::string(kPerflibKey) + "\\009";
const std::string kPerformance = "SYSTEM\\CurrentControlSet\\Services\\BKL\\Performance";
// A literal with its embedded zeros.
template <size_t N>
std::string lit(const char (&text)[N]) {
  return std::string(text, N - 1);
}

// The start of a system's lists, as the performance library keeps them.
const std::string kBaseCounters =
    lit("1\0"
        "1847\0"
        "2\0"
        "System\0"
        "4\0"
        "Memory\0\0");
const std::string kBaseHelp =
    lit("3\0"
        "The System object\0"
        "5\0"
        "The Memory object\0\0");
// The lists without their final terminator, for appending.
const std::string kCounterEntries = kBaseCounters.substr(0, kBaseCounters.size() - 1);
const std::string kHelpEntries = kBaseHelp.substr(0, kBaseHelp.size() - 1);

class Registration : public PerfTest {
 protected:
  void SetUp() override {
    PerfTest::SetUp();
    setDword(kPerflibKey, "Last Counter", 1846);
    setDword(kPerflibKey, "Last Help", 1847);
    setBytes(kLanguage, "Counter", REG_MULTI_SZ, kBaseCounters);
    setBytes(kLanguage, "Help", REG_MULTI_SZ, kBaseHelp);
  }
  perf::PerfDataManager manager_{"BKL", ""};  // registers only
};

TEST_F(Registration, TakesTheTitleIndexesAfterTheLastOnesRegistered) {
  ASSERT_EQ(perf::perf_install(), 0);

  EXPECT_EQ(dword(kPerflibKey, "Last Counter"), 1878u);
  EXPECT_EQ(dword(kPerflibKey, "Last Help"), 1879u);
  EXPECT_EQ(dword(kPerformance, "First Counter"), 1848u);
  EXPECT_EQ(dword(kPerformance, "First Help"), 1849u);
  EXPECT_EQ(dword(kPerformance, "Last Counter"), 1878u);
  EXPECT_EQ(dword(kPerformance, "Last Help"), 1879u);
  EXPECT_EQ(bytes(kPerformance, "Library"),
            platform::programDirectory() + "/brisklane-perf" + std::string(1, '\0'));
  EXPECT_EQ(bytes(kPerformance, "Open"), lit("PrfData_Open\0"));
  EXPECT_EQ(bytes(kPerformance, "Close"), lit("PrfData_Close\0"));
  EXPECT_EQ(bytes(kPerformance, "Collect"), lit("PrfData_Collect\0"));

  // The system's entries stay first; ours follow, two apart, and the list still ends.
  const std::string counters = bytes(kLanguage, "Counter");
  EXPECT_EQ(counters.substr(0, kCounterEntries.size()), kCounterEntries);
  EXPECT_EQ(counters.substr(counters.size() - 2), lit("\0\0"));
  const auto names = parseTitles(counters);
  EXPECT_EQ(names.size(), 3u + 16u);
  EXPECT_EQ(names.at(1848), "BKL - Thread Pool Statistics");
  EXPECT_EQ(names.at(1850), "Connections / sec");
  EXPECT_EQ(names.at(1856), "BKL - Connection Throughput");
  EXPECT_EQ(names.at(1878), "Session Cache Timeouts");
  const auto helps = parseTitles(bytes(kLanguage, "Help"));
  EXPECT_EQ(helps.at(1849),
            "The BKL object type includes those counters that apply to threads and connections.");
  EXPECT_EQ(helps.at(1865), "The number of SSL client connections  ");
  EXPECT_EQ(helps.at(1869), "The number of SSL server connections  ");
  EXPECT_EQ(helps.at(1879), "The number of session cache timeouts");
  EXPECT_EQ(helps.count(1881), 0u);
}

TEST_F(Registration, InstallThenUninstallLeavesEverythingAsItWas) {
  ASSERT_EQ(manager_.install("/opt/bkl/brisklane-perf"), 0);
  ASSERT_EQ(manager_.uninstall(), 0);
  EXPECT_EQ(bytes(kLanguage, "Counter"), kBaseCounters);
  EXPECT_EQ(bytes(kLanguage, "Help"), kBaseHelp);
  EXPECT_EQ(dword(kPerflibKey, "Last Counter"), 1846u);
  EXPECT_EQ(dword(kPerflibKey, "Last Help"), 1847u);
  platform::RegKey gone;
  EXPECT_NE(platform::regOpenKey(platform::Hive::kLocalMachine, kPerformance, &gone), 0);

  // A second uninstall finds no record of ours and changes nothing.
  EXPECT_NE(manager_.uninstall(), 0);
  EXPECT_EQ(bytes(kLanguage, "Counter"), kBaseCounters);
  EXPECT_EQ(dword(kPerflibKey, "Last Counter"), 1846u);
}

TEST_F(Registration, UninstallAfterALaterRegistrationRemovesOnlyOurs) {
  ASSERT_EQ(manager_.install("/opt/bkl/brisklane-perf"), 0);
  // Another product registers after us.
  std::string counters = bytes(kLanguage, "Counter");
  counters.insert(counters.size() - 1, lit("1880\0Other\0"));
  setBytes(kLanguage, "Counter", REG_MULTI_SZ, counters);
  std::string help = bytes(kLanguage, "Help");
  help.insert(help.size() - 1, lit("1881\0Other help\0"));
  setBytes(kLanguage, "Help", REG_MULTI_SZ, help);
  setDword(kPerflibKey, "Last Counter", 1880);
  setDword(kPerflibKey, "Last Help", 1881);

  ASSERT_EQ(manager_.uninstall(), 0);
  EXPECT_EQ(bytes(kLanguage, "Counter"), kCounterEntries + lit("1880\0Other\0\0"));
  EXPECT_EQ(bytes(kLanguage, "Help"), kHelpEntries + lit("1881\0Other help\0\0"));
  EXPECT_EQ(dword(kPerflibKey, "Last Counter"), 1880u);
  EXPECT_EQ(dword(kPerflibKey, "Last Help"), 1881u);
}

TEST_F(Registration, MalformedListsAreReadOnlyToTheirEnd) {
  // A Counter list cut off without its terminators, and a Help value that is no list at all.
  setBytes(kLanguage, "Counter", REG_MULTI_SZ,
           lit("1\0"
               "1847"));
  setBytes(kLanguage, "Help", platform::REG_SZ, lit("not a list\0"));
  manager_.install("/opt/bkl/brisklane-perf");
  const std::string counters = bytes(kLanguage, "Counter");
  EXPECT_EQ(counters.substr(0, 7), lit("1\0"
                                       "1847\0"));
  EXPECT_EQ(parseTitles(counters).at(1850), "Connections / sec");
  EXPECT_EQ(bytes(kLanguage, "Help"), lit("not a list\0"));
  EXPECT_TRUE(
      logged("The value Help of the performance library's titles is not a list of texts; "
             "it is left as it is"));
  EXPECT_EQ(dword(kPerflibKey, "Last Counter"), 1878u);

  manager_.uninstall();
  EXPECT_EQ(bytes(kLanguage, "Counter"), lit("1\0"
                                             "1847\0\0"));
  EXPECT_TRUE(
      logged("The titles from 1849 on were not found in the list Help; it is left as it is"));
  EXPECT_EQ(dword(kPerflibKey, "Last Counter"), 1846u);

  // Index texts that are not numbers, and a trailing index without a title, are skipped.
  const auto titles =
      parseTitles(lit("x\0A\0"
                      "12\0B\0"
                      "99999999999\0C\0"
                      "14"));
  ASSERT_EQ(titles.size(), 1u);
  EXPECT_EQ(titles.at(12), "B");
}

TEST_F(Registration, AMachineStoreThatCannotBeWrittenIsLeftAlone) {
  // A store that cannot be parsed is never written; the registration simply does not happen.
  const std::string file = dir_ + "/machine.reg";
  const std::string broken = "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\X\n";
  std::ofstream(file, std::ios::binary) << broken;
  EXPECT_NE(manager_.install("/opt/bkl/brisklane-perf"), 0);
  EXPECT_NE(manager_.uninstall(), 0);
  std::ifstream in(file, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), broken);
  EXPECT_TRUE(logged("Couldn't register the performance counters in the machine store " + file));

  // Nor when the store's place is taken by a folder.
  std::filesystem::remove(file);
  std::filesystem::create_directory(file);
  EXPECT_NE(manager_.install("/opt/bkl/brisklane-perf"), 0);
  EXPECT_NE(manager_.uninstall(), 0);
}

}  // namespace
}  // namespace perf_test
