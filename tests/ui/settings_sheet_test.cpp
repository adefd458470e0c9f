// The settings sheet on a record of its own: its pages, every control bound to its field, the
// cipher list and its check, the pages that write and the ones that do not, the Debug box, the
// thread-reuse question, the browse dialogs and the log font.
#include "ui/settings_sheet.h"

#include <QFontDatabase>
#include <QFontDialog>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>

#include "config/cipher_names.h"
#include "config/settings.h"
#include "platform/registry.h"
#include "ui/message_box.h"
#include "ui/message_dialog.h"
#include "ui/stored_values.h"
#include "ui_test_support.h"

using config::Settings;
using config::SettingText;
using config::SettingWord;
using ui::SettingsSheet;
using ui_test::byId;
using ui_test::clickId;
using ui_test::ModalScript;

namespace {

struct WordControl {
  SettingsSheet::Page page;
  int id;
  SettingWord Settings::*field;
};
struct TextControl {
  SettingsSheet::Page page;
  int id;
  SettingText Settings::*field;
};

const WordControl kChecks[] = {
    {SettingsSheet::kSsl, 1093, &Settings::sslUseSystemRegistry},
    {SettingsSheet::kSsl, 1060, &Settings::crlCheckEnable},
    {SettingsSheet::kSsl, 1057, &Settings::sslSavePasswd},
    {SettingsSheet::kSsl, 1058, &Settings::sslEnableSsl2},
    {SettingsSheet::kSsl, 1059, &Settings::sslEnableSsl3},
    {SettingsSheet::kSsl, 1068, &Settings::sslEnableTls1},
    {SettingsSheet::kFilter, 1061, &Settings::filterEnable},
    {SettingsSheet::kLog, 1057, &Settings::logErr},
    {SettingsSheet::kLog, 1058, &Settings::logWarn},
    {SettingsSheet::kLog, 1059, &Settings::logInfo},
    {SettingsSheet::kLog, 1056, &Settings::logNolog},
    {SettingsSheet::kLog, 1060, &Settings::verbose},
    {SettingsSheet::kLog, 1061, &Settings::logDetailed},
    {SettingsSheet::kSocks, 1067, &Settings::socksEnable},
    {SettingsSheet::kMisc, 1062, &Settings::tcpNodelay},
    {SettingsSheet::kMisc, 1063, &Settings::tcpLinger},
    {SettingsSheet::kMisc, 1065, &Settings::perfMonEnable},
};
const TextControl kTexts[] = {
    {SettingsSheet::kSsl, 1034, &Settings::sslCaCert},
    {SettingsSheet::kSsl, 1035, &Settings::sslCrlLists},
    {SettingsSheet::kSsl, 1030, &Settings::sslPasswd},
    {SettingsSheet::kFilter, 1035, &Settings::filterHave},
    {SettingsSheet::kFilter, 1036, &Settings::filterHavenot},
    {SettingsSheet::kSocks, 1028, &Settings::socksServer},
    {SettingsSheet::kSocks, 1010, &Settings::socksPort},
};

QWidget* page(SettingsSheet* sheet, SettingsSheet::Page p) {
  return sheet->findChild<QTabWidget*>()->widget(p);
}
QAbstractButton* box(SettingsSheet* sheet, SettingsSheet::Page p, int id) {
  return byId<QAbstractButton>(page(sheet, p), id);
}
QLineEdit* edit(SettingsSheet* sheet, SettingsSheet::Page p, int id) {
  return byId<QLineEdit>(page(sheet, p), id);
}
QComboBox* cipherList(SettingsSheet* sheet) {
  return byId<QComboBox>(page(sheet, SettingsSheet::kSsl), 1038);
}
void showAllPages(SettingsSheet* sheet) {
  for (int p = 0; p < SettingsSheet::kPageCount; ++p) {
    sheet->showPage(static_cast<SettingsSheet::Page>(p));
  }
}

}  // namespace

class SettingsSheetTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<ui_test::TestStore> store_;
  Settings record_;
  QFont applied_;
  SettingsSheet::LogFont font() {
    return {[] { return QFont("Monospace", 9); }, [this](const QFont& f) { applied_ = f; }};
  }
  // The single ciphers a relay's context offers, as the sheet is given them.
  const std::vector<std::string> names_ = {"TLS_AES_256_GCM_SHA384", "ECDHE-RSA-AES128-GCM-SHA256",
                                           "Strong Only"};
  std::unique_ptr<SettingsSheet> sheet() {
    return std::make_unique<SettingsSheet>(nullptr, &record_, font(), "", names_);
  }

 private slots:
  void init() {
    store_ = std::make_unique<ui_test::TestStore>();
    record_ = Settings();
    record_.isNT = 1;
  }
  void cleanup() { store_.reset(); }

  void fivePagesInOrderAndNoApply() {
    auto s = sheet();
    QCOMPARE(s->windowTitle(), QString("Settings"));
    auto* tabs = s->findChild<QTabWidget*>();
    QStringList titles;
    for (int i = 0; i < tabs->count(); ++i) {
      titles << tabs->tabText(i);
      QCOMPARE(tabs->widget(i)->windowTitle(), QString("Brisklane Settings"));
    }
    QCOMPARE(titles, QStringList({"SSL", "Certificate Filter", "Log", "Socks", "Misc"}));
    QStringList buttons;
    for (QPushButton* b : s->findChildren<QPushButton*>()) {
      if (b->parentWidget() == s.get()) buttons << b->text();
    }
    QCOMPARE(buttons, QStringList({"OK", "Cancel", "Help"}));
    QVERIFY(s->pageShown(SettingsSheet::kSsl));
    QVERIFY(!s->pageShown(SettingsSheet::kLog));
    QVERIFY(!box(s.get(), SettingsSheet::kSsl, 1060)->isEnabled());  // CRL checking
  }

  void everyControlShowsAndStoresItsOwnField() {
    for (size_t i = 0; i < std::size(kChecks); ++i) record_.*kChecks[i].field = i % 2;
    for (const TextControl& t : kTexts) (record_.*t.field).set("was " + std::to_string(t.id));
    record_.logMax = 7;
    record_.tcpMaxConnections = 9000;
    auto s = sheet();
    showAllPages(s.get());
    for (size_t i = 0; i < std::size(kChecks); ++i) {
      QAbstractButton* b = box(s.get(), kChecks[i].page, kChecks[i].id);
      QVERIFY2(b != nullptr && b->isChecked() == (i % 2 == 1), qPrintable(QString::number(i)));
      b->setChecked(i % 2 == 0);
    }
    for (const TextControl& t : kTexts) {
      QLineEdit* e = edit(s.get(), t.page, t.id);
      QCOMPARE(e->text(), QString("was %1").arg(t.id));
      e->setText(QString("now %1").arg(t.id));
    }
    QCOMPARE(edit(s.get(), SettingsSheet::kLog, 1038)->text(), QString("7"));
    edit(s.get(), SettingsSheet::kLog, 1038)->setText("250");
    QCOMPARE(edit(s.get(), SettingsSheet::kMisc, 1069)->text(), QString("9000"));
    edit(s.get(), SettingsSheet::kMisc, 1069)->setText("0");
    QVERIFY(clickId(s.get(), 1));
    QCOMPARE(s->outcome(), SettingsSheet::Outcome::kConfirmed);
    for (size_t i = 0; i < std::size(kChecks); ++i) {
      QCOMPARE(uint32_t(record_.*kChecks[i].field), uint32_t(i % 2 == 0 ? 1 : 0));
    }
    for (const TextControl& t : kTexts) {
      QCOMPARE((record_.*t.field).get(), "now " + std::to_string(t.id));
    }
    QCOMPARE(uint32_t(record_.logMax), 250u);
    QCOMPARE(uint32_t(record_.tcpMaxConnections), 0u);
  }

  void cancelAndPagesNeverShownWriteNothing() {
    record_.debug = 1;
    record_.logErr = 0;
    record_.filterHave.set("keep");
    record_.sslCaCert.set("/etc/ca.pem");
    {
      auto s = sheet();
      edit(s.get(), SettingsSheet::kSsl, 1034)->clear();
      QVERIFY(clickId(s.get(), 2));
      QCOMPARE(s->outcome(), SettingsSheet::Outcome::kCancelled);
    }
    QCOMPARE(record_.sslCaCert.get(), std::string("/etc/ca.pem"));
    auto s = sheet();
    QVERIFY(clickId(s.get(), 1));
    QCOMPARE(uint32_t(record_.debug), 1u);
    QCOMPARE(uint32_t(record_.logErr), 0u);
    QCOMPARE(record_.filterHave.get(), std::string("keep"));
  }

  void theDebugBoxShowsBothSwitchesAndClearingItEndsBoth() {
    record_.debug = 1;
    {
      auto s = sheet();
      s->showPage(SettingsSheet::kLog);
      QVERIFY(box(s.get(), SettingsSheet::kLog, 1062)->isChecked());
      QVERIFY(clickId(s.get(), 1));
    }
    QCOMPARE(uint32_t(record_.debug), 1u);  // left checked: nothing the user saw changed
    QCOMPARE(uint32_t(record_.logDebug), 1u);
    auto s = sheet();
    s->showPage(SettingsSheet::kLog);
    box(s.get(), SettingsSheet::kLog, 1062)->setChecked(false);
    QVERIFY(clickId(s.get(), 1));
    QCOMPARE(uint32_t(record_.debug), 0u);
    QCOMPARE(uint32_t(record_.logDebug), 0u);
  }

  void logMaxIsASignedNumberAndZeroWhenItIsNone() {
    record_.logMax = static_cast<uint32_t>(-5);
    auto s = sheet();
    s->showPage(SettingsSheet::kLog);
    QLineEdit* max = edit(s.get(), SettingsSheet::kLog, 1038);
    QCOMPARE(max->text(), QString("-5"));
    max->clear();
    max->insert("12a");  // digits only
    QCOMPARE(max->text(), QString());
    max->setText("99999999999");
    QVERIFY(clickId(s.get(), 1));
    QCOMPARE(uint32_t(record_.logMax), 0u);
  }

  void cipherPresetsComeFirstAndAPresetIsStoredByName() {
    record_.sslCipher.set("Default");
    auto s = sheet();
    QComboBox* ciphers = cipherList(s.get());
    QCOMPARE(ciphers->currentText(), QString("Default"));
    // The presets the library can use, in the order of their table (it has no medium-strength
    // suite, so "Medium Only" would select nothing), then every offered entry is one OK takes.
    for (int i = 0; i < 7; ++i) {
      QCOMPARE(ciphers->itemText(i), QString(config::friendlyCipherTable[i].name));
    }
    QVERIFY(ciphers->findText("Medium Only (SSLv3)") < 0);
    // The context's names follow, each once: a name that is also a preset is not listed twice.
    QCOMPARE(ciphers->count(), 7 + 2);
    QCOMPARE(ciphers->itemText(7), QString::fromStdString(names_.front()));
    for (int i = 0; i < ciphers->count(); ++i) {
      QCOMPARE(ui::checkCipherText(ciphers->itemText(i).toStdString()), 0);
    }
    ciphers->setCurrentIndex(ciphers->findText("Strong Only"));
    QVERIFY(clickId(s.get(), 1));
    QCOMPARE(record_.sslCipher.get(), std::string("Strong Only"));
    QCOMPARE(config::cipherRuleFor(record_.sslCipher.get()),
             std::string("ALL:!ADH:+RSA:+HIGH:-LOW:-MEDIUM:-EXP"));
  }

  // The SSL library decides: what it refuses is told and not stored; TLS 1.3 suite names, rules
  // with "+" and mixes of both kinds are taken.
  void cipherTextsTheLibraryRefusesAreTold() {
    const int code = ui::kCipherRefused;
    for (const QString& text : {QString("ECDHE_RSA"), QString("NO-SUCH-CIPHER"),
                                QString("TLS_NO_SUCH_SUITE"), QString(200, 'A') + "+"}) {
      QCOMPARE(ui::checkCipherText(text.toStdString()), code);
      record_.sslCipher.set("Default");
      record_.sslCaCert.clear();
      auto s = sheet();
      cipherList(s.get())->setCurrentText(text);
      edit(s.get(), SettingsSheet::kSsl, 1034)->setText("/etc/ca.pem");
      QString shown;
      ModalScript script;
      script.on<ui::MessageDialog>([&shown](ui::MessageDialog* d) { shown = d->text(); });
      QVERIFY(clickId(s.get(), 1));
      QVERIFY(script.finished());
      const QString whole = QString("Error in cipher <%1> <%2>").arg(code).arg(text);
      QCOMPARE(shown, whole.left(127));
      QCOMPARE(record_.sslCipher.get(), std::string("Default"));
      QCOMPARE(record_.sslCaCert.get(), std::string("/etc/ca.pem"));  // the rest is stored
      QCOMPARE(s->result(), int(QDialog::Accepted));
    }
    for (const char* fine :
         {"Strong and Medium (SSLv3)", "ECDHE-RSA-AES256-GCM-SHA384", "TLS_AES_256_GCM_SHA384",
          "ALL:+RSA", "ALL;+RSA", "TLS_CHACHA20_POLY1305_SHA256:ECDHE-RSA-AES128-GCM-SHA256"}) {
      QCOMPARE(ui::checkCipherText(fine), 0);
      record_.sslCipher.clear();
      auto s = sheet();
      cipherList(s.get())->setCurrentText(fine);
      ModalScript none;
      QVERIFY(clickId(s.get(), 1));
      QVERIFY(none.finished());
      QCOMPARE(record_.sslCipher.get(), std::string(fine));
    }
  }

  void clearedTextsAreRemovedFromTheStore() {
    record_.sslCaCert.set("/etc/ca.pem");
    record_.sslCipher.set("Default");
    QCOMPARE(config::saveSettings(platform::Hive::kCurrentUser, record_), 0L);
    auto s = sheet();
    edit(s.get(), SettingsSheet::kSsl, 1034)->clear();
    cipherList(s.get())->setCurrentText("");
    QVERIFY(clickId(s.get(), 1));
    QVERIFY(record_.sslCaCert.empty() && record_.sslCipher.empty());
    QCOMPARE(config::saveSettings(platform::Hive::kCurrentUser, record_), 0L);
    Settings back;
    QCOMPARE(config::loadSettings(platform::Hive::kCurrentUser, &back), 0L);
    QVERIFY(back.sslCaCert.empty() && back.sslCipher.empty());
    platform::RegKey key;
    QCOMPARE(platform::regOpenKey(platform::Hive::kCurrentUser, config::settingsKeyPath(), &key),
             0L);
    uint32_t size = 0;
    QVERIFY(platform::regQueryValue(key, "ssl.ca_cert", nullptr, nullptr, &size) != 0);
  }

  void threadReuseAsksAndNoLeavesIt() {
    record_.threadPoolEnable = 1;
    auto s = sheet();
    s->showPage(SettingsSheet::kMisc);
    box(s.get(), SettingsSheet::kMisc, 1064)->setChecked(false);
    box(s.get(), SettingsSheet::kMisc, 1062)->setChecked(true);
    const int boxes = ui::MessageBox::count();
    ui::MessageBox::setNextAnswer(QMessageBox::No);
    QVERIFY(clickId(s.get(), 1));
    QCOMPARE(ui::MessageBox::count(), boxes + 1);
    QCOMPARE(ui::MessageBox::lastTitle(), QString());
    QCOMPARE(ui::MessageBox::lastText(),
             QString("Changing the Thread Reuse setting requires a restarting BKL before the "
                     "operation comes into effect.\nDo you wish to continue and close the "
                     "applicaion ?"));
    QCOMPARE(uint32_t(record_.threadPoolEnable), 1u);
    QCOMPARE(uint32_t(record_.tcpNodelay), 1u);
    QCOMPARE(s->outcome(), SettingsSheet::Outcome::kConfirmed);
  }

  void threadReuseYesSavesEverythingAndEndsTheProgram() {
    record_.threadPoolEnable = 0;
    auto s = sheet();
    edit(s.get(), SettingsSheet::kSsl, 1034)->setText("/etc/new-ca.pem");
    s->showPage(SettingsSheet::kMisc);
    box(s.get(), SettingsSheet::kMisc, 1064)->setChecked(true);
    ui::MessageBox::setNextAnswer(QMessageBox::Yes);
    QVERIFY(clickId(s.get(), 1));
    QCOMPARE(s->outcome(), SettingsSheet::Outcome::kEndProgram);
    Settings stored;
    stored.isNT = 1;
    QCOMPARE(config::loadSettings(platform::Hive::kCurrentUser, &stored), 0L);
    QCOMPARE(uint32_t(stored.threadPoolEnable), 1u);
    QCOMPARE(stored.sslCaCert.get(), std::string("/etc/new-ca.pem"));
  }

  void outsideTheNtFamilyReuseAndCountersCannotChange() {
    record_.isNT = 0;
    auto s = sheet();
    s->showPage(SettingsSheet::kMisc);
    QVERIFY(!box(s.get(), SettingsSheet::kMisc, 1064)->isEnabled());
    QVERIFY(!box(s.get(), SettingsSheet::kMisc, 1065)->isEnabled());
    QVERIFY(box(s.get(), SettingsSheet::kMisc, 1062)->isEnabled());
  }

  void theLocalNetworkBoxTurnsTheTableOnOrOff() {
    record_.localNetCount = 2;
    record_.tcpResolv = 0;  // no lookup: the table cannot be built again and stays
    {
      auto s = sheet();
      s->showPage(SettingsSheet::kSocks);
      QVERIFY(box(s.get(), SettingsSheet::kSocks, 1050)->isChecked());
      QVERIFY(clickId(s.get(), 1));
    }
    QCOMPARE(uint32_t(record_.localNetCount), 2u);
    auto s = sheet();
    s->showPage(SettingsSheet::kSocks);
    box(s.get(), SettingsSheet::kSocks, 1050)->setChecked(false);
    QVERIFY(clickId(s.get(), 1));
    QCOMPARE(uint32_t(record_.localNetCount), 0u);
  }

  void theAuthenticationOrderIsShownAndStored() {
    record_.proxyAuthPreference.set("Kerberos,NTLM,BASIC");
    const auto shown = [this](const QString& typed) {
      auto s = sheet();
      s->showPage(SettingsSheet::kSocks);
      auto* order = page(s.get(), SettingsSheet::kSocks)->findChild<QComboBox*>("authPreference");
      const QString before = order->currentText();
      order->setCurrentText(typed);
      clickId(s.get(), 1);
      return before;
    };
    QCOMPARE(shown("Negotiate,NTLM,BASIC"), QString("Kerberos,NTLM,BASIC"));
    QCOMPARE(record_.proxyAuthPreference.get(), std::string("Negotiate,NTLM,BASIC"));
    QCOMPARE(shown("  "), QString("Negotiate,NTLM,BASIC"));
    QCOMPARE(record_.proxyAuthPreference.get(), std::string("NTLM,BASIC"));
  }

  void browseButtonsFillTheirFields() {
    test_support::TempDir dir;
    const QString file = QString::fromStdString(dir.file("ca.pem"));
    QVERIFY(test_support::writeFile(dir.file("ca.pem"), "x"));
    auto s = sheet();
    QString titles[3];
    QStringList filters;
    ModalScript script;
    script.then(ui_test::pickFile(file, &titles[0], &filters));
    script.then(ui_test::pickFile(QString::fromStdString(dir.path()), &titles[1]));
    QVERIFY(clickId(page(s.get(), SettingsSheet::kSsl), 1042));
    QCOMPARE(edit(s.get(), SettingsSheet::kSsl, 1034)->text(), file);
    QVERIFY(clickId(page(s.get(), SettingsSheet::kSsl), 1044));
    QCOMPARE(edit(s.get(), SettingsSheet::kSsl, 1035)->text(), QString::fromStdString(dir.path()));
    script.then(ui_test::pickFile(QString::fromStdString(dir.path()), &titles[2]));
    QVERIFY(clickId(page(s.get(), SettingsSheet::kSsl), 1043));
    QVERIFY(script.finished());
    QCOMPARE(titles[0], QString("Select CA Certificate"));
    QCOMPARE(filters.size(), 5);
    QCOMPARE(titles[1], QString("Select a Folder containing CRL Lists"));
    QCOMPARE(titles[2], QString("Select a Folder containing CA Certificates"));
    QCOMPARE(edit(s.get(), SettingsSheet::kSsl, 1034)->text(), QString::fromStdString(dir.path()));
  }

  void textsStopAtTheStoresLimit() {
    auto s = sheet();
    QLineEdit* ca = edit(s.get(), SettingsSheet::kSsl, 1034);
    ca->insert(QString(259, 'c'));
    QCOMPARE(ca->text().size(), 259);
    ca->insert("c");
    QCOMPARE(ca->text().size(), 259);
    ca->clear();
    ca->insert(QString::fromUtf8("\xc3\xa9").repeated(130));  // 260 bytes
    QCOMPARE(ca->text(), QString());
    // A path chosen in a browse dialog that the store could not keep is refused with a word.
    const QString longPath = "/" + QString(300, 'p');
    ModalScript script;
    script.then(ui_test::pickFile(longPath));
    ui::MessageBox::setNextAnswer(QMessageBox::Ok);
    QVERIFY(clickId(page(s.get(), SettingsSheet::kSsl), 1042));
    QVERIFY(ui::MessageBox::lastText().startsWith("The path is longer than 259 bytes"));
    QCOMPARE(ca->text(), QString());
  }

  void theLogFontIsAppliedAndStoredWhateverTheSheetsEnd() {
    QFont chosen = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    chosen.setPointSize(17);
    {
      auto s = sheet();
      s->showPage(SettingsSheet::kLog);
      QCOMPARE(edit(s.get(), SettingsSheet::kLog, 1037)->text(), QString("Monospace"));
      ModalScript script;
      script.on<QFontDialog>([chosen](QFontDialog* d) {
        d->setCurrentFont(chosen);
        d->setResult(QDialog::Accepted);
      });
      QVERIFY(clickId(page(s.get(), SettingsSheet::kLog), 1090));
      QVERIFY(script.finished());
      QCOMPARE(edit(s.get(), SettingsSheet::kLog, 1037)->text(), applied_.family());
      QVERIFY(clickId(s.get(), 2));
    }
    QCOMPARE(applied_.pointSize(), 17);
    const std::optional<QFont> stored = ui::loadLogFont();
    QVERIFY(stored.has_value());
    QCOMPARE(stored->family(), applied_.family());
    QCOMPARE(stored->pixelSize(), 17 * 4 / 3);  // the record keeps the height in pixels
  }
};

QTEST_MAIN(SettingsSheetTest)
#include "settings_sheet_test.moc"
