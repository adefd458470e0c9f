// Certificate files as the rule editor and the settings sheet meet them: the open-file and folder
// dialogs with their titles and filters, the certificate and key files of the program's folder,
// the subject line of a certificate file (PEM, DER or PKCS#12) and the look at a certificate.
// Window thread.
#pragma once

#include <QString>
#include <QStringList>
#include <QWidget>
#include <string>

namespace ui {

// What the Soft field shows for a file that holds no readable certificate.
inline constexpr char kNoCertDetected[] = "no cert detected";
// The prompt of the password question for a PKCS#12 file.
inline constexpr char kPkcs12Prompt[] = "Enter PKCS12 Certificate password";

// The subject of the certificate in `file` in the SSL library's one-line form (at most 1023
// characters): read as PEM, else as DER, else, when the file is PKCS#12, with the password the
// user gives. kNoCertDetected when none can be read, and for anything but a regular file (a
// folder, a pipe that would never end).
QString certificateSubject(const QString& file);

// Shows the certificate of `file` to the user.
void viewCertificate(QWidget* parent, const QString& file);

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
