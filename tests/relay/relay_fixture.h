// A relay in the test's own process: an observer that keeps what the relay tells it, the values
// a test writes into its store (settings and rules of one root), and the relay object itself,
// started and shut down by the test. Several may run in one process, each on ports of its own.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config/settings.h"
#include "platform/registry.h"
#include "relay/relay.h"

namespace relay_test {

using namespace std::chrono_literals;

// Keeps every log line and change result; answers no question.
class CollectingObserver final : public relay::RelayObserver {
 public:
  void logLine(const logging::LogLine& line) override {
    std::lock_guard<std::mutex> hold(mutex_);
    lines_.emplace_back(line.text);
    changed_.notify_all();
  }
  void changeDone(const relay::ChangeResult& result) override {
    std::lock_guard<std::mutex> hold(mutex_);
    changes_.push_back(result);
    changed_.notify_all();
  }
  std::string askPassphrase(const std::string&) override { return {}; }
  bool askClientCertificate(const std::string&, relay::ClientCredentials*) override {
    return false;
  }

  std::vector<std::string> lines() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return lines_;
  }
  int count(const std::string& prefix) const {
    int n = 0;
    for (const std::string& line : lines()) n += line.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
  }
  // Waits (bounded) until `count` lines start with `prefix`.
  bool waitFor(const std::string& prefix, int count = 1,
               std::chrono::milliseconds limit = 10s) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] {
      int n = 0;
      for (const std::string& line : lines_) n += line.rfind(prefix, 0) == 0 ? 1 : 0;
      return n >= count;
    });
  }
  // Waits (bounded) for the next change result after `seen` results.
  bool waitForChange(size_t seen, relay::ChangeResult* out, std::chrono::milliseconds limit = 20s) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!changed_.wait_for(lock, limit, [&] { return changes_.size() > seen; })) return false;
    *out = changes_[seen];
    return true;
  }
  size_t changes() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return changes_.size();
  }

 private:
  mutable std::mutex mutex_;  // guards lines_ and changes_
  mutable std::condition_variable changed_;
  std::vector<std::string> lines_;
  std::vector<relay::ChangeResult> changes_;
};

// The values of one store root: the settings key and its rule subkeys.
class StoreValues {
 public:
  explicit StoreValues(platform::Hive root) : root_(root) {}
  void text(const std::string& sub, const std::string& name, const std::string& value) {
    platform::RegKey key = open(sub);
    EXPECT_EQ(platform::regSetValue(key, name, platform::REG_SZ, value.c_str(),
                                    static_cast<uint32_t>(value.size() + 1)),
              0);
  }
  void dword(const std::string& sub, const std::string& name, uint32_t value) {
    platform::RegKey key = open(sub);
    EXPECT_EQ(platform::regSetValue(key, name, platform::REG_DWORD, &value, sizeof value), 0);
  }
  // Settings that make a quiet, predictable relay: TLS on, no pool unless asked, no counters.
  void quietSettings(bool pool = false) {
    dword("", "ssl.enable_tls1", 1);
    dword("", "thread.pool.enable", pool ? 1 : 0);
    dword("", "perf.mon.enable", 0);
    dword("", "tcp.close.sockets", 1);
    dword("", "stats.enable", 1);
  }
  // A direct rule RuleN on 127.0.0.1:port to dest:destPort in the given role.
  void rule(int n, uint16_t port, const std::string& dest, uint16_t destPort, uint32_t role = 0,
            const std::map<std::string, std::string>& texts = {}) {
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

 private:
  platform::RegKey open(const std::string& sub) {
    std::string path = config::settingsKeyPath();
    if (!sub.empty()) path += "\\" + sub;
    platform::RegKey key;
    EXPECT_EQ(platform::regCreateKey(root_, path, &key), 0);
    return key;
  }
  platform::Hive root_;
};

// A relay on one root of the test's store, with its observer.
struct InProcessRelay {
  explicit InProcessRelay(platform::Hive root = platform::Hive::kCurrentUser) : root(root) {}
  bool start() {
    relay.loadSettings(root, false);
    return relay.start();
  }
  platform::Hive root;
  CollectingObserver observer;
  relay::Relay relay{&observer};
};

}  // namespace relay_test
