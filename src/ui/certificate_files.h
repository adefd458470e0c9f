// Certificate files as the rule editor and the settings sheet meet them: the open-file and folder
// dialogs with their titles and filters, the certificate and key files of the program's folder,
// and the subject line of a certificate file (PEM, DER or PKCS#12).
// Window thread.
#pragma once

#include <QString>
#include <QStringList>
#include <QWidget>
#include <string>

#include "ui/passphrase_dialog.h"

namespace ui {

// What the Soft field shows for a file that holds no readable certificate.
inline constexpr char kNoCertDetected[] = "no cert detected";

// The subject of the certificate in `file` in the SSL library's one-line form (at most 1023
// characters): read as PEM, else as DER, else, when the file is PKCS#12, with the remembered pass
// phrase or the password the user gives (pkcs12CertificateHere). kNoCertDetected when none can be
// read, and for anything but a regular file (a folder, a pipe that would never end).
QString certificateSubject(QWidget* parent, const QString& file,
                           const PassphraseMemory& memory = {});

// The open-file dialog for a certificate (or key) file with the certificate filters; the chosen
// existing file, or empty.
QString browseCertificateFile(QWidget* parent, const QString& title);
// The folder dialog (folders only); the chosen folder, or empty.
QString browseFolder(QWidget* parent, const QString& title);
// The filters of browseCertificateFile as the user reads them.
QStringList certificateFilterNames();

// The names (without the folder) of the "*.pem", then "*.der", then "*.p12" files of `folder`.
QStringList certificateFilesIn(const std::string& folder);

}  // namespace ui
