// Feeds arbitrary texts to the address and port parsers. Host names resolve through a stand-in
// so that no name service is asked.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "config/address.h"
#include "platform/system.h"

namespace {

bool fakeResolver(const std::string& name, uint32_t* address) {
  if (name.size() % 2 == 1) return false;
  *address = static_cast<uint32_t>(name.size());
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  platform::setHostResolver(fakeResolver);
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const uint32_t address = config::parseAddress(text);
  char dotted[16];
  config::formatAddress(address, dotted);
  // A quad we print must read back as the same address.
  if (config::parseAddress(dotted) != address && address != 0xFFFFFFFFu) __builtin_trap();
  (void)config::parsePort(text);
  return 0;
}
