// The listeners when the system has no thread to give: the connection that needed one is closed
// and logged, the listener and the pool go on serving.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <map>
#include <string>
#include <thread>

#include "config/rules.h"
#include "config/settings.h"
#include "log/log.h"
#include "log/sinks.h"
#include "platform/registry.h"
#include "platform/threads.h"
#include "relay/relay.h"
#include "relay/worker_pool.h"
#include "support/support.h"

namespace {

using namespace std::chrono_literals;

bool waitForLine(const logging::CollectingSink& sink, const std::string& start) {
  for (int i = 0; i < 500; ++i) {
    for (const std::string& line : sink.lines()) {
      if (line.rfind(start, 0) == 0) return true;
    }
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

TEST(Listener, AConnectionWithoutAThreadIsClosedAndTheListenerGoesOn) {
  test_support::TempDir folder;
  platform::setHiveDirectory(folder.path());
  const uint16_t port = test_support::freePort();
  const uint16_t closed = test_support::freePort();
  platform::RegKey key;
  ASSERT_EQ(platform::regCreateKey(platform::Hive::kCurrentUser,
                                   std::string(config::settingsKeyPath()) + "\\Rule1", &key),
            0);
  for (const auto& [name, text] :
       std::map<std::string, std::string>{{"peer.port.str", std::to_string(port)},
                                          {"peer.addr.str", "All"},
                                          {"peer.mask.str", "All"},
                                          {"if.addr.str", "127.0.0.1"},
                                          {"dest.addr.str", "127.0.0.1"},
                                          {"dest.port.str", std::to_string(closed)}}) {
    platform::regSetValue(key, name, platform::REG_SZ, text.c_str(),
                          static_cast<uint32_t>(text.size() + 1));
  }
  logging::CollectingSink sink;
  ASSERT_TRUE(logging::log_open(&sink, nullptr));
  config::ccSettings.tcpCloseSockets = 1;
  config::publishSettings(config::ccSettings);
  config::ruleTable.root = platform::Hive::kCurrentUser;
  ASSERT_EQ(config::loadAllRules(&config::ruleTable), 1);
  ASSERT_EQ(relay::ensureListeners(), 1);

  platform::failThreadStartsForTesting(EAGAIN);
  const int first = test_support::connectLocal(port);
  ASSERT_GE(first, 0);
  EXPECT_EQ(test_support::receive(first, 1, 10s), "");  // closed, not left hanging
  close(first);
  EXPECT_TRUE(waitForLine(sink, "Couldn't create I/O thread for 127.0.0.1."));
  // The pool refuses work it has no thread for, instead of queueing it behind nobody.
  relay::WorkPool pool;
  relay::createPool(&pool);
  EXPECT_EQ(relay::postWork(
                &pool, [](void*) {}, nullptr),
            0);
  platform::failThreadStartsForTesting(0);

  const int second = test_support::connectLocal(port);
  ASSERT_GE(second, 0);
  EXPECT_TRUE(waitForLine(sink, "Couldn't connect to 127.0.0.1."));  // it was handled
  close(second);
  relay::destroyPool(&pool);
  config::releaseAllRules(&config::ruleTable);
  logging::log_close();
  platform::setHiveDirectory("");
}

}  // namespace
