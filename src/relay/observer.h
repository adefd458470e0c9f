// What a front end learns from the relay and what it is asked: the one interface through which
// the core reaches the desktop program or the daemon.
//
// A front end implements `RelayObserver` and hands it to its relay (relay/relay.h), which keeps it
// for the life of the relay. The calls come from the relay's own threads, never from the front
// end's; each says which. None may wait for the thread that drives the relay, except the two
// questions, which a person may have to answer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "log/log.h"
#include "log/openssl_ptr.h"

namespace relay {

// The figures of the five-second status tick.
struct StatusFigures {
  uint64_t connectionsTotal = 0;
  uint64_t connectionsOpen = 0;
  long clientHandshakes = 0;  // outgoing SSL sides: started, completed
  long clientHandshakesGood = 0;
  long serverHandshakes = 0;  // incoming SSL sides: started, completed
  long serverHandshakesGood = 0;
  long connectRenegotiations = 0;
  long acceptRenegotiations = 0;
  long sessions = 0;  // in the server-side session cache
  long hits = 0;
  long misses = 0;
  long timeouts = 0;
  unsigned long caObjects = 0;  // certificates and CRLs in the certificate store
  unsigned poolIdle = 0;
  unsigned poolThreads = 0;
  uint64_t bytesClientToDest = 0;
  uint64_t bytesDestToClient = 0;
};

// A client certificate with its private key.
struct ClientCredentials {
  X509Ptr certificate;
  EvpPkeyPtr key;
};

// How a change of the running configuration ended: a restart, a reload from the store, or a
// front end's edited settings or rules.
struct ChangeResult {
  enum class Kind { kRestart, kReload, kSettings, kRules };
  Kind kind = Kind::kRestart;
  // The new configuration serves. False when it was refused whole (a store that cannot be read);
  // the running configuration then stays.
  bool applied = false;
  // The edited settings or rules could not be stored (registry error, and the store's file): they
  // apply until the program ends.
  long storeError = 0;
  std::string storeFile;
  // What the new configuration could not do as it was asked, one line each as logged: a name that
  // does not resolve, a refused cipher list, ports that could not be listened on.
  std::vector<std::string> problems;
  int listening = 0;  // listeners running afterwards
};

class RelayObserver {
 public:
  virtual ~RelayObserver() = default;

  // Every log line, from any thread, in the order each thread logs.
  virtual void logLine(const logging::LogLine& line) = 0;
  // Every five seconds, on the status thread: the figures and the status-line text.
  virtual void statusTick(const StatusFigures& figures, const std::string& text) {
    (void)figures;
    (void)text;
  }
  // While "sniffer" is on: a copy of each block the data pump read, on the connection's thread.
  // The bytes are valid only during the call; the call must not wait for another thread.
  virtual void relayedChunk(const uint8_t* data, size_t size, bool fromClient) {
    (void)data;
    (void)size;
    (void)fromClient;
  }
  // A change asked for with restart, reload or apply has ended; on the relay's change thread.
  virtual void changeDone(const ChangeResult& result) { (void)result; }

  // The questions of a connection thread, asked one at a time. A pass phrase for a private key
  // or a PKCS#12 file ("" when the prompt has no text of its own); empty when there is none.
  virtual std::string askPassphrase(const std::string& prompt) = 0;
  // A client certificate for the server with this subject (one-line form, empty when the server
  // sent none); false when there is none to give.
  virtual bool askClientCertificate(const std::string& serverSubject, ClientCredentials* out) = 0;
};

}  // namespace relay
