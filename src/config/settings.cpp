#include "config/settings.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "config/registry_values.h"
#include "log/log.h"
#include "platform/system.h"

namespace config {

namespace {

constexpr char kSettingsKey[] = "Software\\Tandry\\Brisklane 4";
constexpr uint32_t kPassphraseBufferSize = 128;
constexpr uint32_t kDefaultToolbarSize = 48;

void loadText(const platform::RegKey& key, const char* name, SettingText* field) {
  std::string text;
  if (readText(key, name, &text)) field->set(std::move(text));
}

// The pass phrase is kept as plain bytes; these two stand where a scrambling keyed with the
// adapter address would go, and leave the bytes as they are.
void unprotectPassphrase(uint8_t*, uint32_t, const std::string& /*adapterAddress*/) {}
void protectPassphrase(uint8_t*, uint32_t, const std::string& /*adapterAddress*/) {}

void loadPassphrase(const platform::RegKey& key, Settings* r) {
  uint8_t buf[kPassphraseBufferSize];
  uint32_t type = 0;
  uint32_t size = sizeof buf;
  if (platform::regQueryValue(key, "ssl.passwd", &type, buf, &size) != platform::kErrorSuccess ||
      type != platform::REG_BINARY || size == 0) {
    return;
  }
  unprotectPassphrase(buf, size, r->adapterAddress.get());
  r->sslPasswd.set(std::string(reinterpret_cast<const char*>(buf),
                               strnlen(reinterpret_cast<const char*>(buf), size)));
}

void buildLocalNetTable(Settings* r) {
  if (r->tcpResolv == 0) return;
  std::vector<uint32_t> addresses;
  if (!platform::localHostAddresses(&addresses)) return;
  setLocalNetworks(r, addresses.data(), static_cast<int>(addresses.size()));
}

void loadCertificateAndLogValues(const platform::RegKey& key, Settings* r) {
  loadText(key, "ssl.ca_cert", &r->sslCaCert);
  loadText(key, "ssl.crl_lists", &r->sslCrlLists);
  loadText(key, "ssl.ticket_keys", &r->sslTicketKeys);
  r->crlCheckEnable = readDword(key, "crl.check.enable", 0);
  r->crlPolicyFailCannotFindCrlForIssuer =
      readDword(key, "crl.policy.fail.CannotFindCrlForIssuer", 0);
  r->crlPolicyFailExpiredCrlForIssuer = readDword(key, "crl.policy.fail.ExpiredCrlForIssuer", 0);
  r->crlPolicyFailValidCrlRevokesCert = readDword(key, "crl.policy.fail.ValidCrlRevokesCert", 0);
  r->logErr = readDword(key, "log.err", 1);
  r->logWarn = readDword(key, "log.warn", 1);
  r->logInfo = readDword(key, "log.info", 1);
  r->logDebug = readDword(key, "log.debug", 0);
  r->logDetailed = readDword(key, "log.detailed", 0);
  r->logNolog = readDword(key, "log.nolog", 0);
  r->logMax = readDword(key, "log.max", 0);
  loadText(key, "bkl.location", &r->bklLocation);
  loadText(key, "ssl.cipher", &r->sslCipher);
  r->sslEnableSsl2 = readDword(key, "ssl.enable_ssl2", 1);
  r->sslEnableSsl3 = readDword(key, "ssl.enable_ssl3", 1);
  r->sslEnableTls1 = readDword(key, "ssl.enable_tls1", 1);
  r->sslUseSystemRegistry = readDword(key, "ssl.use_system_registry", 0);
  r->verbose = readDword(key, "verbose", 0);
}

// Returns "socks.no_local_nets": the table is built once "tcp.resolv" is known.
uint32_t loadSocksAndSessionValues(const platform::RegKey& key, Settings* r) {
  r->socksEnable = readDword(key, "socks.enable", 0);
  loadText(key, "socks.server", &r->socksServer);
  loadText(key, "socks.port", &r->socksPort);
  const uint32_t noLocalNets = readDword(key, "socks.no_local_nets", 0);
  std::string ports;
  readText(key, "ssl.proxy_ports", &ports);
  setSslPorts(r, ports);
  r->debug = readDword(key, "debug", 0);
  r->sslSavePasswd = readDword(key, "ssl.save_passwd", 0);
  loadPassphrase(key, r);
  loadText(key, "debug.file", &r->debugFile);
  r->ddePause = readDword(key, "dde.pause", 10) * 1000;
  r->ddeEnable = readDword(key, "dde.enable", 1);
  r->sslSessionCacheMode = readDword(key, "ssl.sessionCacheMode", 3);
  r->sslSessionsFlushLimit = readDword(key, "ssl.sessionsFlushLimit", 128);
  r->ssvrLogout = readDword(key, "ssvr.logout", 1);
  r->showSettings = readDword(key, "show.settings", 0);
  r->sslPasswdType = readDword(key, "ssl.passwd_type", 0);
  return noLocalNets;
}

void loadTcpAndListValues(const platform::RegKey& key, Settings* r) {
  r->tcpCloseSockets = readDword(key, "tcp.close.sockets", 1);
  r->tcpResolv = readDword(key, "tcp.resolv", 1);
  r->tcpReuse = readDword(key, "tcp.reuse", 1);
  r->tcpLinger = readDword(key, "tcp.linger", 1);
  r->tcpLingerTime = readDword(key, "tcp.linger.time", 3);
  r->tcpNodelay = readDword(key, "tcp.nodelay", 1);
  r->tcpTimeout = readDword(key, "tcp.timeout", 1);
  r->tcpSleep = readDword(key, "tcp.sleep", 0);
  r->tcpLoopsleep = readDword(key, "tcp.loopsleep", 0);
  r->tcpMaxConnections = readDword(key, "tcp.max.connections", 0);
  r->logTime = readDword(key, "log.time", 0);
  r->toolbarSize = readDword(key, "toolbar.size", kDefaultToolbarSize);
  r->statsEnable = readDword(key, "stats.enable", 1);
  std::string list;
  r->hostCount = readText(key, "host.list", &list) ? splitList(list, r->hostList) : 0;
  r->portCount = readText(key, "port.list", &list) ? splitList(list, r->portList) : 0;
  r->filterEnable = readDword(key, "filter.enable", 0);
  loadText(key, "filter.have", &r->filterHave);
  loadText(key, "filter.havenot", &r->filterHavenot);
  r->sslVerifyHost = readDword(key, "ssl.verify_host", 1);
  std::string preference = kDefaultAuthPreference;
  readText(key, "proxy.auth.preference", &preference);
  r->proxyAuthPreference.set(std::move(preference));
  if (r->isNT != 0) {
    r->threadPoolEnable = readDword(key, "thread.pool.enable", 1);
    r->perfMonEnable = readDword(key, "perf.mon.enable", 1);
  } else {
    r->threadPoolEnable = 0;
    r->perfMonEnable = 0;
  }
}

}  // namespace

long loadSettings(platform::Hive root, Settings* record) {
  record->isNT = platform::kIsNt ? 1 : 0;
  record->isAdmin = platform::isAdministrator() ? 1 : 0;
  platform::RegKey key;
  const long rc = platform::regOpenKey(root, kSettingsKey, &key);
  if (rc != platform::kErrorSuccess) return rc;
  record->adapterAddress.set(platform::adapterAddressText());
  loadCertificateAndLogValues(key, record);
  const uint32_t noLocalNets = loadSocksAndSessionValues(key, record);
  loadTcpAndListValues(key, record);
  // A table that cannot be built stays as it was.
  if (noLocalNets == 0) {
    record->localNetCount = 0;
  } else {
    buildLocalNetTable(record);
  }
  return platform::kErrorSuccess;
}

namespace {

void saveCertificateValues(const Settings& r, ValueBatch* out) {
  out->text("ssl.ca_cert", r.sslCaCert.get());
  out->text("ssl.cipher", r.sslCipher.get());
  out->text("ssl.crl_lists", r.sslCrlLists.get());
  out->text("ssl.ticket_keys", r.sslTicketKeys.get());
  out->dword("crl.check.enable", r.crlCheckEnable);
  out->dword("crl.policy.fail.CannotFindCrlForIssuer", r.crlPolicyFailCannotFindCrlForIssuer);
  out->dword("crl.policy.fail.ExpiredCrlForIssuer", r.crlPolicyFailExpiredCrlForIssuer);
  out->dword("crl.policy.fail.ValidCrlRevokesCert", r.crlPolicyFailValidCrlRevokesCert);
  out->dword("filter.enable", r.filterEnable);
  out->text("filter.have", r.filterHave.get());
  out->text("filter.havenot", r.filterHavenot.get());
  out->dword("ssl.enable_ssl2", r.sslEnableSsl2);
  out->dword("ssl.enable_ssl3", r.sslEnableSsl3);
  out->dword("ssl.enable_tls1", r.sslEnableTls1);
  out->dword("ssl.use_system_registry", r.sslUseSystemRegistry);
  out->dword("verbose", r.verbose);
  out->dword("log.nolog", r.logNolog);
}

void savePassphrase(const Settings& r, ValueBatch* out) {
  const std::string text = r.sslPasswd.get();
  if (r.sslSavePasswd == 0 || text.empty()) {
    out->remove("ssl.passwd");
    return;
  }
  std::vector<uint8_t> buf(text.size() + 1 + 8, 0);
  std::memcpy(buf.data(), text.c_str(), text.size() + 1);
  const auto length = static_cast<uint32_t>(text.size() + 1);
  protectPassphrase(buf.data(), length, r.adapterAddress.get());
  out->binary("ssl.passwd", buf.data(), length);
}

void saveNetworkAndLogValues(const Settings& r, ValueBatch* out) {
  out->dword("socks.enable", r.socksEnable);
  out->text("socks.server", r.socksServer.get());
  out->text("socks.port", r.socksPort.get());
  if (r.localNetCount != 0) {
    out->dword("socks.no_local_nets", r.localNetCount);
  } else {
    out->remove("socks.no_local_nets");
  }
  out->text("ssl.proxy_ports", sslPortsText(r));
  out->dword("debug", r.debug);
  out->dword("thread.pool.enable", r.threadPoolEnable);
  out->dword("perf.mon.enable", r.perfMonEnable);
  out->dword("tcp.linger", r.tcpLinger);
  out->dword("tcp.nodelay", r.tcpNodelay);
  out->dword("tcp.max.connections", r.tcpMaxConnections);
  out->dword("ssl.save_passwd", r.sslSavePasswd);
  savePassphrase(r, out);
  out->dword("log.err", r.logErr);
  out->dword("log.warn", r.logWarn);
  out->dword("log.info", r.logInfo);
  out->dword("log.debug", r.logDebug);
  out->dword("log.detailed", r.logDetailed);
  out->dword("log.max", r.logMax);
  out->dword("toolbar.size", r.toolbarSize);
  out->dword("ssl.verify_host", r.sslVerifyHost);
  out->text("proxy.auth.preference", r.proxyAuthPreference.get());
}

}  // namespace

long saveSettings(platform::Hive root, const Settings& record) {
  platform::RegKey key;
  const long rc = platform::regCreateKey(root, kSettingsKey, &key);
  if (rc != platform::kErrorSuccess) return rc;
  // One rewrite of the store for the whole record, not one per value.
  ValueBatch batch;
  saveCertificateValues(record, &batch);
  saveNetworkAndLogValues(record, &batch);
  return batch.write(key);
}

void freeSettings(Settings* record) {
  for (SettingText* text :
       {&record->sslCaCert, &record->sslCrlLists, &record->sslCipher, &record->sslTicketKeys,
        &record->sslPasswd, &record->bklLocation, &record->socksServer, &record->socksPort,
        &record->debugFile, &record->filterHave, &record->filterHavenot, &record->adapterAddress}) {
    text->clear();
  }
  for (int i = 0; i < kMaxListEntries; ++i) {
    record->hostList[i].clear();
    record->portList[i].clear();
  }
}

uint32_t requestTimeoutMs(const Settings& record) {
  constexpr uint32_t kStandingMs = 120000;
  constexpr uint32_t kLongestSeconds = 24 * 3600;
  const uint32_t value = record.tcpTimeout;
  if (value <= 1) return value * kStandingMs;
  return std::min(value, kLongestSeconds) * 1000;
}

void publishLogSwitches(const Settings& record) {
  logging::LogSwitches& s = logging::logSwitches();
  s.nolog = record.logNolog;
  s.err = record.logErr;
  s.warn = record.logWarn;
  s.info = record.logInfo;
  s.detailed = record.logDetailed;
  s.debug = record.debug;
  s.logDebug = record.logDebug;
  s.max = record.logMax;
}

void classfulNetwork(uint32_t address, uint32_t* network, uint32_t* mask) {
  const uint32_t host = ntohl(address);
  uint32_t m = 0xFFFFFFFFu;
  if ((host & 0x80000000u) == 0) {
    m = 0xFF000000u;
  } else if ((host & 0xC0000000u) == 0x80000000u) {
    m = 0xFFFF0000u;
  } else if ((host & 0xE0000000u) == 0xC0000000u) {
    m = 0xFFFFFF00u;
  }
  *mask = htonl(m);
  *network = htonl(host & m);
}

void setLocalNetworks(Settings* record, const uint32_t* addresses, int count) {
  if (count > kMaxLocalNets) count = kMaxLocalNets;
  for (int i = 0; i < count; ++i) {
    uint32_t network = 0;
    uint32_t mask = 0;
    classfulNetwork(addresses[i], &network, &mask);
    record->localNetAddr[i] = network;
    record->localNetMask[i] = mask;
  }
  record->localNetCount = static_cast<uint32_t>(count);
}

bool rebuildLocalNetworks(Settings* record, bool on) {
  if (!on) {
    record->localNetCount = 0;
    return false;
  }
  buildLocalNetTable(record);
  return record->localNetCount != 0;
}

void setSslPorts(Settings* record, const std::string& text) {
  int count = 0;
  size_t start = 0;
  while (start <= text.size() && count < kMaxSslPorts) {
    size_t end = text.find(':', start);
    if (end == std::string::npos) end = text.size();
    const std::string entry = text.substr(start, end - start);
    uint32_t port = 0;
    if (!entry.empty() && entry[0] >= '0' && entry[0] <= '9') {
      for (size_t i = 0; i < entry.size() && entry[i] >= '0' && entry[i] <= '9' && port <= 65535;
           ++i) {
        port = port * 10 + static_cast<uint32_t>(entry[i] - '0');
      }
      if (port > 65535) port = 0;  // a number no port can have is skipped like an unknown name
    } else if (!entry.empty()) {
      port = platform::tcpServicePort(entry);
    }
    if (port != 0) record->sslPorts[count++] = htons(static_cast<uint16_t>(port));
    start = end + 1;
  }
  if (count == 0) record->sslPorts[count++] = htons(443);
  record->sslPortCount = static_cast<uint32_t>(count);
}

std::string sslPortsText(const Settings& record) {
  std::string text;
  const uint32_t count =
      record.sslPortCount < kMaxSslPorts ? record.sslPortCount.get() : kMaxSslPorts;
  for (uint32_t i = 0; i < count; ++i) {
    const uint16_t port = ntohs(static_cast<uint16_t>(record.sslPorts[i].get()));
    std::string name = platform::tcpServiceName(port);
    if (name.empty()) name = std::to_string(port);
    if (!text.empty()) text += ':';
    text += name;
  }
  return text;
}

int splitList(const std::string& text, SettingText (&entries)[kMaxListEntries]) {
  int count = 0;
  size_t start = 0;
  while (start < text.size() && count < kMaxListEntries) {
    size_t end = text.find(':', start);
    if (end == std::string::npos) end = text.size();
    entries[count++].set(text.substr(start, end - start));
    start = end + 1;
  }
  for (int i = count; i < kMaxListEntries; ++i) entries[i].clear();
  return count;
}

const char* settingsKeyPath() { return kSettingsKey; }

uint32_t toolbarSize(const Settings& record) {
  const uint32_t size = record.toolbarSize;
  return size == 0 ? kDefaultToolbarSize : size;
}

}  // namespace config
