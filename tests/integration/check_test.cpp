// brisklaned --check on a configuration as an administrator leaves it: a good one exits 0 (also
// while a brisklaned of the same store serves its ports); a missing certificate file, a key of
// another certificate, an unparsable rule, a port another program holds and an encrypted key
// without its stored pass phrase are each named in a line and the exit status is 1.
#include <functional>

#include "daemon_test.h"

namespace itest {
namespace {

class Check : public DaemonTest {
 protected:
  // The check's exit status; its output in *out.
  int check(std::string* out) {
    const std::string file = dir_.file("check-" + std::to_string(++checks_) + ".out");
    const int status =
        run({"env", "BRISKLANE_CONFIG_DIR=" + store_->dir(), binDir() + "/brisklaned", "--check"},
            file, 60s);
    *out = readFile(file);
    return status;
  }
  // An SSL server rule RuleN on `port` to an echo port, with the certificate and key given.
  void serverRule(int n, uint16_t port, const std::string& cert, const std::string& keyFile) {
    rule(n, port, freePort(), 2, {{"ssl.cert", cert}, {"ssl.key", keyFile}});
  }
  int checks_ = 0;
};

TEST_F(Check, AGoodConfigurationPassesAlsoWhileItsDaemonServes) {
  const uint16_t port = freePort();
  serverRule(1, port, pem("server"), key("server"));
  store_->setting("ssl.ca_cert", pem("ca"));
  std::string out;
  EXPECT_EQ(check(&out), 0) << out;
  EXPECT_NE(out.find("the configuration is good"), std::string::npos) << out;
  Daemon& d = startDaemon();
  ASSERT_TRUE(waitForPort(port)) << d.log();
  EXPECT_EQ(check(&out), 0) << "the running daemon's own port is no problem: " << out;
}

TEST_F(Check, EachProblemIsNamedAndFailsTheCheck) {
  ASSERT_TRUE(shell("cd '" + dir_.path() + "' && openssl genpkey -algorithm RSA -pkeyopt " +
                    "rsa_keygen_bits:2048 -out other.key >/dev/null 2>&1 && openssl pkey -in '" +
                    key("server") + "' -aes256 -passout pass:secret -out encrypted.key"));
  const std::string missing = dir_.file("missing.pem");
  const struct Case {
    const char* what;
    std::function<void()> make;
    std::string line;
  } cases[] = {
      {"a missing certificate file", [&] { serverRule(1, freePort(), missing, key("server")); },
       "Rule1: Certificate load failed: " + missing},
      {"a key of another certificate",
       [&] { serverRule(1, freePort(), pem("server"), dir_.file("other.key")); },
       "Rule1: Private key load failed: cert: <" + pem("server") + "> key: <" +
           dir_.file("other.key") + ">"},
      {"an unparsable rule",
       [&] {
         rule(1, freePort(), freePort(), 0);
         store_->rule(1, {{"peer.port.str", "80x"}}, {});
       },
       "Rule1 is refused: its listening port <80x> is no port"},
      {"an encrypted key whose pass phrase is not stored",
       [&] { serverRule(1, freePort(), pem("server"), dir_.file("encrypted.key")); },
       "Rule1: the key <" + dir_.file("encrypted.key") +
           "> is encrypted and no pass phrase is stored (\"ssl.passwd\")"},
  };
  for (const Case& c : cases) {
    store_->removeRule(1);
    c.make();
    std::string out;
    EXPECT_EQ(check(&out), 1) << c.what << ": " << out;
    EXPECT_NE(out.find(c.line), std::string::npos) << c.what << ": " << out;
  }

  // A port another program holds.
  store_->removeRule(1);
  const uint16_t taken = freePort();
  Process holder(
      {"socat", "TCP-LISTEN:" + std::to_string(taken) + ",bind=127.0.0.1,fork", "EXEC:cat"},
      dir_.file("holder.log"));
  ASSERT_TRUE(waitForPort(taken));
  rule(1, taken, freePort(), 0);
  std::string out;
  EXPECT_EQ(check(&out), 1) << out;
  EXPECT_NE(out.find("Rule1: Couldn't bind to port " + std::to_string(taken) + ": Address in use."),
            std::string::npos)
      << out;
  holder.stop();
}

}  // namespace
}  // namespace itest
