#include "ui/settings_sheet.h"

#include <cstdio>

#include "config/cipher_names.h"
#include "log/log.h"
#include "platform/registry.h"
#include "relay/relay.h"
#include "ui/certificate_files.h"
#include "ui/help.h"
#include "ui/log_font.h"
#include "ui/message_box.h"
#include "ui/message_dialog.h"
#include "ui/modal.h"
#include "ui/text_limit.h"
#include "ui_settings_sheet.h"

namespace ui {
namespace {

using config::Settings;

constexpr char kModule[] = "driver";
constexpr char kReuseQuestion[] =
    "Changing the Thread Reuse setting requires a restarting BKL before the operation comes into "
    "effect.\nDo you wish to continue and close the applicaion ?";

}  // namespace

int checkCipherText(const std::string& text) {
  return relay::Relay::acceptsCipherText(text) ? 0 : kCipherRefused;
}

SettingsSheet::SettingsSheet(QWidget* parent, Settings* record, LogFont logFont,
                             std::string programFolder, std::vector<std::string> cipherNames)
    : QDialog(parent),
      form_(std::make_unique<Ui::SettingsSheet>()),
      record_(record),
      cipherNames_(std::move(cipherNames)),
      logFont_(std::move(logFont)),
      programFolder_(std::move(programFolder)) {
  form_->setupUi(this);
  makeBindings();
  for (const PageBindings& rows : bindings_) prepareControls(rows);
  limitText(form_->cipherList->lineEdit());
  limitText(form_->authPreference->lineEdit());
  connect(form_->pages, &QTabWidget::currentChanged, this, &SettingsSheet::pageOpened);
  connect(form_->ok, &QPushButton::clicked, this, &SettingsSheet::accept);
  connect(form_->cancel, &QPushButton::clicked, this, &QDialog::reject);
  connect(form_->help, &QPushButton::clicked, this, [this] { showHelp(this, programFolder_); });
  connect(form_->browseCaFile, &QPushButton::clicked, this,
          [this] { browseInto(form_->caCerts, "Select CA Certificate", false); });
  connect(form_->browseCaFolder, &QPushButton::clicked, this, [this] {
    browseInto(form_->caCerts, "Select a Folder containing CA Certificates", true);
  });
  connect(form_->browseCrlFolder, &QPushButton::clicked, this,
          [this] { browseInto(form_->crlLists, "Select a Folder containing CRL Lists", true); });
  connect(form_->logFont, &QPushButton::clicked, this, &SettingsSheet::chooseFont);
  form_->pages->setCurrentIndex(kSsl);
  pageOpened(kSsl);
}

SettingsSheet::~SettingsSheet() = default;

void SettingsSheet::makeBindings() {
  bindings_[kSsl] = {
      TextRow{form_->caCerts, &Settings::sslCaCert, "ssl.ca_cert"},
      TextRow{form_->crlLists, &Settings::sslCrlLists, "ssl.crl_lists"},
      TextRow{form_->password, &Settings::sslPasswd, "ssl.passwd"},
      CheckRow{form_->enableSsl2, &Settings::sslEnableSsl2, "ssl.enable_ssl2"},
      CheckRow{form_->enableSsl3, &Settings::sslEnableSsl3, "ssl.enable_ssl3"},
      CheckRow{form_->enableTls1, &Settings::sslEnableTls1, "ssl.enable_tls1"},
      CheckRow{form_->useSystemRegistry, &Settings::sslUseSystemRegistry,
               "ssl.use_system_registry"},
      CheckRow{form_->savePassword, &Settings::sslSavePasswd, "ssl.save_passwd"},
      CheckRow{form_->crlCheck, &Settings::crlCheckEnable, "crl.check.enable"},
  };
  bindings_[kFilter] = {
      CheckRow{form_->filterEnable, &Settings::filterEnable, "filter.enable"},
      TextRow{form_->mustContain, &Settings::filterHave, "filter.have"},
      TextRow{form_->cannotContain, &Settings::filterHavenot, "filter.havenot"},
  };
  // Debug is bound by storeLog: it shows two switches.
  bindings_[kLog] = {
      NumberRow{form_->logMax, &Settings::logMax, "log.max"},
      CheckRow{form_->verbose, &Settings::verbose, "verbose"},
      CheckRow{form_->noLog, &Settings::logNolog, "log.nolog"},
      CheckRow{form_->logErr, &Settings::logErr, "log.err"},
      CheckRow{form_->logWarn, &Settings::logWarn, "log.warn"},
      CheckRow{form_->logInfo, &Settings::logInfo, "log.info"},
      CheckRow{form_->logDetailed, &Settings::logDetailed, "log.detailed"},
  };
  // The local-nets box is bound by storeSocks: it turns a table on or off.
  bindings_[kSocks] = {
      CheckRow{form_->socksEnable, &Settings::socksEnable, "socks.enable"},
      TextRow{form_->socksServer, &Settings::socksServer, "socks.server"},
      TextRow{form_->socksPort, &Settings::socksPort, "socks.port"},
  };
  // The TCP group's rows, then the Performance Monitor's. Reuse is bound by storeMisc: a change
  // needs the program to start again.
  bindings_[kMisc] = {
      CheckRow{form_->noDelay, &Settings::tcpNodelay, "tcp.nodelay"},
      CheckRow{form_->linger, &Settings::tcpLinger, "tcp.linger"},
      NumberRow{form_->maxConnections, &Settings::tcpMaxConnections, "tcp.max.connections"},
      CheckRow{form_->perfEnable, &Settings::perfMonEnable, "perf.mon.enable"},
  };
}

void SettingsSheet::showPage(Page page) { form_->pages->setCurrentIndex(page); }

void SettingsSheet::pageOpened(int index) {
  if (index < 0 || index >= kPageCount || shown_[index]) return;
  shown_[index] = true;
  fillControls(bindings_[index], *record_);
  if (index == kSsl) fillSsl();
  if (index == kLog) fillLog();
  if (index == kSocks) {
    form_->noLocalNets->setChecked(record_->localNetCount != 0);
    const std::string& preference = record_->proxyAuthPreference.get();
    form_->authPreference->setCurrentText(QString::fromStdString(
        preference.empty() ? std::string(config::kDefaultAuthPreference) : preference));
  }
  if (index == kMisc) fillMisc();
}

void SettingsSheet::fillSsl() {
  // The presets in the order of their table, then the single ciphers of the relay's context.
  // A preset that selects nothing in this SSL library ("Medium Only": it has no medium-strength
  // suite) is not offered: OK would refuse it.
  for (const config::FriendlyCipher& preset : config::friendlyCipherTable) {
    if (checkCipherText(preset.name) == 0) form_->cipherList->addItem(preset.name);
  }
  for (const std::string& name : cipherNames_) {
    if (form_->cipherList->findText(QString::fromStdString(name),
                                    Qt::MatchFixedString | Qt::MatchCaseSensitive) < 0) {
      form_->cipherList->addItem(QString::fromStdString(name));
    }
  }
  form_->cipherList->setCurrentText(QString::fromStdString(record_->sslCipher.get()));
}

void SettingsSheet::fillLog() {
  form_->logDebug->setChecked(record_->debug != 0 || record_->logDebug != 0);
  if (logFont_.current) form_->logFontName->setText(logFont_.current().family());
}

void SettingsSheet::fillMisc() {
  form_->reuse->setChecked(record_->threadPoolEnable != 0);
  const bool nt = record_->isNT != 0;
  form_->reuse->setEnabled(nt);
  form_->perfEnable->setEnabled(nt);
}

void SettingsSheet::accept() {
  outcome_ = Outcome::kConfirmed;
  for (int page = 0; page < kPageCount; ++page) {
    if (!shown_[page]) continue;
    storeControls(bindings_[page], record_);
    if (page == kSsl) storeCipher();
    if (page == kLog) storeLog();
    if (page == kSocks) storeSocks();
    if (page == kMisc) storeMisc();
  }
  QDialog::accept();
}

void SettingsSheet::storeCipher() {
  const QString shown = form_->cipherList->currentText();
  if (shown.isEmpty()) {
    record_->sslCipher.clear();
    return;
  }
  const std::string text = shown.toStdString();
  if (const int code = checkCipherText(text); code != 0) {
    char message[128];
    std::snprintf(message, sizeof message, "Error in cipher <%d> <%s>", code, text.c_str());
    MessageDialog::show(this, QString::fromUtf8(message));
    return;
  }
  if (!fitsLimit(shown)) {
    log_event(LOG_WARNING, 0x6001, kModule, __LINE__,
              "The ssl.cipher text is longer than %d bytes: it was not stored", kStoredTextLimit);
    return;
  }
  record_->sslCipher.set(text);
}

void SettingsSheet::storeLog() {
  record_->logDebug = form_->logDebug->isChecked() ? 1 : 0;
  // The box shows "debug" and "log.debug" together: cleared, it turns both off; left checked,
  // "debug" stays as it was.
  if (!form_->logDebug->isChecked()) record_->debug = 0;
}

void SettingsSheet::storeSocks() {
  // The relay tells which names it skips when it takes the settings; empty is the default list.
  const QString preference = form_->authPreference->currentText().trimmed();
  if (fitsLimit(preference)) {
    record_->proxyAuthPreference.set(preference.isEmpty()
                                         ? std::string(config::kDefaultAuthPreference)
                                         : preference.toStdString());
  }
  const bool wanted = form_->noLocalNets->isChecked();
  if (config::rebuildLocalNetworks(record_, wanted) != wanted) {
    log_event(LOG_WARNING, 0x6001, kModule, __LINE__,
              "The local networks of this host could not be found: every destination is reached "
              "through the Socks server");
  }
}

void SettingsSheet::storeMisc() {
  const uint32_t reuse = form_->reuse->isChecked() ? 1 : 0;
  if (reuse == record_->threadPoolEnable) return;
  if (MessageBox::show(this, QMessageBox::Question, "", kReuseQuestion,
                       QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes) != QMessageBox::Yes) {
    return;
  }
  record_->threadPoolEnable = reuse;
  if (const long rc = config::saveSettings(record_->rootKey, *record_); rc != 0) {
    log_event(LOG_ERROR, 0x6001, kModule, __LINE__, "Couldn't save the settings to %s: error %ld",
              platform::hiveFilePath(record_->rootKey).c_str(), rc);
  }
  outcome_ = Outcome::kEndProgram;
}

void SettingsSheet::browseInto(QLineEdit* edit, const QString& title, bool folder) {
  const QString path = folder ? browseFolder(this, title) : browseCertificateFile(this, title);
  if (path.isEmpty() || !pathFits(this, title, path)) return;
  edit->setText(path);
  edit->setFocus();
  edit->selectAll();
}

void SettingsSheet::chooseFont() {
  const QFont current = logFont_.current ? logFont_.current() : font();
  const std::optional<QFont> chosen = chooseLogFont(this, current);
  if (!chosen) return;
  if (logFont_.apply) logFont_.apply(*chosen);
  form_->logFontName->setText(chosen->family());
}

SettingsSheet::Outcome runSettingsSheet(QWidget* parent, Settings* record,
                                        SettingsSheet::LogFont logFont,
                                        const std::string& programFolder,
                                        std::vector<std::string> cipherNames) {
  SettingsSheet sheet(parent, record, std::move(logFont), programFolder, std::move(cipherNames));
  if (runModal(&sheet) != QDialog::Accepted) return SettingsSheet::Outcome::kCancelled;
  return sheet.outcome();
}

}  // namespace ui
