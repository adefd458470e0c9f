// Relay rules: which accepted connections the relay takes, in which SSL role, and where it sends
// them.
//
// A `RuleTable` holds up to 256 rules in the user's order; each rule is stored as the subkey
// "RuleN" (N from 1) of the settings key. A rule is reference counted: every table that holds it
// and every connection that `findRule` hands it holds one reference, so a rule replaced or
// deleted while in use lives until its last connection ends. A rule that a table of the running
// relay holds is never changed: an edit makes a new rule. The counts are atomic, so tables are
// copied (with a reference each) and dropped on any thread without a lock; a table itself is
// used by one thread at a time, or by many once nobody changes it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/ip_address.h"
#include "platform/registry.h"

namespace config {

constexpr int kMaxRules = 256;

enum RuleRole : uint32_t { kRolePlug = 0, kRoleClient = 1, kRoleServer = 2, kRoleProxy = 3 };
enum ConnectType : uint32_t { kConnectDirect = 0, kConnectSocks = 1, kConnectHttp = 2 };

// One rule. Texts are what the user typed (empty when unset); the numbers are derived from them by
// `resolveRule`.
struct ccRule {
  uint32_t disabled = 0;
  // Set at load for a rule whose values no port or role can come from (a listening port of 0 or
  // with trailing text, a role or destination mode out of range): kept in the table so that a
  // save writes it back unchanged, but never listened on or matched.
  bool refused = false;
  std::atomic<uint32_t> references{1};
  std::string ifAddrStr;
  platform::IpAddress ifAddr;
  std::string peerAddrStr;
  platform::IpAddress peerAddr;
  std::string peerMaskStr;
  platform::IpAddress peerMask;
  std::string peerPortStr;
  uint16_t peerPort = 0;
  std::string destAddrStr;  // empty for rules that are not direct
  platform::IpAddress destAddr;
  std::string destPortStr;
  uint16_t destPort = 0;
  uint32_t sslRole = kRolePlug;
  std::string sslCert;
  std::string sslKey;
  uint32_t verifyServer = 0;
  uint32_t verifyClient = 0;
  uint32_t httpsProxyEnable = 0;
  std::string httpsProxyServer;
  std::string httpsProxyPort;
  std::string httpsProxyUser;
  std::string httpsProxyUserPass;
  uint32_t httpsProxyUseNtlm = 0;
  uint32_t httpProxyDropTime = 0;  // seconds
  uint32_t certType = 1;
  uint32_t connectType = kConnectDirect;
  // Connections of the rule's port start with a PROXY header naming the real client (non-zero);
  // outgoing connections start with one of version 1 or 2 (0: none).
  uint32_t proxyProtocolAccept = 0;
  uint32_t proxyProtocolSend = 0;
};

// The rules of one root, each entry holding a reference of the table's own. Copies take a
// reference to every rule; the table drops its references when it goes.
struct RuleTable {
  platform::Hive root = platform::Hive::kCurrentUser;
  int count = 0;
  ccRule* rules[kMaxRules] = {};
  // Rule keys known to exist in the store since the last load or save.
  int loadedRuleKeys = 0;

  RuleTable() = default;
  RuleTable(const RuleTable& other);
  RuleTable& operator=(const RuleTable& other);
  ~RuleTable();
};

// Releases what the table holds, then loads Rule1, Rule2, ... until the first missing or
// incomplete rule (or 256), logging the rules left out and why, refusing (logged) the rules no
// port or role can come from, and warning of rules an earlier one hides. Returns the number loaded.
int loadAllRules(RuleTable* table);
// Writes every rule of the table and deletes the keys of rules loaded earlier beyond its end.
// Returns 0 or the first registry error.
long saveAllRules(RuleTable* table);
// A new rule with one reference read from the key of position `index` (0-based), or null; *why
// (when given) is then kRuleMissing or the `validateRule` code of the incomplete rule.
constexpr int kRuleMissing = 1;
ccRule* loadRule(platform::Hive root, int index, int* why = nullptr);
// Writes the rule to the key of position `index`, or deletes that key when `rule` is null.
long saveRule(platform::Hive root, int index, const ccRule* rule);
uint32_t retainRule(ccRule* rule);
// Drops one reference; the rule is freed when none is left. Returns the new count.
uint32_t releaseRule(ccRule* rule);
void releaseAllRules(RuleTable* table);
// Makes the table hold `rules` (at most 256, in order), each with a reference of the table's own,
// then releases the references it held before.
void replaceRules(RuleTable* table, const std::vector<ccRule*>& rules);
// Derives the numbers from the texts, host and service names looked up (it may wait for the
// resolver). The texts of names that do not resolve are added to `unresolved`, when given.
void resolveRule(ccRule* rule, std::vector<std::string>* unresolved = nullptr);
// The numbers that texts give without any lookup (keywords, dotted quads, port numbers); a name
// leaves its number 0 until `resolveRule` looks it up. For building a rule where nobody may wait
// for the resolver.
void deriveLiteralNumbers(ccRule* rule);
// 0, or -1 to -5 for the first missing part: client address, listening port, client mask,
// destination, destination port (the last two for direct rules only).
int validateRule(const ccRule* rule);
// The one-line description shown in the rules list and logged by the listener.
void describeRule(char* buffer, size_t size, const ccRule* rule);

// Holds one reference to a rule and drops it when it goes.
class RuleRef {
 public:
  explicit RuleRef(ccRule* rule = nullptr) : rule_(rule) {}
  RuleRef(RuleRef&& other) noexcept : rule_(other.rule_) { other.rule_ = nullptr; }
  RuleRef& operator=(RuleRef&& other) noexcept;
  RuleRef(const RuleRef&) = delete;
  RuleRef& operator=(const RuleRef&) = delete;
  ~RuleRef();
  ccRule* get() const { return rule_; }
  ccRule* operator->() const { return rule_; }
  ccRule& operator*() const { return *rule_; }
  explicit operator bool() const { return rule_ != nullptr; }

 private:
  ccRule* rule_;
};

// The rule that serves one connection, and the destination its texts name at the accept.
struct RuleMatch {
  RuleRef rule;
  // Every address of the destination, in the resolver's order; none when its name does not
  // resolve, 255.255.255.255 alone for rules that are not direct.
  std::vector<platform::IpAddress> destAddrs;
  uint16_t destPort = 0;  // network byte order; 0 for rules that are not direct
};

// Why a rule's client mask cannot serve its client address (an IPv4 mask with an IPv6 source, or
// the reverse); empty when it can or when the source is a host name, whose family only a lookup
// tells.
std::string maskMismatch(const ccRule& rule);

// Whether connections to this local port (network byte order) start with a PROXY header: one of
// the port's served rules asks for it. Reads the rules' derived ports (`resolveRule`), as the
// listeners do.
bool portTakesProxyHeader(const RuleTable& table, uint16_t localPort);

// The first enabled rule of `table` for this client address and local port (network byte order),
// with a reference taken for the caller; no rule when none fits. Host and service names are
// looked up again at each call, into the match (the rules stay as they are): only the rules of
// this port have their client address looked up, and only the rule found its destination.
RuleMatch findRule(const RuleTable& table, const platform::IpAddress& clientAddress,
                   uint16_t localPort);

}  // namespace config
