#include "ui/rule_form.h"

#include <QtEndian>
#include <algorithm>
#include <filesystem>

#include "config/address.h"
#include "platform/system.h"
#include "ui/text_limit.h"

namespace ui {
namespace {

constexpr char kAllOnes[] = "255.255.255.255";

std::string dotted(const platform::IpAddress& address) {
  char text[platform::kAddressTextSize];
  config::formatAddress(address, text);
  return text;
}

std::string addressText(const std::string& text, const platform::IpAddress& address) {
  return text.empty() ? dotted(address) : text;
}

std::string portText(const std::string& text, uint16_t port) {
  if (!text.empty()) return text;
  const uint16_t host = qFromBigEndian(port);
  const std::string name = platform::tcpServiceName(host);
  return name.empty() ? std::to_string(host) : name;
}

bool ascii(const std::string& text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

struct NamedText {
  const char* name;
  const std::string* text;
  bool addressOrPort;
};

// Texts the store cannot keep, and address or port texts no lookup can use.
bool textsUsable(const RuleForm& f, std::string* why) {
  const NamedText texts[] = {
      {"Interface IP", &f.ifAddr, true},
      {"source Host", &f.peerAddr, true},
      {"listening Port", &f.peerPort, true},
      {"Mask", &f.peerMask, true},
      {"destination Host", &f.destAddr, true},
      {"destination Port", &f.destPort, true},
      {"Cert", &f.cert, false},
      {"Key", &f.key, false},
      {"Http Proxy Host", &f.proxyServer, true},
      {"Http Proxy Port", &f.proxyPort, true},
      {"User", &f.proxyUser, false},
      {"Password", &f.proxyPassword, false},
  };
  for (const NamedText& t : texts) {
    if (t.text->size() > static_cast<size_t>(kStoredTextLimit)) {
      *why = std::string("the ") + t.name + " text is longer than " +
             std::to_string(kStoredTextLimit) + " bytes";
      return false;
    }
    if (t.addressOrPort && !ascii(*t.text)) {
      *why = std::string("the ") + t.name +
             " text is not ASCII (host names are looked up in their ASCII form)";
      return false;
    }
  }
  return true;
}

bool textsGiven(const RuleForm& f, std::string* why) {
  if (f.peerAddr.empty() || f.peerPort.empty() || f.peerMask.empty()) {
    *why = "the source Host, listening Port and Mask must all be given";
    return false;
  }
  if (f.mode < 0 || f.mode > static_cast<int>(config::kConnectHttp)) {
    *why = "no destination mode is chosen";
    return false;
  }
  if (f.mode == config::kConnectDirect && (f.destAddr.empty() || f.destPort.empty())) {
    *why = "a Direct rule needs a destination Host and Port";
    return false;
  }
  return true;
}

}  // namespace

RuleDialogContext ruleDialogContext(const config::Settings& settings, std::string programFolder,
                                    PassphraseMemory passphrase) {
  RuleDialogContext context(std::move(programFolder));
  for (uint32_t i = 0; i < settings.hostCount && i < config::kMaxListEntries; ++i) {
    context.hosts.push_back(settings.hostList[i].get());
  }
  for (uint32_t i = 0; i < settings.portCount && i < config::kMaxListEntries; ++i) {
    context.ports.push_back(settings.portList[i].get());
  }
  context.passphrase = std::move(passphrase);
  return context;
}

RuleForm newRuleForm() {
  RuleForm form;
  form.role = config::kRolePlug;
  form.mode = config::kConnectDirect;
  return form;
}

RuleForm formOfRule(const config::ccRule& r) {
  RuleForm f;
  f.ifAddr = r.ifAddrStr;
  f.peerAddr = addressText(r.peerAddrStr, r.peerAddr);
  f.peerMask = addressText(r.peerMaskStr, r.peerMask);
  f.peerPort = portText(r.peerPortStr, r.peerPort);
  f.mode = r.connectType <= config::kConnectHttp ? static_cast<int>(r.connectType) : -1;
  if (r.connectType == config::kConnectDirect) {
    f.destAddr = addressText(r.destAddrStr, r.destAddr);
    f.destPort = portText(r.destPortStr, r.destPort);
  }
  f.role = r.sslRole <= config::kRoleProxy ? static_cast<int>(r.sslRole) : -1;
  f.verifyServer = r.verifyServer != 0;
  f.verifyClient = r.verifyClient != 0;
  f.cert = r.sslCert;
  f.key = r.sslKey;
  f.disable = r.disabled != 0;
  f.proxyEnable = r.httpsProxyEnable != 0;
  f.proxyServer = r.httpsProxyServer;
  f.proxyPort = r.httpsProxyPort;
  f.proxyNtlm = r.httpsProxyUseNtlm != 0;
  f.proxyUser = r.httpsProxyUser;
  f.proxyPassword = r.httpsProxyUserPass;
  f.proxyAccept = r.proxyProtocolAccept != 0;
  f.proxySend = r.proxyProtocolSend;
  f.dropTime = r.httpProxyDropTime;
  return f;
}

config::RuleRef buildRule(const RuleForm& f, const std::string& programFolder, std::string* why) {
  std::string ignored;
  std::string& reason = why != nullptr ? *why : ignored;
  if (!textsGiven(f, &reason) || !textsUsable(f, &reason)) return config::RuleRef();
  config::RuleRef rule(new config::ccRule);
  rule->ifAddrStr = f.ifAddr;
  rule->peerAddrStr = f.peerAddr;
  // The loader refuses a port text with anything after its number, so the editor does too.
  rule->peerPortStr = f.peerPort;
  if (!config::isPortText(f.peerPort)) {
    reason = "the listening Port <" + f.peerPort + "> names no port";
    return config::RuleRef();
  }
  rule->peerMaskStr = f.peerMask;
  if (const std::string why = config::maskMismatch(*rule); !why.empty()) {
    reason = "the Mask <" + f.peerMask + "> does not fit the source Host: " + why;
    return config::RuleRef();
  }
  rule->connectType = static_cast<uint32_t>(f.mode);
  if (f.mode == config::kConnectDirect) {
    rule->destAddrStr = f.destAddr;
    rule->destPortStr = f.destPort;
    if (!config::isPortText(f.destPort)) {
      reason = "the destination Port <" + f.destPort + "> names no port";
      return config::RuleRef();
    }
  }
  rule->sslRole = f.role > 0 ? static_cast<uint32_t>(f.role) : config::kRolePlug;
  rule->certType = 1;
  rule->verifyServer = f.verifyServer ? 1 : 0;
  rule->verifyClient = f.verifyClient ? 1 : 0;
  if (rule->sslRole != config::kRolePlug) {
    rule->sslCert = fileInProgramFolder(f.cert, programFolder);
    rule->sslKey = fileInProgramFolder(f.key, programFolder);
  }
  rule->disabled = f.disable ? 1 : 0;
  rule->httpsProxyServer = f.proxyServer;
  rule->httpsProxyPort = f.proxyPort;
  rule->httpsProxyUser = f.proxyUser;
  rule->httpsProxyUserPass = f.proxyPassword;
  rule->httpsProxyEnable = f.proxyEnable ? 1 : 0;
  rule->httpsProxyUseNtlm = f.proxyNtlm ? 1 : 0;
  rule->httpProxyDropTime = f.dropTime;
  rule->proxyProtocolAccept = f.proxyAccept ? 1 : 0;
  rule->proxyProtocolSend = f.proxySend;
  // Names are looked up by the relay when it builds its configuration, never here.
  config::deriveLiteralNumbers(rule.get());
  if (const int code = config::validateRule(rule.get()); code != 0) {
    reason = "the rule is incomplete (" + std::to_string(code) + ")";
    return config::RuleRef();
  }
  return rule;
}

std::string fileInProgramFolder(const std::string& file, const std::string& programFolder) {
  if (file.empty() || programFolder.empty() || file.find('/') != std::string::npos) return file;
  const std::string full = programFolder + "/" + file;
  std::error_code ec;
  return std::filesystem::is_regular_file(full, ec) ? full : file;
}

std::string maskForHost(const std::string& host) {
  if (platform::IpAddress v6; platform::parseIpv6(host, &v6) && v6.v6) return "128";
  uint32_t address = 0;
  if (!config::dottedQuad(host, &address)) return kAllOnes;
  const uint32_t a = qFromBigEndian(address);
  if ((a & 0x80000000u) == 0) return (a & 0x00FFFFFFu) == 0 ? "255.0.0.0" : kAllOnes;
  if ((a & 0xC0000000u) == 0x80000000u) return (a & 0x0000FFFFu) == 0 ? "255.255.0.0" : kAllOnes;
  if ((a & 0xE0000000u) == 0xC0000000u) return (a & 0x000000FFu) == 0 ? "255.255.255.0" : kAllOnes;
  return host;
}

}  // namespace ui
