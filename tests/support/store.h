// The values of one root of the relay's configuration store (the settings key and its subkeys),
// written as a user or an administrator would leave them, for tests that start a relay on them.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "platform/registry.h"

namespace test_support {

class StoreValues {
 public:
  explicit StoreValues(platform::Hive root = platform::Hive::kCurrentUser) : root_(root) {}

  // A value of the settings key (`sub` empty) or of one of its subkeys ("Rule1", "ldap\\name").
  void text(const std::string& sub, const std::string& name, const std::string& value) const;
  void dword(const std::string& sub, const std::string& name, uint32_t value) const;
  void binary(const std::string& sub, const std::string& name, const std::string& bytes) const;
  void removeKey(const std::string& sub) const;
  // Settings that make a quiet, predictable relay: TLS on, the pool only when asked for, no
  // counters, sockets closed after failures, statistics on.
  void quietSettings(bool pool = false) const;
  // A complete direct rule RuleN on 127.0.0.1:port to dest:destPort in the role, with more texts.
  void rule(int n, uint16_t port, const std::string& dest, uint16_t destPort, uint32_t role = 0,
            const std::map<std::string, std::string>& texts = {}) const;

 private:
  platform::RegKey open(const std::string& sub) const;
  platform::Hive root_;
};

}  // namespace test_support
