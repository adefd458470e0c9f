// The ground shared by the tests that run brisklaned: test certificates made once per suite, and
// for each test a folder, a configuration store and the daemon on it.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "harness.h"

namespace itest {

class DaemonTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    pki_ = new TempDir;
    makePki(pki_->path());
  }
  static void TearDownTestSuite() {
    delete pki_;
    pki_ = nullptr;
  }

  void SetUp() override {
    store_ = std::make_unique<Store>(dir_.file("config"));
    store_->setting("verbose", 1);
  }
  void TearDown() override {
    daemon_.reset();
    store_.reset();
  }

  static std::string pem(const std::string& name) { return pki_->file(name + ".pem"); }
  static std::string key(const std::string& name) { return pki_->file(name + ".key"); }

  // RuleN on 127.0.0.1:listen for every client; `texts` and `numbers` complete it.
  void listenRule(int n, uint16_t listen, std::map<std::string, std::string> texts,
                  const std::map<std::string, uint32_t>& numbers) {
    texts.emplace("peer.port.str", std::to_string(listen));
    texts.emplace("peer.addr.str", "All");
    texts.emplace("peer.mask.str", "All");
    texts.emplace("if.addr.str", "127.0.0.1");
    store_->rule(n, texts, numbers);
  }

  // A daemon on the store, the previous one stopped first; each start logs to a file of its own
  // ("relay-1.log", ...). Returns once the rules are read; the listeners may still be starting.
  Daemon& startDaemon(const std::vector<std::string>& prefix = {}) {
    daemon_.reset();
    daemon_ = std::make_unique<Daemon>(store_->dir(),
                                       dir_.file("relay-" + std::to_string(++starts_) + ".log"),
                                       daemonEnv_, prefix);
    EXPECT_TRUE(daemon_->waitForLog("Configured ")) << daemon_->log();
    return *daemon_;
  }

  // A direct rule from 127.0.0.1:listen to 127.0.0.1:dest in the given role.
  void rule(int n, uint16_t listen, uint16_t dest, uint32_t role,
            std::map<std::string, std::string> texts = {},
            std::map<std::string, uint32_t> numbers = {}) {
    texts.emplace("dest.addr.str", "127.0.0.1");
    texts.emplace("dest.port.str", std::to_string(dest));
    numbers.emplace("ssl.role", role);
    listenRule(n, listen, texts, numbers);
  }

  // One request through a connection: sends `data`, reads `expect.size()` bytes back.
  static std::string exchange(uint16_t port, const std::string& data, size_t expect) {
    const int fd = connectLocal(port);
    if (fd < 0) return "<no connection>";
    sendAll(fd, data);
    std::string back = receive(fd, expect);
    close(fd);
    return back;
  }

  Process socatEcho(uint16_t port) {
    Process p = echoService(port, dir_.file("socat-" + std::to_string(port) + ".log"));
    EXPECT_TRUE(waitForPort(port));
    return p;
  }

  Process opensslServer(uint16_t port, const std::vector<std::string>& extra) {
    std::vector<std::string> argv = {"openssl", "s_server",    "-accept", std::to_string(port),
                                     "-cert",   pem("server"), "-key",    key("server")};
    argv.insert(argv.end(), extra.begin(), extra.end());
    Process p(argv, dir_.file("s_server-" + std::to_string(port) + ".log"));
    EXPECT_TRUE(waitForPort(port))
        << readFile(dir_.file("s_server-" + std::to_string(port) + ".log"));
    return p;
  }

  static inline TempDir* pki_ = nullptr;
  TempDir dir_;
  std::unique_ptr<Store> store_;
  std::unique_ptr<Daemon> daemon_;
  std::map<std::string, std::string> daemonEnv_;  // added to the daemon's environment

 private:
  int starts_ = 0;
};

}  // namespace itest
