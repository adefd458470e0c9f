#include "relay/config_check.h"

#include <arpa/inet.h>
#include <openssl/err.h>

#include <filesystem>
#include <memory>
#include <mutex>
#include <set>

#include "config/rules.h"
#include "config/settings.h"
#include "log/log.h"
#include "platform/net.h"
#include "platform/port_owner.h"
#include "platform/socket_errors.h"
#include "relay/relay_config.h"
#include "relay/relay_state.h"
#include "relay/ssl_context.h"

namespace relay {
namespace {

// Keeps the lines of warnings and errors (and the library's reasons after them) logged while a
// step of the check runs, each with the step's name in front.
class ProblemSink final : public logging::LogSink {
 public:
  int append(const logging::LogLine& line) override {
    std::lock_guard<std::mutex> hold(mutex_);
    const bool problem = (line.level & (LOG_SERIOUS | LOG_ERROR | LOG_WARNING)) != 0;
    // A line of the library's error queue (level 0) belongs to the problem before it.
    if (!problem && !(line.level == 0 && lastWasProblem_)) {
      lastWasProblem_ = false;
      return 0;
    }
    lastWasProblem_ = true;
    std::string text(line.text);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    lines_.push_back(problem ? prefix_ + text : "  " + text);
    return static_cast<int>(lines_.size());
  }
  void setStep(const std::string& name) {
    std::lock_guard<std::mutex> hold(mutex_);
    prefix_ = name.empty() ? std::string() : name + ": ";
    lastWasProblem_ = false;
  }
  std::vector<std::string> take() {
    std::lock_guard<std::mutex> hold(mutex_);
    std::vector<std::string> taken;
    taken.swap(lines_);
    return taken;
  }

 private:
  std::mutex mutex_;  // guards every field
  std::vector<std::string> lines_;
  std::string prefix_;
  bool lastWasProblem_ = false;
};

std::string ruleName(int index) { return "Rule" + std::to_string(index + 1); }

bool mentionsEncryption(const std::string& file) {
  std::error_code ec;
  if (file.empty() || std::filesystem::file_size(file, ec) > 1024 * 1024 || ec) return false;
  std::FILE* f = std::fopen(file.c_str(), "rb");
  if (f == nullptr) return false;
  std::string text(4096, '\0');
  text.resize(std::fread(text.data(), 1, text.size(), f));
  std::fclose(f);
  return text.find("ENCRYPTED") != std::string::npos;
}

// A rule in a role with an SSL side of its own: its certificate and key, loaded as a connection
// would load them.
void checkCertificates(const RelayConfig& config, int index, const config::ccRule& rule,
                       ProblemSink* sink, std::vector<std::string>* problems) {
  const bool serves = rule.sslRole == config::kRoleServer || rule.sslRole == config::kRoleProxy;
  if (rule.sslCert.empty()) {
    if (rule.sslRole == config::kRoleServer) {
      problems->push_back(ruleName(index) +
                          ": an SSL server rule names no certificate (\"ssl.cert\"): every "
                          "handshake would fail");
    }
    return;
  }
  if (!serves && rule.sslRole != config::kRoleClient) return;
  SslPtr ssl = newSharedSsl(config.sharedContext.get());
  if (ssl == nullptr) return;
  sink->setStep(ruleName(index));
  loadCertAndKey(ssl.get(), nullptr, rule.sslCert, rule.sslKey, config.generation);
  std::vector<std::string> lines = sink->take();
  if (!lines.empty() && config.ccSettings.sslPasswd.empty()) {
    for (const std::string& file : {rule.sslKey, rule.sslCert}) {
      if (!mentionsEncryption(file)) continue;
      lines.push_back(ruleName(index) + ": the key <" + file +
                      "> is encrypted and no pass phrase is stored (\"ssl.passwd\")");
      break;
    }
  }
  problems->insert(problems->end(), lines.begin(), lines.end());
  ERR_clear_error();
}

// Whether a start could listen on the rule's port. A port that a running brisklaned serves is
// that daemon's (the service's reload runs the check while it runs).
void checkPort(const config::Settings& s, int index, const config::ccRule& rule,
               std::vector<std::string>* problems) {
  int err = 0;
  platform::IpAddress bindAddress;
  platform::UniqueFd fd = platform::listenSocket(rule.ifAddr, &bindAddress, &err);
  if (!fd.valid()) return;
  if (s.tcpReuse != 0) platform::setReuseAddress(fd.get());
  err = platform::bindTo(fd.get(), bindAddress, rule.peerPort);
  if (err == 0 || platform::portListenedByProgram(ntohs(rule.peerPort), "brisklaned")) return;
  problems->push_back(ruleName(index) + ": Couldn't bind to port " +
                      std::to_string(ntohs(rule.peerPort)) + ": " + socket_error_text(err));
}

void checkFiles(const config::Settings& s, std::vector<std::string>* problems) {
  std::error_code ec;
  const std::string ca = s.sslCaCert.get();
  if (!ca.empty() && !std::filesystem::exists(ca, ec)) {
    problems->push_back("ssl.ca_cert: <" + ca + "> does not exist");
  }
  const std::string crls = s.sslCrlLists.get();
  if (s.crlCheckEnable != 0 && !crls.empty() && !std::filesystem::is_directory(crls, ec)) {
    problems->push_back("ssl.crl_lists: <" + crls + "> is no folder");
  }
}

}  // namespace

CheckResult checkConfiguration(platform::Hive root) {
  CheckResult result;
  const std::string file = platform::hiveFilePath(root);
  const long status = platform::hiveStatus(root);
  if (status != platform::kErrorSuccess) {
    result.problems.push_back(file + (status == platform::kErrorAccessDenied
                                          ? ": the store cannot be read"
                                          : ": the store cannot be parsed"));
    return result;
  }
  ProblemSink sink;
  if (!logging::log_open(&sink, nullptr)) {
    result.problems.push_back("the check could not open its log");
    return result;
  }
  config::Settings settings;
  settings.rootKey = root;
  if (config::loadSettings(root, &settings) != 0) {
    result.notes.push_back(std::string("No settings key <") + config::settingsKeyPath() + "> in " +
                           file + ": a start creates it with every default");
  }
  config::publishLogSwitches(settings);
  sink.setStep("");
  config::RuleTable rules;
  rules.root = root;
  config::loadAllRules(&rules);
  checkFiles(settings, &result.problems);
  auto state = std::make_shared<RelayState>();
  state->questions.rememberPassphrase(settings.sslPasswd.get());
  const ConfigSnapshot config = buildRelayConfig(settings, rules, state, nullptr);
  for (const std::string& line : sink.take()) result.problems.push_back(line);
  std::set<uint16_t> ports;
  for (int i = 0; i < config->ruleTable.count; ++i) {
    const config::ccRule* rule = config->ruleTable.rules[i];
    if (rule == nullptr || !servesConnections(*rule)) continue;
    checkCertificates(*config, i, *rule, &sink, &result.problems);
    if (ports.insert(rule->peerPort).second) checkPort(settings, i, *rule, &result.problems);
  }
  logging::log_close();
  return result;
}

}  // namespace relay
