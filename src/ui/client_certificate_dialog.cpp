#include "ui/client_certificate_dialog.h"

#include <openssl/crypto.h>
#include <openssl/err.h>

#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <filesystem>

#include "log/log.h"
#include "relay/certificate_files.h"
#include "ui/message_box.h"
#include "ui/message_dialog.h"
#include "ui/modal.h"
#include "ui/wait_cursor.h"
#include "ui_client_certificate_dialog.h"

namespace ui {
namespace {

constexpr char kModule[] = "driver";
constexpr platform::Hive kChoiceRoot = platform::Hive::kCurrentUser;

// Wrong passwords since the last success; window thread only, kept for the whole process so that
// closing and reopening the dialog does not restart the wait.
int wrongSinceSuccess = 0;

ClientCertificateDialog::Pause& pauseHook() {
  static ClientCertificateDialog::Pause hook;
  return hook;
}

bool endsWith(const std::string& name, const char* suffix) {
  const std::string tail(suffix);
  if (name.size() <= tail.size()) return false;
  return std::equal(tail.begin(), tail.end(), name.end() - static_cast<std::ptrdiff_t>(tail.size()),
                    [](char a, char b) { return std::tolower(a) == std::tolower(b); });
}

bool lessIgnoringCase(const QString& a, const QString& b) {
  const int c = QString::compare(a, b, Qt::CaseInsensitive);
  return c != 0 ? c < 0 : a < b;
}

// The SSL library's text of the oldest error it holds, for the load-failure box.
QString oldestSslError() {
  char text[512];
  const unsigned long code = ERR_peek_error();
  return code == 0 ? QString() : QString::fromUtf8(openssl_error_text(code, text));
}

}  // namespace

std::vector<std::string> clientCertificateFiles(const std::string& folder) {
  namespace fs = std::filesystem;
  std::vector<std::string> names;
  for (const char* suffix : {".pem", ".p12"}) {
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
      std::error_code statError;
      const std::string name = it->path().filename().string();
      if (endsWith(name, suffix) && it->is_regular_file(statError)) names.push_back(name);
    }
  }
  return names;
}

ClientCertificateDialog::ClientCertificateDialog(QWidget* parent,
                                                 const std::vector<std::string>& folders,
                                                 const std::string& serverSubject)
    : QDialog(parent), form_(std::make_unique<Ui::ClientCertificateDialog>()) {
  form_->setupUi(this);
  form_->serverName->setPlainText(QString::fromUtf8(serverSubject));
  for (const std::string& folder : folders) {
    if (folder.empty()) continue;
    for (const std::string& name : clientCertificateFiles(folder)) {
      const std::string path = folder + "/" + name;
      QString shown = QString::fromStdString(name);
      if (paths_.count(shown) != 0) shown = QString::fromStdString(path);
      paths_.emplace(shown, path);
    }
  }
  fillList(relay::storedClientCertificate(kChoiceRoot, true));
  connect(form_->certificate, &QComboBox::currentIndexChanged, this,
          &ClientCertificateDialog::storeChoice);
  connect(form_->ok, &QPushButton::clicked, this, &ClientCertificateDialog::load);
  connect(form_->cancel, &QPushButton::clicked, this, &QDialog::reject);
}

ClientCertificateDialog::~ClientCertificateDialog() = default;

void ClientCertificateDialog::fillList(const std::string& storedPath) {
  QStringList names;
  int stored = -1;
  for (const auto& [shown, path] : paths_) names.append(shown);
  // The list is a sorted one, as the person reads it.
  std::sort(names.begin(), names.end(), lessIgnoringCase);
  for (int i = 0; i < names.size(); ++i) {
    if (paths_[names[i]] == storedPath) stored = i;
  }
  form_->certificate->addItems(names);
  form_->certificate->setCurrentIndex(stored);
}

QString ClientCertificateDialog::serverName() const { return form_->serverName->toPlainText(); }

QStringList ClientCertificateDialog::entries() const {
  QStringList names;
  for (int i = 0; i < form_->certificate->count(); ++i)
    names.append(form_->certificate->itemText(i));
  return names;
}

QString ClientCertificateDialog::chosen() const { return form_->certificate->currentText(); }

void ClientCertificateDialog::choose(const QString& name) {
  form_->certificate->setCurrentIndex(form_->certificate->findText(name));
}

void ClientCertificateDialog::setPassword(const QString& text) { form_->password->setText(text); }

void ClientCertificateDialog::storeChoice(int index) {
  if (index < 0) return;
  // The choice is kept whatever the dialog's outcome; a full path, so that it names the same
  // file whichever folder a reader starts from.
  const std::string path = paths_[form_->certificate->itemText(index)];
  if (const long rc = relay::storeClientCertificate(kChoiceRoot, path); rc != 0) {
    log_event(LOG_ERROR, 0x6001, kModule, __LINE__,
              "Couldn't store the client certificate choice <%s>: error %ld", path.c_str(), rc);
  }
}

void ClientCertificateDialog::load() {
  std::string password = form_->password->text().toStdString();
  const std::string file = relay::storedClientCertificate(kChoiceRoot, true);
  if (file.empty()) return;  // nothing chosen yet: the dialog waits for a choice
  relay::ClientCredentials loaded;
  ERR_clear_error();  // the box shows the oldest error: it must be this load's
  const relay::CredentialsResult result = relay::readClientCredentials(file, password, &loaded);
  OPENSSL_cleanse(password.data(), password.size());
  switch (result) {
    case relay::CredentialsResult::kLoaded:
      wrongSinceSuccess = 0;
      credentials_ = std::move(loaded);
      accept();
      break;
    case relay::CredentialsResult::kCannotOpen:
      MessageDialog::show(this, oldestSslError(), MessageDialog::Kind::kLoadFailure);
      break;
    case relay::CredentialsResult::kWrongPkcs12Password:
      wrongSinceSuccess = 0;  // a PKCS#12 file always waits the shortest time
      wrongPassword();
      break;
    case relay::CredentialsResult::kWrongPassword:
      wrongPassword();
      break;
  }
  ERR_clear_error();
}

int ClientCertificateDialog::waitMillis(int wrongBefore) {
  int millis = 1000;
  for (int i = 0; i < wrongBefore && millis < kLongestWaitMillis; ++i) millis *= 2;
  return std::min(millis, kLongestWaitMillis);
}

int ClientCertificateDialog::wrongPasswords() { return wrongSinceSuccess; }

void ClientCertificateDialog::setPause(Pause pause) { pauseHook() = std::move(pause); }

void ClientCertificateDialog::wrongPassword() {
  MessageBox::show(this, QMessageBox::Warning, "Error Message",
                   "you have entered the wrong password. try again.");
  const int millis = waitMillis(wrongSinceSuccess);
  ++wrongSinceSuccess;
  pauseFor(millis);
  form_->password->setFocus();
  form_->password->selectAll();
}

void ClientCertificateDialog::pauseFor(int milliseconds) {
  if (pauseHook()) {
    pauseHook()(milliseconds);
    return;
  }
  // The window thread goes on meanwhile (other windows repaint, log lines arrive); only a retry
  // from this dialog has to wait. Cancel ends the wait and the dialog.
  const WaitCursor waitCursor;
  form_->ok->setEnabled(false);
  form_->certificate->setEnabled(false);
  form_->password->setEnabled(false);
  QEventLoop loop;
  QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
  connect(this, &QDialog::finished, &loop, &QEventLoop::quit);
  loop.exec();
  form_->ok->setEnabled(true);
  form_->certificate->setEnabled(true);
  form_->password->setEnabled(true);
}

bool askClientCertificate(QWidget* parent, const std::vector<std::string>& folders,
                          const std::string& serverSubject, relay::ClientCredentials* out) {
  ClientCertificateDialog dialog(parent, folders, serverSubject);
  if (runModal(&dialog) != QDialog::Accepted) return false;
  *out = dialog.takeCredentials();
  return out->certificate != nullptr && out->key != nullptr;
}

}  // namespace ui
