#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "log/log.h"
#include "text_match.h"

namespace {

struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;

std::string memText(BIO* bio) {
  char* data = nullptr;
  const long n = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<size_t>(n));
}

class ErrorText : public ::testing::Test {
 protected:
  void SetUp() override {
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS, nullptr);
    ERR_clear_error();
    logging::LogSwitches& s = logging::logSwitches();
    s.nolog = 0;
    s.err = 1;
    s.debug = 0;
    s.logDebug = 0;
    mem_.reset(BIO_new(BIO_s_mem()));
    ASSERT_NE(mem_, nullptr);
  }
  void TearDown() override {
    ERR_clear_error();
    logging::logSwitches().debug = 0;
    logging::logSwitches().logDebug = 0;
    logging::logSwitches().err = 1;
    logging::logSwitches().nolog = 0;
  }
  BioPtr mem_;
};

TEST(SocketErrorText, TableAndFallback) {
  EXPECT_STREQ(socket_error_text(10061), "Connection refused.");
  EXPECT_STREQ(socket_error_text(0), "No error.");
  EXPECT_STREQ(socket_error_text(10024), "EMFILE.");
  EXPECT_STREQ(socket_error_text(11003), "Connection refused.");
  EXPECT_STREQ(socket_error_text(20093), "Socks user id rejected.");
  EXPECT_STREQ(socket_error_text(12345), "WSAError #00003039");
  EXPECT_STREQ(socket_error_text(10072), "WSAError #00002758");
  EXPECT_STREQ(socket_error_text(-1), "WSAError #ffffffff");
}

TEST(SocketErrorText, EachThreadKeepsItsOwnText) {
  const char* mine = socket_error_text(10054);
  std::thread other([] { EXPECT_STREQ(socket_error_text(10060), "Timeout."); });
  other.join();
  EXPECT_STREQ(mine, "Connection reset.");
}

TEST_F(ErrorText, ShortAndFullTextOfAnErrorCode) {
  const unsigned long code = ERR_PACK(ERR_LIB_SSL, 0, SSL_R_NO_CERTIFICATE_ASSIGNED);
  const std::string reason = ERR_reason_error_string(code);
  char buf[512];
  EXPECT_EQ(std::string(openssl_error_text(code, buf, "SSL_do_handshake")),
            "SSL_do_handshake:" + reason);
  EXPECT_EQ(std::string(openssl_error_text(code, buf)), reason);

  logging::logSwitches().logDebug = 1;
  char id[16];
  std::snprintf(id, sizeof id, "%08lX", code);
  EXPECT_EQ(std::string(openssl_error_text(code, buf, "SSL_do_handshake")),
            std::string("err id:") + id + ":SSL routines:SSL_do_handshake:" + reason);
  EXPECT_EQ(std::string(openssl_error_text(code, buf)),
            std::string("err id:") + id + ":SSL routines:func(0) :" + reason);
}

TEST_F(ErrorText, UnknownLibraryAndReasonFallBackToNumbers) {
  const unsigned long code = ERR_PACK(120, 0, 4000);
  char buf[512];
  EXPECT_STREQ(openssl_error_text(code, buf), "func(0) reason(4000)");
  EXPECT_STREQ(openssl_error_text(code, buf, "f"), "f:reason(4000)");
  logging::logSwitches().logDebug = 1;
  EXPECT_STREQ(openssl_error_text(code, buf), "err id:3C000FA0::lib(120) :func(0) :reason(4000)");
}

// Raises an SSL error as OpenSSL's own C code does, with the function name recorded.
void raiseInFunction(const char* func, const char* data) {
  ERR_new();
  ERR_set_debug("ssl/ssl_lib.c", 4242, func);
  if (data != nullptr) {
    ERR_set_error(ERR_LIB_SSL, SSL_R_NO_CERTIFICATE_ASSIGNED, "%s", data);
  } else {
    ERR_set_error(ERR_LIB_SSL, SSL_R_NO_CERTIFICATE_ASSIGNED, nullptr);
  }
}

TEST_F(ErrorText, SystemErrorsShowTheErrnoText) {
  char buf[512];
  const unsigned long code = ERR_SYSTEM_FLAG | 2;  // errno ENOENT raised by the library
  EXPECT_STREQ(openssl_error_text(code, buf, "BIO_new_file"),
               "BIO_new_file:No such file or directory");
}

TEST_F(ErrorText, DrainWritesOneLinePerErrorInEachForm) {
  const std::string reason =
      ERR_reason_error_string(ERR_PACK(ERR_LIB_SSL, 0, SSL_R_NO_CERTIFICATE_ASSIGNED));
  raiseInFunction("SSL_do_handshake", " extra");
  raiseInFunction("SSL_do_handshake", nullptr);
  EXPECT_EQ(log_openssl_errors(LOG_ERROR, mem_.get()), 1);
  EXPECT_EQ(ERR_peek_error(), 0UL);
  EXPECT_EQ(memText(mem_.get()),
            "---SSL_do_handshake:" + reason + " extra\n---SSL_do_handshake:" + reason + "\n");

  BioPtr full(BIO_new(BIO_s_mem()));
  logging::logSwitches().logDebug = 1;
  raiseInFunction("SSL_do_handshake", " extra");
  log_openssl_errors(LOG_ERROR, full.get());
  EXPECT_TRUE(testing_text::matches(
      memText(full.get()),
      "---#:err id:0A0000B1:SSL routines:SSL_do_handshake:" + reason + " extra\n"))
      << memText(full.get());

  BioPtr source(BIO_new(BIO_s_mem()));
  logging::logSwitches().debug = 1;
  raiseInFunction("SSL_do_handshake", nullptr);
  log_openssl_errors(LOG_ERROR, source.get());
  EXPECT_TRUE(testing_text::matches(
      memText(source.get()),
      "---#:err id:0A0000B1:SSL routines:SSL_do_handshake:" + reason + ":ssl/ssl_lib.c:4242:\n"))
      << memText(source.get());
}

TEST_F(ErrorText, RefusedLevelLeavesTheQueueAlone) {
  logging::logSwitches().err = 0;
  ERR_raise(ERR_LIB_SSL, SSL_R_NO_CERTIFICATE_ASSIGNED);
  EXPECT_EQ(log_openssl_errors(LOG_SERIOUS, mem_.get()), 0);
  EXPECT_NE(ERR_peek_error(), 0UL);
  EXPECT_EQ(memText(mem_.get()), "");
  EXPECT_EQ(log_openssl_errors(LOG_ERROR, nullptr), 0);
  EXPECT_NE(ERR_peek_error(), 0UL);
  EXPECT_EQ(log_openssl_errors(LOG_ERROR, mem_.get()), 1);
  EXPECT_EQ(ERR_peek_error(), 0UL);
}

}  // namespace
