#include "daemon_observer.h"

#include <openssl/err.h>

#include "config/settings.h"
#include "log/log.h"
#include "relay/certificate_files.h"
#include "relay/relay.h"

namespace daemon_app {
namespace {

constexpr char kModule[] = "driver";

}  // namespace

void DaemonObserver::logLine(const logging::LogLine& line) { stderr_.append(line); }

void DaemonObserver::tellBeforeStart(uint32_t level, const std::string& text) {
  logging::LogLine line;
  line.level = level;
  line.cls = level == LOG_WARNING ? 2 : level == LOG_INFO ? 4 : 1;
  line.code = 0x6001;
  line.text = text;
  stderr_.append(line);
}

std::string DaemonObserver::askPassphrase(const std::string& /*prompt*/) {
  // The remembered pass phrase is the stored one; the relay asks only when it holds none.
  if (!toldNoPassphrase_.exchange(true)) {
    log_event(LOG_WARNING, 0x6001, kModule, __LINE__,
              "A private key needs a pass phrase and none is stored: set \"ssl.passwd\" "
              "(with \"ssl.save_passwd\" 1)");
  }
  return {};
}

bool DaemonObserver::askClientCertificate(const std::string& serverSubject,
                                          relay::ClientCredentials* out) {
  const std::string file = relay::storedClientCertificate(root_, true);
  if (file.empty()) {
    if (!toldNoClientCertificate_.exchange(true)) {
      log_event(LOG_WARNING, 0x6001, kModule, __LINE__,
                "Server <%s> asks for a client certificate and none is stored: set "
                "\"ssl.client_cert\"",
                serverSubject.c_str());
    }
    return false;
  }
  switch (relay::readClientCredentials(file, relay_ != nullptr ? relay_->passphrase() : "", out)) {
    case relay::CredentialsResult::kLoaded:
      return true;
    case relay::CredentialsResult::kCannotOpen:
      log_event(LOG_ERROR, 0x6001, kModule, __LINE__, "Couldn't read the client certificate <%s>",
                file.c_str());
      // The reason goes with the line; left on the queue it would be blamed on the handshake.
      log_openssl_errors(LOG_ERROR, bio_log_err);
      ERR_clear_error();
      break;
    case relay::CredentialsResult::kWrongPassword:
    case relay::CredentialsResult::kWrongPkcs12Password:
      log_event(LOG_ERROR, 0x6001, kModule, __LINE__,
                "Couldn't load the client certificate and key of <%s> with \"ssl.passwd\"",
                file.c_str());
      break;
  }
  return false;
}

}  // namespace daemon_app
