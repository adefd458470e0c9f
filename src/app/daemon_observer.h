// What brisklaned, which has no windows, tells and answers: log lines go to standard error (the
// debug file, when one is named, receives them as well); the questions of a handshake are answered
// from the store: the pass phrase "ssl.passwd" for keys, and for a server that asks for a client
// certificate the file "ssl.client_cert" (PEM with its key, or PKCS#12 opened with "ssl.passwd").
// Where the store has nothing to answer with, that is logged once.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "log/sinks.h"
#include "platform/registry.h"
#include "relay/observer.h"

namespace relay {
class Relay;
}

namespace daemon_app {

class DaemonObserver final : public relay::RelayObserver {
 public:
  explicit DaemonObserver(platform::Hive root) : root_(root) {}
  // The relay whose remembered pass phrase opens a PKCS#12 client certificate.
  void attach(const relay::Relay* relay) { relay_ = relay; }

  void logLine(const logging::LogLine& line) override;
  // A line of the daemon's own from before the relay's log is live, as the log would show it.
  void tellBeforeStart(uint32_t level, const std::string& text);
  std::string askPassphrase(const std::string& prompt) override;
  bool askClientCertificate(const std::string& serverSubject,
                            relay::ClientCredentials* out) override;

 private:
  platform::Hive root_;
  const relay::Relay* relay_ = nullptr;
  logging::StderrSink stderr_;
  std::atomic<bool> toldNoPassphrase_{false};
  std::atomic<bool> toldNoClientCertificate_{false};
};

}  // namespace daemon_app
