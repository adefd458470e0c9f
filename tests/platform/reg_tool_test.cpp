// Runs the built brisklane-reg against a store in a temporary folder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "platform/hive_file.h"
#include "support/support.h"

namespace {

namespace fs = std::filesystem;

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

struct ToolResult {
  int status = -1;
  std::string out;
  std::string err;
};

class RegToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = folder_.path();
    const char* bin = std::getenv("BKL_BIN_DIR");
    tool_ = std::string(bin != nullptr ? bin : ".") + "/brisklane-reg";
    if (!fs::exists(tool_)) GTEST_SKIP() << tool_ << " is not built";
  }

  // Runs the tool (at most 30 s) with BRISKLANE_CONFIG_DIR set to the test's folder.
  ToolResult run(const std::vector<std::string>& args) {
    const std::string out = dir_ + "/stdout";
    const std::string err = dir_ + "/stderr";
    const pid_t pid = fork();
    if (pid == 0) {
      const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (o < 0 || e < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0) _exit(126);
      setenv("BRISKLANE_CONFIG_DIR", (dir_ + "/cfg").c_str(), 1);
      std::vector<char*> argv{const_cast<char*>(tool_.c_str())};
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(tool_.c_str(), argv.data());
      _exit(127);
    }
    ToolResult r;
    int status = 0;
    bool done = false;
    for (int i = 0; i < 3000 && !done; ++i) {
      done = waitpid(pid, &status, WNOHANG) == pid;
      if (!done) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!done) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
    }
    r.status = done && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = readFile(out);
    r.err = readFile(err);
    return r;
  }
  std::string store() const {
    return readFile(dir_ + "/cfg/user.reg") + "|" + readFile(dir_ + "/cfg/machine.reg");
  }

  test_support::TempDir folder_;
  std::string dir_;
  std::string tool_;
};

constexpr char kNotFound[] =
    "ERROR: The system was unable to find the specified registry key or value.\n";

TEST_F(RegToolTest, ShowsAnImportedWindowsExport) {
  const std::string here = __FILE__;
  const std::string sample = here.substr(0, here.rfind('/')) + "/data/windows_export_utf16.reg";
  ToolResult r = run({"import", sample});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "The operation completed successfully.\n");
  r = run({"query", "HKCU\\Software\\Tandry\\Brisklane 4"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "HKEY_CURRENT_USER\\Software\\Tandry\\Brisklane 4\n"
            "    ssl.ca_cert    REG_SZ    C:\\Program Files\\Brisklane\\ca \"main\".pem\n"
            "    log.max    REG_DWORD    0x3e8\n"
            "    ssl.cipher    REG_SZ    HIGH:!aNULL\n"
            "    bkl.location    REG_BINARY    "
            "0102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F20\n"
            "    host.list    REG_MULTI_SZ    alpha\\0beta\\0caf\xC3\xA9\n"
            "\n"
            "HKEY_CURRENT_USER\\Software\\Tandry\\Brisklane 4\\Rule1\n");
  r = run({"query", "Software\\Tandry\\Brisklane 4\\Rule1", "rule.name"});
  EXPECT_EQ(r.out,
            "HKEY_CURRENT_USER\\Software\\Tandry\\Brisklane 4\\Rule1\n"
            "    rule.name    REG_SZ    Mail \xC3\xBC"
            "ber TLS\n");
}

TEST_F(RegToolTest, AddsQueriesExportsAndDeletes) {
  EXPECT_EQ(run({"add", "K", "/v", "n", "/t", "REG_DWORD", "/d", "0xffffffff"}).status, 0);
  EXPECT_EQ(run({"add", "K", "/v", "b", "/t", "reg_binary", "/d", "00aB", "/f"}).status, 0);
  EXPECT_EQ(run({"add", "K", "/v", "s", "/d", "text with spaces"}).status, 0);
  EXPECT_EQ(run({"add", "K", "localmachine", "/v", "m", "/t", "REG_DWORD", "/d", "12"}).status, 0);
  EXPECT_EQ(run({"query", "K", "n"}).out,
            "HKEY_CURRENT_USER\\K\n    n    REG_DWORD    0xffffffff\n");
  EXPECT_EQ(run({"query", "K", "/v", "B"}).out,
            "HKEY_CURRENT_USER\\K\n    b    REG_BINARY    00AB\n");
  EXPECT_EQ(run({"query", "K", "s"}).out,
            "HKEY_CURRENT_USER\\K\n    s    REG_SZ    text with spaces\n");
  EXPECT_EQ(run({"localmachine", "query", "K"}).out,
            "HKEY_LOCAL_MACHINE\\K\n    m    REG_DWORD    0xc\n\n");
  EXPECT_EQ(run({"localmachine", "query", "HKCU\\K", "n"}).status, 0);      // the prefix decides
  EXPECT_EQ(run({"add", "K", "/v", "localmachine", "/d", "x"}).status, 0);  // a name, not the word
  EXPECT_EQ(run({"query", "K", "localmachine"}).status, 0);

  const std::string file = dir_ + "/k.reg";
  ASSERT_EQ(run({"export", "HKLM\\K", file}).status, 0);
  EXPECT_EQ(readFile(file),
            "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\K]\n"
            "\"m\"=dword:0000000c\n\n");
  EXPECT_EQ(run({"delete", "K", "/v", "n"}).status, 0);
  ToolResult r = run({"query", "K", "n"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, kNotFound);
  EXPECT_EQ(run({"delete", "HKEY_CURRENT_USER\\K"}).status, 0);
  r = run({"query", "K"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, kNotFound);
  EXPECT_EQ(run({"--help"}).status, 0);
}

TEST_F(RegToolTest, FailuresExitNonZeroAndChangeNothing) {
  ASSERT_EQ(run({"add", "K", "/v", "keep", "/d", "1"}).status, 0);
  const std::string before = store();
  const std::string bad = dir_ + "/bad.reg";
  std::ofstream(bad) << "Windows Registry Editor Version 5.00\n\n[HKCU\\K]\n\"x\"=\"1\"\n"
                        "\"y\"=dword:1x\n";
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"localmachine"},
      {"frobnicate", "K"},
      {"query"},
      {"query", "K", "a", "b"},
      {"query", "HKCR\\K"},
      {"add", "K", "/v"},
      {"add", "K", "/v", "n", "/t", "REG_DWORD", "/d", "4294967296"},
      {"add", "K", "/v", "n", "/t", "REG_DWORD", "/d", "-1"},
      {"add", "K", "/v", "n", "/t", "REG_DWORD", "/d", "12abc"},
      {"add", "K", "/v", "n", "/t", "REG_DWORD"},
      {"add", "K", "/v", "n", "/t", "REG_BINARY", "/d", "abc"},
      {"add", "K", "/v", "n", "/t", "REG_BINARY", "/d", "zz"},
      {"add", "K", "/v", "n", "/t", "REG_QWORD", "/d", "1"},
      {"add", "K", "/v", "n", "/d", std::string(70000, 'x')},
      {"add", "K", "/v", "n", "/v", "m"},
      {"add", "K", "/x"},
      {"add", "A\\\\B", "/v", "n"},
      {"add", "K", "/v", "a\nb"},
      {"delete", "K", "/v", "missing"},
      {"delete", "HKCU"},
      {"delete", "Missing"},
      {"import", bad},
      {"import", dir_ + "/missing.reg"},
      {"import"},
      {"export", "Missing", dir_ + "/out.reg"},
      {"export", "K", dir_ + "/no/such/dir/out.reg"},
      {"export", "K"},
  };
  for (const auto& args : cases) {
    std::string line;
    for (const std::string& a : args) line += a.substr(0, 40) + " ";
    const ToolResult r = run(args);
    EXPECT_EQ(r.status, 1) << line;
    EXPECT_EQ(r.err.rfind("ERROR: ", 0), 0u) << line << "\n" << r.err;
    EXPECT_EQ(store(), before) << line;
  }
  EXPECT_NE(run({"import", bad}).err.find(bad + ":5: bad dword"), std::string::npos);
}

TEST_F(RegToolTest, AnImportWhoseStoreCouldNotBeReadBackIsRefusedWholeAndLimitsAreTheSameAsAdd) {
  ASSERT_EQ(run({"add", "K", "/v", "keep", "/d", "1"}).status, 0);
  const std::string before = store();
  // Three chains of 511 keys of 250 characters: a file of 390 KB whose every key gets a line of
  // its own, with its whole path, in the store: about 100 MB.
  const std::string file = dir_ + "/chains.reg";
  {
    std::ofstream out(file);
    out << "Windows Registry Editor Version 5.00\n\n";
    for (const char chain : {'a', 'b', 'c'}) {
      out << "[HKEY_CURRENT_USER";
      for (int depth = 0; depth < 511; ++depth) out << "\\" << std::string(250, chain);
      out << "]\n\"deep\"=\"x\"\n\n";
    }
  }
  ToolResult r = run({"import", file});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "ERROR: " + dir_ +
                       "/cfg/user.reg: the change is refused, as the file could not be read back "
                       "(it would grow past 64 MiB); the file stays as it was\n");
  EXPECT_TRUE(store() == before) << "the store was rewritten: " << store().size() << " bytes";
  EXPECT_EQ(run({"query", "K", "keep"}).out, "HKEY_CURRENT_USER\\K\n    keep    REG_SZ    1\n");
  EXPECT_EQ(run({"add", "K", "/v", "after", "/d", "2"}).status, 0);

  // Value names: 16383 characters go in by import as by add, 16384 by neither.
  const std::string longest(16383, 'n');
  const std::string names = dir_ + "/names.reg";
  std::ofstream(names) << "REGEDIT4\n[HKCU\\K]\n\"" << longest << "\"=\"ok\"\n";
  EXPECT_EQ(run({"import", names}).status, 0);
  EXPECT_EQ(run({"add", "K", "/v", longest, "/d", "ok"}).status, 0);
  const std::string withLongerName = store();
  std::ofstream(names) << "REGEDIT4\n[HKCU\\K]\n\"" << longest << "m\"=\"no\"\n";
  r = run({"import", names});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "ERROR: " + names + ":3: the value name has 16384 characters, more than 16383\n");
  EXPECT_EQ(run({"add", "K", "/v", longest + "m", "/d", "no"}).err,
            "ERROR: Invalid key or value name.\n");
  // Types: the registry's own, hex(0) to hex(b), and no others.
  std::ofstream(names) << "REGEDIT4\n[HKCU\\K]\n\"q\"=hex(b):01,00,00,00,00,00,00,00\n"
                          "\"odd\"=hex(c):01\n";
  r = run({"import", names});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "ERROR: " + names + ":4: unknown value type hex(c): the registry's types are 0 to b\n");
  EXPECT_EQ(store(), withLongerName);
  std::ofstream(names) << "REGEDIT4\n[HKCU\\K]\n\"q\"=hex(b):01,00,00,00,00,00,00,00\n";
  EXPECT_EQ(run({"import", names}).status, 0);
  EXPECT_EQ(run({"query", "K", "q"}).out,
            "HKEY_CURRENT_USER\\K\n    q    REG_QWORD    0100000000000000\n");
}

TEST_F(RegToolTest, AnAddKilledAtAnyMomentLeavesAStoreThatHoldsTheOldOrTheNewValue) {
  // A store of about 350 KB, so that one add takes long enough to be killed in its middle.
  const std::string big = dir_ + "/big.reg";
  {
    std::ofstream out(big);
    out << "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Big]\n";
    for (int i = 0; i < 10000; ++i) out << "\"value." << i << "\"=\"xxxxxxxxxxxxxxxx\"\n";
  }
  ASSERT_EQ(run({"import", big}).status, 0);
  ASSERT_EQ(run({"add", "K", "/v", "probe", "/d", "v0"}).status, 0);
  const auto started = std::chrono::steady_clock::now();
  ASSERT_EQ(run({"add", "K", "/v", "probe", "/d", "v0"}).status, 0);
  const auto oneAdd = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now() - started);
  const unsigned seed = static_cast<unsigned>(std::random_device{}());
  std::mt19937 random(seed);
  std::uniform_int_distribution<long> moment(0, oneAdd.count() * 5 / 4);
  SCOPED_TRACE("seed " + std::to_string(seed));

  std::string current = "v0";
  int killedMidway = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(240);
  for (int i = 1; i <= 200 && std::chrono::steady_clock::now() < deadline; ++i) {
    const std::string next = "v" + std::to_string(i);
    test_support::Process add({tool_, "add", "K", "/v", "probe", "/d", next}, dir_ + "/killed.out",
                              {{"BRISKLANE_CONFIG_DIR", dir_ + "/cfg"}});
    std::this_thread::sleep_for(std::chrono::microseconds(moment(random)));
    add.signal(SIGKILL);
    const int status = add.wait(std::chrono::seconds(30));
    killedMidway += status != -1 && WIFSIGNALED(status);
    const platform::HiveParseResult parsed =
        platform::parseHiveText(readFile(dir_ + "/cfg/user.reg"));
    ASSERT_TRUE(parsed.ok()) << "after kill " << i << ": " << parsed.error;
    std::string probe;
    for (const auto& key : parsed.keys) {
      for (const auto& v : key.values) {
        if (key.path == "K" && v.name == "probe") probe.assign(v.data.begin(), v.data.end() - 1);
      }
    }
    ASSERT_TRUE(probe == current || probe == next) << "after kill " << i << ": " << probe;
    current = probe;
  }
  EXPECT_GT(killedMidway, 0) << "no add was killed before its end";
  // A killed writer's temporary file goes with the next write.
  ASSERT_EQ(run({"add", "K", "/v", "probe", "/d", "last"}).status, 0);
  int temporaries = 0;
  for (const auto& entry : fs::directory_iterator(dir_ + "/cfg")) {
    temporaries += entry.path().filename().string().find(".tmp.") != std::string::npos;
  }
  EXPECT_EQ(temporaries, 0) << "killed writers' temporary files were left";
  std::printf("%d of 200 adds were killed before their end (one add: %lld us)\n", killedMidway,
              static_cast<long long>(oneAdd.count()));
}

}  // namespace

namespace {

// An administrator (root) who changes the service's store keeps it the service user's: the file
// and its lock keep their owner, group and mode, so that the service can still read and write
// them afterwards.
TEST_F(RegToolTest, ARootChangeKeepsTheStoreItsOwnersFile) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to change a file of another user";
  constexpr uid_t kOwner = 65534;  // nobody
  constexpr gid_t kGroup = 65534;
  ASSERT_EQ(run({"localmachine", "add", "Software\\Tandry\\Brisklane 4", "/v", "verbose", "/t",
                 "REG_DWORD", "/d", "1"})
                .status,
            0);
  const std::string file = dir_ + "/cfg/machine.reg";
  for (const std::string& path : {file, file + ".lock"}) {
    ASSERT_EQ(chown(path.c_str(), kOwner, kGroup), 0) << path;
    ASSERT_EQ(chmod(path.c_str(), 0640), 0) << path;
  }
  ASSERT_EQ(run({"localmachine", "add", "Software\\Tandry\\Brisklane 4", "/v", "verbose", "/t",
                 "REG_DWORD", "/d", "0"})
                .status,
            0);
  EXPECT_NE(readFile(file).find("\"verbose\"=dword:00000000"), std::string::npos);
  for (const std::string& path : {file, file + ".lock"}) {
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, kOwner) << path;
    EXPECT_EQ(st.st_gid, kGroup) << path;
    EXPECT_EQ(st.st_mode & 0777, 0640u) << path;
  }
}

}  // namespace
