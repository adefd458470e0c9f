// "Cert Viewer": a certificate file on four pages (the subject, the issuer, the validity with the
// algorithms and lengths, and the version, serial number and extensions). The file is read as
// DER, else as PEM, else as PKCS#12 with the remembered pass phrase or one the prompt is given; a
// file that is none of these leaves every field empty. Opened from the rule editor's "View".
//
// Window thread only.
#pragma once

#include <QDialog>
#include <QString>
#include <memory>

#include "ui/certificate_facts.h"
#include "ui/passphrase_dialog.h"

namespace Ui {
class CertificateViewer;
}

namespace ui {

class CertificateViewer final : public QDialog {
  Q_OBJECT

 public:
  // Reads the file at once; a PKCS#12 file may ask for its password (owned by `parent`).
  CertificateViewer(QWidget* parent, const QString& file, const PassphraseMemory& memory = {});
  ~CertificateViewer() override;
  void showPage(int index);
  // True when a certificate was read from the file.
  bool loaded() const { return loaded_; }

 private:
  void fill(const CertificateFacts& facts);

  std::unique_ptr<Ui::CertificateViewer> form_;
  bool loaded_ = false;
};

// The viewer on the file, modal (through runModal); what the rule editor's "View" calls.
void showCertificateViewer(QWidget* parent, const QString& file,
                           const PassphraseMemory& memory = {});

}  // namespace ui
