// The default settings an install leaves: made in a store without them, read back by the relay's
// loader as every default, never laid over a store that has them; and `brisklane-reg init`.
#include "config/default_settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "config/settings.h"
#include "platform/registry.h"
#include "support/support.h"

namespace config {
namespace {

using platform::Hive;

class DefaultSettings : public ::testing::Test {
 protected:
  void SetUp() override { platform::setHiveDirectory(folder_.path()); }
  void TearDown() override { platform::setHiveDirectory(""); }

  std::string storeFile(Hive hive) const { return platform::hiveFilePath(hive); }

  test_support::TempDir folder_;
};

// The words of the record that come from the store, by member.
const SettingWord Settings::*const kWords[] = {
    &Settings::crlCheckEnable,
    &Settings::crlPolicyFailCannotFindCrlForIssuer,
    &Settings::crlPolicyFailExpiredCrlForIssuer,
    &Settings::crlPolicyFailValidCrlRevokesCert,
    &Settings::sslSavePasswd,
    &Settings::sslEnableSsl2,
    &Settings::sslEnableSsl3,
    &Settings::sslEnableTls1,
    &Settings::sslUseSystemRegistry,
    &Settings::localNetCount,
    &Settings::socksEnable,
    &Settings::sslPortCount,
    &Settings::ddePause,
    &Settings::sslSessionCacheMode,
    &Settings::sslSessionsFlushLimit,
    &Settings::ddeEnable,
    &Settings::ssvrLogout,
    &Settings::debug,
    &Settings::verbose,
    &Settings::logNolog,
    &Settings::logErr,
    &Settings::logWarn,
    &Settings::logInfo,
    &Settings::logDetailed,
    &Settings::logDebug,
    &Settings::logMax,
    &Settings::tcpLinger,
    &Settings::tcpLingerTime,
    &Settings::tcpTimeout,
    &Settings::tcpNodelay,
    &Settings::tcpSleep,
    &Settings::tcpLoopsleep,
    &Settings::tcpCloseSockets,
    &Settings::tcpResolv,
    &Settings::tcpReuse,
    &Settings::tcpMaxConnections,
    &Settings::logTime,
    &Settings::statsEnable,
    &Settings::sslPasswdType,
    &Settings::showSettings,
    &Settings::filterEnable,
    &Settings::hostCount,
    &Settings::portCount,
    &Settings::threadPoolEnable,
    &Settings::toolbarSize,
    &Settings::perfMonEnable,
    &Settings::sslVerifyHost,
};

const SettingText Settings::*const kTexts[] = {
    &Settings::sslCaCert,   &Settings::sslCrlLists,   &Settings::sslCipher, &Settings::sslPasswd,
    &Settings::bklLocation, &Settings::socksServer,   &Settings::socksPort, &Settings::debugFile,
    &Settings::filterHave,  &Settings::filterHavenot,
};

TEST_F(DefaultSettings, ANewStoreReadsAsEveryDefaultAndNotAsTheZerosOfAMissingKey) {
  bool created = false;
  ASSERT_EQ(createDefaultSettings(Hive::kLocalMachine, &created), 0);
  EXPECT_TRUE(created);
  Settings fromDefaults;
  ASSERT_EQ(loadSettings(Hive::kLocalMachine, &fromDefaults), 0);

  // The loader's own fallbacks: an empty settings key.
  platform::RegKey key;
  ASSERT_EQ(platform::regCreateKey(Hive::kCurrentUser, settingsKeyPath(), &key), 0);
  Settings fromEmptyKey;
  ASSERT_EQ(loadSettings(Hive::kCurrentUser, &fromEmptyKey), 0);
  for (size_t i = 0; i < std::size(kWords); ++i) {
    EXPECT_EQ((fromDefaults.*kWords[i]).get(), (fromEmptyKey.*kWords[i]).get()) << "word " << i;
  }
  for (size_t i = 0; i < std::size(kTexts); ++i) {
    EXPECT_EQ((fromDefaults.*kTexts[i]).get(), (fromEmptyKey.*kTexts[i]).get()) << "text " << i;
  }
  EXPECT_EQ(fromDefaults.sslPorts[0].get(), fromEmptyKey.sslPorts[0].get());
  // What the store without a key would have left off.
  EXPECT_EQ(fromDefaults.sslEnableTls1, 1u);
  EXPECT_EQ(fromDefaults.logInfo, 1u);
  EXPECT_EQ(fromDefaults.statsEnable, 1u);
  EXPECT_EQ(fromDefaults.tcpNodelay, 1u);
  EXPECT_EQ(fromDefaults.ddePause, 10000u);  // stored in seconds
}

TEST_F(DefaultSettings, EveryValueWithADefaultIsStoredWithItsType) {
  bool created = false;
  ASSERT_EQ(createDefaultSettings(Hive::kCurrentUser, &created), 0);
  platform::RegKey key;
  ASSERT_EQ(platform::regOpenKey(Hive::kCurrentUser, settingsKeyPath(), &key), 0);
  std::vector<platform::RegValueEntry> values;
  ASSERT_EQ(platform::regEnumValues(key, &values), 0);
  std::set<std::string> words;
  std::set<std::string> texts;
  for (const platform::RegValueEntry& v : values) {
    (v.type == platform::REG_DWORD && v.data.size() == 4 ? words : texts).insert(v.name);
  }
  const std::set<std::string> expectedWords = {"crl.check.enable",
                                               "crl.policy.fail.CannotFindCrlForIssuer",
                                               "crl.policy.fail.ExpiredCrlForIssuer",
                                               "crl.policy.fail.ValidCrlRevokesCert",
                                               "ssl.save_passwd",
                                               "ssl.enable_ssl2",
                                               "ssl.enable_ssl3",
                                               "ssl.enable_tls1",
                                               "ssl.use_system_registry",
                                               "socks.no_local_nets",
                                               "socks.enable",
                                               "dde.pause",
                                               "ssl.sessionCacheMode",
                                               "ssl.sessionsFlushLimit",
                                               "dde.enable",
                                               "ssvr.logout",
                                               "debug",
                                               "verbose",
                                               "log.nolog",
                                               "log.err",
                                               "log.warn",
                                               "log.info",
                                               "log.detailed",
                                               "log.debug",
                                               "log.max",
                                               "tcp.linger",
                                               "tcp.linger.time",
                                               "tcp.timeout",
                                               "tcp.nodelay",
                                               "tcp.sleep",
                                               "tcp.loopsleep",
                                               "tcp.close.sockets",
                                               "tcp.resolv",
                                               "tcp.reuse",
                                               "log.time",
                                               "stats.enable",
                                               "ssl.passwd_type",
                                               "show.settings",
                                               "filter.enable",
                                               "thread.pool.enable",
                                               "toolbar.size",
                                               "perf.mon.enable",
                                               "tcp.max.connections",
                                               "ssl.verify_host"};
  EXPECT_EQ(words, expectedWords);
  EXPECT_EQ(texts, std::set<std::string>{"ssl.proxy_ports"});
}

TEST_F(DefaultSettings, AnExistingKeyIsLeftByteForByte) {
  platform::RegKey key;
  ASSERT_EQ(platform::regCreateKey(Hive::kLocalMachine, settingsKeyPath(), &key), 0);
  const uint32_t off = 0;
  ASSERT_EQ(platform::regSetValue(key, "ssl.enable_tls1", platform::REG_DWORD, &off, 4), 0);
  const std::string before = test_support::readFile(storeFile(Hive::kLocalMachine));
  struct stat st {};
  ASSERT_EQ(stat(storeFile(Hive::kLocalMachine).c_str(), &st), 0);
  bool created = true;
  ASSERT_EQ(createDefaultSettings(Hive::kLocalMachine, &created), 0);
  EXPECT_FALSE(created);
  EXPECT_EQ(test_support::readFile(storeFile(Hive::kLocalMachine)), before);
  struct stat after {};
  ASSERT_EQ(stat(storeFile(Hive::kLocalMachine).c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, st.st_ino);  // not even rewritten with the same bytes
  EXPECT_FALSE(std::filesystem::exists(storeFile(Hive::kCurrentUser)));
}

TEST_F(DefaultSettings, AStoreThatCannotBeParsedIsNeverWritten) {
  const std::string text =
      "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Other]\n\"broken\n";
  ASSERT_TRUE(test_support::writeFile(storeFile(Hive::kCurrentUser), text));
  bool created = true;
  EXPECT_EQ(createDefaultSettings(Hive::kCurrentUser, &created), platform::kErrorWriteProtect);
  EXPECT_FALSE(created);
  EXPECT_EQ(test_support::readFile(storeFile(Hive::kCurrentUser)), text);
}

}  // namespace
}  // namespace config
