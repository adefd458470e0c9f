#include "ui/certificate_files.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <QDir>
#include <QFileDialog>
#include <filesystem>

#include "log/openssl_ptr.h"
#include "relay/certificate_files.h"
#include "ui/modal.h"
#include "ui/passphrase_dialog.h"

namespace ui {
namespace {

// Each filter as shown, with the patterns the dialog matches: Qt reads the patterns from the
// last parentheses of a filter and splits them at blanks, so the shown "(*.pem,*.p12,*.der)"
// cannot serve as patterns itself; "*.*" would miss files without a dot.
struct CertificateFilter {
  const char* shown;
  const char* patterns;
};
constexpr CertificateFilter kCertificateFilters[] = {
    {"All Cert formats (*.pem,*.p12,*.der)", "*.pem *.p12 *.der"},
    {"PEM Files (*.pem)", "*.pem"},
    {"PKCS12 Files (*.p12)", "*.p12"},
    {"ASN1 (DER) Files (*.der)", "*.der"},
    {"All Files (*.*)", "*"},
};

QFileDialog::Options ownDialog() { return QFileDialog::DontUseNativeDialog; }

}  // namespace

QString certificateSubject(QWidget* parent, const QString& file, const PassphraseMemory& memory) {
  std::error_code ec;
  if (file.isEmpty() || !std::filesystem::is_regular_file(
                            std::filesystem::path(QFile::encodeName(file).constData()), ec)) {
    return kNoCertDetected;
  }
  const std::string path = QFile::encodeName(file).toStdString();
  X509Ptr cert = relay::readCertificate(path);
  if (cert == nullptr) cert = pkcs12CertificateHere(parent, path, memory);
  // What failed to read is no error of the program's: the queue is emptied, not reported.
  ERR_clear_error();
  if (cert == nullptr) return kNoCertDetected;
  char subject[1024] = "";
  X509_NAME_oneline(X509_get_subject_name(cert.get()), subject, sizeof subject);
  return QString::fromLatin1(subject);
}

QStringList certificateFilterNames() {
  QStringList names;
  for (const CertificateFilter& f : kCertificateFilters) names << f.shown;
  return names;
}

QString browseCertificateFile(QWidget* parent, const QString& title) {
  QFileDialog dialog(parent, title);
  dialog.setOptions(ownDialog() | QFileDialog::HideNameFilterDetails);
  dialog.setFileMode(QFileDialog::ExistingFile);
  QStringList filters;
  for (const CertificateFilter& f : kCertificateFilters) {
    filters << QString("%1 (%2)").arg(f.shown, f.patterns);
  }
  dialog.setNameFilters(filters);
  if (runModal(&dialog) != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
  return dialog.selectedFiles().first();
}

QString browseFolder(QWidget* parent, const QString& title) {
  QFileDialog dialog(parent, title);
  dialog.setOptions(ownDialog() | QFileDialog::ShowDirsOnly);
  dialog.setFileMode(QFileDialog::Directory);
  if (runModal(&dialog) != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
  return dialog.selectedFiles().first();
}

QStringList certificateFilesIn(const std::string& folder) {
  QStringList names;
  if (folder.empty()) return names;
  const QDir dir(QString::fromStdString(folder));
  for (const char* pattern : {"*.pem", "*.der", "*.p12"}) {
    names << dir.entryList({pattern}, QDir::Files | QDir::Readable, QDir::Name);
  }
  return names;
}

}  // namespace ui
