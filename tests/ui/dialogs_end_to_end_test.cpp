// The dialogs in the running desktop program: the Rules and Settings commands of the main window
// over a real relay, with real peers (socat as the destination, openssl s_client as an
// SSL client). A rule added through the dialogs is served at once; protocol and cipher switches
// reach the next handshake; a change of thread reuse that the user accepts ends the program.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QListWidget>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <thread>

#include "config/rules.h"
#include "config/settings.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "relay/relay.h"
#include "ui/commands.h"
#include "ui/dialog_commands.h"
#include "ui/main_window.h"
#include "ui/message_box.h"
#include "ui/relay_bridge.h"
#include "ui/rule_editor.h"
#include "ui/rules_dialog.h"
#include "ui/settings_sheet.h"
#include "ui_test_support.h"

using namespace std::chrono_literals;
using ui::SettingsSheet;
using ui_test::byId;
using ui_test::clickId;
using ui_test::ModalScript;
using ui_test::setTextId;

namespace {

// The value the store holds for a setting, as the next start would read it.
uint32_t storedNumber(const char* name) {
  platform::RegKey key;
  uint32_t value = 0xDEADBEEF;
  uint32_t size = sizeof value;
  if (platform::regOpenKey(platform::Hive::kCurrentUser, config::settingsKeyPath(), &key) == 0) {
    platform::regQueryValue(key, name, nullptr, &value, &size);
  }
  return value;
}

QAbstractButton* sheetBox(SettingsSheet* s, SettingsSheet::Page page, int id) {
  return byId<QAbstractButton>(s->findChild<QTabWidget*>()->widget(page), id);
}

// A resolver as slow as a DNS server that times out, which knows no name.
bool slowNoName(const std::string&, std::vector<platform::IpAddress>*) {
  std::this_thread::sleep_for(1500ms);
  return false;
}

// The window's event loop as a person feels it: a 50 ms timer, its ticks and the longest gap
// between two of them.
class Ticks {
 public:
  Ticks() {
    last_.start();
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      ++count_;
      longest_ = std::max(longest_, last_.restart());
    });
    timer_.start(50);
  }
  int count() const { return count_; }
  qint64 longestGapMs() const { return std::max(longest_, last_.elapsed()); }

 private:
  QTimer timer_;
  QElapsedTimer last_;
  int count_ = 0;
  qint64 longest_ = 0;
};

// Accepts connections and never answers them: a directory that has gone silent.
class SilentServer {
 public:
  SilentServer() : port_(test_support::freePort()) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port_);
    const int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    ok_ = bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && listen(fd_, 8) == 0;
  }
  ~SilentServer() { close(fd_); }  // the queued connections go with it
  bool ok() const { return ok_; }
  uint16_t port() const { return port_; }

 private:
  uint16_t port_;
  int fd_ = -1;
  bool ok_ = false;
};

}  // namespace

class DialogsEndToEnd : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<ui_test::TestStore> store_;
  test_support::StoreValues values_;
  std::unique_ptr<test_support::TempDir> pki_;
  std::unique_ptr<test_support::Process> echo_;
  std::unique_ptr<ui::RelayBridge> bridge_;
  std::unique_ptr<relay::Relay> relay_;
  std::unique_ptr<ui::MainWindow> window_;
  uint16_t echoPort_ = 0;
  uint16_t tlsPort_ = 0;
  int clients_ = 0;

  // A TLS 1.2 handshake with the port; the cipher s_client reports, or "" when none was made.
  std::string negotiatedCipher() {
    const std::string out = pki_->file("s_client-" + std::to_string(++clients_) + ".out");
    test_support::Process client(
        {"openssl", "s_client", "-connect", "127.0.0.1:" + std::to_string(tlsPort_), "-tls1_2",
         "-no_ign_eof"},
        out, {}, "/dev/null");
    // The relay asks the window thread its questions (a key's pass phrase): the events go on.
    for (int i = 0; i < 1500 && client.wait(20ms) == -1; ++i) QCoreApplication::processEvents();
    const std::string text = test_support::readFile(out);
    const size_t at = text.find("Cipher is ");
    if (at == std::string::npos) return "";
    const std::string cipher = text.substr(at + 10, text.find('\n', at) - at - 10);
    return cipher == "(NONE)" ? "" : cipher;
  }

  bool logged(const std::string& text, int times = 1) {
    int seen = 0;
    for (const std::string& line : window_->logModel()->allLines()) {
      seen += line.find(text) != std::string::npos ? 1 : 0;
    }
    return seen >= times;
  }

  // Runs the Settings command; `act` sets the sheet's controls before OK.
  void settingsCommand(std::function<void(SettingsSheet*)> act) {
    ModalScript script;
    script.on<SettingsSheet>([act](SettingsSheet* s) {
      act(s);
      clickId(s, 1);
    });
    window_->dispatch(ui::kCmdSettings);
    QVERIFY(script.finished());
    // The relay stores the change and restarts on it on a thread of its own.
    QTRY_VERIFY_WITH_TIMEOUT(!window_->changing(), 20000);
  }

 private slots:
  void initTestCase() {
    store_ = std::make_unique<ui_test::TestStore>();
    pki_ = std::make_unique<test_support::TempDir>();
    test_support::makePki(pki_->path());
    echoPort_ = test_support::freePort();
    echo_ = std::make_unique<test_support::Process>(
        test_support::echoService(echoPort_, pki_->file("socat.log")));
    QVERIFY(test_support::waitForPort(echoPort_));

    // The store as a user left it: TLS on, one SSL server rule in front of the echo peer.
    tlsPort_ = test_support::freePort();
    store_->setting("ssl.enable_tls1", 1);
    store_->setting("thread.pool.enable", 1);
    values_.rule(1, tlsPort_, "127.0.0.1", echoPort_, config::kRoleServer,
                 {{"ssl.cert", pki_->file("server.pem")}, {"ssl.key", pki_->file("server.key")}});

    bridge_ = std::make_unique<ui::RelayBridge>();
    relay_ = std::make_unique<relay::Relay>(bridge_.get());
    relay_->loadSettings(platform::Hive::kCurrentUser, false);
    ui::MainWindow::Options options;
    options.programFolder = pki_->path();
    window_ = std::make_unique<ui::MainWindow>(relay_.get(), bridge_.get(), options);
    QVERIFY(window_->create());
    QVERIFY(test_support::waitForPort(tlsPort_));
  }

  void cleanupTestCase() {
    window_.reset();
    relay_.reset();
    bridge_.reset();
    if (echo_) echo_->stop();
    store_.reset();
  }

  void aPlugRuleAddedThroughTheDialogsIsServedAtOnce() {
    const uint16_t port = test_support::freePort();
    ModalScript script;
    script.on<ui::RulesDialog>([](ui::RulesDialog* d) {
      clickId(d, 1006);
      clickId(d, 1);
    });
    script.on<ui::RuleEditor>([this, port](ui::RuleEditor* e) {
      clickId(e, 10);
      setTextId(e, 1021, "127.0.0.1");
      setTextId(e, 1011, QString::number(port));
      setTextId(e, 1008, "All");
      setTextId(e, 1010, "All");
      setTextId(e, 1012, "127.0.0.1");
      setTextId(e, 1014, QString::number(echoPort_));
      clickId(e, 1);
    });
    window_->dispatch(ui::kCmdRules);
    QVERIFY(script.finished());
    QVERIFY(window_->changing());
    QTRY_VERIFY_WITH_TIMEOUT(!window_->changing(), 20000);
    QCOMPARE(relay_->editableRules().count, 2);
    QVERIFY(test_support::waitForPort(port));

    const int fd = test_support::connectLocal(port);
    QVERIFY(fd >= 0);
    const std::string bytes = "through the new rule\n";
    QVERIFY(test_support::sendAll(fd, bytes));
    QCOMPARE(test_support::receive(fd, bytes.size()), bytes);
    close(fd);
    QTRY_VERIFY_WITH_TIMEOUT(logged("Configured 2 rules on 2 ports"), 10000);

    // Stored: the next start serves it too.
    config::ccRule* stored = config::loadRule(platform::Hive::kCurrentUser, 1);
    QVERIFY(stored != nullptr);
    QCOMPARE(stored->peerPortStr, std::to_string(port));
    QCOMPARE(stored->ifAddrStr, std::string("127.0.0.1"));
    config::releaseRule(stored);
  }

  void protocolAndCipherSwitchesReachTheNextHandshake() {
    QVERIFY(!negotiatedCipher().empty());
    settingsCommand([](SettingsSheet* s) {
      sheetBox(s, SettingsSheet::kSsl, 1068)->setChecked(false);  // TLSv1
    });
    QCOMPARE(storedNumber("ssl.enable_tls1"), 0u);
    QCOMPARE(negotiatedCipher(), std::string());

    settingsCommand([](SettingsSheet* s) {
      sheetBox(s, SettingsSheet::kSsl, 1068)->setChecked(true);
      QComboBox* ciphers = byId<QComboBox>(s->findChild<QTabWidget*>()->widget(0), 1038);
      ciphers->setCurrentIndex(ciphers->findText("ECDHE-RSA-AES128-GCM-SHA256"));
    });
    QCOMPARE(negotiatedCipher(), std::string("ECDHE-RSA-AES128-GCM-SHA256"));

    settingsCommand([](SettingsSheet* s) {
      QComboBox* ciphers = byId<QComboBox>(s->findChild<QTabWidget*>()->widget(0), 1038);
      ciphers->setCurrentIndex(ciphers->findText("Strong Only"));
    });
    QCOMPARE(relay_->editableSettings().sslCipher.get(), std::string("Strong Only"));
    QVERIFY(!negotiatedCipher().empty());
    QTRY_VERIFY_WITH_TIMEOUT(logged("Cipher descriptions for Strong Only ...."), 10000);
    QVERIFY(!logged("error setting cipher list"));
  }

  // The window waits for no name lookup: a rule whose destination does not resolve (the
  // resolver takes 1.5 s to say so) goes to the relay, the window's event loop runs on meanwhile,
  // and the reason is shown once the relay has built its configuration; the other rules serve.
  void aNameThatDoesNotResolveIsReportedWhileTheWindowRuns() {
    platform::setHostResolver(slowNoName);
    const uint16_t port = test_support::freePort();
    ModalScript script;
    script.on<ui::RulesDialog>([](ui::RulesDialog* d) {
      clickId(d, 1006);
      clickId(d, 1);
    });
    script.on<ui::RuleEditor>([port](ui::RuleEditor* e) {
      setTextId(e, 1011, QString::number(port));
      setTextId(e, 1008, "All");
      setTextId(e, 1010, "All");
      setTextId(e, 1012, "nowhere.invalid");
      setTextId(e, 1014, "80");
      clickId(e, 1);
    });
    ui::MessageBox::setNextAnswer(QMessageBox::Ok);
    const int boxes = ui::MessageBox::count();
    QElapsedTimer took;
    took.start();
    Ticks ticks;
    window_->dispatch(ui::kCmdRules);
    QVERIFY(script.finished());
    QVERIFY(took.elapsed() < 500);  // OK did not wait for the resolver
    QTRY_VERIFY_WITH_TIMEOUT(!window_->changing(), 20000);
    QVERIFY2(took.elapsed() >= 1400, "the relay looked the name up");
    QVERIFY2(ticks.longestGapMs() < 400, qPrintable(QString::number(ticks.longestGapMs())));
    QVERIFY(ticks.count() >= 10);
    platform::setHostResolver(nullptr);
    QCOMPARE(ui::MessageBox::count(), boxes + 1);
    QCOMPARE(ui::MessageBox::lastTitle(), QString("Brisklane 4"));
    QVERIFY2(ui::MessageBox::lastText().contains(
                 "Rule3: the host name <nowhere.invalid> does not resolve"),
             qPrintable(ui::MessageBox::lastText()));
    QVERIFY(logged("Rule3: the host name <nowhere.invalid> does not resolve"));
    QVERIFY(!negotiatedCipher().empty());

    // Deleted again: every later change would tell of it.
    ModalScript remove;
    remove.on<ui::RulesDialog>([](ui::RulesDialog* d) {
      byId<QListWidget>(d, 1005)->setCurrentRow(2);
      clickId(d, 1023);
      clickId(d, 1);
    });
    window_->dispatch(ui::kCmdRules);
    QVERIFY(remove.finished());
    QTRY_VERIFY_WITH_TIMEOUT(!window_->changing(), 20000);
    QCOMPARE(relay_->editableRules().count, 2);
  }

  // A directory that accepts and never answers holds a CRL fetcher; OK in Settings stops it and
  // builds the next configuration on the relay's thread, while the window's loop runs on, and
  // the relay serves again once the old fetcher has stopped.
  void aSilentDirectoryNeverHoldsTheWindow() {
    SilentServer silent;
    QVERIFY(silent.ok());
    const std::string source = "ldap\\silent";
    values_.text(source, "server", "127.0.0.1");
    values_.dword(source, "port", silent.port());
    values_.text(source, "searchdn", "o=test");
    values_.text(source, "filter", "(objectClass=*)");
    values_.dword(source, "ldap.version", 3);
    values_.dword(source, "cycle.time", 1);
    values_.dword(source, "display.details", 1);
    // CRL checking is turned on in the store (the sheet shows it, but cannot change it).
    store_->setting("crl.check.enable", 1);
    relay_->reload();
    // The fetcher is at the directory.
    QTRY_VERIFY_WITH_TIMEOUT(logged("ldap: reg memonic : <silent>"), 10000);
    Ticks ticks;
    settingsCommand([](SettingsSheet*) {});  // OK as it stands: the relay restarts
    QVERIFY2(ticks.longestGapMs() < 400, qPrintable(QString::number(ticks.longestGapMs())));
    QVERIFY(
        logged("ldap: reg memonic : <silent>", 2));  // the next configuration's fetcher took over
    QVERIFY(!negotiatedCipher().empty());
    store_->setting("crl.check.enable", 0);
    values_.removeKey("ldap");
  }

  // Last: it ends the program.
  void acceptingAThreadReuseChangeSavesEverythingAndEndsTheProgram() {
    settingsCommand([](SettingsSheet* s) {
      s->showPage(SettingsSheet::kMisc);
      sheetBox(s, SettingsSheet::kMisc, 1064)->setChecked(false);
      sheetBox(s, SettingsSheet::kMisc, 1062)->setChecked(false);
      ui::MessageBox::setNextAnswer(QMessageBox::Yes);
    });
    QCOMPARE(storedNumber("thread.pool.enable"), 0u);
    QCOMPARE(storedNumber("tcp.nodelay"), 0u);
    QVERIFY(window_->trayIcon() == nullptr);  // the shutdown steps ran
    QCOMPARE(relay_->editableRules().count, 0);
  }
};

QTEST_MAIN(DialogsEndToEnd)
#include "dialogs_end_to_end_test.moc"
