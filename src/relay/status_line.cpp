#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <cstdio>

#include "relay/relay.h"
#include "relay/ssl_context.h"
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
  std::lock_guard<std::mutex> hold(certStoreLock());
  STACK_OF(X509_OBJECT)* objects = X509_STORE_get0_objects(store);
  return objects != nullptr ? static_cast<unsigned long>(sk_X509_OBJECT_num(objects)) : 0;
}

}  // namespace

std::string statusLineText() {
  SslCtxPtr ctx = acquireSharedContext();
  if (!ctx) return {};
  const RelayStats stats = statsSnapshot();
  const auto sessions = static_cast<unsigned long>(SSL_CTX_sess_number(ctx.get()));
  const auto hits = static_cast<unsigned long>(SSL_CTX_sess_hits(ctx.get()));
  const unsigned long open = stats.connectionsActive;
  char text[256];
  std::snprintf(text, sizeof text,
                "%lu. %ld/%ld client, %ld/%ld server, %lu %s, %lu %s, %lu CA, %lu/%u/%u %s, "
                "%llu/%llu bytes.",
                static_cast<unsigned long>(stats.connectionsTotal), SSL_CTX_sess_connect(ctx.get()),
                SSL_CTX_sess_connect_good(ctx.get()), SSL_CTX_sess_accept(ctx.get()),
                SSL_CTX_sess_accept_good(ctx.get()), sessions,
                plural(sessions, "session", "sessions"), hits, plural(hits, "hit", "hits"),
                storeObjectCount(ctx.get()), open, poolIdleCount(&workPool),
                poolThreadCount(&workPool), plural(open, "thread", "threads"),
                static_cast<unsigned long long>(stats.bytesClientToDest),
                static_cast<unsigned long long>(stats.bytesDestToClient));
  return text;
}

}  // namespace relay
