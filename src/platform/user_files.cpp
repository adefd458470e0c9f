#include "platform/user_files.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace platform {

std::string certificateFolder(Hive root) {
  const char* dir = std::getenv("BRISKLANE_CONFIG_DIR");
  if (dir != nullptr && *dir != '\0') return dir + std::string("/certificates");
  if (root == Hive::kLocalMachine) return "/etc/brisklane/certificates";
  const char* data = std::getenv("XDG_DATA_HOME");
  if (data != nullptr && data[0] == '/') return data + std::string("/brisklane/certificates");
  const char* home = std::getenv("HOME");
  std::string base = home != nullptr ? home : "";
  if (base.empty()) {
    const passwd* pw = ::getpwuid(::getuid());
    base = pw != nullptr && pw->pw_dir != nullptr ? pw->pw_dir : ".";
  }
  return base + "/.local/share/brisklane/certificates";
}

bool makeFolder(const std::string& path, unsigned mode) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  const size_t slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !makeFolder(path.substr(0, slash), 0755)) {
    return false;
  }
  return ::mkdir(path.c_str(), static_cast<mode_t>(mode)) == 0 || errno == EEXIST;
}

}  // namespace platform
