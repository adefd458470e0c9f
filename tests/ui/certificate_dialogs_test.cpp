// The pass-phrase prompt and the client-certificate selection, driven through the modal hook and
// the message-box hook, on files made by the openssl tool: what they show, what they store, how
// they take wrong passwords (the growing wait, through the injected pause and once on the real
// clock), and the bad files a person may choose. Good files are read in relay_questions_test.
#include <QPushButton>
#include <QTimer>
#include <QtTest>
#include <filesystem>
#include <functional>
#include <vector>

#include "cert_test_support.h"
#include "config/settings.h"
#include "platform/registry.h"
#include "relay/certificate_files.h"
#include "ui/client_certificate_dialog.h"
#include "ui/message_box.h"
#include "ui/message_dialog.h"
#include "ui/modal.h"
#include "ui/passphrase_dialog.h"

using namespace cert_test;

namespace {

void click(QDialog* dialog, const char* button) {
  dialog->findChild<QPushButton*>(button)->click();
}

std::string storedChoice() {
  return relay::storedClientCertificate(platform::Hive::kCurrentUser, true);
}

}  // namespace

class CertificateDialogsTest : public QObject {
  Q_OBJECT

 private:
  TempDir dir_;
  TempDir store_;
  std::string certs_;
  // What the hook does with the next selection dialog; load-failure boxes are read and closed.
  std::function<int(ui::ClientCertificateDialog*)> onSelection_;
  std::function<int(ui::PassphraseDialog*)> onPrompt_;
  QStringList failures_;
  std::vector<int> pauses_;
  QStringList problems_;    // what a hook found wrong (hooks cannot use QVERIFY)
  std::string remembered_;  // the remembered pass phrase the window's readers use

  void expect(bool good, const QString& what) {
    if (!good) problems_.append(what);
  }
  void expectTitle(QDialog* d, const QString& title) {
    expect(d->windowTitle() == title, "title " + d->windowTitle());
  }

  bool select(const std::string& name, const std::string& subject = "/CN=server") {
    relay::storeClientCertificate(platform::Hive::kCurrentUser, certs_ + "/" + name);
    relay::ClientCredentials out;
    const bool ok = ui::askClientCertificate(nullptr, {certs_}, subject, &out);
    return ok && out.certificate != nullptr && out.key != nullptr;
  }

  // OK with this password; the wrong-password box (if any) is answered.
  static void tryPassword(ui::ClientCertificateDialog* d, const QString& password) {
    ui::MessageBox::setNextAnswer(QMessageBox::Ok);
    d->setPassword(password);
    click(d, "ok");
  }

 private slots:
  void initTestCase() {
    QVERIFY(makeCertificateFiles(dir_.path()));
    certs_ = dir_.file("certs");
    platform::setHiveDirectory(store_.path());
    ui::ClientCertificateDialog::setPause([this](int ms) { pauses_.push_back(ms); });
    ui::setModalHook([this](QDialog* dialog) {
      if (auto* box = qobject_cast<ui::MessageDialog*>(dialog);
          box != nullptr && box->kind() == ui::MessageDialog::Kind::kLoadFailure) {
        failures_.append(box->text());
        return int(QDialog::Rejected);
      }
      if (auto* d = qobject_cast<ui::ClientCertificateDialog*>(dialog)) return onSelection_(d);
      if (auto* d = qobject_cast<ui::PassphraseDialog*>(dialog)) return onPrompt_(d);
      return int(QDialog::Rejected);
    });
  }

  void init() {
    pauses_.clear();
    failures_.clear();
    problems_.clear();
    remembered_.clear();
  }

  void cleanup() { QVERIFY2(problems_.isEmpty(), qPrintable(problems_.join("; "))); }

  void promptAsksUntilAPhraseIsTyped() {
    int shown = 0;
    onPrompt_ = [&](ui::PassphraseDialog* d) {
      ++shown;
      expectTitle(d, "Enter Password");
      expect(d->findChild<QPushButton*>("ok")->text() == "&OK", "OK button");
      expect(d->findChild<QPushButton*>("cancel")->text() == "&Cancel", "Cancel button");
      if (shown == 1) {
        expect(d->prompt() == "Enter Private Key Password", "default prompt " + d->prompt());
        click(d, "ok");  // an empty field: nothing happens
        expect(d->result() != QDialog::Accepted, "OK on an empty field closed the prompt");
        d->setPassphrase(QString(200, 'x'));
        expect(d->passphrase().size() == 127, "more than 127 characters taken");
        d->setPassphrase("typed phrase");
        click(d, "ok");
        return d->result();
      }
      expect(d->prompt() == "Enter PKCS12 Certificate password", "prompt " + d->prompt());
      d->setPassphrase("never taken");
      click(d, "cancel");
      return d->result();
    };
    QCOMPARE(ui::askPassphraseDialog(nullptr, ""), std::string("typed phrase"));
    QCOMPARE(ui::askPassphraseDialog(nullptr, ui::kPkcs12Prompt), std::string());
    QCOMPARE(shown, 2);
  }

  // The window thread's PKCS#12 reader asks only for files that hold PKCS#12 data, and remembers
  // a typed password only once it has opened the file.
  void pkcs12ReaderOnTheWindowThread() {
    QStringList typed = {"wrong", kP12Password};
    int shown = 0;
    onPrompt_ = [&](ui::PassphraseDialog* d) {
      ++shown;
      if (d->prompt() != "Enter PKCS12 Certificate password") return int(QDialog::Rejected);
      d->setPassphrase(typed.takeFirst());
      click(d, "ok");
      return d->result();
    };
    const ui::PassphraseMemory memory{[this] { return remembered_; },
                                      [this](const std::string& p) { remembered_ = p; }};
    QVERIFY(ui::pkcs12CertificateHere(nullptr, dir_.file("viewer.pem"), memory) == nullptr);
    QCOMPARE(shown, 0);
    QVERIFY(ui::pkcs12CertificateHere(nullptr, dir_.file("viewer.p12"), memory) == nullptr);
    QCOMPARE(remembered_, std::string());
    QVERIFY(ui::pkcs12CertificateHere(nullptr, dir_.file("viewer.p12"), memory) != nullptr);
    QCOMPARE(remembered_, std::string(kP12Password));
    QVERIFY(ui::pkcs12CertificateHere(nullptr, dir_.file("viewer.p12"), memory) != nullptr);
    QCOMPARE(shown, 2);  // the remembered phrase served the third reading
  }

  void selectionListsShowsAndStoresAtOnce() {
    TempDir folder;
    for (const char* name : {"b.pem", "a.p12", "C.pem", "notes.txt", "d.p12.bak"}) {
      writeFile(folder.file(name), "x");
    }
    std::filesystem::create_directory(folder.file("folder.pem"));
    relay::storeClientCertificate(platform::Hive::kCurrentUser, folder.file("b.pem"));
    onSelection_ = [&](ui::ClientCertificateDialog* d) {
      expectTitle(d, "Select Client Certificate");
      expect(d->serverName() == "/O=Brisklane test/CN=127.0.0.1", "server " + d->serverName());
      expect(d->entries() == QStringList({"a.p12", "b.pem", "C.pem"}), d->entries().join(","));
      expect(d->chosen() == "b.pem", "chosen " + d->chosen());
      d->choose("C.pem");
      expect(storedChoice() == folder.file("C.pem"), "not stored at once");
      click(d, "cancel");
      return d->result();
    };
    relay::ClientCredentials out;
    QVERIFY(!ui::askClientCertificate(nullptr, {folder.path()}, "/O=Brisklane test/CN=127.0.0.1",
                                      &out));
    QCOMPARE(storedChoice(), folder.file("C.pem"));  // Cancel keeps the choice

    // The user's own certificate folder is listed beside the program's: a name the first has
    // too is shown by its path, and the choice is the chosen file's.
    TempDir mine;
    for (const char* name : {"mine.pem", "b.pem"}) writeFile(mine.file(name), "x");
    onSelection_ = [&](ui::ClientCertificateDialog* d) {
      const QStringList expected = {QString::fromStdString(mine.file("b.pem")), "a.p12", "b.pem",
                                    "C.pem", "mine.pem"};
      expect(d->entries() == expected, d->entries().join(","));
      expect(d->chosen() == "C.pem", "chosen " + d->chosen());
      d->choose("mine.pem");
      expect(storedChoice() == mine.file("mine.pem"), "not the user folder's file");
      d->choose(QString::fromStdString(mine.file("b.pem")));
      expect(storedChoice() == mine.file("b.pem"), "not the second b.pem");
      click(d, "cancel");
      return d->result();
    };
    QVERIFY(!ui::askClientCertificate(nullptr, {folder.path(), mine.path()}, "", &out));

    // The server's subject as a connection thread gives it may hold anything.
    onSelection_ = [&](ui::ClientCertificateDialog* d) {
      expect(d->serverName().size() >= 1000, "long subject cut");
      return int(QDialog::Rejected);
    };
    QVERIFY(!ui::askClientCertificate(nullptr, {folder.path()},
                                      "/CN=" + std::string(1000, 'n') + "\\xFF\xFF", &out));

    relay::storeClientCertificate(platform::Hive::kCurrentUser, folder.file("gone.pem"));
    onSelection_ = [&](ui::ClientCertificateDialog* d) {
      expect(d->chosen().isEmpty(), "a vanished choice is selected");
      return int(QDialog::Rejected);
    };
    QVERIFY(!ui::askClientCertificate(nullptr, {folder.path()}, "", &out));
  }

  void wrongPasswordsWaitLongerEachTime() {
    const int boxes = ui::MessageBox::count();
    onSelection_ = [this](ui::ClientCertificateDialog* d) {
      for (const char* wrong : {"one", "two", "three"}) {
        tryPassword(d, wrong);
        expect(d->result() != QDialog::Accepted, "a wrong password was taken");
      }
      tryPassword(d, kPemPassword);
      return d->result();
    };
    QVERIFY(select("client-locked.pem"));
    QCOMPARE(pauses_, std::vector<int>({1000, 2000, 4000}));
    QCOMPARE(ui::MessageBox::count() - boxes, 3);
    QCOMPARE(ui::MessageBox::lastTitle(), QString("Error Message"));
    QCOMPARE(ui::MessageBox::lastText(),
             QString("you have entered the wrong password. try again."));
    QCOMPARE(ui::ClientCertificateDialog::wrongPasswords(), 0);

    // A PKCS#12 file waits the shortest time after each wrong password; with no password at all
    // it is not tried as PKCS#12, and the count goes on growing.
    pauses_.clear();
    onSelection_ = [](ui::ClientCertificateDialog* d) {
      for (const char* wrong : {"one", "two", ""}) tryPassword(d, wrong);
      click(d, "cancel");
      return d->result();
    };
    QVERIFY(!select("client.p12"));
    QCOMPARE(pauses_, std::vector<int>({1000, 1000, 2000}));

    QCOMPARE(ui::ClientCertificateDialog::waitMillis(4), 16000);
    QCOMPARE(ui::ClientCertificateDialog::waitMillis(5), 30000);
    QCOMPARE(ui::ClientCertificateDialog::waitMillis(5000), 30000);
  }

  void badFilesGiveTheirMessages() {
    // The file vanishes between the listing and OK: the load-failure box, and the dialog stays.
    const std::string vanishing = certs_ + "/vanishing.pem";
    writeFile(vanishing, readFile(certs_ + "/client-plain.pem"));
    onSelection_ = [&](ui::ClientCertificateDialog* d) {
      std::filesystem::remove(vanishing);
      click(d, "ok");
      expect(d->result() != QDialog::Accepted, "a vanished file was loaded");
      click(d, "cancel");
      return d->result();
    };
    QVERIFY(!select("vanishing.pem"));
    QCOMPARE(failures_.size(), 1);
    QVERIFY2(failures_[0].contains("No such file or directory"), qPrintable(failures_[0]));

    // A truncated PEM and garbage are wrong-password cases, never a crash.
    const std::string plain = readFile(certs_ + "/client-plain.pem");
    writeFile(certs_ + "/truncated.pem", plain.substr(0, plain.size() / 3));
    writeFile(certs_ + "/garbage.p12", std::string(3000, '\x30'));
    const int boxes = ui::MessageBox::count();
    onSelection_ = [](ui::ClientCertificateDialog* d) {
      tryPassword(d, "");
      tryPassword(d, kP12Password);
      click(d, "cancel");
      return d->result();
    };
    QVERIFY(!select("truncated.pem"));
    QVERIFY(!select("garbage.p12"));
    QCOMPARE(ui::MessageBox::count() - boxes, 4);
    QCOMPARE(failures_.size(), 1);

    // Nothing stored: OK does nothing at all.
    relay::storeClientCertificate(platform::Hive::kCurrentUser, "");
    onSelection_ = [](ui::ClientCertificateDialog* d) {
      click(d, "ok");
      click(d, "cancel");
      return d->result();
    };
    relay::ClientCredentials out;
    QVERIFY(!ui::askClientCertificate(nullptr, {certs_}, "", &out));
    QCOMPARE(ui::MessageBox::count() - boxes, 4);
  }

  // On the real clock: the window thread runs during the wait, and Cancel ends it at once.
  void realWaitKeepsTheWindowRunning() {
    ui::ClientCertificateDialog::setPause(nullptr);
    int ticks = 0;
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, this, [&] { ++ticks; });
    ticker.start(10);
    QElapsedTimer clock;
    onSelection_ = [&](ui::ClientCertificateDialog* d) {
      QTimer::singleShot(200, d, [d] { click(d, "cancel"); });
      clock.start();
      tryPassword(d, "wrong");
      return d->result();
    };
    QVERIFY(!select("client-locked.pem"));
    QVERIFY2(clock.elapsed() < 900, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(ticks >= 5);
    ui::ClientCertificateDialog::setPause([this](int ms) { pauses_.push_back(ms); });
  }
};

QTEST_MAIN(CertificateDialogsTest)
#include "certificate_dialogs_test.moc"
