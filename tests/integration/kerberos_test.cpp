// Kerberos and Negotiate to an upstream proxy against a real realm: an MIT KDC and squid with its
// Kerberos helper, both on 127.0.0.1, the relay's browser rule between curl and openssl s_server.
#include <gtest/gtest.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <thread>

#include "daemon_test.h"
#include "proxy/proxy_client.h"
#include "proxy_peers.h"
#include "support/scripted_proxy.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizers' own count (their allocator leaves mallinfo2 empty).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace itest {
namespace {

// Heap bytes in use now (freed blocks waiting in a sanitizer's quarantine do not count).
size_t heapInUse() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return __sanitizer_get_current_allocated_bytes();
#else
  return mallinfo2().uordblks;
#endif
}

class Kerberos : public DaemonTest {
 protected:
  void SetUp() override {
    DaemonTest::SetUp();
    kdc_ = std::make_unique<Kdc>(dir_.path(), dir_.file("http.keytab"));
    ASSERT_TRUE(kdc_->ready()) << readFile(dir_.file("kdb5_util.out"))
                               << readFile(dir_.file("krb5kdc.out"));
    squidPort_ = freePort();
    squid_ = startSquid(dir_.path(), squidPort_, SquidAuth::kNegotiate, kdc_->env());
    ASSERT_TRUE(waitForPort(squidPort_)) << readFile(dir_.file("squid.out"));
    tls_ = freePort();
    server_ = opensslServer(tls_, {"-www"});
    daemonEnv_ = kdc_->env();
    daemonEnv_["KRB5CCNAME"] = "FILE:" + dir_.file("alice.ccache");
  }

  // The browser rule on a free port, through squid named `proxyHost`; returns the port.
  uint16_t browserRule(const std::string& user, const std::string& password,
                       const std::string& proxyHost = "localhost") {
    const uint16_t port = freePort();
    listenRule(1, port,
               {{"https.proxy.server", proxyHost},
                {"https.proxy.port", std::to_string(squidPort_)},
                {"https.proxy.user", user},
                {"https.proxy.user.pass", password}},
               {{"connect.type", 2}, {"https.proxy.enable", 1}, {"https.proxy.useNTLM", 1}});
    return port;
  }

  // curl through the relay on `port` to the TLS server; true when the page came back.
  bool pageThrough(uint16_t port, const std::string& name) {
    const int rc = run({"curl", "-s", "-S", "--max-time", "20", "-o", dir_.file(name + ".out"),
                        "-x", "http://127.0.0.1:" + std::to_string(port), "--cacert", pem("ca"),
                        "https://127.0.0.1:" + std::to_string(tls_) + "/"},
                       dir_.file(name + ".err"));
    return rc == 0 && readFile(dir_.file(name + ".out")).find("s_server") != std::string::npos;
  }

  std::string accessLog() { return readFile(dir_.file("access.log")); }

  std::unique_ptr<Kdc> kdc_;
  uint16_t squidPort_ = 0;
  Process squid_;
  uint16_t tls_ = 0;
  Process server_;
};

// With alice's password, one tunnel and then two at once; then, with no user and no password,
// the ticket she got from kinit (single sign-on).
TEST_F(Kerberos, APasswordOrTheTicketCacheOpensTunnels) {
  store_->setting("proxy.auth.preference", "Negotiate,NTLM,BASIC");
  // The domain part names the realm, in capitals.
  uint16_t port = browserRule("bkl.test\\alice", "secret");
  Daemon& d = startDaemon();
  ASSERT_TRUE(waitForPort(port));
  ASSERT_TRUE(pageThrough(port, "first")) << readFile(dir_.file("first.err")) << d.log();
  EXPECT_TRUE(waitForText(dir_.file("access.log"), " alice@BKL.TEST ")) << accessLog();
  bool fetched[2] = {false, false};
  std::thread browsers[2];
  for (int i = 0; i < 2; ++i) {
    browsers[i] =
        std::thread([&, i] { fetched[i] = pageThrough(port, "both" + std::to_string(i)); });
  }
  for (std::thread& t : browsers) t.join();
  EXPECT_TRUE(fetched[0] && fetched[1]) << d.log();
  EXPECT_TRUE(waitForText(dir_.file("access.log"), " alice@BKL.TEST ", 10s, 3)) << accessLog();
  EXPECT_EQ(countText(d.log(), "step failed"), 0) << d.log();

  ASSERT_TRUE(kdc_->kinit(dir_.file("alice.ccache")));
  store_->setting("proxy.auth.preference", "Kerberos,NTLM,BASIC");
  port = browserRule("", "");
  Daemon& sso = startDaemon();
  ASSERT_TRUE(waitForPort(port));
  ASSERT_TRUE(pageThrough(port, "sso")) << readFile(dir_.file("sso.err")) << sso.log();
  EXPECT_TRUE(waitForText(dir_.file("access.log"), " alice@BKL.TEST ", 10s, 4)) << accessLog();
}

TEST_F(Kerberos, EachRefusalIsToldWithTheMechanismsOwnText) {
  store_->setting("proxy.auth.preference", "Kerberos,NTLM,BASIC");
  struct Case {
    std::string user, password, proxyHost, told;
    bool clockAhead = false;  // the relay's clock two hours ahead of the realm's
  };
  const Case cases[] = {
      {"alice", "wrong", "localhost", "Cannot acquire Kerberos credentials: "},
      {"bob", "secret", "localhost", "Client 'bob@BKL.TEST' not found in Kerberos database"},
      {"", "", "localhost", "No Kerberos credentials available"},
      {"alice", "secret", "127.0.0.1", "Kerberos needs the proxy's host name: <127.0.0.1> is an"},
      {"alice", "secret", "localhost", "Clock skew too great", true},
  };
  const std::map<std::string, std::string> realm = daemonEnv_;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.told);
    const uint16_t port = browserRule(c.user, c.password, c.proxyHost);
    daemonEnv_ = realm;
    if (c.clockAhead) {
      // Wall-clock time only: the relay's time-outs keep the real monotonic clock.
      daemonEnv_["LD_PRELOAD"] = "/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1";
      daemonEnv_["FAKETIME"] = "+2h";
      daemonEnv_["FAKETIME_DONT_FAKE_MONOTONIC"] = "1";
      // AddressSanitizer wants its runtime first among the libraries; the preload comes before it.
      const char* asan = std::getenv("ASAN_OPTIONS");
      daemonEnv_["ASAN_OPTIONS"] =
          std::string(asan != nullptr ? asan : "") + ":verify_asan_link_order=0";
    }
    Daemon& d = startDaemon();
    ASSERT_TRUE(waitForPort(port));
    EXPECT_EQ(askForTunnel(port), kUnauthorizedPage) << d.log();
    EXPECT_TRUE(d.waitForLog(c.told)) << d.log();
    EXPECT_TRUE(d.waitForLog("Error: You don't have the rights to use the proxy server."))
        << d.log();
  }
  // A wrong password says why in the mechanism's words.
  EXPECT_NE(readFile(dir_.file("relay-1.log")).find("Preauthentication failed"), std::string::npos)
      << readFile(dir_.file("relay-1.log"));
  // The address cannot name a service ticket: the KDC has none for it.
  EXPECT_NE(readFile(dir_.file("relay-4.log")).find("Kerberos step failed: "), std::string::npos)
      << readFile(dir_.file("relay-4.log"));
}

TEST_F(Kerberos, TheStandingListAndAnUnusableOneFallBackToBasic) {
  uint16_t port = browserRule("alice", "secret");
  Daemon& first = startDaemon();
  ASSERT_TRUE(waitForPort(port));
  ASSERT_TRUE(pageThrough(port, "basic")) << first.log();
  EXPECT_TRUE(waitForText(dir_.file("access.log"), " alice HIER_")) << accessLog();
  store_->setting("proxy.auth.preference", "Digest, Kerberos5");
  store_->setting("log.debug", 1u);
  store_->setting("show.settings", 1u);
  port = browserRule("alice", "secret");
  Daemon& d = startDaemon();
  EXPECT_TRUE(d.waitForLog("proxy :- authentication preference <Digest, Kerberos5>")) << d.log();
  EXPECT_TRUE(
      d.waitForLog("The proxy.auth.preference name <Digest> is none of Negotiate, "
                   "Kerberos, NTLM and Basic: it is skipped"))
      << d.log();
  EXPECT_TRUE(
      d.waitForLog("The proxy.auth.preference <Digest, Kerberos5> names no scheme this "
                   "relay knows: <NTLM,BASIC> serves"))
      << d.log();
  ASSERT_TRUE(waitForPort(port));
  ASSERT_TRUE(pageThrough(port, "fallback")) << d.log();
  EXPECT_TRUE(waitForText(dir_.file("access.log"), " alice HIER_", 10s, 2)) << accessLog();
  EXPECT_EQ(countText(accessLog(), "alice@"), 0) << accessLog();
}

// In this process, against the same realm: a proxy whose answer to the Kerberos token is not a
// token; credentials kept for later exchanges (one ticket from the KDC for many tunnels); and
// refused exchanges that leave the heap as they found it.
TEST_F(Kerberos, BadTokensKeptCredentialsAndRefusalsKeepNothing) {
  ::setenv("KRB5_CONFIG", kdc_->env().at("KRB5_CONFIG").c_str(), 1);
  ::setenv("KRB5CCNAME", ("FILE:" + dir_.file("none.ccache")).c_str(), 1);
  proxy::ProxyTarget target;
  target.proxyHost = "localhost";
  target.host = "127.0.0.1";
  target.port = tls_;
  target.user = "alice";
  target.password = "secret";
  target.timeoutMs = 5000;
  target.preference = "Negotiate,NTLM,BASIC";
  platform::UniqueFd slot;
  std::string early;
  {
    test_support::ScriptedProxy proxy(
        {"HTTP/1.0 407 x\r\nProxy-Authenticate: Negotiate\r\nProxy-Connection: Keep-Alive\r\n\r\n",
         "HTTP/1.0 407 x\r\nProxy-Authenticate: Negotiate b3JkaW5hcnkgdGV4dA==\r\n"
         "Proxy-Connection: Keep-Alive\r\n\r\n"});
    target.proxyPort = proxy.port();  // already in network order
    EXPECT_EQ(proxy::proxyConnect(&slot, target, &early), 407);
    EXPECT_FALSE(slot.valid());
    ASSERT_EQ(proxy.requests.size(), 2u);
    EXPECT_NE(proxy.requests[1].find("Proxy-Authorization: Negotiate "), std::string::npos);
  }

  // AddressSanitizer records a stack for every allocation the Kerberos libraries make, a quarter
  // of a second per acquisition: its build counts fewer.
#if defined(__SANITIZE_ADDRESS__)
  constexpr int kAttempts = 40;
#else
  constexpr int kAttempts = 500;
#endif
  target.proxyPort = htons(squidPort_);
  platform::KeptCredentials kept;
  target.credentials = &kept;
  // Tickets the KDC has granted alice (a refusal for want of pre-authentication is not one).
  const auto issued = [&] {
    const std::string log = readFile(dir_.file("kdc.log"));
    int granted = 0;
    for (size_t at = 0, end = 0; at < log.size(); at = end + 1) {
      end = std::min(log.find('\n', at), log.size());
      const std::string_view line(log.data() + at, end - at);
      granted += line.find("AS_REQ") != line.npos && line.find(" ISSUE: ") != line.npos &&
                 line.find("alice@BKL.TEST for krbtgt/") != line.npos;
    }
    return granted;
  };
  const int before = issued();
  int opened = 0;
  for (int i = 0; i < 10; ++i) {
    opened += proxy::proxyConnect(&slot, target, &early) == 200;
    slot.reset();
  }
  EXPECT_EQ(opened, 10);
  EXPECT_EQ(issued(), before + 1) << readFile(dir_.file("kdc.log"));
  EXPECT_EQ(kept.size(), 1u);
  EXPECT_TRUE(waitForText(dir_.file("access.log"), " alice@BKL.TEST ", 10s, 10)) << accessLog();
  // A spoilt credential goes: Clear Keys empties the set, and the next tunnel asks the KDC again.
  kept.clear();
  EXPECT_EQ(proxy::proxyConnect(&slot, target, &early), 200);
  slot.reset();
  EXPECT_EQ(issued(), before + 2);

  // Squid refuses a wrong password; the Kerberos package alone, then Negotiate with NTLM inside.
  target.password = "wrong";
  for (const char* preference : {"Kerberos", "Negotiate"}) {
    target.preference = preference;
    for (int i = 0; i < 10; ++i) proxy::proxyConnect(&slot, target, &early);  // caches settle
    const size_t heapBefore = heapInUse();
    const auto started = std::chrono::steady_clock::now();
    int refused = 0;
    for (int i = 0; i < kAttempts; ++i) {
      refused += proxy::proxyConnect(&slot, target, &early) == 407;
    }
    const long grown = static_cast<long>(heapInUse()) - static_cast<long>(heapBefore);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - started);
    std::printf("%s: %d refused exchanges in %lld ms, heap %+ld bytes\n", preference, kAttempts,
                static_cast<long long>(ms.count()), grown);
    EXPECT_EQ(refused, kAttempts) << preference;
    RecordProperty(std::string(preference) + "HeapGrowth", std::to_string(grown));
    // Negotiate keeps what the NTLM mechanism inside it loses at each exchange with a password (a
    // crypto provider loaded into a library context of its own and never unloaded, some 6 KiB);
    // the Kerberos package alone keeps nothing.
    if (std::string(preference) == "Kerberos") {
      EXPECT_LT(grown, 16 * 1024);
    }
  }
  ::unsetenv("KRB5_CONFIG");
  ::unsetenv("KRB5CCNAME");
}

}  // namespace
}  // namespace itest
