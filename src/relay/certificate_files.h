// Reading certificate and key files as the relay and the windows both need to: a certificate in
// PEM or DER, the certificate and key of a PKCS#12 file, a client certificate with its key (PEM,
// or else PKCS#12), the stored client-certificate choice ("ssl.client_cert"), and the text of a
// certificate's time. Used by the relay's certificate loading, the daemon's answers, the
// certificate viewer, the rule editor and the certificate dialogs. Any thread; nothing here asks
// a question or prompts on a terminal.
#pragma once

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <string>

#include "log/openssl_ptr.h"
#include "platform/registry.h"
#include "relay/observer.h"

namespace relay {

using ::EvpPkeyPtr;
using ::X509Ptr;

// The certificate of a PEM or DER file; null when it is neither (the error queue is left empty).
X509Ptr readCertificate(const std::string& file);
// The text of a certificate time ("Dec 31 23:59:59 1999 GMT"); "Bad time value" when malformed.
std::string certificateTimeText(const ASN1_TIME* time);

// The certificate (the one that belongs to the key) of the PKCS#12 data read from `bio`,
// decrypted with `password`; null when the data cannot be read or decrypted, with the reason on
// OpenSSL's error queue.
X509Ptr pkcs12ReadCertificate(BIO* bio, const char* password);
// The private key of the PKCS#12 data read from `bio`, as above.
EvpPkeyPtr pkcs12ReadPrivateKey(BIO* bio, const char* password);
// True when `bio` holds PKCS#12 data from its start (whatever its password); the BIO is rewound
// and the error queue left empty. A password is asked for only for such a file.
bool pkcs12Present(BIO* bio);
// Both at once, from one read of the data; false unless both were there.
bool pkcs12ReadBoth(BIO* bio, const char* password, X509Ptr* cert, EvpPkeyPtr* key);

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
