// Feeds arbitrary bytes to the SOCKS request reader through a socket pair, as a client would send
// them. Host names of SOCKS 4a requests resolve through a stand-in.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/system.h"
#include "proxy/socks.h"

namespace {

bool fakeResolver(const std::string& name, std::vector<platform::IpAddress>* addresses) {
  if (name.size() % 2 == 1) return false;
  addresses->push_back(platform::IpAddress::ipv4(static_cast<uint32_t>(name.size()) + 1));
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;  // more than a socket pair's buffer holds without a reader
  platform::setHostResolver(fakeResolver);
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return 0;
  send(fds[0], data, size, MSG_NOSIGNAL);
  shutdown(fds[0], SHUT_WR);
  proxy::SocksRequest request;
  static const config::Settings settings;
  proxy::socksAccept(settings, fds[1], &request);
  close(fds[0]);
  close(fds[1]);
  return 0;
}
