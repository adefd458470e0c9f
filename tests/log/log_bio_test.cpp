#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "log/log.h"
#include "log/sinks.h"
#include "text_match.h"

namespace {

using logging::CollectingSink;

struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;

class LogBio : public ::testing::Test {
 protected:
  void SetUp() override {
    handle_ = logging::registerSinkHandle(&sink_);
    ASSERT_NE(handle_, 0);
    bio_.reset(BIO_new(logging::bio_s_log()));
    ASSERT_NE(bio_, nullptr);
    BIO_set_fd(bio_.get(), handle_, 0);
  }
  void TearDown() override {
    bio_.reset();
    logging::removeSinkHandle(handle_);
  }
  void write(const std::string& s) {
    EXPECT_EQ(BIO_write(bio_.get(), s.data(), static_cast<int>(s.size())),
              static_cast<int>(s.size()));
  }
  CollectingSink sink_;
  int handle_ = 0;
  BioPtr bio_;
};

TEST_F(LogBio, PiecesWithoutNewlineJoinIntoOneLine) {
  write("---error text");
  write("extra data");
  EXPECT_TRUE(sink_.lines().empty());
  write("\n");
  const auto entries = sink_.entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].text, "---error textextra data");
  EXPECT_EQ(entries[0].cls, 0u);
  EXPECT_EQ(entries[0].code, 0u);
  EXPECT_EQ(entries[0].maxLines, 0u);
}

TEST_F(LogBio, TextAfterLastNewlineWaitsForTheNextOne) {
  write("alpha\nbeta\ngamma");
  EXPECT_EQ(sink_.lines(), (std::vector<std::string>{"alpha", "beta"}));
  write(" delta\r\n\n");
  EXPECT_EQ(sink_.lines(), (std::vector<std::string>{"alpha", "beta", "gamma delta\r", ""}));
}

TEST_F(LogBio, PutsCutsTo511AndEndsTheLine) {
  const std::string big(600, 'z');
  EXPECT_EQ(BIO_puts(bio_.get(), big.c_str()), 512);
  BIO_puts(bio_.get(), "short");
  EXPECT_EQ(sink_.lines(), (std::vector<std::string>{std::string(511, 'z'), "short"}));
}

TEST_F(LogBio, ControlKeepsTheHandleAndAnswersZeroOtherwise) {
  EXPECT_EQ(BIO_method_type(bio_.get()), 0x504);
  int got = -1;
  EXPECT_EQ(BIO_get_fd(bio_.get(), &got), handle_);
  EXPECT_EQ(got, handle_);
  EXPECT_EQ(BIO_ctrl(bio_.get(), BIO_CTRL_PENDING, 0, nullptr), 0);
  EXPECT_EQ(BIO_ctrl(bio_.get(), BIO_CTRL_FLUSH, 0, nullptr), 0);
  char buf[8];
  EXPECT_LE(BIO_read(bio_.get(), buf, sizeof buf), 0) << "a log BIO cannot be read";
}

TEST_F(LogBio, LinesToARemovedOrUnknownHandleAreDropped) {
  BioPtr other(BIO_new(logging::bio_s_log()));
  BIO_set_fd(other.get(), 999999, 0);
  EXPECT_EQ(BIO_puts(other.get(), "nobody"), 7);
  logging::removeSinkHandle(handle_);
  write("gone\n");
  EXPECT_TRUE(sink_.lines().empty());
}

TEST_F(LogBio, ManyThreadsNeverMixOrLoseLines) {
  constexpr int kThreads = 8;
  constexpr int kLines = 2000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      char line[64];
      for (int i = 0; i < kLines; ++i) {
        std::snprintf(line, sizeof line, "bio %d line %d", t, i);
        BIO_puts(bio_.get(), line);
      }
    });
  }
  for (auto& th : threads) th.join();
  const auto lines = sink_.lines();
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
  for (const std::string& line : lines)
    ASSERT_TRUE(testing_text::matches(line, "bio # line #")) << line;
  EXPECT_EQ(std::set<std::string>(lines.begin(), lines.end()).size(), lines.size());
}

void failToLoadCertificate() {
  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx(SSL_CTX_new(TLS_method()), SSL_CTX_free);
  ASSERT_NE(ctx, nullptr);
  ERR_clear_error();
  EXPECT_NE(
      SSL_CTX_use_certificate_file(ctx.get(), "/nonexistent/brisklane/cert.pem", SSL_FILETYPE_PEM),
      1);
  ASSERT_NE(ERR_peek_error(), 0UL);
}

TEST_F(LogBio, RealOpenSslErrorBecomesLines) {
  logging::logSwitches().logDebug = 0;
  failToLoadCertificate();
  EXPECT_EQ(log_openssl_errors(LOG_ERROR, bio_.get()), 1);
  EXPECT_EQ(ERR_peek_error(), 0UL);
  const auto lines = sink_.lines();
  ASSERT_FALSE(lines.empty());
  for (const std::string& line : lines) EXPECT_EQ(line.rfind("---", 0), 0u) << line;
  EXPECT_NE(lines[0].find("No such file or directory"), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find("/nonexistent/brisklane/cert.pem"), std::string::npos) << lines[0];
}

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

TEST(LogDebugFile, OpenSslOutputIsAppendedToTheFile) {
  logging::log_close();
  const std::string path = ::testing::TempDir() + "bkl_debug_file_test.log";
  std::remove(path.c_str());
  {
    std::ofstream earlier(path);
    earlier << "earlier run\n";
  }
  logging::logSwitches().logDebug = 1;
  logging::logSwitches().debug = 1;
  CollectingSink sink;
  ASSERT_TRUE(logging::log_open(&sink, path.c_str()));
  ASSERT_EQ(sink.lines().size(), 1u);
  EXPECT_TRUE(testing_text::matches(sink.lines()[0], "<driver><#>--new run---")) << sink.lines()[0];
  failToLoadCertificate();
  EXPECT_EQ(log_openssl_errors(LOG_ERROR, bio_log_err), 1);
  const std::string contents = readFile(path);
  logging::log_close();
  logging::logSwitches().logDebug = 0;
  logging::logSwitches().debug = 0;

  EXPECT_EQ(contents.rfind("earlier run\n---", 0), 0u) << contents;
  // thread id, full text, source file and line, then the extra data
  EXPECT_TRUE(testing_text::matches(
      contents, "*\n---#:err id:*:system library:*:*:#:*/nonexistent/brisklane/cert.pem*\n"))
      << contents;
  EXPECT_EQ(sink.lines().size(), 1u) << "OpenSSL output goes to the file, not the sink";
  std::remove(path.c_str());
}

}  // namespace
