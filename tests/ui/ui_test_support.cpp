#include "ui/ui_test_support.h"

#include "config/settings.h"
#include "platform/registry.h"

namespace ui_test {
namespace {

platform::RegKey keyOf(const std::string& sub = "") {
  std::string path = config::settingsKeyPath();
  if (!sub.empty()) path += "\\" + sub;
  platform::RegKey key;
  platform::regCreateKey(platform::Hive::kCurrentUser, path, &key);
  return key;
}

void text(const platform::RegKey& key, const std::string& name, const std::string& value) {
  platform::regSetValue(key, name, platform::REG_SZ, value.c_str(),
                        static_cast<uint32_t>(value.size() + 1));
}

}  // namespace

TempStore::TempStore() { platform::setHiveDirectory(folder_.path()); }

TempStore::~TempStore() { platform::setHiveDirectory(""); }

void TempStore::setting(const std::string& name, uint32_t value) {
  platform::regSetValue(keyOf(), name, platform::REG_DWORD, &value, sizeof value);
}

void TempStore::setting(const std::string& name, const std::string& value) {
  text(keyOf(), name, value);
}

void TempStore::binary(const std::string& name, const std::string& bytes) {
  platform::regSetValue(keyOf(), name, platform::REG_BINARY, bytes.data(),
                        static_cast<uint32_t>(bytes.size()));
}

void TempStore::rule(int n, uint16_t listen, uint16_t dest, uint32_t role) {
  const platform::RegKey key = keyOf("Rule" + std::to_string(n));
  text(key, "peer.port.str", std::to_string(listen));
  text(key, "peer.addr.str", "All");
  text(key, "peer.mask.str", "All");
  text(key, "if.addr.str", "127.0.0.1");
  text(key, "dest.addr.str", "127.0.0.1");
  text(key, "dest.port.str", std::to_string(dest));
  platform::regSetValue(key, "ssl.role", platform::REG_DWORD, &role, sizeof role);
}

DesktopProgram::DesktopProgram(const std::string& programFolder, uint32_t toolbarSize)
    : service_(&bridge_) {
  service_.loadSettings(platform::Hive::kCurrentUser, false);
  ui::MainWindow::Options options;
  options.programFolder = programFolder;
  options.toolbarSize = toolbarSize;
  window_ = std::make_unique<ui::MainWindow>(&service_, &bridge_, options);
  window_->create();
}

DesktopProgram::~DesktopProgram() { window_.reset(); }

}  // namespace ui_test
