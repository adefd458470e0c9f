#include "platform/registry.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/syscalls.h"
#include "support/support.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Writes by rename, as another process of ours would, so the file's identity changes.
void replaceFile(const std::string& path, const std::string& text) {
  std::ofstream(path + ".new", std::ios::binary) << text;
  fs::rename(path + ".new", path);
}

// Beside this source file, so that the test finds it from any working folder.
std::string sampleExport() {
  const std::string here = __FILE__;
  return here.substr(0, here.rfind('/')) + "/data/windows_export_utf16.reg";
}

// Waits (at most 30 s) for the child and returns its exit status; kills it on time-out.
int waitChild(pid_t pid) {
  int status = 0;
  for (int i = 0; i < 3000; ++i) {
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -1;
}

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = folder_.path();
    setHiveDirectory(dir_ + "/cfg");
    setRegistryReporter([this](const std::string& m) { reports_.push_back(m); });
  }
  void TearDown() override {
    setHiveDirectory("");
    setRegistryReporter(nullptr);
  }
  std::string userFile() const { return dir_ + "/cfg/user.reg"; }

  test_support::TempDir folder_;
  std::string dir_;
  std::vector<std::string> reports_;
};

std::string queryText(const RegKey& key, const char* name) {
  char buf[300] = {};
  uint32_t size = sizeof buf;
  uint32_t type = 0;
  if (regQueryValue(key, name, &type, buf, &size) != kErrorSuccess || type != REG_SZ) return "?";
  return std::string(buf, size);
}

uint32_t queryDword(const RegKey& key, const char* name) {
  uint32_t v = 0xFFFFFFFF;
  uint32_t size = sizeof v;
  uint32_t type = 0;
  if (regQueryValue(key, name, &type, &v, &size) != kErrorSuccess || type != REG_DWORD) return ~0u;
  return v;
}

TEST_F(RegistryTest, SetsQueriesEnumeratesAndDeletes) {
  RegKey key;
  EXPECT_EQ(regOpenKey(Hive::kCurrentUser, "Software\\T", &key), kErrorFileNotFound);
  EXPECT_FALSE(key.isOpen());
  ASSERT_EQ(regCreateKey(Hive::kCurrentUser, "Software\\T", &key), kErrorSuccess);
  ASSERT_EQ(regSetValue(key, "Text", REG_SZ, "abc", 4), kErrorSuccess);
  const uint32_t one = 1;
  ASSERT_EQ(regSetValue(key, "num", REG_DWORD, &one, 4), kErrorSuccess);

  uint32_t type = 0;
  uint32_t size = 0;
  EXPECT_EQ(regQueryValue(key, "TEXT", &type, nullptr, &size), kErrorSuccess);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, 4u);
  char small[2];
  size = sizeof small;
  EXPECT_EQ(regQueryValue(key, "text", nullptr, small, &size), kErrorMoreData);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(queryText(key, "text"), std::string("abc\0", 4));
  EXPECT_EQ(regQueryValue(key, "missing", &type, nullptr, &size), kErrorFileNotFound);

  RegKey rule;
  ASSERT_EQ(regOpenSubKey(key, "Rule2\\Deep", true, &rule), kErrorSuccess);
  ASSERT_EQ(regOpenSubKey(key, "Rule1", true, &rule), kErrorSuccess);
  std::string name;
  std::vector<uint8_t> data;
  EXPECT_EQ(regEnumKey(key, 0, &name), kErrorSuccess);
  EXPECT_EQ(name, "Rule2");
  EXPECT_EQ(regEnumKey(key, 1, &name), kErrorSuccess);
  EXPECT_EQ(name, "Rule1");
  EXPECT_EQ(regEnumKey(key, 2, &name), kErrorNoMoreItems);
  EXPECT_EQ(regEnumValue(key, 1, &name, &type, &data), kErrorSuccess);
  EXPECT_EQ(name, "num");
  EXPECT_EQ(regEnumValue(key, 2, &name, &type, &data), kErrorNoMoreItems);

  EXPECT_EQ(regDeleteValue(key, "NUM"), kErrorSuccess);
  EXPECT_EQ(regDeleteValue(key, "num"), kErrorFileNotFound);
  EXPECT_EQ(regDeleteKey(key, "rule2"), kErrorSuccess);
  EXPECT_EQ(regOpenKey(Hive::kCurrentUser, "Software\\T\\Rule2\\Deep", &rule), kErrorFileNotFound);
  EXPECT_EQ(regDeleteKey(key, "rule2"), kErrorFileNotFound);
  EXPECT_EQ(regCreateKey(Hive::kCurrentUser, "A\\\\B", &rule), kErrorInvalidParameter);
  EXPECT_EQ(regSetValue(key, "bad\nname", REG_SZ, "x", 2), kErrorInvalidParameter);
  EXPECT_TRUE(reports_.empty());
}

TEST_F(RegistryTest, HivesAreSeparateFilesCreatedPrivately) {
  RegKey user;
  RegKey machine;
  ASSERT_EQ(regCreateKey(Hive::kCurrentUser, "K", &user), kErrorSuccess);
  ASSERT_EQ(regCreateKey(Hive::kLocalMachine, "M", &machine), kErrorSuccess);
  EXPECT_EQ(regOpenKey(Hive::kLocalMachine, "K", &user), kErrorFileNotFound);
  EXPECT_EQ(hiveFilePath(Hive::kLocalMachine), dir_ + "/cfg/machine.reg");
  struct stat st;
  for (const std::string& f : {userFile(), userFile() + ".lock", dir_ + "/cfg/machine.reg"}) {
    ASSERT_EQ(stat(f.c_str(), &st), 0) << f;
    EXPECT_EQ(st.st_mode & 0777, 0600u) << f;
  }
  ASSERT_EQ(stat((dir_ + "/cfg").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_NE(readFile(userFile()).find("[HKEY_CURRENT_USER\\K]"), std::string::npos);
}

TEST_F(RegistryTest, DamagedFileStaysReadableReadOnlyAndUntouched) {
  fs::create_directories(dir_ + "/cfg");
  const std::string damaged =
      "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\K]\n\"a\"=\"1\"\n"
      "\"b\"=dword:xyz\n\"c\"=\"3\"\n";
  replaceFile(userFile(), damaged);
  RegKey key;
  ASSERT_EQ(regOpenKey(Hive::kCurrentUser, "K", &key), kErrorSuccess);
  EXPECT_EQ(queryText(key, "a"), std::string("1\0", 2));
  EXPECT_EQ(queryText(key, "c"), "?");
  EXPECT_EQ(regSetValue(key, "d", REG_SZ, "4", 2), kErrorWriteProtect);
  EXPECT_EQ(regDeleteValue(key, "a"), kErrorWriteProtect);
  EXPECT_EQ(regDeleteKey(key, "x"), kErrorWriteProtect);
  EXPECT_EQ(regCreateKey(Hive::kCurrentUser, "New", &key), kErrorWriteProtect);
  std::string error;
  ASSERT_EQ(regExportKey(Hive::kCurrentUser, "", dir_ + "/import.reg", &error), kErrorSuccess);
  EXPECT_EQ(regImportFile(dir_ + "/import.reg", &error), kErrorWriteProtect);
  EXPECT_EQ(readFile(userFile()), damaged);
  ASSERT_EQ(reports_.size(), 1u);
  EXPECT_EQ(reports_[0], userFile() + ":5: bad dword (1 to 8 hex digits)");

  replaceFile(userFile(), "REGEDIT4\n[HKEY_CURRENT_USER\\K]\n\"b\"=dword:2\n");
  ASSERT_EQ(regOpenKey(Hive::kCurrentUser, "K", &key), kErrorSuccess);
  EXPECT_EQ(regSetValue(key, "d", REG_SZ, "4", 2), kErrorSuccess);
  EXPECT_EQ(queryDword(key, "b"), 2u);
  EXPECT_EQ(reports_.size(), 1u);
}

TEST_F(RegistryTest, ForeignRootInHiveAndMissingOrUnreadableFiles) {
  fs::create_directories(dir_ + "/cfg");
  RegKey key;
  EXPECT_EQ(regOpenKey(Hive::kCurrentUser, "", &key), kErrorSuccess);  // missing file: empty
  EXPECT_TRUE(reports_.empty());
  replaceFile(userFile(), "REGEDIT4\n[HKCU\\A]\n[HKEY_LOCAL_MACHINE\\B]\n");
  EXPECT_EQ(regOpenKey(Hive::kCurrentUser, "A", &key), kErrorSuccess);
  EXPECT_EQ(regCreateKey(Hive::kCurrentUser, "B", &key), kErrorWriteProtect);
  ASSERT_EQ(reports_.size(), 1u);
  EXPECT_EQ(reports_[0],
            userFile() + ":3: a key of HKEY_LOCAL_MACHINE in the file of HKEY_CURRENT_USER");
  fs::remove(userFile());
  fs::create_directory(userFile());  // unreadable as a file, even for root
  EXPECT_EQ(regCreateKey(Hive::kCurrentUser, "B", &key), kErrorAccessDenied);
  EXPECT_EQ(regOpenKey(Hive::kCurrentUser, "A", &key), kErrorFileNotFound);
  ASSERT_EQ(reports_.size(), 2u);
  EXPECT_EQ(reports_.back(), userFile() + ": Is a directory");
}

TEST_F(RegistryTest, SeesChangesOfAnotherProcess) {
  RegKey key;
  ASSERT_EQ(regCreateKey(Hive::kCurrentUser, "K", &key), kErrorSuccess);
  EXPECT_EQ(queryDword(key, "v"), ~0u);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const uint32_t v = 7;
    _exit(regSetValue(key, "v", REG_DWORD, &v, 4) == kErrorSuccess ? 0 : 1);
  }
  ASSERT_EQ(waitChild(pid), 0);
  EXPECT_EQ(queryDword(key, "v"), 7u);
}

TEST_F(RegistryTest, ConcurrentWritersLoseNothing) {
  constexpr int kWriters = 3;
  constexpr uint32_t kValues = 30;
  pid_t pids[kWriters];
  for (int w = 0; w < kWriters; ++w) {
    pids[w] = fork();
    ASSERT_GE(pids[w], 0);
    if (pids[w] == 0) {
      RegKey key;
      int failures = regCreateKey(Hive::kCurrentUser, "K", &key) != kErrorSuccess;
      for (uint32_t i = 0; i < kValues; ++i) {
        const std::string name = "w" + std::to_string(w) + "." + std::to_string(i);
        failures += regSetValue(key, name, REG_DWORD, &i, 4) != kErrorSuccess;
      }
      _exit(failures == 0 ? 0 : 1);
    }
  }
  for (pid_t pid : pids) EXPECT_EQ(waitChild(pid), 0);
  RegKey key;
  ASSERT_EQ(regOpenKey(Hive::kCurrentUser, "K", &key), kErrorSuccess);
  for (int w = 0; w < kWriters; ++w) {
    for (uint32_t i = 0; i < kValues; ++i) {
      EXPECT_EQ(queryDword(key, ("w" + std::to_string(w) + "." + std::to_string(i)).c_str()), i);
    }
  }
  EXPECT_TRUE(reports_.empty());
}

TEST_F(RegistryTest, ImportsAWindowsExport) {
  std::string error;
  ASSERT_EQ(regImportFile(sampleExport(), &error), kErrorSuccess) << error;
  RegKey key;
  ASSERT_EQ(regOpenKey(Hive::kCurrentUser, "Software\\Tandry\\Brisklane 4", &key), kErrorSuccess);
  EXPECT_EQ(queryText(key, "ssl.ca_cert"),
            std::string("C:\\Program Files\\Brisklane\\ca \"main\".pem") + '\0');
  EXPECT_EQ(queryDword(key, "log.max"), 1000u);
  uint8_t buf[64];
  uint32_t size = sizeof buf;
  uint32_t type = 0;
  ASSERT_EQ(regQueryValue(key, "bkl.location", &type, buf, &size), kErrorSuccess);
  EXPECT_EQ(type, REG_BINARY);
  EXPECT_EQ(size, 32u);
  EXPECT_EQ(buf[31], 0x20);
  size = sizeof buf;
  ASSERT_EQ(regQueryValue(key, "host.list", &type, buf, &size), kErrorSuccess);
  EXPECT_EQ(type, REG_MULTI_SZ);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), size),
            std::string("alpha\0beta\0caf\xC3\xA9\0\0", 18));
  RegKey rule;
  ASSERT_EQ(regOpenSubKey(key, "rule1", false, &rule), kErrorSuccess);
  EXPECT_EQ(queryText(rule, "rule.name"), std::string("Mail \xC3\xBC"
                                                      "ber TLS") +
                                              '\0');
}

TEST_F(RegistryTest, ImportIsAllOrNothing) {
  RegKey key;
  ASSERT_EQ(regCreateKey(Hive::kCurrentUser, "K", &key), kErrorSuccess);
  ASSERT_EQ(regSetValue(key, "keep", REG_SZ, "1", 2), kErrorSuccess);
  const std::string before = readFile(userFile());
  const std::string file = dir_ + "/in.reg";
  std::string error;
  const std::string head = "Windows Registry Editor Version 5.00\n\n[HKCU\\K]\n\"new\"=\"x\"\n";
  std::ofstream(file) << head << "[HKEY_CLASSES_ROOT\\x]\n";
  EXPECT_EQ(regImportFile(file, &error), kErrorBadDb);
  EXPECT_EQ(error, file +
                       ":5: keys of HKEY_CLASSES_ROOT cannot be imported (only "
                       "HKEY_CURRENT_USER and HKEY_LOCAL_MACHINE)");
  std::ofstream(file) << head << "\"bad\"=hex:zz\n";
  EXPECT_EQ(regImportFile(file, &error), kErrorBadDb);
  EXPECT_EQ(error, file + ":5: bad hex byte \"zz\"");
  EXPECT_EQ(regImportFile(dir_ + "/none.reg", &error), kErrorFileNotFound);
  EXPECT_EQ(readFile(userFile()), before);

  std::ofstream(file) << "REGEDIT4\n[HKCU\\K]\n\"keep\"=-\n[HKLM\\M]\n\"m\"=dword:5\n[-HKCU\\K]\n";
  ASSERT_EQ(regImportFile(file, &error), kErrorSuccess) << error;
  EXPECT_EQ(regOpenKey(Hive::kCurrentUser, "K", &key), kErrorFileNotFound);
  ASSERT_EQ(regOpenKey(Hive::kLocalMachine, "m", &key), kErrorSuccess);
  EXPECT_EQ(queryDword(key, "m"), 5u);
}

TEST_F(RegistryTest, ExportThenImportRestoresTheKey) {
  RegKey key;
  ASSERT_EQ(regCreateKey(Hive::kLocalMachine, "S\\Sub", &key), kErrorSuccess);
  const char raw[] = "no terminator";
  ASSERT_EQ(regSetValue(key, "raw", REG_SZ, raw, 5), kErrorSuccess);
  ASSERT_EQ(regSetValue(key, "multi", REG_MULTI_SZ, "a\0\xC3\xA9\0", 6), kErrorSuccess);
  ASSERT_EQ(regSetValue(key, "", REG_EXPAND_SZ, "%X%", 4), kErrorSuccess);
  const std::string file = dir_ + "/out.reg";
  std::string error;
  ASSERT_EQ(regExportKey(Hive::kLocalMachine, "s", file, &error), kErrorSuccess) << error;
  EXPECT_EQ(regExportKey(Hive::kLocalMachine, "nope", file, &error), kErrorFileNotFound);
  RegKey root;
  ASSERT_EQ(regOpenKey(Hive::kLocalMachine, "", &root), kErrorSuccess);
  ASSERT_EQ(regDeleteKey(root, "S"), kErrorSuccess);
  ASSERT_EQ(regImportFile(file, &error), kErrorSuccess) << error;
  ASSERT_EQ(regOpenKey(Hive::kLocalMachine, "S\\Sub", &key), kErrorSuccess);
  std::string name;
  uint32_t type = 0;
  std::vector<uint8_t> data;
  ASSERT_EQ(regEnumValue(key, 0, &name, &type, &data), kErrorSuccess);
  EXPECT_EQ(std::string(data.begin(), data.end()), "no te");
  ASSERT_EQ(regEnumValue(key, 1, &name, &type, &data), kErrorSuccess);
  EXPECT_EQ(std::string(data.begin(), data.end()), std::string("a\0\xC3\xA9\0", 6));
  ASSERT_EQ(regEnumValue(key, 2, &name, &type, &data), kErrorSuccess);
  EXPECT_EQ(name, "");
  EXPECT_EQ(type, REG_EXPAND_SZ);
}

TEST_F(RegistryTest, ManyValueChangesAreOneWriteAndAKeyIsReadWholeAtOnce) {
  RegKey key;
  ASSERT_EQ(regCreateKey(Hive::kCurrentUser, "Software\\Batch", &key), kErrorSuccess);
  ASSERT_EQ(regSetValue(key, "old", REG_SZ, "gone", 5), kErrorSuccess);
  RegKey sub;
  ASSERT_EQ(regCreateKey(Hive::kCurrentUser, "Software\\Batch\\Sub", &sub), kErrorSuccess);
  test_support::RenameCounter writes(dir_ + "/cfg", "user.reg");
  ASSERT_EQ(writes.count(), 0);

  std::vector<RegValueChange> changes;
  for (uint32_t i = 0; i < 40; ++i) {
    changes.push_back(RegValueChange{
        "value." + std::to_string(i), false, REG_DWORD, {static_cast<uint8_t>(i), 0, 0, 0}});
  }
  changes.push_back(RegValueChange{"OLD", true, REG_NONE, {}});
  changes.push_back(RegValueChange{"never there", true, REG_NONE, {}});
  changes.push_back(RegValueChange{"VALUE.3", false, REG_SZ, {'t', 0}});  // later wins, in place
  ASSERT_EQ(regChangeValues(key, changes), kErrorSuccess);
  EXPECT_EQ(writes.count(), 1) << "one rewrite of the file for all changes";

  std::vector<RegValueEntry> values;
  ASSERT_EQ(regEnumValues(key, &values), kErrorSuccess);
  ASSERT_EQ(values.size(), 40u);
  EXPECT_EQ(values[0].name, "value.0");
  EXPECT_EQ(values[3].name, "value.3");
  EXPECT_EQ(values[3].type, REG_SZ);
  EXPECT_EQ(queryDword(key, "value.39"), 39u);
  std::vector<std::string> names;
  ASSERT_EQ(regEnumKeys(key, &names), kErrorSuccess);
  EXPECT_EQ(names, std::vector<std::string>{"Sub"});

  // The same changes again change nothing and write nothing; a bad name refuses them all.
  ASSERT_EQ(regChangeValues(key, changes), kErrorSuccess);
  changes.push_back(RegValueChange{"bad\nname", false, REG_SZ, {'x', 0}});
  changes[0].data = {99, 0, 0, 0};
  EXPECT_EQ(regChangeValues(key, changes), kErrorInvalidParameter);
  EXPECT_EQ(writes.count(), 1);
  EXPECT_EQ(queryDword(key, "value.0"), 0u);
}

// Fails one step of writing the store's temporary file, as a full or broken disk would.
class FailingWrites : public SysCalls {
 public:
  enum class Step { kOpen, kWrite, kDiskFull, kFsync, kRename };
  explicit FailingWrites(Step step) : step_(step) {}
  int open(const char* path, int flags, mode_t mode) override {
    if (step_ == Step::kOpen && std::strstr(path, ".tmp.") != nullptr) return fail(EACCES);
    return SysCalls::open(path, flags, mode);
  }
  ssize_t write(int fd, const void* data, size_t size) override {
    if (step_ == Step::kWrite) return fail(EIO);
    if (step_ == Step::kDiskFull) {
      if (written_ > 0) return fail(ENOSPC);
      written_ = std::min<size_t>(size, 40);  // the disk takes a little, then is full
      return SysCalls::write(fd, data, written_);
    }
    return SysCalls::write(fd, data, size);
  }
  int fsync(int fd) override { return step_ == Step::kFsync ? fail(EIO) : SysCalls::fsync(fd); }
  int rename(const char* from, const char* to) override {
    return step_ == Step::kRename ? fail(EXDEV) : SysCalls::rename(from, to);
  }

 private:
  static int fail(int err) {
    errno = err;
    return -1;
  }
  Step step_;
  size_t written_ = 0;
};

TEST_F(RegistryTest, AWriteThatFailsAtAnyStepIsReportedAndLeavesThePreviousFileWhole) {
  RegKey key;
  ASSERT_EQ(regCreateKey(Hive::kCurrentUser, "K", &key), kErrorSuccess);
  ASSERT_EQ(regSetValue(key, "keep", REG_SZ, "1", 2), kErrorSuccess);
  const std::string before = readFile(userFile());
  const std::string tmp = userFile() + ".tmp." + std::to_string(getpid());
  const std::string import = dir_ + "/in.reg";
  std::ofstream(import) << "REGEDIT4\n[HKCU\\K]\n\"imported\"=\"2\"\n";
  using Step = FailingWrites::Step;
  const struct {
    Step step;
    long rc;
    std::string report;
  } cases[] = {
      {Step::kOpen, kErrorAccessDenied, tmp + ": Permission denied"},
      {Step::kWrite, kErrorAccessDenied, tmp + ": Input/output error"},
      {Step::kDiskFull, kErrorDiskFull, tmp + ": No space left on device"},
      {Step::kFsync, kErrorAccessDenied, tmp + ": Input/output error"},
      {Step::kRename, kErrorAccessDenied, userFile() + ": Invalid cross-device link"},
  };
  for (const auto& c : cases) {
    reports_.clear();
    FailingWrites calls(c.step);
    std::string error;
    long imported = kErrorSuccess;
    {
      SysCallsOverride failing(&calls);
      EXPECT_EQ(regSetValue(key, "new", REG_SZ, "2", 2), c.rc) << c.report;
      imported = regImportFile(import, &error);
    }
    EXPECT_EQ(reports_, std::vector<std::string>{c.report});
    EXPECT_EQ(imported, c.rc);
    EXPECT_EQ(error, c.report);
    EXPECT_EQ(readFile(userFile()), before) << c.report;
    EXPECT_FALSE(fs::exists(tmp)) << "the temporary file was left: " << c.report;
    uint32_t size = 0;
    EXPECT_EQ(regQueryValue(key, "new", nullptr, nullptr, &size), kErrorFileNotFound);
    EXPECT_EQ(queryText(key, "keep"), std::string("1\0", 2));
  }
  ASSERT_EQ(regSetValue(key, "new", REG_SZ, "2", 2), kErrorSuccess);
  EXPECT_EQ(queryText(key, "new"), std::string("2\0", 2));
}

}  // namespace
}  // namespace platform
