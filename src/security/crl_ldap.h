// The LDAP CRL fetcher: keeps the CRLs of the relay's certificate store fresh from LDAP
// directories.
//
// One background thread reads the sources under the "ldap" key of the settings key (one subkey
// per source), loads each source's dump folder into the store, then searches the source's
// directory for entries carrying a certificate revocation list, puts every CRL found into the
// store (replacing the stored CRL of the same issuer) and may write it to the dump folder. A
// source with a non-zero cycle time is fetched again after every cycle until its cycle time is
// set to 0 in the configuration store; then the next source is taken up.
//
// Each relay owns one `CrlFetcher`, which runs at most one fetcher thread at a time. The thread
// holds its own reference on the store it serves, so the store lives at least as long as the
// thread; a stop wakes it from its cycle sleep and from any LDAP wait at once. Plain LDAP only.
#pragma once

#include <openssl/x509.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/registry.h"

namespace security {

// The largest attribute value taken as a CRL; larger values are skipped as malformed.
constexpr size_t kMaxCrlValueBytes = 64u << 20;
// Characters ahead of the hexadecimal digits of a CRL value in text form.
constexpr size_t kCrlTextPrefix = 5;

// Turns one value of the CRL attribute into DER bytes. Binary form: the value's bytes. Text form:
// the first five characters are skipped, the rest must be pairs of hexadecimal digits. Returns
// false (and leaves `der` empty) for a value shorter than the prefix, an odd number of digits, a
// character that is not a hexadecimal digit, or a value above kMaxCrlValueBytes. Reads nothing
// outside [data, data + size).
inline bool decodeCrlValue(const unsigned char* data, size_t size, bool binary,
                           std::vector<unsigned char>* der) {
  der->clear();
  if (size > kMaxCrlValueBytes || (size > 0 && data == nullptr)) return false;
  if (binary) {
    der->assign(data, data + size);
    return true;
  }
  if (size < kCrlTextPrefix || (size - kCrlTextPrefix) % 2 != 0) return false;
  auto nibble = [](unsigned char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  der->reserve((size - kCrlTextPrefix) / 2);
  for (size_t i = kCrlTextPrefix; i + 1 < size; i += 2) {
    const int high = nibble(data[i]);
    const int low = nibble(data[i + 1]);
    if (high < 0 || low < 0) {
      der->clear();
      return false;
    }
    der->push_back(static_cast<unsigned char>(high << 4 | low));
  }
  return true;
}

// A stop request for one fetcher, shared between the fetcher thread and the thread that stops it.
class FetchStop {
 public:
  FetchStop() = default;
  FetchStop(const FetchStop&) = delete;
  FetchStop& operator=(const FetchStop&) = delete;

  void request() {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
  }
  bool requested() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return stop_;
  }
  // Sleeps for `span` or until a stop is requested; true when the whole span passed.
  bool sleepFor(std::chrono::milliseconds span) {
    std::unique_lock<std::mutex> hold(mutex_);
    return !wake_.wait_for(hold, span, [this] { return stop_; });
  }

 private:
  mutable std::mutex mutex_;  // guards stop_
  std::condition_variable wake_;
  bool stop_ = false;
};

// One LDAP source: the values of its subkey, in program form. An empty text is "none".
struct LdapSource {
  std::string mnemonic;              // the subkey's name
  uint32_t disable = 0;              // "disable"
  std::string server;                // "server"
  uint32_t port = 389;               // "port"
  std::string user;                  // "user"
  std::string pw;                    // "pw"
  std::string searchdn;              // "searchdn"
  std::string filter;                // "filter"
  uint32_t displayDetails = 0;       // "display.details"
  uint32_t crlType = 0;              // "crl.type": 0 text form, else binary form
  uint32_t dumpToFile = 0;           // "dump.to.file"
  std::string dumpPath;              // "dump.path"
  uint32_t cycleTime = 0;            // "cycle.time"
  uint32_t cycleTimeResolution = 1;  // "cycle.time.resolution", seconds per unit
  uint32_t ldapVersion = 2;          // "ldap.version"
};

// The fetcher of one relay. `start` and `stop` may wait (for a fetcher thread to end), so they run
// on a relay thread, never on a window thread; any thread may ask `running`.
class CrlFetcher {
 public:
  CrlFetcher() = default;
  ~CrlFetcher();
  CrlFetcher(const CrlFetcher&) = delete;
  CrlFetcher& operator=(const CrlFetcher&) = delete;

  // Starts a fetcher thread for `store` (a relay context's certificate store) over the sources of
  // `root`, first stopping the one that still runs. The thread takes its own reference on the
  // store.
  void start(X509_STORE* store, platform::Hive root, bool verbose);
  // Stops the running fetcher, if any: wakes it and waits for it a bounded time. When the wait
  // ends first the thread is left to finish by itself; it touches no store, file or log after
  // seeing the stop.
  void stop();
  // True while a fetcher thread runs.
  bool running() const;

 private:
  struct Fetcher;
  void stopLocked();

  mutable std::mutex mutex_;  // guards fetcher_ and serialises start and stop
  std::shared_ptr<Fetcher> fetcher_;
};

}  // namespace security

// The thread routine: fetches the sources under the "ldap" key of the settings key of `root` into
// `store`. Returns the number of sources taken up. `stop` may be null (never stopped).
int ldap_fetch_thread(X509_STORE* store, platform::Hive root, bool verbose,
                      security::FetchStop* stop = nullptr);
// The source loop over the subkeys of `keyPath` in hive `root`; returns the sources taken up.
int ldap_fetch_sources(platform::Hive root, const char* keyPath, X509_STORE* store,
                       security::FetchStop* stop = nullptr, bool verbose = false);
// One fetch from one source. Returns the number of entries that carried the CRL attribute, or 1
// when the session could not be opened or the bind failed, or the search's non-zero LDAP result
// code when the search failed.
int ldap_fetch_once(X509_STORE* store, const security::LdapSource& source,
                    security::FetchStop* stop = nullptr);
