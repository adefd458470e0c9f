// Feeds arbitrary texts to the address, mask and port parsers. Host names resolve through a
// stand-in so that no name service is asked.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "config/address.h"
#include "platform/system.h"

namespace {

bool fakeResolver(const std::string& name, std::vector<platform::IpAddress>* addresses) {
  if (name.size() % 2 == 1) return false;
  addresses->push_back(platform::IpAddress::ipv4(static_cast<uint32_t>(name.size())));
  platform::IpAddress six;
  six.v6 = true;
  six.bytes[0] = static_cast<uint8_t>(name.size());
  if (name.size() % 4 == 0) addresses->insert(addresses->begin(), six);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  platform::setHostResolver(fakeResolver);
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const platform::IpAddress address = config::parseAddress(text);
  char shown[platform::kAddressTextSize];
  config::formatAddress(address, shown);
  // An address we print must read back as the same address.
  if (config::parseAddress(shown) != address && address != platform::IpAddress::ipv4(0xFFFFFFFFu)) {
    __builtin_trap();
  }
  const platform::EndpointText endpoint = platform::endpointText(address, 65535, '.');
  if (endpoint.text[sizeof endpoint.text - 1] != '\0') __builtin_trap();
  platform::IpAddress mask;
  for (bool v6 : {false, true}) {
    if (config::parseMask(text, v6, &mask) && v6 && !mask.v6 && !mask.isZero()) __builtin_trap();
  }
  (void)config::parsePort(text);
  return 0;
}
