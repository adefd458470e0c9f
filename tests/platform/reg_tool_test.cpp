// Runs the built brisklane-reg against a store in a temporary folder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

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

}  // namespace
