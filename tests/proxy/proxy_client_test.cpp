// The proxy response reader on crafted inputs, the scheme choice and authorization lines, and
// whole exchanges against a scripted proxy on 127.0.0.1.
#include "proxy/proxy_client.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/net.h"
#include "proxy/base64.h"
#include "proxy/proxy_response.h"
#include "support/scripted_proxy.h"

// The NTLMSSP mechanism (gss-ntlmssp 1.2 with OpenSSL 3) loses about 6 KB of libcrypto objects in
// each password credential it makes. Full stack walks let the leak checker name that library, so
// that it is told apart from leaks of ours.
extern "C" const char* __asan_default_options() { return "fast_unwind_on_malloc=0"; }
extern "C" const char* __lsan_default_suppressions() { return "leak:gssntlmssp.so\n"; }

namespace proxy {
namespace {

using test_support::ScriptedProxy;

ProxyResponse readAll(const std::string& bytes, const std::string& scheme = "",
                      HeaderState* state = nullptr) {
  ResponseHeaderReader reader(scheme);
  HeaderState s = HeaderState::kNeedMore;
  for (char c : bytes) s = reader.feed(&c, 1);  // byte by byte: the worst split
  if (state != nullptr) *state = s;
  return reader.response();
}

TEST(ResponseHeaderReader, ReadsStatusSchemesLengthAndKeepAlive) {
  HeaderState state;
  const ProxyResponse r = readAll(
      "HTTP/1.1   407 Proxy Authentication Required\r\n"
      "proxy-authenticate: Basic realm=\"x\"\r\n"
      "Proxy-Authenticate: NTLM\r\n"
      "Proxy-Authenticate: Negotiate\r\n"
      "CONTENT-LENGTH: 120\r\n"
      "Proxy-Connection: keep-alive\r\n\r\nbody",
      "", &state);
  EXPECT_EQ(state, HeaderState::kComplete);
  EXPECT_EQ(r.status, 407);
  EXPECT_EQ(r.schemes, (std::vector<std::string>{"BASIC", "NTLM", "Negotiate"}));
  EXPECT_EQ(r.bodyLength, 120);
  EXPECT_TRUE(r.keepAlive);
  EXPECT_EQ(r.extra, "body");
}

TEST(ResponseHeaderReader, KeepsOnlyTheChallengeOfTheSchemeUnderWay) {
  const ProxyResponse r = readAll(
      "HTTP/1.0 407 x\r\nProxy-Authenticate: NTLM TlRMTVNTUAACAAAA\r\n"
      "Proxy-Authenticate: Basic realm=\"x\"\r\n\r\n",
      "NTLM");
  EXPECT_EQ(r.challenge, "TlRMTVNTUAACAAAA");
  EXPECT_TRUE(r.schemes.empty());
}

TEST(ResponseHeaderReader, BoundsTheHeaderAndTheSchemeList) {
  HeaderState state;
  readAll("HTTP/1.0 200 OK\r\nX: " + std::string(9000, 'a') + "\r\n\r\n", "", &state);
  EXPECT_EQ(state, HeaderState::kTooLarge);
  std::string many = "HTTP/1.0 407 x\r\n";
  for (int i = 0; i < 100; ++i) many += "Proxy-Authenticate: Scheme" + std::to_string(i) + "\r\n";
  const ProxyResponse r = readAll(many + "\r\n");
  size_t bytes = 1;
  for (const std::string& s : r.schemes) bytes += s.size() + 1;
  EXPECT_LE(bytes, kMaxSchemeListBytes);
  EXPECT_GT(r.schemes.size(), 10u);
}

TEST(ResponseHeaderReader, OddValuesStayHarmless) {
  EXPECT_EQ(readAll("garbage\r\n\r\n").status, 0);
  EXPECT_EQ(readAll("HTTP/1.0 200\r\nContent-Length: -5\r\n\r\n").bodyLength, -1);
  EXPECT_EQ(readAll("HTTP/1.0 200\r\nContent-Length: 99999999999999999999\r\n\r\n").bodyLength, -1);
  EXPECT_EQ(readAll("HTTP/1.0 99999999999999 x\r\n\r\n").status, 999999999);
}

TEST(ChooseAuthScheme, FollowsThePreferenceAndDropsTheUnknown) {
  std::string package = "stale";
  std::vector<std::string> offered = {"Digest realm=x", "BASIC", "NTLM"};
  ASSERT_TRUE(chooseAuthScheme(&offered, kSchemePreference, &package));
  EXPECT_EQ(offered.front(), "NTLM");  // gss-ntlmssp is installed on the test hosts
  EXPECT_EQ(package, "");
  offered = {"BASIC", "Bogus"};
  ASSERT_TRUE(chooseAuthScheme(&offered, kSchemePreference));
  EXPECT_EQ(offered, std::vector<std::string>{"BASIC"});
  offered = {"Bogus", "Digest"};
  EXPECT_FALSE(chooseAuthScheme(&offered, kSchemePreference));
  EXPECT_TRUE(offered.empty());
  offered = {"Negotiate", "BASIC"};  // the standing list never picks Negotiate
  ASSERT_TRUE(chooseAuthScheme(&offered, kSchemePreference, &package));
  EXPECT_EQ(offered.front(), "BASIC");
  // Negotiate by its name goes through SPNEGO; "Kerberos" answers the same offer by itself.
  offered = {"BASIC", "NTLM", "Negotiate"};
  ASSERT_TRUE(chooseAuthScheme(&offered, "Negotiate,NTLM,BASIC", &package));
  EXPECT_EQ(offered.front(), "Negotiate");
  EXPECT_EQ(package, "");
  offered = {"BASIC", "Negotiate"};
  ASSERT_TRUE(chooseAuthScheme(&offered, "kerberos,NTLM,BASIC", &package));
  EXPECT_EQ(offered.front(), "Negotiate");
  EXPECT_EQ(package, "Kerberos");
  offered = {"Negotiate", "Kerberos"};  // a proxy that offers it by name gets it by name
  ASSERT_TRUE(chooseAuthScheme(&offered, "Kerberos", &package));
  EXPECT_EQ(offered.front(), "Kerberos");
  EXPECT_EQ(package, "");
}

TEST(UsableSchemePreference, KeepsKnownNamesInOrderAndFallsBackWhenNoneIsLeft) {
  std::vector<std::string> skipped;
  bool fellBack = true;
  EXPECT_EQ(usableSchemePreference(" negotiate , Digest,NTLM,,\tBasic ", &skipped, &fellBack),
            "negotiate,NTLM,Basic");
  EXPECT_EQ(skipped, std::vector<std::string>{"Digest"});
  EXPECT_FALSE(fellBack);
  skipped.clear();
  EXPECT_EQ(usableSchemePreference("Digest,Kerberos5", &skipped, &fellBack), "NTLM,BASIC");
  EXPECT_EQ(skipped, (std::vector<std::string>{"Digest", "Kerberos5"}));
  EXPECT_TRUE(fellBack);
  EXPECT_EQ(usableSchemePreference(",", nullptr, &fellBack), "NTLM,BASIC");
  EXPECT_TRUE(fellBack);
  // Many short names before the last one: every name is read, however the text shrinks.
  EXPECT_EQ(usableSchemePreference("a,b,c,d,e,f,NTLM", nullptr, &fellBack), "NTLM");
  EXPECT_FALSE(fellBack);
}

TEST(AddProxyAuthorization, BasicOnceAndOnlyWithAUser) {
  AuthState state;
  std::string request;
  EXPECT_TRUE(addProxyAuthorization(&request, &state, "", "", "alice", "secret"));
  EXPECT_EQ(request, "");
  EXPECT_TRUE(addProxyAuthorization(&request, &state, "BASIC", "", "alice", "secret"));
  EXPECT_EQ(request, "Proxy-Authorization: Basic YWxpY2U6c2VjcmV0\r\n");
  EXPECT_FALSE(addProxyAuthorization(&request, &state, "BASIC", "", "alice", "secret"));
  EXPECT_EQ(state.lastError, platform::kAuthAccessDenied);
  AuthState none;
  EXPECT_FALSE(addProxyAuthorization(&request, &none, "Basic", "", "", "secret"));
}

TEST(AddProxyAuthorization, NtlmStartsWithANegotiateMessageAndNeedsAChallenge) {
  AuthState state;
  state.targetHost = "proxy.test";
  std::string request;
  ASSERT_TRUE(addProxyAuthorization(&request, &state, "NTLM", "", "CORP\\alice", "secret"))
      << state.lastError;
  ASSERT_EQ(request.rfind("Proxy-Authorization: NTLM ", 0), 0u) << request;
  const std::vector<uint8_t> token = base64Decode(request.substr(26));
  ASSERT_GE(token.size(), 12u);
  EXPECT_EQ(std::string(token.begin(), token.begin() + 8), std::string("NTLMSSP\0", 8));
  EXPECT_EQ(token[8], 1);  // the negotiate message
  EXPECT_FALSE(addProxyAuthorization(&request, &state, "NTLM", "", "CORP\\alice", "secret"));
  EXPECT_EQ(state.lastError, platform::kAuthAccessDenied);
  // A challenge that is not Base64 fails the step, not the process.
  EXPECT_FALSE(addProxyAuthorization(&request, &state, "NTLM", "!!!", "CORP\\alice", "secret"));
  EXPECT_EQ(state.lastError, platform::kAuthInvalidParameter);
  EXPECT_FALSE(addProxyAuthorization(&request, &state, "NTLM", "AAAA", "CORP\\alice", "secret"));
}

TEST(SplitUserName, DomainAndUser) {
  std::string domain;
  std::string user;
  ASSERT_TRUE(splitUserName("CORP\\alice", &domain, &user));
  EXPECT_EQ(domain, "CORP");
  EXPECT_EQ(user, "alice");
  ASSERT_TRUE(splitUserName("CORP/alice", &domain, &user));
  EXPECT_EQ(user, "alice");
  ASSERT_TRUE(splitUserName("alice", &domain, &user));
  EXPECT_EQ(domain, platform::computerName());
  EXPECT_LE(domain.size(), 15u);
  EXPECT_FALSE(splitUserName("CORP\\", &domain, &user));
  EXPECT_FALSE(splitUserName("CORP\\\\alice", &domain, &user));
}

TEST(BuildConnectRequest, ExactLines) {
  EXPECT_EQ(buildConnectRequest("h.test", 443, false),
            "CONNECT h.test:443 HTTP/1.0\r\nUser-Agent: BKL-Reg\r\nPragma: No-Cache\r\n");
  EXPECT_EQ(buildConnectRequest("h", 1, true),
            "CONNECT h:1 HTTP/1.0\r\nUser-Agent: BKL-Reg\r\nPragma: No-Cache\r\n"
            "Proxy-Connection: Keep-Alive\r\n");
}

ProxyTarget targetOf(const ScriptedProxy& proxy) {
  ProxyTarget t;
  t.proxyHost = "127.0.0.1";
  t.proxyPort = proxy.port();
  t.host = "dest.test";
  t.port = 443;
  t.user = "alice";
  t.password = "secret";
  t.timeoutMs = 3000;
  return t;
}

TEST(ProxyConnect, OpenProxySeesOneRequestAndTheTunnelKeepsEarlyBytes) {
  ScriptedProxy proxy({"HTTP/1.0 200 Connection established\r\n\r\nSSH-2.0-banner"});
  platform::UniqueFd slot;
  std::string early;
  EXPECT_EQ(proxyConnect(&slot, targetOf(proxy), &early), 200);
  EXPECT_TRUE(slot.valid());
  EXPECT_EQ(early, "SSH-2.0-banner");
  slot.reset();
  ASSERT_EQ(proxy.requests.size(), 1u);
  EXPECT_EQ(proxy.requests[0], buildConnectRequest("dest.test", 443, false) + "\r\n");
}

TEST(ProxyConnect, BasicAfterADiscardedBodyOnTheSameConnection) {
  const std::string body(120, 'b');
  ScriptedProxy proxy(
      {"HTTP/1.0 407 Auth\r\nProxy-Authenticate: Basic realm=\"r\"\r\n"
       "Content-Length: 120\r\nProxy-Connection: Keep-Alive\r\n\r\n" +
           body,
       "HTTP/1.0 200 OK\r\n\r\n"});
  platform::UniqueFd slot;
  std::string early;
  EXPECT_EQ(proxyConnect(&slot, targetOf(proxy), &early), 200);
  EXPECT_EQ(early, "");
  slot.reset();
  ASSERT_EQ(proxy.requests.size(), 2u);
  EXPECT_EQ(proxy.connections, 1);
  EXPECT_NE(proxy.requests[1].find("Proxy-Connection: Keep-Alive\r\n"), std::string::npos);
  EXPECT_NE(proxy.requests[1].find("Proxy-Authorization: Basic YWxpY2U6c2VjcmV0\r\n"),
            std::string::npos);
}

TEST(ProxyConnect, BasicRefusedTwiceEndsWith407AndAReconnectPerClose) {
  const std::string refuse = "HTTP/1.0 407 Auth\r\nProxy-Authenticate: Basic realm=\"r\"\r\n\r\n";
  ScriptedProxy proxy({refuse, refuse});
  platform::UniqueFd slot;
  std::string early;
  EXPECT_EQ(proxyConnect(&slot, targetOf(proxy), &early), 407);
  EXPECT_FALSE(slot.valid());
}

TEST(ProxyConnect, UnsupportedSchemesOversizedHeadersAndLyingLengths) {
  {
    ScriptedProxy proxy({"HTTP/1.0 407 x\r\nProxy-Authenticate: Digest realm=x\r\n\r\n"});
    platform::UniqueFd slot;
    std::string early;
    EXPECT_EQ(proxyConnect(&slot, targetOf(proxy), &early), 407);
  }
  {
    ScriptedProxy proxy({"HTTP/1.0 200 OK\r\nX: " + std::string(9000, 'x') + "\r\n\r\n"});
    platform::UniqueFd slot;
    std::string early;
    EXPECT_EQ(proxyConnect(&slot, targetOf(proxy), &early), -1);
    EXPECT_FALSE(slot.valid());
  }
  {
    // The body is shorter than announced and the proxy then waits: the exchange's one time-out
    // runs out, and it ends without a tunnel instead of hanging.
    ScriptedProxy proxy(
        {"HTTP/1.0 407 x\r\nProxy-Authenticate: Basic\r\nContent-Length: 500\r\n"
         "Proxy-Connection: Keep-Alive\r\n\r\nshort",
         "HTTP/1.0 200 OK\r\n\r\n"});
    platform::UniqueFd slot;
    std::string early;
    ProxyTarget target = targetOf(proxy);
    target.timeoutMs = 300;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_NE(proxyConnect(&slot, target, &early), 200);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_FALSE(slot.valid());
  }
}

TEST(ProxyConnect, RefusesHostsThatWouldSplitTheRequestLine) {
  ProxyTarget target;
  target.proxyHost = "127.0.0.1";
  target.host = "a\r\nX: y";
  platform::UniqueFd slot;
  std::string early;
  EXPECT_EQ(proxyConnect(&slot, target, &early), -1);
}

}  // namespace
}  // namespace proxy
