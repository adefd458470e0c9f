// Real LDAP peers for the CRL fetcher tests: a slapd started on 127.0.0.1 with its own
// configuration and database in a temporary folder, entries loaded with ldapadd, and CRLs made
// with the openssl tool.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "support/support.h"

namespace ldap_test {

using test_support::freePort;
using test_support::readFile;
using test_support::TempDir;
using test_support::waitForPort;

constexpr const char* kSuffix = "o=test";
constexpr const char* kAdmin = "cn=admin,o=test";
constexpr const char* kAdminPassword = "secret";

// "attr:: <base64 of value>" as one LDIF line.
std::string ldifBinary(const std::string& attribute, const std::string& value);

// The directory's schema. kStandard: the system's core schema, where the CRL attribute is binary
// ("certificateRevocationList;binary"). kText: a small schema of our own where the attribute
// holds any octets and is returned under its plain name; it also allows version 2 binds.
enum class Schema { kStandard, kText };

class Slapd {
 public:
  explicit Slapd(Schema schema);
  ~Slapd();
  Slapd(const Slapd&) = delete;
  Slapd& operator=(const Slapd&) = delete;

  bool ok() const { return pid_ > 0; }
  uint16_t port() const { return port_; }
  // Loads LDIF records with ldapadd / changes entries with ldapmodify as the administrator.
  bool add(const std::string& ldif);
  bool modify(const std::string& ldif);
  // Adds the suffix entry and one cRLDistributionPoint entry per call of addCrlEntry.
  bool addBase();
  bool addCrlEntry(const std::string& cn, const std::string& attributeLine);
  void stop();

 private:
  bool runTool(const char* tool, const std::string& ldif);

  TempDir dir_;
  uint16_t port_ = 0;
  pid_t pid_ = -1;
  int serial_ = 0;
};

// A CA with two CRLs (the second revokes the server certificate), a second CA with one CRL, and
// the server certificate and key; all made once per test run.
class Pki {
 public:
  static const Pki& get();
  bool ok() const { return ok_; }
  std::string path(const std::string& name) const { return dir_.path() + "/" + name; }
  std::string der(const std::string& name) const { return readFile(path(name)); }

 private:
  Pki();
  TempDir dir_;
  bool ok_ = false;
};

}  // namespace ldap_test
