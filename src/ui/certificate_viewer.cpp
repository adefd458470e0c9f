#include "ui/certificate_viewer.h"

#include <QLineEdit>

#include "relay/certificate_files.h"
#include "ui/log_model.h"
#include "ui/modal.h"
#include "ui/passphrase_dialog.h"
#include "ui_certificate_viewer.h"

namespace ui {
namespace {

// Texts from a certificate are the outside world's: control characters are shown in caret form,
// bytes that are not UTF-8 as the replacement character, as in the log list.
void showText(QLineEdit* field, const std::string& text) {
  const QString shown = LogModel::shown(text);
  field->setText(shown);
  field->setCursorPosition(0);  // long values are read from their start
  // The whole of a text the field may not have room for.
  field->setToolTip(shown.size() > 40 ? shown : QString());
}

void showName(const std::array<QLineEdit*, kNameEntries>& fields, const NameTexts& texts) {
  for (size_t i = 0; i < fields.size(); ++i) showText(fields[i], texts[i]);
}

}  // namespace

CertificateViewer::CertificateViewer(QWidget* parent, const QString& file,
                                     const PassphraseMemory& memory)
    : QDialog(parent), form_(std::make_unique<Ui::CertificateViewer>()) {
  form_->setupUi(this);
  connect(form_->ok, &QPushButton::clicked, this, &QDialog::accept);
  connect(form_->cancel, &QPushButton::clicked, this, &QDialog::reject);
  form_->fileName->setText(file);
  const std::string path = file.toStdString();
  X509Ptr cert = relay::readCertificate(path);
  if (cert == nullptr) cert = pkcs12CertificateHere(parent, path, memory);
  loaded_ = cert != nullptr;
  fill(certificateFacts(cert.get()));
}

CertificateViewer::~CertificateViewer() = default;

void CertificateViewer::showPage(int index) { form_->pages->setCurrentIndex(index); }

void CertificateViewer::fill(const CertificateFacts& f) {
  Ui::CertificateViewer& u = *form_;
  showName({u.subjectCommonName, u.subjectCountry, u.subjectLocality, u.subjectState,
            u.subjectOrganisation, u.subjectOrganisationUnit, u.subjectEmail},
           f.subject);
  showName({u.issuerCommonName, u.issuerCountry, u.issuerLocality, u.issuerState,
            u.issuerOrganisation, u.issuerOrganisationUnit, u.issuerEmail},
           f.issuer);
  showText(u.validFrom, f.validFrom);
  showText(u.validTo, f.validTo);
  showText(u.signingAlg, f.signingAlgorithm);
  showText(u.signatureLen, f.signatureLength);
  showText(u.pkAlgorithm, f.keyAlgorithm);
  showText(u.pkLength, f.keyLength);
  showText(u.version, f.version);
  showText(u.serial, f.serial);
  showText(u.numExtensions, f.extensionCount);
  showText(u.numCritical, f.criticalCount);
  QLineEdit* lines[kShownExtensions] = {u.extension1, u.extension2, u.extension3, u.extension4};
  for (size_t i = 0; i < kShownExtensions; ++i) showText(lines[i], f.extensions[i]);
}

void showCertificateViewer(QWidget* parent, const QString& file, const PassphraseMemory& memory) {
  CertificateViewer viewer(parent, file, memory);
  runModal(&viewer);
}

}  // namespace ui
