// The fatal-fault report.
//
// `exception_filter` writes the two lines that report a fault ("Exception filter <...>", and for
// an access violation "Exception filter (p)<...>") and returns the disposition it was given.
// installFatalSignalReport routes fatal signals to it, after which the process dies by the
// signal as before. Addresses are 64 bits wide here, so the lines print them with %lx.
#pragma once

#include <cstdint>

struct ExceptionReport {
  uint32_t code = 0;      // exception code, e.g. 0xC0000005 for an access violation
  uintptr_t address = 0;  // the faulting instruction
  // For access violations: [0] non-zero when the access was a write, [1] the address accessed.
  uintptr_t parameters[2] = {0, 0};
};

constexpr uint32_t kExceptionAccessViolationCode = 0xC0000005;

// Logs the fault at LOG_INFO, code 0x6001, module "expfilter"; returns the disposition.
long exception_filter(const ExceptionReport& report, long disposition);

// Installs the fatal-signal handlers that report through exception_filter. Call it early on the
// main thread. Returns false when a handler could not be installed.
bool installFatalSignalReport();
