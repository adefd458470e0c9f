#include "platform/gss_auth.h"

#include <gssapi/gssapi.h>
#include <gssapi/gssapi_ext.h>
#include <gssapi/gssapi_krb5.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <mutex>

namespace platform {

namespace {

// Object identifiers in their DER content form.
gss_OID_desc ntlmOid{10, const_cast<char*>("\x2b\x06\x01\x04\x01\x82\x37\x02\x02\x0a")};
gss_OID_desc kerberosOid{9, const_cast<char*>("\x2a\x86\x48\x86\xf7\x12\x01\x02\x02")};
gss_OID_desc spnegoOid{6, const_cast<char*>("\x2b\x06\x01\x05\x05\x02")};

gss_OID mechanismOf(std::string_view name) {
  struct Entry {
    const char* name;
    gss_OID oid;
  };
  for (const Entry& e :
       {Entry{"NTLM", &ntlmOid}, Entry{"Kerberos", &kerberosOid}, Entry{"Negotiate", &spnegoOid}}) {
    const size_t n = std::char_traits<char>::length(e.name);
    if (name.size() == n && strncasecmp(name.data(), e.name, n) == 0) return e.oid;
  }
  return GSS_C_NO_OID;
}

// NTLMSSP copies names with strndup, which reads up to the length it is given or a terminator:
// the terminator goes along so that the copy never reads past the mechanism layer's buffer. SPNEGO
// hands the same name on to NTLMSSP. (The Kerberos mechanism copies a name with its length and
// parses up to the terminator, so the extra byte does not change the name.)
bool readsPastNames(gss_OID mech) { return mech == &ntlmOid || mech == &spnegoOid; }

bool sameOid(const gss_OID_desc& a, const gss_OID_desc& b) {
  return a.length == b.length &&
         std::char_traits<char>::compare(static_cast<const char*>(a.elements),
                                         static_cast<const char*>(b.elements), a.length) == 0;
}

std::string statusText(OM_uint32 code, int type) {
  std::string text;
  OM_uint32 context = 0;
  for (int i = 0; i < 8; ++i) {
    OM_uint32 minor = 0;
    gss_buffer_desc buffer{0, nullptr};
    if (GSS_ERROR(gss_display_status(&minor, code, type, GSS_C_NO_OID, &context, &buffer))) break;
    if (!text.empty()) text += "; ";
    text.append(static_cast<const char*>(buffer.value), buffer.length);
    gss_release_buffer(&minor, &buffer);
    if (context == 0) break;
  }
  return text;
}

std::string describe(OM_uint32 major, OM_uint32 minor) {
  std::string text = statusText(major, GSS_C_GSS_CODE);
  if (minor != 0) text += " (" + statusText(minor, GSS_C_MECH_CODE) + ")";
  return text;
}

int errorOf(OM_uint32 major) {
  const OM_uint32 routine = GSS_ROUTINE_ERROR(major);
  if (routine == GSS_S_NO_CRED || routine == GSS_S_DEFECTIVE_CREDENTIAL ||
      routine == GSS_S_CREDENTIALS_EXPIRED) {
    return kAuthLogonFailure;
  }
  return kAuthSecurityFailure;
}

}  // namespace

// A credential handle that exchanges share, released when the last of them lets go of it. The
// mechanisms only read a handle while they make a token (the Kerberos one under a lock of its
// own), so exchanges on several threads may use it at once.
struct KeptCredentials::Credential {
  gss_cred_id_t handle = GSS_C_NO_CREDENTIAL;
  Credential() = default;
  Credential(const Credential&) = delete;
  Credential& operator=(const Credential&) = delete;
  ~Credential() {
    OM_uint32 minor = 0;
    if (handle != GSS_C_NO_CREDENTIAL) gss_release_cred(&minor, &handle);
  }
};

struct KeptCredentials::Entry {
  const void* mech = nullptr;
  std::string principal;
  std::string password;
  std::chrono::steady_clock::time_point acquired;
  std::shared_ptr<Credential> credential;

  bool isFor(const void* m, const std::string& name, const std::string& secret) const {
    return mech == m && principal == name && password == secret;
  }
};

KeptCredentials::KeptCredentials() = default;
KeptCredentials::~KeptCredentials() = default;

void KeptCredentials::clear() {
  std::vector<Entry> gone;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    gone.swap(entries_);
  }
}

size_t KeptCredentials::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_.size();
}

std::shared_ptr<KeptCredentials::Credential> KeptCredentials::find(const void* mech,
                                                                   const std::string& principal,
                                                                   const std::string& password) {
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard<std::mutex> lock(mutex_);
  std::erase_if(entries_, [&](const Entry& e) {
    return now - e.acquired > std::chrono::milliseconds(kKeptCredentialsMs);
  });
  for (const Entry& e : entries_) {
    if (e.isFor(mech, principal, password)) return e.credential;
  }
  return nullptr;
}

void KeptCredentials::keep(const void* mech, const std::string& principal,
                           const std::string& password, std::shared_ptr<Credential> credential) {
  std::lock_guard<std::mutex> lock(mutex_);
  // Two exchanges that acquired at once: the later one's replaces the earlier one's.
  std::erase_if(entries_, [&](const Entry& e) { return e.isFor(mech, principal, password); });
  if (entries_.size() >= kKeptCredentialsEntries) entries_.erase(entries_.begin());
  entries_.push_back(
      Entry{mech, principal, password, std::chrono::steady_clock::now(), std::move(credential)});
}

void KeptCredentials::drop(const Credential* credential) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::erase_if(entries_, [&](const Entry& e) { return e.credential.get() == credential; });
}

struct SecurityContext::State {
  gss_OID mech = GSS_C_NO_OID;
  std::shared_ptr<KeptCredentials::Credential> cred;  // null: the default credentials
  KeptCredentials* kept = nullptr;                    // where `cred` is kept, when it is
  gss_ctx_id_t context = GSS_C_NO_CONTEXT;
  gss_name_t target = GSS_C_NO_NAME;
};

bool securityPackageInstalled(std::string_view name) {
  const gss_OID mech = mechanismOf(name);
  if (mech == GSS_C_NO_OID) return false;
  OM_uint32 minor = 0;
  gss_OID_set mechs = GSS_C_NO_OID_SET;
  if (GSS_ERROR(gss_indicate_mechs(&minor, &mechs)) || mechs == GSS_C_NO_OID_SET) return false;
  bool found = false;
  for (size_t i = 0; i < mechs->count && !found; ++i) found = sameOid(mechs->elements[i], *mech);
  gss_release_oid_set(&minor, &mechs);
  return found;
}

std::string computerName() {
  static std::once_flag once;
  static std::string name;  // written once under `once`, read only afterwards
  std::call_once(once, [] {
    char host[256] = "";
    if (::gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
    for (size_t i = 0; host[i] != '\0' && host[i] != '.' && name.size() < 15; ++i) {
      name += static_cast<char>(std::toupper(static_cast<unsigned char>(host[i])));
    }
  });
  return name;
}

SecurityContext::SecurityContext() : state_(std::make_unique<State>()) {}

SecurityContext::~SecurityContext() {
  OM_uint32 minor = 0;
  if (state_->context != GSS_C_NO_CONTEXT) {
    gss_delete_sec_context(&minor, &state_->context, GSS_C_NO_BUFFER);
  }
  if (state_->target != GSS_C_NO_NAME) gss_release_name(&minor, &state_->target);
}

int SecurityContext::acquire(std::string_view package, const SecurityIdentity* identity,
                             std::string* detail, KeptCredentials* kept) {
  state_->mech = mechanismOf(package);
  if (state_->mech == GSS_C_NO_OID) {
    *detail = "unknown security package";
    return kAuthSecurityFailure;
  }
  if (identity == nullptr) return 0;  // the default credentials, taken by the first step
  // NTLMSSP reads "DOMAIN\user"; Kerberos reads "user@REALM", a realm being its domain's name in
  // capitals.
  std::string principal = identity->user;
  if (!identity->domain.empty() && state_->mech == &ntlmOid) {
    principal = identity->domain + "\\" + identity->user;
  } else if (!identity->domain.empty()) {
    principal += '@';
    for (const char c : identity->domain) {
      principal += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
  }
  if (kept != nullptr) {
    state_->cred = kept->find(state_->mech, principal, identity->password);
    if (state_->cred != nullptr) {
      state_->kept = kept;
      return 0;
    }
  }
  OM_uint32 minor = 0;
  const size_t nameLength = principal.size() + (readsPastNames(state_->mech) ? 1 : 0);
  gss_buffer_desc nameText{nameLength, principal.data()};
  gss_name_t name = GSS_C_NO_NAME;
  OM_uint32 major = gss_import_name(&minor, &nameText, GSS_C_NT_USER_NAME, &name);
  if (GSS_ERROR(major)) {
    *detail = describe(major, minor);
    return kAuthInvalidParameter;
  }
  std::string password = identity->password;
  gss_buffer_desc secret{password.size(), password.data()};
  gss_OID_set_desc mechs{1, state_->mech};
  auto credential = std::make_shared<KeptCredentials::Credential>();
  major = gss_acquire_cred_with_password(&minor, name, &secret, GSS_C_INDEFINITE, &mechs,
                                         GSS_C_INITIATE, &credential->handle, nullptr, nullptr);
  OM_uint32 ignored = 0;  // the failure's minor status is the one to tell
  gss_release_name(&ignored, &name);
  if (GSS_ERROR(major)) {
    *detail = describe(major, minor);
    return errorOf(major);
  }
  state_->cred = credential;
  if (kept != nullptr) {
    kept->keep(state_->mech, principal, identity->password, std::move(credential));
    state_->kept = kept;
  }
  return 0;
}

int SecurityContext::step(const std::string& targetHost, const std::vector<uint8_t>& input,
                          std::vector<uint8_t>* output, bool* more, std::string* detail) {
  OM_uint32 minor = 0;
  OM_uint32 major = 0;
  if (state_->target == GSS_C_NO_NAME) {
    std::string service = "HTTP@" + targetHost;
    gss_buffer_desc text{service.size() + (readsPastNames(state_->mech) ? 1 : 0), service.data()};
    major = gss_import_name(&minor, &text, GSS_C_NT_HOSTBASED_SERVICE, &state_->target);
    if (GSS_ERROR(major)) {
      *detail = describe(major, minor);
      return kAuthInvalidParameter;
    }
  }
  gss_buffer_desc in{input.size(), const_cast<uint8_t*>(input.data())};
  gss_buffer_desc out{0, nullptr};
  major = gss_init_sec_context(&minor,
                               state_->cred != nullptr ? state_->cred->handle : GSS_C_NO_CREDENTIAL,
                               &state_->context, state_->target, state_->mech, 0, GSS_C_INDEFINITE,
                               GSS_C_NO_CHANNEL_BINDINGS, input.empty() ? GSS_C_NO_BUFFER : &in,
                               nullptr, &out, nullptr, nullptr);
  if (out.length > 0) {
    const auto* bytes = static_cast<const uint8_t*>(out.value);
    output->assign(bytes, bytes + out.length);
  } else {
    output->clear();
  }
  OM_uint32 ignored = 0;  // the failure's minor status is the one to tell
  gss_release_buffer(&ignored, &out);
  if (GSS_ERROR(major)) {
    *detail = describe(major, minor);
    // Expired or spoilt: the next exchange acquires its own.
    if (state_->kept != nullptr) state_->kept->drop(state_->cred.get());
    state_->kept = nullptr;
    return errorOf(major);
  }
  *more = (major & GSS_S_CONTINUE_NEEDED) != 0;
  return 0;
}

}  // namespace platform
