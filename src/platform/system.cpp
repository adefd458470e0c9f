#include "platform/system.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <memory>

namespace platform {

namespace {

struct AddrInfoFree {
  void operator()(addrinfo* info) const { freeaddrinfo(info); }
};
using AddrInfoPtr = std::unique_ptr<addrinfo, AddrInfoFree>;

// Every address of a name the system's resolver gives for `family`, in its order, each once.
bool lookup(const std::string& name, int family, std::vector<IpAddress>* addresses) {
  addrinfo hints{};
  hints.ai_family = family;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* raw = nullptr;
  if (name.empty() || getaddrinfo(name.c_str(), nullptr, &hints, &raw) != 0) return false;
  AddrInfoPtr list(raw);
  for (const addrinfo* it = list.get(); it != nullptr; it = it->ai_next) {
    IpAddress address;
    uint16_t port = 0;
    if (it->ai_addr == nullptr || !fromSocketAddress(it->ai_addr, &address, &port)) continue;
    if (std::find(addresses->begin(), addresses->end(), address) == addresses->end()) {
      addresses->push_back(address);
    }
  }
  return !addresses->empty();
}

}  // namespace

bool isAdministrator() { return geteuid() == 0; }

std::string adapterAddressText() {
  ifaddrs* raw = nullptr;
  if (getifaddrs(&raw) != 0) return "no nic";
  std::string text = "no nic";
  for (const ifaddrs* it = raw; it != nullptr; it = it->ifa_next) {
    if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != AF_PACKET) continue;
    if ((it->ifa_flags & IFF_LOOPBACK) != 0) continue;
    const auto* ll = reinterpret_cast<const sockaddr_ll*>(it->ifa_addr);
    if (ll->sll_halen != 6) continue;
    bool allZero = true;
    for (int i = 0; i < 6; ++i) allZero = allZero && ll->sll_addr[i] == 0;
    if (allZero) continue;
    char buf[13];
    std::snprintf(buf, sizeof buf, "%02X%02X%02X%02X%02X%02X", ll->sll_addr[0], ll->sll_addr[1],
                  ll->sll_addr[2], ll->sll_addr[3], ll->sll_addr[4], ll->sll_addr[5]);
    text = buf;
    break;
  }
  freeifaddrs(raw);
  return text;
}

bool localHostAddresses(std::vector<uint32_t>* addresses) {
  std::array<char, 256> name{};
  if (gethostname(name.data(), name.size() - 1) != 0) return false;
  std::vector<IpAddress> found;
  if (!lookup(name.data(), AF_INET, &found)) return false;
  for (const IpAddress& address : found) {
    if (!address.v6) addresses->push_back(address.ipv4());
  }
  return !addresses->empty();
}

namespace {
std::atomic<HostResolver> hostResolver{nullptr};
}  // namespace

void setHostResolver(HostResolver resolver) { hostResolver = resolver; }

bool resolveHost(const std::string& name, std::vector<IpAddress>* addresses) {
  addresses->clear();
  if (HostResolver resolver = hostResolver.load(); resolver != nullptr) {
    return resolver(name, addresses) && !addresses->empty();
  }
  return lookup(name, AF_UNSPEC, addresses);
}

uint16_t tcpServicePort(const std::string& name) {
  if (name.empty()) return 0;
  servent entry{};
  servent* result = nullptr;
  std::array<char, 1024> buf{};
  if (getservbyname_r(name.c_str(), "tcp", &entry, buf.data(), buf.size(), &result) != 0 ||
      result == nullptr) {
    return 0;
  }
  return ntohs(static_cast<uint16_t>(result->s_port));
}

std::string tcpServiceName(uint16_t port) {
  servent entry{};
  servent* result = nullptr;
  std::array<char, 1024> buf{};
  if (getservbyport_r(htons(port), "tcp", &entry, buf.data(), buf.size(), &result) != 0 ||
      result == nullptr || result->s_name == nullptr) {
    return {};
  }
  return result->s_name;
}

unsigned long raiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return static_cast<unsigned long>(limit.rlim_cur);
}

}  // namespace platform
