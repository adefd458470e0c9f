// Start and stop of the relay: the SSL library, the shared context, the seeding thread and the
// worker pool (`sslStartup`, `sslShutdown`); the listeners for the local ports of the enabled rules
// (`startRelay`, `listenerThread`).
//
// `sslStartup`, `startRelay` and `sslShutdown` run on one thread (the desktop program's window
// thread, the daemon's main thread). Each listener is a thread of its own that lives until its
// accept fails; the next `startRelay` starts an ended listener again.
#pragma once

#include <openssl/ssl.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "relay/connect_info.h"

namespace relay {

void sslStartup();
int sslShutdown();
int startRelay();

// Set: the listeners drop new connections.
extern std::atomic<uint32_t> relayPaused;
// Accepts since the last flush of the server-side session cache (shared by all listeners).
extern std::atomic<uint32_t> sessionFlushCounter;

// Number of listener entries (distinct local ports ever started).
int listenerCount();
// True while the listener of this port (network byte order) runs.
bool listenerRunning(uint16_t port);

// Called every five seconds by the seeding thread (the status line); may be null.
using StatusTick = void (*)();
void setStatusTick(StatusTick tick);

// The handler of one accepted connection; owns `info`.
int connectionHandler(std::unique_ptr<connectInfo> info);

// Publishes the relay statistics, the worker pool's thread counts and the shared context's session
// figures to the performance counters, when "perf.mon.enable" is set and the context exists. The
// first step of every status tick, before the status text is built.
void publishPerfCounters();

// The status line: connections, handshakes, sessions, certificates, threads and bytes.
std::string statusLineText();

}  // namespace relay
