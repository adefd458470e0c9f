// A test's own configuration store in a temporary folder, removed afterwards.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/registry.h"
#include "support/support.h"

namespace config_test {

class TempHive : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = folder_.path();
    platform::setHiveDirectory(dir_);
  }
  void TearDown() override { platform::setHiveDirectory(""); }

  // The settings key, or a subkey of it, created if missing.
  platform::RegKey key(const std::string& sub = "") {
    std::string path = "Software\\Tandry\\Brisklane 4";
    if (!sub.empty()) path += "\\" + sub;
    platform::RegKey k;
    EXPECT_EQ(platform::regCreateKey(platform::Hive::kCurrentUser, path, &k), 0);
    return k;
  }
  static void setText(const platform::RegKey& k, const char* name, const std::string& text) {
    ASSERT_EQ(platform::regSetValue(k, name, platform::REG_SZ, text.c_str(),
                                    static_cast<uint32_t>(text.size() + 1)),
              0);
  }
  static void setDword(const platform::RegKey& k, const char* name, uint32_t value) {
    ASSERT_EQ(platform::regSetValue(k, name, platform::REG_DWORD, &value, sizeof value), 0);
  }
  static bool hasValue(const platform::RegKey& k, const char* name) {
    uint32_t size = 0;
    return platform::regQueryValue(k, name, nullptr, nullptr, &size) == 0;
  }
  static std::string text(const platform::RegKey& k, const char* name) {
    char buf[512] = {};
    uint32_t size = sizeof buf - 1;
    uint32_t type = 0;
    if (platform::regQueryValue(k, name, &type, buf, &size) != 0) return "<missing>";
    return type == platform::REG_SZ ? std::string(buf) : "<type " + std::to_string(type) + ">";
  }
  static uint32_t dword(const platform::RegKey& k, const char* name) {
    uint32_t value = 0xDEADBEEF;
    uint32_t size = sizeof value;
    platform::regQueryValue(k, name, nullptr, &value, &size);
    return value;
  }

  test_support::TempDir folder_;
  std::string dir_;
};

}  // namespace config_test
