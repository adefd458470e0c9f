#include "relay/ssl_context.h"

#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <set>
#include <string>
#include <vector>

#include "config/cipher_names.h"
#include "relay/questions.h"
#include "relay/relay.h"
#include "relay/ssl_test_support.h"

namespace {

using relay::SslPtr;
using ssl_test::handshake;
using ssl_test::serverToClientByte;

class SharedContext : public ssl_test::SslFixture {};

TEST_F(SharedContext, IsConfiguredAndSurvivesReplacement) {
  relay::SslCtxPtr first = context();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(SSL_CTX_get_verify_mode(first.get()), SSL_VERIFY_NONE);
  EXPECT_EQ(SSL_CTX_get_quiet_shutdown(first.get()), 1);
  EXPECT_EQ(SSL_CTX_get_options(first.get()) & SSL_OP_ALL, static_cast<uint64_t>(SSL_OP_ALL));
  EXPECT_EQ(SSL_CTX_get_default_passwd_cb(first.get()), &relay::sharedPasswordCallback);

  SslPtr ssl(SSL_new(first.get()));
  ASSERT_TRUE(newContext());
  relay::SslCtxPtr second = context();
  EXPECT_NE(first.get(), second.get());
  // The old context still serves the object made from it.
  EXPECT_EQ(SSL_get_SSL_CTX(ssl.get()), first.get());
  EXPECT_NE(SSL_get_cipher_list(ssl.get(), 0), nullptr);
}

TEST_F(SharedContext, PasswordCallbackAnswersTheRememberedPhraseWithinTheBuffer) {
  char buf[8] = {};
  EXPECT_EQ(relay::sharedPasswordCallback(buf, sizeof buf, 0, &state_->questions), 6);
  EXPECT_STREQ(buf, "secret");
  char small[4] = {};
  EXPECT_EQ(relay::sharedPasswordCallback(small, sizeof small, 0, &state_->questions), 3);
  EXPECT_STREQ(small, "sec");
  state_->questions.rememberPassphrase("");
  EXPECT_EQ(relay::sharedPasswordCallback(buf, sizeof buf, 0, &state_->questions), 0);
}

TEST_F(SharedContext, AllProtocolSwitchesOffAllowNoHandshake) {
  // The old option bits of the three switches, as the configuration report knows them.
  EXPECT_EQ(relay::protocolOptionBits(1, 1, 1), 0u);
  EXPECT_EQ(relay::protocolOptionBits(0, 1, 1), 0x01000000u);
  EXPECT_EQ(relay::protocolOptionBits(1, 0, 1), 0x02000000u);
  EXPECT_EQ(relay::protocolOptionBits(0, 0, 0), 0x07000000u);
  EXPECT_TRUE(handshakeWith(file("server.pem"), file("server.key")));
  settings_.sslEnableSsl2 = 0;
  settings_.sslEnableSsl3 = 0;
  settings_.sslEnableTls1 = 0;
  ASSERT_TRUE(newContext());
  EXPECT_FALSE(handshakeWith(file("server.pem"), file("server.key")));
  // SSL 2.0 and 3.0 do not exist in the library: switching them on brings nothing back.
  settings_.sslEnableSsl2 = 1;
  settings_.sslEnableSsl3 = 1;
  ASSERT_TRUE(newContext());
  EXPECT_FALSE(handshakeWith(file("server.pem"), file("server.key")));
}

TEST_F(SharedContext, CipherListFollowsTheSettingAndABadOneIsLogged) {
  const std::string defaultFirst = SSL_get_cipher_list(newSsl().get(), 0);
  EXPECT_TRUE(applyCiphers());  // unset: library default kept
  EXPECT_EQ(SSL_get_cipher_list(newSsl().get(), 0), defaultFirst);

  // A friendly name stands for its rule, compared exactly; any other text is a rule of its own.
  settings_.sslCipher.set("Strong Only");
  EXPECT_EQ(config::cipherRuleFor("Strong Only"), "ALL:!ADH:+RSA:+HIGH:-LOW:-MEDIUM:-EXP");
  EXPECT_EQ(config::cipherRuleFor("Medium Only (SSLv2)"),
            "ALL:!ADH:+RSA:-SSLv3:+SSLv2:-HIGH:-MEDIUM:-LOW:-EXP");
  EXPECT_EQ(config::cipherRuleFor("strong only"), "strong only");
  EXPECT_TRUE(applyCiphers());
  EXPECT_TRUE(lines().empty());

  settings_.sslCipher.set("NO-SUCH-CIPHER");
  EXPECT_FALSE(applyCiphers());
  const auto entries = sink_.entries();
  ASSERT_GE(entries.size(), 2u);
  EXPECT_EQ(entries[0].text, "error setting cipher list using <NO-SUCH-CIPHER>");
  EXPECT_EQ(entries[0].code, 0x6100u);
  EXPECT_EQ(entries[0].cls, 1u);
  EXPECT_EQ(entries[1].text.rfind("---", 0), 0u) << "the error queue follows";

  // A list that takes effect: a TLS 1.2 handshake uses the one cipher allowed.
  settings_.sslCipher.set("ECDHE-RSA-AES128-GCM-SHA256");
  ASSERT_TRUE(applyCiphers());
  SslPtr server = newSsl();
  SslPtr client = newSsl();
  SSL_set_max_proto_version(client.get(), TLS1_2_VERSION);
  relay::loadCertAndKey(server.get(), &state_->loadedPairs, file("server.pem"), file("server.key"),
                        0);
  ASSERT_TRUE(handshake(client.get(), server.get()));
  EXPECT_STREQ(SSL_get_cipher_name(client.get()), "ECDHE-RSA-AES128-GCM-SHA256");
}

// Every entry the settings sheet offers (the presets, then the context's single ciphers, TLS 1.3
// suites among them) is a text the relay sets; a mix of both kinds sets each kind, and a
// handshake of each version uses the suite named for it.
TEST_F(SharedContext, EveryOfferedCipherTextIsTakenAndAMixSetsBothKinds) {
  std::vector<std::string> offered;
  for (const config::FriendlyCipher& preset : config::friendlyCipherTable) {
    // The library has no medium-strength suite: these two select nothing (the sheet does not
    // offer them), and the relay keeps its list when a store holds one.
    if (std::string(preset.name).rfind("Medium Only", 0) == 0) {
      EXPECT_FALSE(relay::Relay::acceptsCipherText(preset.name));
      continue;
    }
    offered.emplace_back(preset.name);
  }
  for (const std::string& name : relay::contextCipherNames(ctx_.get())) offered.push_back(name);
  ASSERT_GT(offered.size(), 20u);
  for (const std::string& text : offered) {
    EXPECT_TRUE(relay::Relay::acceptsCipherText(text)) << text;
    settings_.sslCipher.set(text);
    ASSERT_TRUE(newContext());
    EXPECT_TRUE(applyCiphers()) << text;
  }
  EXPECT_EQ(countWithCode(0x6100), 0);
  EXPECT_FALSE(relay::Relay::acceptsCipherText("TLS_NO_SUCH_SUITE"));
  EXPECT_FALSE(relay::Relay::acceptsCipherText("ECDHE_RSA"));

  settings_.sslCipher.set("TLS_CHACHA20_POLY1305_SHA256:ECDHE-RSA-AES128-GCM-SHA256");
  ASSERT_TRUE(newContext());
  ASSERT_TRUE(applyCiphers());
  for (int version : {TLS1_2_VERSION, TLS1_3_VERSION}) {
    SslPtr server = newSsl();
    SslPtr client = newSsl();
    SSL_set_max_proto_version(client.get(), version);
    relay::loadCertAndKey(server.get(), &state_->loadedPairs, file("server.pem"),
                          file("server.key"), 0);
    ASSERT_TRUE(handshake(client.get(), server.get()));
    EXPECT_STREQ(SSL_get_cipher_name(client.get()), version == TLS1_3_VERSION
                                                        ? "TLS_CHACHA20_POLY1305_SHA256"
                                                        : "ECDHE-RSA-AES128-GCM-SHA256");
  }
}

TEST_F(SharedContext, CipherNamesAreDistinctAndInOfferOrder) {
  const std::vector<std::string> names = relay::contextCipherNames(ctx_.get());
  ASSERT_FALSE(names.empty());
  EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), names.size());
  EXPECT_EQ(names[0], SSL_get_cipher_list(newSsl().get(), 0));
}

TEST_F(SharedContext, CipherDescriptionsListEveryCipherWithModernFields) {
  relay::logCipherDescriptions(ctx_.get(), "Cipher list");
  const auto entries = sink_.entries();
  ASSERT_FALSE(entries.empty());
  EXPECT_EQ(entries[0].text, "Cipher list");
  EXPECT_EQ(entries[0].code, 0x6001u);
  EXPECT_EQ(countWithCode(0x6104), sk_SSL_CIPHER_num(SSL_get_ciphers(newSsl().get())));
  EXPECT_EQ(count("TLS_AES_256_GCM_SHA384  TLSv1.3 Kx=any      Au=any  Enc=AESGCM(256) "
                  "Mac=AEAD"),
            1);
  EXPECT_EQ(countStarting("ECDHE-RSA-AES256-GCM-SHA384 TLSv1.2 Kx=ECDH     Au=RSA  "
                          "Enc=AESGCM(256) Mac=AEAD"),
            1);

  const SSL_CIPHER* cipher = sk_SSL_CIPHER_value(SSL_get_ciphers(newSsl().get()), 0);
  char shortBuf[relay::kCipherDescriptionSize - 1];
  EXPECT_EQ(relay::describeCipher(cipher, true, shortBuf, sizeof shortBuf), nullptr);
}

TEST_F(SharedContext, ConnectionSummaryNamesVersionRolePeerKeyAndCipher) {
  SslPtr server = newSsl();
  SslPtr client = newSsl();
  relay::loadCertAndKey(server.get(), &state_->loadedPairs, file("server.pem"), file("server.key"),
                        0);
  ASSERT_TRUE(handshake(client.get(), server.get()));
  const auto loopback = platform::IpAddress::ipv4(0x0100007f);  // 127.0.0.1 on this host
  const uint16_t port = 0xfb20;  // 8443 in network byte order on this host
  relay::logConnectionSummary("Incoming", server.get(), 2, loopback, port);
  relay::logConnectionSummary("Outgoing", client.get(), 1, loopback, port);
  std::vector<logging::CollectingSink::Entry> entries;
  for (const auto& e : sink_.entries()) {
    if (e.code == 0x6045) entries.push_back(e);
  }
  ASSERT_EQ(entries.size(), 2u);
  const std::string cipher =
      "TLS_AES_256_GCM_SHA384 TLSv1.3 Kx=any Au=any Enc=AESGCM(256) Mac=AEAD";
  EXPECT_EQ(entries[0].text,
            "Incoming TLSv1.3 server connection to 127.0.0.1.8443. peer key 0 bits. " + cipher);
  EXPECT_EQ(entries[1].text,
            "Outgoing TLSv1.3 client connection to 127.0.0.1.8443. peer key 2048 bits. " + cipher);
}

class SessionCaches : public ssl_test::SslFixture {
 protected:
  static std::string sessionId(const SSL_SESSION* session) {
    if (session == nullptr) return "<none>";
    unsigned int length = 0;
    const unsigned char* id = SSL_SESSION_get_id(session, &length);
    return std::string(reinterpret_cast<const char*>(id), length);
  }
  // A client handshake against a server of the shared context, offering `offer` when given;
  // returns the client's session when it can be resumed.
  SSL_SESSION* connect(SSL_SESSION* offer, int maxVersion, bool* reused) {
    SslPtr server = newSsl();
    SslPtr client = newSsl();
    const unsigned char sid[4] = {0x20, 0xfb, 0, 0};
    SSL_set_session_id_context(server.get(), sid, sizeof sid);
    SSL_set_max_proto_version(client.get(), maxVersion);
    relay::loadCertAndKey(server.get(), &state_->loadedPairs, file("server.pem"),
                          file("server.key"), 0);
    if (offer != nullptr) SSL_set_session(client.get(), offer);
    if (!handshake(client.get(), server.get()) || !serverToClientByte(client.get(), server.get())) {
      return nullptr;
    }
    *reused = SSL_session_reused(client.get()) == 1;
    SSL_SESSION* session = SSL_get1_session(client.get());
    // An object freed without a shutdown takes its session out of use; quiet shutdown only
    // marks both sides done.
    SSL_shutdown(client.get());
    SSL_shutdown(server.get());
    return session;
  }
};

TEST_F(SessionCaches, DestinationCacheStoresLooksUpAndReplacesPerFullKey) {
  relay::DestSessionKey key{0, platform::IpAddress::ipv4(0x0100007f), 0xfb20, "example.test", 0,
                            ""};
  EXPECT_EQ(state_->destSessionCache.lookup(key), nullptr);
  bool reused = false;
  relay::SslSessionPtr first(connect(nullptr, TLS1_2_VERSION, &reused));
  relay::SslSessionPtr second(connect(nullptr, TLS1_2_VERSION, &reused));
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);

  state_->destSessionCache.store(key, first.get());
  EXPECT_EQ(sessionId(state_->destSessionCache.lookup(key).get()), sessionId(first.get()));
  state_->destSessionCache.store(key, second.get());
  EXPECT_EQ(sessionId(state_->destSessionCache.lookup(key).get()), sessionId(second.get()));
  EXPECT_NE(sessionId(first.get()), sessionId(second.get()));

  relay::DestSessionKey verifying = key;
  verifying.verifyServer = 1;
  EXPECT_EQ(state_->destSessionCache.lookup(verifying), nullptr);
  relay::DestSessionKey otherName = key;
  otherName.serverName = "other.test";
  EXPECT_EQ(state_->destSessionCache.lookup(otherName), nullptr);

  relay::SslSessionPtr blank(SSL_SESSION_new());
  state_->destSessionCache.store(otherName, blank.get());
  EXPECT_EQ(state_->destSessionCache.lookup(otherName), nullptr) << "a session that cannot resume";

  // A restart empties the cache, and a connection of the configuration before it that ends
  // afterwards cannot put its session back: it was checked against the old trust.
  state_->destSessionCache.clear(1);
  EXPECT_EQ(state_->destSessionCache.lookup(key), nullptr);
  state_->destSessionCache.store(key, first.get());
  EXPECT_EQ(state_->destSessionCache.lookup(key), nullptr);
  relay::DestSessionKey current = key;
  current.configuration = 1;
  state_->destSessionCache.store(current, first.get());
  EXPECT_NE(state_->destSessionCache.lookup(current), nullptr);
}

TEST_F(SessionCaches, SavedSessionsAreResumedWithEitherTlsVersion) {
  for (int version : {TLS1_2_VERSION, TLS1_3_VERSION}) {
    SCOPED_TRACE(version);
    const relay::DestSessionKey key{0, platform::IpAddress::ipv4(0x0100007f), 0xfb20, "", 0, ""};
    bool reused = true;
    relay::SslSessionPtr made(connect(nullptr, version, &reused));
    ASSERT_NE(made, nullptr);
    EXPECT_FALSE(reused);
    state_->destSessionCache.store(key, made.get());
    relay::SslSessionPtr saved = state_->destSessionCache.lookup(key);
    ASSERT_NE(saved, nullptr);
    relay::SslSessionPtr again(connect(saved.get(), version, &reused));
    ASSERT_NE(again, nullptr);
    EXPECT_TRUE(reused);
  }
}

TEST_F(SessionCaches, FlushEmptiesTheServerCache) {
  // Without tickets the server can resume only from its own cache.
  relay::SslCtxPtr ctx = context();
  SSL_CTX_set_options(ctx.get(), SSL_OP_NO_TICKET);
  bool reused = false;
  relay::SslSessionPtr made(connect(nullptr, TLS1_2_VERSION, &reused));
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(SSL_CTX_sess_number(ctx.get()), 1);
  relay::SslSessionPtr again(connect(made.get(), TLS1_2_VERSION, &reused));
  EXPECT_TRUE(reused);
  relay::flushServerSessions(ctx.get());
  EXPECT_EQ(SSL_CTX_sess_number(ctx.get()), 0);
  relay::SslSessionPtr after(connect(made.get(), TLS1_2_VERSION, &reused));
  ASSERT_NE(after, nullptr);
  EXPECT_FALSE(reused);
}

}  // namespace
