// The fetcher's source loop, its cycle and the start and stop of the fetcher thread.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <future>

#include "security/crl_ldap_fixture.h"
#include "security/crl_store.h"

namespace ldap_test {
namespace {

using Clock = std::chrono::steady_clock;

// A listening socket on 127.0.0.1; counts and optionally serves the connections it accepts.
class Listener {
 public:
  Listener() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && listen(fd_, 4) == 0 &&
        getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &length) == 0) {
      port_ = ntohs(addr.sin_port);
    }
  }
  ~Listener() { close(fd_); }
  uint16_t port() const { return port_; }
  bool pending(int ms) const {
    pollfd p{fd_, POLLIN, 0};
    return poll(&p, 1, ms) == 1;
  }
  // Answers one bind with success, then sends the start of a search entry and closes.
  void serveHalfASearch() {
    if (!pending(10000)) return;
    const int c = accept(fd_, nullptr, nullptr);
    unsigned char request[512];
    if (readRequest(c, request, sizeof request) > 4) {
      const unsigned char bound[] = {0x30, 0x0c, 0x02, 0x01, request[4], 0x61, 0x07,
                                     0x0a, 0x01, 0x00, 0x04, 0x00,       0x04, 0x00};
      send(c, bound, sizeof bound, MSG_NOSIGNAL);
      if (readRequest(c, request, sizeof request) > 4) {
        const unsigned char partial[] = {0x30, 0x82, 0x01, 0x00, 0x02, 0x01, request[4], 0x64,
                                         0x81, 0xf0, 0x04, 0x06, 'c',  'n',  '='};
        send(c, partial, sizeof partial, MSG_NOSIGNAL);
      }
    }
    close(c);
  }

 private:
  static ssize_t readRequest(int c, unsigned char* buffer, size_t size) {
    pollfd p{c, POLLIN, 0};
    if (poll(&p, 1, 10000) != 1) return -1;
    return recv(c, buffer, size, 0);
  }
  int fd_ = -1;
  uint16_t port_ = 0;
};

const char* const kCyclePrefix = "Current CRL reload via ldap cycle time is: ";

class SourceLoop : public LdapFixture {
 protected:
  int fetchAll() { return ldap_fetch_sources(platform::Hive::kCurrentUser, kLdapKey, store_); }
  // The cycle line's text up to the time, and its source name.
  int countCycles(const std::string& counts, const std::string& name) const {
    int n = 0;
    for (const auto& line : lines()) {
      n += line.rfind(kCyclePrefix + counts + " time <", 0) == 0 && line.size() > name.size() + 2 &&
                   line.compare(line.size() - name.size() - 2, std::string::npos,
                                "<" + name + ">") == 0
               ? 1
               : 0;
    }
    return n;
  }
};

TEST_F(SourceLoop, MissingKeyLogsOneLineAndTakesUpNothing) {
  EXPECT_EQ(fetchAll(), 0);
  EXPECT_EQ(lines(), std::vector<std::string>{"ldap: read reg failed "});
  EXPECT_EQ(sink_.entries()[0].code, 0x7000u);
}

TEST_F(SourceLoop, SourcesAreTakenUpInOrderWithDetailsAndDefaults) {
  Slapd slapd(Schema::kStandard);
  ASSERT_TRUE(slapd.ok() && slapd.addBase());
  ASSERT_TRUE(slapd.addCrlEntry(
      "ca2", ldifBinary("certificateRevocationList;binary", Pki::get().der("ca2.der"))));
  platform::RegKey first = writeSource("first", source(slapd.port(), 1));
  setDword(first, "display.details", 1);
  platform::RegKey second;
  ASSERT_EQ(platform::regCreateKey(platform::Hive::kCurrentUser, std::string(kLdapKey) + "\\second",
                                   &second),
            0);
  setDword(second, "display.details", 1);
  setDword(second, "port", 0);
  EXPECT_EQ(fetchAll(), 2);
  const std::string details1 =
      "ldap: reg memonic : <first> server <127.0.0.1> port <" + std::to_string(slapd.port()) +
      "> user <cn=admin,o=test> pass <***> search dn <o=test> filter <(objectClass=*)> dump "
      "path <(null)> dump to file ?<0> detail display ? <1> cycle time <0> resolution<1> "
      "ldapversion <3>";
  const std::string details2 =
      "ldap: reg memonic : <second> server <(null)> port <0> user <(null)> pass <(null)> search "
      "dn <(null)> filter <(null)> dump path <(null)> dump to file ?<0> detail display ? <1> "
      "cycle time <0> resolution<1> ldapversion <2>";
  const auto all = lines();
  ASSERT_GE(all.size(), 4u);
  EXPECT_EQ(all[0], details1);
  // The fetch found one CRL (result 1): the store is listed.
  EXPECT_EQ(all[1].rfind("CRL. ca: </CN=Fetch_CA_Two> hash:<", 0), 0u) << all[1];
  EXPECT_EQ(countCycles("(0*1) <0> seconds.", "first"), 1);
  EXPECT_EQ(count(details2), 1);
  // The second source has no server: no session, result 1, listed again.
  EXPECT_EQ(countPrefix("CRL. ca: </CN=Fetch_CA_Two>"), 2);
  EXPECT_EQ(countCycles("(0*1) <0> seconds.", "second"), 1);
  EXPECT_EQ(all.back().rfind(kCyclePrefix, 0), 0u);
  EXPECT_TRUE(allLdapLinesUseTheirCode());
}

TEST_F(SourceLoop, FailedBindWithDetailsListsTheStore) {
  Slapd slapd(Schema::kStandard);
  ASSERT_TRUE(slapd.ok());
  const std::string der = Pki::get().der("ca2.der");
  const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
  X509_CRL* crl = d2i_X509_CRL(nullptr, &p, static_cast<long>(der.size()));
  ASSERT_EQ(crl_store_replace(store_, crl), 1);
  X509_CRL_free(crl);
  auto s = source(slapd.port(), 1);
  s.pw = "wrong";
  setDword(writeSource("badpw", s), "display.details", 1);
  EXPECT_EQ(fetchAll(), 1);
  EXPECT_EQ(count("LDAP: fails ldap_simple_bind_s"), 1);
  EXPECT_EQ(countPrefix("CRL. ca: </CN=Fetch_CA_Two>"), 1);
}

TEST_F(SourceLoop, CycleFetchesAgainAndMovesOnOnceSetToZero) {
  Slapd slapd(Schema::kStandard);
  ASSERT_TRUE(slapd.ok() && slapd.addBase());
  ASSERT_TRUE(slapd.addCrlEntry(
      "ca1", ldifBinary("certificateRevocationList;binary", Pki::get().der("ca1-first.der"))));
  platform::RegKey cycling = writeSource("cycling", source(slapd.port(), 1));
  setDword(cycling, "cycle.time", 1);
  writeSource("after", source(slapd.port(), 1));
  auto loop = std::async(std::launch::async, [this] { return fetchAll(); });
  ASSERT_TRUE(waitForPrefix(kCyclePrefix, 1));
  EXPECT_TRUE(holds("ca1-first.der"));
  ASSERT_TRUE(slapd.modify(
      "dn: cn=ca1,o=test\nchangetype: modify\nreplace: "
      "certificateRevocationList;binary\n" +
      ldifBinary("certificateRevocationList;binary", Pki::get().der("ca1-revoking.der"))));
  ASSERT_TRUE(waitForPrefix(kCyclePrefix, 3));
  EXPECT_TRUE(holds("ca1-revoking.der"));  // fetched again in a later cycle
  setDword(cycling, "cycle.time", 0);
  ASSERT_EQ(loop.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(loop.get(), 2);
  EXPECT_GE(countCycles("(1*1) <1> seconds.", "cycling"), 2);
  EXPECT_EQ(countCycles("(0*1) <0> seconds.", "cycling"), 1);
  EXPECT_EQ(countCycles("(0*1) <0> seconds.", "after"), 1);
  EXPECT_EQ(lines().back().rfind(kCyclePrefix + std::string("(0*1) <0>"), 0), 0u);
}

TEST_F(SourceLoop, DisabledSourceCyclesWithoutTrafficAndAStopWakesIt) {
  Listener listener;
  auto s = source(listener.port(), 1);
  platform::RegKey key = writeSource("resting", s);
  setDword(key, "disable", 1);
  setDword(key, "cycle.time", 5);
  setDword(key, "cycle.time.resolution", 60);
  security::FetchStop stop;
  auto loop = std::async(std::launch::async, [&] {
    return ldap_fetch_sources(platform::Hive::kCurrentUser, kLdapKey, store_, &stop);
  });
  ASSERT_TRUE(waitForPrefix(kCyclePrefix, 1));
  EXPECT_EQ(countCycles("(5*60) <300> seconds.", "resting"), 1);
  const auto asked = Clock::now();
  stop.request();
  ASSERT_EQ(loop.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_LT(Clock::now() - asked, std::chrono::seconds(2));
  EXPECT_EQ(loop.get(), 0);  // stopped before the source was done
  EXPECT_FALSE(listener.pending(0));
  // The line carries the time in the C library's form: "Www Mmm dd hh:mm:ss yyyy".
  const std::string line = lines()[0];
  const auto open = line.find("time <");
  ASSERT_NE(open, std::string::npos);
  EXPECT_EQ(line.find('>', open) - open - 6, 24u) << line;
}

TEST_F(SourceLoop, ServerClosingMidSearchIsLoggedAndTheNextSourceIsFetched) {
  Listener listener;
  std::thread server([&] { listener.serveHalfASearch(); });
  writeSource("closing", source(listener.port(), 1));
  Slapd slapd(Schema::kStandard);
  ASSERT_TRUE(slapd.ok() && slapd.addBase());
  ASSERT_TRUE(slapd.addCrlEntry(
      "ca2", ldifBinary("certificateRevocationList;binary", Pki::get().der("ca2.der"))));
  writeSource("working", source(slapd.port(), 1));
  EXPECT_EQ(fetchAll(), 2);
  server.join();
  EXPECT_EQ(countPrefix("ldap_search_s <ffffffff> <Can't contact LDAP server> dn:<o=test>"), 1);
  EXPECT_TRUE(holds("ca2.der"));
}

TEST_F(SourceLoop, RestartStopsTheEarlierFetcherAndStopEndsIt) {
  Listener listener;
  platform::RegKey key = writeSource("resting", source(listener.port(), 1));
  setDword(key, "disable", 1);
  setDword(key, "cycle.time", 100);
  security::CrlFetcher fetcher;
  X509_STORE* first = X509_STORE_new();
  fetcher.start(first, platform::Hive::kCurrentUser, false);
  X509_STORE_free(first);  // the fetcher holds its own reference
  ASSERT_TRUE(waitForPrefix(kCyclePrefix, 1));
  EXPECT_TRUE(fetcher.running());
  auto begun = Clock::now();
  fetcher.start(store_, platform::Hive::kCurrentUser, false);
  EXPECT_LT(Clock::now() - begun, std::chrono::seconds(3));
  ASSERT_TRUE(waitForPrefix(kCyclePrefix, 2));
  begun = Clock::now();
  fetcher.stop();
  EXPECT_LT(Clock::now() - begun, std::chrono::seconds(3));
  EXPECT_FALSE(fetcher.running());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(countPrefix(kCyclePrefix), 2);
  fetcher.stop();  // nothing running: returns at once
}

}  // namespace
}  // namespace ldap_test
