#include "log/fatal_signal.h"

#include <cstdio>

#include "log/log.h"
#include "platform/fatal_signals.h"

namespace {

constexpr uint32_t kCodeGeneral = 0x6001;
constexpr long kExecuteHandler = 1;

void reportFatalSignal(const platform::FatalSignalInfo& info) {
  ExceptionReport report;
  report.code = info.code;
  report.address = info.instructionAddress;
  report.parameters[0] = info.write ? 1 : 0;
  report.parameters[1] = info.accessAddress;
  exception_filter(report, kExecuteHandler);
}

}  // namespace

long exception_filter(const ExceptionReport& report, long disposition) {
  char text[256];
  std::snprintf(text, sizeof text, "code = %x, address = %lx", report.code,
                static_cast<unsigned long>(report.address));
  log_event(LOG_INFO, kCodeGeneral, "expfilter", __LINE__, "Exception filter <%s>", text);
  if (report.code == kExceptionAccessViolationCode) {
    std::snprintf(text, sizeof text, "Attempt to %s data at address %lx",
                  report.parameters[0] != 0 ? "write" : "read",
                  static_cast<unsigned long>(report.parameters[1]));
    log_event(LOG_INFO, kCodeGeneral, "expfilter", __LINE__, "Exception filter (p)<%s>", text);
  }
  return disposition;
}

bool installFatalSignalReport() { return platform::installFatalSignalHandlers(reportFatalSignal); }
