// "Enter Password": the pass-phrase prompt. The relay's connection threads reach it through the
// relay bridge when an encrypted private key (or a PKCS#12 file) needs a pass phrase and none is
// remembered; the window thread's own readers of PKCS#12 files (the certificate viewer, the rule
// editor's certificate subject) reach it through `pkcs12CertificateHere`.
//
// Window thread only.
#pragma once

#include <QDialog>
#include <QString>
#include <memory>
#include <string>

#include "log/openssl_ptr.h"
#include "ui/passphrase_memory.h"

namespace Ui {
class PassphraseDialog;
}

namespace ui {

// The prompt the program's own PKCS#12 readers show.
inline constexpr char kPkcs12Prompt[] = "Enter PKCS12 Certificate password";

class PassphraseDialog final : public QDialog {
  Q_OBJECT

 public:
  // An empty prompt keeps the default text "Enter Private Key Password".
  PassphraseDialog(QWidget* parent, const QString& prompt);
  ~PassphraseDialog() override;
  QString prompt() const;
  // What was typed (at most 127 characters).
  std::string passphrase() const;
  void setPassphrase(const QString& text);

 private:
  void takeAnswer();

  std::unique_ptr<Ui::PassphraseDialog> form_;
};

// Shows the prompt (through runModal) and returns what was typed; empty when it was cancelled.
std::string askPassphraseDialog(QWidget* parent, const std::string& prompt);

// The certificate of the PKCS#12 file, opened with the remembered pass phrase or, when none is
// remembered, with what the prompt "Enter PKCS12 Certificate password" is given; null when the
// file holds no PKCS#12 data (no prompt then), the prompt is cancelled or the password is wrong.
// A typed password becomes the remembered pass phrase once it has opened the file.
//
// This never goes through the relay's questions: a connection thread that waits for the window
// thread to answer its own question holds their lock.
X509Ptr pkcs12CertificateHere(QWidget* parent, const std::string& file,
                              const PassphraseMemory& memory = {});

}  // namespace ui
