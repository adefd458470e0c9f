// The CRL store: loading, replacing, finding and listing the CRLs of the shared context's
// certificate store.
//
// The library's store keeps every CRL object it is given in one list sorted by type and issuer
// name, and accepts several CRLs of one issuer; which of them its own lookup returns is then a
// matter of sort order. The program keeps "one CRL per issuer" itself: a directory load skips a
// CRL whose issuer already has one, a replacement removes the old object(s) of the issuer from the
// list in the same step that adds the new one, and the lookup reads that list directly. The
// store's lookup methods (directories named by the trust-store paths) are never asked for CRLs,
// so no CRL enters the store behind the program's back.
//
// Locks: certStoreLock(store) makes each of our steps (check then add, find then take a
// reference, remove then insert) one step for every other user of the CRLs; the store's own lock
// (X509_STORE_lock) is taken inside it for the object list, which the library's chain building
// reads under that lock. Lines produced under these locks are logged after they are released.
#include "security/crl_store.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509_vfy.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <vector>

#include "log/log.h"
#include "log/openssl_ptr.h"

namespace {

constexpr char kProxyModule[] = "proxy";
constexpr char kLdapModule[] = "ccCrlLdap";
constexpr size_t kTimeTextSize = 48;

struct ObjectFree {
  void operator()(X509_OBJECT* o) const { X509_OBJECT_free(o); }
};
using ObjectPtr = std::unique_ptr<X509_OBJECT, ObjectFree>;

// A line kept for logging once the locks are released.
struct PendingLine {
  uint32_t code;
  const char* module;
  std::string text;
};

void logPending(const std::vector<PendingLine>& lines) {
  for (const PendingLine& line : lines) {
    log_event(LOG_INFO, line.code, line.module, __LINE__, "%s", line.text.c_str());
  }
}

// Holds the store's own lock; `held()` is false when the library could not take it.
class StoreObjectsLock {
 public:
  explicit StoreObjectsLock(X509_STORE* store)
      : store_(store), held_(X509_STORE_lock(store) == 1) {}
  ~StoreObjectsLock() {
    if (held_) X509_STORE_unlock(store_);
  }
  StoreObjectsLock(const StoreObjectsLock&) = delete;
  StoreObjectsLock& operator=(const StoreObjectsLock&) = delete;
  bool held() const { return held_; }

 private:
  X509_STORE* store_;
  bool held_;
};

// The stored CRL of an issuer, or null. Needs the store's own lock: the search sorts the list.
X509_CRL* storedCrlOf(X509_STORE* store, const X509_NAME* issuer) {
  X509_OBJECT* object = X509_OBJECT_retrieve_by_subject(X509_STORE_get0_objects(store), X509_LU_CRL,
                                                        const_cast<X509_NAME*>(issuer));
  return object != nullptr ? X509_OBJECT_get0_X509_CRL(object) : nullptr;
}

bool hasCrlOf(X509_STORE* store, const X509_NAME* issuer) {
  StoreObjectsLock objects(store);
  return objects.held() && storedCrlOf(store, issuer) != nullptr;
}

// The listing line of one CRL; false when its issuer name cannot be converted.
bool listingLine(const X509_CRL* crl, std::string* out) {
  const X509_NAME* issuer = X509_CRL_get_issuer(crl);
  char name[1024];
  if (issuer == nullptr || X509_NAME_oneline(issuer, name, sizeof name) == nullptr) return false;
  const unsigned long hash = X509_NAME_hash_ex(issuer, nullptr, nullptr, nullptr);
  char last[kTimeTextSize] = "";
  char next[kTimeTextSize] = "";
  if (asn1_time_text(last, sizeof last, X509_CRL_get0_lastUpdate(crl)) == nullptr) last[0] = '\0';
  const ASN1_TIME* nextUpdate = X509_CRL_get0_nextUpdate(crl);
  if (nextUpdate == nullptr || asn1_time_text(next, sizeof next, nextUpdate) == nullptr) {
    next[0] = '\0';
  }
  char line[sizeof name + 2 * kTimeTextSize + 128];
  std::snprintf(line, sizeof line,
                "CRL. ca: <%.30s> hash:<%08lx> last <%s> next <%s> full CA dn <%s>", name, hash,
                last, next, name);
  *out = line;
  return true;
}

// A directory entry that failed to load: named by its directory, with the error queue.
void reportLoadFailure(const std::string& dir, bool always) {
  if (always) {
    log_event(LOG_ERROR, 0x6067, kProxyModule, __LINE__, "Failed to load '%s'", dir.c_str());
    log_openssl_errors(LOG_ERROR, bio_log_err);
  }
  // A failure nobody reported must not reach the next thread's dump.
  ERR_clear_error();
}

// Reads one CRL file, PEM first, then DER.
X509CrlPtr readCrlFile(const std::string& dir, const std::string& file, bool verbose) {
  BioPtr bio(BIO_new(BIO_s_file()));
  if (!bio || BIO_read_filename(bio.get(), file.c_str()) <= 0) {
    reportLoadFailure(dir, true);
    return nullptr;
  }
  X509CrlPtr crl(PEM_read_bio_X509_CRL(bio.get(), nullptr, nullptr, nullptr));
  if (!crl) {
    ERR_clear_error();
    if (BIO_reset(bio.get()) == 0) crl.reset(d2i_X509_CRL_bio(bio.get(), nullptr));
  }
  if (!crl) {
    ERR_raise(ERR_LIB_X509, ERR_R_ASN1_LIB);
    reportLoadFailure(dir, verbose);
  }
  return crl;
}

// Adds a CRL unless the store already holds one of its issuer (the first one loaded stays).
void addFirstOfIssuer(X509_STORE* store, X509_CRL* crl, const std::string& dir, bool verbose) {
  bool added = true;
  {
    std::lock_guard<std::mutex> hold(certStoreLock(store));
    if (hasCrlOf(store, X509_CRL_get_issuer(crl))) return;
    added = X509_STORE_add_crl(store, crl) == 1;
  }
  if (!added) reportLoadFailure(dir, verbose);
}

void freeStoreLock(void* /*parent*/, void* ptr, CRYPTO_EX_DATA* /*ad*/, int /*index*/,
                   long /*argl*/, void* /*argp*/) {
  delete static_cast<std::mutex*>(ptr);
}

// The index of the lock in a store's application data; taken once for the process.
int storeLockIndex() {
  static const int index = CRYPTO_get_ex_new_index(CRYPTO_EX_INDEX_X509_STORE, 0, nullptr, nullptr,
                                                   nullptr, freeStoreLock);
  return index;
}

}  // namespace

std::mutex& certStoreLock(X509_STORE* store) {
  // Made on first use, under the store's own lock so that two first users share one; it lives as
  // long as the store. A store that cannot hold one (no memory) is locked with a lock of last
  // resort, which is correct, only shared.
  static std::mutex lastResort;
  StoreObjectsLock objects(store);
  if (!objects.held() || storeLockIndex() < 0) return lastResort;
  auto* lock = static_cast<std::mutex*>(X509_STORE_get_ex_data(store, storeLockIndex()));
  if (lock != nullptr) return *lock;
  lock = new (std::nothrow) std::mutex;
  if (lock == nullptr || X509_STORE_set_ex_data(store, storeLockIndex(), lock) != 1) {
    delete lock;
    return lastResort;
  }
  return *lock;
}

int crl_load_dir(X509_STORE* store, const char* path, bool verbose) {
  if (path == nullptr || store == nullptr) return 0;
  namespace fs = std::filesystem;
  const std::string dir = path;
  std::error_code ec;
  const fs::file_status status = fs::status(dir, ec);
  if (ec || !fs::exists(status)) {
    log_event(LOG_ERROR, 0x6063, kProxyModule, __LINE__,
              "Problem getting 'file' information about <%s>", path);
    return 0;
  }
  if (verbose) {
    log_event(LOG_INFO, 0x6064, kProxyModule, __LINE__, "Using <%s> CRL Lists", path);
  }
  if (!fs::is_directory(status)) return 0;
  fs::directory_iterator it(dir, ec);
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    std::error_code typeError;
    if (it->is_directory(typeError)) continue;
    const std::string file = dir + "/" + it->path().filename().string();
    if (X509CrlPtr crl = readCrlFile(dir, file, verbose))
      addFirstOfIssuer(store, crl.get(), dir, verbose);
  }
  return 0;
}

int crl_store_replace(X509_STORE* store, X509_CRL* crl) {
  if (store == nullptr || crl == nullptr) return 0;
  ObjectPtr object(X509_OBJECT_new());
  if (!object || X509_OBJECT_set1_X509_CRL(object.get(), crl) != 1) {
    ERR_raise(ERR_LIB_X509, ERR_R_MALLOC_FAILURE);
    return 0;
  }
  const X509_NAME* issuer = X509_CRL_get_issuer(crl);
  std::vector<PendingLine> lines;
  {
    std::lock_guard<std::mutex> hold(certStoreLock(store));
    StoreObjectsLock locked(store);
    STACK_OF(X509_OBJECT)* objects = X509_STORE_get0_objects(store);
    // The new object goes in first: when that fails the old CRL stays in place.
    if (!locked.held() || sk_X509_OBJECT_push(objects, object.get()) == 0) {
      ERR_raise(ERR_LIB_X509, ERR_R_MALLOC_FAILURE);
      return 0;
    }
    const X509_OBJECT* added = object.release();
    for (int i = sk_X509_OBJECT_num(objects) - 1; i >= 0; --i) {
      X509_OBJECT* old = sk_X509_OBJECT_value(objects, i);
      const X509_CRL* oldCrl = X509_OBJECT_get0_X509_CRL(old);
      if (old == added || oldCrl == nullptr ||
          X509_NAME_cmp(X509_CRL_get_issuer(oldCrl), issuer) != 0) {
        continue;
      }
      if (lines.empty()) lines.push_back({0x7000, kLdapModule, "ldap: updating in CRL store..."});
      std::string text;
      if (listingLine(oldCrl, &text)) lines.push_back({0x6068, kProxyModule, text});
      sk_X509_OBJECT_delete(objects, i);
      X509_OBJECT_free(old);  // a check that still holds the CRL keeps its own reference
    }
    if (!lines.empty()) {
      lines.push_back({0x7000, kLdapModule, "ldap: with..."});
      std::string text;
      if (listingLine(crl, &text)) lines.push_back({0x6068, kProxyModule, text});
    }
  }
  logPending(lines);
  return 1;
}

int crl_describe(X509_CRL* crl) {
  std::string text;
  if (crl == nullptr || !listingLine(crl, &text)) return 1;
  log_event(LOG_INFO, 0x6068, kProxyModule, __LINE__, "%s", text.c_str());
  return 0;
}

void crl_list_all(X509_STORE* store) {
  if (store == nullptr) return;
  std::vector<PendingLine> lines;
  {
    std::lock_guard<std::mutex> hold(certStoreLock(store));
    StoreObjectsLock locked(store);
    if (!locked.held()) return;
    STACK_OF(X509_OBJECT)* objects = X509_STORE_get0_objects(store);
    for (int i = 0; i < sk_X509_OBJECT_num(objects); ++i) {
      const X509_CRL* crl = X509_OBJECT_get0_X509_CRL(sk_X509_OBJECT_value(objects, i));
      std::string text;
      if (crl != nullptr && listingLine(crl, &text)) lines.push_back({0x6068, kProxyModule, text});
    }
  }
  logPending(lines);
}

X509_CRL* crl_find_for_issuer(X509_STORE_CTX* ctx, X509* cert) {
  X509_STORE* store = ctx != nullptr ? X509_STORE_CTX_get0_store(ctx) : nullptr;
  if (store == nullptr || cert == nullptr) return nullptr;
  std::lock_guard<std::mutex> hold(certStoreLock(store));
  StoreObjectsLock locked(store);
  if (!locked.held()) return nullptr;
  X509_CRL* crl = storedCrlOf(store, X509_get_issuer_name(cert));
  if (crl == nullptr || X509_CRL_up_ref(crl) != 1) return nullptr;
  return crl;
}
