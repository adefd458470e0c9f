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
#include "support/store.h"

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
  // The pass phrases given, in order, one per question; nothing once they are used up.
  std::string askPassphrase(const std::string&) override {
    std::lock_guard<std::mutex> hold(mutex_);
    ++asked_;
    if (phrases_.empty()) return {};
    std::string phrase = phrases_.front();
    phrases_.erase(phrases_.begin());
    return phrase;
  }
  void answerPassphrases(std::vector<std::string> phrases) {
    std::lock_guard<std::mutex> hold(mutex_);
    phrases_ = std::move(phrases);
  }
  int passphraseQuestions() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return asked_;
  }
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
  mutable std::mutex mutex_;  // guards lines_, changes_, phrases_ and asked_
  mutable std::condition_variable changed_;
  std::vector<std::string> phrases_;
  int asked_ = 0;
  std::vector<std::string> lines_;
  std::vector<relay::ChangeResult> changes_;
};

using test_support::StoreValues;

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
