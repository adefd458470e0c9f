// The program's lock table.
//
// The relay keeps one table of mutexes indexed by the lock numbers its code has always used, so
// that code that guards the certificate store, the SSL context, the session cache, the rule table
// or the log BIOs names the same lock everywhere. OpenSSL 3 does its own locking: there is no
// locking callback to install any more, and the table only holds the locks the program itself
// takes. `statsLock` guards the relay statistics.
//
// The mutexes exist for the whole life of the process, so any thread may take them at any time;
// `crypto_locks_init` and `crypto_locks_free` mark the span in which OpenSSL is in use.
#pragma once

#include <mutex>

constexpr int kLockX509Store = 11;   // the shared context's certificate store (CAs, CRLs)
constexpr int kLockSslCtx = 12;      // the shared SSL context's settings
constexpr int kLockSslSession = 14;  // the session cache
constexpr int kLockRules = 18;       // rule table updates
constexpr int kLockBio = 19;         // the pending text of the log BIOs
constexpr int kCryptoNumLocks = 24;

// Marks the lock table in use; the first step of the SSL start-up. Returns 1.
int crypto_locks_init();
// Marks the lock table no longer in use; the last step of the SSL shut-down.
void crypto_locks_free();
// True between `crypto_locks_init` and `crypto_locks_free`.
bool crypto_locks_active();

// The lock with number n (0 <= n < kCryptoNumLocks); any other n gives a lock of its own that
// no numbered user shares.
std::mutex& crypto_lock(int n);

// Guards the relay statistics (connection counts and byte totals).
extern std::mutex statsLock;
