#include "config/rules.h"

#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "config/address.h"
#include "config/registry_values.h"
#include "config/settings.h"
#include "log/log.h"
#include "platform/system.h"

namespace config {

namespace {

constexpr char kModule[] = "ccConfig";
const platform::IpAddress kNoDestination = platform::IpAddress::ipv4(0xFFFFFFFFu);

std::string ruleKeyName(int index) { return "Rule" + std::to_string(index + 1); }

void readRuleText(const platform::RegKey& key, const char* name, std::string* field) {
  std::string text;
  if (readText(key, name, &text)) *field = std::move(text);
}

void readRuleValues(const platform::RegKey& key, ccRule* rule) {
  rule->disabled = readDword(key, "disable", 0);
  rule->ifAddr = platform::IpAddress::ipv4(readDword(key, "if.addr", 0));
  rule->peerAddr = platform::IpAddress::ipv4(readDword(key, "peer.addr", 0));
  rule->peerMask = platform::IpAddress::ipv4(readDword(key, "peer.mask", 0));
  rule->peerPort = static_cast<uint16_t>(readDword(key, "peer.port", 0));
  rule->destAddr = platform::IpAddress::ipv4(readDword(key, "dest.addr", 0));
  rule->destPort = static_cast<uint16_t>(readDword(key, "dest.port", 0));
  rule->sslRole = readDword(key, "ssl.role", kRolePlug);
  rule->certType = readDword(key, "cert.type", 1);
  rule->verifyServer = readDword(key, "ssl.verify_server", 0);
  rule->verifyClient = readDword(key, "ssl.verify_client", 0);
  rule->connectType = readDword(key, "connect.type", kConnectDirect);
  rule->httpsProxyEnable = readDword(key, "https.proxy.enable", 0);
  readRuleText(key, "ssl.cert", &rule->sslCert);
  readRuleText(key, "ssl.key", &rule->sslKey);
  readRuleText(key, "if.addr.str", &rule->ifAddrStr);
  readRuleText(key, "peer.addr.str", &rule->peerAddrStr);
  readRuleText(key, "peer.port.str", &rule->peerPortStr);
  readRuleText(key, "peer.mask.str", &rule->peerMaskStr);
  readRuleText(key, "dest.addr.str", &rule->destAddrStr);
  readRuleText(key, "dest.port.str", &rule->destPortStr);
  readRuleText(key, "https.proxy.server", &rule->httpsProxyServer);
  readRuleText(key, "https.proxy.port", &rule->httpsProxyPort);
  readRuleText(key, "https.proxy.user", &rule->httpsProxyUser);
  readRuleText(key, "https.proxy.user.pass", &rule->httpsProxyUserPass);
  rule->httpsProxyUseNtlm = readDword(key, "https.proxy.useNTLM", 0);
  rule->httpProxyDropTime = readDword(key, "http.proxy.droptime", 0);
  rule->proxyProtocolAccept = readDword(key, "proxy.protocol.accept", 0);
  rule->proxyProtocolSend = readDword(key, "proxy.protocol.send", 0);
}

long writeRuleValues(const platform::RegKey& key, const ccRule& rule) {
  long first = platform::kErrorSuccess;
  auto note = [&first](long rc) {
    if (first == platform::kErrorSuccess) first = rc;
  };
  note(writeDword(key, "disable", rule.disabled));
  note(writeDword(key, "ssl.role", rule.sslRole));
  note(writeDword(key, "cert.type", rule.certType));
  note(writeDword(key, "ssl.verify_server", rule.verifyServer));
  note(writeDword(key, "ssl.verify_client", rule.verifyClient));
  note(writeDword(key, "connect.type", rule.connectType));
  note(writeText(key, "ssl.cert", rule.sslCert));
  note(writeText(key, "ssl.key", rule.sslKey));
  note(writeText(key, "if.addr.str", rule.ifAddrStr));
  note(writeText(key, "peer.addr.str", rule.peerAddrStr));
  note(writeText(key, "peer.port.str", rule.peerPortStr));
  note(writeText(key, "peer.mask.str", rule.peerMaskStr));
  note(writeText(key, "dest.addr.str", rule.destAddrStr));
  note(writeText(key, "dest.port.str", rule.destPortStr));
  note(writeDword(key, "https.proxy.enable", rule.httpsProxyEnable));
  note(writeText(key, "https.proxy.port", rule.httpsProxyPort));
  note(writeText(key, "https.proxy.server", rule.httpsProxyServer));
  note(writeDword(key, "https.proxy.useNTLM", rule.httpsProxyUseNtlm));
  note(writeDword(key, "http.proxy.droptime", rule.httpProxyDropTime));
  note(writeDword(key, "proxy.protocol.accept", rule.proxyProtocolAccept));
  note(writeDword(key, "proxy.protocol.send", rule.proxyProtocolSend));
  return first;
}

// Both the number and its text are unset.
bool unset(uint32_t number, const std::string& text) { return number == 0 && text.empty(); }
bool unset(const platform::IpAddress& number, const std::string& text) {
  return number.isZero() && text.empty();
}

// The address a text names; a host name that does not resolve is added to `unresolved`.
platform::IpAddress addressOf(const std::string& text, std::vector<std::string>* unresolved) {
  std::vector<platform::IpAddress> found;
  if (resolveAddresses(text, &found)) return found.front();
  if (unresolved != nullptr) unresolved->push_back(text);
  return platform::IpAddress();
}

// Whether the rule serves this client on this local port; the port is looked at first, so a rule
// of another port costs no address lookup. A mask of the other family's kind serves nobody.
bool fits(const ccRule& rule, const platform::IpAddress& clientAddress, uint16_t localPort) {
  if (parsePort(rule.peerPortStr) != localPort) return false;
  const platform::IpAddress source = parseAddress(rule.peerAddrStr);
  platform::IpAddress mask;
  if (!parseMask(rule.peerMaskStr, source.v6, &mask)) return false;
  return maskedMatch(source, mask, clientAddress);
}

}  // namespace

ccRule* loadRule(platform::Hive root, int index, int* why) {
  int ignored = 0;
  int& result = why != nullptr ? *why : ignored;
  result = kRuleMissing;
  if (index < 0 || index >= kMaxRules) return nullptr;
  platform::RegKey settings;
  platform::RegKey key;
  if (platform::regOpenKey(root, settingsKeyPath(), &settings) != platform::kErrorSuccess ||
      platform::regOpenSubKey(settings, ruleKeyName(index), false, &key) !=
          platform::kErrorSuccess) {
    return nullptr;
  }
  auto* rule = new ccRule;
  readRuleValues(key, rule);
  rule->references = 1;
  rule->peerPort = parsePort(rule->peerPortStr);
  result = validateRule(rule);
  if (result != 0) {
    delete rule;
    return nullptr;
  }
  return rule;
}

long saveRule(platform::Hive root, int index, const ccRule* rule) {
  if (index < 0 || index >= kMaxRules) return platform::kErrorInvalidParameter;
  platform::RegKey settings;
  long rc = platform::regCreateKey(root, settingsKeyPath(), &settings);
  if (rc != platform::kErrorSuccess) return rc;
  if (rule == nullptr) {
    rc = platform::regDeleteKey(settings, ruleKeyName(index));
    return rc == platform::kErrorFileNotFound ? platform::kErrorSuccess : rc;
  }
  platform::RegKey key;
  rc = platform::regOpenSubKey(settings, ruleKeyName(index), true, &key);
  if (rc != platform::kErrorSuccess) return rc;
  return writeRuleValues(key, *rule);
}

namespace {

// Puts `count` rules into the table (their references become the table's), then releases the
// table's references to the rules it held before.
void replaceTableRules(RuleTable* table, ccRule* const* rules, int count) {
  ccRule* old[kMaxRules] = {};
  const int oldCount = table->count;
  for (int i = 0; i < kMaxRules; ++i) {
    old[i] = table->rules[i];
    table->rules[i] = i < count ? rules[i] : nullptr;
  }
  table->count = count;
  for (int i = 0; i < oldCount; ++i) {
    if (old[i] != nullptr) releaseRule(old[i]);
  }
}

const char* const kMissingParts[] = {"client address", "listening port", "client mask",
                                     "destination", "destination port"};

// The largest N of the RuleN keys present, 0 when none.
int lastRuleKey(platform::Hive root) {
  platform::RegKey settings;
  if (platform::regOpenKey(root, settingsKeyPath(), &settings) != platform::kErrorSuccess) return 0;
  int last = 0;
  std::string name;
  for (uint32_t i = 0; platform::regEnumKey(settings, i, &name) == platform::kErrorSuccess; ++i) {
    if (name.size() < 5 || strncasecmp(name.c_str(), "Rule", 4) != 0) continue;
    const std::string digits = name.substr(4);
    if (digits.empty() || digits.size() > 6 ||
        digits.find_first_not_of("0123456789") != std::string::npos || digits[0] == '0') {
      continue;
    }
    last = std::max(last, std::stoi(digits));
  }
  return last;
}

// Loading stops at the first missing or incomplete rule and after 256: the rules it leaves out
// are told, so that a gap in the store is not a silent loss.
void reportLoadEnd(platform::Hive root, int count, int why) {
  const int last = lastRuleKey(root);
  if (count == kMaxRules) {
    if (last > kMaxRules) {
      log_event(LOG_WARNING, 0x6001, kModule, __LINE__,
                "Rules after Rule%d are not loaded: at most %d rules are kept", kMaxRules,
                kMaxRules);
    }
    return;
  }
  if (why < 0 && why >= -5) {
    log_event(LOG_WARNING, 0x6001, kModule, __LINE__,
              "Rule%d is incomplete (no %s): it and the rules after it are not loaded", count + 1,
              kMissingParts[-why - 1]);
  } else if (last > count + 1) {
    log_event(LOG_WARNING, 0x6001, kModule, __LINE__,
              "Rule%d is missing: the rules after it (up to Rule%d) are not loaded", count + 1,
              last);
  }
}

// A rule whose texts give no port or whose role or destination mode is out of range is kept (a
// save writes it back as it was) but never served.
void refuseUnusable(ccRule* rule, int index) {
  char reason[320] = "";
  if (!isPortText(rule->peerPortStr)) {
    std::snprintf(reason, sizeof reason, "its listening port <%s> is no port",
                  rule->peerPortStr.c_str());
  } else if (rule->sslRole > kRoleProxy) {
    std::snprintf(reason, sizeof reason, "its role %u is none of 0 to 3", rule->sslRole);
  } else if (rule->connectType > kConnectHttp) {
    std::snprintf(reason, sizeof reason, "its destination mode %u is none of 0 to 2",
                  rule->connectType);
  } else if (rule->connectType == kConnectDirect && !isPortText(rule->destPortStr)) {
    std::snprintf(reason, sizeof reason, "its destination port <%s> is no port",
                  rule->destPortStr.c_str());
  } else if (rule->proxyProtocolSend > 2) {
    std::snprintf(reason, sizeof reason, "its PROXY header version %u is none of 0 to 2",
                  rule->proxyProtocolSend);
  } else if (const std::string why = maskMismatch(*rule); !why.empty()) {
    std::snprintf(reason, sizeof reason, "its client mask <%s> does not fit <%s>: %s",
                  rule->peerMaskStr.c_str(), rule->peerAddrStr.c_str(), why.c_str());
  } else {
    return;
  }
  rule->refused = true;
  log_event(LOG_WARNING, 0x6001, kModule, __LINE__, "Rule%d is refused: %s", index + 1, reason);
}

// Two enabled rules on one port whose client texts are the same, or an earlier rule for every
// client of the port: the later one can never match. Legal, but worth a word.
void warnShadowed(ccRule* const* rules, int count) {
  for (int j = 0; j < count; ++j) {
    const ccRule& later = *rules[j];
    if (later.disabled != 0 || later.refused) continue;
    for (int i = 0; i < j; ++i) {
      const ccRule& earlier = *rules[i];
      if (earlier.disabled != 0 || earlier.refused) continue;
      if (parsePort(earlier.peerPortStr) != parsePort(later.peerPortStr)) continue;
      platform::IpAddress mask = platform::IpAddress::ipv4(1);
      const bool everyClient = literalAddress(earlier.peerMaskStr, &mask) && mask.isZero();
      const bool sameClients = earlier.peerAddrStr == later.peerAddrStr &&
                               earlier.peerMaskStr == later.peerMaskStr &&
                               earlier.ifAddrStr == later.ifAddrStr;
      if (!everyClient && !sameClients) continue;
      log_event(LOG_WARNING, 0x6001, kModule, __LINE__,
                "Rule%d can never match: Rule%d takes its clients of port %s first", j + 1, i + 1,
                later.peerPortStr.c_str());
      break;
    }
  }
}

}  // namespace

RuleTable::RuleTable(const RuleTable& other)
    : root(other.root), count(other.count), loadedRuleKeys(other.loadedRuleKeys) {
  for (int i = 0; i < count; ++i) {
    rules[i] = other.rules[i];
    if (rules[i] != nullptr) retainRule(rules[i]);
  }
}

RuleTable& RuleTable::operator=(const RuleTable& other) {
  if (this == &other) return *this;
  std::vector<ccRule*> held(other.rules, other.rules + other.count);
  replaceRules(this, held);
  root = other.root;
  loadedRuleKeys = other.loadedRuleKeys;
  return *this;
}

RuleTable::~RuleTable() { releaseAllRules(this); }

int loadAllRules(RuleTable* table) {
  ccRule* loaded[kMaxRules] = {};
  int count = 0;
  int why = 0;
  while (count < kMaxRules) {
    ccRule* rule = loadRule(table->root, count, &why);
    if (rule == nullptr) break;
    loaded[count++] = rule;
  }
  reportLoadEnd(table->root, count, why);
  for (int i = 0; i < count; ++i) refuseUnusable(loaded[i], i);
  warnShadowed(loaded, count);
  replaceTableRules(table, loaded, count);
  table->loadedRuleKeys = count;
  return count;
}

long saveAllRules(RuleTable* table) {
  long first = platform::kErrorSuccess;
  auto note = [&first](long rc) {
    if (first == platform::kErrorSuccess) first = rc;
  };
  for (int i = 0; i < table->count; ++i) note(saveRule(table->root, i, table->rules[i]));
  for (int i = table->count; i < table->loadedRuleKeys && i < kMaxRules; ++i) {
    note(saveRule(table->root, i, nullptr));
  }
  table->loadedRuleKeys = table->count;
  return first;
}

std::string maskMismatch(const ccRule& rule) {
  platform::IpAddress source;
  if (!literalAddress(rule.peerAddrStr, &source)) return {};
  platform::IpAddress mask;
  std::string why;
  return parseMask(rule.peerMaskStr, source.v6, &mask, &why) ? std::string() : why;
}

bool portTakesProxyHeader(const RuleTable& table, uint16_t localPort) {
  for (int i = 0; i < table.count; ++i) {
    const ccRule* rule = table.rules[i];
    if (rule == nullptr || rule->disabled != 0 || rule->refused || rule->proxyProtocolAccept == 0) {
      continue;
    }
    // The port the listener was opened on, derived when the table was built: no service name is
    // looked up again for each connection.
    if (rule->peerPort == localPort) return true;
  }
  return false;
}

RuleMatch findRule(const RuleTable& table, const platform::IpAddress& clientAddress,
                   uint16_t localPort) {
  RuleMatch match;
  for (int i = 0; i < table.count; ++i) {
    ccRule* rule = table.rules[i];
    if (rule == nullptr || rule->disabled != 0 || rule->refused) continue;
    if (!fits(*rule, clientAddress, localPort)) continue;
    retainRule(rule);
    match.rule = RuleRef(rule);
    if (rule->connectType == kConnectDirect) {
      resolveAddresses(rule->destAddrStr, &match.destAddrs);
      match.destPort = parsePort(rule->destPortStr);
    } else {
      match.destAddrs = {kNoDestination};
      match.destPort = 0;
    }
    break;
  }
  return match;
}

uint32_t retainRule(ccRule* rule) {
  return rule->references.fetch_add(1, std::memory_order_relaxed) + 1;
}

uint32_t releaseRule(ccRule* rule) {
  uint32_t left = rule->references.load(std::memory_order_relaxed);
  // Never below zero; the last reference frees the rule.
  while (left > 0 &&
         !rule->references.compare_exchange_weak(left, left - 1, std::memory_order_acq_rel)) {
  }
  if (left == 0) return 0;
  if (left == 1) delete rule;
  return left - 1;
}

void releaseAllRules(RuleTable* table) { replaceTableRules(table, nullptr, 0); }

void replaceRules(RuleTable* table, const std::vector<ccRule*>& rules) {
  const int count = static_cast<int>(std::min(rules.size(), static_cast<size_t>(kMaxRules)));
  for (int i = 0; i < count; ++i) retainRule(rules[static_cast<size_t>(i)]);
  replaceTableRules(table, rules.data(), count);
}

void resolveRule(ccRule* rule, std::vector<std::string>* unresolved) {
  rule->ifAddr = addressOf(rule->ifAddrStr, unresolved);
  rule->peerAddr = addressOf(rule->peerAddrStr, unresolved);
  rule->peerMask = addressOf(rule->peerMaskStr, unresolved);
  rule->peerPort = parsePort(rule->peerPortStr);
  if (rule->connectType == kConnectDirect) {
    rule->destAddr = addressOf(rule->destAddrStr, unresolved);
    rule->destPort = parsePort(rule->destPortStr);
    return;
  }
  rule->destAddrStr.clear();
  rule->destAddr = kNoDestination;
  rule->destPort = 0;
}

void deriveLiteralNumbers(ccRule* rule) {
  for (auto [text, number] :
       {std::pair{&rule->ifAddrStr, &rule->ifAddr}, std::pair{&rule->peerAddrStr, &rule->peerAddr},
        std::pair{&rule->peerMaskStr, &rule->peerMask},
        std::pair{&rule->destAddrStr, &rule->destAddr}}) {
    platform::IpAddress address;
    *number = literalAddress(*text, &address) ? address : platform::IpAddress();
  }
  rule->peerPort = parsePort(rule->peerPortStr);
  if (rule->connectType == kConnectDirect) {
    rule->destPort = parsePort(rule->destPortStr);
    return;
  }
  rule->destAddrStr.clear();
  rule->destAddr = kNoDestination;
  rule->destPort = 0;
}

int validateRule(const ccRule* rule) {
  if (unset(rule->peerAddr, rule->peerAddrStr)) return -1;
  if (unset(rule->peerPort, rule->peerPortStr)) return -2;
  if (unset(rule->peerMask, rule->peerMaskStr)) return -3;
  if (rule->connectType == kConnectDirect) {
    if (unset(rule->destAddr, rule->destAddrStr)) return -4;
    if (unset(rule->destPort, rule->destPortStr)) return -5;
  }
  return 0;
}

void describeRule(char* buffer, size_t size, const ccRule* rule) {
  if (buffer == nullptr || size == 0) return;
  static const char* const kRoleWords[] = {"plug", "client", "server", "proxy"};
  const char* role = rule->sslRole < 4 ? kRoleWords[rule->sslRole] : "";
  const bool direct = rule->connectType == kConnectDirect;
  std::snprintf(buffer, size, "%s %s %s %s as %s to %s %s on %s %s ",
                rule->disabled != 0 ? "disabled (" : "", rule->peerPortStr.c_str(),
                rule->peerAddrStr.c_str(), rule->peerMaskStr.c_str(), role,
                direct ? rule->destAddrStr.c_str() : "dynamic destination",
                direct ? rule->destPortStr.c_str() : "",
                rule->ifAddrStr.empty() ? "all interfaces" : rule->ifAddrStr.c_str(),
                rule->disabled != 0 ? " )" : "");
}

RuleRef& RuleRef::operator=(RuleRef&& other) noexcept {
  if (this != &other) {
    if (rule_ != nullptr) releaseRule(rule_);
    rule_ = other.rule_;
    other.rule_ = nullptr;
  }
  return *this;
}

RuleRef::~RuleRef() {
  if (rule_ != nullptr) releaseRule(rule_);
}

}  // namespace config
