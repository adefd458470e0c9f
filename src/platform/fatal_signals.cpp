#include "platform/fatal_signals.h"

#include <signal.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>

namespace platform {
namespace {

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr unsigned kCallbackTimeoutSeconds = 5;
constexpr size_t kAltStackSize = 64 * 1024;

std::atomic<FatalSignalCallback> fatalCallback{nullptr};
alignas(16) char altStack[kAltStackSize];

uint32_t exceptionCode(int sig) {
  switch (sig) {
    case SIGFPE:
      return kExceptionIntDivideByZero;
    case SIGILL:
      return kExceptionIllegalInstruction;
    case SIGABRT:
      return kExceptionAbort;
    default:  // SIGSEGV, SIGBUS
      return kExceptionAccessViolation;
  }
}

uintptr_t instructionAddress(const siginfo_t* si, const void* context) {
  const auto* uc = static_cast<const ucontext_t*>(context);
#if defined(__x86_64__)
  if (uc != nullptr) return static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
  if (uc != nullptr) return static_cast<uintptr_t>(uc->uc_mcontext.pc);
#else
  (void)uc;
#endif
  // Without a context, SIGILL and SIGFPE still name the faulting instruction.
  if (si != nullptr && (si->si_signo == SIGILL || si->si_signo == SIGFPE)) {
    return reinterpret_cast<uintptr_t>(si->si_addr);
  }
  return 0;
}

// The page-fault error code records a write in bit 1; elsewhere the access counts as a read.
bool faultWasWrite(const void* context) {
#if defined(__x86_64__)
  const auto* uc = static_cast<const ucontext_t*>(context);
  if (uc != nullptr) return (uc->uc_mcontext.gregs[REG_ERR] & 2) != 0;
#else
  (void)context;
#endif
  return false;
}

void onFatalSignal(int sig, siginfo_t* si, void* context) {
  alarm(kCallbackTimeoutSeconds);
  FatalSignalInfo info;
  info.signal = sig;
  info.code = exceptionCode(sig);
  info.instructionAddress = instructionAddress(si, context);
  if (info.code == kExceptionAccessViolation) {
    info.write = faultWasWrite(context);
    info.accessAddress = si != nullptr ? reinterpret_cast<uintptr_t>(si->si_addr) : 0;
  }
  const FatalSignalCallback callback = fatalCallback.load();
  if (callback != nullptr) callback(info);

  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  sigaction(sig, &dfl, nullptr);
  sigset_t unblock;
  sigemptyset(&unblock);
  sigaddset(&unblock, sig);
  pthread_sigmask(SIG_UNBLOCK, &unblock, nullptr);
  raise(sig);
}

}  // namespace

bool installFatalSignalHandlers(FatalSignalCallback callback) {
  fatalCallback.store(callback);
  stack_t stack{};
  stack.ss_sp = altStack;
  stack.ss_size = sizeof altStack;
  bool ok = sigaltstack(&stack, nullptr) == 0;
  for (int sig : kSignals) {
    struct sigaction action {};
    action.sa_sigaction = onFatalSignal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    ok = sigaction(sig, &action, nullptr) == 0 && ok;
  }
  return ok;
}

}  // namespace platform
