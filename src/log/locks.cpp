#include "log/locks.h"

#include <array>
#include <atomic>

std::mutex statsLock;

namespace {

// Each entry guards what the named constant in locks.h says; the table itself never changes.
std::array<std::mutex, kCryptoNumLocks>& lockTable() {
  static std::array<std::mutex, kCryptoNumLocks> table;
  return table;
}

// Handed out for numbers outside the table, so that a wrong number never indexes past it.
// Guards nothing of its own.
std::mutex& strayLock() {
  static std::mutex stray;
  return stray;
}

std::atomic<bool> active{false};

}  // namespace

int crypto_locks_init() {
  // OpenSSL 3 locks its own structures; nothing is registered with the library here.
  lockTable();
  active.store(true);
  return 1;
}

void crypto_locks_free() { active.store(false); }

bool crypto_locks_active() { return active.load(); }

std::mutex& crypto_lock(int n) {
  if (n < 0 || n >= kCryptoNumLocks) return strayLock();
  return lockTable()[static_cast<size_t>(n)];
}
