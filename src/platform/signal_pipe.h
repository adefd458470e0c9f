// Delivers the daemon's control signals (SIGHUP, SIGTERM, SIGINT, SIGUSR1) to a thread: the
// handlers only write the signal number to a pipe, and `waitForSignal` reads it back.
#pragma once

namespace platform {

enum class ControlSignal { kReload, kStop, kStatus };

// Installs the handlers once per process. False when the pipe cannot be made.
bool installControlSignals();
// Blocks until a control signal arrives.
ControlSignal waitForSignal();
// For an event loop that watches descriptors: the one that becomes readable when a control
// signal arrives (-1 before installControlSignals), and the signal, read once it is readable.
int controlSignalDescriptor();
ControlSignal readControlSignal();

}  // namespace platform
