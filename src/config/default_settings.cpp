#include "config/default_settings.h"

#include "config/registry_values.h"
#include "config/settings.h"
#include "platform/system.h"

namespace config {
namespace {

constexpr uint32_t kOnNt = platform::kIsNt ? 1 : 0;

DefaultValue word(const char* name, uint32_t value) {
  return DefaultValue{name, platform::REG_DWORD, value, nullptr};
}

DefaultValue text(const char* name, const char* value) {
  return DefaultValue{name, platform::REG_SZ, 0, value};
}

}  // namespace

const std::vector<DefaultValue>& defaultSettingsValues() {
  static const std::vector<DefaultValue> kValues = {
      word("crl.check.enable", 0),
      word("crl.policy.fail.CannotFindCrlForIssuer", 0),
      word("crl.policy.fail.ExpiredCrlForIssuer", 0),
      word("crl.policy.fail.ValidCrlRevokesCert", 0),
      word("log.err", 1),
      word("log.warn", 1),
      word("log.info", 1),
      word("log.debug", 0),
      word("log.detailed", 0),
      word("log.nolog", 0),
      word("log.max", 0),
      word("ssl.enable_ssl2", 1),
      word("ssl.enable_ssl3", 1),
      word("ssl.enable_tls1", 1),
      word("ssl.use_system_registry", 0),
      word("verbose", 0),
      word("socks.enable", 0),
      word("socks.no_local_nets", 0),
      // A number, not the service name "https": it reads as 443 on a system without a services
      // list too.
      text("ssl.proxy_ports", "443"),
      word("debug", 0),
      word("ssl.save_passwd", 0),
      word("dde.pause", 10),  // seconds; the record holds it in milliseconds
      word("dde.enable", 1),
      word("ssl.sessionCacheMode", 3),
      word("ssl.sessionsFlushLimit", 128),
      word("ssvr.logout", 1),
      word("show.settings", 0),
      word("ssl.passwd_type", 0),
      word("tcp.close.sockets", 1),
      word("tcp.resolv", 1),
      word("tcp.reuse", 1),
      word("tcp.linger", 1),
      word("tcp.linger.time", 3),
      word("tcp.nodelay", 1),
      word("tcp.timeout", 1),
      word("tcp.sleep", 0),
      word("tcp.loopsleep", 0),
      word("tcp.max.connections", 0),
      word("log.time", 0),
      word("toolbar.size", 48),
      word("stats.enable", 1),
      word("filter.enable", 0),
      word("ssl.verify_host", 1),
      word("thread.pool.enable", kOnNt),
      word("perf.mon.enable", kOnNt),
  };
  return kValues;
}

long createDefaultSettings(platform::Hive root, bool* created) {
  *created = false;
  platform::RegKey key;
  long rc = platform::regOpenKey(root, settingsKeyPath(), &key);
  if (rc == platform::kErrorSuccess) return rc;
  if (rc != platform::kErrorFileNotFound) return rc;
  // A store that could not be read whole may hold the key in the part that was not read.
  if ((rc = platform::hiveStatus(root)) != platform::kErrorSuccess) return rc;
  ValueBatch batch;
  for (const DefaultValue& v : defaultSettingsValues()) {
    if (v.type == platform::REG_DWORD) {
      batch.dword(v.name, v.number);
    } else {
      batch.text(v.name, v.text);
    }
  }
  if ((rc = platform::regCreateKey(root, settingsKeyPath(), &key)) != platform::kErrorSuccess) {
    return rc;
  }
  rc = batch.write(key);
  *created = rc == platform::kErrorSuccess;
  return rc;
}

}  // namespace config
