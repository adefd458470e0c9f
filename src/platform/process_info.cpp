#include "platform/process_info.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/unique_fd.h"

namespace platform {

uint32_t currentThreadId() { return static_cast<uint32_t>(::syscall(SYS_gettid)); }

bool threadAlive(uint32_t id) {
  if (id == 0) return false;
  // /proc/<tid> is there for every thread, listed or not; its state tells a zombie from a runner.
  const std::string file = "/proc/" + std::to_string(id) + "/stat";
  UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) {
    const int err = errno;
    return err != ENOENT && err != ESRCH;
  }
  char buf[512];
  const ssize_t n = ::read(fd.get(), buf, sizeof buf - 1);
  if (n <= 0) return true;
  const std::string line(buf, static_cast<size_t>(n));
  const size_t close = line.rfind(')');  // the command name may hold blanks and parentheses
  if (close == std::string::npos || close + 2 >= line.size()) return true;
  const char state = line[close + 2];
  return state != 'Z' && state != 'X' && state != 'x';
}

bool singleProcessor() { return ::sysconf(_SC_NPROCESSORS_ONLN) == 1; }

std::string programDirectory() {
  char path[4096];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return {};
  const std::string file(path, static_cast<size_t>(n));
  const size_t slash = file.rfind('/');
  if (slash == std::string::npos) return {};
  return slash == 0 ? std::string("/") : file.substr(0, slash);
}

}  // namespace platform
