// The rule editor: how it fills its lists and controls, the rule OK builds (and the ones it
// refuses), certificate files dropped, browsed and read for the Soft field, the mask it proposes
// and its two views. Certificates are made by the openssl tool.
#include "ui/rule_editor.h"

#include <arpa/inet.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QSysInfo>
#include <QTest>

#include "config/settings.h"
#include "platform/system.h"
#include "ui/certificate_files.h"
#include "ui/certificate_viewer.h"
#include "ui/message_box.h"
#include "ui/message_dialog.h"
#include "ui_test_support.h"

using config::ccRule;
using ui::RuleEditor;
using ui_test::byId;
using ui_test::clickId;
using ui_test::ModalScript;
using ui_test::setTextId;
using ui_test::textId;

namespace {

enum Id {
  kListenPort = 1011,
  kSourceHost = 1008,
  kMask = 1010,
  kDirect = 1099,
  kSocks = 1100,
  kHttps = 1101,
  kDestHost = 1012,
  kDestPort = 1014,
  kPlug = 1018,
  kClient = 1019,
  kServer = 1020,
  kProxy = 1048,
  kSoft = 1092,
  kCert = 1016,
  kKey = 1025,
  kDisable = 1038,
  kInterface = 1021,
  kProxyHost = 1029,
  kProxyPort = 1028,
  kUser = 1104,
  kPassword = 1105,
  kProxyAccept = 1106,
  kProxySend = 1107
};

// No test here asks the network for a name.
bool fakeResolver(const std::string& name, std::vector<platform::IpAddress>* addresses) {
  if (name != "localhost") return false;
  addresses->push_back(platform::IpAddress::ipv4(htonl(0x7F000001u)));
  return true;
}

QStringList items(QComboBox* combo) {
  QStringList all;
  for (int i = 0; i < combo->count(); ++i) all << combo->itemText(i);
  return all;
}

void fillValid(RuleEditor* e) {
  setTextId(e, kListenPort, "7100");
  setTextId(e, kSourceHost, "All");
  setTextId(e, kMask, "All");
  setTextId(e, kDestHost, "127.0.0.1");
  setTextId(e, kDestPort, "9");
}

// Presses OK; the rule it built, or none (then the box it showed was answered).
config::RuleRef pressOk(RuleEditor* e) {
  ui::MessageBox::setNextAnswer(QMessageBox::Ok);
  e->accept();
  return e->takeRule();
}

}  // namespace

class RuleEditorTest : public QObject {
  Q_OBJECT

 private:
  test_support::TempDir pki_;
  std::unique_ptr<ui_test::TestStore> store_;
  std::string folder() const { return pki_.path(); }
  QString file(const char* name) const { return QString::fromStdString(pki_.file(name)); }
  const QString subject = "/O=Brisklane test/CN=127.0.0.1";

 private slots:
  void initTestCase() {
    platform::setHostResolver(fakeResolver);
    test_support::makePki(pki_.path());
    QVERIFY(test_support::shell("cd '" + pki_.path() +
                                "' && openssl x509 -in server.pem -outform DER -out server.der"
                                " && openssl pkcs12 -export -in server.pem -inkey server.key"
                                " -passout pass:pw -out server.p12 && mkdir folder.pem"
                                " && echo text > notes.pem && mkfifo pipe.pem"));
  }
  void cleanupTestCase() { platform::setHostResolver(nullptr); }
  void init() { store_ = std::make_unique<ui_test::TestStore>(); }
  void cleanup() { store_.reset(); }

  void aNewRuleStartsAsADirectPlugGatewayWithTheListsFilled() {
    config::Settings settings;
    settings.hostCount = config::splitList("alpha:beta", settings.hostList);
    settings.portCount = config::splitList("443:8080:socks", settings.portList);
    RuleEditor e(nullptr, nullptr, ui::ruleDialogContext(settings, folder(), {}));
    QCOMPARE(e.windowTitle(), QString("Brisklane Rule"));
    QVERIFY(!e.advancedShown());
    QVERIFY(!byId<QWidget>(&e, kDisable)->isVisibleTo(&e));
    QVERIFY(byId<QRadioButton>(&e, kPlug)->isChecked());
    QVERIFY(byId<QRadioButton>(&e, kDirect)->isChecked());
    QVERIFY(byId<QWidget>(&e, kDestHost)->isEnabled());
    QVERIFY(!byId<QWidget>(&e, kHttps)->isEnabled());
    QVERIFY(!byId<QWidget>(&e, kProxy)->isEnabled());
    QCOMPARE(byId<QComboBox>(&e, kCert)->count(), 0);  // the folder's files are for rules only
    QCOMPARE(items(byId<QComboBox>(&e, kMask)),
             QStringList({"0.0.0.0", "255.0.0.0", "255.255.0.0", "255.255.255.0", "255.255.255.255",
                          "A net", "All", "B net", "C net", "Local Machine Only"}));
    const QStringList sources = items(byId<QComboBox>(&e, kSourceHost));
    for (const QString& host : {QString("localhost"), QString("0.0.0.0"), QString("alpha"),
                                QString("beta"), QSysInfo::machineHostName()}) {
      QVERIFY2(sources.contains(host), qPrintable(host));
    }
    QStringList sorted = sources;
    std::sort(sorted.begin(), sorted.end(), [](const QString& a, const QString& b) {
      return a.compare(b, Qt::CaseInsensitive) < 0;
    });
    QCOMPARE(sources, sorted);
    QVERIFY(!items(byId<QComboBox>(&e, kDestHost)).contains("0.0.0.0"));
    QStringList ports = {"443", "8080", "socks"};
    for (uint16_t port : {443, 8080}) {
      const std::string name = platform::tcpServiceName(port);
      if (!name.empty()) ports << QString::fromStdString(name);
    }
    for (const QString& port : ports) {
      QVERIFY2(items(byId<QComboBox>(&e, kListenPort)).contains(port), qPrintable(port));
      QVERIFY2(items(byId<QComboBox>(&e, kDestPort)).contains(port), qPrintable(port));
    }
  }

  void anExistingRuleFillsEveryControl() {
    config::RuleRef rule(ui_test::makeRule("7200", "", "", "", "", config::kRoleServer));
    rule->peerAddr = platform::IpAddress::ipv4(htonl(0x0A000000u));  // no text: shown dotted
    rule->peerMask = platform::IpAddress::ipv4(htonl(0xFF000000u));
    rule->connectType = config::kConnectSocks;
    rule->ifAddrStr = "127.0.0.1";
    rule->sslCert = "server.pem";
    rule->sslKey = "server.key";
    rule->verifyClient = 1;
    rule->disabled = 1;
    rule->httpsProxyServer = "proxy.example";
    rule->httpsProxyPort = "3128";
    rule->httpsProxyUser = "user";
    rule->httpsProxyUserPass = "pass";
    RuleEditor e(nullptr, rule.get(), folder());
    QCOMPARE(textId(&e, kListenPort), QString("7200"));
    QCOMPARE(textId(&e, kSourceHost), QString("10.0.0.0"));
    QCOMPARE(textId(&e, kMask), QString("255.0.0.0"));
    QCOMPARE(textId(&e, kInterface), QString("127.0.0.1"));
    QVERIFY(byId<QRadioButton>(&e, kSocks)->isChecked());
    QVERIFY(!byId<QWidget>(&e, kDestHost)->isEnabled() &&
            !byId<QWidget>(&e, kDestPort)->isEnabled());
    QVERIFY(byId<QRadioButton>(&e, kServer)->isChecked());
    QVERIFY(byId<QAbstractButton>(&e, 1037)->isChecked() &&
            !byId<QAbstractButton>(&e, 1049)->isChecked());
    QVERIFY(byId<QAbstractButton>(&e, kDisable)->isChecked());
    QCOMPARE(textId(&e, kProxyHost), QString("proxy.example"));
    QCOMPARE(textId(&e, kProxyPort), QString("3128"));
    QCOMPARE(textId(&e, kUser), QString("user"));
    QCOMPARE(textId(&e, kPassword), QString("pass"));
    QCOMPARE(textId(&e, kCert), QString("server.pem"));
    QCOMPARE(textId(&e, kSoft), subject);
    const QStringList offered = items(byId<QComboBox>(&e, kKey));
    for (const char* name : {"ca.pem", "client.pem", "server.pem", "server.der", "server.p12",
                             "server.key", "notes.pem"}) {
      QVERIFY2(offered.contains(name), name);
    }
    QVERIFY(!offered.contains("folder.pem"));

    // OK: a new rule; the listed name stands for the program folder's file.
    config::RuleRef built = pressOk(&e);
    QVERIFY(built);
    QVERIFY(built.get() != rule.get());
    QCOMPARE(built->sslCert, pki_.file("server.pem"));
    QVERIFY(built->destAddr == platform::IpAddress::ipv4(0xFFFFFFFFu));
    QCOMPARE(rule->sslCert, std::string("server.pem"));
  }

  void modesAndRolesWithoutTheirOwnRadioStayAsTheRuleHasThem() {
    config::RuleRef rule(ui_test::makeRule("7300", "All", "All", "", "", config::kRoleProxy));
    rule->connectType = config::kConnectHttp;
    rule->httpProxyDropTime = 30;
    RuleEditor e(nullptr, rule.get(), folder());
    QVERIFY(byId<QRadioButton>(&e, kHttps)->isChecked() && !byId<QWidget>(&e, kHttps)->isEnabled());
    QVERIFY(byId<QRadioButton>(&e, kProxy)->isChecked() && !byId<QWidget>(&e, kProxy)->isEnabled());
    QVERIFY(!byId<QWidget>(&e, kDestHost)->isEnabled());
    config::RuleRef built = pressOk(&e);
    QVERIFY(built);
    QCOMPARE(built->connectType, uint32_t{config::kConnectHttp});
    QCOMPARE(built->sslRole, uint32_t{config::kRoleProxy});
    QCOMPARE(built->httpProxyDropTime, 30u);  // no control for it: kept
    QCOMPARE(built->certType, 1u);
  }

  void okBuildsTheRuleTheControlsDescribe() {
    RuleEditor e(nullptr, nullptr, folder());
    fillValid(&e);
    setTextId(&e, kCert, file("server.pem"));
    setTextId(&e, kKey, file("server.key"));
    config::RuleRef plug = pressOk(&e);
    QVERIFY(plug);
    QCOMPARE(plug->references, 1u);
    QCOMPARE(plug->sslRole, uint32_t{config::kRolePlug});
    QVERIFY(plug->sslCert.empty() && plug->sslKey.empty());  // a plug gateway has none
    QCOMPARE(ntohs(plug->peerPort), 7100);
    QVERIFY(plug->destAddr == platform::IpAddress::ipv4(htonl(0x7F000001u)));
    QCOMPARE(ntohs(plug->destPort), 9);

    byId<QRadioButton>(&e, kClient)->setChecked(true);
    byId<QRadioButton>(&e, kSocks)->setChecked(true);
    QVERIFY(!byId<QWidget>(&e, kDestHost)->isEnabled());
    config::RuleRef socks = pressOk(&e);
    QVERIFY(socks);
    QCOMPARE(socks->connectType, uint32_t{config::kConnectSocks});
    QVERIFY(socks->destAddr == platform::IpAddress::ipv4(0xFFFFFFFFu));
    QVERIFY(socks->destAddrStr.empty() && socks->destPortStr.empty());
    QCOMPARE(socks->destPort, uint16_t{0});
    QCOMPARE(socks->sslCert, pki_.file("server.pem"));
    QCOMPARE(socks->sslKey, pki_.file("server.key"));
  }

  void incompleteOrUnusableRulesAreRefusedAndTheInputStays() {
    const std::string atLimit(259, 'h');
    const struct {
      int id;
      QString text;
    } refused[] = {
        {kListenPort, ""},
        {kListenPort, "no-such-service-bkl"},
        {kListenPort, "17080abc"},
        {kListenPort, "0"},
        {kMask, ""},
        {kSourceHost, ""},
        {kDestHost, ""},
        {kDestPort, "no-such-service-bkl"},
        {kSourceHost, QString::fromStdString(atLimit + "h")},
        {kDestHost, QString(600, 'd')},
        {kCert, QString::fromStdString("/" + atLimit)},
        {kSourceHost, QString::fromUtf8("b\xc3\xbc"
                                        "cher.example")},
        {kMask, "64"},  // a prefix length with the form's IPv4 host
    };
    for (const auto& c : refused) {
      RuleEditor e(nullptr, nullptr, folder());
      fillValid(&e);
      if (c.id == kCert) byId<QRadioButton>(&e, kServer)->setChecked(true);
      setTextId(&e, c.id, c.text);
      const int boxes = ui::MessageBox::count();
      QVERIFY2(!pressOk(&e), qPrintable(c.text));
      QCOMPARE(ui::MessageBox::count(), boxes + 1);
      QCOMPARE(ui::MessageBox::lastTitle(), QString("Brisklane 4"));
      QCOMPARE(ui::MessageBox::lastText(), QString("Invalid rule entered"));
      // The box says why, as the log does.
      const QString why = ui::MessageBox::lastInformative();
      QVERIFY2(why.startsWith("the ") || why.startsWith("a Direct rule"), qPrintable(why));
      QVERIFY(e.result() != QDialog::Accepted);
      QCOMPARE(textId(&e, c.id), c.text);
    }
    RuleEditor e(nullptr, nullptr, folder());
    fillValid(&e);
    setTextId(&e, kSourceHost, QString::fromStdString(atLimit));
    QVERIFY(pressOk(&e));
    // Typing or pasting past the limit is refused whole.
    QLineEdit* edit = byId<QComboBox>(&e, kDestHost)->lineEdit();
    edit->clear();
    edit->insert(QString(260, 'x'));
    QCOMPARE(edit->text(), QString());
  }

  void droppedFilesMustBeExactlyOneCertificateFile() {
    RuleEditor e(nullptr, nullptr, folder());
    setTextId(&e, kCert, "before.pem");
    const QList<QList<QUrl>> wrong = {
        {QUrl::fromLocalFile(file("server.pem")), QUrl::fromLocalFile(file("ca.pem"))},
        {QUrl::fromLocalFile(file("folder.pem"))},
        {}};
    for (const QList<QUrl>& urls : wrong) {
      const int boxes = ui::MessageBox::count();
      ui::MessageBox::setNextAnswer(QMessageBox::Ok);
      e.dropFiles(urls);
      QCOMPARE(ui::MessageBox::count(), boxes + 1);
      QCOMPARE(ui::MessageBox::lastTitle(), QString("Drop Files"));
      QCOMPARE(ui::MessageBox::lastText(), QString("You must drop exactly one certificate file"));
      QCOMPARE(textId(&e, kCert), QString("before.pem"));
    }
    e.dropFiles({QUrl::fromLocalFile(file("server.der"))});
    QCOMPARE(textId(&e, kCert), file("server.der"));
    QCOMPARE(textId(&e, kSoft), subject);
  }

  void browsingPutsTheChosenFileIntoCertOrKey() {
    RuleEditor e(nullptr, nullptr, folder());
    QString certTitle;
    QString keyTitle;
    QStringList filters;
    {
      ModalScript script;
      script.then(ui_test::pickFile(file("server.pem"), &certTitle, &filters));
      script.then(ui_test::pickFile(file("server.key"), &keyTitle));
      QVERIFY(clickId(&e, 1042));
      QVERIFY(clickId(&e, 1043));
      QVERIFY(script.finished());
    }
    QCOMPARE(certTitle, QString("Select Certificate"));
    QCOMPARE(keyTitle, QString("Select Keyfile"));
    QCOMPARE(filters.size(), 5);
    QCOMPARE(ui::certificateFilterNames(),
             QStringList({"All Cert formats (*.pem,*.p12,*.der)", "PEM Files (*.pem)",
                          "PKCS12 Files (*.p12)", "ASN1 (DER) Files (*.der)", "All Files (*.*)"}));
    QCOMPARE(textId(&e, kCert), file("server.pem"));
    QCOMPARE(textId(&e, kSoft), subject);
    QCOMPARE(textId(&e, kKey), file("server.key"));

    // View opens the certificate viewer on the chosen file.
    bool loaded = false;
    ModalScript view;
    view.on<ui::CertificateViewer>([&loaded](ui::CertificateViewer* d) { loaded = d->loaded(); });
    QVERIFY(clickId(&e, 1044));
    QVERIFY(view.finished());
    QVERIFY(loaded);
  }

  void theSoftFieldReadsPemDerAndPkcs12AndNothingElse() {
    QCOMPARE(ui::certificateSubject(nullptr, file("server.pem")), subject);
    QCOMPARE(ui::certificateSubject(nullptr, file("server.der")), subject);
    // PKCS#12 asks for its password (cancelled here: nothing read), or uses the remembered one;
    // nothing else is worth a question.
    {
      ModalScript prompt;
      prompt.then([](QDialog*) { return static_cast<int>(QDialog::Rejected); });
      QCOMPARE(ui::certificateSubject(nullptr, file("server.p12")), QString(ui::kNoCertDetected));
      QVERIFY(prompt.finished());
      QCOMPARE(prompt.seen(), std::vector<QString>{"Enter Password"});
    }
    const ui::PassphraseMemory remembered{[] { return std::string("pw"); }, nullptr};
    ModalScript none;
    QCOMPARE(ui::certificateSubject(nullptr, file("server.p12"), remembered), subject);
    for (const char* name : {"server.key", "notes.pem", "folder.pem", "pipe.pem", "missing.pem"}) {
      QCOMPARE(ui::certificateSubject(nullptr, file(name)), QString(ui::kNoCertDetected));
    }
    QVERIFY(none.finished());
  }

  void anEmptyMaskIsFilledFromTheHostWhenItGetsTheFocus() {
    const std::pair<const char*, const char*> masks[] = {
        {"10.0.0.0", "255.0.0.0"},
        {"10.1.0.0", "255.255.255.255"},
        {"172.16.0.0", "255.255.0.0"},
        {"172.16.1.0", "255.255.255.255"},
        {"192.168.1.0", "255.255.255.0"},
        {"192.168.1.7", "255.255.255.255"},
        {"224.0.0.1", "224.0.0.1"},
        {"010.000.000.000", "255.0.0.0"},
        {"host.example", "255.255.255.255"},
        {"1.2.3", "255.255.255.255"},
        {"::1", "128"},
        {"2001:db8::", "128"},
        {"[2001:db8::5]", "128"},
        {"::ffff:10.0.0.0", "255.255.255.255"},
    };
    for (const auto& [host, mask] : masks) QCOMPARE(ui::maskForHost(host), std::string(mask));

    RuleEditor e(nullptr, nullptr, folder());
    e.show();
    e.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&e));
    setTextId(&e, kSourceHost, "192.168.7.0");
    QComboBox* maskBox = byId<QComboBox>(&e, kMask);
    QLineEdit* mask = maskBox->lineEdit();
    maskBox->setFocus();
    QTRY_COMPARE(mask->text(), QString("255.255.255.0"));
    QTRY_COMPARE(mask->selectedText(), QString("255.255.255.0"));
    byId<QWidget>(&e, kSourceHost)->setFocus();
    setTextId(&e, kSourceHost, "10.0.0.0");
    maskBox->setFocus();
    QTRY_VERIFY(maskBox->hasFocus());
    QCOMPARE(mask->text(), QString("255.255.255.0"));  // a mask already there stays
  }

  void ipv6TextsAreTakenAsTypedAndTheirMasksChecked() {
    RuleEditor e(nullptr, nullptr, folder());
    fillValid(&e);
    setTextId(&e, kSourceHost, "2001:db8:1:2::");
    setTextId(&e, kMask, "255.255.255.0");
    const int boxes = ui::MessageBox::count();
    QVERIFY(!pressOk(&e));
    QCOMPARE(ui::MessageBox::count(), boxes + 1);
    QCOMPARE(ui::MessageBox::lastInformative(),
             QString("the Mask <255.255.255.0> does not fit the source Host: an IPv6 source takes "
                     "a prefix length from 0 to 128 as its mask"));
    setTextId(&e, kMask, "/64");
    setTextId(&e, kDestHost, "[::1]");
    config::RuleRef built = pressOk(&e);
    QVERIFY(built);
    QCOMPARE(built->peerAddrStr, std::string("2001:db8:1:2::"));
    QCOMPARE(built->peerMaskStr, std::string("/64"));
    QCOMPARE(built->destAddrStr, std::string("[::1]"));
    QVERIFY(built->destAddr.v6);
    char line[512];
    config::describeRule(line, sizeof line, built.get());
    QCOMPARE(QString(line),
             QString(" 7100 2001:db8:1:2:: /64 as plug to [::1] 9 on all interfaces  "));
  }

  void proxyHeaderControlsCarryTheRuleValuesAndKeepOneWithoutAnEntry() {
    config::RuleRef rule(ui_test::makeRule("7400", "All", "All", "127.0.0.1", "9"));
    rule->proxyProtocolAccept = 1;
    rule->proxyProtocolSend = 2;
    {
      RuleEditor e(nullptr, rule.get(), folder());
      auto* accept = byId<QCheckBox>(&e, kProxyAccept);
      auto* send = byId<QComboBox>(&e, kProxySend);
      QCOMPARE(accept->text(), QString("Accept &PROXY header"));
      QVERIFY(!send->isEditable());
      QCOMPARE(items(send), QStringList({"None", "Version 1", "Version 2"}));
      auto* label = e.findChild<QLabel*>("proxySendLabel");
      QVERIFY(label != nullptr && label->buddy() == send);
      QCOMPARE(label->text(), QString("Send P&ROXY header"));
      QVERIFY(accept->isChecked());
      QCOMPARE(send->currentIndex(), 2);
      accept->setChecked(false);
      send->setCurrentIndex(1);
      config::RuleRef built = pressOk(&e);
      QVERIFY(built);
      QCOMPARE(built->proxyProtocolAccept, 0u);
      QCOMPARE(built->proxyProtocolSend, 1u);
      QCOMPARE(rule->proxyProtocolSend, 2u);
    }
    // A value the relay refuses has no entry: none is shown, and OK keeps it until one is chosen.
    rule->proxyProtocolSend = 3;
    RuleEditor e(nullptr, rule.get(), folder());
    auto* send = byId<QComboBox>(&e, kProxySend);
    QCOMPARE(send->currentIndex(), -1);
    config::RuleRef kept = pressOk(&e);
    QVERIFY(kept);
    QCOMPARE(kept->proxyProtocolSend, 3u);
    QCOMPARE(kept->proxyProtocolAccept, 1u);
    send->setCurrentIndex(0);
    config::RuleRef chosen = pressOk(&e);
    QVERIFY(chosen);
    QCOMPARE(chosen->proxyProtocolSend, 0u);

    RuleEditor fresh(nullptr, nullptr, folder());
    fillValid(&fresh);
    QCOMPARE(byId<QComboBox>(&fresh, kProxySend)->currentText(), QString("None"));
    config::RuleRef plain = pressOk(&fresh);
    QVERIFY(plain);
    QCOMPARE(plain->proxyProtocolAccept, 0u);
    QCOMPARE(plain->proxyProtocolSend, 0u);
  }

  void advancedShowsTheRightPartAndBasicHidesItAgain() {
    RuleEditor e(nullptr, nullptr, folder());
    e.show();
    QVERIFY(QTest::qWaitForWindowExposed(&e));
    const int basic = e.width();
    QVERIFY(clickId(&e, 10));
    QVERIFY(e.advancedShown());
    QTRY_VERIFY2(e.width() > basic + 150, qPrintable(QString("%1 %2").arg(basic).arg(e.width())));
    for (int id : {int(kDisable), int(kInterface), 1039, int(kProxyHost), int(kProxyPort), 1040,
                   int(kUser), int(kPassword), int(kProxyAccept), int(kProxySend)}) {
      QVERIFY(byId<QWidget>(&e, id)->isVisible());
    }
    QVERIFY(clickId(&e, 10));
    QTRY_COMPARE(e.width(), basic);
    QVERIFY(!byId<QWidget>(&e, kDisable)->isVisible());
  }
};

QTEST_MAIN(RuleEditorTest)
#include "rule_editor_test.moc"
