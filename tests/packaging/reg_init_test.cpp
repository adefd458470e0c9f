// brisklane-reg init, as the package's maintainer script runs it: the built tool on a store in a
// temporary folder.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>
#include <string>

#include "config/default_settings.h"
#include "support/support.h"

namespace {

using namespace std::chrono_literals;

class RegInit : public ::testing::Test {
 protected:
  void SetUp() override {
    tool_ = test_support::binDir() + "/brisklane-reg";
    if (!std::filesystem::exists(tool_)) GTEST_SKIP() << tool_ << " is not built";
  }

  // The exit status; standard output and error in out_.
  int run(const std::vector<std::string>& args) {
    std::vector<std::string> argv{tool_};
    argv.insert(argv.end(), args.begin(), args.end());
    const std::string output = folder_.file("output" + std::to_string(++runs_));
    test_support::Process p(argv, output, {{"BRISKLANE_CONFIG_DIR", store_}});
    const int status = p.wait(30s);
    out_ = test_support::readFile(output);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  test_support::TempDir folder_;
  std::string store_ = folder_.file("store");
  std::string tool_;
  std::string out_;
  int runs_ = 0;
};

TEST_F(RegInit, MakesTheDefaultsOnceAndSaysWhatItDid) {
  const std::string key = "HKEY_LOCAL_MACHINE\\Software\\Tandry\\Brisklane 4";
  const std::string file = store_ + "/machine.reg";
  ASSERT_EQ(run({"localmachine", "init"}), 0) << out_;
  EXPECT_EQ(out_, "Created " + key + " in " + file + " with the default settings (" +
                      std::to_string(config::defaultSettingsValues().size()) + " values).\n");
  const std::string made = test_support::readFile(file);
  EXPECT_NE(made.find("\"ssl.enable_tls1\"=dword:00000001"), std::string::npos) << made;
  EXPECT_FALSE(std::filesystem::exists(store_ + "/user.reg"));

  ASSERT_EQ(run({"init", "localmachine"}), 0) << out_;
  EXPECT_EQ(out_, key + " already exists in " + file + "; it was left as it is.\n");
  EXPECT_EQ(test_support::readFile(file), made);

  EXPECT_EQ(run({"init", "Software"}), 1);
  EXPECT_NE(out_.find("init takes no KEY."), std::string::npos) << out_;
}

TEST_F(RegInit, AStoreItCannotReadFailsAndStaysAsItIs) {
  ASSERT_TRUE(std::filesystem::create_directories(store_ + "/user.reg"));  // a folder in its place
  EXPECT_EQ(run({"init"}), 1);
  EXPECT_NE(out_.find("ERROR: The default settings could not be written to " + store_ +
                      "/user.reg: the file cannot be read or written."),
            std::string::npos)
      << out_;
  EXPECT_TRUE(std::filesystem::is_directory(store_ + "/user.reg"));
}

}  // namespace
