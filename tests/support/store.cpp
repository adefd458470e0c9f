#include "support/store.h"

#include "config/settings.h"

namespace test_support {

platform::RegKey StoreValues::open(const std::string& sub) const {
  std::string path = config::settingsKeyPath();
  if (!sub.empty()) path += "\\" + sub;
  platform::RegKey key;
  platform::regCreateKey(root_, path, &key);
  return key;
}

void StoreValues::text(const std::string& sub, const std::string& name,
                       const std::string& value) const {
  platform::regSetValue(open(sub), name, platform::REG_SZ, value.c_str(),
                        static_cast<uint32_t>(value.size() + 1));
}

void StoreValues::dword(const std::string& sub, const std::string& name, uint32_t value) const {
  platform::regSetValue(open(sub), name, platform::REG_DWORD, &value, sizeof value);
}

void StoreValues::binary(const std::string& sub, const std::string& name,
                         const std::string& bytes) const {
  platform::regSetValue(open(sub), name, platform::REG_BINARY, bytes.data(),
                        static_cast<uint32_t>(bytes.size()));
}

void StoreValues::removeKey(const std::string& sub) const { platform::regDeleteKey(open(""), sub); }

void StoreValues::quietSettings(bool pool) const {
  dword("", "ssl.enable_tls1", 1);
  dword("", "thread.pool.enable", pool ? 1 : 0);
  dword("", "perf.mon.enable", 0);
  dword("", "tcp.close.sockets", 1);
  dword("", "stats.enable", 1);
}

void StoreValues::rule(int n, uint16_t port, const std::string& dest, uint16_t destPort,
                       uint32_t role, const std::map<std::string, std::string>& texts) const {
  const std::string sub = "Rule" + std::to_string(n);
  text(sub, "peer.port.str", std::to_string(port));
  text(sub, "peer.addr.str", "All");
  text(sub, "peer.mask.str", "All");
  text(sub, "if.addr.str", "127.0.0.1");
  text(sub, "dest.addr.str", dest);
  text(sub, "dest.port.str", std::to_string(destPort));
  dword(sub, "ssl.role", role);
  for (const auto& [name, value] : texts) text(sub, name, value);
}

}  // namespace test_support
