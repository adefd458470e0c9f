// The fetcher's source loop over the "ldap" key, its cycle, and a relay's fetcher thread.
#include <openssl/x509.h>

#include <chrono>
#include <condition_variable>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "config/registry_values.h"
#include "config/settings.h"
#include "log/log.h"
#include "security/crl_ldap.h"
#include "security/crl_store.h"

namespace {

constexpr uint32_t kCode = 0x7000;
constexpr const char* kModule = "ccCrlLdap";
constexpr size_t kMaxMnemonic = 127;
// A cycle never sleeps less than this, so that a zero resolution cannot spin on the server.
constexpr uint32_t kShortestCycleMs = 1000;
// How long a stop waits for the fetcher thread before leaving it to end by itself.
constexpr auto kStopWait = std::chrono::seconds(15);

using security::LdapSource;

bool stopped(const security::FetchStop* stop) { return stop != nullptr && stop->requested(); }
const char* shown(const std::string& text) { return text.empty() ? "(null)" : text.c_str(); }

std::string readString(const platform::RegKey& key, const char* name) {
  std::string text;
  return config::readText(key, name, &text) ? text : std::string();
}

void readSource(const platform::RegKey& key, LdapSource* s) {
  s->disable = config::readDword(key, "disable", 0);
  s->server = readString(key, "server");
  s->port = config::readDword(key, "port", 389);
  s->user = readString(key, "user");
  s->pw = readString(key, "pw");
  s->searchdn = readString(key, "searchdn");
  s->displayDetails = config::readDword(key, "display.details", 0);
  s->crlType = config::readDword(key, "crl.type", 0);
  s->filter = readString(key, "filter");
  s->dumpToFile = config::readDword(key, "dump.to.file", 0);
  s->dumpPath = readString(key, "dump.path");
  s->cycleTime = config::readDword(key, "cycle.time", 0);
  s->cycleTimeResolution = config::readDword(key, "cycle.time.resolution", 1);
  s->ldapVersion = config::readDword(key, "ldap.version", 2);
}

// The values a running cycle follows; the connection values keep what the source began with.
void rereadCycleValues(const platform::RegKey& key, LdapSource* s) {
  s->disable = config::readDword(key, "disable", s->disable);
  s->displayDetails = config::readDword(key, "display.details", s->displayDetails);
  s->dumpToFile = config::readDword(key, "dump.to.file", s->dumpToFile);
  s->dumpPath = readString(key, "dump.path");
  s->crlType = config::readDword(key, "crl.type", 0);
  s->cycleTime = config::readDword(key, "cycle.time", 0);
  s->cycleTimeResolution = config::readDword(key, "cycle.time.resolution", s->cycleTimeResolution);
}

void logDetails(const LdapSource& s) {
  log_event(LOG_INFO, kCode, kModule, __LINE__,
            "ldap: reg memonic : <%s> server <%s> port <%d> user <%s> pass <%s> search dn <%s> "
            "filter <%s> dump path <%s> dump to file ?<%d> detail display ? <%d> cycle time <%d> "
            "resolution<%d> ldapversion <%d>",
            s.mnemonic.c_str(), shown(s.server), static_cast<int>(s.port), shown(s.user),
            s.pw.empty() ? shown(s.pw) : "***", shown(s.searchdn), shown(s.filter),
            shown(s.dumpPath), static_cast<int>(s.dumpToFile), static_cast<int>(s.displayDetails),
            static_cast<int>(s.cycleTime), static_cast<int>(s.cycleTimeResolution),
            static_cast<int>(s.ldapVersion));
}

void logCycle(const LdapSource& s) {
  const uint32_t seconds = s.cycleTime * s.cycleTimeResolution;
  const std::time_t now = std::time(nullptr);
  char when[32] = {};
  std::tm local{};
  if (localtime_r(&now, &local) != nullptr) {
    std::strftime(when, sizeof when, "%a %b %e %H:%M:%S %Y", &local);
  }
  log_event(LOG_INFO, kCode, kModule, __LINE__,
            "Current CRL reload via ldap cycle time is: (%d*%d) <%d> seconds. time <%.24s> <%s>",
            static_cast<int>(s.cycleTime), static_cast<int>(s.cycleTimeResolution),
            static_cast<int>(seconds), when, s.mnemonic.c_str());
}

// Fetches the source, again every cycle while its cycle time is non-zero. False on a stop.
bool runCycle(const platform::RegKey& key, LdapSource* s, X509_STORE* store,
              security::FetchStop* stop) {
  for (;;) {
    if (s->disable == 0) {
      const int result = ldap_fetch_once(store, *s, stop);
      if (stopped(stop)) return false;
      if (result != 0 && s->displayDetails != 0) crl_list_all(store);
    }
    rereadCycleValues(key, s);
    logCycle(*s);
    if (s->cycleTime == 0) return true;
    uint32_t ms = s->cycleTime * s->cycleTimeResolution * 1000u;
    if (ms < kShortestCycleMs) ms = kShortestCycleMs;
    if (stop != nullptr) {
      if (!stop->sleepFor(std::chrono::milliseconds(ms))) return false;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
  }
}

}  // namespace

int ldap_fetch_sources(platform::Hive root, const char* keyPath, X509_STORE* store,
                       security::FetchStop* stop, bool verbose) {
  platform::RegKey sources;
  if (platform::regOpenKey(root, keyPath, &sources) != platform::kErrorSuccess) {
    log_event(LOG_INFO, kCode, kModule, __LINE__, "ldap: read reg failed ");
    return 0;
  }
  int taken = 0;
  std::string name;
  for (uint32_t index = 0; platform::regEnumKey(sources, index, &name) == platform::kErrorSuccess;
       ++index) {
    if (stopped(stop)) break;
    platform::RegKey key;
    if (name.size() > kMaxMnemonic ||
        platform::regOpenSubKey(sources, name, false, &key) != platform::kErrorSuccess) {
      continue;
    }
    LdapSource source;
    source.mnemonic = name;
    readSource(key, &source);
    if (source.displayDetails != 0) logDetails(source);
    if (!source.dumpPath.empty()) crl_load_dir(store, source.dumpPath.c_str(), verbose);
    if (!runCycle(key, &source, store, stop)) break;
    ++taken;
  }
  return taken;
}

int ldap_fetch_thread(X509_STORE* store, platform::Hive root, bool verbose,
                      security::FetchStop* stop) {
  const std::string path = std::string(config::settingsKeyPath()) + "\\ldap";
  return ldap_fetch_sources(root, path.c_str(), store, stop, verbose);
}

namespace security {

// A running fetcher: its thread, its stop request, and whether the thread has ended.
struct CrlFetcher::Fetcher {
  FetchStop stop;
  std::mutex mutex;  // guards done
  std::condition_variable ended;
  bool done = false;
  std::thread thread;
};

CrlFetcher::~CrlFetcher() { stop(); }

void CrlFetcher::stopLocked() {
  if (!fetcher_) return;
  std::shared_ptr<Fetcher> fetcher = std::move(fetcher_);
  fetcher->stop.request();
  bool done = false;
  {
    std::unique_lock<std::mutex> hold(fetcher->mutex);
    done = fetcher->ended.wait_for(hold, kStopWait, [&] { return fetcher->done; });
  }
  if (done) {
    fetcher->thread.join();
  } else {
    // It holds its own store reference and acts on nothing after the stop; let it end alone.
    fetcher->thread.detach();
  }
}

void CrlFetcher::start(X509_STORE* store, platform::Hive root, bool verbose) {
  std::lock_guard<std::mutex> hold(mutex_);
  stopLocked();
  if (store == nullptr || X509_STORE_up_ref(store) != 1) return;
  auto fetcher = std::make_shared<Fetcher>();
  try {
    fetcher->thread = std::thread([fetcher, store, root, verbose] {
      ldap_fetch_thread(store, root, verbose, &fetcher->stop);
      X509_STORE_free(store);
      {
        std::lock_guard<std::mutex> done(fetcher->mutex);
        fetcher->done = true;
      }
      fetcher->ended.notify_all();
    });
  } catch (const std::system_error&) {
    X509_STORE_free(store);
    log_event(LOG_INFO, kCode, kModule, __LINE__, "ldap: cannot start the fetcher thread");
    return;
  }
  fetcher_ = std::move(fetcher);
}

void CrlFetcher::stop() {
  std::lock_guard<std::mutex> hold(mutex_);
  stopLocked();
}

bool CrlFetcher::running() const {
  std::lock_guard<std::mutex> hold(mutex_);
  if (!fetcher_) return false;
  std::lock_guard<std::mutex> done(fetcher_->mutex);
  return !fetcher_->done;
}

}  // namespace security
