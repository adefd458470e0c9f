#include "platform/signal_pipe.h"

#include <fcntl.h>
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

}  // namespace

bool installControlSignals() {
  if (pipeFds[0] >= 0) return true;
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return false;
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signal : {SIGHUP, SIGTERM, SIGINT, SIGUSR1}) sigaction(signal, &action, nullptr);
  return true;
}

ControlSignal waitForSignal() {
  for (;;) {
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
