// Start and stop of the relay: the SSL library, the shared context, the seeding thread and the
// worker pool (`sslStartup`, `sslShutdown`); the listeners for the local ports of the enabled rules
// (`startRelay`, listener.cpp).
//
// `sslStartup`, `startRelay` and `sslShutdown` run on one thread, the one that drives the relay
// service (relay_service.h). Each listener is a thread of its own that lives until its
// accept fails; the next `startRelay` starts an ended listener again.
#pragma once

#include <openssl/ssl.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "relay/connect_info.h"
#include "relay/observer.h"

namespace relay {

void sslStartup();
int sslShutdown();
// Returns the number of listeners running.
int startRelay();

// Set: the listeners drop new connections.
extern std::atomic<uint32_t> relayPaused;
// Accepts since the last flush of the server-side session cache (shared by all listeners).
extern std::atomic<uint32_t> sessionFlushCounter;

// Number of listener entries (distinct local ports ever started).
int listenerCount();
// True while the listener of this port (network byte order) runs.
bool listenerRunning(uint16_t port);

// True when connections are served by the worker pool (made at start-up when
// "thread.pool.enable" is set; a later change of the setting takes effect at the next start).
bool poolInUse();
// Starts a listener for every local port of the enabled rules that has none running; the ports
// are opened on the calling thread. Returns the number of listeners running.
int ensureListeners();

// The handler of one accepted connection; owns `info`.
int connectionHandler(std::unique_ptr<connectInfo> info);

// The status figures: connections, handshakes, sessions, certificates, threads and bytes.
StatusFigures statusFigures();
// The status line made of them.
std::string statusLineText(const StatusFigures& figures);
// The five-second step of the seeding thread: the figures, the performance counters, the status
// line, the observer's tick.
void statusTick();

// The performance counters (perf/perf_data.h): registered at every start, and the shared block
// opened and zeroed when "perf.mon.enable" is set; the figures published at each tick (when the
// setting is on); the registration removed at the end.
void startPerfCounters();
void publishPerfCounters(const StatusFigures& figures);
void stopPerfCounters();

}  // namespace relay
