// The security packages behind proxy authentication: the GSSAPI mechanisms installed on the host.
// "NTLM" (through the NTLMSSP mechanism, OID 1.3.6.1.4.1.311.2.2.10), "Kerberos" and
// "Negotiate" (SPNEGO) are the names the proxy client knows them by.
//
// A SecurityContext holds the credentials and the context of one authentication exchange; it
// belongs to the call that runs that exchange, so any number of exchanges may run at once on
// different threads; KeptCredentials belongs to a relay. Nothing here is process-wide except the
// mechanism list of the library.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Error numbers as the proxy client reports them (Windows numbering).
constexpr int kAuthAccessDenied = 5;
constexpr int kAuthInvalidParameter = 87;
constexpr int kAuthLogonFailure = 1326;
constexpr int kAuthSecurityFailure =
    static_cast<int>(0x80090304u);  // any other failure of the security package

// True when the host's GSSAPI library offers the package of this name (any case).
bool securityPackageInstalled(std::string_view name);
// The host's name up to its first dot, upper case, at most 15 characters (NetBIOS form); taken
// once and kept.
std::string computerName();

// Whose credentials an exchange uses.
struct SecurityIdentity {
  std::string user;
  std::string domain;  // may be empty
  std::string password;
};

// Credentials acquired for a user name and password, kept so that later exchanges of the same
// package and identity take them instead of acquiring their own: Kerberos asks the KDC for a
// ticket once, not at every connection through the proxy. An entry serves for at most
// kKeptCredentialsMs, so that tickets are taken afresh, and goes at once when the mechanism fails
// to make a token with it. A proxy's refusal does not drop it: acquiring again for the same
// password would make the same answer. At most kKeptCredentialsEntries are kept, the oldest going
// first. Any thread.
constexpr int64_t kKeptCredentialsMs = 10 * 60 * 1000;
constexpr size_t kKeptCredentialsEntries = 16;

class KeptCredentials {
 public:
  KeptCredentials();
  ~KeptCredentials();
  KeptCredentials(const KeptCredentials&) = delete;
  KeptCredentials& operator=(const KeptCredentials&) = delete;

  // Forgets every entry (exchanges under way keep what they took).
  void clear();
  size_t size() const;

 private:
  friend class SecurityContext;
  struct Credential;
  struct Entry;
  // The live entry for the mechanism (a gss_OID), principal and password, or null.
  std::shared_ptr<Credential> find(const void* mech, const std::string& principal,
                                   const std::string& password);
  void keep(const void* mech, const std::string& principal, const std::string& password,
            std::shared_ptr<Credential> credential);
  void drop(const Credential* credential);

  mutable std::mutex mutex_;
  std::vector<Entry> entries_;
};

class SecurityContext {
 public:
  SecurityContext();
  ~SecurityContext();
  SecurityContext(const SecurityContext&) = delete;
  SecurityContext& operator=(const SecurityContext&) = delete;

  // Takes the package's credentials for `identity`, or the default credentials of the process
  // (a Kerberos ticket cache, for instance) when it is null. With `kept`, credentials kept there
  // for the same package and identity serve, and newly acquired ones are kept there. 0 or an
  // error number; *detail says why in words.
  int acquire(std::string_view package, const SecurityIdentity* identity, std::string* detail,
              KeptCredentials* kept = nullptr);
  // One step of the exchange with the service HTTP@<targetHost>: `input` is the server's token
  // (empty on the first step). Fills *output and says whether the server must answer once more.
  int step(const std::string& targetHost, const std::vector<uint8_t>& input,
           std::vector<uint8_t>* output, bool* more, std::string* detail);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace platform
