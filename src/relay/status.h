// The five-second figures of a relay, the status line made of them, and the performance counters
// they are published to (perf/perf_data.h). Internal to the relay; any thread.
#pragma once

#include <string>

#include "config/settings.h"
#include "relay/observer.h"
#include "relay/relay_config.h"
#include "relay/relay_state.h"

namespace relay {

// The figures: connections, handshakes, sessions, certificates, threads and bytes. `config` may be
// null (before the first configuration).
StatusFigures statusFigures(RelayState& state, const RelayConfig* config);
// The status line made of them.
std::string statusLineText(const StatusFigures& figures);

// The counters: registered at every start, the shared block opened and zeroed when
// "perf.mon.enable" is set; the figures published at each tick (when the setting is on); the
// registration removed at the end.
void startPerfCounters(const config::Settings& settings);
void publishPerfCounters(const config::Settings& settings, const StatusFigures& figures);
void stopPerfCounters();

}  // namespace relay
