// Loading a rule's certificate and key into an SSL object, and the trusted CA certificates into
// the shared context's store.
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "config/settings.h"
#include "log/log.h"
#include "platform/registry.h"
#include "relay/certificate_files.h"
#include "relay/relay_state.h"
#include "relay/ssl_context.h"
#include "security/crl_store.h"

namespace relay {
namespace {

constexpr char kModule[] = "proxy";
constexpr int kFilePem = 1;
constexpr int kFileDer = 2;
constexpr int kFilePkcs12 = 4;
constexpr size_t kPasswordSize = 128;
constexpr uint32_t kMaxRegistryCert = 64 * 1024;
constexpr char kSchannelCaKey[] =
    "System\\CurrentControlSet\\Control\\SecurityProviders\\SCHANNEL\\CertificationAuthorities";

// A PEM reader without a callback would prompt on the terminal; an SSL object whose context has
// no password callback must simply fail to read an encrypted key.
int refusePassword(char*, int, int, void*) { return 0; }

// The pass phrases the context's password callback gave one load, so that those that opened
// nothing are not offered again.
struct GivenPhrases {
  SSL* ssl = nullptr;
  std::vector<std::string> given;
  ~GivenPhrases() {
    for (std::string& phrase : given) OPENSSL_cleanse(phrase.data(), phrase.size());
  }
};

// The context's password callback, with its answer kept in the load's record.
int recordingCallback(char* buf, int size, int rwflag, void* arg) {
  auto* phrases = static_cast<GivenPhrases*>(arg);
  pem_password_cb* cb = SSL_get_default_passwd_cb(phrases->ssl);
  if (cb == nullptr) return 0;
  const int n = cb(buf, size, rwflag, SSL_get_default_passwd_cb_userdata(phrases->ssl));
  if (n > 0) phrases->given.emplace_back(buf, static_cast<size_t>(std::min(n, size)));
  return n;
}

pem_password_cb* pemCallback(SSL* ssl) {
  return SSL_get_default_passwd_cb(ssl) != nullptr ? recordingCallback : refusePassword;
}

// The context's password callback's answer, or an empty text.
std::string askPassword(GivenPhrases* phrases, int rwflag) {
  char buf[kPasswordSize] = {};
  // One byte short of the buffer, so that the answer always ends in a zero.
  const int n = recordingCallback(buf, static_cast<int>(sizeof buf - 1), rwflag, phrases);
  std::string answer = n > 0 ? std::string(buf, std::min<size_t>(n, sizeof buf - 1)) : "";
  OPENSSL_cleanse(buf, sizeof buf);
  return answer;
}

BioPtr openFile(const std::string& file) {
  BioPtr bio(BIO_new_file(file.c_str(), "rb"));
  if (bio == nullptr) ERR_raise(ERR_LIB_SSL, ERR_R_SYS_LIB);
  return bio;
}

int useCertificateFile(GivenPhrases* phrases, const std::string& file, int type) {
  SSL* ssl = phrases->ssl;
  BioPtr bio = openFile(file);
  if (bio == nullptr) return 0;
  X509Ptr cert;
  int reason = 0;
  if (type == kFilePem) {
    cert.reset(PEM_read_bio_X509(bio.get(), nullptr, pemCallback(ssl), phrases));
    reason = ERR_R_PEM_LIB;
  } else if (type == kFileDer) {
    cert.reset(d2i_X509_bio(bio.get(), nullptr));
    reason = ERR_R_ASN1_LIB;
  } else if (type == kFilePkcs12) {
    // Nobody is asked for the password of a file that holds no PKCS#12 data.
    const std::string password = pkcs12Present(bio.get()) ? askPassword(phrases, 0) : "";
    if (!password.empty()) cert = pkcs12ReadCertificate(bio.get(), password.c_str());
    reason = ERR_R_MALLOC_FAILURE;
  } else {
    ERR_raise(ERR_LIB_SSL, SSL_R_BAD_SSL_FILETYPE);
    return 0;
  }
  if (cert == nullptr) {
    ERR_raise(ERR_LIB_SSL, reason);
    return 0;
  }
  return SSL_use_certificate(ssl, cert.get());
}

// Unlike the certificate, a DER key is read too: the library reads any DER private key.
int usePrivateKeyFile(GivenPhrases* phrases, const std::string& file, int type) {
  SSL* ssl = phrases->ssl;
  BioPtr bio = openFile(file);
  if (bio == nullptr) return 0;
  EvpPkeyPtr key;
  int reason = 0;
  if (type == kFilePem) {
    key.reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, pemCallback(ssl), phrases));
    reason = ERR_R_PEM_LIB;
  } else if (type == kFileDer) {
    key.reset(d2i_PrivateKey_bio(bio.get(), nullptr));
    reason = ERR_R_ASN1_LIB;
  } else if (type == kFilePkcs12) {
    const std::string password = pkcs12Present(bio.get()) ? askPassword(phrases, 1) : "";
    if (!password.empty()) key = pkcs12ReadPrivateKey(bio.get(), password.c_str());
    reason = ERR_R_MALLOC_FAILURE;
  } else {
    ERR_raise(ERR_LIB_SSL, SSL_R_BAD_SSL_FILETYPE);
    return 0;
  }
  if (key == nullptr) {
    ERR_raise(ERR_LIB_SSL, reason);
    return 0;
  }
  // The library refuses a key that does not match the certificate already loaded.
  return SSL_use_PrivateKey(ssl, key.get());
}

bool loadCertificate(GivenPhrases* phrases, const std::string& certFile) {
  for (int type : {kFilePem, kFileDer, kFilePkcs12}) {
    if (useCertificateFile(phrases, certFile, type) == 1) return true;
    if (type != kFilePkcs12) ERR_clear_error();
  }
  log_event(LOG_ERROR, 0x6042, kModule, __LINE__, "Certificate load failed: %s", certFile.c_str());
  log_openssl_errors(LOG_ERROR, bio_log_err);
  ERR_clear_error();
  return false;
}

bool loadKey(GivenPhrases* phrases, const std::string& certFile, const std::string& keyFile) {
  for (int type : {kFilePem, kFileDer, kFilePkcs12}) {
    if (usePrivateKeyFile(phrases, certFile, type) == 1) return true;
    ERR_clear_error();
  }
  if (keyFile.empty()) {
    log_event(LOG_ERROR, 0x6043, kModule, __LINE__,
              "Private key load failed: wrong password ?. using cert: <%s> key: <%s>",
              certFile.c_str(), "no key file");
    return false;
  }
  for (int type : {kFilePem, kFileDer}) {
    if (usePrivateKeyFile(phrases, keyFile, type) == 1) return true;
    ERR_clear_error();
  }
  log_event(LOG_ERROR, 0x6043, kModule, __LINE__, "Private key load failed: cert: <%s> key: <%s>",
            certFile.c_str(), keyFile.c_str());
  return false;
}

}  // namespace

bool LoadedPairs::use(SSL* ssl, const std::string& certFile, const std::string& keyFile) {
  const FileIdentity cert = platform::currentIdentity(certFile);
  const FileIdentity key = platform::currentIdentity(keyFile);
  std::lock_guard<std::mutex> hold(mutex_);
  auto it = pairs_.find({certFile, keyFile});
  if (it == pairs_.end()) return false;
  if (!(it->second.cert == cert && it->second.key == key)) {
    pairs_.erase(it);
    return false;
  }
  return SSL_use_certificate(ssl, it->second.certificate.get()) == 1 &&
         SSL_use_PrivateKey(ssl, it->second.privateKey.get()) == 1;
}

void LoadedPairs::remember(SSL* ssl, const std::string& certFile, const std::string& keyFile,
                           const FileIdentity& cert, const FileIdentity& key) {
  X509* certificate = SSL_get_certificate(ssl);
  EVP_PKEY* privateKey = SSL_get_privatekey(ssl);
  if (certificate == nullptr || privateKey == nullptr) return;
  X509_up_ref(certificate);
  EVP_PKEY_up_ref(privateKey);
  Pair pair{cert, key, X509Ptr(certificate), EvpPkeyPtr(privateKey), nullptr, 0};
  std::lock_guard<std::mutex> hold(mutex_);
  std::swap(pairs_[{certFile, keyFile}], pair);
}

LoadedPairs::Pair* LoadedPairs::pairServing(const SSL* ssl, const std::string& certFile,
                                            const std::string& keyFile) {
  const auto it = pairs_.find({certFile, keyFile});
  if (it == pairs_.end() || SSL_get_certificate(ssl) != it->second.certificate.get())
    return nullptr;
  return &it->second;
}

void LoadedPairs::sendChain(SSL* ssl, const std::string& certFile, const std::string& keyFile,
                            uint64_t configuration) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    const Pair* pair = pairServing(ssl, certFile, keyFile);
    if (pair == nullptr) return;
    if (pair->chain && pair->chainConfiguration == configuration) {
      if (SSL_set1_chain(ssl, pair->chain.get()) != 1) ERR_clear_error();
      return;
    }
  }
  // Built without the lock: it verifies the chain. A chain that cannot be built whole (a CA not
  // in the store) is sent as far as it goes, as the handshake would have.
  constexpr int kFlags = SSL_BUILD_CHAIN_FLAG_NO_ROOT | SSL_BUILD_CHAIN_FLAG_IGNORE_ERROR |
                         SSL_BUILD_CHAIN_FLAG_CLEAR_ERROR;
  STACK_OF(X509)* built = nullptr;
  if (SSL_build_cert_chain(ssl, kFlags) <= 0 || SSL_get0_chain_certs(ssl, &built) != 1 ||
      built == nullptr) {
    ERR_clear_error();
    return;
  }
  X509StackPtr chain(X509_chain_up_ref(built));
  if (!chain) return;
  std::lock_guard<std::mutex> hold(mutex_);
  if (Pair* pair = pairServing(ssl, certFile, keyFile); pair != nullptr) {
    pair->chain = std::move(chain);
    pair->chainConfiguration = configuration;
  }
}

void LoadedPairs::clear() {
  std::map<std::pair<std::string, std::string>, Pair> old;
  std::lock_guard<std::mutex> hold(mutex_);
  old.swap(pairs_);
}

namespace {

// Reads the pair from its files into `ssl`, and keeps it in `kept` (when given) once it loaded
// whole.
void readCertAndKey(SSL* ssl, LoadedPairs* kept, const std::string& certFile,
                    const std::string& keyFile) {
  ERR_clear_error();
  // Taken before reading, so that a file changed meanwhile is read again next time.
  const LoadedPairs::FileIdentity certId = platform::currentIdentity(certFile);
  const LoadedPairs::FileIdentity keyId = platform::currentIdentity(keyFile);
  GivenPhrases phrases;
  phrases.ssl = ssl;
  const bool haveCert = loadCertificate(&phrases, certFile);
  const bool haveKey = loadKey(&phrases, certFile, keyFile);
  // A pass phrase that opened neither the certificate nor the key is forgotten at once, so that
  // the next connection asks again instead of failing with it for ever.
  if (!(haveCert && haveKey) && !phrases.given.empty()) {
    if (RelayState* state = stateOf(ssl)) {
      for (const std::string& phrase : phrases.given) state->questions.forgetPassphrase(phrase);
    }
  }
  // A key that does not belong to the certificate would only show as a failed handshake later.
  if (haveCert && haveKey && SSL_check_private_key(ssl) != 1) {
    log_event(LOG_ERROR, 0x6043, kModule, __LINE__, "Private key load failed: cert: <%s> key: <%s>",
              certFile.c_str(), keyFile.empty() ? "no key file" : keyFile.c_str());
  } else if (haveCert && haveKey && kept != nullptr) {
    kept->remember(ssl, certFile, keyFile, certId, keyId);
  }
  ERR_clear_error();
}

}  // namespace

void loadCertAndKey(SSL* ssl, LoadedPairs* kept, const std::string& certFile,
                    const std::string& keyFile, uint64_t configuration) {
  if (ssl == nullptr) return;
  if (kept == nullptr || !kept->use(ssl, certFile, keyFile)) {
    readCertAndKey(ssl, kept, certFile, keyFile);
  }
  if (kept != nullptr) kept->sendChain(ssl, certFile, keyFile, configuration);
}

namespace {

// Adds one CA certificate to the list of CA names sent to clients and to the store. A certificate
// already in the store is skipped silently, and its name is not sent twice.
bool addTrustedCa(SSL_CTX* ctx, X509* cert) {
  X509_STORE* store = SSL_CTX_get_cert_store(ctx);
  std::lock_guard<std::mutex> hold(certStoreLock(store));
  const STACK_OF(X509_NAME)* names = SSL_CTX_get_client_CA_list(ctx);
  const X509_NAME* subject = X509_get_subject_name(cert);
  bool listed = false;
  for (int i = 0; i < sk_X509_NAME_num(names) && !listed; ++i) {
    listed = X509_NAME_cmp(sk_X509_NAME_value(names, i), subject) == 0;
  }
  if (!listed && SSL_CTX_add_client_CA(ctx, cert) != 1) return false;
  if (X509_STORE_add_cert(store, cert) == 1) return true;
  const unsigned long err = ERR_peek_last_error();
  if (ERR_GET_LIB(err) == ERR_LIB_X509 &&
      ERR_GET_REASON(err) == X509_R_CERT_ALREADY_IN_HASH_TABLE) {
    ERR_clear_error();
    return true;
  }
  return false;
}

void caFileFailed(const config::Settings& s, const std::string& file) {
  if (s.debug != 0) {
    log_event(LOG_ERROR, 0x6062, kModule, __LINE__, "Failed to load '%s'", file.c_str());
    ERR_raise(ERR_LIB_X509, ERR_R_SYS_LIB);
    log_openssl_errors(LOG_ERROR, bio_log_err);
  }
  ERR_clear_error();
}

int loadCaFile(SSL_CTX* ctx, const config::Settings& s, const std::string& file) {
  X509Ptr cert;
  {
    BioPtr bio(BIO_new_file(file.c_str(), "rb"));
    if (bio == nullptr) {
      caFileFailed(s, file);
      return -1;
    }
    cert.reset(PEM_read_bio_X509(bio.get(), nullptr, refusePassword, nullptr));
    if (cert == nullptr) {
      BIO_reset(bio.get());
      ERR_clear_error();
      cert.reset(d2i_X509_bio(bio.get(), nullptr));
    }
  }
  if (cert == nullptr) {
    caFileFailed(s, file);
    return -1;
  }
  if (!addTrustedCa(ctx, cert.get())) {
    log_event(LOG_ERROR, 0x6065, kModule, __LINE__, "Failed to load '%s'",
              s.sslCaCert.get().c_str());
    log_openssl_errors(LOG_ERROR, bio_log_err);
  }
  ERR_clear_error();
  return 0;
}

void loadCaSetting(SSL_CTX* ctx, const config::Settings& s, const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (ec) {
    log_event(LOG_ERROR, 0x6063, kModule, __LINE__, "Problem getting 'file' information about <%s>",
              path.c_str());
    loadCaFile(ctx, s, path);
    return;
  }
  const bool directory = fs::is_directory(status);
  if (s.verbose != 0) {
    log_event(LOG_INFO, 0x6064, kModule, __LINE__, "Using <%s> as a %s for trusted CA certificates",
              path.c_str(), directory ? "Directory" : "File");
  }
  if (!directory) {
    loadCaFile(ctx, s, path);
    return;
  }
  std::vector<std::string> entries;
  for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
    entries.push_back(it->path().filename().string());
  }
  std::sort(entries.begin(), entries.end());
  for (const std::string& entry : entries) loadCaFile(ctx, s, path + "/" + entry);
}

// The "CaCert" value of one subkey of the CA key, or empty.
std::vector<unsigned char> registryCaValue(const platform::RegKey& sub) {
  uint32_t type = 0;
  uint32_t size = 0;
  if (platform::regQueryValue(sub, "CaCert", &type, nullptr, &size) != platform::kErrorSuccess ||
      type != platform::REG_BINARY || size == 0 || size > kMaxRegistryCert) {
    return {};
  }
  std::vector<unsigned char> data(size);
  if (platform::regQueryValue(sub, "CaCert", &type, data.data(), &size) !=
      platform::kErrorSuccess) {
    return {};
  }
  data.resize(size);
  return data;
}

void loadRegistryCa(SSL_CTX* ctx, const platform::RegKey& parent, const std::string& name) {
  platform::RegKey sub;
  if (platform::regOpenSubKey(parent, name, false, &sub) != platform::kErrorSuccess) return;
  uint32_t type = 0;
  uint32_t size = 0;
  if (platform::regQueryValue(sub, "CaCert", &type, nullptr, &size) != platform::kErrorSuccess ||
      type != platform::REG_BINARY) {
    return;
  }
  const std::vector<unsigned char> der = registryCaValue(sub);
  const unsigned char* p = der.data();
  X509Ptr cert(der.empty() ? nullptr : d2i_X509(nullptr, &p, static_cast<long>(der.size())));
  if (cert == nullptr) {
    log_event(LOG_ERROR, 0x6066, kModule, __LINE__, "Failed to load '%s'", name.c_str());
    log_openssl_errors(LOG_ERROR, bio_log_err);
  } else if (!addTrustedCa(ctx, cert.get())) {
    log_event(LOG_ERROR, 0x6066, kModule, __LINE__, "Cert load error. CA '%s' from '%s'",
              name.c_str(), kSchannelCaKey);
    log_openssl_errors(LOG_ERROR, bio_log_err);
  }
  ERR_clear_error();
}

void loadSystemCas(SSL_CTX* ctx) {
  platform::RegKey key;
  if (platform::regOpenKey(platform::Hive::kLocalMachine, kSchannelCaKey, &key) ==
      platform::kErrorSuccess) {
    std::string name;
    for (uint32_t i = 0; platform::regEnumKey(key, i, &name) == platform::kErrorSuccess; ++i) {
      loadRegistryCa(ctx, key, name);
    }
  }
  // The operating system's own trust store stands beside the registry's CA key.
  X509_STORE* store = SSL_CTX_get_cert_store(ctx);
  std::lock_guard<std::mutex> hold(certStoreLock(store));
  X509_STORE_set_default_paths(store);
  ERR_clear_error();
}

// Subjects of the certificates in the store. Certificates that a directory lookup would find on
// demand are not in it yet and are not listed.
std::vector<std::string> trustedSubjects(SSL_CTX* ctx) {
  std::vector<std::string> subjects;
  X509_STORE* store = SSL_CTX_get_cert_store(ctx);
  std::lock_guard<std::mutex> hold(certStoreLock(store));
  if (X509_STORE_lock(store) != 1) return subjects;
  STACK_OF(X509_OBJECT)* objects = X509_STORE_get0_objects(store);
  for (int i = 0; i < sk_X509_OBJECT_num(objects); ++i) {
    X509* cert = X509_OBJECT_get0_X509(sk_X509_OBJECT_value(objects, i));
    if (cert == nullptr) continue;
    char name[1024] = "";
    X509_NAME_oneline(X509_get_subject_name(cert), name, sizeof name);
    subjects.emplace_back(name);
  }
  X509_STORE_unlock(store);
  return subjects;
}

}  // namespace

void loadCaCertificates(SSL_CTX* ctx, const config::Settings& s) {
  if (ctx == nullptr) return;
  const std::string caCert = s.sslCaCert.get();
  if (!caCert.empty()) loadCaSetting(ctx, s, caCert);
  if (s.sslUseSystemRegistry != 0) loadSystemCas(ctx);
  // Logged after the store is unlocked: a log line may wait on its sink.
  for (const std::string& subject : trustedSubjects(ctx)) {
    log_event(LOG_INFO, 0x6062, kModule, __LINE__, "Trusting %s", subject.c_str());
  }
}

}  // namespace relay
