// What the window tests share: a configuration store of their own, and the desktop program's
// window put together as the program does it (bridge, relay service, main window), created and
// shut down by the test.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "relay/relay_service.h"
#include "support/support.h"
#include "ui/main_window.h"
#include "ui/relay_bridge.h"

namespace ui_test {

// A store in a folder of its own for as long as it lives.
class TempStore {
 public:
  TempStore();
  ~TempStore();
  TempStore(const TempStore&) = delete;
  TempStore& operator=(const TempStore&) = delete;
  const std::string& dir() const { return folder_.path(); }
  std::string file(const std::string& name) const { return folder_.file(name); }
  void setting(const std::string& name, uint32_t value);
  void setting(const std::string& name, const std::string& text);
  void binary(const std::string& name, const std::string& bytes);
  // A direct rule on 127.0.0.1:listen to 127.0.0.1:dest in the given role.
  void rule(int n, uint16_t listen, uint16_t dest, uint32_t role = 0);

 private:
  test_support::TempDir folder_;
};

// The program's window on the store, as brisklane puts it together.
class DesktopProgram {
 public:
  explicit DesktopProgram(const std::string& programFolder = ".", uint32_t toolbarSize = 48);
  ~DesktopProgram();
  ui::MainWindow& window() { return *window_; }
  ui::RelayBridge& bridge() { return bridge_; }
  relay::RelayService& service() { return service_; }

 private:
  ui::RelayBridge bridge_;
  relay::RelayService service_;
  std::unique_ptr<ui::MainWindow> window_;
};

}  // namespace ui_test
