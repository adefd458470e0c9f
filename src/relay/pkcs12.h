// Reading a certificate or a private key out of a PKCS#12 file, for the certificate and key
// loading of a rule and for the certificate dialogs. Safe from any thread.
#pragma once

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>

#include "log/openssl_ptr.h"

namespace relay {

using ::EvpPkeyPtr;
using ::X509Ptr;

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

}  // namespace relay
