// Test material for the SSL context tests: certificates and keys made with the openssl tool once
// per test run, in-memory handshakes between two SSL objects, and a fixture that captures log
// lines and builds contexts from settings of its own.
#pragma once

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "config/settings.h"
#include "log/log.h"
#include "log/sinks.h"
#include "platform/registry.h"
#include "relay/relay_state.h"
#include "relay/ssl_context.h"
#include "support/support.h"

namespace ssl_test {

// A CA, a server certificate signed by it in every form the relay reads, and odd files.
class Material {
 public:
  static const Material& get() {
    static Material material;
    return material;
  }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  bool ok() const { return ok_; }
  const std::string& dir() const { return dir_; }

 private:
  Material() {
    dir_ = folder_.path();
    const char* const commands[] = {
        "req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 30 -subj /CN=Test_CA",
        "x509 -in ca.pem -outform DER -out ca.der",
        "req -x509 -newkey rsa:2048 -nodes -keyout ca2.key -out ca2.pem -days 30 "
        "-subj /CN=Second_CA",
        "x509 -in ca2.pem -outform DER -out ca2.der",
        "req -newkey rsa:2048 -nodes -keyout server.key -out server.csr -subj /CN=localhost",
        "x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 30 "
        "-out server.pem",
        "x509 -in server.pem -outform DER -out server.der",
        "pkey -in server.key -outform DER -out server-key.der",
        "pkey -in server.key -aes256 -passout pass:secret -out server-enc.key",
        "pkcs12 -export -in server.pem -inkey server.key -passout pass:secret -out server.p12",
        "genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out other.key",
    };
    for (const char* command : commands) {
      const std::string line = "cd '" + dir_ + "' && openssl " + command + " >/dev/null 2>&1";
      if (std::system(line.c_str()) != 0) return;
    }
    // A certificate file that carries its own key, encrypted.
    std::ofstream combined(path("combined.pem"), std::ios::binary);
    combined << read("server.pem") << read("server-enc.key");
    ok_ = combined.good();
  }
  std::string read(const std::string& name) const { return test_support::readFile(path(name)); }

  test_support::TempDir folder_;
  std::string dir_;
  bool ok_ = false;
};

// Drives both handshakes over an in-memory BIO pair; true when both sides completed.
inline bool handshake(SSL* client, SSL* server) {
  BIO* clientBio = nullptr;
  BIO* serverBio = nullptr;
  if (BIO_new_bio_pair(&clientBio, 0, &serverBio, 0) != 1) return false;
  SSL_set_bio(client, clientBio, clientBio);
  SSL_set_bio(server, serverBio, serverBio);
  SSL_set_connect_state(client);
  SSL_set_accept_state(server);
  bool clientDone = false;
  bool serverDone = false;
  for (int round = 0; round < 100 && !(clientDone && serverDone); ++round) {
    if (!clientDone) {
      const int r = SSL_do_handshake(client);
      if (r == 1)
        clientDone = true;
      else if (SSL_get_error(client, r) != SSL_ERROR_WANT_READ)
        return false;
    }
    if (!serverDone) {
      const int r = SSL_do_handshake(server);
      if (r == 1)
        serverDone = true;
      else if (SSL_get_error(server, r) != SSL_ERROR_WANT_READ)
        return false;
    }
  }
  return clientDone && serverDone;
}

// Sends one byte from the server to the client. TLS 1.3 session tickets travel after the
// handshake, so the client has a resumable session only once it has read past them.
inline bool serverToClientByte(SSL* client, SSL* server) {
  const char byte = 'x';
  if (SSL_write(server, &byte, 1) != 1) return false;
  char got = 0;
  return SSL_read(client, &got, 1) == 1 && got == byte;
}

// Captures every log line and gives each test a fresh SSL context made from known settings, for a
// relay state of its own (the remembered pass phrase "secret").
class SslFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Material::get().ok()) << "the openssl tool could not make the test material";
    settings_.sslEnableSsl2 = 0;
    settings_.sslEnableSsl3 = 0;
    settings_.sslEnableTls1 = 1;
    state_->questions.rememberPassphrase("secret");
    ASSERT_TRUE(logging::log_open(&sink_, nullptr));
    ASSERT_TRUE(newContext());
    ERR_clear_error();
  }
  void TearDown() override {
    ctx_.reset();
    state_.reset();
    logging::log_close();
    ERR_clear_error();
  }

  std::string file(const std::string& name) const { return Material::get().path(name); }
  // A new SSL object of the context.
  relay::SslPtr newSsl() const {
    return relay::SslPtr(ctx_ != nullptr ? SSL_new(ctx_.get()) : nullptr);
  }
  // A reference of the caller's own to the context.
  relay::SslCtxPtr context() const {
    SSL_CTX_up_ref(ctx_.get());
    return relay::SslCtxPtr(ctx_.get());
  }
  // Loads the CA certificates of the settings into the context.
  void loadCas() { relay::loadCaCertificates(ctx_.get(), settings_); }
  // Sets the context's cipher list from the settings.
  bool applyCiphers() { return relay::applyCipherList(ctx_.get(), settings_); }
  // A new context made from the settings.
  bool newContext() {
    ctx_ = relay::buildSharedContext(settings_, state_);
    return ctx_ != nullptr;
  }
  std::vector<std::string> lines() const { return sink_.lines(); }
  int count(const std::string& line) const {
    const auto all = sink_.lines();
    return static_cast<int>(std::count(all.begin(), all.end(), line));
  }
  int countWithCode(uint32_t code) const {
    int n = 0;
    for (const auto& e : sink_.entries()) n += e.code == code ? 1 : 0;
    return n;
  }
  int countStarting(const std::string& prefix) const {
    int n = 0;
    for (const auto& l : sink_.lines()) n += l.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
  }
  // A server SSL object of the context with the given certificate and key loaded, and a client
  // of the same context; true when the handshake between them succeeds.
  bool handshakeWith(const std::string& cert, const std::string& key) {
    relay::SslPtr server = newSsl();
    relay::SslPtr client = newSsl();
    if (server == nullptr || client == nullptr) return false;
    relay::loadCertAndKey(server.get(), &state_->loadedPairs, cert, key, 0);
    return handshake(client.get(), server.get());
  }

  logging::CollectingSink sink_;
  config::Settings settings_;
  std::shared_ptr<relay::RelayState> state_ = std::make_shared<relay::RelayState>();
  relay::SslCtxPtr ctx_;
};

}  // namespace ssl_test
