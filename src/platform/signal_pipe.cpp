#include "platform/signal_pipe.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <initializer_list>

namespace platform {

namespace {

int pipeFds[2] = {-1, -1};

void onSignal(int signal) {
  const int saved = errno;
  const unsigned char byte = static_cast<unsigned char>(signal);
  [[maybe_unused]] const ssize_t n = ::write(pipeFds[1], &byte, 1);
  errno = saved;
}

constexpr int kControlSignals[] = {SIGHUP, SIGTERM, SIGINT, SIGUSR1};

void maskControlSignals(int how) {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : kControlSignals) sigaddset(&set, signal);
  pthread_sigmask(how, &set, nullptr);
}

}  // namespace

bool installControlSignals() {
  if (pipeFds[0] >= 0) return true;
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return false;
  maskControlSignals(SIG_BLOCK);
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signal : kControlSignals) sigaction(signal, &action, nullptr);
  return true;
}

void receiveControlSignalsHere() { maskControlSignals(SIG_UNBLOCK); }

ControlSignal waitForSignal() {
  receiveControlSignalsHere();
  for (;;) {
    // Waiting in poll rather than in the read: a thread sanitizer runs a signal's handler during
    // poll, while one that arrives during a read would wait for the read to end.
    pollfd ready{pipeFds[0], POLLIN, 0};
    if (::poll(&ready, 1, -1) < 0 && errno == EINTR) continue;
    unsigned char byte = 0;
    const ssize_t n = ::read(pipeFds[0], &byte, 1);
    if (n != 1) {
      if (n < 0 && errno == EINTR) continue;
      return ControlSignal::kStop;
    }
    switch (byte) {
      case SIGHUP:
        return ControlSignal::kReload;
      case SIGUSR1:
        return ControlSignal::kStatus;
      default:
        return ControlSignal::kStop;
    }
  }
}

int controlSignalDescriptor() { return pipeFds[0]; }

ControlSignal readControlSignal() { return waitForSignal(); }

}  // namespace platform
