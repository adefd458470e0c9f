// brisklaned as a new user meets it: no store at all. The first start makes the settings key
// with every default (and says so in one line naming the store); an SSL server rule added with
// brisklane-reg and a SIGHUP then serve TLS 1.2 and 1.3 handshakes of openssl s_client, and the
// status line's figures move. A store that cannot be read is refused: the daemon ends instead of
// running on an empty configuration.
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>

#include "daemon_test.h"

namespace itest {
namespace {

class FirstStart : public DaemonTest {
 protected:
  // brisklane-reg on the test's store; its exit status.
  int reg(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"env", "BRISKLANE_CONFIG_DIR=" + configDir(),
                                     binDir() + "/brisklane-reg"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, dir_.file("reg.out"), 30s);
  }
  std::string configDir() const { return dir_.file("first"); }
  // One s_client handshake with the port at this TLS version; the cipher, or "" when none.
  std::string handshake(uint16_t port, const char* version) {
    const std::string out = dir_.file(std::string("s_client") + version + ".out");
    Process client({"openssl", "s_client", "-connect", "127.0.0.1:" + std::to_string(port), version,
                    "-no_ign_eof"},
                   out, {}, "/dev/null");
    if (client.wait(20s) == -1) client.stop();
    const std::string text = readFile(out);
    const size_t at = text.find("Cipher is ");
    if (at == std::string::npos) return "";
    const std::string cipher = text.substr(at + 10, text.find('\n', at) - at - 10);
    return cipher == "(NONE)" ? "" : cipher;
  }
};

TEST_F(FirstStart, ANewStoreGetsTheDefaultsAndServesTlsOnceARuleIsAdded) {
  std::filesystem::create_directories(configDir());
  Daemon daemon(configDir(), dir_.file("first.log"));
  const std::string line = "No settings key <Software\\Tandry\\Brisklane 4> in " + configDir() +
                           "/user.reg: created it with every default";
  ASSERT_TRUE(daemon.waitForLog(line)) << daemon.log();
  ASSERT_TRUE(daemon.waitForLog("No enabled rule: nothing to listen on")) << daemon.log();
  // The store holds the defaults: TLS on, every log level, statistics.
  for (const char* value : {"ssl.enable_tls1", "log.info", "stats.enable", "tcp.nodelay"}) {
    ASSERT_EQ(reg({"query", "Software\\Tandry\\Brisklane 4", value}), 0) << value;
    EXPECT_NE(readFile(dir_.file("reg.out")).find("0x1"), std::string::npos) << value;
  }

  const uint16_t echo = freePort();
  Process peer = socatEcho(echo);
  const uint16_t port = freePort();
  const std::string rule = "Software\\Tandry\\Brisklane 4\\Rule1";
  const std::vector<std::pair<std::string, std::string>> texts = {
      {"peer.port.str", std::to_string(port)},
      {"peer.addr.str", "All"},
      {"peer.mask.str", "All"},
      {"dest.addr.str", "127.0.0.1"},
      {"dest.port.str", std::to_string(echo)},
      {"ssl.cert", pem("server")},
      {"ssl.key", key("server")}};
  for (const auto& [name, value] : texts) {
    ASSERT_EQ(reg({"add", rule, "/v", name, "/t", "REG_SZ", "/d", value}), 0) << name;
  }
  ASSERT_EQ(reg({"add", rule, "/v", "ssl.role", "/t", "REG_DWORD", "/d", "2"}), 0);
  daemon.reload();
  ASSERT_TRUE(daemon.waitForLog("Configured 1 rule on 1 port")) << daemon.log();
  ASSERT_TRUE(waitForPort(port));
  EXPECT_FALSE(handshake(port, "-tls1_2").empty()) << daemon.log();
  EXPECT_EQ(handshake(port, "-tls1_3").rfind("TLS_", 0), 0u) << daemon.log();
  // The figures move: SIGUSR1 logs the status line with the connections made so far.
  daemon.status();
  // Three handshakes began (the port probe's failed), two were made and relayed.
  EXPECT_TRUE(daemon.waitForLog("2. 0/0 client, 3/2 server")) << daemon.log();
  EXPECT_EQ(countText(daemon.log(), "created it with every default"), 1);
  EXPECT_EQ(daemon.stop(), 0);

  // A second start finds the key and leaves it as it is.
  Daemon again(configDir(), dir_.file("again.log"));
  ASSERT_TRUE(again.waitForLog("Configured 1 rule on 1 port")) << again.log();
  EXPECT_EQ(countText(again.log(), "created it with every default"), 0);
}

TEST_F(FirstStart, AStoreThatCannotBeReadEndsTheDaemon) {
  std::filesystem::create_directories(configDir());
  writeFile(configDir() + "/user.reg", "Windows Registry Editor Version 5.00\n\n[broken\n");
  Daemon unparsable(configDir(), dir_.file("unparsable.log"));
  const int status = unparsable.wait(10s);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_NE(unparsable.log().find("The configuration store " + configDir() +
                                  "/user.reg cannot be parsed: the relay does not start"),
            std::string::npos)
      << unparsable.log();
}

}  // namespace
}  // namespace itest
