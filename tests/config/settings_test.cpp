#include "config/settings.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>

#include "log/log.h"
#include "temp_hive.h"

namespace config {
namespace {

using config_test::TempHive;
using platform::Hive;

class SettingsStore : public TempHive {};

TEST_F(SettingsStore, MissingKeyKeepsTheZeroRecord) {
  Settings s;
  EXPECT_EQ(loadSettings(Hive::kCurrentUser, &s), platform::kErrorFileNotFound);
  EXPECT_EQ(s.sslEnableSsl3, 0u);
  EXPECT_EQ(s.logErr, 0u);
  EXPECT_EQ(s.sslPortCount, 0u);
  EXPECT_TRUE(s.adapterAddress.empty());
}

TEST_F(SettingsStore, EmptyKeyGivesEveryDefault) {
  key();
  Settings s;
  ASSERT_EQ(loadSettings(Hive::kCurrentUser, &s), 0);
  EXPECT_EQ(s.sslEnableSsl2, 1u);
  EXPECT_EQ(s.sslEnableSsl3, 1u);
  EXPECT_EQ(s.sslEnableTls1, 1u);
  EXPECT_EQ(s.logErr, 1u);
  EXPECT_EQ(s.logWarn, 1u);
  EXPECT_EQ(s.logInfo, 1u);
  EXPECT_EQ(s.ddePause, 10000u);
  EXPECT_EQ(s.sslSessionCacheMode, 3u);
  EXPECT_EQ(s.sslSessionsFlushLimit, 128u);
  EXPECT_EQ(s.tcpLinger, 1u);
  EXPECT_EQ(s.tcpLingerTime, 3u);
  EXPECT_EQ(s.tcpTimeout, 1u);
  EXPECT_EQ(s.tcpCloseSockets, 1u);
  EXPECT_EQ(s.statsEnable, 1u);
  EXPECT_EQ(s.threadPoolEnable, 1u);
  EXPECT_EQ(s.perfMonEnable, 1u);
  EXPECT_EQ(s.toolbarSize, 48u);
  EXPECT_EQ(s.sslVerifyHost, 1u);
  EXPECT_EQ(s.localNetCount, 0u);
  ASSERT_EQ(s.sslPortCount, 1u);
  EXPECT_EQ(ntohs(static_cast<uint16_t>(s.sslPorts[0].get())), 443);
  EXPECT_TRUE(s.sslCaCert.empty());
  const std::string nic = s.adapterAddress.get();
  EXPECT_TRUE(nic == "no nic" ||
              (nic.size() == 12 && nic.find_first_not_of("0123456789ABCDEF") == std::string::npos))
      << nic;
}

TEST_F(SettingsStore, WrongTypesAndSizesFallBackToDefaults) {
  const auto k = key();
  setText(k, "tcp.timeout", "0");
  const uint16_t shortValue = 0;
  ASSERT_EQ(platform::regSetValue(k, "tcp.linger", platform::REG_DWORD, &shortValue, 2), 0);
  const uint64_t longValue = 0;
  ASSERT_EQ(platform::regSetValue(k, "stats.enable", platform::REG_BINARY, &longValue, 8), 0);
  setDword(k, "ssl.ca_cert", 7);
  setText(k, "ssl.cipher", "");
  setDword(k, "dde.pause", 2);
  setDword(k, "toolbar.size", 0);
  Settings s;
  ASSERT_EQ(loadSettings(Hive::kCurrentUser, &s), 0);
  EXPECT_EQ(s.tcpTimeout, 1u);
  EXPECT_EQ(s.tcpLinger, 1u);
  EXPECT_EQ(s.statsEnable, 1u);
  EXPECT_TRUE(s.sslCaCert.empty());
  EXPECT_TRUE(s.sslCipher.empty());
  EXPECT_EQ(s.ddePause, 2000u);
  EXPECT_EQ(s.toolbarSize, 0u);
}

TEST_F(SettingsStore, TextsOver260BytesCountAsMissing) {
  const auto k = key();
  setText(k, "ssl.ca_cert", std::string(259, 'a'));  // 260 bytes with the zero
  setText(k, "ssl.cipher", std::string(260, 'b'));   // 261 bytes
  setText(k, "socks.server", std::string(5000, 'c'));
  Settings s;
  ASSERT_EQ(loadSettings(Hive::kCurrentUser, &s), 0);
  EXPECT_EQ(s.sslCaCert.get(), std::string(259, 'a'));
  EXPECT_TRUE(s.sslCipher.empty());
  EXPECT_TRUE(s.socksServer.empty());
}

TEST_F(SettingsStore, ProxyPortsParseAndSaveBack) {
  const auto k = key();
  setText(k, "ssl.proxy_ports", "https:8443");
  Settings s;
  ASSERT_EQ(loadSettings(Hive::kCurrentUser, &s), 0);
  ASSERT_EQ(s.sslPortCount, 2u);
  EXPECT_EQ(ntohs(static_cast<uint16_t>(s.sslPorts[0].get())), 443);
  EXPECT_EQ(ntohs(static_cast<uint16_t>(s.sslPorts[1].get())), 8443);
  ASSERT_EQ(saveSettings(Hive::kCurrentUser, s), 0);
  EXPECT_EQ(text(k, "ssl.proxy_ports"), "https:8443");

  for (const char* unusable : {"", ":", "nosuchservice:alsonot", "0:99999"}) {
    Settings t;
    setSslPorts(&t, unusable);
    ASSERT_EQ(t.sslPortCount, 1u) << unusable;
    EXPECT_EQ(ntohs(static_cast<uint16_t>(t.sslPorts[0].get())), 443) << unusable;
  }
  Settings many;
  std::string twenty;
  for (int i = 1; i <= 20; ++i) twenty += std::to_string(9000 + i) + ":";
  setSslPorts(&many, twenty);
  EXPECT_EQ(many.sslPortCount, 16u);
  EXPECT_EQ(ntohs(static_cast<uint16_t>(many.sslPorts[15].get())), 9016);
}

TEST_F(SettingsStore, ListsKeepEmptyEntries) {
  const auto k = key();
  setText(k, "host.list", "a::b:");
  setText(k, "port.list", "80:https");
  Settings s;
  ASSERT_EQ(loadSettings(Hive::kCurrentUser, &s), 0);
  ASSERT_EQ(s.hostCount, 3u);
  EXPECT_EQ(s.hostList[0].get(), "a");
  EXPECT_EQ(s.hostList[1].get(), "");
  EXPECT_EQ(s.hostList[2].get(), "b");
  EXPECT_EQ(s.portCount, 2u);
  EXPECT_EQ(s.portList[1].get(), "https");
  SettingText entries[kMaxListEntries];
  EXPECT_EQ(splitList(std::string(40, ':'), entries), 16);
}

TEST_F(SettingsStore, PassphraseIsSavedOnlyWhenAsked) {
  const auto k = key();
  Settings s;
  ASSERT_EQ(loadSettings(Hive::kCurrentUser, &s), 0);
  s.sslPasswd.set("secret phrase");
  s.sslSavePasswd = 1;
  ASSERT_EQ(saveSettings(Hive::kCurrentUser, s), 0);
  uint8_t buf[64];
  uint32_t size = sizeof buf;
  uint32_t type = 0;
  ASSERT_EQ(platform::regQueryValue(k, "ssl.passwd", &type, buf, &size), 0);
  EXPECT_EQ(type, platform::REG_BINARY);
  EXPECT_EQ(size, 14u);
  Settings back;
  ASSERT_EQ(loadSettings(Hive::kCurrentUser, &back), 0);
  EXPECT_EQ(back.sslPasswd.get(), "secret phrase");

  s.sslSavePasswd = 0;
  ASSERT_EQ(saveSettings(Hive::kCurrentUser, s), 0);
  EXPECT_FALSE(hasValue(k, "ssl.passwd"));
}

TEST_F(SettingsStore, OversizedPassphraseIsIgnored) {
  const auto k = key();
  const std::string big(200, 'p');
  ASSERT_EQ(platform::regSetValue(k, "ssl.passwd", platform::REG_BINARY, big.data(), 200), 0);
  Settings s;
  ASSERT_EQ(loadSettings(Hive::kCurrentUser, &s), 0);
  EXPECT_TRUE(s.sslPasswd.empty());
}

TEST_F(SettingsStore, LocalNetworksAreClassful) {
  const uint32_t addresses[] = {inet_addr("10.1.2.3"), inet_addr("192.168.5.6"),
                                inet_addr("172.16.9.9"), inet_addr("224.1.2.3")};
  Settings s;
  setLocalNetworks(&s, addresses, 4);
  ASSERT_EQ(s.localNetCount, 4u);
  EXPECT_EQ(s.localNetAddr[0], inet_addr("10.0.0.0"));
  EXPECT_EQ(s.localNetMask[0], inet_addr("255.0.0.0"));
  EXPECT_EQ(s.localNetAddr[1], inet_addr("192.168.5.0"));
  EXPECT_EQ(s.localNetMask[1], inet_addr("255.255.255.0"));
  EXPECT_EQ(s.localNetAddr[2], inet_addr("172.16.0.0"));
  EXPECT_EQ(s.localNetMask[2], inet_addr("255.255.0.0"));
  EXPECT_EQ(s.localNetAddr[3], inet_addr("224.1.2.3"));
  EXPECT_EQ(s.localNetMask[3], inet_addr("255.255.255.255"));

  uint32_t many[20];
  for (uint32_t i = 0; i < 20; ++i) many[i] = htonl(0x0A000000u + i);
  setLocalNetworks(&s, many, 20);
  EXPECT_EQ(s.localNetCount, 16u);
}

TEST_F(SettingsStore, LocalNetworkCountIsSavedOrDeleted) {
  const auto k = key();
  Settings s;
  ASSERT_EQ(loadSettings(Hive::kCurrentUser, &s), 0);
  EXPECT_EQ(s.localNetCount, 0u);
  setDword(k, "socks.no_local_nets", 1);
  ASSERT_EQ(saveSettings(Hive::kCurrentUser, s), 0);
  EXPECT_FALSE(hasValue(k, "socks.no_local_nets"));

  const uint32_t two[] = {inet_addr("10.1.2.3"), inet_addr("192.168.5.6")};
  setLocalNetworks(&s, two, 2);
  ASSERT_EQ(saveSettings(Hive::kCurrentUser, s), 0);
  EXPECT_EQ(dword(k, "socks.no_local_nets"), 2u);

  // This host's own name resolves here, so the table is built on load.
  Settings loaded;
  ASSERT_EQ(loadSettings(Hive::kCurrentUser, &loaded), 0);
  EXPECT_GE(loaded.localNetCount, 1u);
  setDword(k, "tcp.resolv", 0);
  Settings unresolved;
  ASSERT_EQ(loadSettings(Hive::kCurrentUser, &unresolved), 0);
  EXPECT_EQ(unresolved.localNetCount, 0u);
}

TEST_F(SettingsStore, SaveWritesItsSubsetAndLeavesTheRest) {
  const auto k = key();
  setDword(k, "tcp.timeout", 0);
  Settings s;
  ASSERT_EQ(loadSettings(Hive::kCurrentUser, &s), 0);
  s.sslCaCert.set("/etc/ssl/ca.pem");
  s.filterHave.set("O=Example");
  s.socksEnable = 1;
  s.socksServer.set("socks.example");
  s.verbose = 1;
  s.logMax = 500;
  s.tcpSleep = 99;  // never written
  s.sslVerifyHost = 0;
  ASSERT_EQ(saveSettings(Hive::kCurrentUser, s), 0);
  EXPECT_EQ(text(k, "ssl.ca_cert"), "/etc/ssl/ca.pem");
  EXPECT_EQ(text(k, "filter.have"), "O=Example");
  EXPECT_EQ(dword(k, "socks.enable"), 1u);
  EXPECT_EQ(dword(k, "log.max"), 500u);
  EXPECT_EQ(dword(k, "tcp.timeout"), 0u);
  EXPECT_FALSE(hasValue(k, "tcp.sleep"));
  EXPECT_FALSE(hasValue(k, "ssl.cipher"));

  s.sslCaCert.clear();
  ASSERT_EQ(saveSettings(Hive::kCurrentUser, s), 0);
  EXPECT_FALSE(hasValue(k, "ssl.ca_cert"));

  Settings back;
  ASSERT_EQ(loadSettings(Hive::kCurrentUser, &back), 0);
  EXPECT_EQ(back.filterHave.get(), "O=Example");
  EXPECT_EQ(back.socksServer.get(), "socks.example");
  EXPECT_EQ(back.verbose, 1u);
  EXPECT_EQ(back.tcpTimeout, 0u);
  EXPECT_EQ(back.sslVerifyHost, 0u);
}

TEST_F(SettingsStore, SaveIsOneWriteAndCarriesTheConnectionLimit) {
  const auto k = key();
  Settings s;
  ASSERT_EQ(loadSettings(Hive::kCurrentUser, &s), 0);
  EXPECT_EQ(s.tcpMaxConnections, 0u) << "no limit unless one is set";
  s.tcpMaxConnections = 9900;
  s.sslCipher.set("Strong Only");
  test_support::RenameCounter writes(dir_, "user.reg");
  ASSERT_EQ(saveSettings(Hive::kCurrentUser, s), 0);
  EXPECT_EQ(writes.count(), 1) << "the whole record is saved with one rewrite of the store";
  EXPECT_EQ(dword(k, "tcp.max.connections"), 9900u);
  EXPECT_EQ(text(k, "ssl.cipher"), "Strong Only");
  EXPECT_EQ(dword(k, "log.err"), 1u);
  Settings back;
  ASSERT_EQ(loadSettings(Hive::kCurrentUser, &back), 0);
  EXPECT_EQ(back.tcpMaxConnections, 9900u);
  ASSERT_EQ(saveSettings(Hive::kCurrentUser, back), 0);
  EXPECT_EQ(writes.count(), 1) << "saving what the store holds writes nothing";
}

// What the front ends read off a loaded record: the toolbar size with 0 read as 48, the host list
// split at ':'; and the log switches follow the record they are published from.
TEST_F(SettingsStore, TheToolbarHostListAndLogSwitchesComeFromTheRecord) {
  const auto k = key();
  setDword(k, "log.detailed", 1);
  setDword(k, "toolbar.size", 0);
  setText(k, "host.list", "alpha:beta");
  Settings record;
  ASSERT_EQ(loadSettings(Hive::kCurrentUser, &record), 0);
  EXPECT_EQ(toolbarSize(record), 48u);
  record.toolbarSize = 16;
  EXPECT_EQ(toolbarSize(record), 16u);
  EXPECT_EQ(record.hostCount, 2u);
  EXPECT_EQ(record.hostList[1].get(), "beta");
  EXPECT_STREQ(settingsKeyPath(), "Software\\Tandry\\Brisklane 4");
  publishLogSwitches(record);
  EXPECT_EQ(logging::logSwitches().detailed.load(), 1u);
  setDword(k, "log.detailed", 0);
  ASSERT_EQ(loadSettings(Hive::kCurrentUser, &record), 0);
  EXPECT_EQ(logging::logSwitches().detailed.load(), 1u) << "loading publishes nothing";
  publishLogSwitches(record);
  EXPECT_EQ(logging::logSwitches().detailed.load(), 0u);
}

}  // namespace
}  // namespace config
