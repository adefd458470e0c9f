#include "relay/relay_config.h"

#include <cstdio>

#include "log/log.h"
#include "proxy/proxy_client.h"
#include "relay/relay_state.h"
#include "relay/ticket_keys.h"
#include "security/crl_store.h"

namespace relay {
namespace {

constexpr char kModule[] = "ccConfig";

config::ccRule* copyRule(const config::ccRule& r) {
  auto* copy = new config::ccRule;
  copy->disabled = r.disabled;
  copy->refused = r.refused;
  copy->ifAddrStr = r.ifAddrStr;
  copy->peerAddrStr = r.peerAddrStr;
  copy->peerMaskStr = r.peerMaskStr;
  copy->peerPortStr = r.peerPortStr;
  copy->destAddrStr = r.destAddrStr;
  copy->destPortStr = r.destPortStr;
  copy->ifAddr = r.ifAddr;
  copy->peerAddr = r.peerAddr;
  copy->peerMask = r.peerMask;
  copy->peerPort = r.peerPort;
  copy->destAddr = r.destAddr;
  copy->destPort = r.destPort;
  copy->sslRole = r.sslRole;
  copy->sslCert = r.sslCert;
  copy->sslKey = r.sslKey;
  copy->verifyServer = r.verifyServer;
  copy->verifyClient = r.verifyClient;
  copy->httpsProxyEnable = r.httpsProxyEnable;
  copy->httpsProxyServer = r.httpsProxyServer;
  copy->httpsProxyPort = r.httpsProxyPort;
  copy->httpsProxyUser = r.httpsProxyUser;
  copy->httpsProxyUserPass = r.httpsProxyUserPass;
  copy->httpsProxyUseNtlm = r.httpsProxyUseNtlm;
  copy->httpProxyDropTime = r.httpProxyDropTime;
  copy->certType = r.certType;
  copy->connectType = r.connectType;
  copy->proxyProtocolAccept = r.proxyProtocolAccept;
  copy->proxyProtocolSend = r.proxyProtocolSend;
  return copy;
}

// Copies of the rules with their numbers derived; the names that do not resolve are told.
config::RuleTable resolvedRules(const config::RuleTable& rules,
                                std::vector<std::string>* problems) {
  config::RuleTable table;
  table.root = rules.root;
  table.loadedRuleKeys = rules.loadedRuleKeys;
  std::vector<config::RuleRef> copies;
  for (int i = 0; i < rules.count; ++i) {
    if (rules.rules[i] == nullptr) continue;
    copies.emplace_back(copyRule(*rules.rules[i]));
    const config::RuleRef& copy = copies.back();
    if (servesConnections(*copy)) {
      std::vector<std::string> unresolved;
      config::resolveRule(copy.get(), &unresolved);
      for (const std::string& name : unresolved) {
        char line[512];
        std::snprintf(line, sizeof line, "Rule%d: the host name <%s> does not resolve", i + 1,
                      name.c_str());
        log_event(LOG_WARNING, 0x6001, kModule, __LINE__, "%s", line);
        if (problems != nullptr) problems->emplace_back(line);
      }
    }
  }
  std::vector<config::ccRule*> held;
  for (const config::RuleRef& copy : copies) held.push_back(copy.get());
  config::replaceRules(&table, held);  // the table takes references of its own
  return table;
}

// What a new context holds before it serves: the CRLs, the trusted CA certificates and the
// cipher list.
void prepareContext(SSL_CTX* ctx, const config::Settings& s, std::vector<std::string>* problems) {
  X509_STORE* store = SSL_CTX_get_cert_store(ctx);
  if (s.crlCheckEnable != 0) {
    if (const std::string crlDir = s.sslCrlLists.get(); !crlDir.empty()) {
      crl_load_dir(store, crlDir.c_str(), s.verbose != 0);
      crl_list_all(store);
    }
  }
  loadCaCertificates(ctx, s);
  if (!applyCipherList(ctx, s) && problems != nullptr) {
    problems->push_back("error setting cipher list using <" + s.sslCipher.get() + ">");
  }
}

// The upstream proxy's scheme list is read at each exchange; its faults are told once per
// configuration.
void checkAuthPreference(const std::string& text) {
  std::vector<std::string> skipped;
  bool fellBack = false;
  const std::string usable = proxy::usableSchemePreference(text, &skipped, &fellBack);
  for (const std::string& name : skipped) {
    log_event(LOG_WARNING, 0x6001, kModule, __LINE__,
              "The proxy.auth.preference name <%s> is none of Negotiate, Kerberos, NTLM and Basic: "
              "it is skipped",
              name.c_str());
  }
  if (fellBack && !text.empty()) {
    log_event(LOG_WARNING, 0x6001, kModule, __LINE__,
              "The proxy.auth.preference <%s> names no scheme this relay knows: <%s> serves",
              text.c_str(), usable.c_str());
  }
}

}  // namespace

bool servesConnections(const config::ccRule& rule) { return rule.disabled == 0 && !rule.refused; }

ConfigSnapshot buildRelayConfig(const config::Settings& settings, const config::RuleTable& rules,
                                const std::shared_ptr<RelayState>& state,
                                std::vector<std::string>* problems) {
  auto next = std::make_shared<RelayConfig>();
  next->generation = ++state->configurations;
  next->ccSettings = settings;
  next->ruleTable = resolvedRules(rules, problems);
  next->sharedContext = buildSharedContext(settings, state);
  if (next->sharedContext != nullptr) {
    next->cipherNames = contextCipherNames(next->sharedContext.get());
    prepareContext(next->sharedContext.get(), settings, problems);
    // A fleet's shared ticket keys, or else the library's own; never a part of a key file.
    if (const std::string file = settings.sslTicketKeys.get(); !file.empty()) {
      std::string why;
      if (!attachTicketKeys(next->sharedContext.get(), file, &why)) {
        log_event(LOG_ERROR, 0x6001, kModule, __LINE__,
                  "The ticket key file <%s> is refused (%s): this relay's own keys serve",
                  file.c_str(), why.c_str());
      }
    }
  }
  checkAuthPreference(settings.proxyAuthPreference.get());
  return next;
}

}  // namespace relay
