// Certificate revocation lists in an SSL context's certificate store.
//
// The store holds at most one CRL per issuer name: a directory load keeps the first CRL of an
// issuer, a replacement (the LDAP fetcher) swaps the stored CRL for the new one. The library's
// store would keep several CRLs of one issuer by itself; these functions keep the rule, and the
// revocation check finds the one held here. Safe from any thread: updates and the listing hold
// the store's certificate-store lock (`certStoreLock`); their log lines are written after it is
// released.
#pragma once

#include <openssl/x509.h>

#include <cstddef>
#include <mutex>

// The lock of one certificate store (made on first use, freed with the store). It makes each
// compound change or walk of the store (its CA certificates and CRLs) one step for every other
// user: the CRL updates and lookups here, the CA loading and the status line's object count in the
// relay. Never held across a log call.
std::mutex& certStoreLock(X509_STORE* store);

// Adds every CRL file (PEM or DER) of a directory; `verbose` adds the line naming the directory
// and the lines of files that are no CRL. Returns 0 (also after failures), -1 when it cannot
// allocate.
int crl_load_dir(X509_STORE* store, const char* path, bool verbose);
// Inserts the CRL, replacing a stored CRL of the same issuer (logged with four lines). The store
// takes its own reference. Returns 1, or 0 when `crl` is null or memory runs out.
int crl_store_replace(X509_STORE* store, X509_CRL* crl);
// Logs the listing line of one CRL; 1 when its issuer name cannot be converted, else 0.
int crl_describe(X509_CRL* crl);
// Lists every CRL of the store.
void crl_list_all(X509_STORE* store);
// The text of an ASN.1 UTCTime ("Dec 31 23:59:59 1999 GMT"), cut to `size`; null (and "Bad time
// value" in the buffer) when the value is malformed.
char* asn1_time_text(char* buffer, size_t size, const ASN1_TIME* time);
// The stored CRL of the certificate's issuer, with a reference for the caller, or null.
X509_CRL* crl_find_for_issuer(X509_STORE_CTX* ctx, X509* cert);
