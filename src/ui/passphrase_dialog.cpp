#include "ui/passphrase_dialog.h"

#include <openssl/crypto.h>
#include <openssl/err.h>

#include "relay/certificate_files.h"
#include "ui/modal.h"
#include "ui_passphrase_dialog.h"

namespace ui {
PassphraseDialog::PassphraseDialog(QWidget* parent, const QString& prompt)
    : QDialog(parent), form_(std::make_unique<Ui::PassphraseDialog>()) {
  form_->setupUi(this);
  if (!prompt.isEmpty()) form_->prompt->setText(prompt);
  connect(form_->ok, &QPushButton::clicked, this, &PassphraseDialog::takeAnswer);
  connect(form_->cancel, &QPushButton::clicked, this, &QDialog::reject);
}

PassphraseDialog::~PassphraseDialog() = default;

QString PassphraseDialog::prompt() const { return form_->prompt->text(); }

std::string PassphraseDialog::passphrase() const { return form_->password->text().toStdString(); }

void PassphraseDialog::setPassphrase(const QString& text) { form_->password->setText(text); }

void PassphraseDialog::takeAnswer() {
  if (form_->password->text().isEmpty()) return;  // OK on an empty field waits for a phrase
  accept();
}

std::string askPassphraseDialog(QWidget* parent, const std::string& prompt) {
  PassphraseDialog dialog(parent, QString::fromStdString(prompt));
  if (runModal(&dialog) != QDialog::Accepted) return {};
  std::string phrase = dialog.passphrase();
  dialog.setPassphrase(QString());
  return phrase;
}

X509Ptr pkcs12CertificateHere(QWidget* parent, const std::string& file,
                              const PassphraseMemory& memory) {
  BioPtr bio(BIO_new_file(file.c_str(), "rb"));
  if (bio == nullptr || !relay::pkcs12Present(bio.get())) {
    ERR_clear_error();
    return nullptr;
  }
  std::string password = memory.recall ? memory.recall() : std::string();
  const bool typed = password.empty();
  if (typed) password = askPassphraseDialog(parent, kPkcs12Prompt);
  X509Ptr cert;
  if (!password.empty()) cert = relay::pkcs12ReadCertificate(bio.get(), password.c_str());
  ERR_clear_error();
  // A wrong password typed here must not become the pass phrase of every later key.
  if (typed && cert != nullptr && memory.keep) memory.keep(password);
  OPENSSL_cleanse(password.data(), password.size());
  return cert;
}

}  // namespace ui
