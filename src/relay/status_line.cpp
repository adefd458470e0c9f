#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <cstdio>

#include "relay/ssl_context.h"
#include "relay/status.h"
#include "relay/worker_pool.h"
#include "security/crl_store.h"

namespace relay {

namespace {

const char* plural(unsigned long n, const char* one, const char* many) {
  return n == 1 ? one : many;
}

unsigned long storeObjectCount(SSL_CTX* ctx) {
  X509_STORE* store = SSL_CTX_get_cert_store(ctx);
  if (store == nullptr) return 0;
  std::lock_guard<std::mutex> hold(certStoreLock(store));
  STACK_OF(X509_OBJECT)* objects = X509_STORE_get0_objects(store);
  return objects != nullptr ? static_cast<unsigned long>(sk_X509_OBJECT_num(objects)) : 0;
}

}  // namespace

StatusFigures statusFigures(RelayState& state, const RelayConfig* config) {
  StatusFigures f;
  const RelayStats::Figures stats = state.stats.snapshot();
  f.connectionsTotal = stats.connectionsTotal;
  f.connectionsOpen = stats.connectionsActive;
  f.bytesClientToDest = stats.bytesClientToDest;
  f.bytesDestToClient = stats.bytesDestToClient;
  f.poolIdle = poolIdleCount(&state.workPool);
  f.poolThreads = poolThreadCount(&state.workPool);
  SSL_CTX* ctx = config != nullptr ? config->sharedContext.get() : nullptr;
  const SessionFigures sessions = state.retiredFigures.with(ctx);
  f.clientHandshakes = sessions.connect;
  f.clientHandshakesGood = sessions.connectGood;
  f.connectRenegotiations = sessions.connectRenegotiate;
  f.serverHandshakes = sessions.accept;
  f.serverHandshakesGood = sessions.acceptGood;
  f.acceptRenegotiations = sessions.acceptRenegotiate;
  f.sessions = sessions.cacheSize;
  f.hits = sessions.hits;
  f.misses = sessions.misses;
  f.timeouts = sessions.timeouts;
  f.caObjects = ctx != nullptr ? storeObjectCount(ctx) : 0;
  return f;
}

std::string statusLineText(const StatusFigures& f) {
  const auto sessions = static_cast<unsigned long>(f.sessions);
  const auto hits = static_cast<unsigned long>(f.hits);
  const auto open = static_cast<unsigned long>(f.connectionsOpen);
  char text[256];
  std::snprintf(text, sizeof text,
                "%lu. %ld/%ld client, %ld/%ld server, %lu %s, %lu %s, %lu CA, %lu/%u/%u %s, "
                "%llu/%llu bytes.",
                static_cast<unsigned long>(f.connectionsTotal), f.clientHandshakes,
                f.clientHandshakesGood, f.serverHandshakes, f.serverHandshakesGood, sessions,
                plural(sessions, "session", "sessions"), hits, plural(hits, "hit", "hits"),
                f.caObjects, open, f.poolIdle, f.poolThreads, plural(open, "thread", "threads"),
                static_cast<unsigned long long>(f.bytesClientToDest),
                static_cast<unsigned long long>(f.bytesDestToClient));
  return text;
}

}  // namespace relay
