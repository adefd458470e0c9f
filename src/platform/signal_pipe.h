// Delivers the daemon's control signals (SIGHUP, SIGTERM, SIGINT, SIGUSR1) to a thread: the
// handlers only write the signal number to a pipe, and `waitForSignal` reads it back.
#pragma once

namespace platform {

enum class ControlSignal { kReload, kStop, kStatus };

// Installs the handlers once per process, and blocks the signals in the calling thread so that the
// threads it starts from then on never take them: only the thread that waits for them does (one
// that arrives meanwhile waits for it). False when the pipe cannot be made.
bool installControlSignals();
// The calling thread takes the control signals from now on (waitForSignal does it itself).
void receiveControlSignalsHere();
// Blocks until a control signal arrives.
ControlSignal waitForSignal();
// For an event loop that watches descriptors: the one that becomes readable when a control
// signal arrives (-1 before installControlSignals), and the signal, read once it is readable.
int controlSignalDescriptor();
ControlSignal readControlSignal();

}  // namespace platform
