#include "dialog_shots_support.h"

#include <QFont>

#include "config/rules.h"
#include "config/settings.h"
#include "support/support.h"
#include "ui/rule_editor.h"
#include "ui/rules_dialog.h"
#include "ui/settings_sheet.h"

namespace {

config::ccRule* exampleRule(const char* port, const char* peer, const char* mask, uint32_t mode,
                            const char* dest, const char* destPort, uint32_t role) {
  auto* rule = new config::ccRule;
  rule->peerPortStr = port;
  rule->peerAddrStr = peer;
  rule->peerMaskStr = mask;
  rule->connectType = mode;
  if (mode == config::kConnectDirect) {
    rule->destAddrStr = dest;
    rule->destPortStr = destPort;
  }
  rule->sslRole = role;
  return rule;
}

// A table of example rules of every kind; it keeps its rules for the program's life.
config::RuleTable* exampleTable(const std::string& certificate) {
  static config::RuleTable table;
  if (table.count != 0) return &table;
  std::vector<config::ccRule*> rules = {
      exampleRule("8080", "127.0.0.1", "Local Machine Only", config::kConnectDirect,
                  "mail.example.net", "pop3s", config::kRoleClient),
      exampleRule("443", "All", "All", config::kConnectDirect, "127.0.0.1", "http",
                  config::kRoleServer),
      exampleRule("1080", "192.168.1.0", "C net", config::kConnectSocks, "", "",
                  config::kRoleClient),
      exampleRule("2525", "10.0.0.0", "A net", config::kConnectDirect, "smtp.example.net", "smtp",
                  config::kRolePlug),
      exampleRule("3128", "All", "All", config::kConnectHttp, "", "", config::kRoleProxy),
  };
  rules[1]->sslCert = certificate;
  rules[1]->sslKey = "server.key";
  rules[3]->disabled = 1;
  rules[2]->ifAddrStr = "192.168.1.1";
  for (config::ccRule* rule : rules) config::resolveRule(rule);
  config::replaceRules(&table, rules);
  for (config::ccRule* rule : rules) config::releaseRule(rule);
  return &table;
}

config::Settings* exampleSettings(const std::string& folder) {
  static config::Settings record;
  record.isNT = 1;
  record.sslCaCert.set(folder + "/ca.pem");
  record.sslCrlLists.set(folder + "/crl");
  record.sslCipher.set("Strong Only");
  record.sslPasswd.set("secret");
  record.sslEnableTls1 = 1;
  record.sslSavePasswd = 1;
  record.filterEnable = 1;
  record.filterHave.set("/O=Brisklane test");
  record.filterHavenot.set("CN=Revoked");
  record.logErr = record.logWarn = record.logInfo = 1;
  record.logMax = 5000;
  record.socksEnable = 1;
  record.socksServer.set("socks.example.net");
  record.socksPort.set("socks");
  record.localNetCount = 1;
  record.tcpNodelay = record.tcpLinger = record.threadPoolEnable = record.perfMonEnable = 1;
  return &record;
}

}  // namespace

std::vector<std::pair<std::string, QWidget*>> makeDialogShots(QWidget* parent) {
  static test_support::TempDir pki;
  static const bool made = (test_support::makePki(pki.path()), true);
  (void)made;
  const std::string certificate = pki.file("server.pem");
  std::vector<std::pair<std::string, QWidget*>> shots;
  shots.emplace_back("rules-list.png",
                     new ui::RulesDialog(parent, exampleTable(certificate), pki.path()));
  for (bool advanced : {false, true}) {
    auto* editor = new ui::RuleEditor(parent, exampleTable(certificate)->rules[1], pki.path());
    editor->setAdvancedShown(advanced);
    shots.emplace_back(advanced ? "rule-editor-advanced.png" : "rule-editor-basic.png", editor);
  }
  const char* const pages[] = {"settings-ssl.png", "settings-certificate-filter.png",
                               "settings-log.png", "settings-socks.png", "settings-misc.png"};
  for (int page = 0; page < ui::SettingsSheet::kPageCount; ++page) {
    ui::SettingsSheet::LogFont font{[] { return QFont("DejaVu Sans Mono", 10); }, nullptr};
    auto* sheet = new ui::SettingsSheet(parent, exampleSettings(pki.path()), font, pki.path());
    sheet->showPage(static_cast<ui::SettingsSheet::Page>(page));
    shots.emplace_back(pages[page], sheet);
  }
  return shots;
}
