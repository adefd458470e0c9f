// Feeds arbitrary bytes to the PROXY header parser, whole and cut short: a header it takes is
// never longer than what arrived, every prefix of it needs more or is the same header, and what
// the relay writes for the addresses it read parses back to them.
#include <cstddef>
#include <cstdint>
#include <string>

#include "proxy/proxy_header.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  proxy::ProxyHeader header;
  size_t used = 0;
  std::string why;
  if (proxy::parseProxyHeader(data, size, &header, &used, &why) != proxy::HeaderParse::kComplete) {
    return 0;
  }
  if (used == 0 || used > size || used > proxy::kMaxProxyHeader) __builtin_trap();
  for (size_t cut = 0; cut < used; ++cut) {
    proxy::ProxyHeader partial;
    size_t partialUsed = 0;
    if (proxy::parseProxyHeader(data, cut, &partial, &partialUsed, &why) ==
        proxy::HeaderParse::kComplete) {
      __builtin_trap();  // a header cannot end before its end
    }
  }
  if (header.local) return 0;
  for (int version : {1, 2}) {
    const std::string made = proxy::makeProxyHeader(version, header.source, header.sourcePort,
                                                    header.destination, header.destinationPort);
    proxy::ProxyHeader back;
    size_t backUsed = 0;
    if (proxy::parseProxyHeader(reinterpret_cast<const uint8_t*>(made.data()), made.size(), &back,
                                &backUsed, &why) != proxy::HeaderParse::kComplete ||
        backUsed != made.size() || back.local || back.source != header.source ||
        back.sourcePort != header.sourcePort || back.destination != header.destination ||
        back.destinationPort != header.destinationPort) {
      __builtin_trap();
    }
  }
  return 0;
}
