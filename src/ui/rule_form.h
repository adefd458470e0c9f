// What the rule editor's controls hold, apart from the widgets: how a rule fills them and how a
// new rule is built from them. The editor never changes a rule it was given; building makes a
// new `ccRule` with one reference. Window thread; building looks no host name up (the relay does,
// when it builds its configuration).
#pragma once

#include <string>
#include <vector>

#include "config/rules.h"
#include "config/settings.h"
#include "ui/passphrase_memory.h"

namespace ui {

// What the rule dialogs are given beside the rules: the folder certificate and key files are
// offered from, the host and port lists of the settings ("host.list", "port.list") that the
// editor's combo boxes offer, and the remembered pass phrase for reading certificates.
struct RuleDialogContext {
  RuleDialogContext(std::string folder = {}) : programFolder(std::move(folder)) {}  // NOLINT
  std::string programFolder;
  std::vector<std::string> hosts;
  std::vector<std::string> ports;
  PassphraseMemory passphrase;
};
// The context with the lists of `settings`.
RuleDialogContext ruleDialogContext(const config::Settings& settings, std::string programFolder,
                                    PassphraseMemory passphrase);

struct RuleForm {
  std::string ifAddr;
  std::string peerAddr;
  std::string peerPort;
  std::string peerMask;
  int mode = -1;  // the destination mode checked (config::ConnectType), -1 when none is
  std::string destAddr;
  std::string destPort;
  int role = -1;  // the role checked (config::RuleRole), -1 when none is
  bool verifyServer = false;
  bool verifyClient = false;
  std::string cert;
  std::string key;
  bool disable = false;
  bool proxyEnable = false;
  std::string proxyServer;
  std::string proxyPort;
  bool proxyNtlm = false;
  std::string proxyUser;
  std::string proxyPassword;
  bool proxyAccept = false;
  // 0: no PROXY header, 1 or 2: its version. A value above 2, which the relay refuses, is kept as
  // the rule has it unless the user chooses one of the three.
  uint32_t proxySend = 0;
  // Kept from the rule being edited: the editor has no control for it.
  uint32_t dropTime = 0;
};

// A new rule's form: Plug GW, and Direct, so that a rule built from it is complete.
RuleForm newRuleForm();
// The form of an existing rule: address and port texts, or the stored numbers where a text is
// empty (a port as its service name when it has one).
RuleForm formOfRule(const config::ccRule& rule);

// Builds the rule the form describes, in the editor's order of steps, and completes it with the
// numbers its texts give without a lookup. Null, with the reason in *why, when the form is
// incomplete or unusable: an empty source Host, listening Port or Mask (and, for Direct,
// destination Host or Port), no destination mode, a port text that names no port, a text the store
// cannot keep, an address or port text that is not ASCII. A certificate or key named without a
// folder that is a file of `programFolder` is kept with its full path, since the relay opens names
// from its own folder.
config::RuleRef buildRule(const RuleForm& form, const std::string& programFolder, std::string* why);

// The file a certificate or key text names: a name without a folder that is a file of
// `programFolder` stands for that file; any other text for itself.
std::string fileInProgramFolder(const std::string& file, const std::string& programFolder);

// The mask that suits a source host: the classful mask of a dotted address that names a network,
// 255.255.255.255 for any other address of classes A to C and for what is not a dotted address,
// the prefix length "128" (the one host) for an IPv6 address; addresses of other classes are kept
// as they are.
std::string maskForHost(const std::string& host);

}  // namespace ui
