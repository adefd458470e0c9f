// The client certificate the relay shows a server that asks for one: the stored choice
// ("ssl.client_cert", a full path) and the reading of the chosen file, as PEM (certificate and
// private key, decrypted with the password) or else as PKCS#12. Used by the certificate selection
// of the desktop program and by the daemon, which answers from the store. Any thread.
#pragma once

#include <string>

#include "platform/registry.h"
#include "relay/observer.h"

namespace relay {

// "ssl.client_cert" of the settings key under `root`, as stored (a full path) or, with
// `fullPath` false, the file name after the last slash; empty when missing, not text or empty.
std::string storedClientCertificate(platform::Hive root, bool fullPath);
// Writes "ssl.client_cert"; a name that is not an absolute path is taken relative to the
// program's folder; an empty name deletes the value. Returns 0 or the registry error.
long storeClientCertificate(platform::Hive root, const std::string& name);

enum class CredentialsResult {
  kLoaded,         // *out holds the certificate and its key
  kCannotOpen,     // the file cannot be read (the reason is on OpenSSL's error queue)
  kWrongPassword,  // no certificate with its key could be read with this password
  // As kWrongPassword, where no PEM certificate was there and the PKCS#12 reading was tried: the
  // selection dialog starts its wait afresh for that case.
  kWrongPkcs12Password,
};
// Reads a PEM certificate and key with `password`; failing a PEM certificate, and with a password
// given, the certificate and key of a PKCS#12 file. A key that does not belong to the
// certificate counts as not read.
CredentialsResult readClientCredentials(const std::string& file, const std::string& password,
                                        ClientCredentials* out);

}  // namespace relay
