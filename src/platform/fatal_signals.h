// Fatal-signal reporting: the Linux stand-in for a structured exception filter.
//
// installFatalSignalHandlers catches SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGABRT on an alternate
// stack, describes the fault in exception terms and calls back once; then the signal's default
// action is restored and the signal raised again, so the process still dies by it.
//
// The callback runs inside the signal handler of the faulting thread. It should do little; as a
// safeguard against a callback that blocks (a lock the faulting thread held), an alarm ends the
// process a few seconds later. The alternate stack is set up for the thread that installs the
// handlers; a stack overflow in another thread dies without a report.
#pragma once

#include <cstdint>

namespace platform {

constexpr uint32_t kExceptionAccessViolation = 0xC0000005;
constexpr uint32_t kExceptionIntDivideByZero = 0xC0000094;
constexpr uint32_t kExceptionIllegalInstruction = 0xC000001D;
constexpr uint32_t kExceptionAbort = 0x40000015;

struct FatalSignalInfo {
  int signal = 0;
  uint32_t code = 0;                 // one of the kException* values
  uintptr_t instructionAddress = 0;  // the faulting instruction, 0 when unknown
  bool write = false;                // access violations: the access was a write
  uintptr_t accessAddress = 0;       // access violations: the address accessed
};

using FatalSignalCallback = void (*)(const FatalSignalInfo& info);

// Installs the handlers; returns false when one of them could not be installed.
bool installFatalSignalHandlers(FatalSignalCallback callback);

}  // namespace platform
