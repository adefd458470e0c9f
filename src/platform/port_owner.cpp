#include "platform/port_owner.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

namespace platform {
namespace {

constexpr char kListening[] = "0A";  // the kernel's TCP_LISTEN state in /proc/net/tcp

// The socket inodes listening on the port, from one /proc/net table.
void listeningInodes(const char* table, uint16_t port, std::set<std::string>* inodes) {
  std::ifstream in(table);
  std::string line;
  std::getline(in, line);  // the heading
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
    if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
          timeout >> inode)) {
      continue;
    }
    const size_t colon = local.rfind(':');
    if (colon == std::string::npos || state != kListening) continue;
    unsigned value = 0;
    if (std::sscanf(local.c_str() + colon + 1, "%x", &value) == 1 && value == port) {
      inodes->insert(inode);
    }
  }
}

std::string programName(const std::string& pid) {
  std::ifstream in("/proc/" + pid + "/comm");
  std::string name;
  std::getline(in, name);
  return name;
}

bool holdsSocket(const std::string& pid, const std::set<std::string>& inodes) {
  const std::string folder = "/proc/" + pid + "/fd";
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return false;
  bool held = false;
  while (dirent* entry = ::readdir(dir)) {
    char target[64] = "";
    const std::string link = folder + "/" + entry->d_name;
    const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0) continue;
    const std::string text(target, static_cast<size_t>(n));
    if (text.rfind("socket:[", 0) == 0 && inodes.count(text.substr(8, text.size() - 9)) != 0) {
      held = true;
      break;
    }
  }
  ::closedir(dir);
  return held;
}

}  // namespace

bool portListenedByProgram(uint16_t port, const std::string& program) {
  std::set<std::string> inodes;
  listeningInodes("/proc/net/tcp", port, &inodes);
  listeningInodes("/proc/net/tcp6", port, &inodes);
  if (inodes.empty()) return false;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return false;
  const std::string self = std::to_string(::getpid());
  bool found = false;
  while (dirent* entry = ::readdir(proc)) {
    const std::string pid = entry->d_name;
    if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos || pid == self) {
      continue;
    }
    if (programName(pid) == program && holdsSocket(pid, inodes)) {
      found = true;
      break;
    }
  }
  ::closedir(proc);
  return found;
}

}  // namespace platform
