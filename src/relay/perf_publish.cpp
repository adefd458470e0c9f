#include "config/settings.h"
#include "perf/perf_data.h"
#include "relay/status.h"

namespace relay {

namespace {

uint32_t word(long value) { return static_cast<uint32_t>(value); }

}  // namespace

void publishPerfCounters(const config::Settings& settings, const StatusFigures& f) {
  if (settings.perfMonEnable == 0) return;
  perf::perf_set_threadpool(static_cast<uint32_t>(f.connectionsTotal),
                            static_cast<uint32_t>(f.connectionsOpen), f.poolIdle, f.poolThreads);
  perf::perf_set_throughput(f.bytesClientToDest, f.bytesDestToClient);
  perf::perf_set_ssl(word(f.clientHandshakes), word(f.clientHandshakesGood),
                     word(f.connectRenegotiations), word(f.serverHandshakes),
                     word(f.serverHandshakesGood), word(f.acceptRenegotiations), word(f.sessions),
                     word(f.hits), word(f.misses), word(f.timeouts));
}

void startPerfCounters(const config::Settings& settings) {
  perf::perf_install();
  if (settings.perfMonEnable != 0) {
    perf::perf_open();
    perf::perf_reset();
  }
}

void stopPerfCounters() {
  perf::perf_uninstall();
  perf::perf_close();
}

}  // namespace relay
