// The relay in this process with the desktop program's bridge and dialogs, against real peers:
// "openssl s_server -Verify 1" asks the SSL client rule for a client certificate (the selection
// answered through the modal hook), an SSL server rule with an encrypted key takes two
// "openssl s_client" connections at once, and under "sniffer" the bytes a plug rule relays to a
// socat echo reach the buffer view. The window thread runs its events while the peers talk.
#include <QPushButton>
#include <QtTest>
#include <string>

#include "cert_test_support.h"
#include "config/settings.h"
#include "platform/registry.h"
#include "relay/relay.h"
#include "ui/buffer_view.h"
#include "ui/client_certificate_dialog.h"
#include "ui/modal.h"
#include "ui/passphrase_dialog.h"
#include "ui/relay_bridge.h"

using namespace cert_test;

namespace {

constexpr char kSettingsKey[] = "Software\\Tandry\\Brisklane 4";

void setText(const std::string& key, const std::string& name, const std::string& text) {
  platform::RegKey k;
  platform::regCreateKey(platform::Hive::kCurrentUser, key, &k);
  platform::regSetValue(k, name, platform::REG_SZ, text.c_str(),
                        static_cast<uint32_t>(text.size() + 1));
}

void setNumber(const std::string& key, const std::string& name, uint32_t value) {
  platform::RegKey k;
  platform::regCreateKey(platform::Hive::kCurrentUser, key, &k);
  platform::regSetValue(k, name, platform::REG_DWORD, &value, sizeof value);
}

// RuleN from 127.0.0.1:listen to 127.0.0.1:dest in the role, with extra texts.
void rule(int n, uint16_t listen, uint16_t dest, uint32_t role,
          const std::map<std::string, std::string>& texts = {}) {
  const std::string key = std::string(kSettingsKey) + "\\Rule" + std::to_string(n);
  std::map<std::string, std::string> all = {{"peer.port.str", std::to_string(listen)},
                                            {"peer.addr.str", "All"},
                                            {"peer.mask.str", "All"},
                                            {"if.addr.str", "127.0.0.1"},
                                            {"dest.addr.str", "127.0.0.1"},
                                            {"dest.port.str", std::to_string(dest)}};
  all.insert(texts.begin(), texts.end());
  for (const auto& [name, text] : all) setText(key, name, text);
  setNumber(key, "ssl.role", role);
}

std::string exchange(uint16_t port, const std::string& data, size_t expect) {
  const int fd = connectLocal(port);
  if (fd < 0) return "<no connection>";
  sendAll(fd, data);
  std::string back = receive(fd, expect, std::chrono::seconds(20));
  close(fd);
  return back;
}

}  // namespace

class RelayQuestionsTest : public QObject {
  Q_OBJECT

 private:
  TempDir dir_;
  TempDir store_;
  uint16_t clientRule_ = 0;
  uint16_t serverRule_ = 0;
  uint16_t plugRule_ = 0;
  Process tlsServer_;
  Process echo_;
  std::unique_ptr<ui::RelayBridge> bridge_;
  std::unique_ptr<relay::Relay> relay_;
  QStringList log_;
  int selections_ = 0;
  int prompts_ = 0;
  std::function<int(ui::ClientCertificateDialog*)> onSelection_;
  std::function<int(ui::PassphraseDialog*)> onPrompt_;

  std::string through(uint16_t port, const std::string& data) {
    return whileWindowRuns([port, data] { return exchange(port, data, data.size()); });
  }

  // Bounded: lets the window thread run until the log holds the text `count` times.
  bool waitForLog(const QString& text, int count, int millis = 10000) {
    QElapsedTimer clock;
    clock.start();
    while (log_.filter(text).size() < count && clock.elapsed() < millis) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return log_.filter(text).size() >= count;
  }

  static int answerSelection(ui::ClientCertificateDialog* d, const char* name, const char* pass) {
    d->choose(name);
    d->setPassword(pass);
    d->findChild<QPushButton*>("ok")->click();
    return d->result();
  }

  Process tlsClient(const std::string& name) {
    const std::string input = dir_.file(name + ".in");
    writeFile(input, "ping\n");
    return Process(
        {"openssl", "s_client", "-connect", "127.0.0.1:" + std::to_string(serverRule_), "-quiet"},
        dir_.file(name + ".out"), {}, input);
  }

  bool echoed(const std::string& name) {
    return whileWindowRuns([this, name] {
      return waitForText(dir_.file(name + ".out"), "ping", std::chrono::seconds(20));
    });
  }

 private slots:
  void initTestCase() {
    QVERIFY(makeCertificateFiles(dir_.path()));
    platform::setHiveDirectory(store_.path());
    setNumber(kSettingsKey, "verbose", 1);
    const uint16_t tls = freePort();
    const uint16_t plain = freePort();
    tlsServer_ = Process(
        {"openssl", "s_server", "-accept", "127.0.0.1:" + std::to_string(tls), "-cert",
         dir_.file("server.pem"), "-key", dir_.file("server.key"), "-Verify", "1", "-CAfile",
         dir_.file("ca.pem"), "-rev", "-quiet", "-no_cache", "-no_ticket", "-num_tickets", "0"},
        dir_.file("s_server.out"));
    echo_ =
        Process({"socat", "TCP4-LISTEN:" + std::to_string(plain) + ",bind=127.0.0.1,reuseaddr,fork",
                 "PIPE"},
                dir_.file("socat.out"));
    QVERIFY(waitForPort(tls) && waitForPort(plain));
    clientRule_ = freePort();
    rule(1, clientRule_, tls, 1);
    serverRule_ = freePort();
    rule(2, serverRule_, plain, 2,
         {{"ssl.cert", dir_.file("server.pem")}, {"ssl.key", dir_.file("server-locked.key")}});
    plugRule_ = freePort();
    rule(3, plugRule_, plain, 0);

    onSelection_ = [](ui::ClientCertificateDialog*) { return int(QDialog::Rejected); };
    onPrompt_ = [](ui::PassphraseDialog*) { return int(QDialog::Rejected); };
    ui::setModalHook([this](QDialog* dialog) {
      if (auto* d = qobject_cast<ui::ClientCertificateDialog*>(dialog)) {
        ++selections_;
        return onSelection_(d);
      }
      if (auto* d = qobject_cast<ui::PassphraseDialog*>(dialog)) {
        ++prompts_;
        return onPrompt_(d);
      }
      return int(QDialog::Rejected);
    });
    bridge_ = std::make_unique<ui::RelayBridge>();
    const std::string certs = dir_.file("certs");
    bridge_->setPassphraseAsker(
        [](const std::string& prompt) { return ui::askPassphraseDialog(nullptr, prompt); });
    bridge_->setCertificateAsker(
        [certs](const std::string& subject, relay::ClientCredentials* out) {
          return ui::askClientCertificate(nullptr, {certs}, subject, out);
        });
    connect(bridge_.get(), &ui::RelayBridge::linesWaiting, this, [this] {
      for (const ui::PendingLine& line : bridge_->takeLines()) {
        log_.append(QString::fromStdString(line.text));
      }
    });
    relay_ = std::make_unique<relay::Relay>(bridge_.get());
    relay_->loadSettings(platform::Hive::kCurrentUser, true);
    // The listeners are open once start returns: probing them would be a connection of its own.
    QVERIFY(relay_->start());
  }

  void cleanupTestCase() {
    relay_->shutdown();
    relay_.reset();
    tlsServer_.stop();
    echo_.stop();
    platform::setHiveDirectory("");
  }

  void init() {
    relay_->clearKeys();
    selections_ = prompts_ = 0;
  }

  void clientCertificateIsChosenOnceUntilClearKeys() {
    QString server;
    onSelection_ = [&server](ui::ClientCertificateDialog* d) {
      server = d->serverName();
      return answerSelection(d, "client-plain.pem", "");
    };
    QCOMPARE(through(clientRule_, "hello\n"), std::string("olleh\n"));
    QCOMPARE(selections_, 1);
    QCOMPARE(server, QString("/O=Brisklane test/CN=127.0.0.1"));
    QCOMPARE(through(clientRule_, "again\n"), std::string("niaga\n"));
    QCOMPARE(selections_, 1);  // the cached certificate served, without a dialog

    relay_->clearKeys();
    onSelection_ = [](ui::ClientCertificateDialog* d) {
      return answerSelection(d, "client.p12", kP12Password);
    };
    QCOMPARE(through(clientRule_, "pkcs12\n"), std::string("21sckp\n"));
    QCOMPARE(through(clientRule_, "cached\n"), std::string("dehcac\n"));
    QCOMPARE(selections_, 2);

    // Cancelled: the handshake goes on without one (the server refuses), and nothing is cached.
    relay_->clearKeys();
    onSelection_ = [](ui::ClientCertificateDialog* d) {
      d->findChild<QPushButton*>("cancel")->click();
      return d->result();
    };
    QCOMPARE(through(clientRule_, "refused\n"), std::string());
    QCOMPARE(selections_, 3);
    onSelection_ = [](ui::ClientCertificateDialog* d) {
      return answerSelection(d, "client-locked.pem", kPemPassword);
    };
    QCOMPARE(through(clientRule_, "locked\n"), std::string("dekcol\n"));
    QCOMPARE(selections_, 4);
  }

  void twoConnectionsAtOnceMakeOnePrompt() {
    onPrompt_ = [this](ui::PassphraseDialog* d) {
      // Both connections are in before the answer, so that the second waits for the first.
      waitForLog(QString("Connection to port %1 from").arg(serverRule_), 2);
      d->setPassphrase(kKeyPassword);
      d->findChild<QPushButton*>("ok")->click();
      return d->result();
    };
    log_.clear();
    Process first = tlsClient("first");
    Process second = tlsClient("second");
    QVERIFY(echoed("first"));
    QVERIFY(echoed("second"));
    QCOMPARE(prompts_, 1);
    QCOMPARE(log_.filter(QString("Connection to port %1 from").arg(serverRule_)).size(), 2);

    // Clear Keys forgets the phrase (and the loaded key): the next connection asks again.
    relay_->clearKeys();
    Process third = tlsClient("third");
    QVERIFY(echoed("third"));
    QCOMPARE(prompts_, 2);

    // A cancelled prompt fails that key load, once, and the handshake with it.
    relay_->clearKeys();
    onPrompt_ = [](ui::PassphraseDialog* d) {
      d->findChild<QPushButton*>("cancel")->click();
      return d->result();
    };
    Process refused = tlsClient("refused");
    QVERIFY(waitForLog("Private key load failed: cert: <", 1));
    QCOMPARE(prompts_, 3);
    for (Process* p : {&first, &second, &third, &refused}) p->stop();
    QVERIFY(readFile(dir_.file("refused.out")).find("ping") == std::string::npos);
  }

  void snifferHandsTheRelayedBytesToTheView() {
    bridge_->takeChunks();  // what the other tests relayed
    ui::BufferView view;
    view.takeChunksFrom(bridge_.get());
    const std::string request = "GET /sniffed HTTP/1.0\r\nHost: example\r\n\r\n";
    QCOMPARE(through(plugRule_, request), request);
    // Out and back again, each chunk exactly the bytes one read gave.
    std::string seen;
    QTRY_VERIFY((seen =
                     [&view] {
                       std::string all;
                       for (int i = 0; i < view.count(); ++i) all += view.chunk(i);
                       return all;
                     }())
                    .size() >= 2 * request.size());
    QCOMPARE(seen, request + request);
    QCOMPARE(view.position(), view.count() - 1);
  }
};

QTEST_MAIN(RelayQuestionsTest)
#include "relay_questions_test.moc"
