#include "config/settings.h"
#include "perf/perf_data.h"
#include "relay/relay.h"

namespace relay {

namespace {

uint32_t word(long value) { return static_cast<uint32_t>(value); }

}  // namespace

void publishPerfCounters(const StatusFigures& f) {
  if (config::runningSettings()->perfMonEnable == 0) return;
  perf::perf_set_threadpool(static_cast<uint32_t>(f.connectionsTotal),
                            static_cast<uint32_t>(f.connectionsOpen), f.poolIdle, f.poolThreads);
  perf::perf_set_throughput(f.bytesClientToDest, f.bytesDestToClient);
  perf::perf_set_ssl(word(f.clientHandshakes), word(f.clientHandshakesGood),
                     word(f.connectRenegotiations), word(f.serverHandshakes),
                     word(f.serverHandshakesGood), word(f.acceptRenegotiations), word(f.sessions),
                     word(f.hits), word(f.misses), word(f.timeouts));
}

void startPerfCounters() {
  perf::perf_install();
  if (config::ccSettings.perfMonEnable != 0) {
    perf::perf_open();
    perf::perf_reset();
  }
}

void stopPerfCounters() {
  perf::perf_uninstall();
  perf::perf_close();
}

}  // namespace relay
