#include "config/rules.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/system.h"
#include "support/support.h"
#include "temp_hive.h"

namespace config {
namespace {

using config_test::TempHive;
using platform::Hive;
using platform::IpAddress;
using test_support::ip;

class Rules : public TempHive {
 protected:
  void TearDown() override {
    releaseAllRules(&table_);
    TempHive::TearDown();
  }

  // A complete direct plug rule in RuleN.
  void storeRule(int n, const std::string& port, const std::string& peer = "All",
                 const std::string& mask = "All") {
    const auto k = key("Rule" + std::to_string(n));
    setText(k, "peer.port.str", port);
    setText(k, "peer.addr.str", peer);
    setText(k, "peer.mask.str", mask);
    setText(k, "dest.addr.str", "127.0.0.1");
    setText(k, "dest.port.str", "9999");
  }

  static uint16_t port(int p) { return htons(static_cast<uint16_t>(p)); }

  RuleTable table_;
};

TEST_F(Rules, LoadingStopsAtTheFirstIncompleteRule) {
  storeRule(1, "7001");
  storeRule(2, "7002");
  storeRule(3, "7003");
  const auto k = key("Rule2");
  ASSERT_EQ(platform::regDeleteValue(k, "peer.mask.str"), 0);
  EXPECT_EQ(loadAllRules(&table_), 1);
  EXPECT_EQ(table_.loadedRuleKeys, 1);
  EXPECT_EQ(table_.rules[0]->peerPortStr, "7001");
  EXPECT_EQ(ntohs(table_.rules[0]->peerPort), 7001);
}

TEST_F(Rules, ValidationNamesTheFirstMissingPart) {
  ccRule r;
  EXPECT_EQ(validateRule(&r), -1);
  r.peerAddrStr = "All";
  EXPECT_EQ(validateRule(&r), -2);
  r.peerPortStr = "80";
  EXPECT_EQ(validateRule(&r), -3);
  r.peerMask = IpAddress::ipv4(0xFFFFFFFF);
  EXPECT_EQ(validateRule(&r), -4);
  r.destAddr = IpAddress::ipv4(1);
  EXPECT_EQ(validateRule(&r), -5);
  r.destPortStr = "x";
  EXPECT_EQ(validateRule(&r), 0);
  ccRule dynamic;
  dynamic.peerAddrStr = dynamic.peerPortStr = dynamic.peerMaskStr = "1";
  dynamic.connectType = kConnectSocks;
  EXPECT_EQ(validateRule(&dynamic), 0);
}

TEST_F(Rules, FindRuleMatchesMaskedClientsAndPorts) {
  storeRule(1, "7001", "192.168.1.0", "C net");
  storeRule(2, "7001", "All", "All");
  storeRule(3, "7002", "All", "All");
  ASSERT_EQ(loadAllRules(&table_), 3);
  RuleRef first = findRule(table_, ip("192.168.1.77"), port(7001)).rule;
  EXPECT_EQ(first.get(), table_.rules[0]);
  RuleRef other = findRule(table_, ip("192.168.2.77"), port(7001)).rule;
  EXPECT_EQ(other.get(), table_.rules[1]);
  const RuleMatch third = findRule(table_, ip("8.8.8.8"), port(7002));
  EXPECT_EQ(third.rule.get(), table_.rules[2]);
  EXPECT_FALSE(findRule(table_, ip("8.8.8.8"), port(7003)).rule);
  EXPECT_EQ(table_.rules[0]->references, 2u);
  // The destination is the match's; the rule itself is not changed by matching.
  EXPECT_EQ(third.destAddrs, std::vector<IpAddress>{ip("127.0.0.1")});
  EXPECT_EQ(ntohs(third.destPort), 9999);
  EXPECT_TRUE(table_.rules[2]->destAddr.isZero());
}

// Answers "slow.example" after two seconds, as a resolver that is slow to answer would; knows
// no other name.
bool slowResolver(const std::string& name, std::vector<IpAddress>* addresses) {
  if (name != "slow.example") return false;
  std::this_thread::sleep_for(std::chrono::seconds(2));
  addresses->push_back(ip("127.0.0.9"));
  return true;
}

TEST_F(Rules, ASlowNameDelaysOnlyTheConnectionThatNeedsIt) {
  storeRule(1, "7001", "slow.example", "Local Machine Only");  // client named by a host name
  storeRule(2, "7002", "All", "All");                          // numeric
  storeRule(3, "7003", "All", "All");
  setText(key("Rule3"), "dest.addr.str", "slow.example");  // destination named by a host name
  ASSERT_EQ(loadAllRules(&table_), 3);
  platform::setHostResolver(&slowResolver);
  std::atomic<bool> slowDone{false};
  std::thread slowClient([&] {
    RuleRef rule = findRule(table_, ip("127.0.0.9"), port(7001)).rule;
    EXPECT_EQ(rule.get(), table_.rules[0]);
    slowDone = true;
  });
  std::thread slowDestination([&] {
    const RuleMatch match = findRule(table_, ip("10.1.1.1"), port(7003));
    ASSERT_NE(match.rule.get(), nullptr);
    EXPECT_EQ(match.destAddrs, std::vector<IpAddress>{ip("127.0.0.9")});
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // both lookups under way
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 20; ++i) {
    RuleRef rule = findRule(table_, ip("10.1.1.1"), port(7002)).rule;
    EXPECT_EQ(rule.get(), table_.rules[1]);
  }
  const auto spent = std::chrono::steady_clock::now() - start;
  EXPECT_FALSE(slowDone.load());
  EXPECT_LT(spent, std::chrono::milliseconds(1000));
  slowClient.join();
  slowDestination.join();
  platform::setHostResolver(nullptr);
}

TEST_F(Rules, DisabledRulesNeverMatchAndSaySo) {
  storeRule(1, "7001");
  setDword(key("Rule1"), "disable", 1);
  storeRule(2, "7001");
  ASSERT_EQ(loadAllRules(&table_), 2);
  RuleRef found = findRule(table_, ip("10.0.0.1"), port(7001)).rule;
  EXPECT_EQ(found.get(), table_.rules[1]);
  char text[256];
  describeRule(text, sizeof text, table_.rules[0]);
  EXPECT_STREQ(text, "disabled ( 7001 All All as plug to 127.0.0.1 9999 on all interfaces  ) ");
  describeRule(text, sizeof text, table_.rules[1]);
  EXPECT_STREQ(text, " 7001 All All as plug to 127.0.0.1 9999 on all interfaces  ");
  describeRule(text, 12, table_.rules[1]);
  EXPECT_STREQ(text, " 7001 All A");
}

TEST_F(Rules, DynamicRulesDropTheirDestination) {
  storeRule(1, "1080");
  const auto k = key("Rule1");
  setDword(k, "connect.type", kConnectSocks);
  setDword(k, "ssl.role", kRoleServer);
  setText(k, "if.addr.str", "127.0.0.1");
  ASSERT_EQ(loadAllRules(&table_), 1);
  ccRule* rule = table_.rules[0];
  resolveRule(rule);
  EXPECT_TRUE(rule->destAddrStr.empty());
  EXPECT_EQ(rule->destAddr, IpAddress::ipv4(0xFFFFFFFFu));
  EXPECT_EQ(rule->destPort, 0);
  char text[256];
  describeRule(text, sizeof text, rule);
  EXPECT_STREQ(text, " 1080 All All as server to dynamic destination  on 127.0.0.1  ");
  ASSERT_EQ(saveAllRules(&table_), 0);
  EXPECT_FALSE(hasValue(k, "dest.addr.str"));
}

TEST_F(Rules, SavingFewerRulesDeletesTheRest) {
  for (int n = 1; n <= 5; ++n) storeRule(n, std::to_string(7000 + n));
  ASSERT_EQ(loadAllRules(&table_), 5);
  releaseRule(table_.rules[2]);
  releaseRule(table_.rules[3]);
  releaseRule(table_.rules[4]);
  table_.count = 2;
  ASSERT_EQ(saveAllRules(&table_), 0);
  EXPECT_EQ(table_.loadedRuleKeys, 2);
  const auto settings = key();
  std::string name;
  EXPECT_EQ(platform::regEnumKey(settings, 0, &name), 0);
  EXPECT_EQ(platform::regEnumKey(settings, 1, &name), 0);
  EXPECT_EQ(platform::regEnumKey(settings, 2, &name), platform::kErrorNoMoreItems);
  EXPECT_EQ(loadAllRules(&table_), 2);
}

TEST_F(Rules, SaveWritesTextsButNeverNumbersOrCredentials) {
  storeRule(1, "8080");
  auto k = key("Rule1");
  setDword(k, "connect.type", kConnectHttp);
  setText(k, "https.proxy.server", "proxy.example");
  setText(k, "https.proxy.port", "3128");
  setText(k, "https.proxy.user", "alice");
  setText(k, "https.proxy.user.pass", "wonder");
  setDword(k, "http.proxy.droptime", 30);
  ASSERT_EQ(loadAllRules(&table_), 1);
  ccRule* rule = table_.rules[0];
  EXPECT_EQ(rule->httpsProxyUser, "alice");
  EXPECT_EQ(rule->httpProxyDropTime, 30u);
  ASSERT_EQ(platform::regDeleteKey(key(), "Rule1"), 0);
  ASSERT_EQ(saveAllRules(&table_), 0);
  k = key("Rule1");
  EXPECT_EQ(text(k, "https.proxy.server"), "proxy.example");
  EXPECT_EQ(text(k, "https.proxy.port"), "3128");
  EXPECT_EQ(dword(k, "connect.type"), uint32_t{kConnectHttp});
  EXPECT_EQ(dword(k, "cert.type"), 1u);
  EXPECT_EQ(dword(k, "http.proxy.droptime"), 30u);
  for (const char* never : {"https.proxy.user", "https.proxy.user.pass", "peer.port", "peer.addr",
                            "dest.addr", "if.addr", "ssl.cert"}) {
    EXPECT_FALSE(hasValue(k, never)) << never;
  }
}

// Connections match on the table they took while newer tables replace it: every rule stays whole
// while a connection holds it, and once the last holder is gone only the newest table's
// references are left.
TEST_F(Rules, ReferencesSurviveManyThreadsAndReplacedTables) {
  storeRule(1, "7001", "10.0.0.0", "A net");
  storeRule(2, "7001");
  auto first = std::make_shared<RuleTable>();
  ASSERT_EQ(loadAllRules(first.get()), 2);
  std::mutex mutex;  // guards current
  std::shared_ptr<const RuleTable> current = first;
  first.reset();
  std::atomic<bool> stop{false};
  std::atomic<long> found{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 20000 && !stop; ++i) {
        std::shared_ptr<const RuleTable> table;
        {
          std::lock_guard<std::mutex> hold(mutex);
          table = current;
        }
        RuleMatch match = findRule(
            *table, IpAddress::ipv4(htonl(0x0A000000u + static_cast<uint32_t>(t))), port(7001));
        table.reset();  // the connection keeps only its rule
        if (!match.rule) continue;
        ++found;
        if (match.rule->peerPortStr != "7001") ADD_FAILURE() << "rule torn";
      }
    });
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (int reload = 0; reload < 50 && std::chrono::steady_clock::now() < deadline; ++reload) {
    auto next = std::make_shared<RuleTable>();
    loadAllRules(next.get());
    std::lock_guard<std::mutex> hold(mutex);
    current = next;
  }
  stop = true;
  for (auto& t : threads) t.join();
  EXPECT_GT(found.load(), 0);
  ASSERT_EQ(current->count, 2);
  EXPECT_EQ(current->rules[0]->references, 1u);
  EXPECT_EQ(current->rules[1]->references, 1u);
}

// A copy of a table (what a front end edits) holds references of its own: dropping the original
// leaves the copy's rules alive, and the copy's release frees them.
TEST_F(Rules, CopiesOfATableHoldTheirOwnReferences) {
  storeRule(1, "7001");
  storeRule(2, "7002");
  ASSERT_EQ(loadAllRules(&table_), 2);
  ccRule* rule = table_.rules[1];
  {
    RuleTable copy = table_;
    EXPECT_EQ(rule->references, 2u);
    EXPECT_EQ(copy.loadedRuleKeys, 2);
    releaseAllRules(&table_);
    EXPECT_EQ(rule->references, 1u);
    EXPECT_EQ(copy.rules[1]->peerPortStr, "7002");
    table_ = copy;
    EXPECT_EQ(rule->references, 2u);
  }
  EXPECT_EQ(rule->references, 1u);
}

TEST_F(Rules, RuleRefReleasesOnce) {
  storeRule(1, "7001");
  ASSERT_EQ(loadAllRules(&table_), 1);
  ccRule* rule = table_.rules[0];
  {
    RuleRef a = findRule(table_, ip("1.2.3.4"), port(7001)).rule;
    EXPECT_EQ(rule->references, 2u);
    RuleRef b(std::move(a));
    EXPECT_EQ(rule->references, 2u);
    EXPECT_EQ(retainRule(rule), 3u);
    b = RuleRef(rule);
    EXPECT_EQ(rule->references, 2u);
  }
  EXPECT_EQ(rule->references, 1u);
}

}  // namespace
TEST_F(Rules, ReplacingTheRulesTakesReferencesOfTheTablesOwn) {
  storeRule(1, "7001");
  storeRule(2, "7002");
  ASSERT_EQ(loadAllRules(&table_), 2);
  ccRule* kept = table_.rules[1];
  ccRule* dropped = table_.rules[0];
  retainRule(dropped);  // a connection still uses it
  std::vector<ccRule*> list(kMaxRules + 1, kept);
  retainRule(kept);  // the caller's own reference
  replaceRules(&table_, {kept});
  EXPECT_EQ(table_.count, 1);
  EXPECT_EQ(table_.rules[0], kept);
  EXPECT_EQ(table_.rules[1], nullptr);
  EXPECT_EQ(kept->references, 2u);
  EXPECT_EQ(releaseRule(dropped), 0u);
  // No more than the table's 256 places are taken.
  replaceRules(&table_, list);
  EXPECT_EQ(table_.count, kMaxRules);
  EXPECT_EQ(kept->references, static_cast<uint32_t>(kMaxRules + 1));
  EXPECT_EQ(releaseRule(kept), static_cast<uint32_t>(kMaxRules));
}

}  // namespace config
