// One fetch from one LDAP source: session, simple bind, subtree search, and every CRL value of
// the result into the store and, when asked, into the dump folder.
//
// The requests are sent without blocking and their answers awaited a quarter second at a time,
// so that a stop request is seen soon and no answer is awaited for ever.
#include "security/crl_ldap.h"

#include <lber.h>
#include <ldap.h>
#include <openssl/bio.h>
#include <openssl/err.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

#include "log/log.h"
#include "log/openssl_ptr.h"
#include "security/crl_store.h"

namespace {

constexpr uint32_t kCode = 0x7000;
constexpr const char* kModule = "ccCrlLdap";
constexpr int kConnectSeconds = 10;                     // establishing the TCP connection
constexpr int kSearchSeconds = 60;                      // time limit the server is asked to keep
constexpr auto kAnswerWait = std::chrono::seconds(90);  // longest wait for one answer
constexpr long kPollMicroseconds = 250000;

struct LdapCloser {
  void operator()(LDAP* ld) const { ldap_unbind_ext_s(ld, nullptr, nullptr); }
};
using LdapPtr = std::unique_ptr<LDAP, LdapCloser>;
struct MessageFree {
  void operator()(LDAPMessage* m) const { ldap_msgfree(m); }
};
using MessagePtr = std::unique_ptr<LDAPMessage, MessageFree>;
struct ValuesFree {
  void operator()(berval** v) const { ldap_value_free_len(v); }
};
using ValuesPtr = std::unique_ptr<berval*, ValuesFree>;

bool stopped(const security::FetchStop* stop) { return stop != nullptr && stop->requested(); }

const char* orNull(const std::string& text) { return text.empty() ? nullptr : text.c_str(); }
const char* shown(const std::string& text) { return text.empty() ? "(null)" : text.c_str(); }

// The session handle for host and port, without connecting yet; null when the host is none or
// cannot form an address.
LdapPtr openSession(const std::string& server, uint32_t port) {
  if (server.empty() || server.find_first_of("/?#@ \t") != std::string::npos) return nullptr;
  const bool bareIpv6 = server.find(':') != std::string::npos && server.front() != '[';
  const std::string host = bareIpv6 ? "[" + server + "]" : server;
  const std::string uri = "ldap://" + host + ":" + std::to_string(port);
  LDAP* ld = nullptr;
  if (ldap_initialize(&ld, uri.c_str()) != LDAP_SUCCESS) return nullptr;
  LdapPtr session(ld);
  timeval connect{kConnectSeconds, 0};
  ldap_set_option(ld, LDAP_OPT_NETWORK_TIMEOUT, &connect);
  return session;
}

// Awaits the whole answer to request `msgid`. Returns the answer, or null on a broken session,
// after kAnswerWait, or on a stop (the request is then abandoned); *code tells which.
MessagePtr awaitAnswer(LDAP* ld, int msgid, security::FetchStop* stop, int* code) {
  const auto deadline = std::chrono::steady_clock::now() + kAnswerWait;
  for (;;) {
    timeval poll{0, kPollMicroseconds};
    LDAPMessage* answer = nullptr;
    const int rc = ldap_result(ld, msgid, LDAP_MSG_ALL, &poll, &answer);
    if (rc > 0) {
      *code = LDAP_SUCCESS;
      return MessagePtr(answer);
    }
    ldap_msgfree(answer);
    if (rc < 0) {
      *code = LDAP_SERVER_DOWN;
      ldap_get_option(ld, LDAP_OPT_RESULT_CODE, code);
      if (*code == LDAP_SUCCESS) *code = LDAP_SERVER_DOWN;  // a failure must never read as success
      return nullptr;
    }
    if (stopped(stop) || std::chrono::steady_clock::now() >= deadline) {
      ldap_abandon_ext(ld, msgid, nullptr, nullptr);
      *code = LDAP_TIMEOUT;
      return nullptr;
    }
  }
}

// The result code that ends an answer (for a search, after its entries).
int resultCode(LDAP* ld, LDAPMessage* answer) {
  int code = LDAP_OTHER;
  const int rc = ldap_parse_result(ld, answer, &code, nullptr, nullptr, nullptr, nullptr, 0);
  return rc == LDAP_SUCCESS ? code : rc;
}

// Simple bind with the source's name and password (none: anonymous). Returns the directory's
// result code (LDAP_SUCCESS), or LDAP_OTHER when no answer came.
int bindOnce(LDAP* ld, const security::LdapSource& source, security::FetchStop* stop) {
  berval password{source.pw.size(), const_cast<char*>(source.pw.c_str())};
  int msgid = 0;
  if (const int rc = ldap_sasl_bind(ld, orNull(source.user), LDAP_SASL_SIMPLE, &password, nullptr,
                                    nullptr, &msgid);
      rc != LDAP_SUCCESS) {
    return rc;
  }
  int code = 0;
  MessagePtr answer = awaitAnswer(ld, msgid, stop, &code);
  if (!answer) return LDAP_OTHER;
  return resultCode(ld, answer.get());
}

// The bind with the source's protocol version; a directory that refuses version 2 as a protocol
// error (as stock directories do) is asked once more with version 3.
bool simpleBind(LDAP* ld, const security::LdapSource& source, security::FetchStop* stop) {
  int version = static_cast<int>(source.ldapVersion);
  ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
  const int rc = bindOnce(ld, source, stop);
  if (rc == LDAP_SUCCESS) return true;
  if (rc != LDAP_PROTOCOL_ERROR || version >= 3 || stopped(stop)) return false;
  version = 3;
  ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
  log_event(LOG_INFO, kCode, kModule, __LINE__,
            "ldap: <%s> refuses protocol version %d binds; binding with version 3",
            shown(source.server), static_cast<int>(source.ldapVersion));
  return bindOnce(ld, source, stop) == LDAP_SUCCESS;
}

// Searches the subtree under the search base; the answer, or null with *code set.
MessagePtr searchSubtree(LDAP* ld, const security::LdapSource& source, security::FetchStop* stop,
                         int* code) {
  timeval limit{kSearchSeconds, 0};
  int msgid = 0;
  *code = ldap_search_ext(ld, source.searchdn.c_str(), LDAP_SCOPE_SUBTREE, orNull(source.filter),
                          nullptr, 0, nullptr, nullptr, &limit, 0, &msgid);
  if (*code != LDAP_SUCCESS) return nullptr;
  MessagePtr answer = awaitAnswer(ld, msgid, stop, code);
  if (!answer) return nullptr;
  *code = resultCode(ld, answer.get());
  if (*code != LDAP_SUCCESS) return nullptr;
  return answer;
}

// Writes the CRL in DER to "<dump path>/<issuer hash>.crl", through a temporary file so that a
// reader never meets half a file. A file that cannot be written is skipped silently.
void dumpCrl(X509_CRL* crl, const std::string& folder) {
  char name[32];
  std::snprintf(name, sizeof name, "/%08lx.crl", X509_NAME_hash(X509_CRL_get_issuer(crl)));
  const std::string path = folder + name;
  const std::string temporary = path + ".tmp";
  bool written = false;
  {
    BioPtr file(BIO_new_file(temporary.c_str(), "w"));
    written = file && i2d_X509_CRL_bio(file.get(), crl) == 1 && BIO_flush(file.get()) == 1;
  }
  std::error_code ec;
  if (written) {
    std::filesystem::rename(temporary, path, ec);
  } else {
    std::filesystem::remove(temporary, ec);
  }
  ERR_clear_error();
}

// One attribute value: decode, parse, store and dump it.
void takeValue(X509_STORE* store, const security::LdapSource& source, const berval& value) {
  std::vector<unsigned char> der;
  X509CrlPtr crl;
  if (security::decodeCrlValue(reinterpret_cast<const unsigned char*>(value.bv_val), value.bv_len,
                               source.crlType != 0, &der) &&
      !der.empty()) {
    BioPtr memory(BIO_new_mem_buf(der.data(), static_cast<int>(der.size())));
    if (memory) crl.reset(d2i_X509_CRL_bio(memory.get(), nullptr));
  }
  if (!crl) {
    log_event(LOG_INFO, kCode, kModule, __LINE__, " no der crl");
    ERR_clear_error();
    return;
  }
  if (crl_store_replace(store, crl.get()) == 0) ERR_clear_error();
  if (source.dumpToFile != 0 && !source.dumpPath.empty()) dumpCrl(crl.get(), source.dumpPath);
}

// Every entry of the answer that carries the attribute; returns how many did.
int takeEntries(LDAP* ld, LDAPMessage* answer, X509_STORE* store,
                const security::LdapSource& source, security::FetchStop* stop) {
  const char* attribute =
      source.crlType == 0 ? "certificateRevocationList" : "certificateRevocationList;binary";
  int count = 0;
  for (LDAPMessage* entry = ldap_first_entry(ld, answer); entry != nullptr;
       entry = ldap_next_entry(ld, entry)) {
    if (stopped(stop)) break;
    ValuesPtr values(ldap_get_values_len(ld, entry, attribute));
    if (!values) continue;
    ++count;
    if (values.get()[0] != nullptr) takeValue(store, source, *values.get()[0]);
  }
  return count;
}

}  // namespace

int ldap_fetch_once(X509_STORE* store, const security::LdapSource& source,
                    security::FetchStop* stop) {
  const uint32_t port = source.port == 0 ? 389 : source.port;
  LdapPtr session = openSession(source.server, port);
  if (!session) return 1;
  LDAP* ld = session.get();
  if (!simpleBind(ld, source, stop)) {
    if (!stopped(stop)) {
      log_event(LOG_INFO, kCode, kModule, __LINE__, "LDAP: fails ldap_simple_bind_s");
    }
    return 1;
  }
  int code = 0;
  MessagePtr answer = searchSubtree(ld, source, stop, &code);
  if (!answer) {
    if (stopped(stop)) return 1;
    log_event(LOG_INFO, kCode, kModule, __LINE__, "ldap_search_s <%x> <%s> dn:<%s> filter:<%s>",
              static_cast<unsigned>(code), ldap_err2string(code), shown(source.searchdn),
              shown(source.filter));
    return code;
  }
  if (ldap_first_entry(ld, answer.get()) == nullptr) {
    log_event(LOG_INFO, kCode, kModule, __LINE__, "ldap_search_ entry fail");
  }
  return takeEntries(ld, answer.get(), store, source, stop);
}
