#include <openssl/ssl.h>

#include "config/settings.h"
#include "perf/perf_data.h"
#include "relay/connect_info.h"
#include "relay/relay.h"
#include "relay/ssl_context.h"
#include "relay/worker_pool.h"

namespace relay {

namespace {

uint32_t word(long value) { return static_cast<uint32_t>(value); }

}  // namespace

void publishPerfCounters() {
  if (config::ccSettings.perfMonEnable == 0) return;
  SslCtxPtr ctx = acquireSharedContext();
  if (!ctx) return;
  const RelayStats stats = statsSnapshot();
  perf::perf_set_threadpool(static_cast<uint32_t>(stats.connectionsTotal),
                            static_cast<uint32_t>(stats.connectionsActive),
                            poolIdleCount(&workPool), poolThreadCount(&workPool));
  perf::perf_set_throughput(stats.bytesClientToDest, stats.bytesDestToClient);
  SSL_CTX* c = ctx.get();
  perf::perf_set_ssl(word(SSL_CTX_sess_connect(c)), word(SSL_CTX_sess_connect_good(c)),
                     word(SSL_CTX_sess_connect_renegotiate(c)), word(SSL_CTX_sess_accept(c)),
                     word(SSL_CTX_sess_accept_good(c)), word(SSL_CTX_sess_accept_renegotiate(c)),
                     word(SSL_CTX_sess_number(c)), word(SSL_CTX_sess_hits(c)),
                     word(SSL_CTX_sess_misses(c)), word(SSL_CTX_sess_timeouts(c)));
}

}  // namespace relay
